// Sessions over secured and None channels: the endpoint list, the server's signature, the
// client's signature, nonce and certificate checks, anonymous and user name tokens with the
// encrypted secret, and the late answer to a wrong password.
#include <gtest/gtest.h>

#include <deque>
#include <optional>
#include <set>

#include "tests/support/test_trust_store.h"
#include "tests/unit/ua/ua_secure_client.h"

using namespace qora::ua;
using namespace qora::ua::testing;

namespace {

constexpr uint32_t kGetEndpoints = 428;
constexpr uint32_t kCreateSession = 461;
constexpr uint32_t kActivateSession = 467;
constexpr uint32_t kServiceFault = 397;
constexpr const char* kClientUri = "urn:test:client";

const crypto::RsaKey& ClientKey() {
    static const crypto::RsaKey k = crypto::RsaKey::Generate(2048);
    return k;
}
const std::string& ClientCert() {
    static const std::string c = crypto::MakeSelfSigned(ClientKey(), "client", kClientUri);
    return c;
}
std::shared_ptr<TestTrustStore> ServerStore() {
    static const crypto::RsaKey k = crypto::RsaKey::Generate(2048);
    static const std::string c = crypto::MakeSelfSigned(k, "server", "urn:qora:opc-server");
    return std::make_shared<TestTrustStore>(c, k);
}

struct Endpoint {
    uint32_t mode = 0;
    std::string policy;
    std::string certificate;
    std::vector<std::pair<std::string, std::string>> tokens;  // policyId, securityPolicyUri
    std::vector<uint32_t> tokenTypes;
    uint8_t level = 0;
};

Endpoint ReadEndpoint(Decoder& d) {
    Endpoint ep;
    d.String();
    d.String();
    d.String();
    d.Text();
    d.UInt32();
    d.String();
    d.String();
    const int32_t urls = d.Int32();
    for (int32_t i = 0; i < urls; ++i) d.String();
    ep.certificate = d.StringValue();
    ep.mode = d.UInt32();
    ep.policy = d.StringValue();
    const int32_t n = d.Int32();
    for (int32_t i = 0; i < n; ++i) {
        const std::string id = d.StringValue();
        ep.tokenTypes.push_back(d.UInt32());
        d.String();
        d.String();
        ep.tokens.push_back({id, d.StringValue()});
    }
    d.String();
    ep.level = d.Byte();
    return ep;
}

class SecureSessionTest : public ::testing::Test {
  protected:
    void Start() {
        backend.AddItem("item0", 1.5f);
        trust = ServerStore();
        trust->Trust(ClientCert());
        config.trust = trust;
        users->Add("op", "пароль");
        config.users = users;
        engine = std::make_unique<Engine>(backend, config, transport);
        engine->Build();
    }
    SecureClient Open(SecurityPolicy policy = SecurityPolicy::Basic256Sha256,
                      SecurityMode mode = SecurityMode::SignAndEncrypt, uint64_t conn = 1) {
        SecureClient c(*engine, transport, conn, now, ClientKey(), ClientCert(), trust->OwnCertificateDer());
        c.policy = policy;
        c.mode = mode;
        EXPECT_TRUE(c.Hello());
        EXPECT_EQ(c.Open(), status::Good);
        return c;
    }
    static BodyWriter CreateBody(const std::string& nonce, const std::string& cert,
                                 const std::string& uri = kClientUri) {
        return [=](Encoder& e) {
            e.String(std::string_view(uri));
            e.NullString();
            e.Text(LocalizedText{});
            e.UInt32(1);
            e.NullString();
            e.NullString();
            e.ArrayLength(-1);
            e.NullString();
            e.String(std::string_view("opc.tcp://127.0.0.1:4840"));
            e.String(std::string_view("s"));
            e.ByteString(nonce);
            e.ByteString(cert);
            e.Double(60000);
            e.UInt32(0);
        };
    }
    struct Created {
        StatusCode status = status::Good;
        std::string serverNonce;
        std::string serverCertificate;
        std::vector<Endpoint> endpoints;
        std::string algorithm;
        std::string signature;
    };
    static Created ReadCreate(const std::string& message, NodeId* token) {
        Created out;
        Decoder d(message);
        const auto h = ReadResponseHeader(d);
        out.status = h.serviceResult;
        if (h.typeId == kServiceFault || out.status != status::Good) return out;
        d.Node();
        *token = d.Node();
        d.Double();
        out.serverNonce = d.StringValue();
        out.serverCertificate = d.StringValue();
        const int32_t n = d.Int32();
        for (int32_t i = 0; i < n; ++i) out.endpoints.push_back(ReadEndpoint(d));
        d.Int32();
        out.algorithm = d.StringValue();
        out.signature = d.StringValue();
        return out;
    }
    // ActivateSession with a client signature over the server certificate and nonce (or a given
    // signature) and a user token.
    static BodyWriter ActivateBody(const std::string& signature, const ExtensionObject& token) {
        return [=](Encoder& e) {
            e.String(std::string_view("http://www.w3.org/2001/04/xmldsig-more#rsa-sha256"));
            e.ByteString(signature);
            e.ArrayLength(0);
            e.ArrayLength(0);
            e.Extension(token);
            e.NullString();
            e.NullString();
        };
    }
    static ExtensionObject Anonymous() {
        return MakeExtension(321, [](Encoder& b) { b.String(std::string_view("anonymous")); });
    }
    static ExtensionObject UserName(const std::string& policyId, const std::string& user,
                                    const std::string& secret, const std::string& algorithm) {
        return MakeExtension(324, [=](Encoder& b) {
            b.String(std::string_view(policyId));
            b.String(std::string_view(user));
            b.ByteString(secret);
            if (algorithm.empty())
                b.NullString();
            else
                b.String(std::string_view(algorithm));
        });
    }
    // The legacy secret: length, password, nonce, encrypted to the server certificate's key.
    std::string Secret(SecurityPolicy policy, const std::string& password, const std::string& nonce) {
        std::string plain;
        Encoder e(plain);
        e.UInt32(static_cast<uint32_t>(password.size() + nonce.size()));
        plain += password + nonce;
        return *crypto::Encrypt(*crypto::Params(policy),
                                crypto::RsaKey::FromCertificate(trust->OwnCertificateDer()), plain);
    }
    StatusCode Status(const std::string& message) {
        if (message.empty()) return status::Bad;
        Decoder d(message);
        return ReadResponseHeader(d).serviceResult;
    }

    FakeBackend backend;
    ServerConfig config;
    FakeTransport transport;
    std::shared_ptr<TestTrustStore> trust;
    std::shared_ptr<TestUserDirectory> users = std::make_shared<TestUserDirectory>();
    std::unique_ptr<Engine> engine;
    Millis now = 100000;
};

TEST_F(SecureSessionTest, EndpointListRanksAndNamesItsTokenPolicies) {
    Start();
    SecureClient c = Open();
    const std::string m = c.Call(kGetEndpoints, [](Encoder& e) {
        e.NullString();
        e.ArrayLength(0);
        e.ArrayLength(0);
    });
    Decoder d(m);
    ReadResponseHeader(d);
    const int32_t n = d.Int32();
    ASSERT_EQ(n, 7);  // None + 3 policies x 2 modes
    std::vector<Endpoint> eps;
    for (int32_t i = 0; i < n; ++i) eps.push_back(ReadEndpoint(d));
    std::set<uint8_t> levels;
    for (const Endpoint& ep : eps) {
        SCOPED_TRACE(ep.policy + " " + std::to_string(ep.mode));
        EXPECT_EQ(ep.certificate, trust->OwnCertificateDer());
        levels.insert(ep.level);
        ASSERT_EQ(ep.tokens.size(), 2u);
        EXPECT_EQ(ep.tokenTypes[0], 0u);
        EXPECT_EQ(ep.tokenTypes[1], 1u);
        EXPECT_NE(ep.tokens[0].first, ep.tokens[1].first);
        if (ep.mode == 1) {
            // Over None the password is encrypted with Basic256Sha256.
            EXPECT_EQ(ep.tokens[1].second, "http://opcfoundation.org/UA/SecurityPolicy#Basic256Sha256");
            EXPECT_EQ(ep.level, 0);
        } else {
            EXPECT_EQ(ep.tokens[1].second, "");
        }
    }
    EXPECT_EQ(levels.size(), 7u);  // all different
    for (const Endpoint& a : eps)
        for (const Endpoint& b : eps)
            if (a.mode > b.mode) {
                EXPECT_GT(a.level, b.level);
            }
}

TEST_F(SecureSessionTest, EndpointListFollowsTheSettings) {
    struct Case {
        const char* name;
        std::function<void(ServerConfig&)> set;
        size_t endpoints;
        size_t tokensOnNone;
    };
    const std::vector<Case> cases = {
        {"no trust store: None only", [](ServerConfig& c) { c.trust = nullptr; }, 1, 1},
        {"no trust, clear passwords allowed",
         [](ServerConfig& c) {
             c.trust = nullptr;
             c.allowClearPasswords = true;
         },
         1, 2},
        {"one policy one mode",
         [](ServerConfig& c) {
             c.securityPolicies = {SecurityPolicy::Aes256_Sha256_RsaPss};
             c.securityModes = {SecurityMode::SignAndEncrypt};
         },
         1, 0},
        {"no anonymous", [](ServerConfig& c) { c.allowAnonymous = false; }, 7, 1},
        {"no users", [](ServerConfig& c) { c.users = nullptr; }, 7, 1},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(k.name);
        config = ServerConfig{};
        backend = FakeBackend{};
        transport = FakeTransport{};
        Start();
        k.set(config);
        engine = std::make_unique<Engine>(backend, config, transport);
        engine->Build();
        EngineClient c{*engine, transport, 1, now, {}, {}};
        ASSERT_TRUE(c.Connect());
        auto m = c.Call(kGetEndpoints, [](Encoder& e) {
            e.NullString();
            e.ArrayLength(0);
            e.ArrayLength(0);
        });
        Decoder d(m.body);
        ReadResponseHeader(d);
        const int32_t n = d.Int32();
        EXPECT_EQ(static_cast<size_t>(n), k.endpoints);
        for (int32_t i = 0; i < n; ++i) {
            const Endpoint ep = ReadEndpoint(d);
            if (ep.mode == 1) {
                EXPECT_EQ(ep.tokens.size(), k.tokensOnNone);
            }
        }
    }
}

TEST_F(SecureSessionTest, SignaturesBothWaysAndUserNamesUnderEveryPolicy) {
    Start();
    uint64_t conn = 1;
    for (SecurityPolicy policy : {SecurityPolicy::Basic256Sha256, SecurityPolicy::Aes128_Sha256_RsaOaep,
                                  SecurityPolicy::Aes256_Sha256_RsaPss}) {
        SCOPED_TRACE(std::string(PolicyName(policy)));
        SecureClient c = Open(policy, SecurityMode::Sign, conn++);
        const auto& p = *crypto::Params(policy);
        const std::string nonce(40, 'c');
        Created cs =
            ReadCreate(c.Call(kCreateSession, CreateBody(nonce, ClientCert())), &c.authenticationToken);
        ASSERT_EQ(cs.status, status::Good);
        EXPECT_EQ(cs.serverCertificate, trust->OwnCertificateDer());
        EXPECT_EQ(cs.algorithm, p.signatureUri);
        EXPECT_TRUE(crypto::Verify(p, crypto::RsaKey::FromCertificate(cs.serverCertificate),
                                   ClientCert() + nonce, cs.signature));
        EXPECT_EQ(cs.serverNonce.size(), 32u);
        EXPECT_EQ(cs.endpoints.size(), 7u);

        // A signature over another nonce is refused; the right one is accepted.
        const std::string wrong =
            *crypto::Sign(p, ClientKey(), trust->OwnCertificateDer() + std::string(32, 'x'));
        EXPECT_EQ(Status(c.Call(kActivateSession, ActivateBody(wrong, Anonymous()))),
                  status::BadApplicationSignatureInvalid);
        const std::string sig = *crypto::Sign(p, ClientKey(), trust->OwnCertificateDer() + cs.serverNonce);
        const std::string secret = Secret(policy, "пароль", cs.serverNonce);
        const std::string reply =
            c.Call(kActivateSession,
                   ActivateBody(sig, UserName("username", "op", secret, std::string(p.encryptionUri))));
        ASSERT_EQ(Status(reply), status::Good);
        Decoder d(reply);
        ReadResponseHeader(d);
        EXPECT_EQ(d.StringValue().size(), 32u);  // a new server nonce
    }
}

TEST_F(SecureSessionTest, CreateSessionRefusals) {
    Start();
    const crypto::RsaKey otherKey = crypto::RsaKey::Generate(2048);
    const std::string otherCert = crypto::MakeSelfSigned(otherKey, "other", kClientUri);
    struct Case {
        const char* name;
        std::string nonce;
        std::string cert;
        std::string uri;
        StatusCode expected;
    };
    const std::vector<Case> cases = {
        {"nonce 31 bytes", std::string(31, 'n'), ClientCert(), kClientUri, status::BadNonceInvalid},
        {"nonce 129 bytes", std::string(129, 'n'), ClientCert(), kClientUri, status::BadNonceInvalid},
        {"nonce 128 bytes", std::string(128, 'n'), ClientCert(), kClientUri, status::Good},
        {"another certificate than the channel's", std::string(32, 'n'), otherCert, kClientUri,
         status::BadCertificateInvalid},
        {"no certificate", std::string(32, 'n'), "", kClientUri, status::BadCertificateInvalid},
        {"application URI not the certificate's", std::string(32, 'n'), ClientCert(), "urn:someone:else",
         status::BadCertificateUriInvalid},
    };
    uint64_t conn = 1;
    for (const Case& k : cases) {
        SCOPED_TRACE(k.name);
        SecureClient c = Open(SecurityPolicy::Basic256Sha256, SecurityMode::SignAndEncrypt, conn++);
        NodeId token;
        EXPECT_EQ(ReadCreate(c.Call(kCreateSession, CreateBody(k.nonce, k.cert, k.uri)), &token).status,
                  k.expected);
    }
}

TEST_F(SecureSessionTest, PasswordsOverNone) {
    Start();
    EngineClient c{*engine, transport, 1, now, {}, {}};
    ASSERT_TRUE(c.Connect());
    NodeId token;
    auto created = c.Call(kCreateSession, CreateBody(std::string(32, 'n'), ""));
    Created cs = ReadCreate(created.body, &token);
    ASSERT_EQ(cs.status, status::Good);
    // The certificate travels over None so that the client can encrypt its password.
    EXPECT_EQ(cs.serverCertificate, trust->OwnCertificateDer());
    EXPECT_TRUE(cs.signature.empty());
    c.codec.authenticationToken = token;
    const std::string oaep = std::string(crypto::Params(SecurityPolicy::Basic256Sha256)->encryptionUri);
    // In clear: refused.
    auto m =
        c.Call(kActivateSession, ActivateBody("", UserName("username_basic256sha256", "op", "пароль", "")));
    EXPECT_EQ(Status(m.body), status::BadIdentityTokenRejected);
    // Encrypted with a stale nonce: invalid.
    m = c.Call(
        kActivateSession,
        ActivateBody("",
                     UserName("username_basic256sha256", "op",
                              Secret(SecurityPolicy::Basic256Sha256, "пароль", std::string(32, 's')), oaep)));
    EXPECT_EQ(Status(m.body), status::BadIdentityTokenInvalid);
    // Under another algorithm than the token policy's: invalid.
    m = c.Call(kActivateSession,
               ActivateBody("", UserName("username_basic256sha256", "op",
                                         Secret(SecurityPolicy::Basic256Sha256, "пароль", cs.serverNonce),
                                         "http://opcfoundation.org/UA/security/rsa-oaep-sha2-256")));
    EXPECT_EQ(Status(m.body), status::BadIdentityTokenInvalid);
    // A policy id this endpoint does not offer (the secured endpoints' one, or none at all).
    for (const char* id : {"username", "u", "anonymous"}) {
        m = c.Call(kActivateSession,
                   ActivateBody(
                       "", UserName(id, "op",
                                    Secret(SecurityPolicy::Basic256Sha256, "пароль", cs.serverNonce), oaep)));
        EXPECT_EQ(Status(m.body), status::BadIdentityTokenInvalid) << id;
    }
    // Right.
    m = c.Call(
        kActivateSession,
        ActivateBody("", UserName("username_basic256sha256", "op",
                                  Secret(SecurityPolicy::Basic256Sha256, "пароль", cs.serverNonce), oaep)));
    EXPECT_EQ(Status(m.body), status::Good);
}

TEST_F(SecureSessionTest, ClearPasswordOverNoneWhenAllowed) {
    config.allowClearPasswords = true;
    Start();
    EngineClient c{*engine, transport, 1, now, {}, {}};
    ASSERT_TRUE(c.Connect());
    ASSERT_EQ(c.CreateSession(), status::Good);
    auto m =
        c.Call(kActivateSession, ActivateBody("", UserName("username_basic256sha256", "op", "пароль", "")));
    EXPECT_EQ(Status(m.body), status::Good);
}

TEST_F(SecureSessionTest, WrongPasswordIsAnsweredLateAndCounted) {
    Start();
    SecureClient c = Open();
    NodeId token;
    Created cs = ReadCreate(c.Call(kCreateSession, CreateBody(std::string(32, 'n'), ClientCert())), &token);
    ASSERT_EQ(cs.status, status::Good);
    c.authenticationToken = token;
    const auto& p = *crypto::Params(SecurityPolicy::Basic256Sha256);
    const std::string sig = *crypto::Sign(p, ClientKey(), trust->OwnCertificateDer() + cs.serverNonce);
    const std::string secret = Secret(SecurityPolicy::Basic256Sha256, "wrong", cs.serverNonce);
    EXPECT_EQ(engine->FailedLogins(), 0u);
    const std::string reply = c.Feed(
        c.RequestChunk(kActivateSession,
                       ActivateBody(sig, UserName("username", "op", secret, std::string(p.encryptionUri)))));
    EXPECT_TRUE(reply.empty());  // not yet
    EXPECT_EQ(engine->FailedLogins(), 1u);
    // The timer is due at the delay, not before; other channels are served meanwhile.
    Millis next = engine->Tick(now);
    EXPECT_LE(next, now + kFailedLoginDelayMs);
    SecureClient other = Open(SecurityPolicy::Basic256Sha256, SecurityMode::SignAndEncrypt, 2);
    EXPECT_FALSE(other
                     .Call(kGetEndpoints,
                           [](Encoder& e) {
                               e.NullString();
                               e.ArrayLength(0);
                               e.ArrayLength(0);
                           })
                     .empty());
    now += kFailedLoginDelayMs - 1;
    engine->Tick(now);
    EXPECT_TRUE(transport.out[1].empty());
    now += 1;
    engine->Tick(now);
    const auto messages = c.Messages(transport.Take(1));
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(Status(messages[0]), status::BadUserAccessDenied);
    // An unknown user is the same failure.
    const std::string secret2 = Secret(SecurityPolicy::Basic256Sha256, "пароль", cs.serverNonce);
    c.Feed(c.RequestChunk(kActivateSession, ActivateBody(sig, UserName("username", "nobody", secret2,
                                                                       std::string(p.encryptionUri)))));
    EXPECT_EQ(engine->FailedLogins(), 2u);
}

// Password guessing cannot take the network thread: beyond the allowance of password checks, a
// login is refused like a wrong password without hashing, and the allowance comes back with time.
TEST_F(SecureSessionTest, PasswordChecksBeyondTheAllowanceAreRefusedWithoutHashing) {
    struct CountingUsers : TestUserDirectory {
        int checks = 0;
        bool Check(std::string_view user, std::string_view password) override {
            ++checks;
            return TestUserDirectory::Check(user, password);
        }
    };
    auto counting = std::make_shared<CountingUsers>();
    users = counting;  // Start adds the user "op"
    Start();
    SecureClient c = Open();
    NodeId token;
    Created cs = ReadCreate(c.Call(kCreateSession, CreateBody(std::string(32, 'n'), ClientCert())), &token);
    ASSERT_EQ(cs.status, status::Good);
    c.authenticationToken = token;
    const auto& p = *crypto::Params(SecurityPolicy::Basic256Sha256);
    const std::string sig = *crypto::Sign(p, ClientKey(), trust->OwnCertificateDer() + cs.serverNonce);
    const auto attempt = [&](const std::string& password) {
        const std::string secret = Secret(SecurityPolicy::Basic256Sha256, password, cs.serverNonce);
        return c.Feed(c.RequestChunk(
            kActivateSession,
            ActivateBody(sig, UserName("username", "op", secret, std::string(p.encryptionUri)))));
    };
    const int burst = static_cast<int>(kPasswordCheckBurst);
    for (int i = 0; i < burst + 4; ++i) attempt("guess" + std::to_string(i));
    EXPECT_EQ(counting->checks, burst);
    EXPECT_EQ(engine->PasswordChecksRefused(), 4u);
    EXPECT_EQ(engine->FailedLogins(), static_cast<uint64_t>(burst + 4));
    // Every attempt is answered, late, with the same status.
    now += kFailedLoginDelayMs;
    engine->Tick(now);
    const auto answers = c.Messages(transport.Take(1));
    ASSERT_EQ(answers.size(), static_cast<size_t>(burst + 4));
    for (const std::string& m : answers) EXPECT_EQ(Status(m), status::BadUserAccessDenied);
    // A quarter of a second later the right password is checked again, and passes.
    now += static_cast<Millis>(1000 / kPasswordChecksPerSecond);
    const std::string reply = attempt("пароль");
    EXPECT_EQ(counting->checks, burst + 1);
    const auto ok = c.Messages(reply);
    ASSERT_EQ(ok.size(), 1u);
    EXPECT_EQ(Status(ok[0]), status::Good);
}

TEST_F(SecureSessionTest, AnonymousRefusedWhenNotAllowed) {
    config.allowAnonymous = false;
    Start();
    SecureClient c = Open();
    NodeId token;
    Created cs = ReadCreate(c.Call(kCreateSession, CreateBody(std::string(32, 'n'), ClientCert())), &token);
    ASSERT_EQ(cs.status, status::Good);
    c.authenticationToken = token;
    const auto& p = *crypto::Params(SecurityPolicy::Basic256Sha256);
    const std::string sig = *crypto::Sign(p, ClientKey(), trust->OwnCertificateDer() + cs.serverNonce);
    EXPECT_EQ(Status(c.Call(kActivateSession, ActivateBody(sig, Anonymous()))),
              status::BadIdentityTokenRejected);
}

TEST_F(SecureSessionTest, SessionsOnNoneRefusedWhenNoneIsNotOffered) {
    config.securityPolicies = {SecurityPolicy::Basic256Sha256};
    Start();
    EngineClient c{*engine, transport, 1, now, {}, {}};
    ASSERT_TRUE(c.Connect());  // discovery still works
    EXPECT_EQ(c.CreateSession(), status::BadSecurityPolicyRejected);
}

// ---- one hostile peer against the others (passwords over None, sessions per address)

struct NoneLogin : SecureSessionTest {
    std::deque<EngineClient> clients;
    EngineClient& Client(const std::string& peer) {
        clients.push_back(EngineClient{*engine, transport, clients.size() + 1, now, {}, {}, peer});
        EngineClient& c = clients.back();
        EXPECT_TRUE(c.Connect());
        return c;
    }
    // CreateSession; the server nonce the next password must carry.
    std::string Create(EngineClient& c) {
        NodeId token;
        const Created cs =
            ReadCreate(c.Call(kCreateSession, CreateBody(std::string(32, 'n'), "")).body, &token);
        EXPECT_EQ(cs.status, status::Good);
        c.codec.authenticationToken = token;
        return cs.serverNonce;
    }
    // ActivateSession with user "op" and an encrypted secret; a late answer is waited for.
    StatusCode Login(EngineClient& c, const std::string& secret) {
        const std::string oaep(crypto::Params(SecurityPolicy::Basic256Sha256)->encryptionUri);
        auto m = c.Call(kActivateSession,
                        ActivateBody("", UserName("username_basic256sha256", "op", secret, oaep)));
        if (!m.body.empty()) return Status(m.body);
        now += kFailedLoginDelayMs;
        engine->Tick(now);
        const auto late = c.reader.Feed(transport.Take(c.conn));
        return late.size() == 1 ? Status(late[0].body) : status::Bad;
    }
    StatusCode Login(EngineClient& c, const std::string& password, const std::string& nonce) {
        return Login(c, Secret(SecurityPolicy::Basic256Sha256, password, nonce));
    }
};

// A secret longer than a password needs is refused at once, without decrypting it; a secret that
// decrypts but is refused (stale nonce) still counts against the peer's allowance.
TEST_F(NoneLogin, OversizedSecretsAreNotDecryptedAndEveryDecryptionCounts) {
    Start();
    EngineClient& c = Client("10.0.0.1");
    const std::string nonce = Create(c);
    const std::string threeBlocks = Secret(SecurityPolicy::Basic256Sha256, std::string(500, 'p'), nonce);
    ASSERT_EQ(threeBlocks.size(), 3u * 256);  // 2048-bit key
    for (int i = 0; i < 2 * kPasswordCheckBurst; ++i) {
        auto m = c.Call(
            kActivateSession,
            ActivateBody(
                "", UserName("username_basic256sha256", "op", threeBlocks,
                             std::string(crypto::Params(SecurityPolicy::Basic256Sha256)->encryptionUri))));
        ASSERT_EQ(Status(m.body), status::BadIdentityTokenInvalid) << i;  // at once, not late
    }
    EXPECT_EQ(engine->PasswordChecksRefused(), 0u);
    EXPECT_EQ(Login(c, "пароль", nonce), status::Good);  // nothing of the allowance was spent
    const std::string fresh = Create(c);
    // One check went to the right password; the rest of the burst goes to stale nonces.
    for (int i = 1; i < kPasswordCheckBurst; ++i)
        EXPECT_EQ(Login(c, "пароль", std::string(32, 's')), status::BadIdentityTokenInvalid);
    EXPECT_EQ(Login(c, "пароль", fresh), status::BadUserAccessDenied);  // spent on the stale ones
}

// A peer guessing passwords spends its own allowance, not that of another address.
TEST_F(NoneLogin, AGuessingPeerSlowsOnlyItself) {
    Start();
    EngineClient& attacker = Client("10.0.0.1");
    EngineClient& good = Client("10.0.0.2");
    const std::string an = Create(attacker);
    const std::string gn = Create(good);
    // Sent at once, answered late: a burst and then some, within the time-out of the channel.
    const std::string oaep(crypto::Params(SecurityPolicy::Basic256Sha256)->encryptionUri);
    for (int i = 0; i < 3 * kPasswordCheckBurst; ++i)
        attacker.Call(kActivateSession,
                      ActivateBody("", UserName("username_basic256sha256", "op",
                                                Secret(SecurityPolicy::Basic256Sha256, "guess", an), oaep)));
    EXPECT_GT(engine->PasswordChecksRefused(), 0u);
    EXPECT_EQ(Login(good, "пароль", gn), status::Good);
}

// Password checks handed to an executor, run when the test says.
struct QueuedChecks : PasswordCheckExecutor {
    std::deque<std::pair<uint64_t, std::function<bool()>>> jobs;
    void Run(uint64_t ticket, std::function<bool()> check) override {
        jobs.emplace_back(ticket, std::move(check));
    }
    void CompleteFirst(Engine& engine, Millis now) {
        auto [ticket, check] = std::move(jobs.front());
        jobs.pop_front();
        engine.CompletePasswordCheck(ticket, check(), now);
    }
};

constexpr uint32_t kCloseSession = 473;

// With an executor the password is checked off the engine's thread, and ActivateSession is answered
// when the result comes back, under its own request id and in the channel's sequence, whatever the
// channel did meanwhile.
TEST_F(NoneLogin, ActivationIsAnsweredWhenThePasswordCheckComesBack) {
    struct Case {
        const char* name;
        const char* password;
        std::function<void(EngineClient&, const std::string& nonce)> meanwhile;
        std::optional<StatusCode> answer;  // none: no answer at all
        bool activated;
    };
    const auto getEndpoints = [](EngineClient& c, const std::string&) {
        const auto m = c.Call(kGetEndpoints, [](Encoder& e) {
            e.NullString();
            e.ArrayLength(0);
            e.ArrayLength(0);
        });
        EXPECT_EQ(m.requestId, c.codec.requestId);  // answered before the activation
    };
    const std::vector<Case> cases = {
        {"right password", "пароль", nullptr, status::Good, true},
        {"wrong password, answered late", "guess", nullptr, status::BadUserAccessDenied, false},
        {"another request answered first", "пароль", getEndpoints, status::Good, true},
        {"a second activation of the session is refused", "пароль",
         [this](EngineClient& c, const std::string& nonce) {
             EXPECT_EQ(Login(c, "пароль", nonce), status::BadInvalidState);
         },
         status::Good, true},
        {"session closed meanwhile", "пароль",
         [this](EngineClient& c, const std::string&) {
             EXPECT_EQ(Status(c.Call(kCloseSession, [](Encoder& e) { e.Boolean(true); }).body), status::Good);
         },
         status::BadSessionIdInvalid, false},
        {"channel closed meanwhile: no answer", "пароль",
         [this](EngineClient& c, const std::string&) {
             engine->Disconnected(c.conn);
             // The check no longer holds the session: another channel gets the session's own answer.
             EngineClient& again = Client("10.0.3.99");
             again.codec.authenticationToken = c.codec.authenticationToken;
             EXPECT_EQ(again.Activate(), status::BadSessionIdInvalid);
         },
         std::nullopt, false},
    };
    Start();
    QueuedChecks checks;
    engine->SetPasswordCheckExecutor(&checks);
    int peer = 0;
    for (const Case& k : cases) {
        SCOPED_TRACE(k.name);
        EngineClient& c = Client("10.0.3." + std::to_string(++peer));
        const std::string nonce = Create(c);
        const std::string oaep(crypto::Params(SecurityPolicy::Basic256Sha256)->encryptionUri);
        const auto sent = c.Send(c.codec.Request(
            kActivateSession,
            ActivateBody("", UserName("username_basic256sha256", "op",
                                      Secret(SecurityPolicy::Basic256Sha256, k.password, nonce), oaep))));
        const uint32_t activateId = c.codec.requestId;
        EXPECT_TRUE(sent.empty());
        ASSERT_EQ(checks.jobs.size(), 1u);
        if (k.meanwhile) k.meanwhile(c, nonce);
        checks.CompleteFirst(*engine, now);
        now += kFailedLoginDelayMs;
        engine->Tick(now);
        const auto late = c.reader.Feed(transport.Take(c.conn));
        if (!k.answer) {
            EXPECT_TRUE(late.empty());
        } else {
            ASSERT_EQ(late.size(), 1u);
            EXPECT_EQ(late[0].requestId, activateId);
            EXPECT_EQ(Status(late[0].body), *k.answer);
        }
        EXPECT_TRUE(c.reader.sequenceOk);
        const Session* s = engine->FindSession(c.codec.authenticationToken);
        EXPECT_EQ(s && s->activated, k.activated);
        EXPECT_EQ(s && s->userName == "op", k.activated);
        EXPECT_EQ(engine->PendingPasswordChecks(), 0u);
    }
}

// The checks waiting for the worker stay within the allowance of all peers together, even when the
// allowance has refilled before the worker caught up.
TEST_F(NoneLogin, QueuedPasswordChecksStayWithinTheAllowance) {
    Start();
    QueuedChecks checks;
    engine->SetPasswordCheckExecutor(&checks);
    const std::string oaep(crypto::Params(SecurityPolicy::Basic256Sha256)->encryptionUri);
    const auto send = [&](EngineClient& c) {
        const std::string nonce = Create(c);
        c.Send(c.codec.Request(
            kActivateSession,
            ActivateBody("", UserName("username_basic256sha256", "op",
                                      Secret(SecurityPolicy::Basic256Sha256, "guess", nonce), oaep))));
    };
    const size_t perPeer = static_cast<size_t>(kPasswordCheckBurst);
    for (size_t peer = 0; peer * perPeer < kMaxPendingPasswordChecks; ++peer) {
        EngineClient& c = Client("10.0.4." + std::to_string(peer));
        for (size_t i = 0; i < perPeer; ++i) send(c);
    }
    EXPECT_EQ(checks.jobs.size(), kMaxPendingPasswordChecks);
    EXPECT_EQ(engine->PasswordChecksRefused(), 0u);
    now += 10000;  // every allowance full again; the worker still busy
    EngineClient& late = Client("10.0.5.1");
    send(late);
    EXPECT_EQ(checks.jobs.size(), kMaxPendingPasswordChecks);
    EXPECT_EQ(engine->PasswordChecksRefused(), 1u);
    checks.CompleteFirst(*engine, now);
    send(late);
    EXPECT_EQ(checks.jobs.size(), kMaxPendingPasswordChecks);
    EXPECT_EQ(engine->PasswordChecksRefused(), 1u);
}

// Ids and tokens come from the system's generator unless the engine is seeded (replays).
TEST(SessionIds, UnseededTablesDrawFromTheSystemGenerator) {
    SessionTable a(0), b(0), seeded1(7), seeded2(7);
    EXPECT_NE(a.RandomBytes(32), b.RandomBytes(32));
    EXPECT_EQ(seeded1.RandomBytes(32), seeded2.RandomBytes(32));
}

// A session is activated first on its own channel; a user's session moves to another channel
// only with that user's password again.
TEST_F(NoneLogin, ASessionMovesOnlyWithItsIdentity) {
    Start();
    EngineClient& owner = Client("10.0.0.1");
    EngineClient& other = Client("10.0.0.2");
    const std::string nonce = Create(owner);
    other.codec.authenticationToken = owner.codec.authenticationToken;
    EXPECT_EQ(other.Activate(), status::BadSessionIdInvalid);  // not activated yet: not from elsewhere
    ASSERT_EQ(Login(owner, "пароль", nonce), status::Good);
    EXPECT_EQ(other.Activate(), status::BadIdentityTokenRejected);  // anonymous takeover of a user's session
    EXPECT_EQ(owner.Activate(), status::Good);                      // the owner may go anonymous itself
    EngineClient& third = Client("10.0.0.1");
    third.codec.authenticationToken = owner.codec.authenticationToken;
    EXPECT_EQ(third.Activate(), status::Good);  // an anonymous session moves (reconnect)
}

// One address holds a quarter of the table; the others still get sessions, and a secured client
// finds room in a table full of anonymous None sessions.
TEST_F(NoneLogin, OnePeerCannotFillTheSessionTable) {
    config.maxSessions = 40;
    Start();
    EngineClient& hog = Client("10.0.0.1");
    int created = 0;
    while (created < 50 && hog.CreateSession() == status::Good && hog.Activate() == status::Good) ++created;
    EXPECT_EQ(created, 10);
    for (int peer = 2; peer <= 4; ++peer) {
        EngineClient& c = Client("10.0.0." + std::to_string(peer));
        for (int i = 0; i < 10; ++i) {
            ASSERT_EQ(c.CreateSession(), status::Good);
            ASSERT_EQ(c.Activate(), status::Good);
        }
    }
    EXPECT_EQ(engine->SessionCount(), 40u);
    EXPECT_EQ(Client("10.0.0.5").CreateSession(), status::BadTooManySessions);
    SecureClient secured = Open(SecurityPolicy::Basic256Sha256, SecurityMode::SignAndEncrypt, 100);
    NodeId token;
    EXPECT_EQ(ReadCreate(secured.Call(kCreateSession, CreateBody(std::string(32, 'n'), ClientCert())), &token)
                  .status,
              status::Good);
    EXPECT_EQ(engine->SessionCount(), 40u);
}

// Failed logins reach the program's security log, at most kSecurityEventsPerMinute a minute; the
// ones not shown are counted in the next line.
TEST_F(NoneLogin, FailedLoginsAreReportedRateLimited) {
    std::vector<std::string> lines;
    config.securityEvent = [&](const std::string& line) { lines.push_back(line); };
    Start();
    for (int i = 0; i < kSecurityEventsPerMinute + 3; ++i) {
        EngineClient& c = Client("10.0.1." + std::to_string(i));
        EXPECT_EQ(Login(c, "guess", Create(c)), status::BadUserAccessDenied);
    }
    ASSERT_EQ(lines.size(), static_cast<size_t>(kSecurityEventsPerMinute));
    EXPECT_NE(lines[0].find("failed login from 10.0.1.0"), std::string::npos) << lines[0];
    now += 60000;
    EngineClient& c = Client("10.0.2.1");
    EXPECT_EQ(Login(c, "guess", Create(c)), status::BadUserAccessDenied);
    ASSERT_EQ(lines.size(), static_cast<size_t>(kSecurityEventsPerMinute) + 1);
    EXPECT_NE(lines.back().find("(3 more not shown)"), std::string::npos) << lines.back();
}

}  // namespace
