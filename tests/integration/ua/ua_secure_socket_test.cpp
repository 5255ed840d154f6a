// Secured channels on real loopback sockets: every policy and mode reads through the endpoint's
// network thread, an untrusted client is refused and its certificate lands in the rejected
// folder until it is trusted, a wrong password is answered late without holding up another
// client, and so is a password being checked.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <mutex>
#include <thread>

#include "tests/integration/ua/ua_mini_client.h"
#include "tests/support/test_trust_store.h"
#include "tests/unit/ua/ua_fakes.h"
#include "ua/net/server.h"

using namespace qora::ua;
using namespace qora::ua::testing;

namespace {

class Items : public FakeBackend {
  public:
    Items() {
        for (int i = 0; i < 5; ++i) AddItem("item" + std::to_string(i), static_cast<float>(i));
    }
    void ReadCache(const uint32_t* h, size_t n, ItemSample* out) override {
        for (size_t i = 0; i < n; ++i) out[i] = {2.5f, 192, 132000000000000000ull, h[i] >= 100};
    }
    void ReadDevice(const uint32_t* h, size_t n, ItemSample* out) override { ReadCache(h, n, out); }
};

struct ClientIdentity {
    crypto::RsaKey key = crypto::RsaKey::Generate(2048);
    std::string cert = crypto::MakeSelfSigned(key, "socket client", "urn:test:socket-client");
};
const ClientIdentity& Identity() {
    static const ClientIdentity id;
    return id;
}

class SecureSocketTest : public ::testing::Test {
  protected:
    void SetUp() override {
        char tmpl[] = "/tmp/ua_secure_XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir = tmpl;
        ::mkdir((dir + "/trusted").c_str(), 0755);
        trust = TestTrustStore::Generate(2048, "urn:qora:opc-server");
        trust->SetTrustDirectory(dir + "/trusted");
        users->Add("op", "secret");
        config.host = "127.0.0.1";
        config.port = 0;
        config.trust = trust;
        config.users = users;
    }
    void TearDown() override {
        server.reset();
        std::system(("rm -rf '" + dir + "'").c_str());
    }
    void Start() {
        server = std::make_unique<Server>(backend, config);
        ASSERT_TRUE(server->Start());
    }
    void TrustClient() { std::ofstream(dir + "/trusted/client.der", std::ios::binary) << Identity().cert; }
    std::unique_ptr<MiniClient> Client(SecurityPolicy policy, SecurityMode mode) {
        auto c = std::make_unique<MiniClient>();
        c->security = std::make_unique<MiniSecurity>();
        c->security->policy = policy;
        c->security->mode = mode;
        c->security->key = Identity().key;
        c->security->certificate = Identity().cert;
        c->security->serverCertificate = trust->OwnCertificateDer();
        return c;
    }

    // ActivateSession of user "op" over c's Basic256Sha256 channel, the password encrypted to the
    // server; the answer is left to the caller.
    bool SendLogin(MiniClient& c, const std::string& password) {
        const auto& p = *crypto::Params(SecurityPolicy::Basic256Sha256);
        std::string plain;
        Encoder pe(plain);
        pe.UInt32(static_cast<uint32_t>(password.size() + c.serverNonce.size()));
        plain += password + c.serverNonce;
        const std::string secret =
            *crypto::Encrypt(p, crypto::RsaKey::FromCertificate(trust->OwnCertificateDer()), plain);
        const std::string signature =
            *crypto::Sign(p, Identity().key, trust->OwnCertificateDer() + c.serverNonce);
        return c.SendAll(c.codec.Request(467, [&](Encoder& e) {
            e.String(std::string_view(p.signatureUri));
            e.ByteString(signature);
            e.ArrayLength(0);
            e.ArrayLength(0);
            e.Extension(MakeExtension(324, [&](Encoder& b) {
                b.String(std::string_view("username"));
                b.String(std::string_view("op"));
                b.ByteString(secret);
                b.String(std::string_view(p.encryptionUri));
            }));
            e.NullString();
            e.NullString();
        }));
    }

    Items backend;
    ServerConfig config;
    std::string dir;
    std::shared_ptr<TestTrustStore> trust;
    std::shared_ptr<TestUserDirectory> users = std::make_shared<TestUserDirectory>();
    std::unique_ptr<Server> server;
};

TEST_F(SecureSocketTest, EveryPolicyAndModeReads) {
    TrustClient();
    Start();
    for (SecurityPolicy policy : {SecurityPolicy::Basic256Sha256, SecurityPolicy::Aes128_Sha256_RsaOaep,
                                  SecurityPolicy::Aes256_Sha256_RsaPss}) {
        for (SecurityMode mode : {SecurityMode::Sign, SecurityMode::SignAndEncrypt}) {
            SCOPED_TRACE(std::string(PolicyName(policy)) + " " + std::to_string(static_cast<int>(mode)));
            auto c = Client(policy, mode);
            ASSERT_TRUE(c->Connect(server->Port()));
            ASSERT_EQ(c->CreateSession(), status::Good);
            ASSERT_EQ(c->Activate(), status::Good);
            std::vector<DataValue> values;
            ASSERT_TRUE(c->Read({NodeId::String(1, "item0"), NodeId::String(1, "item4")}, 0, values));
            ASSERT_EQ(values.size(), 2u);
            EXPECT_EQ(std::get<float>(values[0].value.scalar), 2.5f);
            // A large request goes out in several sealed chunks and is answered.
            std::vector<NodeId> many;
            for (int i = 0; i < 4000; ++i) many.push_back(NodeId::String(1, "item" + std::to_string(i % 5)));
            ASSERT_TRUE(c->Read(many, 0, values));
            EXPECT_EQ(values.size(), many.size());
            EXPECT_TRUE(c->reader.sequenceOk);
        }
    }
}

TEST_F(SecureSocketTest, UntrustedClientIsRejectedUntilItsCertificateIsTrusted) {
    Start();
    auto c = Client(SecurityPolicy::Basic256Sha256, SecurityMode::SignAndEncrypt);
    EXPECT_FALSE(c->Connect(server->Port()));
    // The refused certificate waits in the rejected folder.
    const std::string rejected = dir + "/rejected/" + [] {
        std::string name;
        for (unsigned char ch : crypto::Thumbprint(Identity().cert)) {
            name.push_back("0123456789abcdef"[ch >> 4]);
            name.push_back("0123456789abcdef"[ch & 15]);
        }
        return name;
    }() + ".der";
    EXPECT_EQ(ReadWholeFile(rejected), Identity().cert);
    // The operator moves it to the trusted folder: no restart needed.
    ASSERT_EQ(std::rename(rejected.c_str(), (dir + "/trusted/client.der").c_str()), 0);
    auto again = Client(SecurityPolicy::Basic256Sha256, SecurityMode::SignAndEncrypt);
    ASSERT_TRUE(again->Connect(server->Port()));
    EXPECT_EQ(again->CreateSession(), status::Good);
}

TEST_F(SecureSocketTest, WrongPasswordAnswersLateWhileOthersAreServed) {
    TrustClient();
    Start();
    auto c = Client(SecurityPolicy::Basic256Sha256, SecurityMode::SignAndEncrypt);
    ASSERT_TRUE(c->Connect(server->Port()));
    ASSERT_EQ(c->CreateSession(), status::Good);
    auto other = Client(SecurityPolicy::Aes256_Sha256_RsaPss, SecurityMode::Sign);
    ASSERT_TRUE(other->Connect(server->Port()));
    ASSERT_EQ(other->CreateSession(), status::Good);
    ASSERT_EQ(other->Activate(), status::Good);

    const auto sent = std::chrono::steady_clock::now();
    ASSERT_TRUE(SendLogin(*c, "wrong"));
    // Served meanwhile.
    std::vector<DataValue> values;
    EXPECT_TRUE(other->Read({NodeId::String(1, "item1")}, 0, values));
    ServerMessage m;
    ASSERT_TRUE(c->Next(m, 5000));
    const auto waited = std::chrono::steady_clock::now() - sent;
    Decoder d(m.body);
    EXPECT_EQ(ReadResponseHeader(d).serviceResult, status::BadUserAccessDenied);
    // The delay is a floor, not a speed claim.
    EXPECT_GE(std::chrono::duration_cast<std::chrono::milliseconds>(waited).count(),
              kFailedLoginDelayMs - 50);
}

// The password check runs away from the network thread: while it is in progress another client's
// Read is answered, and the login is answered once the check is done.
TEST_F(SecureSocketTest, AReadIsAnsweredWhileAPasswordIsChecked) {
    // A check that holds until the test lets it go (bounded, so that the test always ends).
    struct GatedUsers : TestUserDirectory {
        bool Check(std::string_view user, std::string_view password) override {
            std::unique_lock<std::mutex> lock(mu);
            entered = true;
            cv.notify_all();
            cv.wait_for(lock, std::chrono::seconds(30), [&] { return released; });
            return TestUserDirectory::Check(user, password);
        }
        bool WaitEntered() {
            std::unique_lock<std::mutex> lock(mu);
            return cv.wait_for(lock, std::chrono::seconds(10), [&] { return entered; });
        }
        void Release() {
            std::lock_guard<std::mutex> lock(mu);
            released = true;
            cv.notify_all();
        }
        std::mutex mu;
        std::condition_variable cv;
        bool entered = false, released = false;
    };
    auto gated = std::make_shared<GatedUsers>();
    gated->Add("op", "secret");
    config.users = gated;
    struct ReleaseAtEnd {
        GatedUsers& g;
        ~ReleaseAtEnd() { g.Release(); }
    } releaseAtEnd{*gated};
    TrustClient();
    Start();
    auto reader = Client(SecurityPolicy::Aes256_Sha256_RsaPss, SecurityMode::Sign);
    ASSERT_TRUE(reader->Connect(server->Port()));
    ASSERT_EQ(reader->CreateSession(), status::Good);
    ASSERT_EQ(reader->Activate(), status::Good);
    auto c = Client(SecurityPolicy::Basic256Sha256, SecurityMode::SignAndEncrypt);
    ASSERT_TRUE(c->Connect(server->Port()));
    ASSERT_EQ(c->CreateSession(), status::Good);

    ASSERT_TRUE(SendLogin(*c, "secret"));
    ASSERT_TRUE(gated->WaitEntered());
    std::vector<DataValue> values;
    EXPECT_TRUE(reader->Read({NodeId::String(1, "item1")}, 0, values));
    ASSERT_EQ(values.size(), 1u);
    gated->Release();
    ServerMessage m;
    ASSERT_TRUE(c->Next(m, 10000));
    Decoder d(m.body);
    EXPECT_EQ(ReadResponseHeader(d).serviceResult, status::Good);
    EXPECT_TRUE(c->Read({NodeId::String(1, "item1")}, 0, values));  // the session is activated
}

}  // namespace
