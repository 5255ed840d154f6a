// Session services: CreateSession, ActivateSession, CloseSession, Cancel, and the end of a
// session.
#include <algorithm>

#include "ua/engine/engine.h"

namespace qora::ua {

namespace {
constexpr size_t kNonceLength = 32;  // clients refuse shorter nonces
constexpr uint16_t kSessionNamespace = 1;
}  // namespace

Reply<CreateSessionResponse> Engine::ServiceCreateSession(ServiceContext& ctx,
                                                          const CreateSessionRequest& r) {
    if (lifecycle_.shuttingDown) return ServiceFault{status::BadServerHalted};
    const size_t maxSessions = static_cast<size_t>(std::max(0, config_.maxSessions));
    // One address holds at most a quarter of the table, so that it cannot lock out the others.
    if (!ctx.channel.peer.empty() && sessions_.CountOfPeer(ctx.channel.peer) >=
                                         std::max(kMinSessionsPerPeer, maxSessions / kSessionsPerPeerDivisor))
        return ServiceFault{status::BadTooManySessions};
    const bool secured = ctx.channel.security != nullptr;
    if (sessions_.Count() >= maxSessions && !MakeRoomForSession(secured))
        return ServiceFault{status::BadTooManySessions};
    if (!memory_.TryCharge(sizeof(Session))) return ServiceFault{status::BadOutOfMemory};
    auto s = std::make_unique<Session>();
    s->sessionId.ns = kSessionNamespace;
    s->sessionId.kind = NodeId::Kind::Guid;
    s->sessionId.guid = sessions_.RandomGuid();
    s->authenticationToken.ns = kSessionNamespace;
    s->authenticationToken.kind = NodeId::Kind::Guid;
    do {
        s->authenticationToken.guid = sessions_.RandomGuid();
    } while (sessions_.Contains(s->authenticationToken));
    s->name = r.sessionName;
    s->conn = ctx.channel.id;
    s->peer = ctx.channel.peer;
    s->secured = secured;
    s->lastActivity = ctx.now;
    s->created = ctx.now;
    const double requested = r.requestedSessionTimeout;
    s->timeoutMs = (requested > 0 && requested == requested)  // NaN: the default
                       ? std::clamp(requested, kMinSessionTimeoutMs, kMaxSessionTimeoutMs)
                       : kDefaultSessionTimeoutMs;

    CreateSessionResponse out;
    out.sessionId = s->sessionId;
    out.authenticationToken = s->authenticationToken;
    out.revisedSessionTimeout = s->timeoutMs;
    out.serverNonce = NewNonce(kNonceLength);
    s->serverNonce = out.serverNonce;
    out.endpoints = Endpoints(EndpointUrlFor(ctx.channel, r.endpointUrl));
    out.maxRequestMessageSize = config_.maxMessageSize;
    if (const StatusCode st = SecureCreateSession(ctx.channel, r, *s, out); st != status::Good) {
        memory_.Release(sizeof(Session));
        return ServiceFault{st};
    }
    sessions_.Add(std::move(s));
    backend_.SessionCreated();
    return out;
}

Reply<ActivateSessionResponse> Engine::ServiceActivateSession(ServiceContext& ctx,
                                                              const ActivateSessionRequest& r) {
    Session* s = sessions_.Find(ctx.header.authenticationToken);
    if (!s) return ServiceFault{status::BadSessionIdInvalid};
    bool deny = false;
    if (const StatusCode st = CheckActivation(ctx.channel, *s, r, ctx.now, &deny); st != status::Good) {
        if (!deny) return ServiceFault{st};
        // A wrong password is told late, through the timer: the other channels go on meanwhile.
        ++failedLogins_;
        ReportSecurityEvent("OPC UA: failed login from " +
                                (ctx.channel.peer.empty() ? "?" : ctx.channel.peer) + " (" +
                                std::to_string(failedLogins_) + " since start)",
                            ctx.now);
        delayedFaults_.push_back(
            {ctx.now + kFailedLoginDelayMs, ctx.channel.id, ctx.requestId, ctx.header.requestHandle, st});
        return Reply<ActivateSessionResponse>::Deferred();
    }
    // A client may move its session to a new channel after a reconnect.
    if (s->conn != ctx.channel.id) {
        s->publishQueue.clear();
        s->conn = ctx.channel.id;
    }
    s->activated = true;
    s->lastActivity = ctx.now;
    ActivateSessionResponse out;
    out.serverNonce = NewNonce(kNonceLength);
    s->serverNonce = out.serverNonce;
    return out;
}

Reply<EmptyResponse> Engine::ServiceCloseSession(ServiceContext& ctx, const CloseSessionRequest&) {
    // deleteSubscriptions is not looked at: subscriptions never outlive their session.
    Session* s = sessions_.Find(ctx.header.authenticationToken);
    if (!s) return ServiceFault{status::BadSessionIdInvalid};
    if (s->conn != ctx.channel.id) return ServiceFault{status::BadSecureChannelIdInvalid};
    EndSession(NodeKey(ctx.header.authenticationToken), status::BadSessionClosed);
    return EmptyResponse{};
}

Reply<CancelResponse> Engine::ServiceCancel(ServiceContext&, const CancelRequest&) {
    return CancelResponse{0};  // nothing is cancelled: requests are answered in order
}

bool Engine::MakeRoomForSession(bool secured) {
    const std::string* victim = nullptr;
    const Session* victimSession = nullptr;
    // Never activated: the one created first. Otherwise without a channel: the one idle longest.
    auto better = [](const Session& a, const Session* b) {
        if (!b) return true;
        if (!a.activated != !b->activated) return !a.activated;
        return !a.activated ? a.created < b->created : a.lastActivity < b->lastActivity;
    };
    sessions_.ForEach([&](const std::string& key, const Session& s) {
        if (s.activated && s.conn != 0) return;
        if (better(s, victimSession)) {
            victim = &key;
            victimSession = &s;
        }
    });
    if (!victim && secured) {
        // Room for a secured client: the anonymous session of a None channel idle longest.
        sessions_.ForEach([&](const std::string& key, const Session& s) {
            if (s.secured || !s.userName.empty()) return;
            if (!victimSession || s.lastActivity < victimSession->lastActivity) {
                victim = &key;
                victimSession = &s;
            }
        });
    }
    if (!victim) return false;
    EndSession(*victim, status::BadSessionClosed);
    return true;
}

void Engine::EndSession(const std::string& key, StatusCode publishStatus) {
    std::unique_ptr<Session> s = sessions_.Take(key);
    if (!s) return;
    std::vector<uint32_t> ids;
    for (const auto& [subId, sub] : s->subscriptions) ids.push_back(subId);
    for (uint32_t subId : ids) DeleteSubscription(*s, subId);
    for (const PendingPublish& p : s->publishQueue)
        SendServiceFault(p.conn, p.requestId, p.requestHandle, publishStatus);
    memory_.Release(sizeof(Session));
    backend_.SessionClosed();
}

}  // namespace qora::ua
