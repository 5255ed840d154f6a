// The endpoint's protocol engine: secure channels, sessions, services and subscriptions over an
// abstract byte transport. It owns no socket and no thread; the server drives it from its network
// thread (and tests and fuzzers drive it directly), so every call comes from one thread.
#pragma once

#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "ua/encoding/binary.h"
#include "ua/encoding/messages.h"
#include "ua/encoding/time.h"
#include "ua/encoding/types.h"
#include "ua/engine/channel.h"
#include "ua/engine/handshake_limiter.h"
#include "ua/engine/server_config.h"
#include "ua/limits.h"
#include "ua/nodes/address_space.h"
#include "ua/nodes/backend.h"
#include "ua/nodes/server_diagnostics.h"
#include "ua/security/crypto.h"
#include "ua/security/secure_chunk.h"
#include "ua/services/session.h"
#include "ua/services/subscription.h"

namespace qora::ua {

struct SecuredOpen;

// Byte transport of the engine's connections.
class Transport {
  public:
    virtual ~Transport() = default;
    virtual void Send(uint64_t conn, std::string_view bytes) = 0;
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
    void Release(uint64_t n) {
        used_ = n > used_ ? 0 : used_ - n;
        releasedSinceTrim_ += n;
    }
    uint64_t Used() const { return used_; }
    // True once kTrimAfterReleasedBytes have been released since the last true, and
    // kTrimIntervalMs have passed.
    bool TakeTrimDue(Millis now) {
        if (releasedSinceTrim_ < kTrimAfterReleasedBytes || now < lastTrim_ + kTrimIntervalMs) return false;
        releasedSinceTrim_ = 0;
        lastTrim_ = now;
        return true;
    }
    uint64_t Limit() const { return limit_; }

  private:
    uint64_t limit_;
    uint64_t used_ = 0;
    uint64_t releasedSinceTrim_ = 0;
    Millis lastTrim_ = 0;
};

// ServerStatus.State values the endpoint passes through.
enum class ServerRunState : int32_t { Running = 0, Shutdown = 4 };

// Where the server is in its life: running, or shutting down with a reason and a deadline.
class ServerLifecycle {
  public:
    ServerRunState state = ServerRunState::Running;
    std::string shutdownReason;
    int64_t startTime = 0;  // DateTime
    bool shuttingDown = false;
    bool shutdownDone = false;
    Millis shutdownDeadline = 0;

    void BeginShutdown(const std::string& reason, Millis now) {
        state = ServerRunState::Shutdown;
        shutdownReason = reason;
        shuttingDown = true;
        shutdownDone = false;
        shutdownDeadline = now + kShutdownDrainMs;
    }
};

// What a service handler sees of the request besides its body.
struct ServiceContext {
    Connection& channel;
    Session* session;  // the activated session, for services that need one
    uint32_t requestId;
    const RequestHeader& header;
    Millis now;
    // Runs after the response is sent (answers that must follow it on the wire).
    std::function<void()> afterReply;
};

// A ServiceFault in place of a response.
struct ServiceFault {
    StatusCode code;
};

// A handler's answer: a response, a ServiceFault, or nothing yet (Publish waits for a
// notification).
template <typename T>
struct Reply {
    StatusCode fault = status::Good;
    bool deferred = false;
    T body{};

    Reply() = default;
    Reply(T b) : body(std::move(b)) {}        // NOLINT: a response is a reply
    Reply(ServiceFault f) : fault(f.code) {}  // NOLINT: so is a fault
    static Reply Deferred() {
        Reply r;
        r.deferred = true;
        return r;
    }
    bool IsFault() const { return fault != status::Good; }
};

// The shape of the services that act on a list of ids: an empty list (or one over the limit) is
// a ServiceFault, otherwise each id gets its own status and the diagnostics stay empty.
template <typename Id, typename F>
Reply<StatusListResponse> ForEachId(const std::vector<Id>& ids, F&& op, uint32_t limit = kNoOperationLimit) {
    if (const StatusCode fault = OperationCountFault(ids.size(), limit)) return ServiceFault{fault};
    StatusListResponse r;
    r.results.reserve(ids.size());
    for (const Id& id : ids) r.results.push_back(op(id));
    return r;
}

class Engine;

// Runs the slow password checks away from the engine's thread (the server's worker). The result
// goes back to the engine on its own thread through Engine::CompletePasswordCheck. Without one
// (tests, fuzzers) the engine checks inline and answers ActivateSession at once.
class PasswordCheckExecutor {
  public:
    virtual ~PasswordCheckExecutor() = default;
    // check touches nothing of the engine; it may run on any thread.
    virtual void Run(uint64_t ticket, std::function<bool()> check) = 0;
};

// Working storage of the Read service, kept from one request to the next so that a Read of
// items allocates nothing once the sizes have been seen.
struct ReadScratch {
    // The answer of one operation before the items are read: a status alone, the sample at
    // index, or the DataValue of another node at index.
    struct Slot {
        enum Kind : uint8_t { Status, Item, Other } kind = Status;
        uint32_t index = 0;
        StatusCode status = status::Good;
    };
    std::vector<ReadOperation> ops;
    std::vector<Slot> slots;
    std::vector<uint32_t> handles;
    std::vector<ItemSample> samples;
    std::vector<DataValue> others;
    // ReadItems: entries read again after a refresh.
    std::vector<size_t> missing;
    std::vector<uint32_t> again;
    std::vector<ItemSample> fresh;
    std::string response;
};

// Working storage of sampling, kept from one sample to the next.
struct SampleScratch {
    std::vector<uint32_t> handles;
    std::vector<MonitoredItem*> due;
    std::vector<ItemSample> samples;
};

// One row of the service table: the request's binary encoding id, whether it needs an activated
// session of the channel, and the handler that decodes the request, runs the service and answers.
struct ServiceEntry {
    uint32_t requestTypeId;
    bool needsSession;
    void (*run)(Engine&, ServiceContext&, Decoder&);
    const char* name;
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

    // A new connection from peer (its address); false when it is refused (the caller closes it):
    // the peer has its share of unfinished handshakes, or every channel of a full table has an
    // activated session. Otherwise a full table makes room by ending the oldest channel without
    // an activated session.
    bool Accept(uint64_t conn, Millis now, const std::string& peer = {});
    void Receive(uint64_t conn, const uint8_t* data, size_t size, Millis now);
    // The peer went away or the socket failed.
    void Disconnected(uint64_t conn);
    // Runs due timers; returns the time of the next one.
    Millis Tick(Millis now);
    // Password checks go to executor from now on (null: inline). Set before the first request.
    void SetPasswordCheckExecutor(PasswordCheckExecutor* executor) { passwordExecutor_ = executor; }
    // The result of a password check handed to the executor: answers its ActivateSession.
    void CompletePasswordCheck(uint64_t ticket, bool passed, Millis now);
    // Password checks handed to the executor and not yet completed.
    size_t PendingPasswordChecks() const { return pendingActivations_.size(); }

    // Closes every channel (sessions stay until they time out or are closed).
    void DisconnectAll();
    // ServerStatus.State := Shutdown, ShutdownReason := reason; subscribers get the change, then
    // every session ends once the notifications are out (or at the deadline).
    void BeginShutdown(const std::string& reason, Millis now);
    bool ShutdownComplete() const { return lifecycle_.shutdownDone; }
    // Ends every session and channel (destruction of the server).
    void CloseEverything();

    // Observers for tests and the benchmark.
    size_t ConnectionCount() const { return channels_.Count(); }
    size_t SessionCount() const { return sessions_.Count(); }
    size_t SubscriptionCount() const;
    size_t MonitoredItemCount() const;
    // ActivateSession refusals for a wrong user name or password since start.
    uint64_t FailedLogins() const { return failedLogins_; }
    // Logins refused without checking the password, beyond the allowance of password checks.
    uint64_t PasswordChecksRefused() const { return passwordChecksRefused_; }
    const MemoryBudget& Memory() const { return memory_; }
    MemoryBudget& Memory() { return memory_; }
    const AddressSpace& Space() const { return space_; }
    const HandshakeLimiter& Handshakes() const { return handshakes_; }
    // Bytes of the budget one session may charge.
    uint64_t SessionMemoryShare() const { return memory_.Limit() / kSessionMemoryShareDivisor; }
    const ServerCounters& Counters() const { return counters_; }
    // Counts a service's answer for the server diagnostics (fault: its ServiceFault code or Good).
    void CountReply(uint32_t requestTypeId, StatusCode fault);

    // Processes one complete service request as if it arrived on an open channel of conn
    // (the decoder fuzz target feeds bodies through here).
    void ProcessRequest(Connection& c, uint32_t requestId, std::string_view body, Millis now);
    Connection* FindConnection(uint64_t conn) { return channels_.Find(conn); }
    Session* FindSession(const NodeId& token) { return sessions_.Find(token); }

    // The services the endpoint offers, one row each.
    static std::span<const ServiceEntry> ServiceTable();

    // Encodes a service response (type id + body) and sends it on the connection in chunks.
    void SendResponse(uint64_t conn, uint32_t requestId, uint32_t responseTypeId, const std::string& body,
                      uint32_t requestHandle);
    void SendServiceFault(uint64_t conn, uint32_t requestId, uint32_t requestHandle, StatusCode code);
    // Sends a handler's reply: the response, a ServiceFault, or nothing when it is deferred.
    template <typename T>
    void Answer(const ServiceContext& ctx, uint32_t responseTypeId, const Reply<T>& reply) {
        if (reply.deferred) return;
        if (reply.IsFault()) {
            SendServiceFault(ctx.channel.id, ctx.requestId, ctx.header.requestHandle, reply.fault);
            return;
        }
        std::string out;
        Encoder e(out);
        EncodeResponseHeader(e, ctx.header.requestHandle, status::Good);
        Encode(e, reply.body);
        SendResponse(ctx.channel.id, ctx.requestId, responseTypeId, out, ctx.header.requestHandle);
    }

    // ---- services: typed request in, typed reply out (tests call them directly)
    // discovery (ua_services.cpp)
    Reply<GetEndpointsResponse> ServiceGetEndpoints(ServiceContext& ctx, const GetEndpointsRequest& r);
    Reply<FindServersResponse> ServiceFindServers(ServiceContext& ctx, const FindServersRequest& r);
    // attribute and view (ua_services.cpp)
    Reply<ReadResponse> ServiceRead(ServiceContext& ctx, const ReadRequest& r);
    // Read straight from the request's bytes to the response's: the service table's Read.
    void ServeRead(ServiceContext& ctx, Decoder& d);
    Reply<StatusListResponse> ServiceWrite(ServiceContext& ctx, const WriteRequest& r);
    Reply<BrowseResponse> ServiceBrowse(ServiceContext& ctx, const BrowseRequest& r);
    Reply<BrowseResponse> ServiceBrowseNext(ServiceContext& ctx, const BrowseNextRequest& r);
    Reply<TranslateResponse> ServiceTranslate(ServiceContext& ctx, const TranslateRequest& r);
    Reply<RegisterNodesResponse> ServiceRegisterNodes(ServiceContext& ctx, const NodesRequest& r);
    Reply<EmptyResponse> ServiceUnregisterNodes(ServiceContext& ctx, const NodesRequest& r);
    // session (ua_session.cpp)
    Reply<CreateSessionResponse> ServiceCreateSession(ServiceContext& ctx, const CreateSessionRequest& r);
    Reply<ActivateSessionResponse> ServiceActivateSession(ServiceContext& ctx,
                                                          const ActivateSessionRequest& r);
    Reply<EmptyResponse> ServiceCloseSession(ServiceContext& ctx, const CloseSessionRequest& r);
    Reply<CancelResponse> ServiceCancel(ServiceContext& ctx, const CancelRequest& r);
    // subscription and monitored items (ua_subscription.cpp)
    Reply<CreateSubscriptionResponse> ServiceCreateSubscription(ServiceContext& ctx,
                                                                const CreateSubscriptionRequest& r);
    Reply<ModifySubscriptionResponse> ServiceModifySubscription(ServiceContext& ctx,
                                                                const ModifySubscriptionRequest& r);
    Reply<StatusListResponse> ServiceSetPublishingMode(ServiceContext& ctx,
                                                       const SetPublishingModeRequest& r);
    Reply<StatusListResponse> ServiceDeleteSubscriptions(ServiceContext& ctx,
                                                         const DeleteSubscriptionsRequest& r);
    Reply<CreateMonitoredItemsResponse> ServiceCreateMonitoredItems(ServiceContext& ctx,
                                                                    const CreateMonitoredItemsRequest& r);
    Reply<ModifyMonitoredItemsResponse> ServiceModifyMonitoredItems(ServiceContext& ctx,
                                                                    const ModifyMonitoredItemsRequest& r);
    Reply<StatusListResponse> ServiceSetMonitoringMode(ServiceContext& ctx,
                                                       const SetMonitoringModeRequest& r);
    Reply<StatusListResponse> ServiceDeleteMonitoredItems(ServiceContext& ctx,
                                                          const DeleteMonitoredItemsRequest& r);
    Reply<PublishResponse> ServicePublish(ServiceContext& ctx, const PublishRequest& r);
    Reply<RepublishResponse> ServiceRepublish(ServiceContext& ctx, const RepublishRequest& r);
    // history (history_services.cpp)
    Reply<HistoryReadResponse> ServiceHistoryRead(ServiceContext& ctx, const HistoryReadRequest& r);

    // Value of a namespace 0 node computed at read time (server status, arrays from the config).
    Variant DynamicValue(uint32_t nodeId) const;
    int64_t BuildDate() const { return config_.buildDate != 0 ? config_.buildDate : lifecycle_.startTime; }
    // Reads the values of items: maxAge 0 from the device, otherwise from the cache (refreshing
    // entries older than maxAge from the device first).
    void ReadItems(const std::vector<uint32_t>& handles, double maxAge, std::vector<ItemSample>& out);
    // Fault of a whole Read, or Good.
    static StatusCode ReadFault(size_t operations, double maxAge, uint32_t timestamps);
    // Resolves readScratch_.ops: statuses, item handles and the values of other nodes.
    void PlanRead(uint32_t timestamps, int64_t now);
    // Value of a point or device diagnostics counter, read from the backend now.
    StatusCode CounterValue(NodeRef node, Variant& out) const;
    // The ServerDiagnosticsSummary structure and ServiceLevel, from the counters and the sessions.
    Variant DiagnosticsValue(uint32_t nodeId) const;
    // One DataValue of (node, attribute) for Read and for sampling non-item nodes.
    DataValue ReadNonItem(NodeRef node, uint32_t attributeId, uint32_t timestamps, int64_t now) const;

  private:
    // transport (ua_channel.cpp)
    void ProcessInput(Connection& c, Millis now);
    bool HandleHello(Connection& c, Decoder& d);
    bool HandleOpen(Connection& c, Decoder& d, Millis now);
    // One OpenSecureChannel of either policy once its chunk is checked (secured is null for None):
    // validates the request, issues or renews the token, answers and opens the channel.
    bool ServeOpen(Connection& c, uint32_t headerChannelId, const ChunkPayload& payload,
                   const SecuredOpen* secured, Millis now);
    bool HandleMessage(Connection& c, char chunkType, Decoder& d, Millis now);
    bool HandlePayload(Connection& c, char chunkType, uint32_t channelId, uint32_t tokenId, uint32_t sequence,
                       uint32_t requestId, std::string_view body, Millis now);
    // secured channels (ua_channel_secure.cpp)
    void LoadServerKey();
    bool PolicyOffered(SecurityPolicy p) const;
    bool ModeOffered(SecurityMode m) const;
    std::string NewNonce(size_t n);
    bool HandleSecureOpen(Connection& c, std::string_view chunk, const AsymmetricHeader& h, Millis now);
    std::string SealOpenResponse(Connection& c, const SecuredOpen& s, uint32_t requestId,
                                 const std::string& body);
    // Checks a MSG/CLO chunk of a secured channel: Good with its payload, or the status to close with.
    StatusCode OpenSecuredChunk(Connection& c, std::string_view chunk, uint32_t& tokenId, ChunkPayload& out,
                                Millis now);
    std::string SealChunk(Connection& c, const char* type, char chunkType, uint32_t requestId,
                          std::string_view body);
    size_t MaxChunkBody(const Connection& c) const;
    void SendError(Connection& c, StatusCode code, const std::string& reason);
    void CloseConnection(uint64_t conn, bool notifyTransport);
    // Ends a connection to make room for another, telling its peer why.
    void Evict(uint64_t conn, const std::string& reason);
    // Channels to which an activated session is bound.
    std::unordered_set<uint64_t> ChannelsWithActivatedSession() const;
    void SendChunks(Connection& c, const char* type, uint32_t requestId, const std::string& body);
    // Chunks of an unsecured channel carrying head followed by body.
    void SendPlainChunks(Connection& c, const char* type, uint32_t requestId, std::string_view head,
                         std::string_view body);
    // Whether a response message of this size fits the peer's and our own message size and chunk
    // count limits.
    bool FitsLimits(const Connection& c, size_t messageSize) const;

    // discovery (ua_services.cpp)
    ApplicationDescription Application(const std::string& url) const;
    // One endpoint per offered (policy, mode), None first.
    std::vector<EndpointDescription> Endpoints(const std::string& url) const;
    std::string EndpointUrlFor(const Connection& c, const std::string& requested) const;
    // One BrowseResult continuing at cp.position (which then points at the next reference).
    bool BrowseInto(ContinuationPoint& cp, std::vector<BrowseReference>& refs) const;

    // sessions (ua_session.cpp)
    void EndSession(const std::string& key, StatusCode publishStatus);
    // When the session table is full: ends the oldest session never activated, or else the one
    // idle longest without a channel. False when every session is activated and bound.
    // A secured newcomer may also end the anonymous session of a None channel idle longest.
    bool MakeRoomForSession(bool secured);
    // Charges n bytes on behalf of sub of s, within the session's share of the budget.
    bool ChargeSession(const Session& s, Subscription& sub, uint64_t n);
    void ReleaseSubscription(Subscription& sub, uint64_t n);
    // session security (ua_session_security.cpp)
    StatusCode SecureCreateSession(const Connection& c, const CreateSessionRequest& r, Session& s,
                                   CreateSessionResponse& out);
    // A user name and password that passed every check but the password's own (the slow hash).
    struct PasswordCheck {
        bool needed = false;
        std::string user;
        std::string password;
    };
    // Good, or the fault; a wrong password sets *deny (answered late by the caller). A password
    // still to be checked is left in *check.
    StatusCode CheckActivation(const Connection& c, Session& s, const ActivateSessionRequest& r, Millis now,
                               bool* deny, PasswordCheck* check);
    // Binds s to c as activated and draws its next nonce.
    ActivateSessionResponse Activate(Connection& c, Session& s, Millis now);
    // Counts and reports a failed login, and answers it late with code.
    void DenyLogin(const Connection& c, uint32_t requestId, uint32_t requestHandle, StatusCode code,
                   Millis now);
    // Whether a password of this peer may be checked (or decrypted) now: the peer's allowance of
    // kPasswordChecksPerSecond and that of all peers together; counts it.
    bool AdmitPasswordCheck(const Connection& c, Millis now);
    // One line to the program's security log, at most kSecurityEventsPerMinute a minute.
    void ReportSecurityEvent(const std::string& line, Millis now);
    StatusCode CheckUserName(const Connection& c, Session& s, const ExtensionObject& token, Millis now,
                             bool* deny, PasswordCheck* check);
    void SendDelayedFaults(Millis now, Millis& next);
    struct DelayedFault {
        Millis due;
        uint64_t conn;
        uint32_t requestId;
        uint32_t requestHandle;
        StatusCode code;
    };
    std::vector<DelayedFault> delayedFaults_;
    uint64_t failedLogins_ = 0;
    struct Allowance {
        double left;
        Millis refilled = 0;
        // Refills at rate per second up to burst; takes one when there is one.
        bool Take(Millis now, double rate, double burst);
    };
    Allowance passwordAllowance_{kPasswordCheckBurst * kPasswordPeersShare};
    std::unordered_map<std::string, Allowance> peerPasswordAllowance_;
    uint64_t passwordChecksRefused_ = 0;
    // ActivateSession requests whose password the executor checks, by ticket.
    struct PendingActivation {
        uint64_t conn;
        uint32_t requestId;
        uint32_t requestHandle;
        std::string sessionKey;
        std::string userName;
    };
    PasswordCheckExecutor* passwordExecutor_ = nullptr;
    std::unordered_map<uint64_t, PendingActivation> pendingActivations_;
    uint64_t nextPasswordTicket_ = 1;
    Millis securityEventWindow_ = 0;
    int securityEventsInWindow_ = 0;
    uint64_t securityEventsSuppressed_ = 0;

    // subscriptions (ua_subscription.cpp)
    void DeleteSubscription(Session& s, uint32_t subscriptionId);
    void DeleteItems(Subscription& sub, const std::vector<uint32_t>& ids);
    void SampleSubscription(Subscription& sub, Millis now, bool all);
    // Publishing cycle of one subscription; returns false when the subscription expired.
    bool PublishCycle(Session& s, Subscription& sub, Millis now);
    // Sends a NotificationMessage (or a keep-alive) of sub on the oldest queued Publish request.
    bool SendNotification(Session& s, Subscription& sub, Millis now);
    void AnswerLatePublish(Session& s, Millis now);
    void TickSubscriptions(Session& s, Millis now, Millis& next);
    // Tells the queued Publish requests of s that there is no subscription left to serve them.
    void FailPublishRequests(Session& s, StatusCode code);
    void SendPublishResponse(const PendingPublish& req, const PublishResponse& response);
    StatusCode ParseFilter(const ExtensionObject& filter, MonitoredItem& m) const;

    // history (history_services.cpp): reads at most page values (bounds included) of cp's item
    // into out and advances cp; false when the backend could not read.
    bool ReadHistoryPage(HistoryContinuation& cp, uint64_t page, uint32_t timestamps,
                         std::vector<DataValue>& out);

    Backend& backend_;
    ServerConfig config_;
    Transport& transport_;
    AddressSpace space_;
    MemoryBudget memory_;
    uint16_t port_ = 0;
    ChannelTable channels_;
    SessionTable sessions_;
    ServerLifecycle lifecycle_;
    HandshakeLimiter handshakes_;
    ServerCounters counters_;
    // The server's key and certificate thumbprint (secured channels; invalid without a trust store).
    crypto::RsaKey ownKey_;
    std::string ownThumbprint_;
    ReadScratch readScratch_;
    std::string chunkOut_;  // SendPlainChunks' chunk
    SampleScratch sampleScratch_;
    std::vector<uint64_t> activeChannels_;  // Tick's working list
};

// DataValue of an item sample (Float value, status from the quality, timestamps as asked).
DataValue MakeItemDataValue(const ItemSample& sample, uint32_t timestamps, int64_t now);
// The encoding of MakeItemDataValue(sample, timestamps, now), built without it: written to out
// (at least kItemDataValueMaxBytes), its length returned; or appended.
inline constexpr size_t kItemDataValueMaxBytes = 26;
static_assert(kItemDataValueMaxBytes <= EncodedValue::kInlineBytes);
size_t ItemDataValueBytes(const ItemSample& sample, uint32_t timestamps, int64_t now, char* out);
void EncodeItemDataValue(Encoder& e, const ItemSample& sample, uint32_t timestamps, int64_t now);

}  // namespace qora::ua
