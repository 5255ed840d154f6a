// Replay of an outage from the history and the items' metadata topics, through the whole chain
// the program builds (server object, MQTT bridge, history recorder, replay source, publisher)
// against a mosquitto broker that is stopped and started again. The broker keeps sessions over
// its restart, so a subscriber with a persistent session sees every message, in order, whenever
// it gets back on.
#include <gtest/gtest.h>

#include <QJsonDocument>
#include <QJsonObject>
#include <algorithm>
#include <atomic>
#include <tuple>

#include "app/history_recorder.h"
#include "mqtt/mqtt_bridge.h"
#include "mqtt/mqtt_publisher.h"
#include "mqtt_test_broker.h"
#include "opc/opc_server.h"

using namespace qora;
using namespace mqtttest;

namespace {

// A broker whose sessions and retained messages outlive a clean stop.
class PersistentBroker {
  public:
    PersistentBroker() : dir_(TempDir("qora-mqtt-replay")), port_(FreePort()) {
        const passwd* pw = ::getpwuid(::getuid());
        std::ofstream(dir_ / "mosquitto.conf")
            << "listener " << port_ << " 127.0.0.1\nuser " << (pw ? pw->pw_name : "root")
            << "\nallow_anonymous true\nmax_queued_messages 0\npersistence true\npersistence_location "
            << dir_.string() << "/\nlog_dest file " << (dir_ / "broker.log").string() << "\n";
    }
    ~PersistentBroker() {
        Stop();
        std::error_code ec;
        fs::remove_all(dir_, ec);
    }
    int Port() const { return port_; }
    bool Start() { return StartMosquitto(dir_ / "mosquitto.conf", port_, pid_); }
    // SIGTERM: the broker saves its sessions and ends.
    void Stop() { StopMosquitto(pid_, SIGTERM); }

  private:
    fs::path dir_;
    int port_;
    pid_t pid_ = -1;
};

struct Message {
    std::string topic;
    QJsonObject json;
};

// Every message of a persistent QoS 1 session, in the order of arrival.
class Recorder {
  public:
    Recorder(int port, const char* id, const std::string& filter) : filter_(filter) {
        mosquitto_lib_init();
        m_ = mosquitto_new(id, false, this);
        mosquitto_connect_callback_set(m_, [](mosquitto* m, void* self, int rc) {
            auto* r = static_cast<Recorder*>(self);
            // The broker keeps the subscription of the session over its restart.
            if (rc == 0 && !r->subscribed_.exchange(true))
                mosquitto_subscribe(m, nullptr, r->filter_.c_str(), 1);
        });
        mosquitto_subscribe_callback_set(m_, [](mosquitto*, void* self, int, int, const int*) {
            auto* r = static_cast<Recorder*>(self);
            std::lock_guard lock(r->mutex_);
            r->ready_ = true;
            r->cv_.notify_all();
        });
        mosquitto_message_callback_set(m_, [](mosquitto*, void* self, const mosquitto_message* msg) {
            auto* r = static_cast<Recorder*>(self);
            std::lock_guard lock(r->mutex_);
            const QByteArray payload(static_cast<const char*>(msg->payload), msg->payloadlen);
            r->messages_.push_back({msg->topic, QJsonDocument::fromJson(payload).object()});
            r->cv_.notify_all();
        });
        mosquitto_connect(m_, "127.0.0.1", port, 30);
        mosquitto_loop_start(m_);
    }
    ~Recorder() {
        mosquitto_disconnect(m_);
        mosquitto_loop_stop(m_, false);
        mosquitto_destroy(m_);
    }
    bool WaitFor(std::chrono::milliseconds bound,
                 const std::function<bool(const std::vector<Message>&)>& pred) {
        std::unique_lock lock(mutex_);
        return cv_.wait_for(lock, bound, [&] { return ready_ && pred(messages_); });
    }
    bool Ready(std::chrono::milliseconds bound) {
        return WaitFor(bound, [](const auto&) { return true; });
    }
    std::vector<Message> Messages() {
        std::lock_guard lock(mutex_);
        return messages_;
    }

  private:
    mosquitto* m_;
    std::string filter_;
    std::mutex mutex_;
    std::condition_variable cv_;
    std::atomic<bool> subscribed_{false};
    bool ready_ = false;
    std::vector<Message> messages_;
};

bool Replayed(const Message& m) {
    return m.json.value("replayed").toBool();
}
// The values of topic's value messages, replayed or live, in the order they came.
std::vector<double> Values(const std::vector<Message>& ms, const std::string& topic, bool replayed) {
    std::vector<double> out;
    for (const Message& m : ms)
        if (m.topic == topic && Replayed(m) == replayed) out.push_back(m.json.value("value").toDouble());
    return out;
}
size_t CountReplayed(const std::vector<Message>& ms) {
    return size_t(std::count_if(ms.begin(), ms.end(), Replayed));
}

bool WaitUntil(std::chrono::milliseconds bound, const std::function<bool()>& pred) {
    for (const auto end = std::chrono::steady_clock::now() + bound; !pred();
         std::this_thread::sleep_for(10ms))
        if (std::chrono::steady_clock::now() >= end) return false;
    return true;
}

// One line, one device with two items: the temperature has a unit and a range, the pressure none.
class MqttReplayTest : public ::testing::Test {
  protected:
    const std::string kTemp = "qt/rp/Линия/Котёл/Температура";
    const std::string kPressure = "qt/rp/Линия/Котёл/Давление";

    void SetUp() override {
        if (!Broker::Available()) GTEST_SKIP() << "mosquitto is not installed";
        ASSERT_TRUE(broker_.Start());
        CopyName(model_->paramNames[0], u"Температура", kMaxCatalogNameChars);
        CopyName(model_->paramNames[1], u"Давление", kMaxCatalogNameChars);
        CopyName(model_->typeNames[0], u"Тип", kMaxCatalogNameChars);
        model_->typeCount = 1;
        model_->typeMasks[0] = 0b11;
        ASSERT_EQ(AppendPoint(*model_, u"Линия", "ttyS0", 1, true), ModelResult::Ok);
        ASSERT_EQ(AppendDevice(*model_, 0, u"Котёл", 0, 1, 0b11), ModelResult::Ok);
        TItemMetadataCatalogue metadata;
        metadata.entries[0] = {"°C", true, -40, 150.5};
        server_.SetItemMetadata(std::move(metadata));
        ua::ServerConfig cfg;
        cfg.host = "127.0.0.1";
        cfg.port = 0;
        cfg.bindRetryMs = 0;
        server_.GBSetEndpointConfig(cfg);
        server_.InitializeOPC(*model_);
        ASSERT_EQ(server_.ItemCount(), 2);
        history::StoreOptions options;
        options.file = (dir_ / "history.db").string();
        std::string error;
        auto store = history::Store::Open(std::move(options), error);
        ASSERT_TRUE(store) << error;
        history_ = std::make_unique<THistoryRecorder>(std::move(store));
        server_.AddPushObserver(history_.get());
    }
    void TearDown() override {
        if (bridge_) server_.RemovePushObserver(bridge_.get());
        if (history_) server_.RemovePushObserver(history_.get());
        pub_.reset();
        history_.reset();
        server_.ShutdownOPC();
        std::error_code ec;
        fs::remove_all(dir_, ec);
    }
    void StartPublisher(int replayRate, TMqttPublisher::Clock clock) {
        TMqttSettings s;
        s.enabled = true;
        s.host = "127.0.0.1";
        s.port = uint16_t(broker_.Port());
        s.clientId = "qora-replay";
        s.topicPrefix = "qt/rp";
        s.keepAlive = 5;
        s.replayRate = replayRate;
        pub_ = std::make_unique<TMqttPublisher>(s, std::move(clock));
        pub_->SetEventSink([this](const QString& line) {
            std::lock_guard lock(linesMutex_);
            lines_ << line;
        });
        pub_->SetReplaySource(std::make_shared<THistoryReplaySource>(history_->Store(), server_));
        ASSERT_TRUE(pub_->Start());
        bridge_ = std::make_unique<TMqttBridge>(*pub_, *model_);
        server_.AddPushObserver(bridge_.get());
    }
    void Push(float temp, float pressure) {
        TDevice& d = model_->points[0].devices[0];
        StoreValue(d, 0, temp);
        StoreValue(d, 1, pressure);
        StoreQuality(d, 0, kQualityGood);
        StoreQuality(d, 1, kQualityGood);
        server_.PushAll(*model_);
    }
    // The first values confirmed, the broker stopped and noticed, rounds values pushed meanwhile
    // (temperature 101.., pressure 201..), the broker started again.
    void Outage(int rounds) {
        Push(1, 2);
        ASSERT_TRUE(WaitUntil(20s, [&] { return pub_->Stats().sent == 2; }));
        broker_.Stop();
        ASSERT_TRUE(WaitUntil(20s, [&] { return !pub_->Stats().connected; }));
        for (int r = 1; r <= rounds; ++r) Push(100.0f + float(r), 200.0f + float(r));
        ASSERT_TRUE(broker_.Start());
    }

    fs::path dir_ = TempDir("qora-replay-history");
    PersistentBroker broker_;
    std::unique_ptr<TConfigModel, ModelDeleter> model_{CreateModel()};
    COPCServer server_;
    std::unique_ptr<THistoryRecorder> history_;
    // The publisher's lines, and a clock a test may hold still and move.
    std::mutex linesMutex_;
    QStringList lines_;
    const std::chrono::steady_clock::time_point clockBase_ = std::chrono::steady_clock::now();
    std::atomic<int64_t> clockMs_{0};
    std::unique_ptr<TMqttPublisher> pub_;
    std::unique_ptr<TMqttBridge> bridge_;
};

// Each item's values of the outage come again, oldest first, marked and not retained, after the
// metadata and the snapshot of the reconnect; a late subscriber finds the latest live value
// retained, and the metadata.
TEST_F(MqttReplayTest, AnOutageIsReplayedPerItemInOrderAfterTheSnapshotAndNothingReplayedIsRetained) {
    Recorder rec(broker_.Port(), "qora-replay-rec", "qt/rp/#");
    ASSERT_TRUE(rec.Ready(10s));
    StartPublisher(kDefaultMqttReplayRate, [] { return std::chrono::steady_clock::now(); });
    const int rounds = 40;
    Outage(rounds);
    const auto replayedAll = [&](const std::vector<Message>& ms) {
        const auto t = Values(ms, kTemp, true), p = Values(ms, kPressure, true);
        return !t.empty() && t.back() == 100 + rounds && !p.empty() && p.back() == 200 + rounds;
    };
    ASSERT_TRUE(rec.WaitFor(60s, replayedAll)) << CountReplayed(rec.Messages()) << " replayed";
    ASSERT_TRUE(WaitUntil(20s, [&] { return !pub_->Stats().replaying; }));
    const std::vector<Message> ms = rec.Messages();

    // Per item in time order: the outage's values, led at most by the last confirmed one.
    for (const auto& [topic, base, first] :
         {std::tuple{kTemp, 100.0, 1.0}, std::tuple{kPressure, 200.0, 2.0}}) {
        SCOPED_TRACE(topic);
        std::vector<double> values = Values(ms, topic, true);
        if (!values.empty() && values.front() == first) values.erase(values.begin());
        std::vector<double> expected;
        for (int r = 1; r <= rounds; ++r) expected.push_back(base + r);
        EXPECT_EQ(values, expected);
    }
    // What came after the reconnect: the metadata, then the snapshot, then the replay.
    const auto at = [&](const std::function<bool(const Message&)>& pred) {
        return size_t(std::find_if(ms.begin(), ms.end(), pred) - ms.begin());
    };
    const size_t meta2 =
        at([&, n = 0](const Message& m) mutable { return m.topic == kTemp + "/$meta" && ++n == 2; });
    const size_t snapshot = at([&](const Message& m) {
        return m.topic == kTemp && !Replayed(m) && m.json.value("value").toDouble() == 100 + rounds;
    });
    const size_t firstReplayed = at(Replayed);
    EXPECT_LT(meta2, snapshot);
    EXPECT_LT(snapshot, firstReplayed);
    for (const Message& m : ms)
        if (Replayed(m)) {
            EXPECT_FALSE(m.json.contains("seq"));
            EXPECT_EQ(m.json.value("status").toString(), QStringLiteral("Good"));
        }
    // Every item's metadata goes out after each (re)connect, the one without unit or range too
    // (a QoS 1 resend may add a copy).
    const auto metaCount = [&](const std::string& topic) {
        return std::count_if(ms.begin(), ms.end(),
                             [&](const Message& m) { return m.topic == topic + "/$meta"; });
    };
    EXPECT_GE(metaCount(kTemp), 2);
    EXPECT_GE(metaCount(kPressure), 2);

    // A new subscriber gets what is retained: the live values and the temperature's metadata.
    Subscriber late(broker_.Port(), "qt/rp/#");
    ASSERT_TRUE(late.WaitFor(10s, [&](const auto& last) {
        return last.count(kTemp + "/$meta") && last.count(kPressure + "/$meta") && last.size() >= 4;
    }));
    const auto retained = late.Retained();
    const QJsonObject temp = QJsonDocument::fromJson(QByteArray::fromStdString(retained.at(kTemp))).object();
    EXPECT_FALSE(temp.contains("replayed"));
    EXPECT_EQ(temp.value("value").toDouble(), 100 + rounds);
    const QJsonObject meta =
        QJsonDocument::fromJson(QByteArray::fromStdString(retained.at(kTemp + "/$meta"))).object();
    EXPECT_EQ(meta.value("id").toString(), QStringLiteral("Линия(ttyS0).Котёл(Тип №1).Температура"));
    EXPECT_EQ(meta.value("nodeId").toString(),
              QStringLiteral("ns=1;s=Линия(ttyS0).Котёл(Тип №1).Температура"));
    EXPECT_EQ(meta.value("unit").toString(), QStringLiteral("°C"));
    EXPECT_EQ(meta.value("range").toObject().value("low").toDouble(), -40);
    EXPECT_EQ(meta.value("range").toObject().value("high").toDouble(), 150.5);
    const QJsonObject names = meta.value("description").toObject();
    EXPECT_EQ(names.value("point").toString(), QStringLiteral("Линия(ttyS0)"));
    EXPECT_EQ(names.value("device").toString(), QStringLiteral("Котёл(Тип №1)"));
    EXPECT_EQ(names.value("parameter").toString(), QStringLiteral("Температура"));
    const QJsonObject bare =
        QJsonDocument::fromJson(QByteArray::fromStdString(retained.at(kPressure + "/$meta"))).object();
    EXPECT_TRUE(bare.value("unit").isNull());
    EXPECT_TRUE(bare.value("range").isNull());

    // The replay's start and end went to the event log, the end with the count (at most a line
    // per 5 s: the end may wait for its turn).
    const QString end = QStringLiteral(") окончен: %1").arg(CountReplayed(ms));
    ASSERT_TRUE(WaitUntil(20s, [&] {
        std::lock_guard lock(linesMutex_);
        return lines_.filter(end).size() == 1;
    })) << lines_.join(u'\n').toStdString();
    std::lock_guard lock(linesMutex_);
    EXPECT_EQ(lines_.filter(QStringLiteral("MQTT: повтор значений из истории с ")).size(), 2)
        << lines_.join(u'\n').toStdString();
}

// The replay goes at its rate on the publisher's clock, which the test holds still and moves:
// while the clock stands no replayed value goes out, live values do; each second the clock moves
// lets out a tenth of a second's worth (the bucket) and no more.
TEST_F(MqttReplayTest, TheReplayKeepsItsRateOnTheClockAndLiveValuesPassIt) {
    Recorder rec(broker_.Port(), "qora-replay-rate", "qt/rp/#");
    ASSERT_TRUE(rec.Ready(10s));
    const int rate = 100, bucket = rate / 10;
    StartPublisher(rate, [this] { return clockBase_ + std::chrono::milliseconds(clockMs_.load()); });
    const int rounds = 30;
    Outage(rounds);
    const auto liveTemp = [&](double v) {
        return [&, v](const std::vector<Message>& ms) {
            const auto live = Values(ms, kTemp, false);
            return !live.empty() && live.back() == v;
        };
    };
    ASSERT_TRUE(rec.WaitFor(30s, liveTemp(100 + rounds)));  // the snapshot
    ASSERT_TRUE(WaitUntil(10s, [&] { return pub_->Stats().replaying; }));
    // The clock stands: a new live value passes the replay, which sends nothing.
    Push(500, 600);
    ASSERT_TRUE(rec.WaitFor(30s, liveTemp(500)));
    EXPECT_EQ(CountReplayed(rec.Messages()), 0u);
    EXPECT_EQ(pub_->Stats().replayed, 0u);

    size_t expected = 0;
    for (int step = 0; pub_->Stats().replaying || CountReplayed(rec.Messages()) < expected; ++step) {
        ASSERT_LT(step, 2 * rounds) << "the replay does not end";
        clockMs_ += 1000;
        const size_t before = expected;
        expected += bucket;
        // At most one bucket: it ends with fewer when the values run out.
        ASSERT_TRUE(WaitUntil(30s, [&] {
            const size_t n = CountReplayed(rec.Messages());
            return n == expected || (n > before && !pub_->Stats().replaying);
        })) << CountReplayed(rec.Messages());
        Push(700.0f + float(step), 800);  // a live value passes again
        ASSERT_TRUE(rec.WaitFor(30s, liveTemp(700 + step)));
        const size_t n = CountReplayed(rec.Messages());
        ASSERT_LE(n, expected);
        expected = n;
    }
    const std::vector<Message> ms = rec.Messages();
    std::vector<double> temps = Values(ms, kTemp, true);
    if (!temps.empty() && temps.front() == 1) temps.erase(temps.begin());
    ASSERT_EQ(temps.size(), size_t(rounds));
    for (int r = 0; r < rounds; ++r) EXPECT_EQ(temps[size_t(r)], 101 + r);
}

}  // namespace
