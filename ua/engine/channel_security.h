// Security state of one secured channel: policy, mode, the client's certificate and key, the
// last client nonce, and the keys of the current token and of the one it renewed (accepted
// until the client uses the new one or the old one expires).
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "ua/limits.h"
#include "ua/security/crypto.h"
#include "ua/security/policy.h"
#include "ua/security/secure_chunk.h"

namespace qora::ua {

struct ChannelSecurity {
    SecurityPolicy policy = SecurityPolicy::None;
    SecurityMode mode = SecurityMode::None;
    const crypto::PolicyParams* params = nullptr;
    std::string clientCertificate;  // leaf DER
    crypto::RsaKey clientKey;
    std::string clientNonce;  // of the last OPN: a renew must bring another
    TokenKeys current;
    TokenKeys previous;  // valid while Connection::previousTokenId != 0
    Millis previousExpires = 0;
};

// What a secured OpenSecureChannel brings besides its request once its chunk is checked: the
// policy, and the client's leaf certificate and key the response is encrypted to.
struct SecuredOpen {
    SecurityPolicy policy = SecurityPolicy::None;
    const crypto::PolicyParams* params = nullptr;
    std::string_view clientLeaf;
    const crypto::RsaKey* clientKey = nullptr;
};

}  // namespace qora::ua
