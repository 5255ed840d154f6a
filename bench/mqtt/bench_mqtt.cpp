// MQTT publishing at full size: every item of a full configuration changes every second and is
// published to a local mosquitto broker started here (127.0.0.1, free port, temporary
// configuration). Each second does what the window thread does: write the slots, the OPC push
// (which hands the changes to the MQTT bridge, its observer). Prints messages per second
// acknowledged by the broker, the time of a tick, CPU and memory of this process (the broker's
// CPU is not counted). With an outage: then the broker is killed for that many seconds while
// every value keeps changing; prints the resident size before and after the outage (the
// latest-value store keeps one entry per item whatever the outage) and how long after the
// broker's restart every item's latest value has been acknowledged.
// Usage: bench_mqtt [items [seconds [qos [outage seconds]]]]   (default 204800 20 1 0)
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>

#include "config/records.h"
#include "mqtt/mqtt_bridge.h"
#include "mqtt/mqtt_publisher.h"
#include "opc/opc_server.h"
#include "tests/integration/mqtt/mqtt_test_broker.h"

using namespace qora;
using Clock = std::chrono::steady_clock;

namespace {

long StatusKiB(const char* key) {
    std::ifstream in("/proc/self/status");
    std::string line;
    while (std::getline(in, line))
        if (line.rfind(key, 0) == 0) return std::atol(line.c_str() + std::strlen(key));
    return -1;
}

double CpuSeconds() {
    rusage u{};
    ::getrusage(RUSAGE_SELF, &u);
    return double(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
           double(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

std::unique_ptr<TConfigModel, ModelDeleter> MakeModel(int items) {
    std::unique_ptr<TConfigModel, ModelDeleter> m(CreateModel());
    for (int k = 0; k < kParamsPerDevice; ++k)
        CopyName(m->paramNames[k], u"Параметр_" + std::u16string(1, char16_t(u'A' + k)), 63);
    m->typeCount = 1;
    CopyName(m->typeNames[0], u"Тип", 63);
    m->typeMasks[0] = 0xFFFFFFFFu;
    int left = items;
    for (int p = 0; p < kMaxPoints && left > 0; ++p) {
        AppendPoint(*m, u"Адаптер_" + std::u16string(1, char16_t(u'0' + p % 10)), "ttyS" + std::to_string(p),
                    1, true);
        for (int d = 0; d < kMaxDevicesPerPoint && left > 0; ++d) {
            const int n = std::min(left, kParamsPerDevice);
            const uint32_t mask = n == 32 ? 0xFFFFFFFFu : ((1u << n) - 1);
            AppendDevice(*m, p, u"Прибор_" + std::u16string(1, char16_t(u'0' + d % 10)), 0, uint8_t(d + 1),
                         mask);
            left -= n;
        }
    }
    return m;
}

}  // namespace

int main(int argc, char** argv) {
    const int items = argc > 1 ? std::atoi(argv[1]) : 204800;
    const int seconds = argc > 2 ? std::atoi(argv[2]) : 20;
    const int qos = argc > 3 ? std::atoi(argv[3]) : 1;
    const int outage = argc > 4 ? std::atoi(argv[4]) : 0;

    // The broker (killed when the benchmark ends).
    mqtttest::Broker broker;
    if (!broker.Start()) {
        std::fprintf(stderr, "bench_mqtt: mosquitto did not start\n");
        return 1;
    }
    const int port = broker.Port();

    auto model = MakeModel(items);
    COPCServer opc;
    ua::ServerConfig cfg;
    cfg.host = "127.0.0.1";
    cfg.port = 0;
    opc.GBSetEndpointConfig(cfg);
    opc.InitializeOPC(*model);
    std::printf("items: %d, broker 127.0.0.1:%d, QoS %d\n", opc.ItemCount(), port, qos);

    TMqttSettings s;
    s.enabled = true;
    s.host = "127.0.0.1";
    s.port = uint16_t(port);
    s.clientId = "qora-bench";
    s.topicPrefix = "bench";
    s.qos = qos;
    TMqttPublisher publisher(s);
    if (!publisher.Start()) return 1;
    TMqttBridge bridge(publisher, *model);
    opc.AddPushObserver(&bridge);

    const long rssStart = StatusKiB("VmRSS:");
    const double cpu0 = CpuSeconds();
    const auto t0 = Clock::now();
    uint64_t sent0 = 0;
    double tickMsMax = 0, tickMsSum = 0;
    auto writeSlots = [&](int round) {
        for (int p = 0; p < model->pointCount; ++p)
            for (int d = 0; d < model->points[p].deviceCount; ++d)
                for (int k = 0; k < kParamsPerDevice; ++k) {
                    StoreValue(model->points[p].devices[d], k, float(round * 1000 + k) + 0.25f);
                    StoreQuality(model->points[p].devices[d], k, 192);
                }
    };
    for (int sec = 0; sec < seconds; ++sec) {
        const auto tickStart = Clock::now();
        writeSlots(sec);
        const auto pushStart = Clock::now();
        opc.PushAll(*model);
        const double tickMs = std::chrono::duration<double, std::milli>(Clock::now() - tickStart).count();
        const double mqttMs = std::chrono::duration<double, std::milli>(Clock::now() - pushStart).count();
        tickMsMax = std::max(tickMsMax, tickMs);
        tickMsSum += tickMs;
        std::this_thread::sleep_until(t0 + std::chrono::seconds(sec + 1));
        const auto st = publisher.Stats();
        std::printf(
            "t=%2ds tick %6.1f ms (push + MQTT %6.1f ms) sent %9llu (+%7llu/s) dropped %9llu waiting %6zu "
            "RSS %ld "
            "KiB\n",
            sec + 1, tickMs, mqttMs, (unsigned long long)st.sent, (unsigned long long)(st.sent - sent0),
            (unsigned long long)st.dropped, st.waiting, StatusKiB("VmRSS:"));
        sent0 = st.sent;
    }
    const double wall = std::chrono::duration<double>(Clock::now() - t0).count();
    const double cpu = CpuSeconds() - cpu0;
    const auto st = publisher.Stats();
    std::printf("offered %.0f msg/s, acknowledged %.0f msg/s, dropped (replaced before sent) %llu of %llu\n",
                double(items), double(st.sent) / wall, (unsigned long long)st.dropped,
                (unsigned long long)(uint64_t(items) * uint64_t(seconds)));
    std::printf(
        "window-thread work per second (slot writes + OPC push with MQTT hand-over): mean %.1f ms, max %.1f "
        "ms\n",
        tickMsSum / seconds, tickMsMax);
    std::printf(
        "CPU %.2f s in %.1f s (%.0f%% of one core), RSS %ld KiB at start, %ld KiB at end, peak %ld KiB\n",
        cpu, wall, 100.0 * cpu / wall, rssStart, StatusKiB("VmRSS:"), StatusKiB("VmHWM:"));
    if (outage > 0) {
        // Let what is in flight settle, then the outage: one push a second, every value new.
        const auto settleEnd = Clock::now() + std::chrono::seconds(10);
        while (publisher.Stats().waiting > 0 && Clock::now() < settleEnd)
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        const long rssBefore = StatusKiB("VmRSS:");
        broker.Kill();
        const uint64_t dropped0 = publisher.Stats().dropped;
        int round = seconds;
        for (const auto end = Clock::now() + std::chrono::seconds(outage); Clock::now() < end; ++round) {
            writeSlots(round);
            opc.PushAll(*model);
            std::this_thread::sleep_for(std::chrono::seconds(1));
        }
        const long rssAfter = StatusKiB("VmRSS:");
        const auto during = publisher.Stats();
        std::printf(
            "outage %d s: %d pushes, waiting %zu, dropped %llu, RSS %ld KiB before, %ld KiB after "
            "(%+ld KiB)\n",
            outage, round - seconds, during.waiting, (unsigned long long)(during.dropped - dropped0),
            rssBefore, rssAfter, rssAfter - rssBefore);
        const uint64_t sentBefore = during.sent;
        const auto restart = Clock::now();
        if (!broker.Start()) return 1;
        // The snapshot after the reconnect: every item once more.
        while (publisher.Stats().sent < sentBefore + uint64_t(opc.ItemCount()) &&
               Clock::now() < restart + std::chrono::seconds(300))
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        std::printf("after the restart: %llu values acknowledged in %.1f s, RSS %ld KiB\n",
                    (unsigned long long)(publisher.Stats().sent - sentBefore),
                    std::chrono::duration<double>(Clock::now() - restart).count(), StatusKiB("VmRSS:"));
    }
    opc.RemovePushObserver(&bridge);
    publisher.Stop();
    return 0;
}
