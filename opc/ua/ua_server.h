// OPC UA binary endpoint (SecurityPolicy None, anonymous) serving the toolkit's items.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "opc/ua/ua_backend.h"

namespace qora::ua {

struct ServerConfig {
    std::string host;          // empty = all interfaces
    uint16_t port = 4840;      // 0 = any free port (tests)
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
    int bindRetrySeconds = 15;
    uint32_t maxMessageSize = 16 * 1024 * 1024;
    uint32_t maxChunkCount = 4096;
    uint64_t memoryBudgetBytes = 512ull * 1024 * 1024;
    // Non-empty: the bytes each connection receives are appended to <dir>/conn-<n>.bin
    // (recorded sessions seed the fuzzers).
    std::string recordDirectory;
    // Non-zero: tokens, nonces and session ids come from this seed, so recorded sessions replay
    // exactly (fuzzing, tests). Zero in production: seeded from the system's random device.
    uint64_t randomSeed = 0;
};

class Server {
public:
    Server(Backend& backend, ServerConfig config);
    ~Server();
    Server(const Server&) = delete;
    Server& operator=(const Server&) = delete;

    // Binds and listens (retrying up to bindRetrySeconds while the port is held); starts the
    // endpoint's threads. Returns false with a reason on failure.
    bool Start(std::string* error = nullptr);
    // Stops listening; open channels stay until DisconnectAll or destruction.
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
