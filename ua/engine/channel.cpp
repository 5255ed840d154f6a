// Transport level of the engine: HEL/ACK/ERR, secure channel open/renew/close (the request of
// both policies, the None chunk), MSG chunk assembly and response chunking with per-channel
// sequence numbers.
#include <algorithm>
#include <cstring>

#include "ua/engine/channel_security.h"
#include "ua/engine/engine.h"

namespace qora::ua {

namespace {

constexpr const char* kSecurityPolicyNone = "http://opcfoundation.org/UA/SecurityPolicy#None";

// The sequence header and body of an unsecured chunk, after its security header.
ChunkPayload PlainPayload(Decoder& d) {
    ChunkPayload payload;
    payload.sequence = d.UInt32();
    payload.requestId = d.UInt32();
    payload.body.assign(reinterpret_cast<const char*>(d.Current()), d.Remaining());
    return payload;
}

void PutHeader(std::string& out, const char* type, char chunkType) {
    out.append(type, 3);
    out.push_back(chunkType);
    out.append(4, '\0');  // size, patched
}

void PatchSize(std::string& out) {
    Encoder e(out);
    e.PatchUInt32(4, static_cast<uint32_t>(out.size()));
}

// The OPN chunk of SecurityPolicy None around a response body.
std::string PlainOpenResponse(Connection& c, uint32_t requestId, const std::string& body) {
    std::string out;
    PutHeader(out, "OPN", 'F');
    Encoder e(out);
    e.UInt32(c.channelId);
    e.String(std::string_view(kSecurityPolicyNone));
    e.NullString();  // certificate
    e.NullString();  // thumbprint
    e.UInt32(++c.sendSequence);
    e.UInt32(requestId);
    e.Raw(body.data(), body.size());
    PatchSize(out);
    return out;
}

}  // namespace

bool Engine::Accept(uint64_t conn, Millis now, const std::string& peer) {
    // A peer with its share of unfinished handshakes only keeps itself out.
    if (!handshakes_.MayStartHandshake(peer)) return false;
    if (handshakes_.UnfinishedFull()) {
        if (Connection* old = channels_.Oldest([](const Connection& c) { return !c.IsOpen(); }))
            Evict(old->id, "too many unfinished handshakes");
    }
    if (channels_.Count() >= static_cast<size_t>(std::max(0, config_.maxChannels))) {
        const std::unordered_set<uint64_t> active = ChannelsWithActivatedSession();
        Connection* idle = channels_.Oldest([&](const Connection& c) { return active.count(c.id) == 0; });
        if (!idle) return false;  // every channel serves an activated session
        Evict(idle->id, "channel without an activated session closed for a new connection");
    }
    if (!memory_.TryCharge(sizeof(Connection))) return false;
    channels_.Add(conn, now).peer = peer;
    handshakes_.HandshakeStarted(peer);
    return true;
}

void Engine::Evict(uint64_t conn, const std::string& reason) {
    if (Connection* c = FindConnection(conn)) SendError(*c, status::BadTcpServerTooBusy, reason);
    CloseConnection(conn, true);
}

void Engine::Disconnected(uint64_t conn) {
    CloseConnection(conn, false);
}

void Engine::CloseConnection(uint64_t conn, bool notifyTransport) {
    std::unique_ptr<Connection> c = channels_.Take(conn);
    if (!c) return;
    if (!c->IsOpen()) handshakes_.HandshakeEnded(c->peer);
    memory_.Release(c->inputCharged);
    for (const auto& p : c->partial) memory_.Release(p.body.size());
    memory_.Release(sizeof(Connection));
    // Sessions stay (a client may reactivate them on a new channel); their queued Publish
    // requests belonged to this channel and can no longer be answered.
    sessions_.ForEach([&](const std::string&, Session& s) {
        if (s.conn == conn) s.conn = 0;
        s.DropPublishRequestsOf(conn);
    });
    if (c->channelOpenedNotified) backend_.ChannelClosed();
    if (notifyTransport) transport_.Close(conn);
}

void Engine::SendError(Connection& c, StatusCode code, const std::string& reason) {
    std::string out;
    PutHeader(out, "ERR", 'F');
    Encoder e(out);
    e.UInt32(code);
    e.String(std::string_view(reason));
    PatchSize(out);
    transport_.Send(c.id, std::move(out));
}

void Engine::Receive(uint64_t conn, const uint8_t* data, size_t size, Millis now) {
    Connection* c = FindConnection(conn);
    if (!c || size == 0) return;
    if (!memory_.TryCharge(size)) {
        SendError(*c, status::BadTcpNotEnoughResources, "server memory budget exhausted");
        CloseConnection(conn, true);
        return;
    }
    c->inputCharged += size;
    c->input.append(reinterpret_cast<const char*>(data), size);
    ProcessInput(*c, now);
}

void Engine::ProcessInput(Connection& c, Millis now) {
    const uint64_t conn = c.id;
    size_t offset = 0;
    while (c.input.size() - offset >= 8) {
        const char* p = c.input.data() + offset;
        Decoder hdr(reinterpret_cast<const uint8_t*>(p) + 4, 4);
        const uint32_t size = hdr.UInt32();
        const uint32_t limit = c.state == Connection::State::AwaitHello
                                   ? kMinBufferSize
                                   : std::max(c.bufferSize, kOwnBufferSize);
        if (size < 8 || size > limit) {
            SendError(c, status::BadTcpMessageTooLarge, "chunk size out of range");
            CloseConnection(conn, true);
            return;
        }
        if (c.input.size() - offset < size) break;
        const std::string type(p, 3);
        const char chunkType = p[3];
        Decoder d(reinterpret_cast<const uint8_t*>(p) + 8, size - 8);
        bool ok = false;
        try {
            if (c.state == Connection::State::AwaitHello) {
                if (type != "HEL" || chunkType != 'F') {
                    SendError(c, status::BadTcpMessageTypeInvalid, "expected HEL");
                } else {
                    ok = HandleHello(c, d);
                }
            } else if (type == "OPN") {
                AsymmetricHeader asym;
                const std::string_view chunk(p, size);
                if (chunkType != 'F')
                    SendError(c, status::BadTcpMessageTypeInvalid, "OPN must be one chunk");
                else if (ParseAsymmetricHeader(chunk, asym) && asym.policyUri != kSecurityPolicyNone)
                    ok = HandleSecureOpen(c, chunk, asym, now);
                else
                    ok = HandleOpen(c, d, now);
            } else if ((type == "MSG" || type == "CLO") && c.security && c.state == Connection::State::Open) {
                uint32_t tokenId = 0;
                ChunkPayload payload;
                const StatusCode st = OpenSecuredChunk(c, std::string_view(p, size), tokenId, payload, now);
                if (st != status::Good) {
                    SendError(c, st, "secured chunk refused");
                } else if (type == "CLO") {
                    CloseConnection(conn, true);
                    return;
                } else {
                    ok = HandlePayload(c, chunkType, c.channelId, tokenId, payload.sequence,
                                       payload.requestId, payload.body, now);
                    if (!FindConnection(conn)) return;
                }
            } else if (type == "MSG" || type == "CLO") {
                if (c.state != Connection::State::Open) {
                    SendError(c, status::BadTcpSecureChannelUnknown, "no secure channel");
                } else if (type == "CLO") {
                    // CloseSecureChannel: no response, the channel ends.
                    CloseConnection(conn, true);
                    return;
                } else {
                    ok = HandleMessage(c, chunkType, d, now);
                    if (!FindConnection(conn)) return;
                }
            } else {
                SendError(c, status::BadTcpMessageTypeInvalid, "unknown message type");
            }
        } catch (const DecodeError& e) {
            SendError(c,
                      e.status() == status::BadEncodingLimitsExceeded ? e.status() : status::BadDecodingError,
                      e.what());
            ok = false;
        }
        if (!ok) {
            CloseConnection(conn, true);
            return;
        }
        offset += size;
    }
    if (offset > 0) {
        c.input.erase(0, offset);
        memory_.Release(offset);
        c.inputCharged -= std::min<uint64_t>(c.inputCharged, offset);
    }
}

bool Engine::HandleHello(Connection& c, Decoder& d) {
    d.UInt32();  // protocol version: we speak version 0 whatever the client offers
    const uint32_t receiveBuffer = d.UInt32();
    const uint32_t sendBuffer = d.UInt32();
    c.peerMaxMessageSize = d.UInt32();
    c.peerMaxChunkCount = d.UInt32();
    const int32_t urlLength = d.Int32();
    if (urlLength > static_cast<int32_t>(kMaxEndpointUrlLength)) {
        SendError(c, status::BadTcpEndpointUrlInvalid, "endpoint URL too long");
        return false;
    }
    if (urlLength > 0) {
        if (d.Remaining() < static_cast<size_t>(urlLength))
            throw DecodeError(status::BadDecodingError, "truncated HEL");
        c.endpointUrl.assign(reinterpret_cast<const char*>(d.Current()), static_cast<size_t>(urlLength));
    }
    if (receiveBuffer < kMinBufferSize || sendBuffer < kMinBufferSize) {
        SendError(c, status::BadConnectionRejected, "buffer sizes below 8192");
        return false;
    }
    // One size both ways: some clients cut their requests by the server's send buffer size.
    c.bufferSize = std::min({kOwnBufferSize, receiveBuffer, sendBuffer});
    std::string out;
    PutHeader(out, "ACK", 'F');
    Encoder e(out);
    e.UInt32(0);
    e.UInt32(c.bufferSize);
    e.UInt32(c.bufferSize);
    e.UInt32(config_.maxMessageSize);
    e.UInt32(config_.maxChunkCount);
    PatchSize(out);
    transport_.Send(c.id, std::move(out));
    c.state = Connection::State::AwaitOpen;
    return true;
}

bool Engine::HandleOpen(Connection& c, Decoder& d, Millis now) {
    // Before any other work: a flood of OPN requests is refused here.
    if (!handshakes_.AdmitOpen(c.peer, now, false)) {
        SendError(c, status::BadTcpServerTooBusy, "too many secure channel requests");
        return false;
    }
    const uint32_t channelId = d.UInt32();
    const UaString policy = d.String();
    // Secured OPNs do not come here, and a None OPN cannot renew a secured channel. A None channel
    // is open to discovery even when None is not offered; sessions then refuse it.
    if (policy.value != kSecurityPolicyNone || c.security) {
        SendError(c, status::BadSecurityPolicyRejected, "security policy not offered on this channel");
        return false;
    }
    d.ByteString();  // sender certificate
    d.ByteString();  // receiver certificate thumbprint
    return ServeOpen(c, channelId, PlainPayload(d), nullptr, now);
}

bool Engine::ServeOpen(Connection& c, uint32_t headerChannelId, const ChunkPayload& payload,
                       const SecuredOpen* secured, Millis now) {
    Decoder d(payload.body);
    if (!d.Node().IsNs0(id::OpenSecureChannel)) {
        SendError(c, status::BadTcpMessageTypeInvalid, "OPN without OpenSecureChannelRequest");
        return false;
    }
    const RequestHeader header = DecodeRequestHeader(d);
    OpenSecureChannelRequest request;
    Decode(d, request);

    // The mode must be the policy's: None with None, Sign or SignAndEncrypt (offered, and kept
    // over renewals) with a secured policy.
    const auto mode = static_cast<SecurityMode>(request.securityMode);
    const bool modeFits = secured ? (mode == SecurityMode::Sign || mode == SecurityMode::SignAndEncrypt) &&
                                        ModeOffered(mode) && (!c.security || mode == c.security->mode)
                                  : mode == SecurityMode::None;
    if (!modeFits) {
        SendError(c, status::BadSecurityModeRejected, "security mode does not fit the policy");
        return false;
    }
    if (secured &&
        (request.clientNonce.size() != crypto::kNonceBytes ||
         (c.security && crypto::ConstantTimeEqual(request.clientNonce, c.security->clientNonce)))) {
        SendError(c, status::BadSecurityChecksFailed, "client nonce missing or reused");
        return false;
    }
    const bool renew = c.state == Connection::State::Open;
    if ((request.requestType != TokenIssue && request.requestType != TokenRenew) ||
        (request.requestType == TokenRenew) != renew) {
        SendError(c, status::BadTcpMessageTypeInvalid, "issue on an open channel or renew of none");
        return false;
    }
    if (renew) {
        if (headerChannelId != c.channelId) {
            SendError(c, status::BadTcpSecureChannelUnknown, "renew of an unknown channel");
            return false;
        }
        if (!SequenceFollows(c.receiveSequence, payload.sequence)) {
            SendError(c, status::BadSequenceNumberInvalid, "sequence number out of order");
            return false;
        }
        // The old token stays valid until the client uses the new one or it expires.
        c.previousTokenId = c.tokenId;
    } else {
        c.channelId = channels_.NewChannelId();
        if (secured) {
            c.security = std::make_shared<ChannelSecurity>();
            c.security->policy = secured->policy;
            c.security->mode = mode;
            c.security->params = secured->params;
            c.security->clientCertificate.assign(secured->clientLeaf);
            c.security->clientKey = *secured->clientKey;
        }
    }
    c.receiveSequence = payload.sequence;
    OpenSecureChannelResponse response;
    if (secured) {
        response.serverNonce = NewNonce(crypto::kNonceBytes);
        ChannelSecurity& sec = *c.security;
        if (renew) {
            sec.previous = sec.current;
            sec.previousExpires = c.tokenCreated + static_cast<Millis>(c.tokenLifetime);
        }
        sec.clientNonce = request.clientNonce;
        sec.current = DeriveTokenKeys(*secured->params, request.clientNonce, response.serverNonce);
    }
    c.tokenId = channels_.NewTokenId();
    c.tokenCreated = now;
    c.tokenLifetime = request.requestedLifetime == 0
                          ? kMaxTokenLifetimeMs
                          : std::clamp(request.requestedLifetime, kMinTokenLifetimeMs, kMaxTokenLifetimeMs);

    std::string body;
    Encoder e(body);
    e.Node(NodeId(0, id::ResponseOf(id::OpenSecureChannel)));
    EncodeResponseHeader(e, header.requestHandle, status::Good);
    response.channelId = c.channelId;
    response.tokenId = c.tokenId;
    response.createdAt = UaNow();
    response.revisedLifetime = c.tokenLifetime;
    Encode(e, response);
    std::string out = secured ? SealOpenResponse(c, *secured, payload.requestId, body)
                              : PlainOpenResponse(c, payload.requestId, body);
    if (out.empty() || out.size() > c.bufferSize) {
        SendError(c, status::BadTcpInternalError, "OPN response does not fit");
        return false;
    }
    transport_.Send(c.id, std::move(out));
    const bool opened = c.state == Connection::State::AwaitOpen;
    if (opened) {
        handshakes_.HandshakeEnded(c.peer);
        c.idleSince = now;  // the handshake time-out runs on until a session is activated
    }
    c.state = Connection::State::Open;
    if (opened) {
        c.channelOpenedNotified = true;
        backend_.ChannelOpened();
    }
    return true;
}

bool Engine::HandleMessage(Connection& c, char chunkType, Decoder& d, Millis now) {
    const uint32_t channelId = d.UInt32();
    const uint32_t tokenId = d.UInt32();
    const uint32_t seq = d.UInt32();
    const uint32_t requestId = d.UInt32();
    // The body is read where it lies in the channel's input (no copy per request).
    const std::string_view body(reinterpret_cast<const char*>(d.Current()), d.Remaining());
    return HandlePayload(c, chunkType, channelId, tokenId, seq, requestId, body, now);
}

bool Engine::HandlePayload(Connection& c, char chunkType, uint32_t channelId, uint32_t tokenId, uint32_t seq,
                           uint32_t requestId, std::string_view body, Millis now) {
    if (channelId != c.channelId) {
        SendError(c, status::BadTcpSecureChannelUnknown, "unknown secure channel");
        return false;
    }
    if (tokenId != c.tokenId && (c.previousTokenId == 0 || tokenId != c.previousTokenId)) {
        SendError(c, status::BadSecureChannelTokenUnknown, "unknown security token");
        return false;
    }
    if (tokenId == c.tokenId) c.previousTokenId = 0;  // the client switched to the renewed token
    if (!SequenceFollows(c.receiveSequence, seq)) {
        SendError(c, status::BadSequenceNumberInvalid, "sequence number out of order");
        return false;
    }
    c.receiveSequence = seq;

    auto it = std::find_if(c.partial.begin(), c.partial.end(),
                           [&](const PartialMessage& p) { return p.requestId == requestId; });
    if (chunkType == 'A') {  // abort: the client drops the message
        if (it != c.partial.end()) {
            memory_.Release(it->body.size());
            c.partial.erase(it);
        }
        return true;
    }
    if (chunkType != 'C' && chunkType != 'F') {
        SendError(c, status::BadTcpMessageTypeInvalid, "invalid chunk type");
        return false;
    }
    const size_t payload = body.size();
    if (it == c.partial.end()) {
        if (chunkType == 'F') {
            ProcessRequest(c, requestId, body, now);
            return true;
        }
        if (c.partial.size() >= kMaxPendingChunksPerChannel) {
            SendError(c, status::BadTcpNotEnoughResources, "too many messages in assembly");
            return false;
        }
        c.partial.push_back(PartialMessage{requestId, {}, 0});
        it = c.partial.end() - 1;
    }
    if (it->body.size() + payload > config_.maxMessageSize) {
        SendError(c, status::BadTcpMessageTooLarge, "message larger than MaxMessageSize");
        return false;
    }
    if (config_.maxChunkCount != 0 && it->chunks + 1 > config_.maxChunkCount) {
        SendError(c, status::BadTcpMessageTooLarge, "message has more than MaxChunkCount chunks");
        return false;
    }
    if (!memory_.TryCharge(payload)) {
        SendError(c, status::BadTcpNotEnoughResources, "server memory budget exhausted");
        return false;
    }
    it->body.append(body);
    it->chunks++;
    if (chunkType == 'F') {
        PartialMessage done = std::move(*it);
        c.partial.erase(it);
        memory_.Release(done.body.size());
        ProcessRequest(c, requestId, done.body, now);
    }
    return true;
}

void Engine::SendChunks(Connection& c, const char* type, uint32_t requestId, const std::string& body) {
    if (c.security) {
        const size_t max = MaxChunkBody(c);
        size_t at = 0;
        do {
            const size_t n = std::min(max, body.size() - at);
            const bool last = at + n == body.size();
            std::string chunk =
                SealChunk(c, type, last ? 'F' : 'C', requestId, std::string_view(body).substr(at, n));
            if (chunk.empty()) return;
            transport_.Send(c.id, std::move(chunk));
            at += n;
        } while (at < body.size());
        return;
    }
    SendPlainChunks(c, type, requestId, {}, body);
}

void Engine::SendPlainChunks(Connection& c, const char* type, uint32_t requestId, std::string_view head,
                             std::string_view body) {
    // The message is head followed by body, cut into chunks without joining the two first.
    const size_t total = head.size() + body.size();
    const size_t maxPayload = c.bufferSize - kChunkHeaderSize;
    size_t pos = 0;
    std::string& out = chunkOut_;  // reused: the transport copies what it cannot send at once
    do {
        const size_t n = std::min(maxPayload, total - pos);
        const bool last = pos + n == total;
        out.clear();
        out.reserve(n + kChunkHeaderSize);
        PutHeader(out, type, last ? 'F' : 'C');
        Encoder e(out);
        e.UInt32(c.channelId);
        e.UInt32(c.tokenId);
        e.UInt32(++c.sendSequence);
        e.UInt32(requestId);
        const size_t fromHead = pos < head.size() ? std::min(n, head.size() - pos) : 0;
        if (fromHead > 0) e.Raw(head.data() + pos, fromHead);
        if (n > fromHead) e.Raw(body.data() + (pos + fromHead - head.size()), n - fromHead);
        PatchSize(out);
        transport_.Send(c.id, out);
        pos += n;
    } while (pos < total);
}

void Engine::SendResponse(uint64_t conn, uint32_t requestId, uint32_t responseTypeId, const std::string& body,
                          uint32_t requestHandle) {
    Connection* c = FindConnection(conn);
    if (!c || c->state != Connection::State::Open) return;
    std::string typeId;  // a few bytes: no allocation
    Encoder e(typeId);
    e.Node(NodeId(0, responseTypeId));
    if (!FitsLimits(*c, typeId.size() + body.size())) {
        if (responseTypeId != id::ServiceFault) {
            SendServiceFault(conn, requestId, requestHandle, status::BadResponseTooLarge);
        } else {
            // Not even the fault fits what the peer accepts: the channel cannot answer at all.
            SendError(*c, status::BadResponseTooLarge, "response larger than the client accepts");
            CloseConnection(conn, true);
        }
        return;
    }
    if (!c->security) {
        SendPlainChunks(*c, "MSG", requestId, typeId, body);
        return;
    }
    std::string message;
    message.reserve(typeId.size() + body.size());
    message += typeId;
    message += body;
    SendChunks(*c, "MSG", requestId, message);
}

bool Engine::FitsLimits(const Connection& c, size_t messageSize) const {
    // Secured chunks carry less body than plain ones (security header, padding, signature).
    const size_t maxPayload = MaxChunkBody(c);
    const size_t chunks = (messageSize + maxPayload - 1) / maxPayload;
    const auto within = [](size_t n, uint32_t limit) { return limit == 0 || n <= limit; };
    return within(messageSize, c.peerMaxMessageSize) && within(chunks, c.peerMaxChunkCount) &&
           within(messageSize, config_.maxMessageSize) && within(chunks, config_.maxChunkCount);
}

void Engine::SendServiceFault(uint64_t conn, uint32_t requestId, uint32_t requestHandle, StatusCode code) {
    std::string body;
    Encoder e(body);
    EncodeResponseHeader(e, requestHandle, code);
    SendResponse(conn, requestId, id::ServiceFault, body, requestHandle);
}

}  // namespace qora::ua
