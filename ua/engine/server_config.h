// Settings of the endpoint: address, identity, limits and security, as the program hands them to
// the server and the server to its engine.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "ua/security/policy.h"

namespace qora::ua {

// The application URI of the installation on host: clients and discovery servers tell application
// instances apart by it, so each host has its own, the same at every start. The host name is
// lower-cased; characters other than letters, digits, '-' and '.' become '-'.
inline std::string InstanceUri(std::string_view host) {
    std::string h;
    for (char ch : host) {
        const char c = (ch >= 'A' && ch <= 'Z') ? static_cast<char>(ch - 'A' + 'a') : ch;
        h += ((c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' || c == '.') ? c : '-';
    }
    if (h.empty()) h = "localhost";
    return "urn:" + h + ":qora:opc-server";
}

struct ServerConfig {
    std::string host;      // empty = all interfaces
    uint16_t port = 4840;  // 0 = any free port (tests)
    std::string applicationUri = "urn:qora:opc-server";
    std::string productUri = "urn:qora:opc-server";
    std::string applicationName = "QORA OPC Server";
    std::string manufacturerName = "KIVRAN";
    std::string softwareVersion;  // from the build
    int64_t buildDate = 0;        // DateTime of the build; 0: the start time stands in
    // MinimumSamplingInterval of the items: how often their values can change (the push period).
    double itemSamplingIntervalMs = 1000;
    // Limits (overridable in the settings file section OPCUA).
    int maxChannels = 100;
    int maxSessions = 50;
    int maxSubscriptionsPerSession = 20;
    int maxMonitoredItemsPerSubscription = 100000;
    int maxPublishRequestsPerSession = 10;
    int handshakeTimeoutMs = 5000;
    // After a failed bind the endpoint tries again this often, in the background, until it
    // listens or is stopped. 0: no retry, Start fails at the first failed bind.
    int bindRetryMs = 1000;
    uint32_t maxMessageSize = 16 * 1024 * 1024;
    uint32_t maxChunkCount = 4096;
    uint64_t memoryBudgetBytes = 512ull * 1024 * 1024;
    // Non-empty: the bytes each connection receives are appended to <dir>/conn-<n>.bin
    // (recorded sessions seed the fuzzers).
    std::string recordDirectory;
    // Non-zero: tokens, nonces and session ids come from this seed, so recorded sessions replay
    // exactly (fuzzing, tests). Zero in production: every id, token and nonce comes from the
    // system's cryptographic generator.
    uint64_t randomSeed = 0;
    // Security. Policies and modes offered (None needs no mode; the RSA policies get one endpoint
    // per mode). Without a trust store only None is offered.
    std::vector<SecurityPolicy> securityPolicies{SecurityPolicy::None, SecurityPolicy::Basic256Sha256,
                                                 SecurityPolicy::Aes128_Sha256_RsaOaep,
                                                 SecurityPolicy::Aes256_Sha256_RsaPss};
    std::vector<SecurityMode> securityModes{SecurityMode::Sign, SecurityMode::SignAndEncrypt};
    bool allowAnonymous = true;
    // A UserName token whose password travels in clear (over a None channel with no token
    // encryption) is refused unless this is set.
    bool allowClearPasswords = false;
    std::shared_ptr<TrustStore> trust;     // null: no certificate, only None is offered
    std::shared_ptr<UserDirectory> users;  // null: no UserName token policy
    // Failed logins and refused certificates, one line each (rate-limited), on the network thread.
    std::function<void(const std::string&)> securityEvent;
};

}  // namespace qora::ua
