#include "ua/security/pki.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>
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

using crypto::Certificate;
using crypto::Crl;

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

// The key of a certificate in a client chain: RSA of an accepted size and, where the signature
// carries trust, a SHA-2 digest.
bool PolicyOk(const Certificate& x, bool checkDigest) {
    const int bits = x.RsaKeyBits();
    if (bits < kMinClientKeyBits || bits > kMaxClientKeyBits) return false;
    return !checkDigest || x.SignedWithSha2();
}

// An end entity for signing and encryption that may act as a client.
bool LeafUseOk(const Certificate& x) {
    const crypto::CertificateUses u = x.Uses();
    if (u.ca || !u.keyUsage || !u.digitalSignature || !u.encipherment) return false;
    return !u.extendedKeyUsage || u.clientAuth;
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
    std::vector<Certificate> trusted;
    std::vector<Certificate> issuers;
    std::vector<Crl> crls;
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
        const Certificate cert = Certificate::Parse(certBytes);
        const crypto::RsaKey key = crypto::RsaKey::FromPrivatePem(keyBytes);
        crypto::Wipe(keyBytes);
        if (!cert.Valid() || !key.Valid()) {
            if (error)
                *error = std::string("повреждён ") +
                         (!cert.Valid() ? "сертификат сервера " + certPath : "ключ " + keyPath) + "." + keep;
            return false;
        }
        if (!cert.Matches(key)) {
            if (error) *error = "ключ " + keyPath + " не соответствует сертификату " + certPath + "." + keep;
            return false;
        }
        struct stat st {};
        if (::stat(keyPath.c_str(), &st) == 0 && (st.st_mode & 077) != 0) {
            ::chmod(keyPath.c_str(), 0600);
            Log("Права на файл ключа " + keyPath + " сужены до 0600");
        }
        const auto uris = cert.SubjectAltNameUris();
        if (std::find(uris.begin(), uris.end(), options_.applicationUri) != uris.end()) {
            ownCertDer_ = cert.Der();
            ownKeyDer_ = key.PrivateDer();
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
    crypto::Wipe(pem);
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
                if (Crl crl = Crl::Parse(bytes); crl.Valid())
                    fresh->crls.push_back(std::move(crl));
                else
                    Log("Файл " + entry.path().string() + " не является списком отзыва; пропущен");
            } else if (Certificate cert = Certificate::Parse(bytes); cert.Valid()) {
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
    const std::vector<Certificate> sent =
        Certificate::ParseChain(derChain, static_cast<size_t>(kMaxChainDepth));
    if (sent.empty()) return BadCertificateInvalid;
    const Certificate& leaf = sent.front();
    if (leaf.HasUnknownCriticalExtension()) return BadCertificateInvalid;

    std::lock_guard<std::mutex> lock(mutex_);
    ReloadIfChanged();
    const Lists& lists = *lists_;

    // 2./3. The chain from the leaf up to a self-signed certificate; each link's signature checked
    // as the issuer is chosen.
    std::vector<const Certificate*> chain{&leaf};
    for (;;) {
        const Certificate& cur = *chain.back();
        if (cur.SelfIssued() && cur.SignedBy(cur)) break;
        bool nameSeen = cur.SelfIssued();
        const Certificate* issuer = nullptr;
        auto consider = [&](const Certificate& cand) {
            if (issuer != nullptr || &cand == &cur) return;
            if (!cur.NamesAsIssuer(cand)) return;
            nameSeen = true;
            if (cur.SignedBy(cand)) issuer = &cand;
        };
        for (size_t i = 1; i < sent.size(); ++i) consider(sent[i]);
        for (const auto& c : lists.trusted) consider(c);
        for (const auto& c : lists.issuers) consider(c);
        if (issuer == nullptr) return nameSeen ? BadCertificateInvalid : BadCertificateChainIncomplete;
        if (chain.size() >= static_cast<size_t>(kMaxChainDepth) ||
            std::any_of(chain.begin(), chain.end(), [&](const Certificate* c) { return c->SameAs(*issuer); }))
            return BadCertificateChainIncomplete;
        chain.push_back(issuer);
    }

    for (size_t i = 1; i < chain.size(); ++i)
        if (chain[i]->HasUnknownCriticalExtension()) return BadCertificateInvalid;

    // 4. Key sizes and digests (the root's signature on itself carries no trust and is not judged).
    for (size_t i = 0; i < chain.size(); ++i) {
        const bool root = i + 1 == chain.size() && i > 0;
        if (!PolicyOk(*chain[i], !root)) return BadCertificatePolicyCheckFailed;
    }

    // 5. Trust: the leaf itself, or a CA of its chain, is in trusted/certs.
    auto isTrusted = [&](const Certificate* x) {
        return std::any_of(lists.trusted.begin(), lists.trusted.end(),
                           [&](const Certificate& t) { return t.SameAs(*x); });
    };
    const bool trusted = std::any_of(chain.begin(), chain.end(), isTrusted);
    const std::string cn = leaf.CommonName();
    if (!trusted && !options_.autoAcceptClients) {
        Reject(leaf.Der(), cn);
        Log("Сертификат клиента «" + ForLog(cn) + "» не доверенный; скопирован в rejected/certs");
        return BadCertificateUntrusted;
    }

    // 6. Validity periods.
    for (size_t i = 0; i < chain.size(); ++i)
        if (!chain[i]->WithinValidity())
            return i == 0 ? BadCertificateTimeInvalid : BadCertificateIssuerTimeInvalid;

    // 8. The application URI: an application certificate names one in subjectAltName, and it is
    // the one of the client's description when that is given.
    {
        const auto uris = leaf.SubjectAltNameUris();
        if (uris.empty()) return BadCertificateUriInvalid;
        if (!applicationUri.empty() && std::find(uris.begin(), uris.end(), applicationUri) == uris.end())
            return BadCertificateUriInvalid;
    }

    // 9. Uses: an end entity for signing and encryption that may act as a client; CAs that say
    // CA:TRUE in basicConstraints (a keyCertSign usage or an old version-1 certificate is not
    // enough).
    if (!LeafUseOk(leaf)) return BadCertificateUseNotAllowed;
    for (size_t i = 1; i < chain.size(); ++i)
        if (!chain[i]->IsCa()) return BadCertificateIssuerUseNotAllowed;

    // 10./11. Revocation: every certificate issued by a CA needs a current CRL of that CA (a
    // self-signed leaf has none). Every such CRL is consulted: an older one left beside a newer
    // one cannot hide a revocation, and one whose nextUpdate has passed (or that has none) says
    // nothing about today. A CA without a current CRL makes the status unknown, which refuses
    // the client.
    for (size_t i = 0; i + 1 < chain.size(); ++i) {
        const Certificate& issuer = *chain[i + 1];
        bool current = false;
        for (const auto& c : lists.crls) {
            if (!c.NamesAsIssuer(issuer) || !c.SignedBy(issuer)) continue;
            if (c.Revokes(*chain[i])) return i == 0 ? BadCertificateRevoked : BadCertificateIssuerRevoked;
            current = current || c.Current();
        }
        if (!current) return i == 0 ? BadCertificateRevocationUnknown : BadCertificateIssuerRevocationUnknown;
    }

    if (!trusted)
        Log("Сертификат клиента «" + ForLog(cn) + "» (отпечаток " + ThumbprintHex(leaf.Der()) +
            ") принят без проверки доверия: включён AutoAcceptClients");
    return status::Good;
}

}  // namespace qora::ua
