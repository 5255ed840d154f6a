// OPC UA binary endpoint serving the toolkit's items: SecurityPolicy None and the RSA policies signed or
// signed and encrypted, anonymous and user-name sessions.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "opc/ua/ua_backend.h"
#include "opc/ua/ua_security.h"

namespace qora::ua {

struct ServerConfig {
    std::string host;      // empty = all interfaces
    uint16_t port = 4840;  // 0 = any free port (tests)
    std::string applicationUri = "urn:qora:opc-server";
    std::string productUri = "urn:qora:opc-server";
    std::string applicationName = "QORA OPC Server";
    std::string manufacturerName = "KIVRAN";
    std::string softwareVersion;  // from the build
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
    // exactly (fuzzing, tests). Zero in production: seeded from the system's random device.
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
};

// Whether the endpoint listens, and why not.
struct ListenState {
    bool listening = false;
    std::string host;    // as configured; empty = all interfaces
    uint16_t port = 0;   // as configured, or the port bound once listening
    int error = 0;       // errno of the failed attempt; 0 when the host name did not resolve
    std::string reason;  // the system's text for the failure
};

class Server {
  public:
    // Told the first failed bind (listening false; retries go on) and the success that follows
    // failed binds (listening true), on the endpoint's network thread. Set before Start.
    using ListenObserver = std::function<void(const ListenState&)>;

    Server(Backend& backend, ServerConfig config);
    ~Server();
    Server(const Server&) = delete;
    Server& operator=(const Server&) = delete;

    void SetListenObserver(ListenObserver observer);
    // Binds and listens, and starts the endpoint's thread. When the bind fails (port held by
    // another process, host naming no local address) and bindRetryMs > 0, the endpoint runs
    // all the same and keeps trying every bindRetryMs in the background: Start returns true at
    // once with the reason in *error, and the observer is told. Returns false with a reason
    // when the endpoint cannot run at all.
    bool Start(std::string* error = nullptr);
    // Stops listening (and retrying); open channels stay until DisconnectAll or destruction.
    void StopListening();
    // Closes every secure channel.
    void DisconnectAll();
    // ServerStatus.State := Shutdown, ShutdownReason := reason (UTF-8); subscribers are told
    // before their sessions end.
    void Shutdown(const std::string& reason);
    // Port actually bound (useful with port 0).
    uint16_t Port() const;
    bool Listening() const;

  private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace qora::ua
