// Client side of the OPC UA binary protocol for tests, fuzz seeds and the benchmark: builds
// HEL/OPN/MSG/CLO chunks and reassembles what the server sends.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "ua/encoding/binary.h"
#include "ua/encoding/types.h"

namespace qora::ua::testing {

inline constexpr const char* kPolicyNone = "http://opcfoundation.org/UA/SecurityPolicy#None";

using BodyWriter = std::function<void(Encoder&)>;

class ClientCodec {
  public:
    uint32_t channelId = 0;
    uint32_t tokenId = 0;
    uint32_t sequence = 0;
    uint32_t requestId = 0;
    uint32_t requestHandle = 0;
    NodeId authenticationToken;

    static std::string Frame(const char* type, char chunk, const std::string& payload) {
        std::string out(type, 3);
        out.push_back(chunk);
        Encoder e(out);
        e.UInt32(static_cast<uint32_t>(payload.size() + 8));
        out += payload;
        return out;
    }

    std::string Hello(const std::string& url, uint32_t receive = 65535, uint32_t send = 65535,
                      uint32_t maxMessage = 0, uint32_t maxChunks = 0) const {
        std::string p;
        Encoder e(p);
        e.UInt32(0);
        e.UInt32(receive);
        e.UInt32(send);
        e.UInt32(maxMessage);
        e.UInt32(maxChunks);
        e.String(std::string_view(url));
        return Frame("HEL", 'F', p);
    }

    void Header(Encoder& e, uint32_t timeoutHint = 10000) {
        e.Node(authenticationToken);
        e.DateTime(0);
        e.UInt32(++requestHandle);
        e.UInt32(0);
        e.NullString();
        e.UInt32(timeoutHint);
        e.Node(NodeId());
        e.Byte(0);
    }

    std::string Open(uint32_t requestType = 0, uint32_t lifetime = 600000, const char* policy = kPolicyNone,
                     uint32_t securityMode = 1) {
        std::string p;
        Encoder e(p);
        e.UInt32(channelId);
        e.String(std::string_view(policy));
        e.NullString();
        e.NullString();
        e.UInt32(++sequence);
        e.UInt32(++requestId);
        e.Node(NodeId(0, 446));
        Header(e);
        e.UInt32(0);
        e.UInt32(requestType);
        e.UInt32(securityMode);
        e.ByteString(std::string_view());
        e.UInt32(lifetime);
        return Frame("OPN", 'F', p);
    }

    // A service request in chunks of at most chunkSize bytes.
    std::string Request(uint32_t typeId, const BodyWriter& body, size_t chunkSize = 65535,
                        uint32_t timeoutHint = 10000, const char* type = "MSG") {
        std::string message;
        Encoder e(message);
        e.Node(NodeId(0, typeId));
        Header(e, timeoutHint);
        if (body) body(e);
        return Chunks(type, message, chunkSize);
    }

    // Raw body (type id included) in chunks.
    std::string Chunks(const char* type, const std::string& message, size_t chunkSize = 65535) {
        const size_t maxPayload = chunkSize - 24;
        const uint32_t rid = ++requestId;
        std::string out;
        size_t pos = 0;
        do {
            const size_t n = std::min(maxPayload, message.size() - pos);
            std::string p;
            Encoder e(p);
            e.UInt32(channelId);
            e.UInt32(tokenId);
            e.UInt32(++sequence);
            e.UInt32(rid);
            p.append(message, pos, n);
            pos += n;
            out += Frame(type, pos == message.size() ? 'F' : 'C', p);
        } while (pos < message.size());
        return out;
    }

    std::string CloseChannel() { return Request(452, nullptr, 65535, 0, "CLO"); }
};

struct ServerMessage {
    std::string type;  // ACK, ERR, OPN, MSG
    uint32_t requestId = 0;
    std::string body;  // MSG/OPN: the reassembled message (type id first); ACK/ERR: payload
    uint32_t chunks = 0;
    uint32_t maxChunkSize = 0;
    StatusCode error = 0;  // ERR
};

// Splits server output into chunks and reassembles messages; checks that sequence numbers
// advance by one per chunk.
class ServerReader {
  public:
    std::vector<ServerMessage> Feed(const std::string& bytes) {
        buffer_ += bytes;
        std::vector<ServerMessage> out;
        while (buffer_.size() >= 8) {
            Decoder h(std::string_view(buffer_).substr(4, 4));
            const uint32_t size = h.UInt32();
            if (size < 8) {
                malformed = true;
                buffer_.clear();
                break;
            }
            if (buffer_.size() < size) break;
            const std::string chunk = buffer_.substr(0, size);
            buffer_.erase(0, size);
            const std::string type = chunk.substr(0, 3);
            const char chunkType = chunk[3];
            Decoder d(std::string_view(chunk).substr(8));
            ServerMessage m;
            m.type = type;
            if (type == "ACK") {
                m.body = chunk.substr(8);
                out.push_back(m);
                continue;
            }
            if (type == "ERR") {
                m.error = d.UInt32();
                m.body = d.StringValue();
                out.push_back(m);
                continue;
            }
            channelId = d.UInt32();
            if (type == "OPN") {
                d.String();
                d.ByteString();
                d.ByteString();
            } else {
                tokenId = d.UInt32();
            }
            const uint32_t seq = d.UInt32();
            if (haveSequence && seq != lastSequence + 1) sequenceOk = false;
            haveSequence = true;
            lastSequence = seq;
            const uint32_t rid = d.UInt32();
            auto& part = partial_[rid];
            part.body.append(reinterpret_cast<const char*>(d.Current()), d.Remaining());
            part.chunks++;
            part.maxChunkSize = std::max<uint32_t>(part.maxChunkSize, size);
            if (chunkType == 'F') {
                part.type = type;
                part.requestId = rid;
                out.push_back(std::move(part));
                partial_.erase(rid);
            }
        }
        return out;
    }

    bool sequenceOk = true;
    bool haveSequence = false;
    bool malformed = false;
    uint32_t lastSequence = 0;
    uint32_t channelId = 0;
    uint32_t tokenId = 0;

  private:
    std::string buffer_;
    std::map<uint32_t, ServerMessage> partial_;
};

struct ResponseHeader {
    uint32_t typeId = 0;
    uint32_t requestHandle = 0;
    StatusCode serviceResult = 0;
};

// Decodes the type id and response header; d is left at the response's own fields.
inline ResponseHeader ReadResponseHeader(Decoder& d) {
    ResponseHeader h;
    h.typeId = d.Node().numeric;
    d.DateTime();
    h.requestHandle = d.UInt32();
    h.serviceResult = d.Status();
    d.Diagnostic();
    for (size_t i = 0, n = d.ArrayCount(4, 16); i < n; ++i) d.String();
    d.Extension();
    return h;
}

}  // namespace qora::ua::testing
