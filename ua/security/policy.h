// Security of the endpoint: the policies and message modes it can offer, and the two services
// the secure channel and the sessions rely on: the application instance certificate with the
// trust decisions about client certificates, and the user directory that checks user names.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "ua/encoding/types.h"

namespace qora::ua {

// SHA-1 based policies (Basic128Rsa15, Basic256) are never offered.
enum class SecurityPolicy : uint8_t { None, Basic256Sha256, Aes128_Sha256_RsaOaep, Aes256_Sha256_RsaPss };

// MessageSecurityMode as it travels on the wire.
enum class SecurityMode : uint32_t { None = 1, Sign = 2, SignAndEncrypt = 3 };

// The policy's URI, "http://opcfoundation.org/UA/SecurityPolicy#<name>".
std::string_view PolicyUri(SecurityPolicy p);
// The policy's short name as the settings file spells it ("None", "Basic256Sha256", ...).
std::string_view PolicyName(SecurityPolicy p);
std::optional<SecurityPolicy> PolicyFromUri(std::string_view uri);
std::optional<SecurityPolicy> PolicyFromName(std::string_view name);

// The server's application instance certificate and its private key, and the trust list for
// client certificates. Called from the endpoint's network thread.
class TrustStore {
  public:
    virtual ~TrustStore() = default;
    // DER of the server's certificate (leaf only).
    virtual const std::string& OwnCertificateDer() const = 0;
    // DER (PKCS#8) of the server's private key.
    virtual const std::string& OwnPrivateKeyDer() const = 0;
    // Validates a client's certificate chain (DER certificates concatenated, leaf first): parse,
    // chain, signatures, key size and digest, trust list, validity, key usage, CRLs. Returns
    // Good or the status that names the failure (BadCertificateUntrusted, ...). A certificate
    // refused as untrusted is copied to the rejected folder. applicationUri, when not empty, must
    // equal the leaf's subjectAltName URI (BadCertificateUriInvalid).
    virtual StatusCode ValidateClient(std::string_view derChain, std::string_view applicationUri = {}) = 0;
};

// User names and passwords allowed to activate sessions. Called from the endpoint's network
// thread.
class UserDirectory {
  public:
    virtual ~UserDirectory() = default;
    // Whether the user exists and the password (UTF-8) is right.
    virtual bool Check(std::string_view user, std::string_view password) = 0;
};

}  // namespace qora::ua
