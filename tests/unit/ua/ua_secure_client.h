// Client side of a secured channel for tests and the fuzzer: signs and encrypts its OPN with its
// own key to the server's certificate, derives the token keys from both nonces and seals and
// opens MSG chunks with them.
#pragma once

#include <string>
#include <vector>

#include "tests/support/ua_open_request.h"
#include "tests/unit/ua/ua_fakes.h"
#include "ua/engine/channel_security.h"
#include "ua/engine/engine.h"

namespace qora::ua::testing {

struct SecureClient {
    SecureClient(Engine& e, FakeTransport& t, uint64_t c, Millis& n, crypto::RsaKey k, std::string cert,
                 std::string serverCert)
        : engine(e),
          transport(t),
          conn(c),
          now(n),
          key(std::move(k)),
          certificate(std::move(cert)),
          serverCertificate(std::move(serverCert)) {}

    Engine& engine;
    FakeTransport& transport;
    uint64_t conn;
    Millis& now;
    crypto::RsaKey key;             // the client's
    std::string certificate;        // the client's, DER
    std::string serverCertificate;  // DER
    SecurityPolicy policy = SecurityPolicy::Basic256Sha256;
    SecurityMode mode = SecurityMode::SignAndEncrypt;
    uint32_t channelId = 0;
    uint32_t tokenId = 0;
    uint32_t sequence = 0;
    uint32_t requestId = 0;
    uint32_t requestHandle = 0;
    NodeId authenticationToken;
    std::string clientNonce;
    std::string serverNonce;
    TokenKeys keys;
    StatusCode lastError = status::Good;  // of the last ERR seen
    bool lastSeqOk = true;
    uint32_t lastServerSeq = 0;
    std::string pending;  // server bytes not yet a whole chunk

    const crypto::PolicyParams& Params() const { return *crypto::Params(policy); }

    std::string Feed(const std::string& bytes) {
        engine.Receive(conn, reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size(), now);
        return transport.Take(conn);
    }
    bool Closed() const { return transport.closed.count(conn) != 0; }

    bool Hello(uint32_t buffer = 65535) {
        if (!engine.Accept(conn, now)) return false;
        ClientCodec codec;
        const std::string ack = Feed(codec.Hello("opc.tcp://127.0.0.1:4840", buffer, buffer));
        return ack.substr(0, 3) == "ACK";
    }

    // The OPN chunk for a request (issue 0, renew 1) with the given nonce.
    std::string OpenChunk(uint32_t requestType, const std::string& nonce, uint32_t lifetime = 600000,
                          SecurityMode asMode = SecurityMode::None, const std::string* thumbprint = nullptr) {
        std::string body;
        Encoder e(body);
        e.Node(NodeId(0, testing::kOpenSecureChannelRequestId));
        WriteHeader(e);
        testing::WriteOpenFields(e, requestType,
                                 static_cast<uint32_t>(asMode == SecurityMode::None ? mode : asMode), nonce,
                                 lifetime);
        const std::string thumb = thumbprint ? *thumbprint : crypto::Thumbprint(serverCertificate);
        return BuildAsymmetricChunk(Params(), channelId, certificate, thumb, ++sequence, ++requestId, body,
                                    key, crypto::RsaKey::FromCertificate(serverCertificate));
    }

    // Sends an OPN and takes in the answer: Good with new keys, or the ERR's code.
    StatusCode Open(uint32_t requestType = 0, std::string nonce = {}, uint32_t lifetime = 600000) {
        if (nonce.empty()) nonce = crypto::RandomBytes(32);
        return TakeOpenResponse(Feed(OpenChunk(requestType, nonce, lifetime)), nonce);
    }

    StatusCode TakeOpenResponse(const std::string& reply, const std::string& nonce) {
        if (reply.substr(0, 3) == "ERR") return ErrorOf(reply);
        AsymmetricHeader h;
        if (reply.substr(0, 4) != "OPNF" || !ParseAsymmetricHeader(reply, h)) return status::Bad;
        if (h.senderCertificate != serverCertificate ||
            h.receiverThumbprint != crypto::Thumbprint(certificate))
            return status::BadCertificateInvalid;
        ChunkPayload p;
        const StatusCode st = OpenAsymmetricChunk(reply, h, Params(), key,
                                                  crypto::RsaKey::FromCertificate(serverCertificate), p);
        if (st != status::Good) return st;
        CheckSequence(p.sequence);
        Decoder d(p.body);
        ReadResponseHeader(d);
        d.UInt32();
        channelId = d.UInt32();
        tokenId = d.UInt32();
        d.DateTime();
        d.UInt32();
        serverNonce = d.StringValue();
        clientNonce = nonce;
        keys = DeriveTokenKeys(Params(), clientNonce, serverNonce);
        return status::Good;
    }

    static StatusCode ErrorOf(const std::string& reply) {
        Decoder d(std::string_view(reply).substr(8));
        return d.UInt32();
    }

    void WriteHeader(Encoder& e, uint32_t timeoutHint = 10000) {
        e.Node(authenticationToken);
        e.DateTime(0);
        e.UInt32(++requestHandle);
        e.UInt32(0);
        e.NullString();
        e.UInt32(timeoutHint);
        e.Node(NodeId());
        e.Byte(0);
    }

    // A sealed request chunk ('F') with the current token.
    std::string RequestChunk(uint32_t typeId, const BodyWriter& body, const char* type = "MSG") {
        std::string message;
        Encoder e(message);
        e.Node(NodeId(0, typeId));
        WriteHeader(e);
        if (body) body(e);
        return BuildSymmetricChunk(type, 'F', channelId, tokenId, ++sequence, ++requestId, message, mode,
                                   keys.client);
    }

    // Opens every chunk of the reply with the server keys and reassembles the messages (type id
    // first); an ERR sets lastError and ends the list.
    std::vector<std::string> Messages(const std::string& reply, const TokenKeys* with = nullptr) {
        std::vector<std::string> out;
        pending += reply;
        std::string assembling;
        while (pending.size() >= 8) {
            Decoder h(std::string_view(pending).substr(4, 4));
            const uint32_t size = h.UInt32();
            if (size < 8 || pending.size() < size) break;
            const std::string chunk = pending.substr(0, size);
            pending.erase(0, size);
            if (chunk.substr(0, 3) == "ERR") {
                lastError = ErrorOf(chunk);
                break;
            }
            ChunkPayload p;
            if (OpenSymmetricChunk(chunk, mode, (with ? *with : keys).server, p) != status::Good) {
                lastError = status::BadSecurityChecksFailed;
                break;
            }
            CheckSequence(p.sequence);
            assembling += p.body;
            if (chunk[3] == 'F') {
                out.push_back(assembling);
                assembling.clear();
            }
        }
        return out;
    }

    // One request, its one response (empty when none).
    std::string Call(uint32_t typeId, const BodyWriter& body) {
        auto m = Messages(Feed(RequestChunk(typeId, body)));
        return m.size() == 1 ? m[0] : std::string();
    }

    void CheckSequence(uint32_t seq) {
        if (lastServerSeq != 0 && seq != lastServerSeq + 1) lastSeqOk = false;
        lastServerSeq = seq;
    }
};

}  // namespace qora::ua::testing
