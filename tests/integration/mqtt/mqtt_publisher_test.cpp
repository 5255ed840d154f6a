// The publisher against a real mosquitto broker started by the test.
#include "mqtt/mqtt_publisher.h"

#include <gtest/gtest.h>

#include <QJsonDocument>
#include <QJsonObject>
#include <condition_variable>
#include <thread>

#include "mqtt/mqtt_bridge.h"
#include "mqtt_test_broker.h"
#include "opc/opc_server.h"

using namespace qora;
using namespace mqtttest;

namespace {

int64_t NowMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

TMqttSettings Settings(int port, const std::string& prefix) {
    TMqttSettings s;
    s.enabled = true;
    s.host = "127.0.0.1";
    s.port = uint16_t(port);
    s.clientId = prefix;
    s.topicPrefix = "qt/" + prefix;
    return s;
}

std::vector<TMqttItem> Items(const std::string& prefix, int n) {
    std::vector<TMqttItem> items;
    for (int i = 0; i < n; ++i)
        items.push_back({"qt/" + prefix + "/p/d/i" + std::to_string(i),
                         "Точка(ttyS0).Прибор(Т №1).i" + std::to_string(i)});
    return items;
}

QJsonObject Json(const std::string& payload) {
    return QJsonDocument::fromJson(QByteArray::fromStdString(payload)).object();
}

bool HasValue(const std::map<std::string, std::string>& last, const std::string& topic, double value) {
    const auto it = last.find(topic);
    return it != last.end() && Json(it->second).value("value").toDouble() == value;
}

// A bounded wait for something that must NOT happen: true when holds() stays true for the whole of
// span (it returns false as soon as it breaks). Only where a check is about an absence.
template <typename F>
bool HoldsFor(std::chrono::milliseconds span, F holds) {
    const auto end = std::chrono::steady_clock::now() + span;
    while (std::chrono::steady_clock::now() < end) {
        if (!holds()) return false;
        std::this_thread::sleep_for(20ms);
    }
    return holds();
}

// Polls done() until it holds or bound has passed.
template <typename F>
bool WaitUntil(std::chrono::milliseconds bound, F done) {
    const auto end = std::chrono::steady_clock::now() + bound;
    while (!done() && std::chrono::steady_clock::now() < end) std::this_thread::sleep_for(20ms);
    return done();
}

// Event-log lines of a publisher, collected from its threads.
class Lines {
  public:
    void Attach(TMqttPublisher& pub) {
        pub.SetEventSink([this](const QString& line) {
            std::lock_guard lock(m_);
            lines_ << line;
        });
    }
    int Count(const QString& part) const {
        std::lock_guard lock(m_);
        return int(lines_.filter(part).size());
    }

  private:
    mutable std::mutex m_;
    QStringList lines_;
};

class MqttPublisherTest : public ::testing::Test {
  protected:
    void SetUp() override {
        if (!Broker::Available()) GTEST_SKIP() << "mosquitto is not installed";
    }
};

TEST_F(MqttPublisherTest, EveryItemArrivesWithItsValueQualityAndStatus) {
    Broker broker;
    ASSERT_TRUE(broker.Start());
    Subscriber sub(broker.Port(), "qt/#");
    ASSERT_EQ(sub.ConnackRc(5s), 0);
    TMqttPublisher pub(Settings(broker.Port(), "all"));
    ASSERT_TRUE(pub.Start());
    pub.SetItems(Items("all", 5));
    const struct {
        float value;
        uint16_t quality;
        const char* status;
    } cases[] = {{21.5f, 192, "Good"},
                 {9999999.0f, 8, "BadNotConnected"},
                 {0.1f, 24, "BadNoCommunication"},
                 {-3.25f, 0, "Bad"},
                 {1e-45f, 64, "Bad"}};
    const int64_t t = 1796723740123;
    std::vector<TItemUpdate> updates;
    for (uint32_t i = 0; i < 5; ++i) updates.push_back({i, {cases[i].value, cases[i].quality, t}});
    pub.Update(updates);
    ASSERT_TRUE(sub.WaitFor(10s, [](const auto& last) { return last.size() >= 6; })) << sub.Last().size();
    const auto last = sub.Last();
    EXPECT_EQ(last.at("qt/all/$state"), "online");
    for (uint32_t i = 0; i < 5; ++i) {
        const QJsonObject o = Json(last.at("qt/all/p/d/i" + std::to_string(i)));
        SCOPED_TRACE(i);
        EXPECT_EQ(o.value("id").toString(), QStringLiteral("Точка(ttyS0).Прибор(Т №1).i%1").arg(i));
        EXPECT_EQ(o.value("nodeId").toString(),
                  QStringLiteral("ns=1;s=Точка(ttyS0).Прибор(Т №1).i%1").arg(i));
        // Only a Good value is a number.
        if (cases[i].quality == kQualityGood)
            EXPECT_EQ(float(o.value("value").toDouble()), cases[i].value);
        else
            EXPECT_TRUE(o.value("value").isNull());
        EXPECT_EQ(o.value("seq").toInt(), 1);
        EXPECT_EQ(o.value("quality").toInt(), cases[i].quality);
        EXPECT_EQ(o.value("status").toString(), QString::fromLatin1(cases[i].status));
        EXPECT_EQ(o.value("sourceTime").toString(), QStringLiteral("2026-12-08T09:55:40.123Z"));
    }
    // The acknowledgements come on the publisher's thread, not as a message: poll its counter.
    EXPECT_TRUE(WaitUntil(5s, [&] { return pub.Stats().sent == 5; }));
    EXPECT_TRUE(pub.Stats().connected);
}

// How soon a change arrives is printed, not asserted (a loaded machine or a sanitizer sets it).
TEST_F(MqttPublisherTest, AChangeArrivesAndOnlyTheLatestOfAnItemWaits) {
    Broker broker;
    ASSERT_TRUE(broker.Start());
    Subscriber sub(broker.Port(), "qt/#");
    ASSERT_EQ(sub.ConnackRc(5s), 0);
    TMqttPublisher pub(Settings(broker.Port(), "chg"));
    ASSERT_TRUE(pub.Start());
    pub.SetItems(Items("chg", 3));
    pub.Update({{0, {1, 192, NowMs()}}, {1, {2, 192, NowMs()}}, {2, {3, 192, NowMs()}}});
    ASSERT_TRUE(sub.WaitFor(10s, [](const auto& last) { return HasValue(last, "qt/chg/p/d/i2", 3); }));
    const auto t0 = std::chrono::steady_clock::now();
    pub.Update({{1, {42.5f, 192, NowMs()}}});
    EXPECT_TRUE(sub.WaitFor(30s, [](const auto& last) { return HasValue(last, "qt/chg/p/d/i1", 42.5); }));
    std::printf("change delivered in %lld ms\n",
                (long long)std::chrono::duration_cast<std::chrono::milliseconds>(
                    std::chrono::steady_clock::now() - t0)
                    .count());
}

TEST_F(MqttPublisherTest, ALateSubscriberFindsTheRetainedSnapshot) {
    Broker broker;
    ASSERT_TRUE(broker.Start());
    TMqttPublisher pub(Settings(broker.Port(), "late"));
    ASSERT_TRUE(pub.Start());
    const int n = 300;
    pub.SetItems(Items("late", n));
    std::vector<TItemUpdate> updates;
    for (int i = 0; i < n; ++i) updates.push_back({uint32_t(i), {float(i) + 0.5f, 192, NowMs()}});
    pub.Update(updates);
    const auto end = std::chrono::steady_clock::now() + 10s;
    while (pub.Stats().sent < uint64_t(n) && std::chrono::steady_clock::now() < end)
        std::this_thread::sleep_for(20ms);
    ASSERT_EQ(pub.Stats().sent, uint64_t(n));
    Subscriber late(broker.Port(), "qt/late/#");
    ASSERT_TRUE(late.WaitFor(5s, [&](const auto& last) { return last.size() == size_t(n) + 1; }))
        << late.Last().size();
    const auto retained = late.Retained();
    EXPECT_EQ(retained.size(), size_t(n) + 1);
    EXPECT_EQ(retained.at("qt/late/$state"), "online");
    for (int i = 0; i < n; ++i)
        EXPECT_TRUE(HasValue(retained, "qt/late/p/d/i" + std::to_string(i), i + 0.5)) << i;
}

TEST_F(MqttPublisherTest, ABrokerThatStartsLaterIsConnectedTo) {
    Broker broker;
    Lines lines;  // outlives the publisher, whose threads tell it
    TMqttPublisher pub(Settings(broker.Port(), "later"));
    lines.Attach(pub);
    ASSERT_TRUE(pub.Start());
    pub.SetItems(Items("later", 2));
    pub.Update({{0, {7, 192, NowMs()}}, {1, {8, 192, NowMs()}}});
    // A connect attempt has failed, and the values wait.
    ASSERT_TRUE(WaitUntil(30s, [&] { return lines.Count(QStringLiteral("нет соединения")) > 0; }));
    EXPECT_FALSE(pub.Stats().connected);
    EXPECT_EQ(pub.Stats().waiting, 2u);
    ASSERT_TRUE(broker.Start());
    Subscriber sub(broker.Port(), "qt/#");
    EXPECT_TRUE(sub.WaitFor(15s, [](const auto& last) {
        return HasValue(last, "qt/later/p/d/i0", 7) && HasValue(last, "qt/later/p/d/i1", 8);
    }));
}

// The broker is killed while every value changes a hundred times; after its restart every item's
// latest value is there (retained: the broker kept nothing, so it is the snapshot), with the
// sequence number that shows how many values were replaced unsent, and the store held one entry
// per item throughout. (The process's memory over an outage is measured by bench_mqtt.)
TEST_F(MqttPublisherTest, AnOutageOfAHundredRoundsEndsWithEveryLatestValueDeliveredAndABoundedStore) {
    Broker broker;
    ASSERT_TRUE(broker.Start());
    TMqttPublisher pub(Settings(broker.Port(), "out"));
    ASSERT_TRUE(pub.Start());
    const int n = 2000;
    pub.SetItems(Items("out", n));
    std::vector<TItemUpdate> updates(n);
    auto push = [&](int round) {
        for (int i = 0; i < n; ++i)
            updates[size_t(i)] = {uint32_t(i), {float(round * 10000 + i), 192, NowMs()}};
        pub.Update(updates);
    };
    push(0);
    auto end = std::chrono::steady_clock::now() + 20s;
    while (pub.Stats().sent < uint64_t(n) && std::chrono::steady_clock::now() < end)
        std::this_thread::sleep_for(20ms);
    ASSERT_EQ(pub.Stats().sent, uint64_t(n));

    broker.Kill();
    // The loss is noticed, then a hundred rounds of every item changing during the outage.
    ASSERT_TRUE(WaitUntil(30s, [&] { return !pub.Stats().connected; }));
    int round = 1;
    for (; round <= 100; ++round) {
        push(round);
        ASSERT_LE(pub.Stats().waiting, size_t(n));
    }
    const auto during = pub.Stats();
    EXPECT_FALSE(during.connected);
    EXPECT_EQ(during.waiting, size_t(n));
    // Every round but the last two replaced each waiting value (kept as loose as when the first
    // rounds could go out before the loss was noticed).
    EXPECT_GE(during.dropped, uint64_t(n) * uint64_t(round - 3));
    std::printf("outage: %d rounds, dropped %llu\n", round, (unsigned long long)during.dropped);

    const int lastRound = round - 1;
    ASSERT_TRUE(broker.Start());
    Subscriber sub(broker.Port(), "qt/out/#");
    ASSERT_TRUE(
        sub.WaitFor(60s,
                    [&](const auto& last) {
                        if (last.size() < size_t(n) + 1) return false;
                        for (int i = 0; i < n; ++i)
                            if (!HasValue(last, "qt/out/p/d/i" + std::to_string(i), lastRound * 10000 + i))
                                return false;
                        return true;
                    }))
        << sub.Last().size() << " topics; publisher: connected " << pub.Stats().connected << ", waiting "
        << pub.Stats().waiting << ", outstanding " << pub.Stats().outstanding << " ("
        << pub.Stats().oldOutstanding << " from before the reconnect), sent " << pub.Stats().sent;
    EXPECT_EQ(sub.Last().at("qt/out/$state"), "online");
    EXPECT_EQ(pub.Stats().connects, 2u);
    // One value per round and item: the consumer sees from the number how many it never got.
    for (int i = 0; i < n; i += 397)
        EXPECT_EQ(Json(sub.Last().at("qt/out/p/d/i" + std::to_string(i))).value("seq").toInt(), lastRound + 1)
            << i;
}

TEST_F(MqttPublisherTest, TheBrokersUserNameAndPasswordAreHonoured) {
    Broker broker(std::map<std::string, std::string>{{"qora", "s3cret"}});
    ASSERT_TRUE(broker.Start());
    Subscriber sub(broker.Port(), "qt/#", "qora", "s3cret");
    ASSERT_EQ(sub.ConnackRc(5s), 0);

    TMqttSettings wrong = Settings(broker.Port(), "auth-bad");
    wrong.username = "qora";
    wrong.password = "wrong";
    TMqttPublisher refused(wrong);
    std::mutex m;
    QStringList lines;
    refused.SetEventSink([&](const QString& line) {
        std::lock_guard lock(m);
        lines << line;
    });
    ASSERT_TRUE(refused.Start());

    TMqttSettings right = Settings(broker.Port(), "auth-ok");
    right.username = "qora";
    right.password = "s3cret";
    TMqttPublisher pub(right);
    ASSERT_TRUE(pub.Start());
    pub.SetItems(Items("auth-ok", 1));
    pub.Update({{0, {5, 192, NowMs()}}});
    EXPECT_TRUE(sub.WaitFor(10s, [](const auto& last) { return HasValue(last, "qt/auth-ok/p/d/i0", 5); }));
    EXPECT_TRUE(pub.Stats().connected);
    EXPECT_FALSE(refused.Stats().connected);
    EXPECT_EQ(sub.Last().count("qt/auth-bad/$state"), 0u);
    std::lock_guard lock(m);
    EXPECT_TRUE(lines.join(u'\n').contains(QStringLiteral("отказал"))) << lines.join(u'\n').toStdString();
}

// A broker that cannot be reached is reported with the reason at the first failure, and only once
// however often the connect is retried.
TEST_F(MqttPublisherTest, AnUnreachableBrokerIsReportedOnceWithTheReason) {
    Broker plain;  // a broker without TLS, for the TLS case
    ASSERT_TRUE(plain.Start());
    const int closedPort = FreePort();
    const struct {
        const char* name;
        std::string host;
        int port;
        bool tls;
    } cases[] = {{"refused", "127.0.0.1", closedPort, false},
                 {"unknown host", "qora-test-broker.invalid", closedPort, false},
                 {"TLS to a plain listener", "127.0.0.1", plain.Port(), true}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        TMqttSettings settings = Settings(c.port, "unreach");
        settings.host = c.host;
        if (c.tls) settings.caFile = "/etc/ssl/certs/ca-certificates.crt";
        TMqttPublisher pub(settings);
        std::mutex m;
        std::condition_variable cv;
        QStringList lines;
        pub.SetEventSink([&](const QString& line) {
            std::lock_guard lock(m);
            lines << line;
            cv.notify_all();
        });
        ASSERT_TRUE(pub.Start());
        const QString failure = QStringLiteral("MQTT: нет соединения с брокером %1:%2: ")
                                    .arg(QString::fromStdString(c.host))
                                    .arg(c.port);
        const auto failures = [&] { return lines.filter(failure).size(); };
        std::unique_lock lock(m);
        ASSERT_TRUE(cv.wait_for(lock, 30s, [&] { return failures() > 0; }))
            << lines.join(u'\n').toStdString();
        lock.unlock();
        // An absence: no second line while the connect is retried twice (back-off 1 s, 2 s).
        EXPECT_TRUE(HoldsFor(3500ms, [&] {
            std::lock_guard held(m);
            return failures() == 1;
        }));
        lock.lock();
        EXPECT_EQ(failures(), 1) << lines.join(u'\n').toStdString();
        EXPECT_GT(lines.filter(failure).front().size(), failure.size()) << "a reason follows";
        EXPECT_FALSE(pub.Stats().connected);
        lock.unlock();
        pub.Stop();
    }
}

TEST_F(MqttPublisherTest, StopLeavesARetainedOfflineAndEndsPromptlyWithoutABroker) {
    Broker broker;
    ASSERT_TRUE(broker.Start());
    {
        TMqttPublisher pub(Settings(broker.Port(), "stop"));
        ASSERT_TRUE(pub.Start());
        Subscriber sub(broker.Port(), "qt/stop/$state");
        ASSERT_TRUE(sub.WaitFor(5s, [](const auto& last) {
            return last.count("qt/stop/$state") && last.at("qt/stop/$state") == "online";
        }));
    }
    Subscriber after(broker.Port(), "qt/stop/$state");
    EXPECT_TRUE(after.WaitFor(5s, [](const auto& last) {
        return last.count("qt/stop/$state") && last.at("qt/stop/$state") == "offline";
    }));

    broker.Kill();
    const auto t0 = std::chrono::steady_clock::now();
    {
        Lines lines;
        TMqttPublisher pub(Settings(broker.Port(), "stop2"));
        lines.Attach(pub);
        ASSERT_TRUE(pub.Start());
        // A connect attempt is under way (its first failure told) when Stop comes.
        EXPECT_TRUE(WaitUntil(30s, [&] { return lines.Count(QStringLiteral("нет соединения")) > 0; }));
    }
    // Bounded by kStopWait and a cancelled connect attempt; far below a connect's own time-out.
    const auto took = std::chrono::steady_clock::now() - t0;
    std::printf("stop without a broker took %lld ms\n",
                (long long)std::chrono::duration_cast<std::chrono::milliseconds>(took).count());
    EXPECT_LT(took, 30s);
}

}  // namespace

// The bridge between the server object and the publisher: an item whose device is deleted is
// published once as not connected with the no-value marker, and the device that moves into its
// records keeps its own topic.
TEST_F(MqttPublisherTest, AnItemWhoseDeviceIsDeletedIsPublishedNotConnectedAndTheMovedDeviceKeepsItsTopic) {
    Broker broker;
    ASSERT_TRUE(broker.Start());
    Subscriber sub(broker.Port(), "qt/#");
    ASSERT_EQ(sub.ConnackRc(5s), 0);
    TMqttPublisher pub(Settings(broker.Port(), "bridge"));
    ASSERT_TRUE(pub.Start());

    std::unique_ptr<TConfigModel, ModelDeleter> model(CreateModel());
    CopyName(model->paramNames[0], u"Т", kMaxCatalogNameChars);
    CopyName(model->typeNames[0], u"Тип", kMaxCatalogNameChars);
    model->typeCount = 1;
    model->typeMasks[0] = 1;
    ASSERT_EQ(AppendPoint(*model, u"Линия", "ttyS0", 1, true), ModelResult::Ok);
    ASSERT_EQ(AppendDevice(*model, 0, u"Первый", 0, 1, 0b1), ModelResult::Ok);
    ASSERT_EQ(AppendDevice(*model, 0, u"Второй", 0, 2, 0b1), ModelResult::Ok);
    COPCServer server;
    ua::ServerConfig cfg;
    cfg.host = "127.0.0.1";
    cfg.port = 0;
    cfg.bindRetryMs = 0;
    server.GBSetEndpointConfig(cfg);
    server.InitializeOPC(*model);
    ASSERT_EQ(server.ItemCount(), 2);

    TMqttBridge bridge(pub, *model);
    server.AddPushObserver(&bridge);
    for (int d = 0; d < 2; ++d) {
        StoreValue(model->points[0].devices[d], 0, 1.0f + float(d));
        StoreQuality(model->points[0].devices[d], 0, kQualityGood);
    }
    server.PushAll(*model);
    const std::string first = "qt/bridge/Линия/Первый/Т";
    const std::string second = "qt/bridge/Линия/Второй/Т";
    ASSERT_TRUE(sub.WaitFor(
        10s, [&](const auto& last) { return HasValue(last, first, 1.0) && HasValue(last, second, 2.0); }));

    // The first device is deleted; the second moves into its records and reads 5.
    server.BeginModelEdit();
    ASSERT_EQ(DeleteDevice(*model, 0, 0), ModelResult::Ok);
    server.EndModelEdit();
    StoreValue(model->points[0].devices[0], 0, 5.0f);
    StoreQuality(model->points[0].devices[0], 0, kQualityGood);
    server.PushAll(*model);
    ASSERT_TRUE(sub.WaitFor(10s, [&](const auto& last) {
        const auto it = last.find(first);
        return it != last.end() && Json(it->second).value("quality").toInt() == kQualityNotConnected &&
               HasValue(last, second, 5.0);
    }));
    const QJsonObject gone = Json(sub.Last().at(first));
    EXPECT_TRUE(gone.value("value").isNull());
    EXPECT_EQ(gone.value("status").toString(), QStringLiteral("BadNotConnected"));

    // Published once: later ticks leave the topic alone. Messages acknowledged: two at the
    // start, the orphan and the moved value, then only the moved device's next value.
    StoreValue(model->points[0].devices[0], 0, 6.0f);
    server.PushAll(*model);
    server.PushAll(*model);
    ASSERT_TRUE(sub.WaitFor(10s, [&](const auto& last) { return HasValue(last, second, 6.0); }));
    // The acknowledgements come on the publisher's thread: poll its counter.
    ASSERT_TRUE(WaitUntil(10s, [&] { return pub.Stats().sent >= 5; }));
    // An absence: no sixth message (the orphan again) follows.
    EXPECT_TRUE(HoldsFor(300ms, [&] { return pub.Stats().sent == 5; }));
    EXPECT_EQ(pub.Stats().sent, 5u);
    EXPECT_EQ(Json(sub.Last().at(first)).value("quality").toInt(), kQualityNotConnected);

    // Added back as it was, the first device serves its item again: the value it had before the
    // delete goes out again, over the orphan.
    server.BeginModelEdit();
    ASSERT_EQ(AppendDevice(*model, 0, u"Первый", 0, 1, 0b1), ModelResult::Ok);
    server.EndModelEdit();
    StoreValue(model->points[0].devices[1], 0, 1.0f);
    StoreQuality(model->points[0].devices[1], 0, kQualityGood);
    server.PushAll(*model);
    EXPECT_TRUE(sub.WaitFor(10s, [&](const auto& last) { return HasValue(last, first, 1.0); }));
    server.RemovePushObserver(&bridge);
    server.ShutdownOPC();
}
