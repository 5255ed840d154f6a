// Figures of the history store: insert rate with a full item count, bytes on disk per stored
// value, a read of one item over a day at a value a second, resident size the store adds.
//   bench_history [items [rounds]]
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "history/history_store.h"

using namespace qora::history;
using Clock = std::chrono::steady_clock;

namespace {

long RssKiB() {
    std::ifstream f("/proc/self/statm");
    long pages = 0, rss = 0;
    f >> pages >> rss;
    return rss * (sysconf(_SC_PAGESIZE) / 1024);
}

double Seconds(Clock::time_point from) {
    return std::chrono::duration<double>(Clock::now() - from).count();
}

}  // namespace

int main(int argc, char** argv) {
    const uint32_t items = argc > 1 ? static_cast<uint32_t>(std::atoi(argv[1])) : 204800;
    const uint32_t rounds = argc > 2 ? static_cast<uint32_t>(std::atoi(argv[2])) : 64;
    char tmpl[] = "/tmp/qora-bench-history-XXXXXX";
    const std::filesystem::path dir = mkdtemp(tmpl);
    const uint64_t t0 = 116444736000000000ULL + uint64_t(time(nullptr) - 2 * 86400) * kTicksPerSecond;

    const long rssBefore = RssKiB();
    std::string error;
    auto store =
        Store::Open({.file = (dir / "h.db").string(),
                     .queueCapacity = size_t(items) * 4,
                     .message = [](const std::string& t) { std::fprintf(stderr, "%s\n", t.c_str()); },
                     .now = {}},
                    error);
    if (!store) {
        std::fprintf(stderr, "%s\n", error.c_str());
        return 1;
    }
    // Rounds as pushes one second apart; every value changes. The producer waits only when the
    // writer is a full queue behind, so the rate is the writer's.
    std::vector<Sample> push(items);
    const auto start = Clock::now();
    for (uint32_t r = 0; r < rounds; ++r) {
        for (uint32_t i = 0; i < items; ++i)
            push[i] = {i, t0 + uint64_t(r) * kTicksPerSecond, float(r) * 0.5f + float(i % 100), 192};
        while (!store->Append(push.data(), push.size())) store->Flush();
    }
    store->Flush();
    const double insertSeconds = Seconds(start);
    const long rssWith = RssKiB();
    const StoreStats st = store->Stats();
    const uint64_t values = uint64_t(items) * rounds;
    std::printf(
        "insert: %u items x %u pushes = %lu values in %.2f s: %.0f values/s (queue-full retries %lu values, "
        "commits %lu)\n",
        items, rounds, (unsigned long)values, insertSeconds, double(values) / insertSeconds,
        (unsigned long)(st.dropped), (unsigned long)st.commits);
    std::printf("disk: %lu bytes in use for %lu values: %.2f bytes per value (file %lu bytes)\n",
                (unsigned long)st.bytesInUse, (unsigned long)st.stored,
                double(st.bytesInUse) / double(st.stored),
                (unsigned long)std::filesystem::file_size(dir / "h.db"));
    std::printf("rss: %ld KiB added by the store after the insert run\n", rssWith - rssBefore);

    // One item over one day at one value a second.
    const uint32_t day = 86400;
    std::vector<Sample> one(1);
    for (uint32_t s = 0; s < day; s += 3600) {
        std::vector<Sample> hour;
        for (uint32_t k = 0; k < 3600; ++k)
            hour.push_back({items + 1, t0 + uint64_t(s + k) * kTicksPerSecond, float(k), 192});
        while (!store->Append(hour.data(), hour.size())) store->Flush();
    }
    store->Flush();
    const auto readStart = Clock::now();
    const auto got = store->ReadRaw(items + 1, t0, t0 + uint64_t(day) * kTicksPerSecond, day);
    std::printf("read: %zu values of one item over a day in %.1f ms (store only, not through the endpoint)\n",
                got.size(), Seconds(readStart) * 1000.0);
    store.reset();
    std::filesystem::remove_all(dir);
    return got.size() == day ? 0 : 1;
}
