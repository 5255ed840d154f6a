// HistoryRead through the endpoint: one item kept over a day at one value a second, read back on
// loopback by a native client following the continuation points (our per-response limit), and
// the same day read backwards. Prints the time, the calls and the values a second.
//   bench_history_read [values [rounds]]
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "history/history_store.h"
#include "tests/integration/ua/ua_mini_client.h"
#include "ua/encoding/messages.h"
#include "ua/limits.h"
#include "ua/net/server.h"
#include "ua/nodes/address_space.h"

using namespace qora;
using Clock = std::chrono::steady_clock;

namespace {

constexpr uint32_t kItem = 1000;

// One item whose history is the store's, read as the program's provider reads it.
class StoreBackend : public ua::Backend {
  public:
    explicit StoreBackend(history::Store& store) : store_(store) {}
    std::vector<ua::ItemInfo> ListItems() override { return {ua::ItemInfo(kItem, "Line.Device.Value")}; }
    uint64_t CacheGeneration() override { return 1; }
    void ReadCache(const uint32_t*, size_t n, ua::ItemSample* out) override {
        for (size_t i = 0; i < n; ++i) out[i] = {0.0f, 192, 0, true};
    }
    void ReadDevice(const uint32_t* h, size_t n, ua::ItemSample* out) override { ReadCache(h, n, out); }
    void RefreshFromDevice(const uint32_t*, size_t) override {}
    void Write(const uint32_t*, size_t) override {}
    void SessionCreated() override {}
    void SessionClosed() override {}
    void ChannelOpened() override {}
    void ChannelClosed() override {}
    void ItemsActivated(const uint32_t*, size_t) override {}
    void ItemsDeactivated(const uint32_t*, size_t) override {}
    std::vector<uint32_t> Locales() override { return {}; }
    bool HistoryEnabled() override { return true; }
    bool ReadHistoryRaw(uint32_t handle, uint64_t start, uint64_t end, size_t maxValues,
                        std::vector<ua::HistorySample>& out) override {
        const auto kept = start <= end ? store_.ReadRaw(handle, start, end, maxValues)
                                       : store_.ReadRawReverse(handle, start, end, maxValues);
        out.clear();
        for (const history::Sample& s : kept) out.push_back({s.time, s.value, s.quality});
        return true;
    }

  private:
    history::Store& store_;
};

struct Pass {
    double seconds = 0;
    size_t values = 0, calls = 0;
    bool ok = true;
};

// Reads [start, end) (or backwards) to the last continuation point.
Pass ReadAll(ua::testing::MiniClient& client, uint64_t start, uint64_t end) {
    Pass p;
    std::string cp;
    const auto t = Clock::now();
    for (;;) {
        ua::testing::ServerMessage m;
        const bool sent = client.Call(
            ua::id::HistoryRead,
            [&](ua::Encoder& e) {
                e.Extension(ua::MakeExtension(ua::kReadRawModifiedDetailsEncoding, [&](ua::Encoder& d) {
                    d.Boolean(false);
                    d.DateTime(static_cast<int64_t>(start));
                    d.DateTime(static_cast<int64_t>(end));
                    d.UInt32(0);
                    d.Boolean(false);
                }));
                e.UInt32(ua::TsSource);
                e.Boolean(false);
                e.ArrayLength(1);
                e.Node(ua::NodeId::String(ua::kItemNamespace, "Line.Device.Value"));
                e.NullString();
                e.Qualified({});
                if (cp.empty())
                    e.NullString();
                else
                    e.ByteString(cp);
            },
            m, 30000);
        if (!sent) {
            p.ok = false;
            break;
        }
        ++p.calls;
        ua::Decoder d(m.body);
        if (ua::testing::ReadResponseHeader(d).serviceResult != ua::status::Good || d.Int32() != 1) {
            p.ok = false;
            break;
        }
        d.Status();
        cp = d.ByteString().value;
        const ua::ExtensionObject data = d.Extension();
        ua::Decoder values(data.body);
        p.values += values.ArrayCount(1, 1);
        if (cp.empty()) break;
    }
    p.seconds = std::chrono::duration<double>(Clock::now() - t).count();
    return p;
}

}  // namespace

int main(int argc, char** argv) {
    const uint64_t count = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 86400;
    const int rounds = argc > 2 ? std::atoi(argv[2]) : 3;
    char tmpl[] = "/tmp/qora-bench-history-read-XXXXXX";
    const std::filesystem::path dir = mkdtemp(tmpl);
    const uint64_t t0 =
        116444736000000000ULL + uint64_t(time(nullptr) - 2 * 86400) * history::kTicksPerSecond;
    std::string error;
    history::StoreOptions options;
    options.file = (dir / "h.db").string();
    options.retentionDays = 0;
    auto store = history::Store::Open(std::move(options), error);
    if (!store) {
        std::fprintf(stderr, "%s\n", error.c_str());
        return 1;
    }
    std::vector<history::Sample> batch;
    for (uint64_t i = 0; i < count; ++i) {
        batch.push_back({kItem, t0 + i * history::kTicksPerSecond, float(i % 1000), 192});
        if (batch.size() == 4096 || i + 1 == count) {
            while (!store->Append(batch.data(), batch.size())) store->Flush();
            batch.clear();
        }
    }
    store->Flush();

    StoreBackend backend(*store);
    ua::ServerConfig config;
    config.host = "127.0.0.1";
    config.port = 0;
    ua::Server server(backend, config);
    if (!server.Start(&error)) {
        std::fprintf(stderr, "%s\n", error.c_str());
        return 1;
    }
    ua::testing::MiniClient client;
    if (!client.Connect(server.Port()) || client.CreateSession() != ua::status::Good ||
        client.Activate() != ua::status::Good) {
        std::fprintf(stderr, "no session\n");
        return 1;
    }
    const uint64_t end = t0 + count * history::kTicksPerSecond;
    std::printf("HistoryRead of one item, %llu values at one a second, %u values per response at most\n",
                static_cast<unsigned long long>(count), ua::kMaxHistoryValuesPerResponse);
    int failures = 0;
    for (int r = 0; r < rounds; ++r) {
        for (bool backwards : {false, true}) {
            const Pass p = backwards ? ReadAll(client, end - 1, t0 - 1) : ReadAll(client, t0, end);
            failures += !p.ok || p.values != count;
            std::printf("  %-9s %zu values in %zu calls: %.1f ms, %.0f values/s%s\n",
                        backwards ? "backwards" : "forwards", p.values, p.calls, p.seconds * 1000,
                        p.values / p.seconds, p.ok && p.values == count ? "" : "  (INCOMPLETE)");
        }
    }
    client.Close();
    store.reset();
    std::filesystem::remove_all(dir);
    return failures == 0 ? 0 : 1;
}
