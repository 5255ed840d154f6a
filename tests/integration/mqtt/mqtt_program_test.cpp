// The real program publishing to a broker the test starts: a copy of qora-opc-server in a
// temporary directory with its own qora.ini (section MQTT), started headless on a configuration
// made by qora-cfg, qora-sim answering on a pseudo-terminal.
#include <gtest/gtest.h>

#include <QJsonDocument>
#include <QJsonObject>
#include <fstream>
#include <sstream>

#include "mqtt_test_broker.h"

using namespace mqtttest;

namespace {

QJsonObject Json(const std::string& payload) {
    return QJsonDocument::fromJson(QByteArray::fromStdString(payload)).object();
}

int64_t NowMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

int64_t SourceMs(const std::string& payload) {
    const QDateTime t =
        QDateTime::fromString(Json(payload).value("sourceTime").toString(), Qt::ISODateWithMs);
    return t.isValid() ? t.toMSecsSinceEpoch() : -1;
}

pid_t Spawn(const std::vector<std::string>& argv, const std::string& errFile = "/dev/null",
            const std::string& input = {}) {
    int in[2] = {-1, -1};
    if (!input.empty() && ::pipe(in) != 0) return -1;
    const pid_t pid = ::fork();
    if (pid == 0) {
        if (!input.empty()) {
            ::dup2(in[0], 0);
            ::close(in[1]);
        }
        const int err = ::open(errFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        const int null = ::open("/dev/null", O_WRONLY);
        ::dup2(null, 1);
        ::dup2(err, 2);
        std::vector<char*> args;
        for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
        args.push_back(nullptr);
        ::execv(args[0], args.data());
        ::_exit(127);
    }
    if (!input.empty()) {
        ::close(in[0]);
        if (::write(in[1], input.data(), input.size()) < 0) std::perror("write");
        ::close(in[1]);
    }
    return pid;
}

int Wait(pid_t pid) {
    int status = 0;
    ::waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

// Exit within bound, else killed and -1.
int WaitBounded(pid_t pid, std::chrono::milliseconds bound) {
    const auto end = std::chrono::steady_clock::now() + bound;
    int status = 0;
    while (std::chrono::steady_clock::now() < end) {
        if (::waitpid(pid, &status, WNOHANG) == pid)
            return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        std::this_thread::sleep_for(20ms);
    }
    ::kill(pid, SIGKILL);
    ::waitpid(pid, nullptr, 0);
    return -1;
}

// Polls done() until it holds or bound has passed.
template <typename F>
bool WaitUntil(std::chrono::milliseconds bound, F done) {
    const auto end = std::chrono::steady_clock::now() + bound;
    while (!done() && std::chrono::steady_clock::now() < end) std::this_thread::sleep_for(50ms);
    return done();
}

// A bounded wait for something that must NOT happen: true when holds() stays true for the whole of
// span (false as soon as it breaks).
template <typename F>
bool HoldsFor(std::chrono::milliseconds span, F holds) {
    const auto end = std::chrono::steady_clock::now() + span;
    while (std::chrono::steady_clock::now() < end) {
        if (!holds()) return false;
        std::this_thread::sleep_for(50ms);
    }
    return holds();
}

class MqttProgramTest : public ::testing::Test {
  protected:
    void SetUp() override {
        if (!Broker::Available()) GTEST_SKIP() << "mosquitto is not installed";
        tmp_ = TempDir("qora-mqtt-prog");
        fs::create_directories(tmp_ / "inst");
        fs::create_directories(tmp_ / "run");
        fs::permissions(tmp_ / "run", fs::perms::owner_all);
        exe_ = (tmp_ / "inst" / "qora-opc-server").string();
        fs::copy_file(QORA_PROGRAM_PATH, exe_);
        link_ = (tmp_ / "ttySIM1").string();
        ::setenv("XDG_RUNTIME_DIR", (tmp_ / "run").c_str(), 1);
        ::setenv("HOME", tmp_.c_str(), 1);
        ::setenv("XDG_CONFIG_HOME", (tmp_ / "config").c_str(), 1);
        ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
        ::unsetenv("DISPLAY");
        ::unsetenv("WAYLAND_DISPLAY");
    }
    void TearDown() override {
        for (pid_t p : children_) {
            ::kill(p, SIGKILL);
            ::waitpid(p, nullptr, 0);
        }
        std::error_code ec;
        fs::remove_all(tmp_, ec);
    }

    // qora.ini with the catalogue, the simulated line, OPC UA on a free port and mqttSection.
    void WriteIni(const std::string& mqttSection) {
        std::ofstream ini(tmp_ / "inst" / "qora.ini");
        ini << "[GENERAL]\nMAIN_CFG=\n\n[DEVICES]\nD0=Термометр\n\n[D_P]\nP0=0x0F\n\n"
            << "[PARAMETERS]\nP0=Температура\nP1=Давление/бар\nP2=\nP3=Расход\n\n"
            << "[SERIALCOMM]\nSIM1=" << link_
            << "\n\n[OPCUA]\nHost=127.0.0.1\nPort=" << (opcPort_ = FreePort()) << "\n\n"
            << "[MQTT]\n"
            << mqttSection;
    }
    // Two devices share a name and a parameter (their topics must still differ); one falls silent, one never
    // answers.
    std::string MakeConfig() {
        const std::string cfg = (tmp_ / "plant.cfg").string();
        const std::string json =
            R"({"points": [{"name": "Адаптер_1", "port": "SIM1", "period": 0.2, "active": true, "devices": [)"
            R"({"name": "Живой", "type": 0, "address": 1, "parameters": [0, 1]},)"
            R"({"name": "Умолкший", "type": 0, "address": 2, "parameters": [0]},)"
            R"({"name": "Живой", "type": 0, "address": 254, "parameters": [0, 3]}]}]})";
        EXPECT_EQ(Wait(Spawn({QORA_CFG_PATH, "create", cfg}, "/dev/null", json)), 0);
        return cfg;
    }
    void StartSimulator() {
        children_.push_back(
            Spawn({QORA_SIM_PATH, "--link", link_, "--device", "1:0=const:21.5,1=ramp:0:100000:1", "--device",
                   "2:0=const:7", "--fault", "2:silent-after:6", "--fault", "254:silent"}));
        const auto end = std::chrono::steady_clock::now() + 10s;
        while (!fs::exists(link_) && std::chrono::steady_clock::now() < end)
            std::this_thread::sleep_for(20ms);
        ASSERT_TRUE(fs::exists(link_));
    }
    pid_t StartProgram(const std::string& cfg) {
        const pid_t pid = Spawn({exe_, "-f:" + cfg}, (tmp_ / "stderr.txt").string());
        children_.push_back(pid);
        return pid;
    }
    void Forget(pid_t pid) {
        children_.erase(std::remove(children_.begin(), children_.end(), pid), children_.end());
    }
    std::string Stderr() {
        std::ifstream in(tmp_ / "stderr.txt");
        std::stringstream ss;
        ss << in.rdbuf();
        return ss.str();
    }
    std::string MqttSection(int port) {
        return "Enabled=1\nHost=127.0.0.1\nPort=" + std::to_string(port) +
               "\nTopicPrefix=qt/prog\nKeepAlive=5\n";
    }

    fs::path tmp_;
    std::string exe_;
    std::string link_;
    int opcPort_ = 0;
    std::vector<pid_t> children_;
};

const std::string kLive0 = "qt/prog/Адаптер_1/Живой/Температура";
const std::string kLive1 = "qt/prog/Адаптер_1/Живой/Давление_бар";
const std::string kFading = "qt/prog/Адаптер_1/Умолкший/Температура";
const std::string kMute = "qt/prog/Адаптер_1/Живой/Температура~2";
const std::string kMute3 = "qt/prog/Адаптер_1/Живой/Расход";
const std::string kState = "qt/prog/$state";

bool Is(const std::map<std::string, std::string>& last, const std::string& topic, int quality) {
    const auto it = last.find(topic);
    return it != last.end() && Json(it->second).value("quality").toInt() == quality;
}

// (The memory over an outage is measured by bench_mqtt, not here: a sanitizer's own allocations
// would decide it.)
TEST_F(MqttProgramTest, EveryItemArrivesChangesFollowAndAnOutageEndsWithTheLatestValues) {
    Broker broker;
    ASSERT_TRUE(broker.Start());
    WriteIni(MqttSection(broker.Port()));
    const std::string cfg = MakeConfig();
    StartSimulator();
    Subscriber sub(broker.Port(), "qt/#");
    ASSERT_EQ(sub.ConnackRc(5s), 0);
    const pid_t app = StartProgram(cfg);

    // Every item, with its value, quality and status; the silent device ends BadNoCommunication.
    ASSERT_TRUE(sub.WaitFor(30s,
                            [](const auto& last) {
                                return Is(last, kLive0, 192) && Is(last, kLive1, 192) &&
                                       Is(last, kFading, 24) && Is(last, kMute, 8) && Is(last, kMute3, 8) &&
                                       last.count(kState);
                            }))
        << Stderr() << [&] {
               std::string all;
               for (const auto& [t, p] : sub.Last()) all += t + " " + p + "\n";
               return all;
           }();
    auto last = sub.Last();
    EXPECT_EQ(last.size(), 11u) << "five items, their five $meta, $state";
    EXPECT_EQ(last.at(kState), "online");
    const QJsonObject live0 = Json(last.at(kLive0));
    EXPECT_EQ(live0.value("id").toString(),
              QStringLiteral("Адаптер_1(SIM1).Живой(Термометр №1).Температура"));
    EXPECT_EQ(live0.value("nodeId").toString(),
              QStringLiteral("ns=1;s=Адаптер_1(SIM1).Живой(Термометр №1).Температура"));
    EXPECT_EQ(live0.value("value").toDouble(), 21.5);
    EXPECT_EQ(live0.value("status").toString(), QStringLiteral("Good"));
    EXPECT_EQ(Json(last.at(kLive1)).value("id").toString(),
              QStringLiteral("Адаптер_1(SIM1).Живой(Термометр №1).Давление/бар"));
    const QJsonObject fading = Json(last.at(kFading));
    EXPECT_EQ(fading.value("status").toString(), QStringLiteral("BadNoCommunication"));
    const QJsonObject mute = Json(last.at(kMute));
    EXPECT_EQ(mute.value("id").toString(),
              QStringLiteral("Адаптер_1(SIM1).Живой(Термометр №254).Температура"));
    EXPECT_TRUE(mute.value("value").isNull());
    EXPECT_TRUE(fading.value("value").isNull());
    EXPECT_GE(live0.value("seq").toInt(), 1);
    EXPECT_EQ(mute.value("status").toString(), QStringLiteral("BadNotConnected"));

    // A change (the ramp moves with every reply) follows, with the item's next sequence number.
    const double ramp = Json(last.at(kLive1)).value("value").toDouble();
    const int seq = Json(last.at(kLive1)).value("seq").toInt();
    EXPECT_TRUE(sub.WaitFor(
        30s, [&](const auto& now) { return Json(now.at(kLive1)).value("value").toDouble() != ramp; }));
    EXPECT_GT(Json(sub.Last().at(kLive1)).value("seq").toInt(), seq);

    // The broker is gone until the program has told the loss, while the ramp goes on.
    broker.Kill();
    const std::string lost =
        "MQTT: соединение с брокером 127.0.0.1:" + std::to_string(broker.Port()) + " потеряно";
    ASSERT_TRUE(WaitUntil(30s, [&] { return Stderr().find(lost) != std::string::npos; })) << Stderr();
    const int64_t lossTold = NowMs();
    ASSERT_TRUE(broker.Start());
    // The broker kept nothing: what a new subscriber finds retained is the program's snapshot,
    // with values polled during the outage.
    Subscriber after(broker.Port(), "qt/#");
    ASSERT_TRUE(after.WaitFor(30s, [&](const auto& now) {
        return now.size() == 11 && now.count(kLive1) && SourceMs(now.at(kLive1)) > lossTold;
    })) << after.Last().size();
    Subscriber snapshot(broker.Port(), "qt/#");
    EXPECT_TRUE(snapshot.WaitFor(5s, [](const auto& now) { return now.size() == 11; }));
    const auto retained = snapshot.Retained();
    EXPECT_EQ(retained.size(), 11u);
    EXPECT_EQ(retained.at(kState), "online");
    EXPECT_EQ(Json(retained.at(kLive0)).value("value").toDouble(), 21.5);
    EXPECT_EQ(Json(retained.at(kFading)).value("quality").toInt(), 24);
    EXPECT_EQ(Json(retained.at(kMute)).value("quality").toInt(), 8);
    // The loss and the return of the broker went to standard error (headless).
    const std::string err = Stderr();
    EXPECT_NE(err.find(lost), std::string::npos) << err;

    ::kill(app, SIGTERM);
    EXPECT_EQ(WaitBounded(app, 10s), 0);
    Forget(app);
    Subscriber end(broker.Port(), kState);
    EXPECT_TRUE(
        end.WaitFor(5s, [](const auto& now) { return now.count(kState) && now.at(kState) == "offline"; }));
}

TEST_F(MqttProgramTest, TheLastWillReadsOfflineAfterTheProgramIsKilled) {
    Broker broker;
    ASSERT_TRUE(broker.Start());
    WriteIni(MqttSection(broker.Port()));
    const std::string cfg = MakeConfig();
    StartSimulator();
    Subscriber sub(broker.Port(), kState);
    const pid_t app = StartProgram(cfg);
    ASSERT_TRUE(sub.WaitFor(30s, [](const auto& now) {
        return now.count(kState) && now.at(kState) == "online";
    })) << Stderr();
    ::kill(app, SIGKILL);
    Wait(app);
    Forget(app);
    EXPECT_TRUE(sub.WaitFor(15s, [](const auto& now) { return now.at(kState) == "offline"; }));
    Subscriber late(broker.Port(), kState);
    EXPECT_TRUE(
        late.WaitFor(5s, [](const auto& now) { return now.count(kState) && now.at(kState) == "offline"; }));
}

// A broker that cannot be reached is reported at once on standard error (headless), once however
// often the connect is retried; when it comes, that is reported too.
TEST_F(MqttProgramTest, AnUnreachableBrokerIsReportedOnceOnStandardErrorAndItsArrivalToo) {
    Broker broker;  // not started yet: its port refuses
    WriteIni(MqttSection(broker.Port()));
    const std::string cfg = MakeConfig();
    const pid_t app = StartProgram(cfg);
    const std::string failure = "MQTT: нет соединения с брокером 127.0.0.1:" + std::to_string(broker.Port());
    const auto count = [&](const std::string& what) {
        const std::string err = Stderr();
        size_t n = 0;
        for (size_t at = err.find(what); at != std::string::npos; at = err.find(what, at + 1)) ++n;
        return n;
    };
    const auto waitFor = [&](const std::string& what) {
        const auto end = std::chrono::steady_clock::now() + 30s;
        while (count(what) == 0 && std::chrono::steady_clock::now() < end) std::this_thread::sleep_for(50ms);
        return count(what) > 0;
    };
    ASSERT_TRUE(waitFor(failure)) << Stderr();
    // An absence: no second line while the connect is retried (back-off 1 s, 2 s).
    EXPECT_TRUE(HoldsFor(4s, [&] { return count(failure) == 1; })) << Stderr();
    EXPECT_EQ(count(failure), 1u) << Stderr();
    ASSERT_TRUE(broker.Start());
    EXPECT_TRUE(
        waitFor("MQTT: соединение с брокером 127.0.0.1:" + std::to_string(broker.Port()) + " установлено"))
        << Stderr();
    EXPECT_EQ(count(failure), 1u) << Stderr();
    ::kill(app, SIGTERM);
    EXPECT_EQ(WaitBounded(app, 10s), 0);
    Forget(app);
}

TEST_F(MqttProgramTest, BadSettingsAreReportedAtStartUpAndTheProgramRunsWithoutMqtt) {
    WriteIni("Enabled=1\nPort=18x\nQoS=2\n");
    const std::string cfg = MakeConfig();
    const pid_t app = StartProgram(cfg);
    // The three refusals are told, and the program goes on to serve OPC UA after them.
    ASSERT_TRUE(WaitUntil(30s, [&] {
        const std::string err = Stderr();
        return err.find("MQTT/Host") != std::string::npos && err.find("MQTT/Port") != std::string::npos &&
               err.find("MQTT/QoS") != std::string::npos;
    })) << Stderr();
    ASSERT_TRUE(WaitUntil(30s, [&] { return PortOpen(opcPort_) || ::waitpid(app, nullptr, WNOHANG) != 0; }))
        << Stderr();
    ASSERT_EQ(::waitpid(app, nullptr, WNOHANG), 0) << "the program ended: " << Stderr();
    ::kill(app, SIGTERM);
    EXPECT_EQ(WaitBounded(app, 10s), 0);
    Forget(app);
    const std::string err = Stderr();
    EXPECT_NE(err.find("MQTT/Host"), std::string::npos) << err;
    EXPECT_NE(err.find("MQTT/Port"), std::string::npos) << err;
    EXPECT_NE(err.find("MQTT/QoS"), std::string::npos) << err;
}

}  // namespace
