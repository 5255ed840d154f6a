// Benchmark of the OPC UA endpoint with a native load generator (not a test).
//
//   ua_bench                       starts the endpoint in a child process and measures it
//   ua_bench --connect PORT --pid PID
//                                  measures another server with the same items (ns=1;s=item<i>)
//   ua_bench --serve ITEMS [--ids FILE]  (internal) the child: endpoint over a fake toolkit
//   ua_bench --opn-flood [RATE]    only the OPN flood figures (RATE per second, default 200)
//   ua_bench --scale [SESSIONS [ITEMS [SECONDS]]]
//                                  only the scale figure (default 20 sessions, each subscribing
//                                  10 000 items at 1 s, counted for 10 s): notifications per item
//                                  and per session, server CPU and resident memory
//   ua_bench --callgrind PORT PID OUTFILE
//                                  instructions per Read and per notification of a server run as
//                                  valgrind --tool=callgrind --callgrind-out-file=OUTFILE
//                                  ua_bench --serve 10000 (see bench/callgrind_count.h)
//
// Figures: Read of 1, 100 and 1000 items (latency, requests/s); a subscription of 10 000 items at
// 100 ms (notifications/s, server CPU); server resident memory idle and per session; server CPU
// under a flood of HEL+OPN on new connections (from one and from ten loopback addresses) and
// the time a client then needs to connect and read.
// Read of 1 and 1000 items and the subscription again over channels signed, and signed and
// encrypted.
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "../callgrind_count.h"
#include "tests/integration/ua/ua_mini_client.h"
#include "tests/support/test_trust_store.h"
#include "ua/net/server.h"

using namespace qora::ua;
using namespace qora::ua::testing;
using Clock = std::chrono::steady_clock;

namespace {

constexpr int kItems = 10000;

class BenchBackend : public Backend {
  public:
    // Items item0, item1, ... or, when ids is not empty, those IDs in that order.
    explicit BenchBackend(int n, const std::vector<std::string>& ids = {})
        : values_(ids.empty() ? static_cast<size_t>(n) : ids.size()) {
        if (!ids.empty()) n = static_cast<int>(ids.size());
        for (int i = 0; i < n; ++i)
            items_.push_back(
                {static_cast<uint32_t>(i + 1), ids.empty() ? "item" + std::to_string(i) : ids[size_t(i)], 1});
    }
    void Update() {
        std::lock_guard<std::mutex> lock(mu_);
        for (float& v : values_) v += 1.0f;
        time_ += 1000000;
        ++generation_;
    }
    std::vector<ItemInfo> ListItems() override { return items_; }
    uint64_t CacheGeneration() override {
        std::lock_guard<std::mutex> lock(mu_);
        return generation_;
    }
    void ReadCache(const uint32_t* h, size_t n, ItemSample* out) override {
        std::lock_guard<std::mutex> lock(mu_);
        for (size_t i = 0; i < n; ++i) {
            const size_t k = h[i] - 1;
            if (k >= values_.size()) {
                out[i].valid = false;
                continue;
            }
            out[i] = {values_[k], 192, time_, true};
        }
    }
    void ReadDevice(const uint32_t* h, size_t n, ItemSample* out) override { ReadCache(h, n, out); }
    void RefreshFromDevice(const uint32_t*, size_t) override {}
    void Write(const uint32_t*, size_t) override {}
    void SessionCreated() override {}
    void SessionClosed() override {}
    void ChannelOpened() override {}
    void ChannelClosed() override {}
    void ItemsActivated(const uint32_t*, size_t) override {}
    void ItemsDeactivated(const uint32_t*, size_t) override {}
    std::vector<uint32_t> Locales() override { return {0x0409}; }

  private:
    std::vector<ItemInfo> items_;
    std::mutex mu_;
    std::vector<float> values_;
    uint64_t time_ = 133000000000000000ull;
    uint64_t generation_ = 1;
};

// Key and certificate of the measured server and of the measuring client (made once by the parent).
struct BenchKeys {
    std::string dir;
    crypto::RsaKey client = crypto::RsaKey::Generate(2048);
    std::string clientCert = crypto::MakeSelfSigned(client, "bench client", "urn:bench:client");
    crypto::RsaKey server = crypto::RsaKey::Generate(2048);
    std::string serverCert = crypto::MakeSelfSigned(server, "bench server", "urn:qora:opc-server");
};
BenchKeys* g_keys = nullptr;

std::unique_ptr<MiniSecurity> Security(SecurityPolicy policy, SecurityMode mode) {
    if (!g_keys || policy == SecurityPolicy::None) return nullptr;
    auto s = std::make_unique<MiniSecurity>();
    s->policy = policy;
    s->mode = mode;
    s->key = g_keys->client;
    s->certificate = g_keys->clientCert;
    s->serverCertificate = g_keys->serverCert;
    return s;
}

// certFile, keyFile (optional): the server's identity for secured channels. idsFile (optional): one item ID
// per line (UTF-8), served instead of item<i>, so another server's item names can be compared like for like.
int Serve(int items, const char* idsFile, const char* certFile, const char* keyFile) {
    std::vector<std::string> ids;
    if (idsFile) {
        std::ifstream in(idsFile);
        for (std::string line; std::getline(in, line);)
            if (!line.empty()) ids.push_back(line);
        if (ids.empty()) {
            std::fprintf(stderr, "no item IDs in %s\n", idsFile);
            return 1;
        }
    }
    BenchBackend backend(items, ids);
    ServerConfig config;
    if (certFile && keyFile) {
        auto trust = testing::TestTrustStore::Load(certFile, keyFile);
        if (trust) {
            trust->TrustEveryone();
            config.trust = trust;
        }
    }
    config.host = "127.0.0.1";
    config.port = 0;
    config.maxSessions = 200;
    config.maxChannels = 300;
    Server server(backend, config);
    std::string error;
    if (!server.Start(&error)) {
        std::fprintf(stderr, "start failed: %s\n", error.c_str());
        return 1;
    }
    std::printf("PORT %u\n", server.Port());
    std::fflush(stdout);
    // Values change every 25 ms, four times per sampling interval of the subscription below,
    // so that every sample finds a change and the notification count measures the sampler
    // (with equal periods the two clocks would alias).
    auto due = Clock::now();
    for (;;) {
        due += std::chrono::milliseconds(25);
        std::this_thread::sleep_until(due);
        backend.Update();
        if (getppid() == 1) return 0;  // the measuring parent is gone
    }
}

struct ProcStat {
    double cpuSeconds = 0;
    long rssKiB = 0;
};

ProcStat ReadProc(pid_t pid) {
    ProcStat s;
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string line;
    std::getline(stat, line);
    const size_t close = line.rfind(')');
    if (close != std::string::npos) {
        std::istringstream in(line.substr(close + 2));
        std::string field;
        unsigned long utime = 0, stime = 0;
        for (int i = 3; i <= 15 && in >> field; ++i) {
            if (i == 14) utime = std::stoul(field);
            if (i == 15) stime = std::stoul(field);
        }
        s.cpuSeconds = static_cast<double>(utime + stime) / static_cast<double>(sysconf(_SC_CLK_TCK));
    }
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    while (std::getline(status, line))
        if (line.rfind("VmRSS:", 0) == 0) s.rssKiB = std::atol(line.c_str() + 6);
    return s;
}

// A client whose session ends with it. Every measuring session comes from 127.0.0.1, and one address
// holds a quarter of the session table at most: sessions left to time out would refuse the later
// measurements.
struct BenchClient : MiniClient {
    bool sessionOpen = false;
    ~BenchClient() {
        if (sessionOpen) CloseSession();
    }
};

bool OpenSession(BenchClient& c, uint16_t port) {
    c.sessionOpen = c.Connect(port) && c.CreateSession() == status::Good;
    return c.sessionOpen && c.Activate() == status::Good;
}

const char* ModeLabel(SecurityPolicy policy, SecurityMode mode) {
    if (policy == SecurityPolicy::None) return "None";
    return mode == SecurityMode::Sign ? "Sign" : "SignAndEncrypt";
}

void BenchRead(uint16_t port, pid_t pid, size_t count, double maxAge,
               SecurityPolicy policy = SecurityPolicy::None, SecurityMode mode = SecurityMode::None) {
    BenchClient c;
    c.security = Security(policy, mode);
    if (!OpenSession(c, port)) {
        std::printf("read %zu: no session\n", count);
        return;
    }
    std::vector<NodeId> nodes;
    for (size_t i = 0; i < count; ++i) nodes.push_back(NodeId::String(1, "item" + std::to_string(i)));
    std::vector<DataValue> values;
    for (int i = 0; i < 20; ++i) c.Read(nodes, maxAge, values);  // warm-up
    std::vector<double> latencies;
    const ProcStat before = ReadProc(pid);
    const auto start = Clock::now();
    while (Clock::now() - start < std::chrono::seconds(3)) {
        const auto t0 = Clock::now();
        if (!c.Read(nodes, maxAge, values) || values.size() != count) {
            std::printf("read %zu: failed\n", count);
            return;
        }
        latencies.push_back(std::chrono::duration<double, std::micro>(Clock::now() - t0).count());
    }
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    const ProcStat after = ReadProc(pid);
    std::sort(latencies.begin(), latencies.end());
    std::printf(
        "read %5zu items (MaxAge %-7g) %s %s: %8.0f requests/s  latency p50 %7.1f us  p99 %7.1f us  server "
        "CPU %5.1f %%\n",
        count, maxAge, std::string(PolicyName(policy)).c_str(), ModeLabel(policy, mode),
        static_cast<double>(latencies.size()) / seconds, latencies[latencies.size() / 2],
        latencies[latencies.size() * 99 / 100], 100.0 * (after.cpuSeconds - before.cpuSeconds) / seconds);
}

void BenchSubscription(uint16_t port, pid_t pid, int items, SecurityPolicy policy = SecurityPolicy::None,
                       SecurityMode mode = SecurityMode::None) {
    BenchClient c;
    c.security = Security(policy, mode);
    if (!OpenSession(c, port)) {
        std::printf("subscription: no session\n");
        return;
    }
    const uint32_t sub = c.CreateSubscription(100, 10);
    std::vector<NodeId> nodes;
    for (int i = 0; i < items; ++i) nodes.push_back(NodeId::String(1, "item" + std::to_string(i)));
    const size_t created = c.Monitor(sub, nodes, 100);
    for (int i = 0; i < 5; ++i) c.SendPublish();
    // Settle: skip the first samples.
    auto drain = [&](std::chrono::seconds span, uint64_t& notifications, uint64_t& messages) {
        const auto end = Clock::now() + span;
        while (Clock::now() < end) {
            ServerMessage m;
            if (!c.Next(m, 1000)) continue;
            if (m.type != "MSG") break;
            if (!qora::bench::AnswerPublish(c, m, notifications)) continue;
            ++messages;
        }
    };
    uint64_t n0 = 0, m0 = 0;
    drain(std::chrono::seconds(2), n0, m0);
    const ProcStat before = ReadProc(pid);
    const auto start = Clock::now();
    uint64_t notifications = 0, messages = 0;
    drain(std::chrono::seconds(5), notifications, messages);
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    const ProcStat after = ReadProc(pid);
    std::printf(
        "subscription of %zu items at 100 ms %s %s: %8.0f notifications/s in %5.1f messages/s, server CPU "
        "%5.1f %%\n",
        created, std::string(PolicyName(policy)).c_str(), ModeLabel(policy, mode),
        static_cast<double>(notifications) / seconds, static_cast<double>(messages) / seconds,
        100.0 * (after.cpuSeconds - before.cpuSeconds) / seconds);
}

void BenchMemory(uint16_t port, pid_t pid) {
    const ProcStat idle = ReadProc(pid);
    std::printf("server resident memory idle (%d items): %ld KiB\n", kItems, idle.rssKiB);
    constexpr int kSessions = 50;
    std::vector<std::unique_ptr<BenchClient>> clients;
    for (int i = 0; i < kSessions; ++i) {
        auto c = std::make_unique<BenchClient>();
        if (!OpenSession(*c, port)) break;
        clients.push_back(std::move(c));
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    const ProcStat withSessions = ReadProc(pid);
    std::printf("server resident memory with %zu sessions: %ld KiB (%.1f KiB per session)\n", clients.size(),
                withSessions.rssKiB,
                static_cast<double>(withSessions.rssKiB - idle.rssKiB) /
                    static_cast<double>(std::max<size_t>(1, clients.size())));
}

// HEL+OPN on a new connection, closed at once; true when the channel was opened.
bool OpenOnce(uint16_t port, const char* from, SecurityPolicy policy) {
    MiniClient c;
    c.security = Security(policy, SecurityMode::SignAndEncrypt);
    return c.Connect(port, 65535, from);
}

void BenchOpenFlood(uint16_t port, pid_t pid, int rate, int hosts,
                    SecurityPolicy policy = SecurityPolicy::None) {
    constexpr int kSeconds = 5;
    std::atomic<bool> stop{false};
    std::atomic<int> sent{0}, opened{0};
    const ProcStat before = ReadProc(pid);
    const auto t0 = Clock::now();
    // Paced: one attempt every 1/rate s, spread over the hosts (127.0.0.2 ...).
    std::thread flood([&] {
        auto due = t0;
        const auto step = std::chrono::microseconds(1000000 / std::max(1, rate));
        for (int i = 0; !stop; ++i) {
            std::this_thread::sleep_until(due);
            due += step;
            const std::string from = "127.0.0." + std::to_string(2 + i % hosts);
            ++sent;
            if (OpenOnce(port, from.c_str(), policy)) ++opened;
        }
    });
    std::this_thread::sleep_for(std::chrono::seconds(1));
    // A client from its own address meanwhile: connect, session, one Read.
    const auto c0 = Clock::now();
    long long clientMs = -1;
    for (int attempt = 0; attempt < 100 && clientMs < 0; ++attempt) {
        BenchClient c;
        std::vector<DataValue> values;
        if (c.Connect(port, 65535, "127.0.0.1") && (c.sessionOpen = c.CreateSession() == status::Good) &&
            c.Activate() == status::Good && c.Read({NodeId::String(1, "item0")}, 0, values))
            clientMs = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - c0).count();
        else
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    std::this_thread::sleep_until(t0 + std::chrono::seconds(kSeconds));
    stop = true;
    flood.join();
    const double seconds = std::chrono::duration<double>(Clock::now() - t0).count();
    const ProcStat after = ReadProc(pid);
    std::printf(
        "OPN flood (%s) %d/s from %d address(es), %.1f s: %d attempts, %d channels opened (%.0f/s), server "
        "CPU "
        "%.1f %% of a core; a client connected and read in %lld ms\n",
        std::string(PolicyName(policy)).c_str(), rate, hosts, seconds, sent.load(), opened.load(),
        opened.load() / seconds, 100.0 * (after.cpuSeconds - before.cpuSeconds) / seconds, clientMs);
}

// None OPNs at rate from hosts addresses while 40 secured opens come, 10 a second, each from an
// address of its own: how many of the secured ones the flood has refused.
void BenchNoneFloodAgainstSecured(uint16_t port, int rate, int hosts) {
    std::atomic<bool> stop{false};
    std::atomic<int> sent{0};
    std::thread flood([&] {
        auto due = Clock::now();
        const auto step = std::chrono::microseconds(1000000 / std::max(1, rate));
        for (int i = 0; !stop; ++i) {
            std::this_thread::sleep_until(due);
            due += step;
            const std::string from = "127.0.0." + std::to_string(2 + i % hosts);
            ++sent;
            OpenOnce(port, from.c_str(), SecurityPolicy::None);
        }
    });
    std::this_thread::sleep_for(std::chrono::seconds(1));
    constexpr int kSecured = 40;
    int refused = 0;
    for (int i = 0; i < kSecured; ++i) {
        const std::string from = "127.0.1." + std::to_string(2 + i);
        if (!OpenOnce(port, from.c_str(), SecurityPolicy::Basic256Sha256)) ++refused;
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    stop = true;
    flood.join();
    std::printf("None OPN flood %d/s from %d addresses (%d sent): %d of %d secured opens refused\n", rate,
                hosts, sent.load(), refused, kSecured);
}

}  // namespace

// The value after `name` among the --serve options (argv[3] on), or null.
// SESSIONS sessions, each with a subscription of ITEMS items sampled and published every second.
// The values change every 25 ms, so every sample finds a change: each session must receive every
// item once per second. Each session is drained on its own thread and counts notifications per
// item (client handle = item index); after the settling seconds, a window of SECONDS is counted.
// Delivered in full means: every item of every session was notified SECONDS times, give or take
// the one cycle that straddles each end of the window.
int BenchScale(uint16_t port, pid_t pid, int sessions, int items, int seconds) {
    std::vector<NodeId> nodes;
    for (int i = 0; i < items; ++i) nodes.push_back(NodeId::String(1, "item" + std::to_string(i)));
    std::vector<std::unique_ptr<BenchClient>> clients;
    std::vector<uint32_t> subs;
    const ProcStat idle = ReadProc(pid);
    for (int s = 0; s < sessions; ++s) {
        auto c = std::make_unique<BenchClient>();
        uint32_t sub = 0;
        if (!OpenSession(*c, port) || (sub = c->CreateSubscription(1000, 10)) == 0 ||
            c->Monitor(sub, nodes, 1000) != nodes.size()) {
            std::printf("scale: session %d could not subscribe %d items\n", s + 1, items);
            return 1;
        }
        for (int i = 0; i < 5; ++i) c->SendPublish();
        clients.push_back(std::move(c));
        subs.push_back(sub);
    }
    std::atomic<int> phase{0};  // 0 settling, 1 counting, 2 done
    std::vector<std::vector<uint32_t>> counts(static_cast<size_t>(sessions),
                                              std::vector<uint32_t>(static_cast<size_t>(items)));
    std::vector<uint64_t> stray(static_cast<size_t>(sessions));
    std::vector<std::thread> threads;
    for (int s = 0; s < sessions; ++s)
        threads.emplace_back([&, s] {
            BenchClient& c = *clients[size_t(s)];
            while (phase.load() < 2) {
                ServerMessage m;
                if (!c.Next(m, 200) || m.type != "MSG") continue;
                Decoder d(m.body);
                const ResponseHeader h = ReadResponseHeader(d);
                if (h.typeId != id::ResponseOf(id::Publish)) continue;
                const uint32_t subId = d.UInt32();
                for (size_t i = 0, n = d.ArrayCount(4, 4); i < n; ++i) d.UInt32();
                d.Boolean();
                const uint32_t seq = d.UInt32();
                d.DateTime();
                const bool counting = phase.load() == 1;
                for (size_t i = 0, n = d.ArrayCount(3, 8); i < n; ++i) {
                    const ExtensionObject x = d.Extension();
                    Decoder b(x.body);
                    for (size_t k = 0, count = b.ArrayCount(1, 1); k < count; ++k) {
                        const uint32_t handle = b.UInt32();
                        b.Data();
                        if (!counting) continue;
                        if (handle < uint32_t(items))
                            ++counts[size_t(s)][handle];
                        else
                            ++stray[size_t(s)];
                    }
                }
                c.SendPublish(subId, seq);
            }
        });
    std::this_thread::sleep_for(std::chrono::seconds(3));
    const ProcStat before = ReadProc(pid);
    const auto start = Clock::now();
    phase = 1;
    std::this_thread::sleep_for(std::chrono::seconds(seconds));
    phase = 2;
    const double span = std::chrono::duration<double>(Clock::now() - start).count();
    const ProcStat after = ReadProc(pid);
    for (auto& t : threads) t.join();
    uint64_t total = 0, strays = 0;
    uint32_t lo = UINT32_MAX, hi = 0;
    for (int s = 0; s < sessions; ++s) {
        for (const uint32_t n : counts[size_t(s)]) {
            total += n;
            lo = std::min(lo, n);
            hi = std::max(hi, n);
        }
        strays += stray[size_t(s)];
    }
    const bool full = lo + 1 >= uint32_t(seconds) && hi <= uint32_t(seconds) + 1 && strays == 0;
    std::printf(
        "scale: %d sessions x %d items at 1 s for %.1f s: %llu notifications (%.0f/s, expected %d/s); per "
        "item "
        "%u..%u of %d cycles; %s\n",
        sessions, items, span, static_cast<unsigned long long>(total), double(total) / span, sessions * items,
        lo, hi, seconds, full ? "every notification delivered" : "NOTIFICATIONS MISSING");
    std::printf(
        "scale: server CPU %.1f %% of one core (%.2f us per notification), resident %ld KiB (idle %ld KiB)\n",
        100.0 * (after.cpuSeconds - before.cpuSeconds) / span,
        1e6 * (after.cpuSeconds - before.cpuSeconds) / double(std::max<uint64_t>(total, 1)), after.rssKiB,
        idle.rssKiB);
    return full ? 0 : 1;
}

const char* ServeOption(int argc, char** argv, const char* name) {
    for (int i = 3; i + 1 < argc; ++i)
        if (std::strcmp(argv[i], name) == 0) return argv[i + 1];
    return nullptr;
}

int main(int argc, char** argv) {
    if (argc >= 3 && std::strcmp(argv[1], "--serve") == 0)
        return Serve(std::atoi(argv[2]), ServeOption(argc, argv, "--ids"), ServeOption(argc, argv, "--cert"),
                     ServeOption(argc, argv, "--key"));
    if (argc >= 5 && std::strcmp(argv[1], "--callgrind") == 0) {
        qora::bench::CallgrindCounter cg(static_cast<pid_t>(std::atoi(argv[3])), argv[4]);
        std::vector<NodeId> nodes;
        for (int i = 0; i < kItems; ++i) nodes.push_back(NodeId::String(1, "item" + std::to_string(i)));
        qora::bench::CountScenarios(static_cast<uint16_t>(std::atoi(argv[2])), cg, nodes, kItems);
        return 0;
    }
    const bool floodOnly = argc >= 2 && std::strcmp(argv[1], "--opn-flood") == 0;
    const bool scaleOnly = argc >= 2 && std::strcmp(argv[1], "--scale") == 0;
    const int scaleItems = scaleOnly && argc > 3 ? std::atoi(argv[3]) : kItems;
    const int floodRate = floodOnly && argc >= 3 ? std::atoi(argv[2]) : 200;
    uint16_t port = 0;
    pid_t pid = 0;
    pid_t child = 0;
    if (argc >= 5 && std::strcmp(argv[1], "--connect") == 0) {
        port = static_cast<uint16_t>(std::atoi(argv[2]));
        pid = static_cast<pid_t>(std::atoi(argv[4]));
    } else {
        // The child serves with this key and certificate and trusts any client.
        static BenchKeys keys;
        char dirTemplate[] = "/tmp/ua_bench_XXXXXX";
        if (mkdtemp(dirTemplate)) {
            keys.dir = dirTemplate;
            std::ofstream(keys.dir + "/cert.der", std::ios::binary) << keys.serverCert;
            std::ofstream(keys.dir + "/key.der", std::ios::binary) << keys.server.PrivateDer();
            g_keys = &keys;
        }
        const std::string certPath = keys.dir + "/cert.der";
        const std::string keyPath = keys.dir + "/key.der";
        int fds[2];
        if (pipe(fds) != 0) return 1;
        child = fork();
        if (child == 0) {
            dup2(fds[1], 1);
            close(fds[0]);
            execl("/proc/self/exe", argv[0], "--serve", std::to_string(std::max(kItems, scaleItems)).c_str(),
                  "--cert", certPath.c_str(), "--key", keyPath.c_str(), static_cast<char*>(nullptr));
            _exit(127);
        }
        close(fds[1]);
        FILE* in = fdopen(fds[0], "r");
        char line[128] = {};
        if (!fgets(line, sizeof line, in) || std::sscanf(line, "PORT %hu", &port) != 1) {
            std::fprintf(stderr, "server did not start\n");
            return 1;
        }
        pid = child;
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
    }
    int result = 0;
    if (scaleOnly) {
        result = BenchScale(port, pid, argc > 2 ? std::atoi(argv[2]) : 20, scaleItems,
                            argc > 4 ? std::atoi(argv[4]) : 10);
    } else if (!floodOnly) {
        BenchMemory(port, pid);
        for (size_t n : {1u, 100u, 1000u}) BenchRead(port, pid, n, 1e9);
        for (size_t n : {1u, 100u, 1000u}) BenchRead(port, pid, n, 0);
        BenchSubscription(port, pid, kItems);
        if (g_keys) {
            for (SecurityMode mode : {SecurityMode::Sign, SecurityMode::SignAndEncrypt}) {
                for (size_t n : {1u, 1000u})
                    BenchRead(port, pid, n, 1e9, SecurityPolicy::Basic256Sha256, mode);
                BenchRead(port, pid, 1, 1e9, SecurityPolicy::Aes256_Sha256_RsaPss, mode);
                BenchSubscription(port, pid, kItems, SecurityPolicy::Basic256Sha256, mode);
            }
        }
    }
    if (!scaleOnly) {
        for (int hosts : {1, 10}) BenchOpenFlood(port, pid, floodRate, hosts);
    }
    // Each secured OPN costs the server a private-key decryption and a signature.
    if (g_keys && !scaleOnly) {
        for (int hosts : {1, 10}) BenchOpenFlood(port, pid, floodRate, hosts, SecurityPolicy::Basic256Sha256);
        BenchNoneFloodAgainstSecured(port, floodRate, 8);
    }
    if (g_keys) {
        std::remove((g_keys->dir + "/cert.der").c_str());
        std::remove((g_keys->dir + "/key.der").c_str());
        ::rmdir(g_keys->dir.c_str());
    }
    if (child > 0) {
        kill(child, SIGTERM);
        waitpid(child, nullptr, 0);
    }
    return result;
}
