// Secured channels: the asymmetric chunk of an OpenSecureChannel (issue and renew) with its
// policy, certificate and thumbprint checks around the request both policies share, and the
// symmetric MSG/CLO chunks of an open channel, checked with the client keys of the token they
// name and sealed with the server keys.
#include <algorithm>
#include <cstdio>

#include "ua/engine/channel_security.h"
#include "ua/engine/engine.h"
#include "ua/security/pki.h"

namespace qora::ua {

namespace {

// An OpenSecureChannel request (sequence header, a small body with a 32-byte nonce, padding and a
// signature of at most 512 bytes) fits in 3 RSA blocks; more are refused before any is decrypted,
// so that one chunk cannot buy hundreds of private-key operations.
constexpr size_t kMaxOpenCipherBlocks = 8;

// What a refused client certificate answers on the wire: only the codes that do not tell the
// trust list apart pass; everything else is BadSecurityChecksFailed.
StatusCode WireCode(StatusCode validation) {
    switch (validation) {
        case status::BadCertificateTimeInvalid:
        case status::BadCertificateUseNotAllowed:
        case status::BadCertificateRevocationUnknown:
            return validation;
        default:
            return status::BadSecurityChecksFailed;
    }
}

}  // namespace

void Engine::LoadServerKey() {
    if (!config_.trust) return;
    ownKey_ = crypto::RsaKey::FromPrivate(config_.trust->OwnPrivateKeyDer());
    ownThumbprint_ = crypto::Thumbprint(crypto::Leaf(config_.trust->OwnCertificateDer()));
}

bool Engine::PolicyOffered(SecurityPolicy p) const {
    auto listed = [&](SecurityPolicy q) {
        return std::find(config_.securityPolicies.begin(), config_.securityPolicies.end(), q) !=
               config_.securityPolicies.end();
    };
    const bool securedPossible =
        config_.trust && ownKey_.Valid() &&
        (ModeOffered(SecurityMode::Sign) || ModeOffered(SecurityMode::SignAndEncrypt));
    if (p != SecurityPolicy::None) return securedPossible && listed(p);
    // None only when listed: a server without a usable certificate offers nothing rather than an
    // endpoint open to anyone.
    return listed(p);
}

bool Engine::ModeOffered(SecurityMode m) const {
    return std::find(config_.securityModes.begin(), config_.securityModes.end(), m) !=
           config_.securityModes.end();
}

std::string Engine::NewNonce(size_t n) {
    // A seeded engine (fuzzing, recorded sessions) draws nonces from its seed so runs repeat.
    if (config_.randomSeed != 0) return sessions_.RandomBytes(n);
    return crypto::RandomBytes(n);
}

bool Engine::HandleSecureOpen(Connection& c, std::string_view chunk, const AsymmetricHeader& h, Millis now) {
    // Before any asymmetric work: a flood of OPN requests is refused here.
    if (!handshakes_.AdmitOpen(c.peer, now, true)) {
        SendError(c, status::BadTcpServerTooBusy, "too many secure channel requests");
        return false;
    }
    const std::optional<SecurityPolicy> policy = PolicyFromUri(h.policyUri);
    if (!policy || !PolicyOffered(*policy)) {
        SendError(c, status::BadSecurityPolicyRejected, "security policy not offered");
        return false;
    }
    const crypto::PolicyParams& params = *crypto::Params(*policy);
    const bool renew = c.state == Connection::State::Open;
    if (renew && (!c.security || c.security->policy != *policy || h.channelId != c.channelId)) {
        SendError(c, status::BadSecurityPolicyRejected, "renew with another policy or channel");
        return false;
    }
    const std::string_view leaf = crypto::Leaf(h.senderCertificate);
    if (leaf.empty() || !crypto::ConstantTimeEqual(h.receiverThumbprint, ownThumbprint_)) {
        SendError(c, status::BadSecurityChecksFailed, "certificate or thumbprint missing or wrong");
        return false;
    }
    if (renew && leaf != c.security->clientCertificate) {
        SendError(c, status::BadSecurityChecksFailed, "renew from another certificate");
        return false;
    }
    crypto::RsaKey clientKey = crypto::RsaKey::FromCertificate(leaf);
    if (!clientKey.Valid() || clientKey.Bits() < crypto::kMinKeyBits ||
        clientKey.Bits() > crypto::kMaxKeyBits) {
        SendError(c, status::BadSecurityChecksFailed, "client key unusable");
        return false;
    }
    // The certificate travels in the clear header: it is validated (at the first open and again at
    // every renew) before any private-key operation, so that an untrusted peer buys none.
    const StatusCode verdict = config_.trust->ValidateClient(h.senderCertificate);
    if (verdict != status::Good) {
        char code[16];
        std::snprintf(code, sizeof code, "0x%08X", verdict);
        ReportSecurityEvent("OPC UA: client certificate refused from " + c.peer + " (status " + code +
                                ", thumbprint " + ThumbprintHex(crypto::Leaf(h.senderCertificate)) + ")",
                            now);
        SendError(c, WireCode(verdict), "client certificate refused");
        return false;
    }
    ChunkPayload payload;
    if (chunk.size() - h.end > kMaxOpenCipherBlocks * ownKey_.Bytes() ||
        OpenAsymmetricChunk(chunk, h, params, ownKey_, clientKey, payload) != status::Good) {
        SendError(c, status::BadSecurityChecksFailed, "OPN does not decrypt or verify");
        return false;
    }

    const SecuredOpen secured{*policy, &params, leaf, &clientKey};
    return ServeOpen(c, h.channelId, payload, &secured, now);
}

std::string Engine::SealOpenResponse(Connection& c, const SecuredOpen& s, uint32_t requestId,
                                     const std::string& body) {
    return BuildAsymmetricChunk(*s.params, c.channelId, config_.trust->OwnCertificateDer(),
                                crypto::Thumbprint(s.clientLeaf), ++c.sendSequence, requestId, body, ownKey_,
                                *s.clientKey);
}

StatusCode Engine::OpenSecuredChunk(Connection& c, std::string_view chunk, uint32_t& tokenId,
                                    ChunkPayload& out, Millis now) {
    if (chunk.size() < 16) return status::BadDecodingError;
    Decoder d(reinterpret_cast<const uint8_t*>(chunk.data()) + 8, 8);
    const uint32_t channelId = d.UInt32();
    tokenId = d.UInt32();
    if (channelId != c.channelId) return status::BadTcpSecureChannelUnknown;
    ChannelSecurity& sec = *c.security;
    if (c.previousTokenId != 0 && now >= sec.previousExpires) c.previousTokenId = 0;
    const TokenKeys* keys = nullptr;
    if (tokenId == c.tokenId)
        keys = &sec.current;
    else if (c.previousTokenId != 0 && tokenId == c.previousTokenId)
        keys = &sec.previous;
    if (!keys) return status::BadSecureChannelTokenUnknown;
    const StatusCode st = OpenSymmetricChunk(chunk, sec.mode, keys->client, out);
    if (st != status::Good) return st;
    // The first chunk under the new token ends the old one in both directions.
    if (tokenId == c.tokenId) c.previousTokenId = 0;
    return status::Good;
}

std::string Engine::SealChunk(Connection& c, const char* type, char chunkType, uint32_t requestId,
                              std::string_view body) {
    ChannelSecurity& sec = *c.security;
    // Until the client uses the renewed token, answers go out under the old one.
    const bool old = c.previousTokenId != 0;
    const SymmetricKeys& keys = old ? sec.previous.server : sec.current.server;
    return BuildSymmetricChunk(type, chunkType, c.channelId, old ? c.previousTokenId : c.tokenId,
                               ++c.sendSequence, requestId, body, sec.mode, keys);
}

size_t Engine::MaxChunkBody(const Connection& c) const {
    if (!c.security) return c.bufferSize - kChunkHeaderSize;
    return MaxSymmetricBody(c.bufferSize, c.security->mode);
}

}  // namespace qora::ua
