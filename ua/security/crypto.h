// Cryptographic primitives of the secured channel and the certificate store, on OpenSSL: RSA keys,
// certificates and CRLs (parsing, names, uses, signatures, validity), asymmetric signatures and
// block-wise RSA-OAEP per security policy, HMAC-SHA256, P_SHA256, AES-CBC without padding, SHA-1
// thumbprints, random bytes and a constant-time compare. The trust decisions built on them live
// in the certificate store. Failures return false or an empty optional; nothing here throws.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "ua/security/policy.h"

typedef struct evp_pkey_st EVP_PKEY;
typedef struct x509_st X509;
typedef struct X509_crl_st X509_CRL;

namespace qora::ua::crypto {

// What each RSA policy uses; None has no entry (Params returns null).
struct PolicyParams {
    SecurityPolicy policy;
    bool pssSignature;          // RSA-PSS SHA-256 salt 32, otherwise PKCS#1 v1.5 SHA-256
    bool oaepSha256;            // OAEP with SHA-256 and MGF1-SHA-256, otherwise SHA-1
    size_t oaepOverhead;        // bytes lost per RSA block
    size_t encryptingKeyBytes;  // AES key size
    std::string_view signatureUri;
    std::string_view encryptionUri;
};
const PolicyParams* Params(SecurityPolicy p);

inline constexpr size_t kSigningKeyBytes = 32;
inline constexpr size_t kIvBytes = 16;
inline constexpr size_t kAesBlock = 16;
inline constexpr size_t kHmacBytes = 32;
inline constexpr size_t kNonceBytes = 32;
inline constexpr size_t kThumbprintBytes = 20;
inline constexpr int kMinKeyBits = 2048;
inline constexpr int kMaxKeyBits = 4096;

// An RSA key (public, or public and private), shared: copies refer to the same OpenSSL key.
class RsaKey {
  public:
    RsaKey() = default;
    // Private key from DER (PKCS#8 or PKCS#1) or PEM.
    static RsaKey FromPrivate(std::string_view bytes);
    // Private key from PEM only; an encrypted one is refused, never prompted for.
    static RsaKey FromPrivatePem(std::string_view pem);
    // Public key of a DER certificate (the leaf when a chain is given).
    static RsaKey FromCertificate(std::string_view der);
    // A new key (tests).
    static RsaKey Generate(int bits);

    bool Valid() const { return key_ != nullptr; }
    int Bits() const;
    size_t Bytes() const { return static_cast<size_t>(Bits() + 7) / 8; }
    EVP_PKEY* Get() const { return key_.get(); }
    // DER of the private key in PKCS#8 (empty for a public key).
    std::string PrivateDer() const;
    // The same in PEM ("PRIVATE KEY").
    std::string PrivatePem() const;

  private:
    explicit RsaKey(EVP_PKEY* k);
    std::shared_ptr<EVP_PKEY> key_;
};

// Certificates.
// Length of the first DER element of a chain (the leaf), 0 when it does not parse.
size_t LeafLength(std::string_view derChain);
std::string_view Leaf(std::string_view derChain);
std::string Thumbprint(std::string_view leafDer);  // SHA-1, 20 bytes
// The first URI of the certificate's subjectAltName (empty when none).
std::string SubjectAltNameUri(std::string_view leafDer);
// Whether now lies within the certificate's validity period.
bool WithinValidity(std::string_view leafDer);
// A self-signed application instance certificate: subject CN, O and DC (those not empty), a
// random positive 128-bit serial, subject and authority key ids, basicConstraints CA:FALSE, the
// key usages of signing and encryption, serverAuth and clientAuth, subjectAltName with the URI,
// the DNS names and the IP addresses; SHA-256. Empty when it cannot be made.
struct CertificateRequest {
    std::string commonName;
    std::string organization;
    std::string domainComponent;
    std::string applicationUri;
    std::vector<std::string> dnsNames;
    std::vector<std::string> ipAddresses;
    long notBeforeSeconds = -3600;  // relative to now
    long days = 365;                // notAfter, days from now
};
std::string MakeCertificate(const RsaKey& key, const CertificateRequest& request);
// The same for tests and tools: DNS localhost, IP 127.0.0.1, valid from now-1 day for `days`
// (negative: expired).
std::string MakeSelfSigned(const RsaKey& key, std::string_view commonName, std::string_view applicationUri,
                           int days = 365);
// PEM or DER certificate file contents to DER (empty when neither).
std::string CertificateToDer(std::string_view bytes);

// What a certificate's extensions allow.
struct CertificateUses {
    bool ca = false;                // basicConstraints CA:TRUE
    bool keyUsage = false;          // a keyUsage extension is present
    bool digitalSignature = false;  // keyUsage digitalSignature
    bool encipherment = false;      // keyUsage keyEncipherment or dataEncipherment
    bool extendedKeyUsage = false;  // an extendedKeyUsage extension is present
    bool clientAuth = false;        // extendedKeyUsage clientAuth
};

// A parsed X.509 certificate, shared: copies refer to the same OpenSSL object.
class Certificate {
  public:
    Certificate() = default;
    // From DER, else PEM; invalid when neither parses.
    static Certificate Parse(std::string_view bytes);
    // From DER only (a certificate as it travels on the wire).
    static Certificate FromDer(std::string_view der);
    // DER certificates one after the other, leaf first: empty when there is none, one does not
    // parse, bytes are left over, or there are more than `most`.
    static std::vector<Certificate> ParseChain(std::string_view der, size_t most);

    bool Valid() const { return x_ != nullptr; }
    std::string Der() const;
    // The subject's common name in UTF-8 (empty when none).
    std::string CommonName() const;
    // Every URI of the subjectAltName, in order.
    std::vector<std::string> SubjectAltNameUris() const;
    // The same certificate (by content).
    bool SameAs(const Certificate& other) const;
    // Whether this certificate's issuer name is the subject name of `issuer`.
    bool NamesAsIssuer(const Certificate& issuer) const;
    bool SelfIssued() const;  // issuer name equals subject name
    // Whether issuer's public key verifies this certificate's signature.
    bool SignedBy(const Certificate& issuer) const;
    // A critical extension OpenSSL does not understand.
    bool HasUnknownCriticalExtension() const;
    // basicConstraints says CA:TRUE and OpenSSL counts it as a CA.
    bool IsCa() const;
    CertificateUses Uses() const;
    // Size of the public key when it is RSA (or RSA-PSS), else 0.
    int RsaKeyBits() const;
    // Whether the signature's digest is SHA-256, SHA-384 or SHA-512.
    bool SignedWithSha2() const;
    // Whether now lies within notBefore and notAfter.
    bool WithinValidity() const;
    // Whether the private key belongs to this certificate's public key.
    bool Matches(const RsaKey& privateKey) const;

  private:
    friend class Crl;
    explicit Certificate(X509* x);
    std::shared_ptr<X509> x_;
};

// A parsed certificate revocation list, shared like Certificate.
class Crl {
  public:
    Crl() = default;
    // From DER, else PEM; invalid when neither parses.
    static Crl Parse(std::string_view bytes);

    bool Valid() const { return crl_ != nullptr; }
    // Whether the CRL's issuer name is the subject name of ca.
    bool NamesAsIssuer(const Certificate& ca) const;
    // Whether ca's public key verifies the CRL's signature.
    bool SignedBy(const Certificate& ca) const;
    // Whether the certificate is listed as revoked.
    bool Revokes(const Certificate& cert) const;
    // Whether lastUpdate has passed and nextUpdate (which must be present) has not.
    bool Current() const;

  private:
    explicit Crl(X509_CRL* c);
    std::shared_ptr<X509_CRL> crl_;
};

// Asymmetric operations of a policy.
std::optional<std::string> Sign(const PolicyParams& p, const RsaKey& key, std::string_view data);
bool Verify(const PolicyParams& p, const RsaKey& key, std::string_view data, std::string_view signature);
// Block-wise RSA-OAEP: plaintext blocks of keyBytes - overhead, each becomes keyBytes.
std::optional<std::string> Encrypt(const PolicyParams& p, const RsaKey& publicKey, std::string_view plain);
std::optional<std::string> Decrypt(const PolicyParams& p, const RsaKey& privateKey, std::string_view cipher);
size_t PlainBlock(const PolicyParams& p, const RsaKey& receiverKey);

// Symmetric primitives.
std::string HmacSha256(std::string_view key, std::string_view data);
std::string PSha256(std::string_view secret, std::string_view seed, size_t length);
// AES-CBC, no padding: data must be a multiple of 16 bytes; key 16 or 32 bytes.
bool AesCbc(bool encrypt, std::string_view key, std::string_view iv, const uint8_t* in, uint8_t* out,
            size_t length);
std::string RandomBytes(size_t n);
bool ConstantTimeEqual(std::string_view a, std::string_view b);
// Overwrites the bytes (a key or a password) so that they do not stay in freed memory.
void Wipe(std::string& secret);

}  // namespace qora::ua::crypto
