// Limits that keep one peer from locking the others out, driven with a fake clock: the handshake
// limiter's allowances, eviction from full channel and session tables, time-outs of channels and
// sessions that never get activated, each session's share of the memory budget, and responses
// larger than the peer accepts.
#include <gtest/gtest.h>

#include <set>

#include "tests/unit/ua/ua_fakes.h"
#include "ua/engine/engine.h"
#include "ua/engine/handshake_limiter.h"

using namespace qora::ua;
using namespace qora::ua::testing;

namespace {

// ---------------------------------------------------------------- HandshakeLimiter

HandshakeLimits SmallLimits() {
    HandshakeLimits l;
    l.opensPerSecond = 10;
    l.openBurst = 10;
    l.quietReserve = 4;
    l.opensPerPeerPerSecond = 2;
    l.openPeerBurst = 4;
    l.unfinishedPerPeer = 2;
    l.unfinished = 5;
    l.forgetAfterMs = 1000;
    return l;
}

// Admitted OPNs of peer out of n tried at once.
int Admitted(HandshakeLimiter& h, const std::string& peer, int n, Millis now) {
    int ok = 0;
    for (int i = 0; i < n; ++i) ok += h.AdmitOpen(peer, now) ? 1 : 0;
    return ok;
}

TEST(HandshakeLimiter, EachPeerHasItsOwnBurstAndRate) {
    HandshakeLimiter h(SmallLimits());
    const Millis t0 = 1000000;
    EXPECT_EQ(Admitted(h, "a", 10, t0), 4);  // the peer's burst
    EXPECT_EQ(h.Refused(), 6u);
    EXPECT_EQ(Admitted(h, "b", 1, t0), 1) << "another peer is not held by the first one's flood";
    EXPECT_EQ(Admitted(h, "a", 1, t0 + 499), 0) << "2 per second: not one back before 500 ms";
    EXPECT_EQ(Admitted(h, "a", 1, t0 + 500), 1);
    EXPECT_EQ(Admitted(h, "a", 10, t0 + 2500), 4) << "the burst refills and no further";
}

TEST(HandshakeLimiter, TheServerWideReserveIsLeftToQuietPeers) {
    HandshakeLimiter h(SmallLimits());
    const Millis t0 = 1000000;
    // A peer is busy once its own allowance is below half of its burst (4 here: after 2 OPNs).
    // A busy peer gets nothing from the last 4 of the server-wide allowance; a quiet one does.
    struct Step {
        const char* peer;
        int tried;
        int admitted;
    };
    const Step steps[] = {
        {"a", 4, 4},  // its 4th while busy: 7 left, above the reserve; 6 left
        {"b", 4, 3},  // its 4th while busy: refused with 3 left, all of them reserve
        {"c", 3, 3},  // quiet: takes the reserve
        {"d", 1, 0},  // nothing left at all
    };
    for (const Step& s : steps) EXPECT_EQ(Admitted(h, s.peer, s.tried, t0), s.admitted) << s.peer;
}

TEST(HandshakeLimiter, AFloodOfNoneOpensFromManyPeersLeavesTheSecuredAllowance) {
    HandshakeLimits l = SmallLimits();
    l.noneOpensPerSecond = 10;
    l.noneOpenBurst = 10;
    HandshakeLimiter h(l);
    const Millis t0 = 1000000;
    // Eight hosts send None OPNs until each is refused; every server-wide None allowance is gone.
    for (int i = 0; i < 8; ++i)
        for (int n = 0; n < 10; ++n) h.AdmitOpen("10.0.0." + std::to_string(i), t0, false);
    EXPECT_FALSE(h.AdmitOpen("10.0.1.1", t0, false));
    // Secured opens of other hosts draw on their own allowance.
    int secured = 0;
    for (int i = 0; i < 10; ++i) secured += h.AdmitOpen("10.0.2." + std::to_string(i), t0, true) ? 1 : 0;
    EXPECT_EQ(secured, 10);
}

TEST(HandshakeLimiter, UnfinishedHandshakesAreBoundedPerPeerAndServerWide) {
    HandshakeLimiter h(SmallLimits());
    EXPECT_TRUE(h.MayStartHandshake("a"));
    h.HandshakeStarted("a");
    h.HandshakeStarted("a");
    EXPECT_FALSE(h.MayStartHandshake("a"));
    EXPECT_TRUE(h.MayStartHandshake("b"));
    h.HandshakeEnded("a");
    EXPECT_TRUE(h.MayStartHandshake("a"));
    for (const char* p : {"b", "c", "d"}) h.HandshakeStarted(p);
    EXPECT_FALSE(h.UnfinishedFull());
    h.HandshakeStarted("e");
    EXPECT_TRUE(h.UnfinishedFull());
    EXPECT_EQ(h.Unfinished(), 5u);
    // Ending more than were started (or for an unknown peer) never wraps the counts.
    for (int i = 0; i < 3; ++i) h.HandshakeEnded("a");
    h.HandshakeEnded("nobody");
    EXPECT_EQ(h.Unfinished(), 4u);
    EXPECT_EQ(h.Unfinished("a"), 0u);
}

TEST(HandshakeLimiter, IdlePeersAreForgottenButNotWhileAHandshakeIsUnfinished) {
    HandshakeLimiter h(SmallLimits());
    const Millis t0 = 1000000;
    for (int i = 0; i < 50; ++i) h.AdmitOpen("10.0.0." + std::to_string(i), t0);
    h.HandshakeStarted("10.0.0.7");
    EXPECT_EQ(h.PeerCount(), 50u);
    h.AdmitOpen("x", t0 + 2000);
    EXPECT_EQ(h.PeerCount(), 2u);  // x and the peer with an unfinished handshake
    EXPECT_EQ(h.Unfinished("10.0.0.7"), 1u);
}

// ---------------------------------------------------------------- the engine

// Reads the Value of item0 .. item<n-1>; returns the message that answered.
ServerMessage ReadItems(EngineClient& c, size_t n) {
    return c.Call(631, [n](Encoder& e) {
        e.Double(0);
        e.UInt32(2);
        e.ArrayLength(static_cast<int32_t>(n));
        for (size_t i = 0; i < n; ++i) {
            e.Node(NodeId::String(1, "item" + std::to_string(i)));
            e.UInt32(13);
            e.NullString();
            e.Qualified({});
        }
    });
}

// Results of a Read of one item (0 when it was not answered with a ReadResponse).
size_t ReadResultsCount(EngineClient& c) {
    const ServerMessage m = ReadItems(c, 1);
    Decoder d(m.body);
    if (ReadResponseHeader(d).typeId != id::ResponseOf(id::Read)) return 0;
    return d.ArrayCount(1, 1);
}

class LimitsTest : public ::testing::Test {
  protected:
    void Start(int items = 5) {
        for (int i = 0; i < items; ++i) backend.AddItem("item" + std::to_string(i), static_cast<float>(i));
        engine = std::make_unique<Engine>(backend, config, transport);
        engine->Build();
    }
    EngineClient Client(uint64_t conn, std::string peer = "127.0.0.1") {
        return EngineClient{*engine, transport, conn, now, {}, {}, std::move(peer)};
    }
    // Status of the ERR the connection was last sent (0 when none).
    StatusCode LastError(uint64_t conn) {
        StatusCode code = 0;
        for (const ServerMessage& m : ServerReader().Feed(transport.Take(conn))) {
            if (m.type == "ERR") code = m.error;
        }
        return code;
    }

    FakeBackend backend;
    ServerConfig config;
    FakeTransport transport;
    std::unique_ptr<Engine> engine;
    Millis now = 100000;
};

TEST_F(LimitsTest, AFullChannelTableEndsTheOldestChannelWithoutAnActivatedSession) {
    config.maxChannels = 4;
    Start();
    auto active = Client(1);
    ASSERT_TRUE(active.OpenSession());
    auto idleOld = Client(2);
    ASSERT_TRUE(idleOld.Connect());
    now += 10;
    auto unactivated = Client(3);  // a session, never activated
    ASSERT_TRUE(unactivated.Connect());
    ASSERT_EQ(unactivated.CreateSession(), status::Good);
    now += 10;
    ASSERT_TRUE(engine->Accept(4, now, "127.0.0.9"));  // not even HEL yet
    // Each newcomer pushes out the oldest channel without an activated session.
    struct Step {
        uint64_t newcomer;
        uint64_t evicted;
    };
    for (const Step& s : {Step{5, 2}, Step{6, 3}, Step{7, 4}, Step{8, 5}}) {
        now += 10;
        ASSERT_TRUE(engine->Accept(s.newcomer, now, "127.0.0.2")) << s.newcomer;
        EXPECT_TRUE(transport.closed.count(s.evicted)) << s.evicted;
        EXPECT_EQ(LastError(s.evicted), status::BadTcpServerTooBusy) << s.evicted;
        EXPECT_EQ(engine->ConnectionCount(), 4u);
    }
    EXPECT_FALSE(transport.closed.count(1)) << "the channel with an activated session stays";
    EXPECT_EQ(ReadResultsCount(active), 1u);
}

TEST_F(LimitsTest, AChannelWithoutAnActivatedSessionEndsAfterTheHandshakeTimeOutFromItsOpen) {
    config.handshakeTimeoutMs = 3000;
    Start();
    auto idle = Client(1);
    auto serving = Client(2);
    now += 2000;  // HEL+OPN late but within the time-out from accept
    ASSERT_TRUE(idle.Connect());
    ASSERT_TRUE(serving.Connect());
    ASSERT_EQ(serving.CreateSession(), status::Good);
    now += 2999;
    engine->Tick(now);
    EXPECT_FALSE(idle.Closed()) << "counted from the OPN, not from accept";
    ASSERT_EQ(serving.Activate(), status::Good);
    now += 2;
    engine->Tick(now);
    EXPECT_TRUE(idle.Closed());
    EXPECT_FALSE(serving.Closed());
    // Long after: the channel serving an activated session lives on its token.
    now += 60000;
    ASSERT_EQ(ReadResultsCount(serving), 1u);
    engine->Tick(now);
    EXPECT_FALSE(serving.Closed());
}

TEST_F(LimitsTest, AnOpenFloodFromOnePeerIsRefusedWhileAnotherPeerStillOpens) {
    Start();
    const int burst = static_cast<int>(engine->Handshakes().Limits().openPeerBurst);
    int opened = 0;
    StatusCode refusal = 0;
    for (int i = 0; i < burst + 5; ++i) {
        auto c = Client(100 + i, "127.0.0.2");
        ASSERT_TRUE(engine->Accept(c.conn, now, c.peer));
        ASSERT_EQ(c.Send(c.codec.Hello("opc.tcp://127.0.0.1:4840")).at(0).type, "ACK");
        const auto opn = c.Send(c.codec.Open());
        ASSERT_EQ(opn.size(), 1u);
        if (opn[0].type == "OPN")
            ++opened;
        else
            refusal = opn[0].error;
        EXPECT_EQ(engine->Handshakes().Unfinished(), 0u) << "a refused or finished handshake is not counted";
    }
    EXPECT_EQ(opened, burst);
    EXPECT_EQ(refusal, status::BadTcpServerTooBusy);
    auto other = Client(1, "127.0.0.1");
    EXPECT_TRUE(other.OpenSession());
}

TEST_F(LimitsTest, APeerBeyondItsShareOfUnfinishedHandshakesIsRefusedAtAccept) {
    Start();
    const HandshakeLimits& l = engine->Handshakes().Limits();
    uint64_t conn = 1;
    for (size_t i = 0; i < l.unfinishedPerPeer; ++i) ASSERT_TRUE(engine->Accept(conn++, now, "127.0.0.2"));
    EXPECT_FALSE(engine->Accept(conn++, now, "127.0.0.2"));
    EXPECT_TRUE(engine->Accept(conn++, now, "127.0.0.3"));
    // Server-wide: beyond the bound the oldest unfinished handshake makes room.
    std::set<uint64_t> accepted;
    for (int p = 0; engine->Handshakes().Unfinished() < l.unfinished; ++p) {
        for (size_t i = 0; i < l.unfinishedPerPeer && engine->Handshakes().Unfinished() < l.unfinished; ++i)
            ASSERT_TRUE(engine->Accept(conn++, now, "10.1.0." + std::to_string(p)));
    }
    EXPECT_TRUE(transport.closed.empty());
    ASSERT_TRUE(engine->Accept(conn++, now, "10.2.0.1"));
    EXPECT_TRUE(transport.closed.count(1)) << "the oldest unfinished handshake";
    EXPECT_EQ(engine->Handshakes().Unfinished(), l.unfinished);
}

TEST_F(LimitsTest, SessionsNeverActivatedTimeOutWithinSecondsAndRevisedTimeOutsAreCapped) {
    Start();
    auto c = Client(1);
    ASSERT_TRUE(c.Connect());
    struct Case {
        double requested;
        double revised;
    };
    for (const Case& k : {Case{3600000, kMaxSessionTimeoutMs}, Case{600001, kMaxSessionTimeoutMs},
                          Case{120000, 120000}, Case{1, kMinSessionTimeoutMs}}) {
        double revised = 0;
        ASSERT_EQ(c.CreateSession(k.requested, &revised), status::Good);
        EXPECT_EQ(revised, k.revised) << k.requested;
    }
    EXPECT_EQ(kMaxSessionTimeoutMs, 600000);
    ASSERT_EQ(c.Activate(), status::Good);  // the last one (5 s)
    ASSERT_EQ(c.CreateSession(3600000), status::Good);
    ASSERT_EQ(c.Activate(), status::Good);  // an hour asked, ten minutes granted
    EXPECT_EQ(engine->SessionCount(), 5u);
    now += kUnactivatedSessionTimeoutMs - 1;
    engine->Tick(now);
    EXPECT_EQ(engine->SessionCount(), 4u) << "the 5 s session timed out";
    now += 2;
    engine->Tick(now);
    EXPECT_EQ(engine->SessionCount(), 1u) << "never activated: gone after ten seconds whatever was asked";
    EXPECT_EQ(engine->Counters().sessionTimeouts, 4u);
    now += static_cast<Millis>(kMaxSessionTimeoutMs);
    engine->Tick(now);
    EXPECT_EQ(engine->SessionCount(), 0u);
}

TEST_F(LimitsTest, AFullSessionTableEndsTheOldestUnactivatedThenTheOldestUnboundSession) {
    config.maxSessions = 3;
    Start();
    auto a = Client(1);
    auto b = Client(2);
    ASSERT_TRUE(a.Connect());
    ASSERT_TRUE(b.Connect());
    ASSERT_EQ(a.CreateSession(), status::Good);  // activated, its channel goes away later
    ASSERT_EQ(a.Activate(), status::Good);
    const NodeId aToken = a.codec.authenticationToken;
    now += 10;
    ASSERT_EQ(b.CreateSession(), status::Good);  // never activated
    const NodeId bToken = b.codec.authenticationToken;
    now += 10;
    auto c = Client(3);
    ASSERT_TRUE(c.OpenSession());
    // Full: b (unactivated) goes first even though a is older.
    now += 10;
    auto d = Client(4);
    ASSERT_TRUE(d.OpenSession());
    EXPECT_EQ(engine->FindSession(bToken), nullptr);
    EXPECT_NE(engine->FindSession(aToken), nullptr);
    // Full of activated sessions, all bound: refused.
    auto e = Client(5);
    ASSERT_TRUE(e.Connect());
    EXPECT_EQ(e.CreateSession(), status::BadTooManySessions);
    // a's channel fails: its session is the one without a live channel.
    engine->Disconnected(1);
    EXPECT_EQ(e.CreateSession(), status::Good);
    EXPECT_EQ(engine->FindSession(aToken), nullptr);
    EXPECT_EQ(engine->SessionCount(), 3u);
    EXPECT_EQ(engine->Counters().cumulatedSessions, 5u);
    EXPECT_EQ(engine->Counters().rejectedSessions, 1u);
    EXPECT_EQ(backend.calls["SessionClosed"], 2);
}

uint32_t CreateSubscription(EngineClient& c) {
    auto m = c.Call(787, [](Encoder& e) {
        e.Double(100);
        e.UInt32(100);
        e.UInt32(10);
        e.UInt32(0);
        e.Boolean(true);
        e.Byte(0);
    });
    Decoder d(m.body);
    if (ReadResponseHeader(d).serviceResult != status::Good) return 0;
    return d.UInt32();
}

// Monitors item0 n times with the given queue size; returns the count of Good results.
size_t Monitor(EngineClient& c, uint32_t sub, size_t n, uint32_t queueSize) {
    auto m = c.Call(751, [&](Encoder& e) {
        e.UInt32(sub);
        e.UInt32(2);
        e.ArrayLength(static_cast<int32_t>(n));
        for (size_t i = 0; i < n; ++i) {
            e.Node(NodeId::String(1, "item0"));
            e.UInt32(13);
            e.NullString();
            e.Qualified({});
            e.UInt32(2);
            e.UInt32(static_cast<uint32_t>(i));
            e.Double(100);
            e.Extension({});
            e.UInt32(queueSize);
            e.Boolean(true);
        }
    });
    Decoder d(m.body);
    if (ReadResponseHeader(d).serviceResult != status::Good) return 0;
    size_t good = 0;
    for (size_t i = 0, count = d.ArrayCount(1, 1); i < count; ++i) {
        if (d.Status() == status::Good) ++good;
        d.UInt32();
        d.Double();
        d.UInt32();
        d.Extension();
    }
    return good;
}

TEST_F(LimitsTest, OneSessionTakesAtMostItsShareOfTheMemoryBudget) {
    config.memoryBudgetBytes = 16u << 20;
    Start();
    auto greedy = Client(1);
    ASSERT_TRUE(greedy.OpenSession());
    const uint32_t sub = CreateSubscription(greedy);
    ASSERT_NE(sub, 0u);
    size_t items = 0;
    for (size_t got; (got = Monitor(greedy, sub, 1000, 1)) == 1000;) items += got;
    ASSERT_GT(items, 0u);
    const uint64_t share = engine->SessionMemoryShare();
    EXPECT_EQ(share, config.memoryBudgetBytes / kSessionMemoryShareDivisor);
    EXPECT_LE(engine->Memory().Used(), share + (64u << 10)) << "the greedy session stopped at its share";
    // A second session still gets as many.
    auto second = Client(2);
    ASSERT_TRUE(second.OpenSession());
    const uint32_t sub2 = CreateSubscription(second);
    ASSERT_NE(sub2, 0u);
    // (Not all of them: the other half also carries channels, sessions and requests in assembly.)
    EXPECT_EQ(Monitor(second, sub2, items / 2, 1), items / 2);
    // Deleting the subscription gives the whole share back.
    const uint64_t before = engine->Memory().Used();
    auto del = greedy.Call(847, [&](Encoder& e) {
        e.ArrayLength(1);
        e.UInt32(sub);
    });
    Decoder d(del.body);
    ASSERT_EQ(ReadResponseHeader(d).serviceResult, status::Good);
    EXPECT_LE(engine->Memory().Used() + items * (kMonitoredItemMemory + sizeof(DataValue)), before);
}

TEST_F(LimitsTest, AResponseTheClientCannotTakeIsAnsweredWithBadResponseTooLarge) {
    struct Case {
        const char* what;
        uint32_t maxMessage;
        uint32_t maxChunks;
        const char* type;   // what comes back
        StatusCode status;  // ServiceFault's or ERR's status; Good for the response
        bool channelCloses;
    };
    const Case cases[] = {
        {"no limit", 0, 0, "MSG", status::Good, false},
        {"the fault fits", 4000, 0, "MSG", status::BadResponseTooLarge, false},
        {"not even the fault fits", 16, 0, "ERR", status::BadResponseTooLarge, true},  // at CreateSession
        {"too many chunks", 0, 1, "MSG", status::BadResponseTooLarge, false},
    };
    Start(400);
    uint64_t conn = 1;
    for (const Case& k : cases) {
        SCOPED_TRACE(k.what);
        auto c = Client(conn++);
        ASSERT_TRUE(engine->Accept(c.conn, now, c.peer));
        ASSERT_EQ(c.Send(c.codec.Hello("opc.tcp://127.0.0.1:4840", 8192, 8192, k.maxMessage, k.maxChunks))
                      .at(0)
                      .type,
                  "ACK");
        auto opn = c.Send(c.codec.Open());
        ASSERT_EQ(opn.at(0).type, "OPN");
        Decoder od(opn[0].body);
        ReadResponseHeader(od);
        od.UInt32();
        c.codec.channelId = od.UInt32();
        c.codec.tokenId = od.UInt32();
        if (k.channelCloses) {
            // Not even the ServiceFault (no session) of a one-value Read fits.
            auto msgs = c.Send(c.codec.Request(631, [](Encoder& e) {
                e.Double(0);
                e.UInt32(2);
                e.ArrayLength(0);
            }));
            ASSERT_EQ(msgs.size(), 1u);
            EXPECT_EQ(msgs[0].type, k.type);
            EXPECT_EQ(msgs[0].error, k.status);
            EXPECT_TRUE(c.Closed());
            continue;
        }
        ASSERT_EQ(c.CreateSession(), status::Good);
        ASSERT_EQ(c.Activate(), status::Good);
        // A Read of 400 values: more than one 8 KiB chunk.
        auto msgs = c.Send(c.codec.Request(631, [](Encoder& e) {
            e.Double(0);
            e.UInt32(2);
            e.ArrayLength(400);
            for (int i = 0; i < 400; ++i) {
                e.Node(NodeId::String(1, "item" + std::to_string(i)));
                e.UInt32(13);
                e.NullString();
                e.Qualified({});
            }
        }));
        ASSERT_EQ(msgs.size(), 1u) << k.what;
        EXPECT_EQ(msgs[0].type, k.type) << k.what;
        Decoder d(msgs[0].body);
        const ResponseHeader h = ReadResponseHeader(d);
        EXPECT_EQ(h.serviceResult, k.status) << k.what;
        EXPECT_EQ(h.typeId == id::ServiceFault, k.status != status::Good) << k.what;
        EXPECT_EQ(c.Closed(), k.channelCloses) << k.what;
    }
}

}  // namespace
