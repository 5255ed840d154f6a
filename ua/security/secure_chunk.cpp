#include "ua/security/secure_chunk.h"

#include <cstring>

namespace qora::ua {

namespace {

constexpr size_t kMessageHeader = 12;    // type, chunk type, size, channel id
constexpr size_t kSymmetricHeader = 16;  // ... and the token id
constexpr size_t kSequenceHeader = 8;
constexpr int kExtraPaddingAboveBits = 2048;  // keys above this carry a second padding-size byte

void PutU32(std::string& s, uint32_t v) {
    for (int i = 0; i < 4; ++i) s.push_back(static_cast<char>((v >> (8 * i)) & 0xff));
}

uint32_t GetU32(std::string_view s, size_t at) {
    uint32_t v = 0;
    for (int i = 3; i >= 0; --i) v = (v << 8) | static_cast<uint8_t>(s[at + static_cast<size_t>(i)]);
    return v;
}

void PatchU32(std::string& s, size_t at, uint32_t v) {
    for (int i = 0; i < 4; ++i) s[at + static_cast<size_t>(i)] = static_cast<char>((v >> (8 * i)) & 0xff);
}

void PutBytes(std::string& s, std::string_view b, bool null) {
    if (null) {
        PutU32(s, 0xffffffffu);
        return;
    }
    PutU32(s, static_cast<uint32_t>(b.size()));
    s.append(b);
}

// A ByteString/String at `at`; false when it does not fit or is longer than `limit`.
bool GetBytes(std::string_view s, size_t& at, std::string& out, size_t limit) {
    if (s.size() < at + 4) return false;
    const int32_t n = static_cast<int32_t>(GetU32(s, at));
    at += 4;
    if (n < 0) {
        out.clear();
        return n == -1;
    }
    if (static_cast<size_t>(n) > limit || s.size() - at < static_cast<size_t>(n)) return false;
    out.assign(s.substr(at, static_cast<size_t>(n)));
    at += static_cast<size_t>(n);
    return true;
}

bool ExtraPadding(const crypto::RsaKey& encryptingKey) {
    return encryptingKey.Bits() > kExtraPaddingAboveBits;
}

// Strips PaddingSize (and ExtraPaddingSize) and the padding from plain[0..end); false when the
// padding does not fit or its bytes are wrong. end becomes the end of the body.
bool StripPadding(std::string_view plain, size_t& end, bool extra) {
    const size_t sizeBytes = extra ? 2 : 1;
    if (end < kSequenceHeader + sizeBytes) return false;
    size_t padding = static_cast<uint8_t>(plain[end - sizeBytes]);
    if (extra) padding |= static_cast<size_t>(static_cast<uint8_t>(plain[end - 1])) << 8;
    const uint8_t fill = static_cast<uint8_t>(plain[end - sizeBytes]);
    const size_t paddingEnd = end - (extra ? 1 : 0);  // PaddingSize and Padding end here
    if (paddingEnd < kSequenceHeader + 1 + padding) return false;
    const size_t start = paddingEnd - 1 - padding;  // the PaddingSize byte
    for (size_t i = start; i < paddingEnd; ++i)
        if (static_cast<uint8_t>(plain[i]) != fill) return false;
    end = start;
    return true;
}

void AppendPadding(std::string& s, size_t padding, bool extra) {
    const char low = static_cast<char>(padding & 0xff);
    s.push_back(low);
    s.append(padding, low);
    if (extra) s.push_back(static_cast<char>((padding >> 8) & 0xff));
}

}  // namespace

TokenKeys DeriveTokenKeys(const crypto::PolicyParams& p, std::string_view clientNonce,
                          std::string_view serverNonce) {
    const size_t length = crypto::kSigningKeyBytes + p.encryptingKeyBytes + crypto::kIvBytes;
    auto slice = [&](const std::string& bytes) {
        SymmetricKeys k;
        k.signing = bytes.substr(0, crypto::kSigningKeyBytes);
        k.encrypting = bytes.substr(crypto::kSigningKeyBytes, p.encryptingKeyBytes);
        k.iv = bytes.substr(crypto::kSigningKeyBytes + p.encryptingKeyBytes, crypto::kIvBytes);
        return k;
    };
    TokenKeys t;
    t.client = slice(crypto::PSha256(serverNonce, clientNonce, length));
    t.server = slice(crypto::PSha256(clientNonce, serverNonce, length));
    return t;
}

bool ParseAsymmetricHeader(std::string_view chunk, AsymmetricHeader& out) {
    if (chunk.size() < kMessageHeader) return false;
    out.channelId = GetU32(chunk, 8);
    size_t at = kMessageHeader;
    if (!GetBytes(chunk, at, out.policyUri, 255)) return false;
    if (!GetBytes(chunk, at, out.senderCertificate, chunk.size())) return false;
    if (!GetBytes(chunk, at, out.receiverThumbprint, 64)) return false;
    out.end = at;
    return true;
}

StatusCode OpenAsymmetricChunk(std::string_view chunk, const AsymmetricHeader& h,
                               const crypto::PolicyParams& p, const crypto::RsaKey& ownPrivate,
                               const crypto::RsaKey& senderPublic, ChunkPayload& out) {
    constexpr StatusCode kFail = status::BadSecurityChecksFailed;
    if (!ownPrivate.Valid() || !senderPublic.Valid() || h.end > chunk.size()) return kFail;
    const std::optional<std::string> plain = crypto::Decrypt(p, ownPrivate, chunk.substr(h.end));
    if (!plain) return kFail;
    const size_t signatureSize = senderPublic.Bytes();
    if (plain->size() < kSequenceHeader + 1 + signatureSize) return kFail;
    size_t end = plain->size() - signatureSize;
    std::string signedBytes;
    signedBytes.reserve(h.end + end);
    signedBytes.append(chunk.substr(0, h.end));
    signedBytes.append(plain->data(), end);
    if (!crypto::Verify(p, senderPublic, signedBytes, std::string_view(*plain).substr(end))) return kFail;
    if (!StripPadding(*plain, end, ExtraPadding(ownPrivate))) return kFail;
    out.sequence = GetU32(*plain, 0);
    out.requestId = GetU32(*plain, 4);
    out.body.assign(plain->data() + kSequenceHeader, end - kSequenceHeader);
    return status::Good;
}

std::string BuildAsymmetricChunk(const crypto::PolicyParams& p, uint32_t channelId,
                                 std::string_view senderCert, std::string_view receiverThumbprint,
                                 uint32_t sequence, uint32_t requestId, std::string_view body,
                                 const crypto::RsaKey& senderPrivate, const crypto::RsaKey& receiverPublic) {
    if (!senderPrivate.Valid() || !receiverPublic.Valid()) return {};
    const bool extra = ExtraPadding(receiverPublic);
    const size_t pt = crypto::PlainBlock(p, receiverPublic);
    const size_t ct = receiverPublic.Bytes();
    const size_t s = senderPrivate.Bytes();
    const size_t b = kSequenceHeader + body.size();
    const size_t f = extra ? 2 : 1;
    const size_t padding = (pt - ((b + s + f) % pt)) % pt;
    const size_t plainSize = b + f + padding + s;
    const size_t cipherSize = plainSize / pt * ct;

    std::string out("OPNF");
    PutU32(out, 0);  // size, patched
    PutU32(out, channelId);
    PutBytes(out, PolicyUri(p.policy), false);
    PutBytes(out, senderCert, senderCert.empty());
    PutBytes(out, receiverThumbprint, receiverThumbprint.empty());
    const size_t headerEnd = out.size();
    PatchU32(out, 4, static_cast<uint32_t>(headerEnd + cipherSize));
    PutU32(out, sequence);
    PutU32(out, requestId);
    out.append(body);
    AppendPadding(out, padding, extra);
    const std::optional<std::string> signature = crypto::Sign(p, senderPrivate, out);
    if (!signature || signature->size() != s) return {};
    out.append(*signature);
    const std::optional<std::string> cipher =
        crypto::Encrypt(p, receiverPublic, std::string_view(out).substr(headerEnd));
    if (!cipher || cipher->size() != cipherSize) return {};
    out.resize(headerEnd);
    out.append(*cipher);
    return out;
}

size_t MaxAsymmetricBody(const crypto::PolicyParams& p, size_t headerSize, uint32_t bufferSize,
                         const crypto::RsaKey& senderKey, const crypto::RsaKey& receiverKey) {
    const size_t ct = receiverKey.Bytes();
    const size_t pt = crypto::PlainBlock(p, receiverKey);
    if (bufferSize <= headerSize || ct == 0) return 0;
    const size_t blocks = (bufferSize - headerSize) / ct;
    const size_t room = blocks * pt;
    const size_t fixed = kSequenceHeader + senderKey.Bytes() + (ExtraPadding(receiverKey) ? 2 : 1);
    return room > fixed ? room - fixed : 0;
}

StatusCode OpenSymmetricChunk(std::string_view chunk, SecurityMode mode, const SymmetricKeys& keys,
                              ChunkPayload& out) {
    constexpr StatusCode kFail = status::BadSecurityChecksFailed;
    if (chunk.size() < kSymmetricHeader + kSequenceHeader + crypto::kHmacBytes) return kFail;
    std::string plain;
    std::string_view view = chunk;
    if (mode == SecurityMode::SignAndEncrypt) {
        const size_t n = chunk.size() - kSymmetricHeader;
        if (n % crypto::kAesBlock != 0) return kFail;
        plain.assign(chunk);
        auto* bytes = reinterpret_cast<uint8_t*>(plain.data()) + kSymmetricHeader;
        if (!crypto::AesCbc(false, keys.encrypting, keys.iv, bytes, bytes, n)) return kFail;
        view = plain;
    }
    size_t end = view.size() - crypto::kHmacBytes;
    const std::string mac = crypto::HmacSha256(keys.signing, view.substr(0, end));
    if (!crypto::ConstantTimeEqual(mac, view.substr(end))) return kFail;
    if (mode == SecurityMode::SignAndEncrypt) {
        const std::string_view protectedPart = view.substr(kSymmetricHeader);
        size_t e = end - kSymmetricHeader;
        if (!StripPadding(protectedPart, e, false)) return kFail;
        end = e + kSymmetricHeader;
    }
    out.sequence = GetU32(view, kSymmetricHeader);
    out.requestId = GetU32(view, kSymmetricHeader + 4);
    const size_t bodyStart = kSymmetricHeader + kSequenceHeader;
    out.body.assign(view.data() + bodyStart, end - bodyStart);
    return status::Good;
}

std::string BuildSymmetricChunk(const char* type, char chunkType, uint32_t channelId, uint32_t tokenId,
                                uint32_t sequence, uint32_t requestId, std::string_view body,
                                SecurityMode mode, const SymmetricKeys& keys) {
    const bool encrypt = mode == SecurityMode::SignAndEncrypt;
    size_t padding = 0;
    if (encrypt) {
        const size_t b = kSequenceHeader + body.size() + 1 + crypto::kHmacBytes;
        padding = (crypto::kAesBlock - b % crypto::kAesBlock) % crypto::kAesBlock;
    }
    std::string out;
    out.reserve(kSymmetricHeader + kSequenceHeader + body.size() + padding + 1 + crypto::kHmacBytes);
    out.append(type, 3);
    out.push_back(chunkType);
    PutU32(out, 0);
    PutU32(out, channelId);
    PutU32(out, tokenId);
    PutU32(out, sequence);
    PutU32(out, requestId);
    out.append(body);
    if (encrypt) AppendPadding(out, padding, false);
    PatchU32(out, 4, static_cast<uint32_t>(out.size() + crypto::kHmacBytes));
    out.append(crypto::HmacSha256(keys.signing, out));
    if (encrypt) {
        auto* bytes = reinterpret_cast<uint8_t*>(out.data()) + kSymmetricHeader;
        if (!crypto::AesCbc(true, keys.encrypting, keys.iv, bytes, bytes, out.size() - kSymmetricHeader))
            return {};
    }
    return out;
}

size_t MaxSymmetricBody(uint32_t bufferSize, SecurityMode mode) {
    if (mode == SecurityMode::SignAndEncrypt)
        return (bufferSize - kSymmetricHeader) / crypto::kAesBlock * crypto::kAesBlock - kSequenceHeader - 1 -
               crypto::kHmacBytes;
    if (mode == SecurityMode::Sign)
        return bufferSize - kSymmetricHeader - kSequenceHeader - crypto::kHmacBytes;
    return bufferSize - kSymmetricHeader - kSequenceHeader;
}

}  // namespace qora::ua
