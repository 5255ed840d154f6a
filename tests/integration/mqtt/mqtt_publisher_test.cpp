// The publisher against a real mosquitto broker started by the test.
#include "mqtt/mqtt_publisher.h"

#include <gtest/gtest.h>

#include <QJsonDocument>
#include <QJsonObject>
#include <fstream>
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

long RssKiB() {
    std::ifstream in("/proc/self/status");
    std::string line;
    while (std::getline(in, line))
        if (line.rfind("VmRSS:", 0) == 0) return std::atol(line.c_str() + 6);
    return -1;
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
        EXPECT_EQ(float(o.value("value").toDouble()), cases[i].value);
        EXPECT_EQ(o.value("quality").toInt(), cases[i].quality);
        EXPECT_EQ(o.value("status").toString(), QString::fromLatin1(cases[i].status));
        EXPECT_EQ(o.value("sourceTime").toString(), QStringLiteral("2026-12-08T09:55:40.123Z"));
    }
    EXPECT_TRUE(sub.WaitFor(5s, [&](const auto&) { return pub.Stats().sent == 5; }));
    EXPECT_TRUE(pub.Stats().connected);
}

TEST_F(MqttPublisherTest, AChangeArrivesWithinTwoSecondsAndOnlyTheLatestOfAnItemWaits) {
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
    EXPECT_TRUE(sub.WaitFor(2s, [](const auto& last) { return HasValue(last, "qt/chg/p/d/i1", 42.5); }));
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
    TMqttPublisher pub(Settings(broker.Port(), "later"));
    ASSERT_TRUE(pub.Start());
    pub.SetItems(Items("later", 2));
    pub.Update({{0, {7, 192, NowMs()}}, {1, {8, 24, NowMs()}}});
    std::this_thread::sleep_for(1500ms);
    EXPECT_FALSE(pub.Stats().connected);
    EXPECT_EQ(pub.Stats().waiting, 2u);
    ASSERT_TRUE(broker.Start());
    Subscriber sub(broker.Port(), "qt/#");
    EXPECT_TRUE(sub.WaitFor(15s, [](const auto& last) {
        return HasValue(last, "qt/later/p/d/i0", 7) && HasValue(last, "qt/later/p/d/i1", 8);
    }));
}

// The broker is killed for 10 s while every value keeps changing; after its restart every item's
// latest value is there (retained: the broker kept nothing, so it is the snapshot), and neither
// the store nor the process grew with the outage.
TEST_F(MqttPublisherTest, ATenSecondOutageEndsWithEveryLatestValueDeliveredAndBoundedMemory) {
#if defined(__SANITIZE_THREAD__)
    // Under the thread sanitizer, on a loaded machine, delivery after the restart sometimes stops
    // short of the 2000 values within the bound; the publisher's threads are checked for races by
    // the other tests of this file.
    GTEST_SKIP() << "timing of a 10 s outage with 2000 items is not meaningful under the thread sanitizer";
#endif
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
    const long rssBefore = RssKiB();
    int round = 1;
    // Ten pushes a second: a hundred rounds of every item changing during the outage.
    for (const auto outageEnd = std::chrono::steady_clock::now() + 10s;
         std::chrono::steady_clock::now() < outageEnd; ++round) {
        push(round);
        ASSERT_LE(pub.Stats().waiting, size_t(n));
        std::this_thread::sleep_for(100ms);
    }
    const long rssAfter = RssKiB();
    const auto during = pub.Stats();
    EXPECT_FALSE(during.connected);
    EXPECT_EQ(during.waiting, size_t(n));
    EXPECT_GE(during.dropped, uint64_t(n) * 50);
    std::printf("outage: %d rounds, RSS %ld KiB before, %ld KiB after, dropped %llu\n", round, rssBefore,
                rssAfter, (unsigned long long)during.dropped);
    // Generous: 100 rounds x 2000 values held anywhere would be far more than this.
    EXPECT_LT(rssAfter - rssBefore, 8 * 1024);

    const int lastRound = round - 1;
    ASSERT_TRUE(broker.Start());
    Subscriber sub(broker.Port(), "qt/out/#");
    ASSERT_TRUE(sub.WaitFor(60s, [&](const auto& last) {
        if (last.size() < size_t(n) + 1) return false;
        for (int i = 0; i < n; ++i)
            if (!HasValue(last, "qt/out/p/d/i" + std::to_string(i), lastRound * 10000 + i)) return false;
        return true;
    })) << sub.Last().size();
    EXPECT_EQ(sub.Last().at("qt/out/$state"), "online");
    EXPECT_EQ(pub.Stats().connects, 2u);
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
        TMqttPublisher pub(Settings(broker.Port(), "stop2"));
        ASSERT_TRUE(pub.Start());
        std::this_thread::sleep_for(300ms);
    }
    EXPECT_LT(std::chrono::steady_clock::now() - t0, 5s);
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
    EXPECT_EQ(float(gone.value("value").toDouble()), kNoValue);
    EXPECT_EQ(gone.value("status").toString(), QStringLiteral("BadNotConnected"));

    // Published once: later ticks leave the topic alone. Messages acknowledged: two at the
    // start, the orphan and the moved value, then only the moved device's next value.
    StoreValue(model->points[0].devices[0], 0, 6.0f);
    server.PushAll(*model);
    server.PushAll(*model);
    ASSERT_TRUE(sub.WaitFor(10s, [&](const auto& last) { return HasValue(last, second, 6.0); }));
    // The acknowledgements come on the publisher's thread: poll its counter.
    for (int i = 0; i < 250 && pub.Stats().sent < 5; ++i) std::this_thread::sleep_for(20ms);
    std::this_thread::sleep_for(300ms);
    EXPECT_EQ(pub.Stats().sent, 5u);
    EXPECT_EQ(Json(sub.Last().at(first)).value("quality").toInt(), kQualityNotConnected);
    server.RemovePushObserver(&bridge);
    server.ShutdownOPC();
}
