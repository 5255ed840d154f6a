// The replay after an outage at size: items values in a history store (SQLite, a temporary
// file), every item changing rounds times while a local mosquitto broker is down; after its
// restart prints how long the replay took, the rate it reached against ReplayRate, and how long
// live values (one item changing every 100 ms meanwhile) took to arrive at a subscriber.
// Usage: bench_replay [items [rounds [replay rate]]]   (default 2000 20 5000)
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>

#include "base/file_time.h"
#include "config/records.h"
#include "history/history_store.h"
#include "mqtt/mqtt_publisher.h"
#include "tests/integration/mqtt/mqtt_test_broker.h"

using namespace qora;
using namespace mqtttest;
using Clock = std::chrono::steady_clock;

namespace {

// Item numbers are the store's keys here.
class StoreSource : public IReplaySource {
  public:
    explicit StoreSource(history::Store& store) : store_(store) {}
    std::vector<TReplayValue> Read(uint32_t item, uint64_t start, uint64_t end, size_t max) override {
        if (end > flushed_) {
            store_.Flush();
            flushed_ = end;
        }
        std::vector<TReplayValue> out;
        for (const history::Sample& s : store_.ReadRaw(item, start, end, max))
            out.push_back({s.time, s.value, s.quality});
        return out;
    }

  private:
    history::Store& store_;
    uint64_t flushed_ = 0;
};

int64_t NowMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

bool WaitUntil(std::chrono::seconds bound, const std::function<bool()>& pred) {
    for (const auto end = Clock::now() + bound; !pred(); std::this_thread::sleep_for(5ms))
        if (Clock::now() >= end) return false;
    return true;
}

double Ms(Clock::duration d) {
    return std::chrono::duration<double, std::milli>(d).count();
}

}  // namespace

int main(int argc, char** argv) {
    const int items = argc > 1 ? std::atoi(argv[1]) : 2000;
    const int rounds = argc > 2 ? std::atoi(argv[2]) : 20;
    const int rate = argc > 3 ? std::atoi(argv[3]) : 5000;
    if (!Broker::Available()) {
        std::fprintf(stderr, "mosquitto is not installed\n");
        return 1;
    }
    const fs::path dir = TempDir("qora-bench-replay");
    history::StoreOptions options;
    options.file = (dir / "history.db").string();
    std::string error;
    std::unique_ptr<history::Store> store = history::Store::Open(std::move(options), error);
    if (!store) {
        std::fprintf(stderr, "%s\n", error.c_str());
        return 1;
    }
    Broker broker;
    if (!broker.Start()) return 1;
    TMqttSettings s;
    s.enabled = true;
    s.host = "127.0.0.1";
    s.port = uint16_t(broker.Port());
    s.clientId = "bench-replay";
    s.topicPrefix = "bench/replay";
    s.keepAlive = 5;
    s.replayRate = rate;
    TMqttPublisher pub(s);
    pub.SetReplaySource(std::make_shared<StoreSource>(*store));
    if (!pub.Start()) return 1;
    std::vector<TMqttItem> list;
    for (int i = 0; i < items; ++i)
        list.push_back({"bench/replay/p/d/i" + std::to_string(i), "p.d.i" + std::to_string(i)});
    pub.SetItems(std::move(list));

    std::vector<TItemUpdate> updates(static_cast<size_t>(items));
    std::vector<history::Sample> samples(static_cast<size_t>(items));
    // One push: every item (or only item 0) changes, to the publisher and the history alike.
    // Each push gets a time of its own, however fast they come (as the program's once a second).
    uint64_t lastTime = 0;
    const auto push = [&](float value, bool all) {
        const int64_t ms = NowMs();
        const uint64_t ft = lastTime = std::max(UnixMsToFileTime(ms), lastTime + 1);
        const size_t n = all ? size_t(items) : 1;
        for (size_t i = 0; i < n; ++i) {
            updates[i] = {uint32_t(i), {value + float(i), kQualityGood, ms}};
            samples[i] = {uint32_t(i), ft, value + float(i), kQualityGood};
        }
        pub.Update(std::vector<TItemUpdate>(updates.begin(), updates.begin() + ptrdiff_t(n)));
        store->Append(samples.data(), n);
    };
    push(0, true);
    if (!WaitUntil(60s, [&] { return pub.Stats().sent == uint64_t(items); })) return 1;
    broker.Kill();
    if (!WaitUntil(30s, [&] { return !pub.Stats().connected; })) return 1;
    for (int r = 1; r <= rounds; ++r) push(float(r) * 100000, true);
    const uint64_t expected = uint64_t(items) * uint64_t(rounds);

    if (!broker.Start()) return 1;
    const auto restarted = Clock::now();
    Subscriber sub(broker.Port(), "bench/replay/p/d/i0");
    if (!WaitUntil(60s, [&] { return pub.Stats().replaying; })) return 1;
    const auto started = Clock::now();
    std::vector<double> latencies;
    float live = 5e6f;  // whole numbers that a float holds exactly
    while (pub.Stats().replaying || pub.Stats().replayed < expected) {
        if (Clock::now() - started > 600s) return 1;
        live += 1;
        const std::string text = "\"value\":" + std::to_string(int64_t(live)) + ",";
        const auto t0 = Clock::now();
        push(live, false);
        if (!sub.WaitFor(30s, [&](const auto& last) {
                const auto it = last.find("bench/replay/p/d/i0");
                return it != last.end() && it->second.find(text) != std::string::npos;
            }))
            return 1;
        latencies.push_back(Ms(Clock::now() - t0));
        std::this_thread::sleep_for(100ms);
    }
    const auto took = Clock::now() - started;
    std::sort(latencies.begin(), latencies.end());
    const auto st = pub.Stats();
    std::printf("items %d, outage rounds %d: %llu values in the outage, %llu replayed (ReplayRate %d/s)\n",
                items, rounds, (unsigned long long)expected, (unsigned long long)st.replayed, rate);
    std::printf("reconnect after the restart: %.0f ms; replay: %.0f ms, %.0f values/s\n",
                Ms(started - restarted), Ms(took),
                double(st.replayed) / std::chrono::duration<double>(took).count());
    if (!latencies.empty())
        std::printf("live values during the replay: %zu, arrival median %.1f ms, max %.1f ms\n",
                    latencies.size(), latencies[latencies.size() / 2], latencies.back());
    pub.Stop();
    store.reset();
    std::error_code ec;
    fs::remove_all(dir, ec);
    return 0;
}
