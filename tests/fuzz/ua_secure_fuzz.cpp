// libFuzzer target: service messages over a secured channel. The target opens the channel itself
// (its own client key, the server's seeded nonces), then seals each record of the input into a
// MSG or CLO chunk with the channel's keys, so the fuzzer's bytes reach the decrypted body; some
// records go in unsealed or with one byte altered after sealing, to exercise the refusals.
// Input: byte 0 picks policy and mode; then records of [length LE16][flags][bytes].
//   flags bit 0: send the bytes as they are (no sealing)
//   flags bit 1: an intermediate chunk ('C') instead of a final one
//   flags bit 2: CLO instead of MSG
//   flags bit 3: after sealing, flip the byte at (length % chunk size)
#include <cstddef>
#include <cstdint>
#include <map>

#include "tests/support/test_trust_store.h"
#include "tests/support/ua_open_request.h"
#include "tests/unit/ua/ua_fakes.h"
#include "ua/engine/engine.h"

using namespace qora::ua;

namespace {

struct Keys {
    crypto::RsaKey client = crypto::RsaKey::Generate(2048);
    std::string clientCert = crypto::MakeSelfSigned(client, "fuzz client", "urn:fuzz:client");
    std::shared_ptr<testing::TestTrustStore> server =
        testing::TestTrustStore::Generate(2048, "urn:qora:opc-server");
};

Keys& Fixed() {
    static Keys k;
    static bool trusted = (k.server->Trust(k.clientCert), true);
    (void)trusted;
    return k;
}

class KeepTransport : public Transport {
  public:
    void Send(uint64_t, std::string_view bytes) override { out += bytes; }
    void Close(uint64_t) override { closed = true; }
    std::string out;
    bool closed = false;
};

constexpr SecurityPolicy kPolicies[] = {SecurityPolicy::Basic256Sha256, SecurityPolicy::Aes128_Sha256_RsaOaep,
                                        SecurityPolicy::Aes256_Sha256_RsaPss};

// The client's OPN for a policy and mode: built once (its OAEP padding is random, the server's
// answer is not: its nonces come from the seed).
const std::string& OpenChunk(SecurityPolicy policy, SecurityMode mode) {
    static std::map<std::pair<int, int>, std::string> cache;
    std::string& chunk = cache[{static_cast<int>(policy), static_cast<int>(mode)}];
    if (chunk.empty()) {
        const std::string body =
            testing::OpenRequestBody(0 /* issue */, static_cast<uint32_t>(mode), std::string(32, '\x11'));
        const Keys& k = Fixed();
        chunk = BuildAsymmetricChunk(*crypto::Params(policy), 0, k.clientCert,
                                     crypto::Thumbprint(k.server->OwnCertificateDer()), 1, 1, body, k.client,
                                     crypto::RsaKey::FromCertificate(k.server->OwnCertificateDer()));
    }
    return chunk;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) return 0;
    const SecurityPolicy policy = kPolicies[(data[0] & 0x7f) % 3];
    const SecurityMode mode = (data[0] & 0x80) ? SecurityMode::Sign : SecurityMode::SignAndEncrypt;
    Keys& k = Fixed();
    testing::FakeBackend backend;
    for (int i = 0; i < 20; ++i) backend.AddItem("item" + std::to_string(i), static_cast<float>(i));
    ServerConfig config;
    config.randomSeed = 1;
    config.maxMessageSize = 1 << 20;
    config.memoryBudgetBytes = 64ull << 20;
    config.trust = k.server;
    auto users = std::make_shared<testing::TestUserDirectory>();
    users->Add("user", "secret");
    config.users = users;
    KeepTransport transport;
    Engine engine(backend, config, transport);
    engine.Build();
    Millis now = 1000;
    if (!engine.Accept(1, now)) return 0;
    auto feed = [&](const std::string& bytes) {
        engine.Receive(1, reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size(), now);
    };
    testing::ClientCodec codec;
    feed(codec.Hello("opc.tcp://127.0.0.1:4840"));
    transport.out.clear();
    feed(OpenChunk(policy, mode));
    AsymmetricHeader h;
    ChunkPayload opened;
    const crypto::PolicyParams& p = *crypto::Params(policy);
    if (transport.closed || !ParseAsymmetricHeader(transport.out, h) ||
        OpenAsymmetricChunk(transport.out, h, p, k.client,
                            crypto::RsaKey::FromCertificate(h.senderCertificate), opened) != status::Good)
        __builtin_trap();  // the handshake itself must work
    Decoder d(opened.body);
    testing::ReadResponseHeader(d);
    d.UInt32();
    const uint32_t channelId = d.UInt32();
    const uint32_t tokenId = d.UInt32();
    d.DateTime();
    d.UInt32();
    const TokenKeys keys = DeriveTokenKeys(p, std::string(32, '\x11'), d.StringValue());

    uint32_t sequence = 1;
    uint32_t requestId = 1;
    size_t pos = 1;
    while (pos + 3 <= size && !transport.closed) {
        const size_t length = data[pos] | (static_cast<size_t>(data[pos + 1]) << 8);
        const uint8_t flags = data[pos + 2];
        pos += 3;
        const size_t n = std::min(length, size - pos);
        const std::string bytes(reinterpret_cast<const char*>(data + pos), n);
        pos += n;
        if (flags & 1) {
            feed(bytes);
        } else {
            std::string chunk = BuildSymmetricChunk(
                (flags & 4) ? "CLO" : "MSG", (flags & 2) ? 'C' : 'F', channelId, tokenId, ++sequence,
                (flags & 2) ? requestId : ++requestId, bytes, mode, keys.client);
            if ((flags & 8) && !chunk.empty()) chunk[length % chunk.size()] ^= 0x01;
            feed(chunk);
        }
        now += 37;
        engine.Tick(now);
    }
    for (int i = 0; i < 4 && !transport.closed; ++i) {
        now += 250;
        engine.Tick(now);
    }
    engine.CloseEverything();
    return 0;
}
