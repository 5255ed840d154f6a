// Certificates, keys and CRLs made in the tests with the OpenSSL API: self-signed or issued by a
// test CA, with the defects the trust store must find (short key, SHA-1, wrong uses, times).
#pragma once

#include <openssl/evp.h>
#include <openssl/rand.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <map>
#include <memory>
#include <string>
#include <vector>

namespace qora::test {

struct PkeyDeleter {
    void operator()(EVP_PKEY* k) const { EVP_PKEY_free(k); }
};
struct X509Deleter {
    void operator()(X509* x) const { X509_free(x); }
};
using TestKey = std::shared_ptr<EVP_PKEY>;
using TestX509 = std::unique_ptr<X509, X509Deleter>;

// Keys are slow to make: one per (role, size), shared by the tests of the process.
inline TestKey KeyFor(const std::string& role, int bits = 2048) {
    static std::map<std::string, TestKey> keys;
    const std::string id = role + "/" + std::to_string(bits);
    auto& k = keys[id];
    if (!k) k = TestKey(EVP_PKEY_Q_keygen(nullptr, nullptr, "RSA", static_cast<size_t>(bits)), PkeyDeleter());
    return k;
}

struct CertRecipe {
    std::string cn = "Test Client";
    std::string role = "leaf";  // which shared key
    int bits = 2048;
    const EVP_MD* md = EVP_sha256();
    long notBeforeDays = -1;
    long notAfterDays = 365;
    std::string basicConstraints = "critical,CA:FALSE";  // empty: none
    std::string keyUsage = "critical,digitalSignature,nonRepudiation,keyEncipherment,dataEncipherment";
    std::string extKeyUsage = "serverAuth,clientAuth";
    std::string subjectAltName = "URI:urn:test:client,DNS:localhost";
    std::string extra;  // another extension, "<oid>=<value>" (value as X509V3_EXT_nconf takes it)
};

inline CertRecipe CaRecipe(const std::string& cn, const std::string& role) {
    CertRecipe s;
    s.cn = cn;
    s.role = role;
    s.basicConstraints = "critical,CA:TRUE";
    s.keyUsage = "critical,keyCertSign,cRLSign";
    s.extKeyUsage.clear();
    s.subjectAltName.clear();
    return s;
}

struct TestCert {
    TestKey key;
    TestX509 cert;
    std::string der;
};

inline std::string DerOf(X509* x) {
    unsigned char* buf = nullptr;
    const int n = i2d_X509(x, &buf);
    std::string out(reinterpret_cast<char*>(buf), static_cast<size_t>(n));
    OPENSSL_free(buf);
    return out;
}

inline void AddExt(X509* x, X509V3_CTX* ctx, int nid, const std::string& value) {
    if (value.empty()) return;
    X509_EXTENSION* ext = X509V3_EXT_nconf_nid(nullptr, ctx, nid, value.c_str());
    X509_add_ext(x, ext, -1);
    X509_EXTENSION_free(ext);
}

// Self-signed when issuer is null.
inline TestCert MakeCert(const CertRecipe& recipe, const TestCert* issuer = nullptr) {
    TestCert c;
    c.key = KeyFor(recipe.role, recipe.bits);
    c.cert.reset(X509_new());
    X509* x = c.cert.get();
    X509_set_version(x, X509_VERSION_3);
    unsigned char serial[12];
    RAND_bytes(serial, sizeof serial);
    serial[0] &= 0x7F;
    BIGNUM* bn = BN_bin2bn(serial, sizeof serial, nullptr);
    BN_to_ASN1_INTEGER(bn, X509_get_serialNumber(x));
    BN_free(bn);
    X509_time_adj_ex(X509_getm_notBefore(x), static_cast<int>(recipe.notBeforeDays), 0, nullptr);
    X509_time_adj_ex(X509_getm_notAfter(x), static_cast<int>(recipe.notAfterDays), 0, nullptr);
    X509_NAME_add_entry_by_txt(X509_get_subject_name(x), "CN", MBSTRING_UTF8,
                               reinterpret_cast<const unsigned char*>(recipe.cn.c_str()), -1, -1, 0);
    X509* issuerCert = issuer ? issuer->cert.get() : x;
    X509_set_issuer_name(x, X509_get_subject_name(issuerCert));
    X509_set_pubkey(x, c.key.get());
    X509V3_CTX ctx;
    X509V3_set_ctx_nodb(&ctx);
    X509V3_set_ctx(&ctx, issuerCert, x, nullptr, nullptr, 0);
    AddExt(x, &ctx, NID_subject_key_identifier, "hash");
    AddExt(x, &ctx, NID_authority_key_identifier, "keyid:always");
    AddExt(x, &ctx, NID_basic_constraints, recipe.basicConstraints);
    AddExt(x, &ctx, NID_key_usage, recipe.keyUsage);
    AddExt(x, &ctx, NID_ext_key_usage, recipe.extKeyUsage);
    AddExt(x, &ctx, NID_subject_alt_name, recipe.subjectAltName);
    if (const size_t eq = recipe.extra.find('='); eq != std::string::npos) {
        X509_EXTENSION* ext = X509V3_EXT_nconf(nullptr, &ctx, recipe.extra.substr(0, eq).c_str(),
                                               recipe.extra.substr(eq + 1).c_str());
        X509_add_ext(x, ext, -1);
        X509_EXTENSION_free(ext);
    }
    X509_sign(x, issuer ? issuer->key.get() : c.key.get(), recipe.md);
    c.der = DerOf(x);
    return c;
}

// A CRL of ca listing revoked (DER), issued a minute ago plus lastUpdateDays, with nextUpdate
// nextUpdateDays from now.
inline std::string MakeCrl(const TestCert& ca, const std::vector<const TestCert*>& revoked = {},
                           long nextUpdateDays = 30, long lastUpdateDays = 0) {
    X509_CRL* crl = X509_CRL_new();
    X509_CRL_set_version(crl, 1);
    X509_CRL_set_issuer_name(crl, X509_get_subject_name(ca.cert.get()));
    ASN1_TIME* now = X509_time_adj_ex(nullptr, static_cast<int>(lastUpdateDays), -60, nullptr);
    ASN1_TIME* next = X509_time_adj_ex(nullptr, static_cast<int>(nextUpdateDays), 0, nullptr);
    X509_CRL_set1_lastUpdate(crl, now);
    X509_CRL_set1_nextUpdate(crl, next);
    for (const TestCert* r : revoked) {
        X509_REVOKED* rev = X509_REVOKED_new();
        X509_REVOKED_set_serialNumber(rev, X509_get_serialNumber(r->cert.get()));
        X509_REVOKED_set_revocationDate(rev, now);
        X509_CRL_add0_revoked(crl, rev);
    }
    ASN1_TIME_free(now);
    ASN1_TIME_free(next);
    X509_CRL_sort(crl);
    X509_CRL_sign(crl, ca.key.get(), EVP_sha256());
    unsigned char* buf = nullptr;
    const int n = i2d_X509_CRL(crl, &buf);
    std::string out(reinterpret_cast<char*>(buf), static_cast<size_t>(n));
    OPENSSL_free(buf);
    X509_CRL_free(crl);
    return out;
}

}  // namespace qora::test
