// The endpoint's certificate folder: the application instance certificate with its private key,
// and the trust decisions about client certificates. Layout under the root folder:
//
//   own/certs/<base>.der      the server's certificate (DER), created at the first start
//   own/private/<base>.pem    its private key (PKCS#8 PEM, mode 0600)
//   trusted/certs, trusted/crl    client certificates and CAs trusted, with the CAs' CRLs
//   issuers/certs, issuers/crl    CAs that may complete a chain without being trusted themselves
//   rejected/certs            client certificates refused as untrusted, <CN>[<sha1 hex>].der;
//                             moving one to trusted/certs trusts that client
//
// The trusted and issuer folders are read again, without a restart, when a file in them is added,
// removed or renamed (the folders' times, checked at each validation) or replaced in place (the
// files' times and sizes, checked at most every PkiOptions::fileCheckIntervalMs).
#pragma once

#include <chrono>
#include <cstdint>
#include <ctime>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "ua/security/policy.h"

namespace qora::ua {

// Certificate status codes (their values on the wire).
namespace certstatus {
inline constexpr StatusCode BadCertificateInvalid = 0x80120000;
inline constexpr StatusCode BadCertificateTimeInvalid = 0x80140000;
inline constexpr StatusCode BadCertificateIssuerTimeInvalid = 0x80150000;
inline constexpr StatusCode BadCertificateUriInvalid = 0x80170000;
inline constexpr StatusCode BadCertificateUseNotAllowed = 0x80180000;
inline constexpr StatusCode BadCertificateIssuerUseNotAllowed = 0x80190000;
inline constexpr StatusCode BadCertificateUntrusted = 0x801A0000;
inline constexpr StatusCode BadCertificateRevocationUnknown = 0x801B0000;
inline constexpr StatusCode BadCertificateIssuerRevocationUnknown = 0x801C0000;
inline constexpr StatusCode BadCertificateRevoked = 0x801D0000;
inline constexpr StatusCode BadCertificateIssuerRevoked = 0x801E0000;
inline constexpr StatusCode BadCertificateChainIncomplete = 0x810D0000;
inline constexpr StatusCode BadCertificatePolicyCheckFailed = 0x81140000;
}  // namespace certstatus

// The status's name ("BadCertificateUntrusted"), for logs; "0x........" for others.
std::string CertificateStatusName(StatusCode status);

// Validity of the certificate created at the first start: five years. Long enough that a plant
// does not meet an expired server certificate between service visits, short enough that keys
// are renewed within the life of the hardware.
inline constexpr int kOwnCertificateValidityDays = 5 * 365;
inline constexpr int kOwnKeyBits = 2048;
// Key sizes accepted in client chains.
inline constexpr int kMinClientKeyBits = 2048;
inline constexpr int kMaxClientKeyBits = 4096;
// At most this many certificates are kept in rejected/certs: a peer sending new certificates
// at every attempt cannot fill the disk.
inline constexpr int kMaxRejectedFiles = 1000;
// Longest chain followed (leaf, intermediates, root).
inline constexpr int kMaxChainDepth = 8;

struct PkiOptions {
    std::string root;             // the folder ("…/pki"); created with its sub-folders as needed
    std::string applicationUri;   // subjectAltName URI of the own certificate
    std::string applicationName;  // its CN
    std::string organization;     // its O (may be empty)
    std::string hostName;         // its DC (may be empty): the subject tells installations apart
    std::string fileBaseName = "qora-opc-server";
    // DNS names and IP addresses for the own certificate's subjectAltName besides localhost and
    // 127.0.0.1. Empty: the host's name and its interface addresses.
    std::vector<std::string> dnsNames;
    std::vector<std::string> ipAddresses;
    // Every client certificate that passes the other checks is trusted (commissioning); each
    // such acceptance is logged.
    bool autoAcceptClients = false;
    // How often a validation looks at the files themselves (a CRL copied over the old one).
    int fileCheckIntervalMs = 1000;
    // Messages (Russian, one line each): certificate created, client refused, auto-accepted.
    // Called on the thread that validates.
    std::function<void(const std::string&)> log;
};

class PkiStore final : public TrustStore {
  public:
    // Opens the folder, creating the layout and, when neither the certificate nor the key
    // exists, a new self-signed certificate and key. A pair made for another application URI
    // (the host renamed, an older version) is replaced by a new one, which is logged. A certificate or key
    // that exists but cannot be read, is damaged, or does not match the other is reported in *error (null
    // returned) and left as it is: the operator decides (removing both files makes a new pair).
    static std::unique_ptr<PkiStore> Open(const PkiOptions& options, std::string* error);
    ~PkiStore() override;
    PkiStore(const PkiStore&) = delete;
    PkiStore& operator=(const PkiStore&) = delete;

    const std::string& OwnCertificateDer() const override { return ownCertDer_; }
    const std::string& OwnPrivateKeyDer() const override { return ownKeyDer_; }
    StatusCode ValidateClient(std::string_view derChain, std::string_view applicationUri = {}) override;

    // Whether Open created the own certificate.
    bool Created() const { return created_; }
    std::string OwnCertificatePath() const;
    std::string OwnPrivateKeyPath() const;
    const std::string& Root() const { return options_.root; }

  private:
    struct Lists;
    explicit PkiStore(PkiOptions options);
    bool LoadOrCreateOwn(std::string* error);
    uint64_t ListsStamp(bool withFiles) const;
    void ReloadIfChanged();
    void Reject(const std::string& leafDer, const std::string& commonName);
    void CountRejected();
    void Log(const std::string& line) const;

    PkiOptions options_;
    std::string ownCertDer_;
    std::string ownKeyDer_;
    bool created_ = false;
    std::mutex mutex_;  // the lists and the rejected count; validations come from the network thread
    std::unique_ptr<Lists> lists_;
    int rejectedFiles_ = 0;
    timespec rejectedDirTime_{};  // rejected/certs' time when it was last counted
    std::chrono::steady_clock::time_point lastFileCheck_{};
};

// SHA-1 of the DER, lower-case hex (the certificate's thumbprint).
std::string ThumbprintHex(std::string_view der);

}  // namespace qora::ua
