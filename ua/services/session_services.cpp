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
    std::string key = NodeKey(ctx.header.authenticationToken);
    // One activation of a session at a time: another one while its password is being checked
    // would race it for the session's channel and identity. One whose channel has closed no longer
    // counts: its result will be dropped, and the client may come back on a new channel at once.
    for (const auto& [ticket, p] : pendingActivations_)
        if (p.sessionKey == key && channels_.Find(p.conn)) return ServiceFault{status::BadInvalidState};
    bool deny = false;
    PasswordCheck check;
    if (const StatusCode st = CheckActivation(ctx.channel, *s, r, ctx.now, &deny, &check);
        st != status::Good) {
        if (!deny) return ServiceFault{st};
        DenyLogin(ctx.channel, ctx.requestId, ctx.header.requestHandle, st, ctx.now);
        return Reply<ActivateSessionResponse>::Deferred();
    }
    if (check.needed && !passwordExecutor_) {
        if (!config_.users->Check(check.user, check.password)) {
            DenyLogin(ctx.channel, ctx.requestId, ctx.header.requestHandle, status::BadUserAccessDenied,
                      ctx.now);
            return Reply<ActivateSessionResponse>::Deferred();
        }
        s->userName = std::move(check.user);
    } else if (check.needed) {
        // The hash runs on the worker and the session stays as it is until the result is back.
        // Requests that come meanwhile, on this channel or another, are answered as they come:
        // responses are matched to requests by request id and handle and may come in any order
        // (like Publish), and holding them back would let one slow login stall the channel.
        const uint64_t ticket = nextPasswordTicket_++;
        pendingActivations_.emplace(
            ticket, PendingActivation{ctx.channel.id, ctx.requestId, ctx.header.requestHandle, std::move(key),
                                      check.user});
        passwordExecutor_->Run(
            ticket, [users = config_.users, user = std::move(check.user),
                     password = std::move(check.password)] { return users->Check(user, password); });
        return Reply<ActivateSessionResponse>::Deferred();
    }
    return Activate(ctx.channel, *s, ctx.now);
}

ActivateSessionResponse Engine::Activate(Connection& c, Session& s, Millis now) {
    // A client may move its session to a new channel after a reconnect.
    if (s.conn != c.id) {
        s.publishQueue.clear();
        s.conn = c.id;
    }
    s.activated = true;
    s.lastActivity = now;
    ActivateSessionResponse out;
    out.serverNonce = NewNonce(kNonceLength);
    s.serverNonce = out.serverNonce;
    return out;
}

void Engine::DenyLogin(const Connection& c, uint32_t requestId, uint32_t requestHandle, StatusCode code,
                       Millis now) {
    // A wrong password is told late, through the timer: the other channels go on meanwhile.
    ++failedLogins_;
    ReportSecurityEvent("OPC UA: failed login from " + (c.peer.empty() ? "?" : c.peer) + " (" +
                            std::to_string(failedLogins_) + " since start)",
                        now);
    delayedFaults_.push_back({now + kFailedLoginDelayMs, c.id, requestId, requestHandle, code});
}

void Engine::CompletePasswordCheck(uint64_t ticket, bool passed, Millis now) {
    auto it = pendingActivations_.find(ticket);
    if (it == pendingActivations_.end()) return;
    const PendingActivation p = std::move(it->second);
    pendingActivations_.erase(it);
    // A channel closed meanwhile has nobody to answer: the session stays as it was.
    Connection* c = FindConnection(p.conn);
    if (!c) return;
    if (!passed) {
        DenyLogin(*c, p.requestId, p.requestHandle, status::BadUserAccessDenied, now);
        return;
    }
    // The response goes out with the channel's current token and next sequence number, whatever
    // was renewed or sent meanwhile.
    RequestHeader header;
    header.requestHandle = p.requestHandle;
    ServiceContext ctx{*c, nullptr, p.requestId, header, now, {}};
    Reply<ActivateSessionResponse> reply = ServiceFault{status::BadSessionIdInvalid};  // closed meanwhile
    if (Session* s = sessions_.FindByKey(p.sessionKey)) {
        s->userName = p.userName;
        reply = Activate(*c, *s, now);
    }
    CountReply(id::ActivateSession, reply.fault);
    Answer(ctx, id::ResponseOf(id::ActivateSession), reply);
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
