// Secured chunks with fixed keys and nonces: key derivation against a computed vector, OPN and
// MSG chunks that round-trip and whose every altered bit is refused, peers with different key
// sizes.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "ua/encoding/binary.h"
#include "ua/security/secure_chunk.h"

using namespace qora::ua;
namespace crypto = qora::ua::crypto;

namespace {

std::string Hex(std::string_view s) {
    static const char* d = "0123456789abcdef";
    std::string out;
    for (unsigned char c : s) {
        out.push_back(d[c >> 4]);
        out.push_back(d[c & 15]);
    }
    return out;
}

std::string Range(int from, int count) {
    std::string s;
    for (int i = 0; i < count; ++i) s.push_back(static_cast<char>(from + i));
    return s;
}

uint32_t U32At(std::string_view s, size_t at) {
    return static_cast<uint32_t>(static_cast<uint8_t>(s[at])) |
           static_cast<uint32_t>(static_cast<uint8_t>(s[at + 1])) << 8 |
           static_cast<uint32_t>(static_cast<uint8_t>(s[at + 2])) << 16 |
           static_cast<uint32_t>(static_cast<uint8_t>(s[at + 3])) << 24;
}

// Keys are slow to make: one of each size for the whole test program.
const crypto::RsaKey& Key2048a() {
    static const crypto::RsaKey k = crypto::RsaKey::Generate(2048);
    return k;
}
const crypto::RsaKey& Key2048b() {
    static const crypto::RsaKey k = crypto::RsaKey::Generate(2048);
    return k;
}
const crypto::RsaKey& Key4096() {
    static const crypto::RsaKey k = crypto::RsaKey::Generate(4096);
    return k;
}

const crypto::PolicyParams& P(SecurityPolicy p) {
    return *crypto::Params(p);
}

constexpr SecurityPolicy kRsaPolicies[] = {SecurityPolicy::Basic256Sha256,
                                           SecurityPolicy::Aes128_Sha256_RsaOaep,
                                           SecurityPolicy::Aes256_Sha256_RsaPss};

TEST(KeyDerivation, PSha256MatchesTheComputedVector) {
    const std::string clientNonce = Range(0x00, 32);
    const std::string serverNonce = Range(0x20, 32);
    const TokenKeys k = DeriveTokenKeys(P(SecurityPolicy::Basic256Sha256), clientNonce, serverNonce);
    EXPECT_EQ(Hex(k.server.signing), "b72593c43fee5fafa0256cd6bb904ff40c066a225db95f66dd744e20858a2220");
    EXPECT_EQ(Hex(k.server.encrypting), "ddf75067e3d76ac714c08e24eabd85ff425d7f5fb25e6e083b94b174e29db89b");
    EXPECT_EQ(Hex(k.server.iv), "c513e9172274d5ed54e52a3552901ae0");
    EXPECT_EQ(Hex(k.client.signing), "dd585db0c102dd1a4c1ed4dd195606dec3f7a1c789afca78f9479ed3a5d668af");
    EXPECT_EQ(Hex(k.client.encrypting), "ce49cb8f1c65a827f412c48e71c9f9cb3b5c2ee2fc2e4b3bd46d4098b5e45475");
    EXPECT_EQ(Hex(k.client.iv), "a77832c6215b6e7ab85f2e668be7aeff");
    // The 128-bit policy takes 16 bytes of encrypting key and the IV right after them.
    const TokenKeys k128 =
        DeriveTokenKeys(P(SecurityPolicy::Aes128_Sha256_RsaOaep), clientNonce, serverNonce);
    EXPECT_EQ(Hex(k128.server.encrypting), "ddf75067e3d76ac714c08e24eabd85ff");
    EXPECT_EQ(Hex(k128.server.iv), "425d7f5fb25e6e083b94b174e29db89b");
    EXPECT_EQ(k128.server.signing, k.server.signing);
}

// Contexts are kept per key between calls: many keys in turn (more than are kept), the same key
// for both directions, and keys of both AES sizes must each give what a fresh computation gives.
TEST(Crypto, KeptContextsGiveTheSameResultsAsFreshOnes) {
    std::vector<std::string> keys;
    for (int i = 0; i < 12; ++i)
        keys.push_back(std::string(i % 3 == 0 ? 16 : 32, static_cast<char>('a' + i)));
    const std::string iv(16, '\x07');
    const std::string data = std::string(48, 'x') + "tail-of-the-message";
    const std::string plain(64, 'p');
    std::vector<std::string> macs, ciphers;
    for (const std::string& k : keys) {
        // HMAC by definition: the P_SHA256 vector above pins the primitive; here the first result
        // of each key is the reference for its later ones.
        macs.push_back(crypto::HmacSha256(k, data));
        std::string c(plain.size(), '\0');
        ASSERT_TRUE(crypto::AesCbc(true, k, iv, reinterpret_cast<const uint8_t*>(plain.data()),
                                   reinterpret_cast<uint8_t*>(c.data()), c.size()));
        ciphers.push_back(c);
    }
    for (int round = 0; round < 3; ++round) {
        for (size_t i = 0; i < keys.size(); ++i) {
            const size_t k = (i * 5 + round) % keys.size();
            EXPECT_EQ(crypto::HmacSha256(keys[k], data), macs[k]) << "key " << k;
            std::string c(plain.size(), '\0'), back(plain.size(), '\0');
            ASSERT_TRUE(crypto::AesCbc(true, keys[k], iv, reinterpret_cast<const uint8_t*>(plain.data()),
                                       reinterpret_cast<uint8_t*>(c.data()), c.size()));
            EXPECT_EQ(c, ciphers[k]) << "key " << k;
            ASSERT_TRUE(crypto::AesCbc(false, keys[k], iv, reinterpret_cast<const uint8_t*>(c.data()),
                                       reinterpret_cast<uint8_t*>(back.data()), back.size()));
            EXPECT_EQ(back, plain) << "key " << k;
        }
    }
    // Another IV with a kept key starts the chain afresh.
    std::string c2(plain.size(), '\0');
    ASSERT_TRUE(crypto::AesCbc(true, keys[1], std::string(16, '\x09'),
                               reinterpret_cast<const uint8_t*>(plain.data()),
                               reinterpret_cast<uint8_t*>(c2.data()), c2.size()));
    EXPECT_NE(c2, ciphers[1]);
}

TEST(Crypto, LeafLengthOfAChainAndThumbprint) {
    const std::string cert = crypto::MakeSelfSigned(Key2048a(), "t", "urn:test:a");
    ASSERT_FALSE(cert.empty());
    const std::string chain = cert + crypto::MakeSelfSigned(Key2048b(), "u", "urn:test:b");
    EXPECT_EQ(crypto::LeafLength(chain), cert.size());
    EXPECT_EQ(crypto::Leaf(chain), cert);
    EXPECT_EQ(crypto::LeafLength(cert.substr(0, cert.size() - 1)), 0u);  // truncated
    EXPECT_EQ(crypto::Thumbprint(cert).size(), 20u);
    EXPECT_EQ(crypto::SubjectAltNameUri(cert), "urn:test:a");
    EXPECT_EQ(crypto::RsaKey::FromCertificate(chain).Bits(), 2048);
    // The private key survives its PKCS#8 form.
    const crypto::RsaKey again = crypto::RsaKey::FromPrivate(Key2048a().PrivateDer());
    ASSERT_TRUE(again.Valid());
    const auto sig = crypto::Sign(P(SecurityPolicy::Basic256Sha256), again, "data");
    ASSERT_TRUE(sig);
    EXPECT_TRUE(crypto::Verify(P(SecurityPolicy::Basic256Sha256), crypto::RsaKey::FromCertificate(cert),
                               "data", *sig));
}

TEST(Crypto, OaepIsBlockWiseWithThePolicysOverhead) {
    for (SecurityPolicy policy : kRsaPolicies) {
        const auto& p = P(policy);
        const size_t pt = 256 - p.oaepOverhead;
        for (size_t n : {size_t{1}, pt - 1, pt, pt + 1, 3 * pt}) {
            const std::string plain = Range(1, static_cast<int>(n));
            const auto cipher = crypto::Encrypt(p, Key2048a(), plain);
            ASSERT_TRUE(cipher);
            EXPECT_EQ(cipher->size(), (n + pt - 1) / pt * 256) << n;
            const auto back = crypto::Decrypt(p, Key2048a(), *cipher);
            ASSERT_TRUE(back);
            EXPECT_EQ(*back, plain);
        }
    }
    // OAEP-SHA-256 ciphertext does not decrypt under the SHA-1 policy.
    const auto c = crypto::Encrypt(P(SecurityPolicy::Aes256_Sha256_RsaPss), Key2048a(), "x");
    EXPECT_FALSE(crypto::Decrypt(P(SecurityPolicy::Basic256Sha256), Key2048a(), *c));
}

struct KeyPair {
    const char* name;
    const crypto::RsaKey& (*client)();
    const crypto::RsaKey& (*server)();
};
const KeyPair kKeyPairs[] = {
    {"2048/2048", Key2048a, Key2048b},
    {"2048/4096", Key2048a, Key4096},
    {"4096/2048", Key4096, Key2048b},
};

TEST(AsymmetricChunk, RoundTripsForEveryPolicyKeySizeAndBodyLength) {
    for (SecurityPolicy policy : kRsaPolicies) {
        for (const KeyPair& kp : kKeyPairs) {
            const auto& p = P(policy);
            const crypto::RsaKey& sender = kp.client();
            const crypto::RsaKey& receiver = kp.server();
            const std::string senderCert = crypto::MakeSelfSigned(sender, "c", "urn:c");
            const std::string thumb(20, '\x5a');
            const size_t pt = crypto::PlainBlock(p, receiver);
            // Lengths around block boundaries, zero padding included.
            for (size_t len : {size_t{0}, size_t{1}, size_t{150}, pt - 8, pt, 2 * pt + 7}) {
                SCOPED_TRACE(std::string(PolicyName(policy)) + " " + kp.name + " len " + std::to_string(len));
                const std::string body = Range(7, static_cast<int>(len));
                const std::string chunk =
                    BuildAsymmetricChunk(p, 9, senderCert, thumb, 51, 77, body, sender, receiver);
                ASSERT_FALSE(chunk.empty());
                EXPECT_EQ(chunk.substr(0, 4), "OPNF");
                EXPECT_EQ(U32At(chunk, 4), chunk.size());
                EXPECT_EQ(U32At(chunk, 8), 9u);
                AsymmetricHeader h;
                ASSERT_TRUE(ParseAsymmetricHeader(chunk, h));
                EXPECT_EQ(h.policyUri, PolicyUri(policy));
                EXPECT_EQ(h.senderCertificate, senderCert);
                EXPECT_EQ(h.receiverThumbprint, thumb);
                EXPECT_EQ((chunk.size() - h.end) % receiver.Bytes(), 0u);
                ChunkPayload out;
                ASSERT_EQ(OpenAsymmetricChunk(chunk, h, p, receiver, sender, out), status::Good);
                EXPECT_EQ(out.sequence, 51u);
                EXPECT_EQ(out.requestId, 77u);
                EXPECT_EQ(out.body, body);
            }
        }
    }
}

TEST(AsymmetricChunk, WorkedExampleSizes) {
    // 2048-bit keys, Basic256Sha256, a 150-byte body: 428 plaintext bytes, two 256-byte blocks.
    const auto& p = P(SecurityPolicy::Basic256Sha256);
    const std::string chunk =
        BuildAsymmetricChunk(p, 1, "", "", 1, 1, std::string(150, 'b'), Key2048a(), Key2048b());
    AsymmetricHeader h;
    ASSERT_TRUE(ParseAsymmetricHeader(chunk, h));
    EXPECT_EQ(chunk.size() - h.end, 512u);
    const auto plain = crypto::Decrypt(p, Key2048b(), std::string_view(chunk).substr(h.end));
    ASSERT_TRUE(plain);
    ASSERT_EQ(plain->size(), 428u);
    EXPECT_EQ(static_cast<uint8_t>((*plain)[8 + 150]), 13);  // PaddingSize
    for (size_t i = 0; i < 13; ++i) EXPECT_EQ(static_cast<uint8_t>((*plain)[8 + 150 + 1 + i]), 13);
}

TEST(AsymmetricChunk, ExtraPaddingByteWithA4096BitReceiver) {
    const auto& p = P(SecurityPolicy::Basic256Sha256);
    const std::string chunk = BuildAsymmetricChunk(p, 1, "", "", 1, 1, "abc", Key2048a(), Key4096());
    AsymmetricHeader h;
    ASSERT_TRUE(ParseAsymmetricHeader(chunk, h));
    const auto plain = crypto::Decrypt(p, Key4096(), std::string_view(chunk).substr(h.end));
    ASSERT_TRUE(plain);
    // 8 + 3 + 2 + padding + 256 = 470: padding 201, low byte 201, extra (high) byte 0.
    ASSERT_EQ(plain->size(), 470u);
    EXPECT_EQ(static_cast<uint8_t>((*plain)[11]), 201);
    EXPECT_EQ(static_cast<uint8_t>((*plain)[11 + 1 + 201]), 0);
}

TEST(AsymmetricChunk, AcceptsAWholeBlockOfPaddingWhereNoneWasNeeded) {
    // A peer that leaves out the outer modulo pads an aligned message with a whole block.
    const auto& p = P(SecurityPolicy::Basic256Sha256);
    const size_t pt = crypto::PlainBlock(p, Key2048b());  // 214
    const size_t s = Key2048a().Bytes();                  // 256
    // B + S + 1 = 2 * PT: no padding needed; this peer sends PT bytes of it.
    const size_t bodySize = 2 * pt - s - 1 - 8;
    const std::string body = Range(3, static_cast<int>(bodySize));
    std::string chunk("OPNF");
    chunk.append(4, '\0');
    chunk.append(4, '\0');  // channel 0
    const std::string uri(PolicyUri(SecurityPolicy::Basic256Sha256));
    Encoder e(chunk);
    e.String(std::string_view(uri));
    e.NullString();
    e.NullString();
    const size_t headerEnd = chunk.size();
    const size_t padding = pt;
    const size_t plainSize = 8 + bodySize + 1 + padding + s;
    ASSERT_EQ(plainSize % pt, 0u);
    e.PatchUInt32(4, static_cast<uint32_t>(headerEnd + plainSize / pt * 256));
    e.UInt32(5);
    e.UInt32(6);
    chunk += body;
    chunk.append(1 + padding, static_cast<char>(padding));
    chunk += *crypto::Sign(p, Key2048a(), chunk);
    const auto cipher = crypto::Encrypt(p, Key2048b(), std::string_view(chunk).substr(headerEnd));
    ASSERT_TRUE(cipher);
    chunk.resize(headerEnd);
    chunk += *cipher;
    AsymmetricHeader h;
    ASSERT_TRUE(ParseAsymmetricHeader(chunk, h));
    ChunkPayload out;
    ASSERT_EQ(OpenAsymmetricChunk(chunk, h, p, Key2048b(), Key2048a(), out), status::Good);
    EXPECT_EQ(out.body, body);
    EXPECT_EQ(out.sequence, 5u);
    // Our own builder uses the short form for the same body: no padding at all.
    const std::string ours = BuildAsymmetricChunk(p, 0, "", "", 5, 6, body, Key2048a(), Key2048b());
    EXPECT_EQ(ours.size(), headerEnd + 2 * 256);
}

TEST(AsymmetricChunk, EverySampledBitChangeIsRefused) {
    const auto& p = P(SecurityPolicy::Aes256_Sha256_RsaPss);
    const std::string cert = crypto::MakeSelfSigned(Key2048a(), "c", "urn:c");
    const std::string chunk = BuildAsymmetricChunk(p, 0, "", std::string(20, 't'), 1, 2, std::string(40, 'q'),
                                                   Key2048a(), Key2048b());
    AsymmetricHeader h0;
    ASSERT_TRUE(ParseAsymmetricHeader(chunk, h0));
    const size_t bits = chunk.size() * 8;
    int tried = 0;
    // Every bit of the clear header, and every 5th bit of ciphertext and signature.
    for (size_t bit = 0; bit < bits; bit += (bit < h0.end * 8 ? 1 : 5)) {
        std::string m = chunk;
        m[bit / 8] = static_cast<char>(m[bit / 8] ^ (1 << (bit % 8)));
        AsymmetricHeader h;
        ChunkPayload out;
        const bool parsed = ParseAsymmetricHeader(m, h);
        EXPECT_FALSE(parsed && OpenAsymmetricChunk(m, h, p, Key2048b(), Key2048a(), out) == status::Good)
            << "bit " << bit;
        ++tried;
    }
    EXPECT_GT(tried, 500);
}

TEST(AsymmetricChunk, HostileCiphertextIsRefusedNotCrashed) {
    const auto& p = P(SecurityPolicy::Basic256Sha256);
    std::string chunk = BuildAsymmetricChunk(p, 0, "", "", 1, 2, "x", Key2048a(), Key2048b());
    AsymmetricHeader h;
    ASSERT_TRUE(ParseAsymmetricHeader(chunk, h));
    ChunkPayload out;
    // Not a multiple of the key size, empty, wrong key.
    EXPECT_NE(OpenAsymmetricChunk(chunk.substr(0, chunk.size() - 1), h, p, Key2048b(), Key2048a(), out),
              status::Good);
    EXPECT_NE(OpenAsymmetricChunk(chunk.substr(0, h.end), h, p, Key2048b(), Key2048a(), out), status::Good);
    EXPECT_NE(OpenAsymmetricChunk(chunk, h, p, Key2048a(), Key2048a(), out), status::Good);
    // Signed by another key than the certificate's.
    EXPECT_NE(OpenAsymmetricChunk(chunk, h, p, Key2048b(), Key4096(), out), status::Good);
}

SymmetricKeys FixedKeys(SecurityPolicy policy) {
    return DeriveTokenKeys(P(policy), Range(0, 32), Range(0x20, 32)).client;
}

TEST(SymmetricChunk, RoundTripsInBothModesForEveryBodyLength) {
    for (SecurityPolicy policy : kRsaPolicies) {
        const SymmetricKeys keys = FixedKeys(policy);
        for (SecurityMode mode : {SecurityMode::Sign, SecurityMode::SignAndEncrypt}) {
            for (size_t len = 0; len < 70; ++len) {
                SCOPED_TRACE(std::to_string(len));
                const std::string body = Range(1, static_cast<int>(len));
                const std::string chunk = BuildSymmetricChunk("MSG", 'F', 4, 5, 6, 7, body, mode, keys);
                EXPECT_EQ(U32At(chunk, 4), chunk.size());
                EXPECT_EQ(U32At(chunk, 8), 4u);
                EXPECT_EQ(U32At(chunk, 12), 5u);
                if (mode == SecurityMode::Sign) {
                    // No padding: header, sequence header, body, HMAC.
                    EXPECT_EQ(chunk.size(), 16 + 8 + len + 32);
                    EXPECT_EQ(chunk.substr(24, len), body);
                } else {
                    EXPECT_EQ((chunk.size() - 16) % 16, 0u);
                    EXPECT_GE(chunk.size(), 16 + 8 + len + 1 + 32);
                    EXPECT_LT(chunk.size(), 16 + 8 + len + 1 + 32 + 16);
                }
                ChunkPayload out;
                ASSERT_EQ(OpenSymmetricChunk(chunk, mode, keys, out), status::Good);
                EXPECT_EQ(out.sequence, 6u);
                EXPECT_EQ(out.requestId, 7u);
                EXPECT_EQ(out.body, body);
            }
        }
    }
}

TEST(SymmetricChunk, GoldenSignAndEncryptLayout) {
    // Fixed keys: decrypt independently and check every field and the HMAC position.
    const SymmetricKeys keys = FixedKeys(SecurityPolicy::Basic256Sha256);
    const std::string chunk = BuildSymmetricChunk("MSG", 'F', 0x01020304, 0x0a0b0c0d, 0x11, 0x22, "hello",
                                                  SecurityMode::SignAndEncrypt, keys);
    // 8 + 5 + 1 + pad + 32 = 48 → pad 2; 16 + 48 = 64 bytes.
    ASSERT_EQ(chunk.size(), 64u);
    EXPECT_EQ(Hex(chunk.substr(0, 16)),
              "4d534746"
              "40000000"
              "04030201"
              "0d0c0b0a");
    std::string plain = chunk;
    auto* b = reinterpret_cast<uint8_t*>(plain.data()) + 16;
    ASSERT_TRUE(crypto::AesCbc(false, keys.encrypting, keys.iv, b, b, 48));
    EXPECT_EQ(Hex(plain.substr(16, 16)),
              "11000000"
              "22000000"
              "68656c6c6f"
              "020202");
    EXPECT_EQ(plain.substr(64 - 32), crypto::HmacSha256(keys.signing, plain.substr(0, 32)));
    // The IV is fixed per token: the same chunk encrypts the same way twice.
    EXPECT_EQ(chunk, BuildSymmetricChunk("MSG", 'F', 0x01020304, 0x0a0b0c0d, 0x11, 0x22, "hello",
                                         SecurityMode::SignAndEncrypt, keys));
}

TEST(SymmetricChunk, EveryBitChangeIsRefused) {
    for (SecurityMode mode : {SecurityMode::Sign, SecurityMode::SignAndEncrypt}) {
        const SymmetricKeys keys = FixedKeys(SecurityPolicy::Aes128_Sha256_RsaOaep);
        const std::string chunk =
            BuildSymmetricChunk("MSG", 'F', 1, 2, 3, 4, std::string(37, 'z'), mode, keys);
        for (size_t bit = 0; bit < chunk.size() * 8; ++bit) {
            std::string m = chunk;
            m[bit / 8] = static_cast<char>(m[bit / 8] ^ (1 << (bit % 8)));
            ChunkPayload out;
            EXPECT_NE(OpenSymmetricChunk(m, mode, keys, out), status::Good) << "bit " << bit;
        }
        // Keys of the other direction, truncated chunks.
        const SymmetricKeys other =
            DeriveTokenKeys(P(SecurityPolicy::Aes128_Sha256_RsaOaep), Range(0, 32), Range(0x20, 32)).server;
        ChunkPayload out;
        EXPECT_NE(OpenSymmetricChunk(chunk, mode, other, out), status::Good);
        for (size_t cut = 0; cut < chunk.size(); cut += 3)
            EXPECT_NE(OpenSymmetricChunk(std::string_view(chunk).substr(0, cut), mode, keys, out),
                      status::Good);
    }
}

TEST(SymmetricChunk, MaxBodyFillsTheBufferExactly) {
    const SymmetricKeys keys = FixedKeys(SecurityPolicy::Basic256Sha256);
    for (uint32_t buffer : {8192u, 8193u, 65535u}) {
        for (SecurityMode mode : {SecurityMode::Sign, SecurityMode::SignAndEncrypt}) {
            const size_t max = MaxSymmetricBody(buffer, mode);
            const std::string chunk =
                BuildSymmetricChunk("MSG", 'C', 1, 1, 1, 1, std::string(max, 'm'), mode, keys);
            EXPECT_LE(chunk.size(), buffer);
            EXPECT_GT(chunk.size() + 16, buffer);
        }
    }
}

}  // namespace
