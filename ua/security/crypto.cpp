#include "ua/security/crypto.h"

#include <openssl/core_names.h>
#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <openssl/pem.h>
#include <openssl/rand.h>
#include <openssl/rsa.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <array>

namespace qora::ua::crypto {

namespace {

constexpr std::array<PolicyParams, 3> kParams{{
    {SecurityPolicy::Basic256Sha256, false, false, 42, 32,
     "http://www.w3.org/2001/04/xmldsig-more#rsa-sha256", "http://www.w3.org/2001/04/xmlenc#rsa-oaep"},
    {SecurityPolicy::Aes128_Sha256_RsaOaep, false, false, 42, 16,
     "http://www.w3.org/2001/04/xmldsig-more#rsa-sha256", "http://www.w3.org/2001/04/xmlenc#rsa-oaep"},
    {SecurityPolicy::Aes256_Sha256_RsaPss, true, true, 66, 32,
     "http://opcfoundation.org/UA/security/rsa-pss-sha2-256",
     "http://opcfoundation.org/UA/security/rsa-oaep-sha2-256"},
}};

const unsigned char* U(std::string_view s) {
    return reinterpret_cast<const unsigned char*>(s.data());
}

struct CtxFree {
    void operator()(EVP_PKEY_CTX* c) const { EVP_PKEY_CTX_free(c); }
    void operator()(EVP_MD_CTX* c) const { EVP_MD_CTX_free(c); }
    void operator()(EVP_CIPHER_CTX* c) const { EVP_CIPHER_CTX_free(c); }
    void operator()(X509* c) const { X509_free(c); }
    void operator()(BIO* c) const { BIO_free(c); }
    void operator()(GENERAL_NAMES* c) const { GENERAL_NAMES_free(c); }
    void operator()(EVP_MAC* c) const { EVP_MAC_free(c); }
    void operator()(EVP_MAC_CTX* c) const { EVP_MAC_CTX_free(c); }
};
template <typename T>
using Owned = std::unique_ptr<T, CtxFree>;

int NoPassphrase(char*, int, int, void*) {
    return 0;
}

std::string DerOf(X509* x) {
    unsigned char* out = nullptr;
    const int n = i2d_X509(x, &out);
    if (n <= 0) return {};
    std::string der(reinterpret_cast<char*>(out), static_cast<size_t>(n));
    OPENSSL_free(out);
    return der;
}

// An object of OpenSSL's type T from DER, else from PEM (null when neither parses).
template <typename T>
T* ReadDerOrPem(std::string_view bytes, T* (*fromDer)(T**, const unsigned char**, long),
                T* (*fromPem)(BIO*, T**, pem_password_cb*, void*)) {
    const unsigned char* p = U(bytes);
    T* t = fromDer(nullptr, &p, static_cast<long>(bytes.size()));
    if (t != nullptr) return t;
    Owned<BIO> bio(BIO_new_mem_buf(bytes.data(), static_cast<int>(bytes.size())));
    return bio ? fromPem(bio.get(), nullptr, nullptr, nullptr) : nullptr;
}

Owned<X509> ParseCertificate(std::string_view der) {
    const unsigned char* p = U(der);
    return Owned<X509>(d2i_X509(nullptr, &p, static_cast<long>(der.size())));
}

bool SetPadding(EVP_PKEY_CTX* ctx, const PolicyParams& p, bool signature) {
    if (signature) {
        if (!p.pssSignature) return EVP_PKEY_CTX_set_rsa_padding(ctx, RSA_PKCS1_PADDING) > 0;
        return EVP_PKEY_CTX_set_rsa_padding(ctx, RSA_PKCS1_PSS_PADDING) > 0 &&
               EVP_PKEY_CTX_set_rsa_pss_saltlen(ctx, 32) > 0 &&
               EVP_PKEY_CTX_set_rsa_mgf1_md(ctx, EVP_sha256()) > 0;
    }
    if (EVP_PKEY_CTX_set_rsa_padding(ctx, RSA_PKCS1_OAEP_PADDING) <= 0) return false;
    const EVP_MD* md = p.oaepSha256 ? EVP_sha256() : EVP_sha1();
    return EVP_PKEY_CTX_set_rsa_oaep_md(ctx, md) > 0 && EVP_PKEY_CTX_set_rsa_mgf1_md(ctx, md) > 0;
}

}  // namespace

const PolicyParams* Params(SecurityPolicy p) {
    for (const auto& e : kParams)
        if (e.policy == p) return &e;
    return nullptr;
}

// ---------------------------------------------------------------- keys

RsaKey::RsaKey(EVP_PKEY* k) : key_(k, EVP_PKEY_free) {}

RsaKey RsaKey::FromPrivate(std::string_view bytes) {
    const unsigned char* p = U(bytes);
    EVP_PKEY* k = d2i_AutoPrivateKey(nullptr, &p, static_cast<long>(bytes.size()));
    if (!k) {
        Owned<BIO> bio(BIO_new_mem_buf(bytes.data(), static_cast<int>(bytes.size())));
        if (bio) k = PEM_read_bio_PrivateKey(bio.get(), nullptr, nullptr, nullptr);
    }
    if (k && EVP_PKEY_get_base_id(k) != EVP_PKEY_RSA) {
        EVP_PKEY_free(k);
        k = nullptr;
    }
    return k ? RsaKey(k) : RsaKey();
}

RsaKey RsaKey::FromPrivatePem(std::string_view pem) {
    Owned<BIO> bio(BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size())));
    if (!bio) return {};
    EVP_PKEY* k = PEM_read_bio_PrivateKey(bio.get(), nullptr, NoPassphrase, nullptr);
    if (k && EVP_PKEY_get_base_id(k) != EVP_PKEY_RSA) {
        EVP_PKEY_free(k);
        k = nullptr;
    }
    return k ? RsaKey(k) : RsaKey();
}

RsaKey RsaKey::FromCertificate(std::string_view der) {
    Owned<X509> cert = ParseCertificate(Leaf(der));
    if (!cert) return {};
    EVP_PKEY* k = X509_get_pubkey(cert.get());
    if (!k) return {};
    if (EVP_PKEY_get_base_id(k) != EVP_PKEY_RSA) {
        EVP_PKEY_free(k);
        return {};
    }
    return RsaKey(k);
}

RsaKey RsaKey::Generate(int bits) {
    EVP_PKEY* k = EVP_RSA_gen(static_cast<unsigned>(bits));
    return k ? RsaKey(k) : RsaKey();
}

int RsaKey::Bits() const {
    return key_ ? EVP_PKEY_get_bits(key_.get()) : 0;
}

std::string RsaKey::PrivateDer() const {
    if (!key_) return {};
    unsigned char* out = nullptr;
    PKCS8_PRIV_KEY_INFO* info = EVP_PKEY2PKCS8(key_.get());
    if (!info) return {};
    const int n = i2d_PKCS8_PRIV_KEY_INFO(info, &out);
    PKCS8_PRIV_KEY_INFO_free(info);
    if (n <= 0) return {};
    std::string der(reinterpret_cast<char*>(out), static_cast<size_t>(n));
    OPENSSL_clear_free(out, static_cast<size_t>(n));
    return der;
}

std::string RsaKey::PrivatePem() const {
    if (!key_) return {};
    Owned<BIO> bio(BIO_new(BIO_s_mem()));
    if (!bio || PEM_write_bio_PrivateKey(bio.get(), key_.get(), nullptr, nullptr, 0, nullptr, nullptr) != 1)
        return {};
    char* data = nullptr;
    const long n = BIO_get_mem_data(bio.get(), &data);
    std::string pem(data, static_cast<size_t>(n));
    OPENSSL_cleanse(data, static_cast<size_t>(n));
    return pem;
}

// ---------------------------------------------------------------- certificates

size_t LeafLength(std::string_view der) {
    if (der.size() < 2 || static_cast<uint8_t>(der[0]) != 0x30) return 0;
    const uint8_t first = static_cast<uint8_t>(der[1]);
    size_t header = 2;
    size_t length = 0;
    if (first < 0x80) {
        length = first;
    } else {
        const size_t n = first & 0x7f;
        if (n == 0 || n > 3 || der.size() < 2 + n) return 0;
        for (size_t i = 0; i < n; ++i) length = (length << 8) | static_cast<uint8_t>(der[2 + i]);
        header += n;
    }
    return header + length <= der.size() ? header + length : 0;
}

std::string_view Leaf(std::string_view derChain) {
    return derChain.substr(0, LeafLength(derChain));
}

std::string Thumbprint(std::string_view leafDer) {
    std::string out(20, '\0');
    EVP_Digest(leafDer.data(), leafDer.size(), reinterpret_cast<unsigned char*>(out.data()), nullptr,
               EVP_sha1(), nullptr);
    return out;
}

std::string SubjectAltNameUri(std::string_view leafDer) {
    const std::vector<std::string> uris = Certificate::FromDer(leafDer).SubjectAltNameUris();
    return uris.empty() ? std::string() : uris.front();
}

bool WithinValidity(std::string_view leafDer) {
    return Certificate::FromDer(leafDer).WithinValidity();
}

std::string MakeCertificate(const RsaKey& key, const CertificateRequest& r) {
    Owned<X509> x(X509_new());
    if (!x || !key.Valid()) return {};
    X509_set_version(x.get(), X509_VERSION_3);
    std::string serial = RandomBytes(16);
    if (serial.size() != 16) return {};
    serial[0] = static_cast<char>((serial[0] & 0x7F) | 0x01);  // positive, full length
    BIGNUM* bn = BN_bin2bn(U(serial), static_cast<int>(serial.size()), nullptr);
    BN_to_ASN1_INTEGER(bn, X509_get_serialNumber(x.get()));
    BN_free(bn);
    X509_gmtime_adj(X509_getm_notBefore(x.get()), r.notBeforeSeconds);
    X509_time_adj_ex(X509_getm_notAfter(x.get()), static_cast<int>(r.days), 0, nullptr);
    X509_set_pubkey(x.get(), key.Get());
    X509_NAME* name = X509_get_subject_name(x.get());
    for (const auto& [field, value] : {std::pair<const char*, const std::string&>{"CN", r.commonName},
                                       {"O", r.organization},
                                       {"DC", r.domainComponent}})
        if (!value.empty()) X509_NAME_add_entry_by_txt(name, field, MBSTRING_UTF8, U(value), -1, -1, 0);
    X509_set_issuer_name(x.get(), name);
    X509V3_CTX ctx;
    X509V3_set_ctx_nodb(&ctx);
    X509V3_set_ctx(&ctx, x.get(), x.get(), nullptr, nullptr, 0);
    const std::pair<int, const char*> exts[] = {
        {NID_subject_key_identifier, "hash"},
        {NID_authority_key_identifier, "keyid:always"},
        {NID_basic_constraints, "critical,CA:FALSE"},
        {NID_key_usage, "critical,digitalSignature,nonRepudiation,keyEncipherment,dataEncipherment"},
        {NID_ext_key_usage, "serverAuth,clientAuth"},
    };
    for (const auto& [nid, value] : exts) {
        X509_EXTENSION* ext = X509V3_EXT_nconf_nid(nullptr, &ctx, nid, value);
        if (!ext) return {};
        const bool added = X509_add_ext(x.get(), ext, -1) == 1;
        X509_EXTENSION_free(ext);
        if (!added) return {};
    }
    Owned<GENERAL_NAMES> alt(sk_GENERAL_NAME_new_null());
    auto addName = [&](int type, const std::string& value) {
        GENERAL_NAME* g = GENERAL_NAME_new();
        if (type == GEN_IPADD) {
            ASN1_OCTET_STRING* ip = a2i_IPADDRESS(value.c_str());
            if (!ip) {
                GENERAL_NAME_free(g);
                return;
            }
            GENERAL_NAME_set0_value(g, GEN_IPADD, ip);
        } else {
            ASN1_IA5STRING* s = ASN1_IA5STRING_new();
            ASN1_STRING_set(s, value.data(), static_cast<int>(value.size()));
            GENERAL_NAME_set0_value(g, type, s);
        }
        sk_GENERAL_NAME_push(alt.get(), g);
    };
    addName(GEN_URI, r.applicationUri);
    for (const auto& d : r.dnsNames) addName(GEN_DNS, d);
    for (const auto& ip : r.ipAddresses) addName(GEN_IPADD, ip);
    if (X509_add1_ext_i2d(x.get(), NID_subject_alt_name, alt.get(), 0, 0) != 1) return {};
    if (X509_sign(x.get(), key.Get(), EVP_sha256()) <= 0) return {};
    unsigned char* out = nullptr;
    const int n = i2d_X509(x.get(), &out);
    if (n <= 0) return {};
    std::string der(reinterpret_cast<char*>(out), static_cast<size_t>(n));
    OPENSSL_free(out);
    return der;
}

std::string MakeSelfSigned(const RsaKey& key, std::string_view commonName, std::string_view applicationUri,
                           int days) {
    CertificateRequest r;
    r.commonName = commonName;
    r.applicationUri = applicationUri;
    r.dnsNames = {"localhost"};
    r.ipAddresses = {"127.0.0.1"};
    r.notBeforeSeconds = days < 0 ? (static_cast<long>(days) - 1) * 86400 : -86400;
    r.days = days;
    return MakeCertificate(key, r);
}

std::string CertificateToDer(std::string_view bytes) {
    if (ParseCertificate(Leaf(bytes))) return std::string(Leaf(bytes));
    Owned<BIO> bio(BIO_new_mem_buf(bytes.data(), static_cast<int>(bytes.size())));
    if (!bio) return {};
    Owned<X509> x(PEM_read_bio_X509(bio.get(), nullptr, nullptr, nullptr));
    return x ? DerOf(x.get()) : std::string();
}

Certificate::Certificate(X509* x) : x_(x, X509_free) {}

Certificate Certificate::FromDer(std::string_view der) {
    Owned<X509> x = ParseCertificate(der);
    return x ? Certificate(x.release()) : Certificate();
}

Certificate Certificate::Parse(std::string_view bytes) {
    X509* x = ReadDerOrPem(bytes, d2i_X509, PEM_read_bio_X509);
    return x ? Certificate(x) : Certificate();
}

std::vector<Certificate> Certificate::ParseChain(std::string_view der, size_t most) {
    std::vector<Certificate> chain;
    const unsigned char* p = U(der);
    const unsigned char* end = p + der.size();
    while (p < end && chain.size() < most) {
        const unsigned char* start = p;
        X509* x = d2i_X509(nullptr, &p, end - p);
        if (x == nullptr || p <= start) {
            X509_free(x);
            return {};
        }
        chain.push_back(Certificate(x));
    }
    if (p != end) return {};
    return chain;
}

std::string Certificate::Der() const {
    return x_ ? DerOf(x_.get()) : std::string();
}

std::string Certificate::CommonName() const {
    if (!x_) return {};
    X509_NAME* name = X509_get_subject_name(x_.get());
    const int i = X509_NAME_get_index_by_NID(name, NID_commonName, -1);
    if (i < 0) return {};
    unsigned char* utf8 = nullptr;
    const int n = ASN1_STRING_to_UTF8(&utf8, X509_NAME_ENTRY_get_data(X509_NAME_get_entry(name, i)));
    if (n < 0) return {};
    std::string out(reinterpret_cast<char*>(utf8), static_cast<size_t>(n));
    OPENSSL_free(utf8);
    return out;
}

std::vector<std::string> Certificate::SubjectAltNameUris() const {
    std::vector<std::string> uris;
    if (!x_) return uris;
    Owned<GENERAL_NAMES> names(
        static_cast<GENERAL_NAMES*>(X509_get_ext_d2i(x_.get(), NID_subject_alt_name, nullptr, nullptr)));
    if (!names) return uris;
    for (int i = 0; i < sk_GENERAL_NAME_num(names.get()); ++i) {
        const GENERAL_NAME* g = sk_GENERAL_NAME_value(names.get(), i);
        if (g->type != GEN_URI) continue;
        const ASN1_IA5STRING* u = g->d.uniformResourceIdentifier;
        uris.emplace_back(reinterpret_cast<const char*>(ASN1_STRING_get0_data(u)),
                          static_cast<size_t>(ASN1_STRING_length(u)));
    }
    return uris;
}

bool Certificate::SameAs(const Certificate& other) const {
    return x_ && other.x_ && X509_cmp(x_.get(), other.x_.get()) == 0;
}

bool Certificate::NamesAsIssuer(const Certificate& issuer) const {
    return x_ && issuer.x_ &&
           X509_NAME_cmp(X509_get_subject_name(issuer.x_.get()), X509_get_issuer_name(x_.get())) == 0;
}

bool Certificate::SelfIssued() const {
    return x_ && X509_NAME_cmp(X509_get_subject_name(x_.get()), X509_get_issuer_name(x_.get())) == 0;
}

bool Certificate::SignedBy(const Certificate& issuer) const {
    if (!x_ || !issuer.x_) return false;
    EVP_PKEY* key = X509_get0_pubkey(issuer.x_.get());
    return key != nullptr && X509_verify(x_.get(), key) == 1;
}

bool Certificate::HasUnknownCriticalExtension() const {
    return x_ && (X509_get_extension_flags(x_.get()) & EXFLAG_CRITICAL) != 0;
}

bool Certificate::IsCa() const {
    if (!x_) return false;
    const uint32_t flags = X509_get_extension_flags(x_.get());
    return (flags & EXFLAG_BCONS) != 0 && (flags & EXFLAG_CA) != 0 && X509_check_ca(x_.get()) != 0;
}

CertificateUses Certificate::Uses() const {
    CertificateUses u;
    if (!x_) return u;
    const uint32_t flags = X509_get_extension_flags(x_.get());
    u.ca = (flags & EXFLAG_CA) != 0;
    u.keyUsage = (flags & EXFLAG_KUSAGE) != 0;
    const uint32_t ku = X509_get_key_usage(x_.get());
    u.digitalSignature = (ku & KU_DIGITAL_SIGNATURE) != 0;
    u.encipherment = (ku & (KU_KEY_ENCIPHERMENT | KU_DATA_ENCIPHERMENT)) != 0;
    u.extendedKeyUsage = (flags & EXFLAG_XKUSAGE) != 0;
    u.clientAuth = (X509_get_extended_key_usage(x_.get()) & XKU_SSL_CLIENT) != 0;
    return u;
}

int Certificate::RsaKeyBits() const {
    EVP_PKEY* key = x_ ? X509_get0_pubkey(x_.get()) : nullptr;
    if (key == nullptr) return 0;
    const int type = EVP_PKEY_get_base_id(key);
    if (type != EVP_PKEY_RSA && type != EVP_PKEY_RSA_PSS) return 0;
    return EVP_PKEY_get_bits(key);
}

bool Certificate::SignedWithSha2() const {
    int mdnid = NID_undef;
    if (!x_ || X509_get_signature_info(x_.get(), &mdnid, nullptr, nullptr, nullptr) != 1) return false;
    return mdnid == NID_sha256 || mdnid == NID_sha384 || mdnid == NID_sha512;
}

bool Certificate::WithinValidity() const {
    return x_ && X509_cmp_current_time(X509_get0_notBefore(x_.get())) < 0 &&
           X509_cmp_current_time(X509_get0_notAfter(x_.get())) > 0;
}

bool Certificate::Matches(const RsaKey& privateKey) const {
    return x_ && privateKey.Valid() && X509_check_private_key(x_.get(), privateKey.Get()) == 1;
}

Crl::Crl(X509_CRL* c) : crl_(c, X509_CRL_free) {}

Crl Crl::Parse(std::string_view bytes) {
    X509_CRL* c = ReadDerOrPem(bytes, d2i_X509_CRL, PEM_read_bio_X509_CRL);
    return c ? Crl(c) : Crl();
}

bool Crl::NamesAsIssuer(const Certificate& ca) const {
    return crl_ && ca.x_ &&
           X509_NAME_cmp(X509_CRL_get_issuer(crl_.get()), X509_get_subject_name(ca.x_.get())) == 0;
}

bool Crl::SignedBy(const Certificate& ca) const {
    EVP_PKEY* key = crl_ && ca.x_ ? X509_get0_pubkey(ca.x_.get()) : nullptr;
    return key != nullptr && X509_CRL_verify(crl_.get(), key) == 1;
}

bool Crl::Revokes(const Certificate& cert) const {
    X509_REVOKED* revoked = nullptr;
    return crl_ && cert.x_ && X509_CRL_get0_by_cert(crl_.get(), &revoked, cert.x_.get()) == 1;
}

bool Crl::Current() const {
    if (!crl_) return false;
    const ASN1_TIME* next = X509_CRL_get0_nextUpdate(crl_.get());
    return next != nullptr && X509_cmp_current_time(next) > 0 &&
           X509_cmp_current_time(X509_CRL_get0_lastUpdate(crl_.get())) < 0;
}

// ---------------------------------------------------------------- asymmetric

std::optional<std::string> Sign(const PolicyParams& p, const RsaKey& key, std::string_view data) {
    if (!key.Valid()) return std::nullopt;
    Owned<EVP_MD_CTX> md(EVP_MD_CTX_new());
    EVP_PKEY_CTX* pctx = nullptr;
    if (!md || EVP_DigestSignInit(md.get(), &pctx, EVP_sha256(), nullptr, key.Get()) <= 0 ||
        !SetPadding(pctx, p, true))
        return std::nullopt;
    size_t len = 0;
    if (EVP_DigestSign(md.get(), nullptr, &len, U(data), data.size()) <= 0) return std::nullopt;
    std::string sig(len, '\0');
    if (EVP_DigestSign(md.get(), reinterpret_cast<unsigned char*>(sig.data()), &len, U(data), data.size()) <=
        0)
        return std::nullopt;
    sig.resize(len);
    return sig;
}

bool Verify(const PolicyParams& p, const RsaKey& key, std::string_view data, std::string_view signature) {
    if (!key.Valid() || signature.size() != key.Bytes()) return false;
    Owned<EVP_MD_CTX> md(EVP_MD_CTX_new());
    EVP_PKEY_CTX* pctx = nullptr;
    if (!md || EVP_DigestVerifyInit(md.get(), &pctx, EVP_sha256(), nullptr, key.Get()) <= 0 ||
        !SetPadding(pctx, p, true))
        return false;
    return EVP_DigestVerify(md.get(), U(signature), signature.size(), U(data), data.size()) == 1;
}

size_t PlainBlock(const PolicyParams& p, const RsaKey& receiverKey) {
    return receiverKey.Bytes() - p.oaepOverhead;
}

std::optional<std::string> Encrypt(const PolicyParams& p, const RsaKey& publicKey, std::string_view plain) {
    if (!publicKey.Valid()) return std::nullopt;
    Owned<EVP_PKEY_CTX> ctx(EVP_PKEY_CTX_new(publicKey.Get(), nullptr));
    if (!ctx || EVP_PKEY_encrypt_init(ctx.get()) <= 0 || !SetPadding(ctx.get(), p, false))
        return std::nullopt;
    const size_t pt = PlainBlock(p, publicKey);
    const size_t ct = publicKey.Bytes();
    std::string out;
    out.reserve((plain.size() + pt - 1) / pt * ct);
    for (size_t pos = 0; pos < plain.size(); pos += pt) {
        const size_t n = std::min(pt, plain.size() - pos);
        const size_t at = out.size();
        out.resize(at + ct);
        size_t len = ct;
        if (EVP_PKEY_encrypt(ctx.get(), reinterpret_cast<unsigned char*>(out.data() + at), &len,
                             U(plain) + pos, n) <= 0 ||
            len != ct)
            return std::nullopt;
    }
    return out;
}

std::optional<std::string> Decrypt(const PolicyParams& p, const RsaKey& privateKey, std::string_view cipher) {
    if (!privateKey.Valid()) return std::nullopt;
    const size_t ct = privateKey.Bytes();
    if (cipher.empty() || cipher.size() % ct != 0) return std::nullopt;
    Owned<EVP_PKEY_CTX> ctx(EVP_PKEY_CTX_new(privateKey.Get(), nullptr));
    if (!ctx || EVP_PKEY_decrypt_init(ctx.get()) <= 0 || !SetPadding(ctx.get(), p, false))
        return std::nullopt;
    std::string out;
    std::string block(ct, '\0');
    for (size_t pos = 0; pos < cipher.size(); pos += ct) {
        size_t len = ct;
        if (EVP_PKEY_decrypt(ctx.get(), reinterpret_cast<unsigned char*>(block.data()), &len, U(cipher) + pos,
                             ct) <= 0)
            return std::nullopt;
        out.append(block.data(), len);
    }
    return out;
}

// ---------------------------------------------------------------- symmetric

namespace {

// OpenSSL 3 looks an algorithm up by name and sets a key up on every one-shot call, which costs
// more than signing or encrypting one small message. A channel uses the same few keys for a whole
// token, so each thread keeps contexts already keyed, a few at a time, and restarts them per
// message. Replaced entries are freed by OpenSSL, which clears their key material.
template <typename Ctx>
class KeyedContexts {
  public:
    // The context keyed with key (and tag: the direction of a cipher), or null when it is new:
    // then Store gives it.
    Ctx* Find(std::string_view key, int tag) {
        for (Entry& e : entries_)
            if (e.ctx && e.tag == tag && ConstantTimeEqual(e.key, key)) return e.ctx.get();
        return nullptr;
    }
    Ctx* Store(std::string_view key, int tag, Owned<Ctx> ctx) {
        Entry& e = entries_[next_++ % entries_.size()];
        OPENSSL_cleanse(e.key.data(), e.key.size());
        e.key.assign(key);
        e.tag = tag;
        e.ctx = std::move(ctx);
        return e.ctx.get();
    }
    ~KeyedContexts() {
        for (Entry& e : entries_) OPENSSL_cleanse(e.key.data(), e.key.size());
    }

  private:
    struct Entry {
        std::string key;
        int tag = 0;
        Owned<Ctx> ctx;
    };
    std::array<Entry, 8> entries_;
    size_t next_ = 0;
};

EVP_MAC* HmacAlgorithm() {
    static EVP_MAC* const mac = EVP_MAC_fetch(nullptr, "HMAC", nullptr);
    return mac;
}

EVP_MAC_CTX* KeyedHmac(std::string_view key) {
    thread_local KeyedContexts<EVP_MAC_CTX> cache;
    if (EVP_MAC_CTX* ctx = cache.Find(key, 0)) {
        // Restarts with the key it holds.
        return EVP_MAC_init(ctx, nullptr, 0, nullptr) > 0 ? ctx : nullptr;
    }
    if (!HmacAlgorithm()) return nullptr;
    Owned<EVP_MAC_CTX> ctx(EVP_MAC_CTX_new(HmacAlgorithm()));
    char digest[] = "SHA256";
    const OSSL_PARAM params[] = {OSSL_PARAM_construct_utf8_string("digest", digest, 0),
                                 OSSL_PARAM_construct_end()};
    if (!ctx || EVP_MAC_init(ctx.get(), U(key), key.size(), params) <= 0) return nullptr;
    return cache.Store(key, 0, std::move(ctx));
}

}  // namespace

std::string HmacSha256(std::string_view key, std::string_view data) {
    std::string out(32, '\0');
    size_t len = 0;
    EVP_MAC_CTX* ctx = KeyedHmac(key);
    if (ctx && EVP_MAC_update(ctx, U(data), data.size()) > 0 &&
        EVP_MAC_final(ctx, reinterpret_cast<unsigned char*>(out.data()), &len, out.size()) > 0 && len == 32)
        return out;
    unsigned int n = 32;
    HMAC(EVP_sha256(), key.data(), static_cast<int>(key.size()), U(data), data.size(),
         reinterpret_cast<unsigned char*>(out.data()), &n);
    return out;
}

std::string PSha256(std::string_view secret, std::string_view seed, size_t length) {
    std::string out;
    out.reserve(length + 32);
    std::string a = HmacSha256(secret, seed);  // A(1)
    while (out.size() < length) {
        out += HmacSha256(secret, a + std::string(seed));
        a = HmacSha256(secret, a);
    }
    out.resize(length);
    return out;
}

bool AesCbc(bool encrypt, std::string_view key, std::string_view iv, const uint8_t* in, uint8_t* out,
            size_t length) {
    if (length % kAesBlock != 0 || iv.size() != kIvBytes) return false;
    const EVP_CIPHER* cipher = key.size() == 16   ? EVP_aes_128_cbc()
                               : key.size() == 32 ? EVP_aes_256_cbc()
                                                  : nullptr;
    if (!cipher) return false;
    thread_local KeyedContexts<EVP_CIPHER_CTX> cache;
    const int direction = encrypt ? 1 : 0;
    EVP_CIPHER_CTX* ctx = cache.Find(key, direction);
    if (ctx) {
        // Keeps the key schedule; only the IV is set again.
        if (EVP_CipherInit_ex(ctx, nullptr, nullptr, nullptr, U(iv), direction) <= 0) return false;
    } else {
        Owned<EVP_CIPHER_CTX> fresh(EVP_CIPHER_CTX_new());
        if (!fresh || EVP_CipherInit_ex(fresh.get(), cipher, nullptr, U(key), U(iv), direction) <= 0)
            return false;
        EVP_CIPHER_CTX_set_padding(fresh.get(), 0);
        ctx = cache.Store(key, direction, std::move(fresh));
    }
    int n = 0;
    if (length > 0 && EVP_CipherUpdate(ctx, out, &n, in, static_cast<int>(length)) <= 0) return false;
    int tail = 0;
    if (EVP_CipherFinal_ex(ctx, out + n, &tail) <= 0) return false;
    return static_cast<size_t>(n + tail) == length;
}

std::string RandomBytes(size_t n) {
    std::string out(n, '\0');
    if (n > 0 && RAND_bytes(reinterpret_cast<unsigned char*>(out.data()), static_cast<int>(n)) != 1)
        out.clear();
    return out;
}

void Wipe(std::string& secret) {
    OPENSSL_cleanse(secret.data(), secret.size());
}

bool ConstantTimeEqual(std::string_view a, std::string_view b) {
    return a.size() == b.size() && CRYPTO_memcmp(a.data(), b.data(), a.size()) == 0;
}

}  // namespace qora::ua::crypto
