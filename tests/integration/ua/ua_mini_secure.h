// Secured channel for the small blocking client: the asymmetric OPN, and the sealing of the
// client's MSG/CLO chunks and opening of the server's, so that the client's codec and reader keep
// working on plain chunks.
#pragma once

#include <algorithm>
#include <string>

#include "tests/support/ua_open_request.h"
#include "ua/encoding/binary.h"
#include "ua/security/secure_chunk.h"

namespace qora::ua::testing {

struct MiniSecurity {
    SecurityPolicy policy = SecurityPolicy::Basic256Sha256;
    SecurityMode mode = SecurityMode::SignAndEncrypt;
    crypto::RsaKey key;
    std::string certificate;
    std::string serverCertificate;
    std::string clientNonce;
    TokenKeys keys;
    std::string pending;  // server bytes not yet a whole chunk
    uint32_t sequence = 0;
    uint32_t bufferSize = 65535;

    const crypto::PolicyParams& Params() const { return *crypto::Params(policy); }

    std::string OpenRequest(uint32_t firstSequence, uint32_t requestId) {
        sequence = firstSequence;
        clientNonce = crypto::RandomBytes(crypto::kNonceBytes);
        const std::string body = testing::OpenRequestBody(0, static_cast<uint32_t>(mode), clientNonce);
        return BuildAsymmetricChunk(Params(), 0, certificate, crypto::Thumbprint(serverCertificate),
                                    firstSequence, requestId, body, key,
                                    crypto::RsaKey::FromCertificate(serverCertificate));
    }

    // Plain MSG/CLO chunks (as the codec frames them) → sealed chunks, split again where sealing
    // makes them larger than the buffer (with sequence numbers of their own); other chunks
    // unchanged.
    std::string Seal(const std::string& plain) {
        std::string out;
        size_t p = 0;
        while (p + 8 <= plain.size()) {
            Decoder h(std::string_view(plain).substr(p + 4, 4));
            const uint32_t size = h.UInt32();
            const std::string_view chunk = std::string_view(plain).substr(p, size);
            p += size;
            if (chunk.substr(0, 3) != "MSG" && chunk.substr(0, 3) != "CLO") {
                out.append(chunk);
                continue;
            }
            Decoder d(chunk.substr(8, 16));
            const uint32_t channel = d.UInt32();
            const uint32_t token = d.UInt32();
            d.UInt32();  // the codec's sequence number: replaced
            const uint32_t rid = d.UInt32();
            const std::string type(chunk.substr(0, 3));
            const std::string_view body = chunk.substr(24);
            const size_t max = MaxSymmetricBody(bufferSize, mode);
            size_t at = 0;
            do {
                const size_t n = std::min(max, body.size() - at);
                const char chunkType = at + n == body.size() ? chunk[3] : 'C';
                out += BuildSymmetricChunk(type.c_str(), chunkType, channel, token, ++sequence, rid,
                                           body.substr(at, n), mode, keys.client);
                at += n;
            } while (at < body.size());
        }
        return out;
    }

    // Server bytes → plain chunks: the OPN decrypted (and its nonce taken for the keys), MSG
    // opened; ERR unchanged. A chunk that does not open becomes an ERR.
    std::string Unseal(const std::string& bytes) {
        pending += bytes;
        std::string out;
        while (pending.size() >= 8) {
            Decoder h(std::string_view(pending).substr(4, 4));
            const uint32_t size = h.UInt32();
            if (size < 8 || pending.size() < size) break;
            const std::string chunk = pending.substr(0, size);
            pending.erase(0, size);
            const std::string type = chunk.substr(0, 3);
            ChunkPayload payload;
            std::string plain;
            Encoder e(plain);
            if (type == "OPN") {
                AsymmetricHeader ah;
                if (!ParseAsymmetricHeader(chunk, ah) ||
                    OpenAsymmetricChunk(chunk, ah, Params(), key,
                                        crypto::RsaKey::FromCertificate(serverCertificate),
                                        payload) != status::Good) {
                    out += Error();
                    continue;
                }
                Decoder b(payload.body);
                b.Node();
                b.DateTime();
                b.UInt32();
                b.Status();
                b.Diagnostic();
                const int32_t strings = b.Int32();
                for (int32_t i = 0; i < strings; ++i) b.String();
                b.Extension();
                b.UInt32();
                b.UInt32();
                b.UInt32();
                b.DateTime();
                b.UInt32();
                keys = DeriveTokenKeys(Params(), clientNonce, b.StringValue());
                plain = "OPNF";
                e.UInt32(0);
                e.UInt32(ah.channelId);
                e.NullString();
                e.NullString();
                e.NullString();
            } else if (type == "MSG") {
                if (OpenSymmetricChunk(chunk, mode, keys.server, payload) != status::Good) {
                    out += Error();
                    continue;
                }
                plain = chunk.substr(0, 16);
            } else {
                out += chunk;
                continue;
            }
            e.UInt32(payload.sequence);
            e.UInt32(payload.requestId);
            plain += payload.body;
            e.PatchUInt32(4, static_cast<uint32_t>(plain.size()));
            out += plain;
        }
        return out;
    }

    static std::string Error() {
        std::string s("ERRF");
        Encoder e(s);
        e.UInt32(16);
        e.UInt32(status::BadSecurityChecksFailed);
        e.NullString();
        return s;
    }
};

}  // namespace qora::ua::testing
