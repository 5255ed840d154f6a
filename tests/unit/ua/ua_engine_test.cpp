// The protocol engine driven without sockets: transport framing, limits, sessions, services.
#include <gtest/gtest.h>

#include "tests/unit/ua/ua_fakes.h"
#include "ua/engine/engine.h"

using namespace qora::ua;
using namespace qora::ua::testing;

namespace {

class EngineTest : public ::testing::Test {
  protected:
    void Start(int items = 5) {
        for (int i = 0; i < items; ++i) backend.AddItem("item" + std::to_string(i), static_cast<float>(i));
        engine = std::make_unique<Engine>(backend, config, transport);
        engine->Build();
    }
    EngineClient Client(uint64_t conn = 1) { return EngineClient{*engine, transport, conn, now, {}, {}}; }

    FakeBackend backend;
    ServerConfig config;
    FakeTransport transport;
    std::unique_ptr<Engine> engine;
    Millis now = 100000;
};

void WriteReadValue(Encoder& e, const NodeId& n, uint32_t attr = AttrValue) {
    e.Node(n);
    e.UInt32(attr);
    e.NullString();
    e.Qualified({});
}

BodyWriter ReadBody(std::vector<NodeId> nodes, double maxAge = 0, uint32_t ts = 2) {
    return [nodes, maxAge, ts](Encoder& e) {
        e.Double(maxAge);
        e.UInt32(ts);
        e.ArrayLength(static_cast<int32_t>(nodes.size()));
        for (const NodeId& n : nodes) WriteReadValue(e, n);
    };
}

std::vector<DataValue> ReadResults(const ServerMessage& m, ResponseHeader* header = nullptr) {
    Decoder d(m.body);
    const ResponseHeader h = ReadResponseHeader(d);
    if (header) *header = h;
    std::vector<DataValue> out;
    if (h.typeId != id::ResponseOf(id::Read)) return out;
    for (size_t i = 0, n = d.ArrayCount(1, 1); i < n; ++i) out.push_back(d.Data());
    return out;
}

NodeId Item(const std::string& s) {
    return NodeId::String(1, s);
}

}  // namespace

TEST_F(EngineTest, HelloIsAnsweredWithEqualBufferSizesAtTheSmallerSide) {
    Start();
    auto c = Client();
    ASSERT_TRUE(engine->Accept(1, now));
    auto msgs = c.Send(c.codec.Hello("opc.tcp://x:1", 65535, 16384));
    ASSERT_EQ(msgs.size(), 1u);
    ASSERT_EQ(msgs[0].type, "ACK");
    Decoder d(msgs[0].body);
    EXPECT_EQ(d.UInt32(), 0u);
    EXPECT_EQ(d.UInt32(), 16384u);
    EXPECT_EQ(d.UInt32(), 16384u);
    EXPECT_EQ(d.UInt32(), config.maxMessageSize);
    EXPECT_EQ(d.UInt32(), config.maxChunkCount);
}

TEST_F(EngineTest, MalformedHandshakesGetErrAndAClosedConnection) {
    Start();
    struct Case {
        const char* name;
        std::function<std::string(ClientCodec&)> bytes;
        StatusCode error;
    };
    const std::vector<Case> cases = {
        {"buffer below 8192", [](ClientCodec& c) { return c.Hello("u", 4096, 65535); },
         status::BadConnectionRejected},
        {"MSG before HEL", [](ClientCodec& c) { return c.Request(631, nullptr); },
         status::BadTcpMessageTypeInvalid},
        {"endpoint URL too long", [](ClientCodec& c) { return c.Hello(std::string(5000, 'u')); },
         status::BadTcpEndpointUrlInvalid},
        {"HEL larger than 8192", [](ClientCodec& c) { return c.Hello(std::string(9000, 'u')); },
         status::BadTcpMessageTooLarge},
        {"chunk size below header", [](ClientCodec&) { return std::string("HELF\x04\x00\x00\x00", 8); },
         status::BadTcpMessageTooLarge},
        {"truncated HEL body",
         [](ClientCodec&) { return ClientCodec::Frame("HEL", 'F', std::string(6, '\0')); },
         status::BadDecodingError},
    };
    uint64_t conn = 10;
    for (const Case& cs : cases) {
        auto c = Client(++conn);
        ASSERT_TRUE(engine->Accept(conn, now));
        auto msgs = c.Send(cs.bytes(c.codec));
        ASSERT_EQ(msgs.size(), 1u) << cs.name;
        EXPECT_EQ(msgs[0].type, "ERR") << cs.name;
        EXPECT_EQ(msgs[0].error, cs.error) << cs.name;
        EXPECT_TRUE(c.Closed()) << cs.name;
    }
    EXPECT_EQ(engine->ConnectionCount(), 0u);
    EXPECT_EQ(backend.calls["ChannelOpened"], 0);
}

TEST_F(EngineTest, OpenRefusesOtherSecurityPoliciesAndModes) {
    Start();
    auto a = Client(1);
    ASSERT_TRUE(engine->Accept(1, now));
    a.Send(a.codec.Hello("u"));
    auto m = a.Send(a.codec.Open(0, 600000, "http://opcfoundation.org/UA/SecurityPolicy#Basic256Sha256"));
    ASSERT_EQ(m.size(), 1u);
    EXPECT_EQ(m[0].error, status::BadSecurityPolicyRejected);
    auto b = Client(2);
    ASSERT_TRUE(engine->Accept(2, now));
    b.Send(b.codec.Hello("u"));
    m = b.Send(b.codec.Open(0, 600000, kPolicyNone, 3));
    ASSERT_EQ(m.size(), 1u);
    EXPECT_EQ(m[0].error, status::BadSecurityModeRejected);
}

TEST_F(EngineTest, AnOpenNamingAnotherPolicyIsRefusedOnItsPolicyUriBeforeTheSignedPartIsDecoded) {
    Start();
    // What a client of Basic256Sha256 sends: its certificate, the thumbprint of ours, then a
    // sequence header and body that are encrypted (bytes that do not decode as a request).
    std::string certificate(1200, '\x30'), thumbprint(20, '\x5A'), encrypted;
    for (int i = 0; i < 512; ++i) encrypted.push_back(static_cast<char>((i * 151 + 7) & 0xFF));
    struct Case {
        const char* name;
        std::string payload;
    };
    auto head = [](const char* policy) {
        std::string p;
        Encoder e(p);
        e.UInt32(0);
        e.String(std::string_view(policy));
        return p;
    };
    std::string full = head("http://opcfoundation.org/UA/SecurityPolicy#Basic256Sha256");
    {
        Encoder e(full);
        e.ByteString(certificate);
        e.ByteString(thumbprint);
        e.Raw(encrypted.data(), encrypted.size());
    }
    const std::vector<Case> cases = {
        {"signed and encrypted", full},
        {"nothing after the policy URI",
         head("http://opcfoundation.org/UA/SecurityPolicy#Aes256_Sha256_RsaPss")},
        {"empty policy URI", head("")},
    };
    uint64_t conn = 10;
    for (const Case& cs : cases) {
        auto c = Client(++conn);
        ASSERT_TRUE(engine->Accept(conn, now));
        c.Send(c.codec.Hello("opc.tcp://h:1"));
        auto m = c.Send(ClientCodec::Frame("OPN", 'F', cs.payload));
        ASSERT_EQ(m.size(), 1u) << cs.name;
        EXPECT_EQ(m[0].type, "ERR") << cs.name;
        EXPECT_EQ(m[0].error, status::BadSecurityPolicyRejected) << cs.name;
        EXPECT_EQ(m[0].error, 0x80550000u) << cs.name;
        EXPECT_TRUE(c.Closed()) << cs.name;
    }
    EXPECT_EQ(engine->ConnectionCount(), 0u);
    EXPECT_EQ(backend.calls["ChannelOpened"], 0);
}

TEST_F(EngineTest, SequenceNumbersAdvanceByOnePerChunkFromOpenOnAndIdsAreEchoed) {
    Start(2000);
    auto c = Client();
    ASSERT_TRUE(c.Connect("opc.tcp://h:1", 8192));
    EXPECT_EQ(c.reader.lastSequence, 1u);  // the OPN response is the first chunk
    ASSERT_EQ(c.CreateSession(), status::Good);
    ASSERT_EQ(c.Activate(), status::Good);
    std::vector<NodeId> nodes;
    for (int i = 0; i < 2000; ++i) nodes.push_back(Item("item" + std::to_string(i)));
    // A request of 2000 reads cut into 8192-byte chunks; the answer comes in several chunks.
    auto msgs = c.Send(c.codec.Request(id::Read, ReadBody(nodes, 1e9), 8192));
    ASSERT_EQ(msgs.size(), 1u);
    EXPECT_GT(msgs[0].chunks, 1u);
    EXPECT_EQ(msgs[0].requestId, c.codec.requestId);
    ResponseHeader h;
    auto results = ReadResults(msgs[0], &h);
    EXPECT_EQ(h.requestHandle, c.codec.requestHandle);
    ASSERT_EQ(results.size(), 2000u);
    EXPECT_FLOAT_EQ(std::get<float>(results[1999].value.scalar), 1999.0f);
    EXPECT_TRUE(c.reader.sequenceOk);
    EXPECT_EQ(c.reader.lastSequence, 3u + msgs[0].chunks);
}

TEST_F(EngineTest, ResponsesAreCutIntoChunksOfTheNegotiatedSize) {
    Start(2000);
    auto c = Client();
    ASSERT_TRUE(engine->Accept(1, now));
    c.Send(c.codec.Hello("u", 8192, 8192));
    auto opn = c.Send(c.codec.Open());
    Decoder d(opn[0].body);
    ReadResponseHeader(d);
    d.UInt32();
    c.codec.channelId = d.UInt32();
    c.codec.tokenId = d.UInt32();
    ASSERT_EQ(c.CreateSession(), status::Good);
    ASSERT_EQ(c.Activate(), status::Good);
    std::vector<NodeId> nodes;
    for (int i = 0; i < 2000; ++i) nodes.push_back(Item("item" + std::to_string(i)));
    auto msgs = c.Send(c.codec.Request(id::Read, ReadBody(nodes, 1e9), 8192));
    ASSERT_EQ(msgs.size(), 1u);
    EXPECT_GT(msgs[0].chunks, 3u);
    EXPECT_LE(msgs[0].maxChunkSize, 8192u);
    EXPECT_TRUE(c.reader.sequenceOk);
    EXPECT_EQ(ReadResults(msgs[0]).size(), 2000u);
}

TEST_F(EngineTest, ChunkCountAndMessageSizeLimitsCloseTheChannel) {
    config.maxChunkCount = 2;
    Start(2000);
    auto c = Client();
    ASSERT_TRUE(c.Connect());
    std::vector<NodeId> nodes;
    for (int i = 0; i < 2000; ++i) nodes.push_back(Item("item" + std::to_string(i)));
    auto msgs = c.Send(c.codec.Request(id::Read, ReadBody(nodes), 8192));
    ASSERT_EQ(msgs.size(), 1u);
    EXPECT_EQ(msgs[0].type, "ERR");
    EXPECT_EQ(msgs[0].error, status::BadTcpMessageTooLarge);
    EXPECT_TRUE(c.Closed());
    EXPECT_EQ(backend.calls["ChannelClosed"], 1);
}

TEST_F(EngineTest, UndecodableAndUnknownRequestsGetServiceFaultsOnAnOpenChannel) {
    Start();
    auto c = Client();
    ASSERT_TRUE(c.OpenSession());
    // Unknown service (Call).
    auto m = c.Call(712, [](Encoder& e) { e.ArrayLength(0); });
    Decoder d1(m.body);
    auto h1 = ReadResponseHeader(d1);
    EXPECT_EQ(h1.typeId, id::ServiceFault);
    EXPECT_EQ(h1.serviceResult, status::BadServiceUnsupported);
    EXPECT_EQ(h1.requestHandle, c.codec.requestHandle);
    // A Read whose array claims more elements than the message holds.
    m = c.Call(id::Read, [](Encoder& e) {
        e.Double(0);
        e.UInt32(0);
        e.Int32(0x7FFFFFFF);
    });
    Decoder d2(m.body);
    auto h2 = ReadResponseHeader(d2);
    EXPECT_EQ(h2.typeId, id::ServiceFault);
    EXPECT_EQ(h2.serviceResult, status::BadDecodingError);
    EXPECT_EQ(h2.requestHandle, c.codec.requestHandle);
    // The channel still serves.
    auto ok = ReadResults(c.Call(id::Read, ReadBody({Item("item1")})));
    ASSERT_EQ(ok.size(), 1u);
    EXPECT_FALSE(c.Closed());
}

TEST_F(EngineTest, ServicesBeforeActivationAreRefused) {
    Start();
    auto c = Client();
    ASSERT_TRUE(c.Connect());
    ASSERT_EQ(c.CreateSession(), status::Good);
    ResponseHeader h;
    ReadResults(c.Call(id::Read, ReadBody({Item("item1")})), &h);
    EXPECT_EQ(h.serviceResult, status::BadSessionNotActivated);
    ASSERT_EQ(c.Activate(), status::Good);
    ReadResults(c.Call(id::Read, ReadBody({Item("item1")})), &h);
    EXPECT_EQ(h.serviceResult, status::Good);
    // A made-up authentication token.
    c.codec.authenticationToken = NodeId(1, 12345);
    ReadResults(c.Call(id::Read, ReadBody({Item("item1")})), &h);
    EXPECT_EQ(h.serviceResult, status::BadSessionIdInvalid);
}

TEST_F(EngineTest, SessionFloodStopsAtTheLimitWithBadTooManySessionsOnceEveryOneIsActivated) {
    config.maxSessions = 3;
    Start();
    auto c = Client();
    ASSERT_TRUE(c.Connect());
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(c.CreateSession(), status::Good);
        EXPECT_EQ(c.Activate(), status::Good);
    }
    EXPECT_EQ(c.CreateSession(), status::BadTooManySessions);
    EXPECT_EQ(engine->SessionCount(), 3u);
    EXPECT_EQ(backend.calls["SessionCreated"], 3);
    EXPECT_EQ(engine->Counters().rejectedSessions, 1u);
    EXPECT_EQ(engine->Counters().cumulatedSessions, 3u);
}

TEST_F(EngineTest, SessionsTimeOutAndTellTheToolkit) {
    Start();
    auto c = Client();
    ASSERT_TRUE(c.OpenSession());
    now += 59000;
    engine->Tick(now);
    EXPECT_EQ(engine->SessionCount(), 1u);
    now += 2000;
    engine->Tick(now);
    EXPECT_EQ(engine->SessionCount(), 0u);
    EXPECT_EQ(backend.calls["SessionClosed"], 1);
}

TEST_F(EngineTest, HandshakeTimeoutClosesConnectionsThatNeverSendHello) {
    config.handshakeTimeoutMs = 5000;
    config.maxChannels = 300;
    Start();
    // Four peers, each within its share of unfinished handshakes.
    for (uint64_t i = 1; i <= 60; ++i)
        ASSERT_TRUE(engine->Accept(i, now, "10.0.0." + std::to_string(i % 4))) << i;
    auto c = Client(500);
    ASSERT_TRUE(c.OpenSession());
    now += 4999;
    engine->Tick(now);
    EXPECT_EQ(engine->ConnectionCount(), 61u);
    now += 2;
    engine->Tick(now);
    EXPECT_EQ(engine->ConnectionCount(), 1u);
    EXPECT_EQ(transport.closed.size(), 60u);
    EXPECT_EQ(ReadResults(c.Call(id::Read, ReadBody({Item("item1")}))).size(), 1u);
}

TEST_F(EngineTest, ChannelLimitRefusesFurtherConnectionsOnceEveryChannelHasAnActivatedSession) {
    config.maxChannels = 2;
    Start();
    auto a = Client(1);
    auto b = Client(2);
    ASSERT_TRUE(a.OpenSession());
    ASSERT_TRUE(b.OpenSession());
    EXPECT_FALSE(engine->Accept(3, now));
    EXPECT_EQ(engine->ConnectionCount(), 2u);
    EXPECT_TRUE(transport.closed.empty());
}

TEST_F(EngineTest, TokenRenewalIssuesANewTokenAndAcceptsTheOldOneUntilSwitched) {
    Start();
    auto c = Client();
    ASSERT_TRUE(c.OpenSession());
    const uint32_t oldToken = c.codec.tokenId;
    auto opn = c.Send(c.codec.Open(1));
    ASSERT_EQ(opn.size(), 1u);
    Decoder d(opn[0].body);
    ReadResponseHeader(d);
    d.UInt32();
    EXPECT_EQ(d.UInt32(), c.codec.channelId);
    const uint32_t newToken = d.UInt32();
    EXPECT_NE(newToken, oldToken);
    d.DateTime();
    EXPECT_EQ(d.UInt32(), 600000u);
    // Still on the old token: accepted.
    EXPECT_EQ(ReadResults(c.Call(id::Read, ReadBody({Item("item1")}))).size(), 1u);
    c.codec.tokenId = newToken;
    EXPECT_EQ(ReadResults(c.Call(id::Read, ReadBody({Item("item1")}))).size(), 1u);
    // Back to the old one after switching: refused.
    c.codec.tokenId = oldToken;
    auto m = c.Send(c.codec.Request(id::Read, ReadBody({Item("item1")})));
    ASSERT_EQ(m.size(), 1u);
    EXPECT_EQ(m[0].error, status::BadSecureChannelTokenUnknown);
    EXPECT_TRUE(c.Closed());
}

TEST_F(EngineTest, OpenChecksTheRequestTypeAgainstTheChannelAndClampsTheLifetime) {
    Start();
    constexpr uint32_t kIssue = 0, kRenew = 1;
    struct Case {
        const char* name;
        bool openFirst;
        uint32_t requestType;
        uint32_t lifetime;
        uint32_t channelIdDelta;  // added to the channel id the client names
        StatusCode error;         // 0: granted
        uint32_t granted;
    };
    const std::vector<Case> cases = {
        {"lifetime 0", false, kIssue, 0, 0, 0, 600000},
        {"lifetime 1", false, kIssue, 1, 0, 0, 60000},
        {"lifetime u32 max", false, kIssue, 0xFFFFFFFFu, 0, 0, 600000},
        {"lifetime within range", false, kIssue, 300000, 0, 0, 300000},
        {"renew before issue", false, kRenew, 600000, 0, status::BadTcpMessageTypeInvalid, 0},
        {"unknown request type", false, 2, 600000, 0, status::BadTcpMessageTypeInvalid, 0},
        {"second issue", true, kIssue, 600000, 0, status::BadTcpMessageTypeInvalid, 0},
        {"renew of another channel", true, kRenew, 600000, 1, status::BadTcpSecureChannelUnknown, 0},
        {"renew with lifetime u32 max", true, kRenew, 0xFFFFFFFFu, 0, 0, 600000},
        {"renew with lifetime 0", true, kRenew, 0, 0, 0, 600000},
    };
    uint64_t conn = 100;
    for (const Case& cs : cases) {
        SCOPED_TRACE(cs.name);
        now += 1000;  // within what one peer may open per second
        auto c = Client(++conn);
        if (cs.openFirst) {
            ASSERT_TRUE(c.Connect());
        } else {
            ASSERT_TRUE(engine->Accept(conn, now));
            ASSERT_EQ(c.Send(c.codec.Hello("opc.tcp://h:1")).size(), 1u);
        }
        const uint32_t channelId = c.codec.channelId;
        const uint32_t tokenId = c.codec.tokenId;
        c.codec.channelId += cs.channelIdDelta;
        auto m = c.Send(c.codec.Open(cs.requestType, cs.lifetime));
        ASSERT_EQ(m.size(), 1u);
        if (cs.error != 0) {
            EXPECT_EQ(m[0].type, "ERR");
            EXPECT_EQ(m[0].error, cs.error);
            EXPECT_TRUE(c.Closed());
            continue;
        }
        ASSERT_EQ(m[0].type, "OPN");
        Decoder d(m[0].body);
        EXPECT_EQ(ReadResponseHeader(d).serviceResult, status::Good);
        d.UInt32();  // server protocol version
        const uint32_t grantedChannel = d.UInt32();
        const uint32_t grantedToken = d.UInt32();
        EXPECT_NE(grantedChannel, 0u);
        if (cs.openFirst) {
            EXPECT_EQ(grantedChannel, channelId);
        }
        EXPECT_NE(grantedToken, tokenId);
        d.DateTime();
        EXPECT_EQ(d.UInt32(), cs.granted);
        EXPECT_EQ(d.StringValue(), "");  // server nonce of SecurityPolicy None
        EXPECT_FALSE(c.Closed());
    }
    // Each channel told the toolkit once, renewed or not.
    EXPECT_EQ(backend.calls["ChannelOpened"], 8);
}

TEST_F(EngineTest, OutOfOrderSequenceNumberClosesTheChannel) {
    Start();
    auto c = Client();
    ASSERT_TRUE(c.OpenSession());
    c.codec.sequence += 5;
    auto m = c.Send(c.codec.Request(id::Read, ReadBody({Item("item1")})));
    ASSERT_EQ(m.size(), 1u);
    EXPECT_EQ(m[0].error, status::BadSequenceNumberInvalid);
}

TEST_F(EngineTest, ReadWithMaxAgeZeroGoesToTheDeviceAndFallsBackToTheCache) {
    Start();
    backend.samples[1].quality = 8;
    backend.samples[2].quality = 24;
    backend.samples[3].quality = 64;
    auto c = Client();
    ASSERT_TRUE(c.OpenSession());
    auto r = ReadResults(c.Call(id::Read, ReadBody({Item("item0"), Item("item1"), Item("item2"),
                                                    Item("item3"), Item("nope"), NodeId(0, id::State)})));
    ASSERT_EQ(r.size(), 6u);
    EXPECT_EQ(backend.calls["ReadDevice"], 1);
    EXPECT_EQ(r[0].status, status::Good);
    EXPECT_FALSE(r[0].hasStatus);
    EXPECT_EQ(r[1].status, status::BadNotConnected);
    EXPECT_EQ(r[2].status, status::BadNoCommunication);
    EXPECT_EQ(r[3].status, status::Bad);
    EXPECT_EQ(r[4].status, status::BadNodeIdUnknown);
    EXPECT_EQ(std::get<int64_t>(r[5].value.scalar), 0);
    EXPECT_EQ(r[0].sourceTimestamp, static_cast<int64_t>(backend.samples[0].sourceTime));
    EXPECT_TRUE(r[0].hasServerTimestamp);
    // The device leaves positions unanswered: the cache answers them.
    backend.deviceAnswers = false;
    r = ReadResults(c.Call(id::Read, ReadBody({Item("item4")})));
    ASSERT_EQ(r.size(), 1u);
    EXPECT_FLOAT_EQ(std::get<float>(r[0].value.scalar), 4.0f);
}

TEST_F(EngineTest, ReadWithMaxAgeRefreshesOnlyStaleEntriesFromTheDevice) {
    Start();
    const uint64_t fresh = static_cast<uint64_t>(UaNow());
    backend.samples[0].sourceTime = fresh;
    backend.samples[1].sourceTime = fresh - 600000000ull;  // one minute old
    auto c = Client();
    ASSERT_TRUE(c.OpenSession());
    auto r = ReadResults(c.Call(id::Read, ReadBody({Item("item0"), Item("item1")}, 10000)));
    ASSERT_EQ(r.size(), 2u);
    EXPECT_EQ(backend.calls["ReadDevice"], 0);
    EXPECT_EQ(backend.calls["RefreshFromDevice"], 1);
    EXPECT_EQ(backend.refreshed, std::vector<uint32_t>{101});
    backend.calls.clear();
    r = ReadResults(c.Call(id::Read, ReadBody({Item("item0"), Item("item1")}, 1e12)));
    EXPECT_EQ(backend.calls["RefreshFromDevice"], 0);
    EXPECT_EQ(backend.calls["ReadCache"], 1);
}

TEST_F(EngineTest, ReadRefusesNegativeMaxAgeAndInvalidTimestamps) {
    Start();
    auto c = Client();
    ASSERT_TRUE(c.OpenSession());
    ResponseHeader h;
    ReadResults(c.Call(id::Read, ReadBody({Item("item0")}, -1)), &h);
    EXPECT_EQ(h.serviceResult, status::BadMaxAgeInvalid);
    ReadResults(c.Call(id::Read, ReadBody({Item("item0")}, 0, 7)), &h);
    EXPECT_EQ(h.serviceResult, status::BadTimestampsToReturnInvalid);
    ReadResults(c.Call(id::Read, ReadBody({})), &h);
    EXPECT_EQ(h.serviceResult, status::BadNothingToDo);
}

TEST_F(EngineTest, WriteTellsTheToolkitAndAnswersBadNotWritable) {
    Start();
    auto c = Client();
    ASSERT_TRUE(c.OpenSession());
    auto m = c.Call(id::Write, [](Encoder& e) {
        e.ArrayLength(3);
        for (const NodeId& n : {Item("item2"), Item("nope"), NodeId(0, id::State)}) {
            e.Node(n);
            e.UInt32(AttrValue);
            e.NullString();
            DataValue dv;
            dv.hasValue = true;
            dv.value = Variant::Float(1);
            e.Data(dv);
        }
    });
    Decoder d(m.body);
    ASSERT_EQ(ReadResponseHeader(d).serviceResult, status::Good);
    ASSERT_EQ(d.Int32(), 3);
    EXPECT_EQ(d.Status(), status::BadNotWritable);
    EXPECT_EQ(d.Status(), status::BadNodeIdUnknown);
    EXPECT_EQ(d.Status(), status::BadNotWritable);
    EXPECT_EQ(backend.calls["Write"], 1);
    EXPECT_EQ(backend.written, std::vector<uint32_t>{102});
    EXPECT_FLOAT_EQ(backend.samples[2].value, 2.0f);
}

TEST_F(EngineTest, GetEndpointsMirrorsTheRequestedUrlWithAnAnonymousPolicy) {
    Start();
    auto c = Client();
    ASSERT_TRUE(c.Connect());
    auto m = c.Call(id::GetEndpoints, [](Encoder& e) {
        e.String(std::string_view("opc.tcp://plant-host:4840"));
        e.ArrayLength(0);
        e.ArrayLength(0);
    });
    Decoder d(m.body);
    ASSERT_EQ(ReadResponseHeader(d).serviceResult, status::Good);
    ASSERT_EQ(d.Int32(), 1);
    EXPECT_EQ(d.StringValue(), "opc.tcp://plant-host:4840");
    EXPECT_EQ(d.StringValue(), config.applicationUri);
    d.String();
    d.Text();
    EXPECT_EQ(d.UInt32(), 0u);
    d.String();
    d.String();
    ASSERT_EQ(d.Int32(), 1);
    d.String();
    EXPECT_TRUE(d.ByteString().isNull);
    EXPECT_EQ(d.UInt32(), 1u);
    EXPECT_EQ(d.StringValue(), kPolicyNone);
    ASSERT_EQ(d.Int32(), 1);
    EXPECT_EQ(d.StringValue(), "anonymous");
    EXPECT_EQ(d.UInt32(), 0u);
}

namespace {

struct BrowsePage {
    StatusCode status = 0;
    std::string continuation;
    std::vector<std::string> targets;
};

std::vector<BrowsePage> BrowseResults(const ServerMessage& m) {
    Decoder d(m.body);
    ReadResponseHeader(d);
    std::vector<BrowsePage> out;
    for (size_t i = 0, n = d.ArrayCount(1, 1); i < n; ++i) {
        BrowsePage p;
        p.status = d.Status();
        p.continuation = d.ByteString().value;
        for (size_t k = 0, r = d.ArrayCount(1, 1); k < r; ++k) {
            d.Node();
            d.Boolean();
            const ExpandedNodeId t = d.ExpandedNode();
            p.targets.push_back(t.nodeId.kind == NodeId::Kind::String ? t.nodeId.text
                                                                      : std::to_string(t.nodeId.numeric));
            d.Qualified();
            d.Text();
            d.UInt32();
            d.ExpandedNode();
        }
        out.push_back(std::move(p));
    }
    return out;
}

}  // namespace

TEST_F(EngineTest, BrowseOfObjectsPagesThroughEveryItemWithContinuationPoints) {
    Start(25);
    auto c = Client();
    ASSERT_TRUE(c.OpenSession());
    auto pages = BrowseResults(c.Call(id::Browse, [](Encoder& e) {
        e.Node(NodeId());
        e.DateTime(0);
        e.UInt32(0);
        e.UInt32(10);
        e.ArrayLength(1);
        e.Node(NodeId(0, id::ObjectsFolder));
        e.UInt32(0);
        e.Node(NodeId(0, id::HierarchicalReferences));
        e.Boolean(true);
        e.UInt32(0);
        e.UInt32(63);
    }));
    ASSERT_EQ(pages.size(), 1u);
    std::vector<std::string> all = pages[0].targets;
    EXPECT_EQ(all.size(), 10u);
    std::string cp = pages[0].continuation;
    while (!cp.empty()) {
        auto next = BrowseResults(c.Call(id::BrowseNext, [&](Encoder& e) {
            e.Boolean(false);
            e.ArrayLength(1);
            e.ByteString(cp);
        }));
        ASSERT_EQ(next.size(), 1u);
        ASSERT_EQ(next[0].status, status::Good);
        all.insert(all.end(), next[0].targets.begin(), next[0].targets.end());
        cp = next[0].continuation;
    }
    ASSERT_EQ(all.size(), 26u);  // the Server object and 25 items
    EXPECT_EQ(all[0], std::to_string(id::Server));
    EXPECT_EQ(all[25], "item24");
    // A spent continuation point is refused.
    auto stale = BrowseResults(c.Call(id::BrowseNext, [&](Encoder& e) {
        e.Boolean(false);
        e.ArrayLength(1);
        e.ByteString(pages[0].continuation);
    }));
    EXPECT_EQ(stale[0].status, status::BadContinuationPointInvalid);
}

TEST(UaAddressSpace, DuplicateItemIdsGetTheFirstFreeSuffixInTheirNodeIdOnly) {
    AddressSpace space;
    std::vector<ItemInfo> items;
    for (const char* idText : {"A", "A", "A#2", "A", "B"}) {
        ItemInfo i;
        i.handle = static_cast<uint32_t>(items.size() + 1);
        i.itemId = idText;
        items.push_back(i);
    }
    space.Build(items);
    ASSERT_EQ(space.ItemCount(), 5u);
    EXPECT_EQ(space.Tree().ItemNodeText(0), "A");
    EXPECT_EQ(space.Tree().ItemNodeText(1), "A#3");  // "A#2" is another item's own ID
    EXPECT_EQ(space.Tree().ItemNodeText(2), "A#2");
    EXPECT_EQ(space.Tree().ItemNodeText(3), "A#4");
    EXPECT_EQ(space.Tree().ItemNodeText(4), "B");
    EXPECT_EQ(space.BrowseNameOf({true, 3}).name.value, "A");
    const auto found = space.Find(NodeId::String(1, "A#4"));
    ASSERT_TRUE(found.has_value());
    EXPECT_EQ(space.Item(found->index).handle, 4u);
    EXPECT_FALSE(space.Find(NodeId::String(2, "A")).has_value());
}

TEST(UaAddressSpace, HierarchicalReferenceTypesIncludeTheirSubtypes) {
    AddressSpace space;
    space.Build({});
    for (uint32_t t : {id::Organizes, id::HasComponent, id::HasProperty, id::HasSubtype, id::HasNotifier})
        EXPECT_TRUE(space.IsSubtype(t, id::HierarchicalReferences, true)) << t;
    EXPECT_FALSE(space.IsSubtype(id::HasTypeDefinition, id::HierarchicalReferences, true));
    EXPECT_FALSE(space.IsSubtype(id::HasComponent, id::HierarchicalReferences, false));
    EXPECT_TRUE(space.IsSubtype(id::HasTypeDefinition, id::References, true));
}

TEST_F(EngineTest, CloseSessionLoopsLeaveNoSubscriptionsBehind) {
    Start(50);
    auto c = Client();
    ASSERT_TRUE(c.Connect());
    for (int round = 0; round < 20; ++round) {
        ASSERT_EQ(c.CreateSession(), status::Good);
        ASSERT_EQ(c.Activate(), status::Good);
        auto sub = c.Call(id::CreateSubscription, [](Encoder& e) {
            e.Double(100);
            e.UInt32(100);
            e.UInt32(10);
            e.UInt32(0);
            e.Boolean(true);
            e.Byte(0);
        });
        Decoder d(sub.body);
        ASSERT_EQ(ReadResponseHeader(d).serviceResult, status::Good);
        const uint32_t subId = d.UInt32();
        c.Call(id::CreateMonitoredItems, [&](Encoder& e) {
            e.UInt32(subId);
            e.UInt32(2);
            e.ArrayLength(50);
            for (int i = 0; i < 50; ++i) {
                WriteReadValue(e, Item("item" + std::to_string(i)));
                e.UInt32(2);
                e.UInt32(static_cast<uint32_t>(i));
                e.Double(100);
                e.Extension({});
                e.UInt32(1);
                e.Boolean(true);
            }
        });
        EXPECT_EQ(engine->MonitoredItemCount(), 50u);
        auto close = c.Call(id::CloseSession, [](Encoder& e) { e.Boolean(true); });
        Decoder cd(close.body);
        ASSERT_EQ(ReadResponseHeader(cd).serviceResult, status::Good);
        EXPECT_EQ(engine->SubscriptionCount(), 0u);
    }
    EXPECT_EQ(engine->SessionCount(), 0u);
    EXPECT_EQ(engine->MonitoredItemCount(), 0u);
    EXPECT_EQ(backend.active, 0);
    EXPECT_EQ(backend.calls["SessionCreated"], 20);
    EXPECT_EQ(backend.calls["SessionClosed"], 20);
}

TEST_F(EngineTest, MemoryBudgetRefusesBytesBeyondItWithErr) {
    config.memoryBudgetBytes = 20000;
    Start();
    auto c = Client();
    ASSERT_TRUE(engine->Accept(1, now));
    c.Send(c.codec.Hello("u"));
    c.Send(c.codec.Open());
    std::string big = ClientCodec::Frame("MSG", 'C', std::string(30000, 'x'));
    auto m = c.Send(big);
    ASSERT_EQ(m.size(), 1u);
    EXPECT_EQ(m[0].error, status::BadTcpNotEnoughResources);
    EXPECT_TRUE(c.Closed());
    EXPECT_EQ(engine->Memory().Used(), 0u);
}

TEST_F(EngineTest, DisconnectAllClosesEveryChannelAndKeepsSessions) {
    Start();
    auto a = Client(1);
    auto b = Client(2);
    ASSERT_TRUE(a.OpenSession());
    ASSERT_TRUE(b.OpenSession());
    engine->DisconnectAll();
    EXPECT_EQ(engine->ConnectionCount(), 0u);
    EXPECT_EQ(backend.calls["ChannelClosed"], 2);
    EXPECT_EQ(engine->SessionCount(), 2u);
    engine->CloseEverything();
    EXPECT_EQ(engine->SessionCount(), 0u);
    EXPECT_EQ(backend.calls["SessionClosed"], 2);
}

TEST_F(EngineTest, RequestDecodingStaysWithinWhatIsLeftOfTheMemoryBudget) {
    config.memoryBudgetBytes = 400000;
    Start(5);
    auto c = Client();
    ASSERT_TRUE(c.OpenSession());
    std::vector<NodeId> nodes(5000, Item("item1"));
    ResponseHeader h;
    ReadResults(c.Call(id::Read, ReadBody(nodes)), &h);
    EXPECT_EQ(h.typeId, id::ServiceFault);
    EXPECT_EQ(h.serviceResult, status::BadEncodingLimitsExceeded);
    EXPECT_FALSE(c.Closed());
    EXPECT_EQ(ReadResults(c.Call(id::Read, ReadBody({Item("item1")}))).size(), 1u);
}
