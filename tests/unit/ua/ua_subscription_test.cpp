// Subscriptions driven with a stepped clock: first samples, changes, deadband, keep-alives,
// Publish queue limits and time-outs, shutdown notification.
#include <gtest/gtest.h>

#include <functional>
#include <numeric>

#include "tests/unit/ua/ua_fakes.h"
#include "ua/engine/engine.h"

using namespace qora::ua;
using namespace qora::ua::testing;

namespace {

struct Notification {
    uint32_t clientHandle;
    DataValue value;
};

struct PublishResult {
    StatusCode serviceResult = 0;
    uint32_t subscriptionId = 0;
    uint32_t sequence = 0;
    bool keepAlive = false;
    bool more = false;
    uint32_t statusChange = 0;
    std::vector<Notification> notifications;
};

PublishResult ParsePublish(const ServerMessage& m) {
    PublishResult r;
    Decoder d(m.body);
    const ResponseHeader h = ReadResponseHeader(d);
    r.serviceResult = h.serviceResult;
    if (h.typeId != id::ResponseOf(id::Publish)) return r;
    r.subscriptionId = d.UInt32();
    for (size_t i = 0, n = d.ArrayCount(4, 4); i < n; ++i) d.UInt32();
    r.more = d.Boolean();
    r.sequence = d.UInt32();
    d.DateTime();
    const size_t n = d.ArrayCount(3, 64);
    r.keepAlive = n == 0;
    for (size_t i = 0; i < n; ++i) {
        const ExtensionObject x = d.Extension();
        Decoder b(x.body);
        if (x.typeId.IsNs0(id::StatusChangeNotification)) {
            r.statusChange = b.Status();
            continue;
        }
        for (size_t k = 0, c = b.ArrayCount(1, 1); k < c; ++k) {
            Notification note;
            note.clientHandle = b.UInt32();
            note.value = b.Data();
            r.notifications.push_back(std::move(note));
        }
    }
    return r;
}

class SubscriptionTest : public ::testing::Test {
  protected:
    void SetUp() override {
        for (int i = 0; i < 5; ++i) backend.AddItem("item" + std::to_string(i), static_cast<float>(i));
        engine = std::make_unique<Engine>(backend, config, transport);
        engine->Build();
        clientPtr = std::make_unique<EngineClient>(EngineClient{*engine, transport, 1, now, {}, {}});
        ASSERT_TRUE(client().OpenSession());
    }
    EngineClient& client() { return *clientPtr; }

    uint32_t CreateSubscription(double interval = 100, uint32_t keepAlive = 3) {
        auto m = client().Call(id::CreateSubscription, [&](Encoder& e) {
            e.Double(interval);
            e.UInt32(100);
            e.UInt32(keepAlive);
            e.UInt32(0);
            e.Boolean(true);
            e.Byte(0);
        });
        Decoder d(m.body);
        EXPECT_EQ(ReadResponseHeader(d).serviceResult, status::Good);
        return d.UInt32();
    }

    struct ItemRequest {
        NodeId node;
        uint32_t attribute = AttrValue;
        ExtensionObject filter;
        uint32_t clientHandle = 0;
    };

    std::vector<StatusCode> Monitor(uint32_t subId, const std::vector<ItemRequest>& items) {
        auto m = client().Call(id::CreateMonitoredItems, [&](Encoder& e) {
            e.UInt32(subId);
            e.UInt32(2);
            e.ArrayLength(static_cast<int32_t>(items.size()));
            for (const ItemRequest& r : items) {
                e.Node(r.node);
                e.UInt32(r.attribute);
                e.NullString();
                e.Qualified({});
                e.UInt32(2);
                e.UInt32(r.clientHandle);
                e.Double(100);
                e.Extension(r.filter);
                e.UInt32(1);
                e.Boolean(true);
            }
        });
        Decoder d(m.body);
        EXPECT_EQ(ReadResponseHeader(d).serviceResult, status::Good);
        std::vector<StatusCode> out;
        for (size_t i = 0, n = d.ArrayCount(1, 1); i < n; ++i) {
            out.push_back(d.Status());
            d.UInt32();
            d.Double();
            d.UInt32();
            d.Extension();
        }
        return out;
    }

    std::vector<ServerMessage> Publish(uint32_t timeoutHint = 0) {
        return client().Send(client().codec.Request(
            id::Publish, [](Encoder& e) { e.ArrayLength(0); }, 65535, timeoutHint));
    }

    // Advances the clock in 10 ms steps and collects what the engine sends.
    std::vector<ServerMessage> Advance(Millis ms) {
        std::vector<ServerMessage> out;
        for (Millis t = 0; t < ms; t += 10) {
            now += 10;
            engine->Tick(now);
            auto got = client().reader.Feed(transport.Take(1));
            out.insert(out.end(), got.begin(), got.end());
        }
        return out;
    }

    static ExtensionObject DataChange(uint32_t trigger, uint32_t deadbandType, double value) {
        return MakeExtension(id::DataChangeFilter, [&](Encoder& e) {
            e.UInt32(trigger);
            e.UInt32(deadbandType);
            e.Double(value);
        });
    }

    FakeBackend backend;
    ServerConfig config;
    FakeTransport transport;
    std::unique_ptr<Engine> engine;
    Millis now = 100000;
    std::unique_ptr<EngineClient> clientPtr;
};

}  // namespace

TEST_F(SubscriptionTest, FirstPublishReportsEveryItemsFirstSampleWithSequenceOne) {
    const uint32_t sub = CreateSubscription();
    auto st = Monitor(sub, {{NodeId::String(1, "item0"), AttrValue, {}, 10},
                            {NodeId::String(1, "item3"), AttrValue, {}, 13}});
    ASSERT_EQ(st, (std::vector<StatusCode>{status::Good, status::Good}));
    EXPECT_EQ(backend.active, 2);
    EXPECT_TRUE(Publish().empty());  // queued until the first publishing cycle
    auto msgs = Advance(120);
    ASSERT_EQ(msgs.size(), 1u);
    const PublishResult r = ParsePublish(msgs[0]);
    EXPECT_EQ(r.subscriptionId, sub);
    EXPECT_EQ(r.sequence, 1u);
    ASSERT_EQ(r.notifications.size(), 2u);
    EXPECT_EQ(r.notifications[0].clientHandle, 10u);
    EXPECT_FLOAT_EQ(std::get<float>(r.notifications[1].value.value.scalar), 3.0f);
}

TEST_F(SubscriptionTest, KeepAliveCarriesTheNextSequenceNumberAndDataFollowsWithIt) {
    const uint32_t sub = CreateSubscription(100, 3);
    Monitor(sub, {{NodeId::String(1, "item1"), AttrValue, {}, 1}});
    Publish();
    auto first = Advance(120);
    ASSERT_EQ(first.size(), 1u);
    EXPECT_EQ(ParsePublish(first[0]).sequence, 1u);
    Publish();
    // Nothing changes: a keep-alive after three cycles, not before.
    EXPECT_TRUE(Advance(250).empty());
    auto keep = Advance(100);
    ASSERT_EQ(keep.size(), 1u);
    const PublishResult k = ParsePublish(keep[0]);
    EXPECT_TRUE(k.keepAlive);
    EXPECT_EQ(k.sequence, 2u);
    Publish();
    backend.Set(1, 7.5f);
    auto data = Advance(220);  // up to one sampling and one publishing interval
    ASSERT_EQ(data.size(), 1u);
    const PublishResult r = ParsePublish(data[0]);
    EXPECT_EQ(r.sequence, 2u);
    ASSERT_EQ(r.notifications.size(), 1u);
    EXPECT_FLOAT_EQ(std::get<float>(r.notifications[0].value.value.scalar), 7.5f);
}

TEST_F(SubscriptionTest, EachTriggerReportsOnlyTheChangesItNames) {
    // Without a filter the default trigger is STATUS_VALUE; timestamps count only when a client
    // asks for STATUS_VALUE_TIMESTAMP; STATUS ignores values too.
    struct Trigger {
        const char* name;
        ExtensionObject filter;
        size_t sameTime, newTime, newQuality, newValue;
    };
    const std::vector<Trigger> triggers = {
        {"no filter", {}, 0, 0, 1, 1},
        {"STATUS", DataChange(0, 0, 0), 0, 0, 1, 0},
        {"STATUS_VALUE", DataChange(1, 0, 0), 0, 0, 1, 1},
        {"STATUS_VALUE_TIMESTAMP", DataChange(2, 0, 0), 0, 1, 1, 1},
        {"STATUS with a deadband (ignored)", DataChange(0, 1, 100.0), 0, 0, 1, 0},
    };
    const uint32_t sub = CreateSubscription(100, 1000);
    std::vector<ItemRequest> requests;
    for (size_t t = 0; t < triggers.size(); ++t)
        requests.push_back(
            {NodeId::String(1, "item2"), AttrValue, triggers[t].filter, static_cast<uint32_t>(t)});
    ASSERT_EQ(Monitor(sub, requests), std::vector<StatusCode>(triggers.size(), status::Good));
    Publish();
    auto first = Advance(120);
    ASSERT_EQ(first.size(), 1u);
    EXPECT_EQ(ParsePublish(first[0]).notifications.size(), triggers.size()) << "every first sample";

    auto quality = [&] { return backend.samples[2].quality; };
    auto otherQuality = [&] { return static_cast<uint16_t>(quality() == 192 ? 24 : 192); };
    struct Step {
        const char* name;
        std::function<void()> change;
        size_t Trigger::*expected;
    };
    const std::vector<Step> steps = {
        {"same value, same time", [&] { ++backend.generation; }, &Trigger::sameTime},
        {"same value, new time", [&] { backend.Set(2, 2.0f, quality()); }, &Trigger::newTime},
        {"new quality", [&] { backend.Set(2, 2.0f, otherQuality(), backend.samples[2].sourceTime); },
         &Trigger::newQuality},
        {"new value", [&] { backend.Set(2, 3.0f, quality(), backend.samples[2].sourceTime); },
         &Trigger::newValue},
    };
    for (const Step& st : steps) {
        Publish();
        st.change();
        std::vector<size_t> got(triggers.size(), 0);
        for (const auto& m : Advance(220))
            for (const auto& n : ParsePublish(m).notifications) ++got[n.clientHandle];
        for (size_t t = 0; t < triggers.size(); ++t)
            EXPECT_EQ(got[t], triggers[t].*st.expected) << st.name << " / " << triggers[t].name;
        // A Publish left unanswered is taken out by a change every trigger reports.
        const size_t any = std::accumulate(got.begin(), got.end(), size_t{0});
        if (any == 0) {
            backend.Set(2, backend.samples[2].value, otherQuality());
            Advance(220);
        }
    }
}

TEST_F(SubscriptionTest, AConstantBadValueRepublishedEverySecondGivesOneNotification) {
    // The server's push rewrites every item once a second with a new source timestamp.
    backend.Set(4, 9999999.0f, 8);
    const uint32_t sub = CreateSubscription(100, 5);
    Monitor(sub, {{NodeId::String(1, "item4"), AttrValue, {}, 1}});
    size_t notifications = 0, keepAlives = 0;
    for (int second = 0; second < 5; ++second) {
        for (int i = 0; i < 3; ++i) Publish();
        backend.Set(4, 9999999.0f, 8);
        for (const auto& m : Advance(1000)) {
            const PublishResult r = ParsePublish(m);
            notifications += r.notifications.size();
            keepAlives += r.keepAlive ? 1 : 0;
        }
    }
    EXPECT_EQ(notifications, 1u);
    EXPECT_GE(keepAlives, 8u) << "the subscription stays alive meanwhile";
}

TEST_F(SubscriptionTest, SamplesKeepTheirPeriodWhenTicksArriveLate) {
    // The engine is ticked at its own "next" time plus a lateness; every sample reads the
    // cache, which changes before each tick, so samples are counted by the cache reads.
    struct Case {
        const char* name;
        Millis lateness;
        Millis span;
        int samples;
    };
    const std::vector<Case> cases = {
        {"on time", 0, 10000, 100},
        {"3 ms late", 3, 10000, 100},
        {"30 ms late", 30, 10000, 100},
        {"99 ms late", 99, 10000, 100},
    };
    for (const Case& cs : cases) {
        // Publishing once a second, so only the sampler's own due times set the ticks.
        const uint32_t sub = CreateSubscription(1000, 1000000);
        Monitor(sub, {{NodeId::String(1, "item0"), AttrValue, {}, 1}});
        // Counted over the span after a settling second (the first sample comes at once, the
        // grid is set by it).
        const Millis settled = now + 1000;
        int atSettled = -1;
        Millis next = now;
        while (true) {
            now = std::max(now + 1, next + cs.lateness);
            if (atSettled < 0 && now >= settled) atSettled = backend.calls["ReadCache"];
            if (now >= settled + cs.span) break;
            backend.Set(0, static_cast<float>(now));
            next = engine->Tick(now);
            transport.Take(1);
        }
        EXPECT_EQ(backend.calls["ReadCache"] - atSettled, cs.samples) << cs.name;
        client().Call(id::DeleteSubscriptions, [&](Encoder& e) {
            e.ArrayLength(1);
            e.UInt32(sub);
        });
    }
}

TEST_F(SubscriptionTest, ASamplerThatFellBehindSkipsForwardOnItsGridInsteadOfBursting) {
    EXPECT_EQ(NextSampleDue(1000, 100, 1000), 1100);
    EXPECT_EQ(NextSampleDue(1000, 100, 1050), 1100) << "late within the period: the due time holds";
    EXPECT_EQ(NextSampleDue(1000, 100, 1100), 1200);
    EXPECT_EQ(NextSampleDue(1000, 100, 1399), 1400) << "three periods missed: skipped, not repeated";
    EXPECT_EQ(NextSampleDue(1000, 100, 1400), 1500);
    EXPECT_EQ(NextSampleDue(1000, 0, 1000), 1001) << "never a period of 0";

    EXPECT_EQ(GridDueAfter(1050, 100, 1000), 1050);
    EXPECT_EQ(GridDueAfter(1050, 100, 1050), 1150);
    EXPECT_EQ(GridDueAfter(250, 100, 1000), 1050) << "an anchor in the past";
    EXPECT_EQ(GridDueAfter(5050, 100, 1000), 1050) << "an anchor in the future";

    const uint32_t sub = CreateSubscription(100, 1000000);
    const Millis created = now;
    Monitor(sub, {{NodeId::String(1, "item0"), AttrValue, {}, 1}});
    backend.calls["ReadCache"] = 0;
    auto sampleAt = [&](Millis t) {
        now = t;
        backend.Set(0, static_cast<float>(t));
        engine->Tick(now);
        transport.Take(1);
        return backend.calls["ReadCache"];
    };
    EXPECT_EQ(sampleAt(created), 1) << "the first sample at once";
    // Then half a period before each publishing time (created + 100 k).
    EXPECT_EQ(sampleAt(created + 49), 1);
    EXPECT_EQ(sampleAt(created + 50), 2);
    // Stalled for 500 ms: one sample now, the next one back on the grid.
    EXPECT_EQ(sampleAt(created + 560), 3) << "no burst of the missed samples";
    EXPECT_EQ(sampleAt(created + 649), 3);
    EXPECT_EQ(sampleAt(created + 650), 4);
    EXPECT_EQ(sampleAt(created + 750), 5);
}

TEST_F(SubscriptionTest, AbsoluteDeadbandSuppressesSmallChanges) {
    const uint32_t sub = CreateSubscription(100, 100);
    auto st = Monitor(sub, {{NodeId::String(1, "item0"), AttrValue, DataChange(1, 1, 1.0), 1}});
    ASSERT_EQ(st[0], status::Good);
    Publish();
    Advance(120);  // first sample
    Publish();
    backend.Set(0, 0.5f);
    EXPECT_TRUE(Advance(220).empty());
    backend.Set(0, 0.9f);
    EXPECT_TRUE(Advance(220).empty());
    backend.Set(0, 1.5f);
    auto msgs = Advance(220);
    ASSERT_EQ(msgs.size(), 1u);
    const PublishResult r = ParsePublish(msgs[0]);
    ASSERT_EQ(r.notifications.size(), 1u);
    EXPECT_FLOAT_EQ(std::get<float>(r.notifications[0].value.value.scalar), 1.5f);
}

TEST_F(SubscriptionTest, UnsupportedFiltersAndEventItemsAreRefusedPerItem) {
    const uint32_t sub = CreateSubscription();
    auto st = Monitor(sub, {
                               {NodeId::String(1, "item0"), AttrValue, DataChange(1, 2, 10), 1},
                               {NodeId(0, id::Server), AttrEventNotifier, {}, 2},
                               {NodeId::String(1, "nope"), AttrValue, {}, 3},
                               {NodeId::String(1, "item1"), AttrValue,
                                MakeExtension(id::EventFilter,
                                              [](Encoder& e) {
                                                  e.ArrayLength(0);
                                                  e.ArrayLength(0);
                                              }),
                                4},
                               {NodeId(0, id::State), AttrValue, DataChange(1, 1, 1), 5},
                               {NodeId::String(1, "item1"), AttrValue, DataChange(1, 1, -1), 6},
                               {NodeId::String(1, "item1"), AttrValue, {}, 7},
                           });
    EXPECT_EQ(st, (std::vector<StatusCode>{
                      status::BadMonitoredItemFilterUnsupported, status::BadNotSupported,
                      status::BadNodeIdUnknown, status::BadMonitoredItemFilterUnsupported,
                      status::BadFilterNotAllowed, status::BadDeadbandFilterInvalid, status::Good}));
    EXPECT_EQ(engine->MonitoredItemCount(), 1u);
    EXPECT_EQ(backend.active, 1);
}

TEST_F(SubscriptionTest, PublishWithoutSubscriptionIsBadNoSubscription) {
    auto msgs = Publish();
    ASSERT_EQ(msgs.size(), 1u);
    EXPECT_EQ(ParsePublish(msgs[0]).serviceResult, status::BadNoSubscription);
}

TEST_F(SubscriptionTest, PublishRequestsBeyondTheLimitAreRefused) {
    CreateSubscription(1000, 100);
    for (int i = 0; i < config.maxPublishRequestsPerSession; ++i) EXPECT_TRUE(Publish().empty());
    auto msgs = Publish();
    ASSERT_EQ(msgs.size(), 1u);
    EXPECT_EQ(ParsePublish(msgs[0]).serviceResult, status::BadTooManyPublishRequests);
}

TEST_F(SubscriptionTest, QueuedPublishExpiresAtItsTimeoutHint) {
    CreateSubscription(1000, 100);
    Advance(1100);  // first cycle's keep-alive goes late, nothing queued yet
    Publish(500);   // answered at once with the late keep-alive
    EXPECT_TRUE(Publish(500).empty());
    auto msgs = Advance(520);
    ASSERT_EQ(msgs.size(), 1u);
    EXPECT_EQ(ParsePublish(msgs[0]).serviceResult, status::BadTimeout);
}

TEST_F(SubscriptionTest, DeletingItemsAndSubscriptionsDeactivatesThem) {
    const uint32_t sub = CreateSubscription();
    Monitor(sub,
            {{NodeId::String(1, "item0"), AttrValue, {}, 1}, {NodeId::String(1, "item1"), AttrValue, {}, 2}});
    EXPECT_EQ(backend.active, 2);
    auto del = client().Call(id::DeleteMonitoredItems, [&](Encoder& e) {
        e.UInt32(sub);
        e.ArrayLength(2);
        e.UInt32(1);
        e.UInt32(99);
    });
    Decoder d(del.body);
    ReadResponseHeader(d);
    ASSERT_EQ(d.Int32(), 2);
    EXPECT_EQ(d.Status(), status::Good);
    EXPECT_EQ(d.Status(), status::BadMonitoredItemIdInvalid);
    EXPECT_EQ(backend.active, 1);
    client().Call(id::DeleteSubscriptions, [&](Encoder& e) {
        e.ArrayLength(1);
        e.UInt32(sub);
    });
    EXPECT_EQ(backend.active, 0);
    EXPECT_EQ(engine->SubscriptionCount(), 0u);
}

TEST_F(SubscriptionTest, ShutdownNotifiesSubscribersOfStateAndReasonThenEndsSessions) {
    const uint32_t sub = CreateSubscription(100, 100);
    Monitor(sub,
            {{NodeId(0, id::State), AttrValue, {}, 1}, {NodeId(0, id::ShutdownReason), AttrValue, {}, 2}});
    Publish();
    Advance(120);  // first samples: Running, empty reason
    Publish();
    Publish();
    engine->BeginShutdown("Остановка", now);
    auto msgs = client().reader.Feed(transport.Take(1));
    auto more = Advance(50);
    msgs.insert(msgs.end(), more.begin(), more.end());
    bool sawState = false, sawReason = false, sawSessionEnd = false;
    for (const auto& m : msgs) {
        const PublishResult r = ParsePublish(m);
        if (r.serviceResult == status::BadShutdown) sawSessionEnd = true;
        for (const auto& n : r.notifications) {
            if (n.clientHandle == 1) sawState = std::get<int64_t>(n.value.value.scalar) == 4;
            if (n.clientHandle == 2)
                sawReason = std::get<LocalizedText>(n.value.value.scalar).text.value == "Остановка";
        }
    }
    EXPECT_TRUE(sawState);
    EXPECT_TRUE(sawReason);
    EXPECT_TRUE(sawSessionEnd);
    EXPECT_TRUE(engine->ShutdownComplete());
    EXPECT_EQ(engine->SessionCount(), 0u);
    EXPECT_EQ(backend.calls["SessionClosed"], 1);
}

TEST_F(SubscriptionTest, SubscriptionExpiresWithoutPublishRequests) {
    auto m = client().Call(id::CreateSubscription, [&](Encoder& e) {
        e.Double(100);
        e.UInt32(6);
        e.UInt32(2);
        e.UInt32(0);
        e.Boolean(true);
        e.Byte(0);
    });
    Decoder d(m.body);
    ReadResponseHeader(d);
    const uint32_t sub = d.UInt32();
    Monitor(sub, {{NodeId::String(1, "item0"), AttrValue, {}, 1}});
    Advance(800);
    EXPECT_EQ(engine->SubscriptionCount(), 0u);
    EXPECT_EQ(backend.active, 0);
}
