// Session services: CreateSession, ActivateSession, CloseSession, and the end of a session.
#include <algorithm>

#include "opc/ua/ua_engine.h"

namespace qora::ua {

namespace {
constexpr size_t kNonceLength = 32;  // clients refuse shorter nonces
}

std::string Engine::RandomBytes(size_t n) {
    std::string s(n, '\0');
    for (size_t i = 0; i < n; i += 8) {
        uint64_t r = rng_();
        for (size_t j = 0; j < 8 && i + j < n; ++j) s[i + j] = static_cast<char>(r >> (8 * j));
    }
    return s;
}

Guid Engine::RandomGuid() {
    Guid g;
    uint64_t a = rng_(), b = rng_();
    g.data1 = static_cast<uint32_t>(a);
    g.data2 = static_cast<uint16_t>(a >> 32);
    g.data3 = static_cast<uint16_t>(((a >> 48) & 0x0FFF) | 0x4000);  // version 4
    for (int i = 0; i < 8; ++i) g.data4[i] = static_cast<uint8_t>(b >> (8 * i));
    g.data4[0] = static_cast<uint8_t>((g.data4[0] & 0x3F) | 0x80);  // RFC 4122 variant
    return g;
}

Session* Engine::FindSession(const NodeId& token) {
    auto it = sessions_.find(NodeKey(token));
    return it == sessions_.end() ? nullptr : it->second.get();
}

void Engine::ServiceCreateSession(Connection& c, uint32_t rid, const RequestHeader& h, Decoder& d, Millis now) {
    // ClientDescription
    d.String();
    d.String();
    d.Text();
    d.UInt32();
    d.String();
    d.String();
    for (size_t i = 0, n = d.ArrayCount(4, 32); i < n; ++i) d.String();
    d.String();  // server URI
    const std::string endpointUrl = d.StringValue();
    const std::string sessionName = d.StringValue();
    d.ByteString();  // client nonce
    d.ByteString();  // client certificate
    const double requestedTimeout = d.Double();
    d.UInt32();  // max response message size

    if (shuttingDown_) {
        SendServiceFault(c.id, rid, h.requestHandle, status::BadServerHalted);
        return;
    }
    if (sessions_.size() >= static_cast<size_t>(std::max(0, config_.maxSessions))) {
        SendServiceFault(c.id, rid, h.requestHandle, status::BadTooManySessions);
        return;
    }
    if (!memory_.TryCharge(sizeof(Session))) {
        SendServiceFault(c.id, rid, h.requestHandle, status::BadOutOfMemory);
        return;
    }
    auto s = std::make_unique<Session>();
    s->sessionId.ns = 1;
    s->sessionId.kind = NodeId::Kind::Guid;
    s->sessionId.guid = RandomGuid();
    s->authenticationToken.ns = 1;
    s->authenticationToken.kind = NodeId::Kind::Guid;
    do {
        s->authenticationToken.guid = RandomGuid();
    } while (sessions_.count(NodeKey(s->authenticationToken)));
    s->name = sessionName;
    s->conn = c.id;
    s->lastActivity = now;
    s->timeoutMs = (requestedTimeout > 0 && requestedTimeout == requestedTimeout)
                       ? std::clamp(requestedTimeout, kMinSessionTimeoutMs, kMaxSessionTimeoutMs)
                       : kDefaultSessionTimeoutMs;

    std::string out;
    Encoder e(out);
    EncodeResponseHeader(e, h.requestHandle, status::Good);
    e.Node(s->sessionId);
    e.Node(s->authenticationToken);
    e.Double(s->timeoutMs);
    e.ByteString(RandomBytes(kNonceLength));
    e.NullString();  // server certificate: none under SecurityPolicy None
    e.ArrayLength(1);
    EncodeEndpoint(e, EndpointUrlFor(c, endpointUrl));
    e.ArrayLength(0);  // server software certificates
    e.NullString();    // signature algorithm
    e.NullString();    // signature
    e.UInt32(config_.maxMessageSize);

    const std::string key = NodeKey(s->authenticationToken);
    sessions_.emplace(key, std::move(s));
    backend_.SessionCreated();
    SendResponse(c.id, rid, id::ResponseOf(id::CreateSession), out, h.requestHandle);
}

void Engine::ServiceActivateSession(Connection& c, uint32_t rid, const RequestHeader& h, Decoder& d, Millis now) {
    d.String();  // client signature algorithm
    d.ByteString();
    for (size_t i = 0, n = d.ArrayCount(8, 64); i < n; ++i) {
        d.ByteString();
        d.ByteString();
    }
    for (size_t i = 0, n = d.ArrayCount(4, 32); i < n; ++i) d.String();  // locale ids
    const ExtensionObject token = d.Extension();
    d.String();  // user token signature
    d.ByteString();

    Session* s = FindSession(h.authenticationToken);
    if (!s) {
        SendServiceFault(c.id, rid, h.requestHandle, status::BadSessionIdInvalid);
        return;
    }
    // Only the anonymous identity is offered.
    const bool anonymous = token.typeId.IsNull() || token.typeId.IsNs0(id::AnonymousIdentityToken) ||
                           token.typeId.IsNs0(id::AnonymousIdentityToken - 2);  // data type id 319
    if (!anonymous) {
        SendServiceFault(c.id, rid, h.requestHandle, status::BadIdentityTokenInvalid);
        return;
    }
    // A client may move its session to a new channel after a reconnect.
    if (s->conn != c.id) {
        s->publishQueue.clear();
        s->conn = c.id;
    }
    s->activated = true;
    s->lastActivity = now;

    std::string out;
    Encoder e(out);
    EncodeResponseHeader(e, h.requestHandle, status::Good);
    e.ByteString(RandomBytes(kNonceLength));
    e.ArrayLength(0);  // results
    e.ArrayLength(0);  // diagnostic infos
    SendResponse(c.id, rid, id::ResponseOf(id::ActivateSession), out, h.requestHandle);
}

void Engine::ServiceCloseSession(Connection& c, uint32_t rid, const RequestHeader& h, Decoder& d) {
    d.Boolean();  // delete subscriptions: ours never outlive their session
    Session* s = FindSession(h.authenticationToken);
    if (!s) {
        SendServiceFault(c.id, rid, h.requestHandle, status::BadSessionIdInvalid);
        return;
    }
    if (s->conn != c.id) {
        SendServiceFault(c.id, rid, h.requestHandle, status::BadSecureChannelIdInvalid);
        return;
    }
    EndSession(NodeKey(h.authenticationToken), status::BadSessionClosed);
    std::string out;
    Encoder e(out);
    EncodeResponseHeader(e, h.requestHandle, status::Good);
    SendResponse(c.id, rid, id::ResponseOf(id::CloseSession), out, h.requestHandle);
}

void Engine::EndSession(const std::string& key, StatusCode publishStatus) {
    auto it = sessions_.find(key);
    if (it == sessions_.end()) return;
    std::unique_ptr<Session> s = std::move(it->second);
    sessions_.erase(it);
    std::vector<uint32_t> ids;
    for (const auto& [subId, sub] : s->subscriptions) ids.push_back(subId);
    for (uint32_t subId : ids) DeleteSubscription(*s, subId);
    for (const PendingPublish& p : s->publishQueue)
        SendServiceFault(p.conn, p.requestId, p.requestHandle, publishStatus);
    memory_.Release(sizeof(Session));
    backend_.SessionClosed();
}

}  // namespace qora::ua
