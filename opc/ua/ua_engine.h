// The endpoint's protocol engine: secure channels, sessions, services and subscriptions over an
// abstract byte transport. It owns no socket and no thread; the server drives it from its network
// thread (and tests and fuzzers drive it directly), so every call comes from one thread.
#pragma once

#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <unordered_map>
#include <vector>

#include "opc/ua/ua_address_space.h"
#include "opc/ua/ua_backend.h"
#include "opc/ua/ua_binary.h"
#include "opc/ua/ua_server.h"
#include "opc/ua/ua_subscription.h"
#include "opc/ua/ua_types.h"

namespace qora::ua {

// Fixed protocol limits (the configurable ones live in ServerConfig).
inline constexpr uint32_t kMinBufferSize = 8192;          // smallest buffer the protocol allows
inline constexpr uint32_t kOwnBufferSize = 65535;         // our receive and send chunk size
inline constexpr uint32_t kMaxEndpointUrlLength = 4096;   // HEL endpoint URL limit of the protocol
inline constexpr uint32_t kChunkHeaderSize = 24;          // header, channel id, token id, sequence header
inline constexpr double kDefaultSessionTimeoutMs = 60000;
inline constexpr double kMinSessionTimeoutMs = 5000;
inline constexpr double kMaxSessionTimeoutMs = 3600000;
inline constexpr uint32_t kMinTokenLifetimeMs = 60000;
inline constexpr uint32_t kMaxTokenLifetimeMs = 600000;    // about ten minutes
inline constexpr size_t kMaxContinuationPoints = 10;       // per session
inline constexpr uint32_t kDefaultMaxReferencesPerNode = 1000;
inline constexpr uint32_t kMaxNodesPerRead = 50000;
inline constexpr uint32_t kMaxNodesPerWrite = 50000;
inline constexpr uint32_t kMaxNodesPerBrowse = 5000;
inline constexpr uint32_t kMaxNodesPerRegister = 50000;
inline constexpr uint32_t kMaxNodesPerTranslate = 5000;
inline constexpr uint32_t kMaxMonitoredItemsPerCall = 50000;
inline constexpr size_t kMaxPendingChunksPerChannel = 4;   // messages being assembled at once

// Byte transport of the engine's connections.
class Transport {
public:
    virtual ~Transport() = default;
    virtual void Send(uint64_t conn, std::string bytes) = 0;
    // Closes after the bytes already sent are flushed (best effort).
    virtual void Close(uint64_t conn) = 0;
};

// Server-wide memory accounting: connection buffers, messages being assembled, monitored items,
// retransmission queues. Refusals keep the process within its budget.
class MemoryBudget {
public:
    explicit MemoryBudget(uint64_t limit) : limit_(limit) {}
    bool TryCharge(uint64_t n) {
        if (used_ + n > limit_) return false;
        used_ += n;
        return true;
    }
    void Release(uint64_t n) { used_ = n > used_ ? 0 : used_ - n; }
    uint64_t Used() const { return used_; }
    uint64_t Limit() const { return limit_; }

private:
    uint64_t limit_;
    uint64_t used_ = 0;
};

struct RequestHeader {
    NodeId authenticationToken;
    int64_t timestamp = 0;
    uint32_t requestHandle = 0;
    uint32_t returnDiagnostics = 0;
    uint32_t timeoutHint = 0;
};

struct PendingPublish {
    uint64_t conn = 0;
    uint32_t requestId = 0;
    uint32_t requestHandle = 0;
    Millis received = 0;
    uint32_t timeoutHint = 0;
    std::vector<StatusCode> ackResults;
};

struct ContinuationPoint {
    std::string id;
    NodeRef node;
    size_t position = 0;
    uint32_t maxReferences = 0;
    uint32_t direction = 0;
    uint32_t referenceType = 0;  // 0: all
    bool includeSubtypes = true;
    uint32_t nodeClassMask = 0;
    uint32_t resultMask = 0;
};

struct Session {
    NodeId sessionId;
    NodeId authenticationToken;
    std::string name;
    uint64_t conn = 0;  // channel the session is bound to (0: none)
    bool activated = false;
    double timeoutMs = kDefaultSessionTimeoutMs;
    Millis lastActivity = 0;
    std::deque<PendingPublish> publishQueue;
    std::map<uint32_t, std::unique_ptr<Subscription>> subscriptions;
    std::deque<ContinuationPoint> continuationPoints;
};

struct PartialMessage {
    uint32_t requestId = 0;
    std::string body;
    uint32_t chunks = 0;
};

struct Connection {
    enum class State { AwaitHello, AwaitOpen, Open } state = State::AwaitHello;
    uint64_t id = 0;
    Millis accepted = 0;
    std::string input;  // bytes received and not yet framed
    uint64_t inputCharged = 0;
    // Negotiated in HEL/ACK.
    uint32_t bufferSize = kOwnBufferSize;
    uint32_t peerMaxMessageSize = 0;  // 0: no limit
    uint32_t peerMaxChunkCount = 0;
    std::string endpointUrl;
    // Secure channel.
    uint32_t channelId = 0;
    uint32_t tokenId = 0;
    uint32_t previousTokenId = 0;
    Millis tokenCreated = 0;
    uint32_t tokenLifetime = 0;
    uint32_t sendSequence = 0;
    uint32_t receiveSequence = 0;
    bool channelOpenedNotified = false;
    std::vector<PartialMessage> partial;
};

struct ServerStateInfo {
    int32_t state = 0;  // ServerState: 0 Running, 4 Shutdown
    std::string shutdownReason;
    int64_t startTime = 0;
};

class Engine {
public:
    Engine(Backend& backend, const ServerConfig& config, Transport& transport);
    ~Engine();
    Engine(const Engine&) = delete;
    Engine& operator=(const Engine&) = delete;

    // Builds the address space from the backend's items.
    void Build();
    // The bound port (for the endpoint URL when a client gives none).
    void SetPort(uint16_t port) { port_ = port; }

    // A new connection; false when the channel limit is reached (the caller closes it).
    bool Accept(uint64_t conn, Millis now);
    void Receive(uint64_t conn, const uint8_t* data, size_t size, Millis now);
    // The peer went away or the socket failed.
    void Disconnected(uint64_t conn);
    // Runs due timers; returns the time of the next one.
    Millis Tick(Millis now);

    // Closes every channel (sessions stay until they time out or are closed).
    void DisconnectAll();
    // ServerStatus.State := Shutdown, ShutdownReason := reason; subscribers get the change, then
    // every session ends once the notifications are out (or at the deadline).
    void BeginShutdown(const std::string& reason, Millis now);
    bool ShutdownComplete() const { return shutdownDone_; }
    // Ends every session and channel (destruction of the server).
    void CloseEverything();

    // Observers for tests and the benchmark.
    size_t ConnectionCount() const { return connections_.size(); }
    size_t SessionCount() const { return sessions_.size(); }
    size_t SubscriptionCount() const;
    size_t MonitoredItemCount() const;
    const MemoryBudget& Memory() const { return memory_; }
    MemoryBudget& Memory() { return memory_; }
    const AddressSpace& Space() const { return space_; }

    // Processes one complete service request as if it arrived on an open channel of conn
    // (the decoder fuzz target feeds bodies through here).
    void ProcessRequest(Connection& c, uint32_t requestId, const std::string& body, Millis now);
    Connection* FindConnection(uint64_t conn);

private:
    // transport (ua_channel.cpp)
    void ProcessInput(Connection& c, Millis now);
    bool HandleHello(Connection& c, Decoder& d);
    bool HandleOpen(Connection& c, Decoder& d, Millis now);
    bool HandleMessage(Connection& c, char chunkType, Decoder& d, Millis now);
    void SendError(Connection& c, StatusCode code, const std::string& reason);
    void CloseConnection(uint64_t conn, bool notifyTransport);
    void SendChunks(Connection& c, const char* type, uint32_t requestId, const std::string& body);

public:
    // Encodes a service response (type id + body) and sends it on the connection in chunks.
    void SendResponse(uint64_t conn, uint32_t requestId, uint32_t responseTypeId, const std::string& body,
                      uint32_t requestHandle);
    void SendServiceFault(uint64_t conn, uint32_t requestId, uint32_t requestHandle, StatusCode code);
    void EncodeResponseHeader(Encoder& e, uint32_t requestHandle, StatusCode result);

private:
    // services (ua_services.cpp)
    void ServiceGetEndpoints(Connection& c, uint32_t rid, const RequestHeader& h, Decoder& d);
    void ServiceFindServers(Connection& c, uint32_t rid, const RequestHeader& h, Decoder& d);
    void ServiceRead(Connection& c, uint32_t rid, const RequestHeader& h, Decoder& d, Millis now);
    void ServiceWrite(Connection& c, uint32_t rid, const RequestHeader& h, Decoder& d);
    void ServiceBrowse(Session& s, Connection& c, uint32_t rid, const RequestHeader& h, Decoder& d);
    void ServiceBrowseNext(Session& s, Connection& c, uint32_t rid, const RequestHeader& h, Decoder& d);
    void ServiceTranslate(Connection& c, uint32_t rid, const RequestHeader& h, Decoder& d);
    void ServiceRegisterNodes(Connection& c, uint32_t rid, const RequestHeader& h, Decoder& d);
    void ServiceUnregisterNodes(Connection& c, uint32_t rid, const RequestHeader& h, Decoder& d);
    void EncodeEndpoint(Encoder& e, const std::string& url);
    void EncodeApplicationDescription(Encoder& e, const std::string& url);
    std::string EndpointUrlFor(const Connection& c, const std::string& requested) const;

public:
    // Value of a namespace 0 node computed at read time (server status, arrays from the config).
    Variant DynamicValue(uint32_t nodeId) const;
    // Reads the values of items: maxAge 0 from the device, otherwise from the cache (refreshing
    // entries older than maxAge from the device first).
    void ReadItems(const std::vector<uint32_t>& handles, double maxAge, std::vector<ItemSample>& out);
    // One DataValue of (node, attribute) for Read and for sampling non-item nodes.
    DataValue ReadNonItem(NodeRef node, uint32_t attributeId, uint32_t timestamps, int64_t now) const;

private:
    // sessions (ua_session.cpp)
    void ServiceCreateSession(Connection& c, uint32_t rid, const RequestHeader& h, Decoder& d, Millis now);
    void ServiceActivateSession(Connection& c, uint32_t rid, const RequestHeader& h, Decoder& d, Millis now);
    void ServiceCloseSession(Connection& c, uint32_t rid, const RequestHeader& h, Decoder& d);
    void EndSession(const std::string& key, StatusCode publishStatus);
    Session* FindSession(const NodeId& token);
    std::string RandomBytes(size_t n);
    Guid RandomGuid();

    // subscriptions (ua_subscription.cpp)
    void ServiceCreateSubscription(Session& s, Connection& c, uint32_t rid, const RequestHeader& h, Decoder& d,
                                   Millis now);
    void ServiceModifySubscription(Session& s, Connection& c, uint32_t rid, const RequestHeader& h, Decoder& d);
    void ServiceSetPublishingMode(Session& s, Connection& c, uint32_t rid, const RequestHeader& h, Decoder& d);
    void ServiceDeleteSubscriptions(Session& s, Connection& c, uint32_t rid, const RequestHeader& h, Decoder& d);
    void ServiceCreateMonitoredItems(Session& s, Connection& c, uint32_t rid, const RequestHeader& h, Decoder& d,
                                     Millis now);
    void ServiceModifyMonitoredItems(Session& s, Connection& c, uint32_t rid, const RequestHeader& h, Decoder& d);
    void ServiceSetMonitoringMode(Session& s, Connection& c, uint32_t rid, const RequestHeader& h, Decoder& d,
                                  Millis now);
    void ServiceDeleteMonitoredItems(Session& s, Connection& c, uint32_t rid, const RequestHeader& h, Decoder& d);
    void ServicePublish(Session& s, Connection& c, uint32_t rid, const RequestHeader& h, Decoder& d, Millis now);
    void ServiceRepublish(Session& s, Connection& c, uint32_t rid, const RequestHeader& h, Decoder& d);
    void DeleteSubscription(Session& s, uint32_t subscriptionId);
    void DeleteItems(Subscription& sub, const std::vector<uint32_t>& ids);
    void SampleSubscription(Subscription& sub, Millis now, bool all);
    // Publishing cycle of one subscription; returns false when the subscription expired.
    bool PublishCycle(Session& s, Subscription& sub, Millis now);
    // Sends a NotificationMessage (or a keep-alive) of sub on the oldest queued Publish request.
    bool SendNotification(Session& s, Subscription& sub, Millis now);
    void AnswerLatePublish(Session& s, Millis now);
    void TickSubscriptions(Session& s, Millis now, Millis& next);
    StatusCode ParseFilter(const ExtensionObject& filter, MonitoredItem& m) const;
    uint32_t NewSubscriptionId() { return nextSubscriptionId_++; }

    Backend& backend_;
    ServerConfig config_;
    Transport& transport_;
    AddressSpace space_;
    MemoryBudget memory_;
    uint16_t port_ = 0;
    std::unordered_map<uint64_t, std::unique_ptr<Connection>> connections_;
    std::map<std::string, std::unique_ptr<Session>> sessions_;  // by NodeKey(authentication token)
    ServerStateInfo serverState_;
    bool shuttingDown_ = false;
    bool shutdownDone_ = false;
    Millis shutdownDeadline_ = 0;
    uint32_t nextChannelId_ = 1;
    uint32_t nextTokenId_ = 1;
    uint32_t nextSubscriptionId_ = 1;
    uint64_t nextContinuationId_ = 1;
    std::mt19937_64 rng_;
};

// DataValue of an item sample (Float value, status from the quality, timestamps as asked).
DataValue MakeItemDataValue(const ItemSample& sample, uint32_t timestamps, int64_t now);

// Wall clock as an OPC UA DateTime (100 ns since 1601-01-01 UTC).
int64_t UaNow();

}  // namespace qora::ua
