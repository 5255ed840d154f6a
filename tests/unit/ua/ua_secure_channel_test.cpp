// Secured channels through the engine: open, requests and answers under each policy and mode,
// refusals with their status codes, token renewal and switch-over, sequence numbers, altered
// chunks.
#include <gtest/gtest.h>

#include "tests/support/test_trust_store.h"
#include "tests/unit/ua/ua_secure_client.h"

using namespace qora::ua;
using namespace qora::ua::testing;

namespace {

constexpr uint32_t kGetEndpoints = 428;
constexpr uint32_t kGetEndpointsResponse = 431;

const crypto::RsaKey& ClientKey() {
    static const crypto::RsaKey k = crypto::RsaKey::Generate(2048);
    return k;
}
const std::string& ClientCert() {
    static const std::string c = crypto::MakeSelfSigned(ClientKey(), "client", "urn:test:client");
    return c;
}
std::shared_ptr<TestTrustStore> ServerStore(int bits) {
    static std::map<int, std::pair<std::string, crypto::RsaKey>> made;
    if (!made.count(bits)) {
        auto k = crypto::RsaKey::Generate(bits);
        made[bits] = {crypto::MakeSelfSigned(k, "server", "urn:qora:opc-server"), k};
    }
    return std::make_shared<TestTrustStore>(made[bits].first, made[bits].second);
}

class SecureChannelTest : public ::testing::Test {
  protected:
    void Start(int serverBits = 2048) {
        backend.AddItem("item0", 1.5f);
        trust = ServerStore(serverBits);
        trust->Trust(ClientCert());
        config.trust = trust;
        engine = std::make_unique<Engine>(backend, config, transport);
        engine->Build();
    }
    SecureClient Client(uint64_t conn = 1) {
        SecureClient c(*engine, transport, conn, now, ClientKey(), ClientCert(), trust->OwnCertificateDer());
        return c;
    }
    static uint32_t TypeOf(const std::string& message) {
        Decoder d(message);
        return d.Node().numeric;
    }
    bool EndpointsWork(SecureClient& c) {
        const std::string m = c.Call(kGetEndpoints, [](Encoder& e) {
            e.String(std::string_view("opc.tcp://127.0.0.1:4840"));
            e.ArrayLength(0);
            e.ArrayLength(0);
        });
        return !m.empty() && TypeOf(m) == kGetEndpointsResponse;
    }

    FakeBackend backend;
    ServerConfig config;
    FakeTransport transport;
    std::shared_ptr<TestTrustStore> trust;
    std::unique_ptr<Engine> engine;
    Millis now = 100000;
};

TEST_F(SecureChannelTest, EveryPolicyAndModeOpensAndAnswers) {
    Start();
    uint64_t conn = 1;
    for (SecurityPolicy policy : {SecurityPolicy::Basic256Sha256, SecurityPolicy::Aes128_Sha256_RsaOaep,
                                  SecurityPolicy::Aes256_Sha256_RsaPss}) {
        for (SecurityMode mode : {SecurityMode::Sign, SecurityMode::SignAndEncrypt}) {
            SCOPED_TRACE(std::string(PolicyName(policy)) + " mode " + std::to_string(static_cast<int>(mode)));
            SecureClient c = Client(conn++);
            c.policy = policy;
            c.mode = mode;
            ASSERT_TRUE(c.Hello());
            ASSERT_EQ(c.Open(), status::Good);
            EXPECT_EQ(c.serverNonce.size(), 32u);
            EXPECT_TRUE(EndpointsWork(c));
            EXPECT_TRUE(EndpointsWork(c));
            EXPECT_TRUE(c.lastSeqOk);
            EXPECT_FALSE(c.Closed());
        }
    }
    EXPECT_EQ(backend.calls["ChannelOpened"], 6);
}

TEST_F(SecureChannelTest, DifferentKeySizesOnTheTwoSides) {
    Start(4096);
    SecureClient c = Client();
    ASSERT_TRUE(c.Hello());
    ASSERT_EQ(c.Open(), status::Good);
    EXPECT_TRUE(EndpointsWork(c));
}

TEST_F(SecureChannelTest, LargeResponsesGoOutInSealedChunks) {
    Start();
    SecureClient c = Client();
    ASSERT_TRUE(c.Hello(8192));
    ASSERT_EQ(c.Open(), status::Good);
    // FindServers with a long endpoint URL echoes it back; several chunks of at most 8192 bytes.
    const std::string url = "opc.tcp://127.0.0.1:4840/" + std::string(3000, 'x');
    const std::string reply = c.Feed(c.RequestChunk(kGetEndpoints, [&](Encoder& e) {
        e.String(std::string_view(url));
        e.ArrayLength(0);
        e.ArrayLength(0);
    }));
    const auto messages = c.Messages(reply);
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(TypeOf(messages[0]), kGetEndpointsResponse);
    EXPECT_TRUE(c.lastSeqOk);
}

struct Refusal {
    const char* name;
    std::function<void(SecureChannelTest&, ServerConfig&, TestTrustStore&)> setup;
    std::function<std::string(SecureClient&)> open;
    StatusCode expected;
};

TEST_F(SecureChannelTest, RefusedOpensAnswerTheirStatusAndClose) {
    const std::vector<Refusal> cases = {
        {"policy not offered",
         [](auto&, ServerConfig& c, auto&) {
             c.securityPolicies = {SecurityPolicy::None, SecurityPolicy::Basic256Sha256};
         },
         [](SecureClient& c) {
             c.policy = SecurityPolicy::Aes256_Sha256_RsaPss;
             return c.OpenChunk(0, crypto::RandomBytes(32));
         },
         status::BadSecurityPolicyRejected},
        {"mode not offered",
         [](auto&, ServerConfig& c, auto&) { c.securityModes = {SecurityMode::SignAndEncrypt}; },
         [](SecureClient& c) {
             c.mode = SecurityMode::Sign;
             return c.OpenChunk(0, crypto::RandomBytes(32));
         },
         status::BadSecurityModeRejected},
        {"mode None on a secured policy", [](auto&, auto&, auto&) {},
         [](SecureClient& c) {
             c.mode = static_cast<SecurityMode>(1);
             return c.OpenChunk(0, crypto::RandomBytes(32));
         },
         status::BadSecurityModeRejected},
        {"untrusted", [](auto&, auto&, TestTrustStore& t) { t.SetVerdict(status::BadCertificateUntrusted); },
         [](SecureClient& c) { return c.OpenChunk(0, crypto::RandomBytes(32)); },
         status::BadSecurityChecksFailed},
        {"expired passes through",
         [](auto&, auto&, TestTrustStore& t) { t.SetVerdict(status::BadCertificateTimeInvalid); },
         [](SecureClient& c) { return c.OpenChunk(0, crypto::RandomBytes(32)); },
         status::BadCertificateTimeInvalid},
        {"uri invalid hidden",
         [](auto&, auto&, TestTrustStore& t) { t.SetVerdict(status::BadCertificateUriInvalid); },
         [](SecureClient& c) { return c.OpenChunk(0, crypto::RandomBytes(32)); },
         status::BadSecurityChecksFailed},
        {"wrong thumbprint", [](auto&, auto&, auto&) {},
         [](SecureClient& c) {
             const std::string t(20, 'x');
             return c.OpenChunk(0, crypto::RandomBytes(32), 600000, SecurityMode::None, &t);
         },
         status::BadSecurityChecksFailed},
        {"short nonce", [](auto&, auto&, auto&) {},
         [](SecureClient& c) { return c.OpenChunk(0, std::string(16, 'n')); },
         status::BadSecurityChecksFailed},
        {"ciphertext of more blocks than an OPN needs", [](auto&, auto&, auto&) {},
         [](SecureClient& c) {
             // A valid, signed OPN whose body is padded out to 9 blocks.
             std::string body;
             Encoder e(body);
             e.Node(NodeId(0, kOpenSecureChannelRequestId));
             c.WriteHeader(e);
             WriteOpenFields(e, 0, static_cast<uint32_t>(c.mode), crypto::RandomBytes(32), 600000);
             body.append(9 * 214, '\0');
             return BuildAsymmetricChunk(c.Params(), 0, c.certificate,
                                         crypto::Thumbprint(c.serverCertificate), 1, 1, body, c.key,
                                         crypto::RsaKey::FromCertificate(c.serverCertificate));
         },
         status::BadSecurityChecksFailed},
        {"renew without a channel", [](auto&, auto&, auto&) {},
         [](SecureClient& c) { return c.OpenChunk(1, crypto::RandomBytes(32)); },
         status::BadTcpMessageTypeInvalid},
        {"signed by another key", [](auto&, auto&, auto&) {},
         [](SecureClient& c) {
             c.key = crypto::RsaKey::FromPrivate(ServerStore(2048)->OwnPrivateKeyDer());
             return c.OpenChunk(0, crypto::RandomBytes(32));
         },
         status::BadSecurityChecksFailed},
        {"certificate judged before any decryption",
         [](auto&, auto&, TestTrustStore& t) { t.SetVerdict(status::BadCertificateTimeInvalid); },
         [](SecureClient& c) {
             std::string chunk = c.OpenChunk(0, crypto::RandomBytes(32));
             chunk.back() = static_cast<char>(chunk.back() ^ 1);  // no longer decrypts
             return chunk;
         },
         status::BadCertificateTimeInvalid},
        {"no trust store: only None", [](auto&, ServerConfig& c, auto&) { c.trust = nullptr; },
         [](SecureClient& c) { return c.OpenChunk(0, crypto::RandomBytes(32)); },
         status::BadSecurityPolicyRejected},
    };
    for (const Refusal& r : cases) {
        SCOPED_TRACE(r.name);
        config = ServerConfig{};
        backend = FakeBackend{};
        transport = FakeTransport{};
        backend.AddItem("item0");
        trust = ServerStore(2048);
        trust->Trust(ClientCert());
        config.trust = trust;
        r.setup(*this, config, *trust);
        engine = std::make_unique<Engine>(backend, config, transport);
        engine->Build();
        SecureClient c = Client();
        ASSERT_TRUE(c.Hello());
        const std::string reply = c.Feed(r.open(c));
        ASSERT_EQ(reply.substr(0, 3), "ERR");
        EXPECT_EQ(SecureClient::ErrorOf(reply), r.expected);
        EXPECT_TRUE(c.Closed());
        EXPECT_EQ(engine->ConnectionCount(), 0u);
    }
}

TEST_F(SecureChannelTest, EveryAlteredBitOfARequestChunkClosesTheChannel) {
    Start();
    SecureClient probe = Client(999);
    ASSERT_TRUE(probe.Hello());
    ASSERT_EQ(probe.Open(), status::Good);
    const std::string chunk = probe.RequestChunk(kGetEndpoints, [](Encoder& e) {
        e.NullString();
        e.ArrayLength(0);
        e.ArrayLength(0);
    });
    // Each bit after the size field on a fresh channel whose keys match the probe's: replay the
    // probe's handshake on a new connection with the same nonce is not possible (new server
    // nonce), so alter chunks of the probe channel, reopening it each time.
    uint64_t conn = 1000;
    for (size_t bit = 64; bit < chunk.size() * 8; bit += 3) {
        // One handshake every 100 ms keeps within what one peer may open per second.
        now += 100;
        SecureClient c = Client(conn++);
        c.mode = probe.mode;
        ASSERT_TRUE(c.Hello());
        ASSERT_EQ(c.Open(), status::Good);
        std::string m = c.RequestChunk(kGetEndpoints, [](Encoder& e) {
            e.NullString();
            e.ArrayLength(0);
            e.ArrayLength(0);
        });
        m[bit / 8] = static_cast<char>(m[bit / 8] ^ (1 << (bit % 8)));
        const std::string reply = c.Feed(m);
        EXPECT_EQ(reply.substr(0, 3), "ERR") << "bit " << bit;
        EXPECT_TRUE(c.Closed()) << "bit " << bit;
    }
    EXPECT_EQ(engine->ConnectionCount(), 1u);  // the probe
}

TEST_F(SecureChannelTest, ReplayedAndOutOfOrderChunksCloseTheChannel) {
    Start();
    for (int variant = 0; variant < 2; ++variant) {
        SecureClient c = Client(static_cast<uint64_t>(10 + variant));
        ASSERT_TRUE(c.Hello());
        ASSERT_EQ(c.Open(), status::Good);
        auto body = [](Encoder& e) {
            e.NullString();
            e.ArrayLength(0);
            e.ArrayLength(0);
        };
        const std::string first = c.RequestChunk(kGetEndpoints, body);
        ASSERT_EQ(c.Messages(c.Feed(first)).size(), 1u);
        std::string again;
        if (variant == 0) {
            again = first;  // replay
        } else {
            c.sequence += 5;  // skip
            again = c.RequestChunk(kGetEndpoints, body);
        }
        const std::string reply = c.Feed(again);
        ASSERT_EQ(reply.substr(0, 3), "ERR");
        EXPECT_EQ(SecureClient::ErrorOf(reply), status::BadSequenceNumberInvalid);
        EXPECT_TRUE(c.Closed());
    }
}

TEST_F(SecureChannelTest, RenewKeepsTheOldTokenUntilTheNewOneIsUsed) {
    Start();
    SecureClient c = Client();
    ASSERT_TRUE(c.Hello());
    ASSERT_EQ(c.Open(), status::Good);
    const TokenKeys oldKeys = c.keys;
    const uint32_t oldToken = c.tokenId;
    EXPECT_EQ(trust->Validations(), 1);

    // A renew that reuses the client nonce, or asks for another mode, is refused: check each on a
    // channel of its own first.
    for (const bool reuseNonce : {true, false}) {
        SCOPED_TRACE(reuseNonce ? "nonce reused" : "another mode");
        SecureClient r = Client(reuseNonce ? 2 : 3);
        ASSERT_TRUE(r.Hello());
        ASSERT_EQ(r.Open(), status::Good);
        const std::string reply =
            r.Feed(reuseNonce ? r.OpenChunk(1, r.clientNonce)
                              : r.OpenChunk(1, crypto::RandomBytes(32), 600000, SecurityMode::Sign));
        ASSERT_EQ(reply.substr(0, 3), "ERR");
        EXPECT_EQ(SecureClient::ErrorOf(reply),
                  reuseNonce ? status::BadSecurityChecksFailed : status::BadSecurityModeRejected);
        EXPECT_TRUE(r.Closed());
    }

    const std::string newNonce = crypto::RandomBytes(32);
    ASSERT_EQ(c.TakeOpenResponse(c.Feed(c.OpenChunk(1, newNonce)), newNonce), status::Good);
    EXPECT_NE(c.tokenId, oldToken);
    EXPECT_EQ(trust->Validations(), 6);  // three channels' opens, the two refused renews, and this renew
    const TokenKeys newKeys = c.keys;
    const uint32_t newToken = c.tokenId;

    auto body = [](Encoder& e) {
        e.NullString();
        e.ArrayLength(0);
        e.ArrayLength(0);
    };
    // Still under the old token: accepted, and answered under the old token.
    c.keys = oldKeys;
    c.tokenId = oldToken;
    std::string reply = c.Feed(c.RequestChunk(kGetEndpoints, body));
    ASSERT_GE(reply.size(), 16u);
    Decoder hdr(std::string_view(reply).substr(12, 4));
    EXPECT_EQ(hdr.UInt32(), oldToken);
    EXPECT_EQ(c.Messages(reply, &oldKeys).size(), 1u);

    // First chunk under the new token: the answer comes under the new token.
    c.keys = newKeys;
    c.tokenId = newToken;
    reply = c.Feed(c.RequestChunk(kGetEndpoints, body));
    Decoder hdr2(std::string_view(reply).substr(12, 4));
    EXPECT_EQ(hdr2.UInt32(), newToken);
    EXPECT_EQ(c.Messages(reply, &newKeys).size(), 1u);

    // The old token is gone now.
    c.keys = oldKeys;
    c.tokenId = oldToken;
    reply = c.Feed(c.RequestChunk(kGetEndpoints, body));
    ASSERT_EQ(reply.substr(0, 3), "ERR");
    EXPECT_EQ(SecureClient::ErrorOf(reply), status::BadSecureChannelTokenUnknown);
    EXPECT_TRUE(c.Closed());
}

TEST_F(SecureChannelTest, OldTokenExpiresOnItsOwn) {
    Start();
    SecureClient c = Client();
    ASSERT_TRUE(c.Hello());
    ASSERT_EQ(c.Open(0, {}, 60000), status::Good);
    const TokenKeys oldKeys = c.keys;
    const uint32_t oldToken = c.tokenId;
    now += 45000;
    const std::string nonce = crypto::RandomBytes(32);
    ASSERT_EQ(c.TakeOpenResponse(c.Feed(c.OpenChunk(1, nonce, 60000)), nonce), status::Good);
    now += 20000;  // past the old token's lifetime
    c.keys = oldKeys;
    c.tokenId = oldToken;
    const std::string reply = c.Feed(c.RequestChunk(kGetEndpoints, nullptr));
    ASSERT_EQ(reply.substr(0, 3), "ERR");
    EXPECT_EQ(SecureClient::ErrorOf(reply), status::BadSecureChannelTokenUnknown);
}

TEST_F(SecureChannelTest, RenewFromAnotherCertificateIsRefused) {
    Start();
    SecureClient c = Client();
    ASSERT_TRUE(c.Hello());
    ASSERT_EQ(c.Open(), status::Good);
    const crypto::RsaKey other = crypto::RsaKey::FromPrivate(ServerStore(2048)->OwnPrivateKeyDer());
    c.key = other;
    c.certificate = crypto::MakeSelfSigned(other, "other", "urn:test:other");
    trust->Trust(c.certificate);
    const std::string reply = c.Feed(c.OpenChunk(1, crypto::RandomBytes(32)));
    ASSERT_EQ(reply.substr(0, 3), "ERR");
    EXPECT_EQ(SecureClient::ErrorOf(reply), status::BadSecurityChecksFailed);
    EXPECT_TRUE(c.Closed());
}

TEST_F(SecureChannelTest, SignedCloseEndsTheChannelAndAForgedOneIsRefused) {
    Start();
    SecureClient c = Client();
    ASSERT_TRUE(c.Hello());
    ASSERT_EQ(c.Open(), status::Good);
    std::string forged = c.RequestChunk(452, nullptr, "CLO");
    forged[forged.size() - 1] ^= 1;
    EXPECT_EQ(c.Feed(forged).substr(0, 3), "ERR");
    SecureClient d = Client(2);
    ASSERT_TRUE(d.Hello());
    ASSERT_EQ(d.Open(), status::Good);
    EXPECT_EQ(d.Feed(d.RequestChunk(452, nullptr, "CLO")), "");
    EXPECT_TRUE(d.Closed());
    EXPECT_EQ(engine->ConnectionCount(), 0u);
}

TEST_F(SecureChannelTest, NoneChannelsStillOpenForDiscovery) {
    Start();
    EngineClient c{*engine, transport, 5, now, {}, {}};
    ASSERT_TRUE(c.Connect());
    auto m = c.Call(kGetEndpoints, [](Encoder& e) {
        e.NullString();
        e.ArrayLength(0);
        e.ArrayLength(0);
    });
    EXPECT_EQ(m.type, "MSG");
    // A None OPN cannot renew a secured channel.
    SecureClient s = Client(6);
    ASSERT_TRUE(s.Hello());
    ASSERT_EQ(s.Open(), status::Good);
    ClientCodec codec;
    codec.channelId = s.channelId;
    codec.sequence = s.sequence;
    const std::string reply = s.Feed(codec.Open(1));
    ASSERT_EQ(reply.substr(0, 3), "ERR");
    EXPECT_EQ(SecureClient::ErrorOf(reply), status::BadSecurityPolicyRejected);
}

}  // namespace

// A secured channel that opens ends its handshake: one peer opening channels one after another
// (well within its rate) is never locked out, and a burst of secured OPNs from one peer is cut
// before the private-key work.
TEST_F(SecureChannelTest, SecuredOpensCountAgainstTheHandshakeLimits) {
    Start();
    const HandshakeLimits& limits = engine->Handshakes().Limits();
    uint64_t conn = 2000;
    for (size_t i = 0; i < limits.unfinishedPerPeer * 2; ++i) {
        now += 100;
        SecureClient c = Client(conn++);
        ASSERT_TRUE(c.Hello()) << "channel " << i;
        ASSERT_EQ(c.Open(), status::Good) << "channel " << i;
    }
    EXPECT_EQ(engine->Handshakes().Unfinished(), 0u);

    // The same instant: the peer's burst passes, the rest is refused as too busy.
    size_t opened = 0, refused = 0;
    for (size_t i = 0; i < static_cast<size_t>(limits.openPeerBurst) + 10; ++i) {
        SecureClient c = Client(conn++);
        ASSERT_TRUE(c.Hello());
        const StatusCode st = c.Open();
        if (st == status::Good)
            ++opened;
        else if (st == status::BadTcpServerTooBusy)
            ++refused;
    }
    EXPECT_LE(opened, static_cast<size_t>(limits.openPeerBurst));
    EXPECT_GE(refused, 10u);
}
