#include "ua/security/pki.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>
#include <openssl/bio.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>

#include "base/atomic_file.h"
#include "ua/security/crypto.h"

namespace qora::ua {

namespace fs = std::filesystem;
using namespace certstatus;

namespace {

struct X509Free {
    void operator()(X509* x) const { X509_free(x); }
};
struct CrlFree {
    void operator()(X509_CRL* c) const { X509_CRL_free(c); }
};
struct PkeyFree {
    void operator()(EVP_PKEY* k) const { EVP_PKEY_free(k); }
};
struct BioFree {
    void operator()(BIO* b) const { BIO_free(b); }
};
using X509Ptr = std::unique_ptr<X509, X509Free>;
using CrlPtr = std::unique_ptr<X509_CRL, CrlFree>;
using PkeyPtr = std::unique_ptr<EVP_PKEY, PkeyFree>;
using BioPtr = std::unique_ptr<BIO, BioFree>;

constexpr std::array<const char*, 4> kListDirs{"trusted/certs", "trusted/crl", "issuers/certs",
                                               "issuers/crl"};
constexpr std::array<const char*, 8> kLayout{"own/certs",     "own/private", "trusted/certs",  "trusted/crl",
                                             "issuers/certs", "issuers/crl", "rejected/certs", ""};

std::string SysError(int err) {
    return std::strerror(err);
}

bool ReadWholeFile(const fs::path& path, std::string& out) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return false;
    out.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    return !in.bad();
}

// Writes data to path crash-safely with exactly the given mode (never more open than that).
bool WriteFileAtomic(const fs::path& path, std::string_view data, mode_t mode, std::string* error) {
    const int e =
        AtomicWriteFile(path.string(), data.data(), data.size(), {.fixedMode = static_cast<int>(mode)});
    if (e == 0) return true;
    if (error) *error = "не удалось записать файл " + path.string() + ": " + SysError(e);
    return false;
}

X509Ptr ParseCertificate(const std::string& bytes) {
    const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
    X509* x = d2i_X509(nullptr, &p, static_cast<long>(bytes.size()));
    if (x != nullptr) return X509Ptr(x);
    BioPtr bio(BIO_new_mem_buf(bytes.data(), static_cast<int>(bytes.size())));
    return X509Ptr(PEM_read_bio_X509(bio.get(), nullptr, nullptr, nullptr));
}

CrlPtr ParseCrl(const std::string& bytes) {
    const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
    X509_CRL* c = d2i_X509_CRL(nullptr, &p, static_cast<long>(bytes.size()));
    if (c != nullptr) return CrlPtr(c);
    BioPtr bio(BIO_new_mem_buf(bytes.data(), static_cast<int>(bytes.size())));
    return CrlPtr(PEM_read_bio_X509_CRL(bio.get(), nullptr, nullptr, nullptr));
}

std::string Der(X509* x) {
    unsigned char* buf = nullptr;
    const int n = i2d_X509(x, &buf);
    if (n <= 0) return {};
    std::string out(reinterpret_cast<char*>(buf), static_cast<size_t>(n));
    OPENSSL_free(buf);
    return out;
}

std::string CommonName(X509* x) {
    X509_NAME* name = X509_get_subject_name(x);
    const int i = X509_NAME_get_index_by_NID(name, NID_commonName, -1);
    if (i < 0) return {};
    unsigned char* utf8 = nullptr;
    const int n = ASN1_STRING_to_UTF8(&utf8, X509_NAME_ENTRY_get_data(X509_NAME_get_entry(name, i)));
    if (n < 0) return {};
    std::string out(reinterpret_cast<char*>(utf8), static_cast<size_t>(n));
    OPENSSL_free(utf8);
    return out;
}

// A file name made of the common name: path separators, brackets and control characters become
// '_', at most 64 bytes, not cut inside a UTF-8 sequence.
std::string FileNamePart(const std::string& cn) {
    std::string out;
    for (char ch : cn) {
        const auto c = static_cast<unsigned char>(ch);
        out += (c < 0x20 || c == 0x7F || ch == '/' || ch == '\\' || ch == '[' || ch == ']') ? '_' : ch;
    }
    if (out.size() > 64) {
        size_t cut = 64;
        while (cut > 0 && (static_cast<unsigned char>(out[cut]) & 0xC0) == 0x80) --cut;
        out.resize(cut);
    }
    if (out.empty() || out == "." || out == "..") out = "certificate";
    return out;
}

// A name for a log line: control characters (C0, DEL, C1) become \xNN, so a certificate cannot
// forge or split lines of the log.
std::string ForLog(const std::string& text) {
    std::string out;
    char buf[8];
    for (size_t i = 0; i < text.size(); ++i) {
        const auto c = static_cast<unsigned char>(text[i]);
        const bool c1 = c == 0xC2 && i + 1 < text.size() && static_cast<unsigned char>(text[i + 1]) >= 0x80 &&
                        static_cast<unsigned char>(text[i + 1]) <= 0x9F;
        if (c < 0x20 || c == 0x7F) {
            std::snprintf(buf, sizeof buf, "\\x%02X", c);
            out += buf;
        } else if (c1) {
            std::snprintf(buf, sizeof buf, "\\x%02X", static_cast<unsigned char>(text[++i]));
            out += buf;
        } else {
            out += text[i];
        }
    }
    return out;
}

// Critical extensions this store does not understand refuse the certificate (OpenSSL marks them).
bool UnknownCritical(X509* x) {
    return (X509_get_extension_flags(x) & EXFLAG_CRITICAL) != 0;
}

// An issuer must say it is a CA in basicConstraints; a keyCertSign usage or an old version-1
// certificate is not enough.
bool IsCa(X509* x) {
    const uint32_t flags = X509_get_extension_flags(x);
    return (flags & EXFLAG_BCONS) != 0 && (flags & EXFLAG_CA) != 0 && X509_check_ca(x) != 0;
}

// A CRL whose nextUpdate has passed (or that has none) says nothing about today.
bool CrlCurrent(X509_CRL* crl) {
    const ASN1_TIME* next = X509_CRL_get0_nextUpdate(crl);
    return next != nullptr && X509_cmp_current_time(next) > 0 &&
           X509_cmp_current_time(X509_CRL_get0_lastUpdate(crl)) < 0;
}

bool IsSelfIssued(X509* x) {
    return X509_NAME_cmp(X509_get_subject_name(x), X509_get_issuer_name(x)) == 0;
}

bool SignedBy(X509* x, X509* issuer) {
    EVP_PKEY* key = X509_get0_pubkey(issuer);
    return key != nullptr && X509_verify(x, key) == 1;
}

bool PolicyOk(X509* x, bool checkDigest) {
    EVP_PKEY* key = X509_get0_pubkey(x);
    if (key == nullptr) return false;
    const int type = EVP_PKEY_get_base_id(key);
    if (type != EVP_PKEY_RSA && type != EVP_PKEY_RSA_PSS) return false;
    const int bits = EVP_PKEY_get_bits(key);
    if (bits < kMinClientKeyBits || bits > kMaxClientKeyBits) return false;
    if (!checkDigest) return true;
    int mdnid = NID_undef;
    if (X509_get_signature_info(x, &mdnid, nullptr, nullptr, nullptr) != 1) return false;
    return mdnid == NID_sha256 || mdnid == NID_sha384 || mdnid == NID_sha512;
}

int TimeState(X509* x) {  // 0 valid, nonzero invalid
    const int nb = X509_cmp_current_time(X509_get0_notBefore(x));
    const int na = X509_cmp_current_time(X509_get0_notAfter(x));
    return (nb == 0 || nb > 0 || na == 0 || na < 0) ? 1 : 0;
}

std::vector<std::string> SubjectAltUris(X509* x) {
    std::vector<std::string> uris;
    auto* names = static_cast<GENERAL_NAMES*>(X509_get_ext_d2i(x, NID_subject_alt_name, nullptr, nullptr));
    if (names == nullptr) return uris;
    for (int i = 0; i < sk_GENERAL_NAME_num(names); ++i) {
        const GENERAL_NAME* g = sk_GENERAL_NAME_value(names, i);
        if (g->type != GEN_URI) continue;
        const ASN1_IA5STRING* s = g->d.uniformResourceIdentifier;
        uris.emplace_back(reinterpret_cast<const char*>(ASN1_STRING_get0_data(s)),
                          static_cast<size_t>(ASN1_STRING_length(s)));
    }
    GENERAL_NAMES_free(names);
    return uris;
}

bool LeafUseOk(X509* x) {
    const uint32_t flags = X509_get_extension_flags(x);
    if ((flags & EXFLAG_CA) != 0) return false;
    if ((flags & EXFLAG_KUSAGE) == 0) return false;
    const uint32_t ku = X509_get_key_usage(x);
    if ((ku & KU_DIGITAL_SIGNATURE) == 0) return false;
    if ((ku & (KU_KEY_ENCIPHERMENT | KU_DATA_ENCIPHERMENT)) == 0) return false;
    if ((flags & EXFLAG_XKUSAGE) != 0 && (X509_get_extended_key_usage(x) & XKU_SSL_CLIENT) == 0) return false;
    return true;
}

void HostNamesAndAddresses(std::vector<std::string>& dns, std::vector<std::string>& ips) {
    std::array<char, 256> host{};
    if (::gethostname(host.data(), host.size() - 1) == 0 && host[0] != '\0') dns.emplace_back(host.data());
    ifaddrs* list = nullptr;
    if (::getifaddrs(&list) != 0) return;
    for (ifaddrs* a = list; a != nullptr; a = a->ifa_next) {
        if (a->ifa_addr == nullptr || (a->ifa_flags & IFF_LOOPBACK) != 0) continue;
        std::array<char, INET6_ADDRSTRLEN> text{};
        if (a->ifa_addr->sa_family == AF_INET) {
            const auto* in = reinterpret_cast<const sockaddr_in*>(a->ifa_addr);
            if (::inet_ntop(AF_INET, &in->sin_addr, text.data(), text.size())) ips.emplace_back(text.data());
        } else if (a->ifa_addr->sa_family == AF_INET6) {
            const auto* in6 = reinterpret_cast<const sockaddr_in6*>(a->ifa_addr);
            if (IN6_IS_ADDR_LINKLOCAL(&in6->sin6_addr)) continue;  // needs a scope; clients cannot name it
            if (::inet_ntop(AF_INET6, &in6->sin6_addr, text.data(), text.size()))
                ips.emplace_back(text.data());
        }
    }
    ::freeifaddrs(list);
}

void AppendUnique(std::vector<std::string>& v, const std::string& s) {
    if (!s.empty() && std::find(v.begin(), v.end(), s) == v.end()) v.push_back(s);
}

std::string KeyDer(EVP_PKEY* key) {
    PKCS8_PRIV_KEY_INFO* p8 = EVP_PKEY2PKCS8(key);
    if (p8 == nullptr) return {};
    unsigned char* buf = nullptr;
    const int n = i2d_PKCS8_PRIV_KEY_INFO(p8, &buf);
    PKCS8_PRIV_KEY_INFO_free(p8);
    if (n <= 0) return {};
    std::string out(reinterpret_cast<char*>(buf), static_cast<size_t>(n));
    OPENSSL_clear_free(buf, static_cast<size_t>(n));
    return out;
}

int NoPassphrase(char*, int, int, void*) {
    return 0;
}

}  // namespace

std::string CertificateStatusName(StatusCode status) {
    static constexpr std::array<std::pair<StatusCode, const char*>, 14> kNames{{
        {status::Good, "Good"},
        {BadCertificateInvalid, "BadCertificateInvalid"},
        {BadCertificateTimeInvalid, "BadCertificateTimeInvalid"},
        {BadCertificateIssuerTimeInvalid, "BadCertificateIssuerTimeInvalid"},
        {BadCertificateUriInvalid, "BadCertificateUriInvalid"},
        {BadCertificateUseNotAllowed, "BadCertificateUseNotAllowed"},
        {BadCertificateIssuerUseNotAllowed, "BadCertificateIssuerUseNotAllowed"},
        {BadCertificateUntrusted, "BadCertificateUntrusted"},
        {BadCertificateRevocationUnknown, "BadCertificateRevocationUnknown"},
        {BadCertificateIssuerRevocationUnknown, "BadCertificateIssuerRevocationUnknown"},
        {BadCertificateRevoked, "BadCertificateRevoked"},
        {BadCertificateIssuerRevoked, "BadCertificateIssuerRevoked"},
        {BadCertificateChainIncomplete, "BadCertificateChainIncomplete"},
        {BadCertificatePolicyCheckFailed, "BadCertificatePolicyCheckFailed"},
    }};
    for (const auto& [code, name] : kNames)
        if (code == status) return name;
    char buf[16];
    std::snprintf(buf, sizeof buf, "0x%08X", status);
    return buf;
}

std::string ThumbprintHex(std::string_view der) {
    static constexpr char kHex[] = "0123456789abcdef";
    std::string out;
    for (char ch : crypto::Thumbprint(der)) {
        const auto b = static_cast<unsigned char>(ch);
        out += kHex[b >> 4];
        out += kHex[b & 15];
    }
    return out;
}

struct PkiStore::Lists {
    std::vector<X509Ptr> trusted;
    std::vector<X509Ptr> issuers;
    std::vector<CrlPtr> crls;
    uint64_t stamp = 0;     // folders and files
    uint64_t dirStamp = 0;  // folders only
    bool loaded = false;
};

PkiStore::PkiStore(PkiOptions options) : options_(std::move(options)), lists_(std::make_unique<Lists>()) {}

PkiStore::~PkiStore() = default;

std::string PkiStore::OwnCertificatePath() const {
    return (fs::path(options_.root) / "own/certs" / (options_.fileBaseName + ".der")).string();
}

std::string PkiStore::OwnPrivateKeyPath() const {
    return (fs::path(options_.root) / "own/private" / (options_.fileBaseName + ".pem")).string();
}

void PkiStore::Log(const std::string& line) const {
    if (options_.log) options_.log(line);
}

std::unique_ptr<PkiStore> PkiStore::Open(const PkiOptions& options, std::string* error) {
    std::unique_ptr<PkiStore> store(new PkiStore(options));
    for (const char* sub : kLayout) {
        const fs::path dir = sub[0] == '\0' ? fs::path(options.root) : fs::path(options.root) / sub;
        std::error_code ec;
        fs::create_directories(dir, ec);
        if (ec || !fs::is_directory(dir)) {
            if (error) *error = "не удалось создать папку сертификатов " + dir.string() + ": " + ec.message();
            return nullptr;
        }
    }
    // The private key's folder is the owner's only.
    ::chmod((fs::path(options.root) / "own/private").c_str(), 0700);
    if (!store->LoadOrCreateOwn(error)) return nullptr;
    store->CountRejected();
    return store;
}

bool PkiStore::LoadOrCreateOwn(std::string* error) {
    const std::string certPath = OwnCertificatePath();
    const std::string keyPath = OwnPrivateKeyPath();
    std::error_code ec;
    const bool haveCert = fs::exists(certPath, ec);
    const bool haveKey = fs::exists(keyPath, ec);
    const std::string keep =
        " Файлы оставлены как есть; удалите оба файла, чтобы программа создала новую пару.";
    if (haveCert || haveKey) {
        if (!haveCert || !haveKey) {
            if (error)
                *error =
                    "сертификат сервера неполон: нет файла " + (haveCert ? keyPath : certPath) + "." + keep;
            return false;
        }
        std::string certBytes, keyBytes;
        if (!ReadWholeFile(certPath, certBytes) || !ReadWholeFile(keyPath, keyBytes)) {
            if (error) *error = "не удалось прочитать сертификат сервера или его ключ: " + SysError(errno);
            return false;
        }
        X509Ptr cert = ParseCertificate(certBytes);
        BioPtr bio(BIO_new_mem_buf(keyBytes.data(), static_cast<int>(keyBytes.size())));
        PkeyPtr key(PEM_read_bio_PrivateKey(bio.get(), nullptr, NoPassphrase, nullptr));
        OPENSSL_cleanse(keyBytes.data(), keyBytes.size());
        if (!cert || !key) {
            if (error)
                *error = std::string("повреждён ") +
                         (!cert ? "сертификат сервера " + certPath : "ключ " + keyPath) + "." + keep;
            return false;
        }
        if (X509_check_private_key(cert.get(), key.get()) != 1) {
            if (error) *error = "ключ " + keyPath + " не соответствует сертификату " + certPath + "." + keep;
            return false;
        }
        struct stat st {};
        if (::stat(keyPath.c_str(), &st) == 0 && (st.st_mode & 077) != 0) {
            ::chmod(keyPath.c_str(), 0600);
            Log("Права на файл ключа " + keyPath + " сужены до 0600");
        }
        const auto uris = SubjectAltUris(cert.get());
        if (std::find(uris.begin(), uris.end(), options_.applicationUri) != uris.end()) {
            ownCertDer_ = Der(cert.get());
            ownKeyDer_ = KeyDer(key.get());
            return !ownCertDer_.empty() && !ownKeyDer_.empty();
        }
        Log("Сертификат сервера " + certPath + " выдан для URI «" + ForLog(uris.empty() ? "" : uris.front()) +
            "», а URI приложения «" + options_.applicationUri +
            "»: создаётся новый сертификат; клиентам нужно "
            "доверить его заново");
    }

    // First start: a new key and a self-signed certificate. An hour back: a client whose clock is
    // a little behind still sees the certificate as valid.
    const crypto::RsaKey key = crypto::RsaKey::Generate(kOwnKeyBits);
    crypto::CertificateRequest request;
    request.commonName = options_.applicationName;
    request.organization = options_.organization;
    request.domainComponent = options_.hostName;
    request.applicationUri = options_.applicationUri;
    request.dnsNames = options_.dnsNames;
    request.ipAddresses = options_.ipAddresses;
    if (request.dnsNames.empty() && request.ipAddresses.empty())
        HostNamesAndAddresses(request.dnsNames, request.ipAddresses);
    AppendUnique(request.dnsNames, "localhost");
    AppendUnique(request.ipAddresses, "127.0.0.1");
    request.notBeforeSeconds = -3600;
    request.days = kOwnCertificateValidityDays;
    std::string certDer = key.Valid() ? crypto::MakeCertificate(key, request) : std::string();
    std::string pem = key.PrivatePem();
    if (certDer.empty() || pem.empty()) {
        if (error) *error = "не удалось создать сертификат сервера";
        return false;
    }
    ownCertDer_ = std::move(certDer);
    ownKeyDer_ = key.PrivateDer();
    // The key first: a certificate without its key is never left behind.
    const bool keyWritten = WriteFileAtomic(keyPath, pem, 0600, error);
    OPENSSL_cleanse(pem.data(), pem.size());
    if (!keyWritten) return false;
    if (!WriteFileAtomic(certPath, ownCertDer_, 0644, error)) {
        ::unlink(keyPath.c_str());
        return false;
    }
    created_ = true;
    Log("Создан сертификат сервера " + certPath + " (отпечаток " + ThumbprintHex(ownCertDer_) + ")");
    return true;
}

// A fingerprint of the four list folders: each folder's time and every file's name, time and
// size. A file copied over another (a new CRL under the old name) changes it as well as a file
// added, removed or renamed.
uint64_t PkiStore::ListsStamp(bool withFiles) const {
    uint64_t h = 1469598103934665603ull;  // FNV-1a
    auto mix = [&h](const void* data, size_t n) {
        const auto* b = static_cast<const unsigned char*>(data);
        for (size_t i = 0; i < n; ++i) h = (h ^ b[i]) * 1099511628211ull;
    };
    for (const char* sub : kListDirs) {
        const fs::path dir = fs::path(options_.root) / sub;
        struct stat st {};
        if (::stat(dir.c_str(), &st) != 0) continue;
        mix(&st.st_mtim, sizeof st.st_mtim);
        if (!withFiles) continue;
        std::error_code ec;
        for (const auto& entry : fs::directory_iterator(dir, ec)) {
            const std::string name = entry.path().filename().string();
            mix(name.data(), name.size());
            if (::stat(entry.path().c_str(), &st) != 0) continue;
            mix(&st.st_mtim, sizeof st.st_mtim);
            mix(&st.st_size, sizeof st.st_size);
            mix(&st.st_ino, sizeof st.st_ino);
        }
    }
    return h;
}

void PkiStore::ReloadIfChanged() {
    // The folders' own times at every validation (four stat calls); the files' at most every
    // fileCheckIntervalMs, as a folder with hundreds of certificates costs a stat per file.
    const uint64_t dirStamp = ListsStamp(false);
    const auto now = std::chrono::steady_clock::now();
    if (lists_->loaded && lists_->dirStamp == dirStamp &&
        now - lastFileCheck_ < std::chrono::milliseconds(options_.fileCheckIntervalMs))
        return;
    lastFileCheck_ = now;
    const uint64_t stamp = ListsStamp(true);
    if (lists_->loaded && lists_->stamp == stamp) {
        lists_->dirStamp = dirStamp;
        return;
    }
    auto fresh = std::make_unique<Lists>();
    fresh->stamp = stamp;
    fresh->dirStamp = dirStamp;
    fresh->loaded = true;
    for (size_t i = 0; i < kListDirs.size(); ++i) {
        std::error_code ec;
        const bool crlDir = (i % 2) == 1;
        for (const auto& entry : fs::directory_iterator(fs::path(options_.root) / kListDirs[i], ec)) {
            std::error_code fec;
            if (!entry.is_regular_file(fec)) continue;
            std::string bytes;
            if (!ReadWholeFile(entry.path(), bytes)) continue;
            if (crlDir) {
                if (CrlPtr crl = ParseCrl(bytes))
                    fresh->crls.push_back(std::move(crl));
                else
                    Log("Файл " + entry.path().string() + " не является списком отзыва; пропущен");
            } else if (X509Ptr cert = ParseCertificate(bytes)) {
                (i == 0 ? fresh->trusted : fresh->issuers).push_back(std::move(cert));
            } else {
                Log("Файл " + entry.path().string() + " не является сертификатом; пропущен");
            }
        }
    }
    lists_ = std::move(fresh);
}

void PkiStore::Reject(const std::string& leafDer, const std::string& commonName) {
    const fs::path path = fs::path(options_.root) / "rejected/certs" /
                          (FileNamePart(commonName) + "[" + ThumbprintHex(leafDer) + "].der");
    std::error_code ec;
    if (fs::exists(path, ec)) return;
    // The folder changed since it was last counted (the operator emptied it, moved files to
    // trusted): count it again, so that a full folder does not stay full until a restart.
    struct stat st {};
    const fs::path dir = fs::path(options_.root) / "rejected/certs";
    if (::stat(dir.c_str(), &st) == 0 &&
        (st.st_mtim.tv_sec != rejectedDirTime_.tv_sec || st.st_mtim.tv_nsec != rejectedDirTime_.tv_nsec)) {
        CountRejected();
    }
    if (rejectedFiles_ >= kMaxRejectedFiles) {
        Log("Папка отклонённых сертификатов заполнена (" + std::to_string(kMaxRejectedFiles) +
            " файлов); сертификат не сохранён");
        return;
    }
    std::string error;
    if (WriteFileAtomic(path, leafDer, 0644, &error))
        CountRejected();
    else
        Log(error);
}

void PkiStore::CountRejected() {
    const fs::path dir = fs::path(options_.root) / "rejected/certs";
    struct stat st {};
    if (::stat(dir.c_str(), &st) == 0) rejectedDirTime_ = st.st_mtim;
    rejectedFiles_ = 0;
    std::error_code ec;
    for (const auto& e : fs::directory_iterator(dir, ec)) {
        (void)e;
        ++rejectedFiles_;
    }
}

StatusCode PkiStore::ValidateClient(std::string_view derChain, std::string_view applicationUri) {
    // 1. Parse: DER certificates one after the other, leaf first.
    std::vector<X509Ptr> sent;
    const auto* p = reinterpret_cast<const unsigned char*>(derChain.data());
    const auto* end = p + derChain.size();
    while (p < end && sent.size() < static_cast<size_t>(kMaxChainDepth)) {
        const unsigned char* start = p;
        X509* x = d2i_X509(nullptr, &p, end - p);
        if (x == nullptr || p <= start) {
            X509_free(x);
            return BadCertificateInvalid;
        }
        sent.emplace_back(x);
    }
    if (sent.empty() || p != end) return BadCertificateInvalid;
    X509* leaf = sent.front().get();
    if (UnknownCritical(leaf)) return BadCertificateInvalid;

    std::lock_guard<std::mutex> lock(mutex_);
    ReloadIfChanged();
    const Lists& lists = *lists_;

    // 2./3. The chain from the leaf up to a self-signed certificate; each link's signature checked
    // as the issuer is chosen.
    std::vector<X509*> chain{leaf};
    for (;;) {
        X509* cur = chain.back();
        if (IsSelfIssued(cur) && SignedBy(cur, cur)) break;
        bool nameSeen = IsSelfIssued(cur);
        X509* issuer = nullptr;
        auto consider = [&](X509* cand) {
            if (issuer != nullptr || cand == cur) return;
            if (X509_NAME_cmp(X509_get_subject_name(cand), X509_get_issuer_name(cur)) != 0) return;
            nameSeen = true;
            if (SignedBy(cur, cand)) issuer = cand;
        };
        for (size_t i = 1; i < sent.size(); ++i) consider(sent[i].get());
        for (const auto& c : lists.trusted) consider(c.get());
        for (const auto& c : lists.issuers) consider(c.get());
        if (issuer == nullptr) return nameSeen ? BadCertificateInvalid : BadCertificateChainIncomplete;
        if (chain.size() >= static_cast<size_t>(kMaxChainDepth) ||
            std::find_if(chain.begin(), chain.end(), [&](X509* c) { return X509_cmp(c, issuer) == 0; }) !=
                chain.end())
            return BadCertificateChainIncomplete;
        chain.push_back(issuer);
    }

    for (size_t i = 1; i < chain.size(); ++i)
        if (UnknownCritical(chain[i])) return BadCertificateInvalid;

    // 4. Key sizes and digests (the root's signature on itself carries no trust and is not judged).
    for (size_t i = 0; i < chain.size(); ++i) {
        const bool root = i + 1 == chain.size() && i > 0;
        if (!PolicyOk(chain[i], !root)) return BadCertificatePolicyCheckFailed;
    }

    // 5. Trust: the leaf itself, or a CA of its chain, is in trusted/certs.
    auto isTrusted = [&](X509* x) {
        return std::any_of(lists.trusted.begin(), lists.trusted.end(),
                           [&](const X509Ptr& t) { return X509_cmp(t.get(), x) == 0; });
    };
    const bool trusted = std::any_of(chain.begin(), chain.end(), isTrusted);
    const std::string cn = CommonName(leaf);
    if (!trusted && !options_.autoAcceptClients) {
        Reject(Der(leaf), cn);
        Log("Сертификат клиента «" + ForLog(cn) + "» не доверенный; скопирован в rejected/certs");
        return BadCertificateUntrusted;
    }

    // 6. Validity periods.
    for (size_t i = 0; i < chain.size(); ++i)
        if (TimeState(chain[i]) != 0)
            return i == 0 ? BadCertificateTimeInvalid : BadCertificateIssuerTimeInvalid;

    // 8. The application URI: an application certificate names one in subjectAltName, and it is
    // the one of the client's description when that is given.
    {
        const auto uris = SubjectAltUris(leaf);
        if (uris.empty()) return BadCertificateUriInvalid;
        if (!applicationUri.empty() && std::find(uris.begin(), uris.end(), applicationUri) == uris.end())
            return BadCertificateUriInvalid;
    }

    // 9. Uses: an end entity for signing and encryption that may act as a client; CAs that may
    // sign certificates.
    if (!LeafUseOk(leaf)) return BadCertificateUseNotAllowed;
    for (size_t i = 1; i < chain.size(); ++i)
        if (!IsCa(chain[i])) return BadCertificateIssuerUseNotAllowed;

    // 10./11. Revocation: every certificate issued by a CA needs a current CRL of that CA (a
    // self-signed leaf has none). Every such CRL is consulted: an older one left beside a newer
    // one cannot hide a revocation. A CA without a current CRL makes the status unknown, which
    // refuses the client.
    for (size_t i = 0; i + 1 < chain.size(); ++i) {
        X509* issuer = chain[i + 1];
        bool current = false;
        for (const auto& c : lists.crls) {
            if (X509_NAME_cmp(X509_CRL_get_issuer(c.get()), X509_get_subject_name(issuer)) != 0) continue;
            if (X509_CRL_verify(c.get(), X509_get0_pubkey(issuer)) != 1) continue;
            X509_REVOKED* revoked = nullptr;
            if (X509_CRL_get0_by_cert(c.get(), &revoked, chain[i]) == 1)
                return i == 0 ? BadCertificateRevoked : BadCertificateIssuerRevoked;
            current = current || CrlCurrent(c.get());
        }
        if (!current) return i == 0 ? BadCertificateRevocationUnknown : BadCertificateIssuerRevocationUnknown;
    }

    if (!trusted)
        Log("Сертификат клиента «" + ForLog(cn) + "» (отпечаток " + ThumbprintHex(Der(leaf)) +
            ") принят без проверки доверия: включён AutoAcceptClients");
    return status::Good;
}

}  // namespace qora::ua
