// Secured chunks of the binary protocol: the asymmetric OpenSecureChannel chunk (signed with the
// sender's RSA key, encrypted to the receiver's) and the symmetric MSG/CLO chunks (HMAC-SHA256,
// and AES-CBC in SignAndEncrypt), plus the key derivation of a channel token. Pure functions over
// byte strings: the engine keeps the state, tests drive them with fixed keys and nonces.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "ua/encoding/types.h"
#include "ua/security/crypto.h"
#include "ua/security/policy.h"

namespace qora::ua {

// Keys of one direction of a token.
struct SymmetricKeys {
    std::string signing;
    std::string encrypting;
    std::string iv;
};
// Both directions: the client sends with `client`, the server with `server`.
struct TokenKeys {
    SymmetricKeys client;
    SymmetricKeys server;
};
TokenKeys DeriveTokenKeys(const crypto::PolicyParams& p, std::string_view clientNonce,
                          std::string_view serverNonce);

// The clear part of an OPN chunk after the 12-byte message header.
struct AsymmetricHeader {
    uint32_t channelId = 0;
    std::string policyUri;
    std::string senderCertificate;  // DER chain as sent
    std::string receiverThumbprint;
    size_t end = 0;  // offset of the sequence header in the chunk
};
// Parses chunk[0..] (a whole OPN chunk); false when the header does not decode.
bool ParseAsymmetricHeader(std::string_view chunk, AsymmetricHeader& out);

// The protected part of a chunk once checked: sequence header and body.
struct ChunkPayload {
    uint32_t sequence = 0;
    uint32_t requestId = 0;
    std::string body;
};

// Decrypts an OPN chunk with our private key, checks the sender's signature and strips the
// padding. Good, or BadSecurityChecksFailed for any failure.
StatusCode OpenAsymmetricChunk(std::string_view chunk, const AsymmetricHeader& h,
                               const crypto::PolicyParams& p, const crypto::RsaKey& ownPrivate,
                               const crypto::RsaKey& senderPublic, ChunkPayload& out);

// A whole OPN chunk ('F'), signed with senderPrivate and encrypted to receiverPublic. Empty on
// failure.
std::string BuildAsymmetricChunk(const crypto::PolicyParams& p, uint32_t channelId,
                                 std::string_view senderCert, std::string_view receiverThumbprint,
                                 uint32_t sequence, uint32_t requestId, std::string_view body,
                                 const crypto::RsaKey& senderPrivate, const crypto::RsaKey& receiverPublic);
// Largest OPN body for the two keys within one chunk of bufferSize bytes, given the clear header.
size_t MaxAsymmetricBody(const crypto::PolicyParams& p, size_t headerSize, uint32_t bufferSize,
                         const crypto::RsaKey& senderKey, const crypto::RsaKey& receiverKey);

// Checks (and in SignAndEncrypt decrypts) a MSG/CLO chunk whose 16 clear header bytes name the
// token these keys belong to. Good or BadSecurityChecksFailed.
StatusCode OpenSymmetricChunk(std::string_view chunk, SecurityMode mode, const SymmetricKeys& keys,
                              ChunkPayload& out);
// A whole MSG/CLO chunk of the given type ("MSG") and chunk type ('F', 'C', 'A').
std::string BuildSymmetricChunk(const char* type, char chunkType, uint32_t channelId, uint32_t tokenId,
                                uint32_t sequence, uint32_t requestId, std::string_view body,
                                SecurityMode mode, const SymmetricKeys& keys);
// Largest body of one symmetric chunk of bufferSize bytes.
size_t MaxSymmetricBody(uint32_t bufferSize, SecurityMode mode);

}  // namespace qora::ua
