// Test host of the OPC UA endpoint: runs qora::ua::Server over a fake toolkit with a few hundred
// Float items whose values change, prints "PORT <n>", logs every backend call as "CALL <name>",
// and obeys commands on standard input:
//   shutdown <reason>   GBShutdown
//   disconnect          GBDisconnectClients
//   stoplisten          GBRevokeClassObject
//   stats               prints "STATS sessions=.. channels=.. active=.. calls=.."
//   quit                ends the host
//   diag                (with --placed) one more request on point 0 and its device 0, whose
//                       consecutive unanswered count grows; prints "DONE diag <requests>"
// Options: --items N  --port P  --record DIR  --max-sessions N  --max-channels N
//          --handshake-ms N  --period-ms N  --quiet (no CALL lines for reads)
//          --constant-bad (items of a Bad quality keep the no-value marker; only their
//          timestamps move on each period, as the server's push rewrites them)
//          --placed (items hang under points and devices: 4 devices per point, 10 items each;
//          point 0 and its devices have diagnostics counters, moved by "diag")
// Security: --cert FILE --key FILE (DER or PEM; without them, with any other security option, a
//          2048-bit key and a self-signed certificate are made at start), --trust-dir DIR (trust
//          every DER/PEM in DIR, read again at each validation; refused certificates go to
//          DIR/../rejected), --policies None,Basic256Sha256,... --modes Sign,SignAndEncrypt
//          --no-anonymous --user NAME:PASSWORD (repeatable) --allow-clear-passwords
//          --write-cert FILE (the server's certificate, DER)

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "base/file_time.h"
#include "tests/support/test_trust_store.h"
#include "ua/net/server.h"

namespace {

using qora::NowFileTime;

class FakeBackend : public qora::ua::Backend {
  public:
    FakeBackend(int items, bool quiet, bool constantBad, bool placed)
        : quiet_(quiet), constantBad_(constantBad) {
        for (int i = 0; i < items; ++i) {
            qora::ua::ItemInfo info;
            info.handle = static_cast<uint32_t>(1000 + i);
            // Two items share an ID (the second is served as "...#2"); names are Cyrillic UTF-8.
            const int device = i / 10;
            const int param = (i == 1) ? 0 : i % 10;
            const int point = placed ? device / 4 : 0;
            info.pointName =
                "Адаптер_" + std::to_string(point + 1) + "(COM" + std::to_string(point + 1) + ")";
            info.deviceName =
                "Устройство" + std::to_string(device) + "(T №" + std::to_string(device + 1) + ")";
            info.itemId = info.pointName + "." + info.deviceName + ".P" + std::to_string(param);
            if (placed) {
                info.point = point;
                info.device = device % 4;
            }
            info.accessRights = 1;
            items_.push_back(info);
            quality_.push_back(i % 50 == 7 ? 8 : (i % 50 == 9 ? 24 : 192));
            values_.push_back(constantBad && quality_.back() != 192 ? 9999999.0f : static_cast<float>(i));
            times_.push_back(NowFileTime());
        }
    }

    // Changes every value and ends an update block.
    void Update() {
        std::lock_guard<std::mutex> lock(mu_);
        const uint64_t now = NowFileTime();
        for (size_t i = 0; i < values_.size(); ++i) {
            if (!constantBad_ || quality_[i] == 192) values_[i] += 0.5f;
            times_[i] = now;
        }
        ++generation_;
    }

    std::vector<qora::ua::ItemInfo> ListItems() override {
        Log("ListItems");
        return items_;
    }
    uint64_t CacheGeneration() override {
        std::lock_guard<std::mutex> lock(mu_);
        return generation_;
    }
    void ReadCache(const uint32_t* handles, size_t count, qora::ua::ItemSample* out) override {
        Count("ReadCache", !quiet_);
        Fill(handles, count, out);
    }
    void ReadDevice(const uint32_t* handles, size_t count, qora::ua::ItemSample* out) override {
        Count("ReadDevice", true);
        Fill(handles, count, out);
    }
    void RefreshFromDevice(const uint32_t*, size_t) override { Count("RefreshFromDevice", true); }
    void Write(const uint32_t*, size_t) override { Count("Write", true); }
    void SessionCreated() override {
        ++sessions_;
        Log("SessionCreated");
    }
    void SessionClosed() override {
        --sessions_;
        Log("SessionClosed");
    }
    void ChannelOpened() override {
        ++channels_;
        Log("ChannelOpened");
    }
    void ChannelClosed() override {
        --channels_;
        Log("ChannelClosed");
    }
    void ItemsActivated(const uint32_t*, size_t count) override {
        active_ += static_cast<int64_t>(count);
        Log("ItemsActivated");
    }
    void ItemsDeactivated(const uint32_t*, size_t count) override {
        active_ -= static_cast<int64_t>(count);
        Log("ItemsDeactivated");
    }
    std::vector<uint32_t> Locales() override {
        Count("Locales", false);
        return {0x0000, 0x0009, 0x0800, 0x0400, 0x0409, 0x0419, 0x0019};
    }

    bool ReadPointDiagnostics(int32_t point, qora::ua::PointDiagnostics& out) override {
        if (point != 0) return false;
        std::lock_guard<std::mutex> lock(mu_);
        out.portOpen = true;
        out.requestsSent = requests_;
        out.bytesSent = requests_ * 8;
        out.lastOpenError = "нет";
        return true;
    }
    bool ReadDeviceDiagnostics(int32_t point, int32_t device, qora::ua::DeviceDiagnostics& out) override {
        if (point != 0) return false;
        std::lock_guard<std::mutex> lock(mu_);
        out.requestsSent = device == 0 ? requests_ : 0;
        out.consecutiveUnanswered = device == 0 ? static_cast<uint32_t>(requests_) : 0;
        return true;
    }
    uint64_t Request() {
        std::lock_guard<std::mutex> lock(mu_);
        return ++requests_;
    }

    void PrintStats() {
        std::lock_guard<std::mutex> lock(logMu_);
        std::printf("STATS sessions=%d channels=%d active=%lld", sessions_.load(), channels_.load(),
                    static_cast<long long>(active_.load()));
        for (const auto& [name, n] : counts_)
            std::printf(" %s=%llu", name.c_str(), static_cast<unsigned long long>(n));
        std::printf("\n");
        std::fflush(stdout);
    }

  private:
    void Fill(const uint32_t* handles, size_t count, qora::ua::ItemSample* out) {
        std::lock_guard<std::mutex> lock(mu_);
        for (size_t i = 0; i < count; ++i) {
            const size_t index = handles[i] - 1000;
            if (handles[i] < 1000 || index >= values_.size()) {
                out[i].valid = false;
                continue;
            }
            out[i].value = values_[index];
            out[i].quality = quality_[index];
            out[i].sourceTime = times_[index];
            out[i].valid = true;
        }
    }
    void Count(const char* name, bool log) {
        {
            std::lock_guard<std::mutex> lock(logMu_);
            counts_[name]++;
        }
        if (log) Log(name);
    }
    void Log(const char* name) {
        std::lock_guard<std::mutex> lock(logMu_);
        std::printf("CALL %s\n", name);
        std::fflush(stdout);
    }

    bool quiet_;
    bool constantBad_;
    std::vector<qora::ua::ItemInfo> items_;
    std::mutex mu_;
    std::vector<float> values_;
    std::vector<uint16_t> quality_;
    std::vector<uint64_t> times_;
    uint64_t generation_ = 1;
    uint64_t requests_ = 0;
    std::mutex logMu_;
    std::map<std::string, uint64_t> counts_;
    std::atomic<int> sessions_{0};
    std::atomic<int> channels_{0};
    std::atomic<int64_t> active_{0};
};

}  // namespace

int main(int argc, char** argv) {
    int items = 300;
    int periodMs = 200;
    bool quiet = false;
    bool constantBad = false;
    bool placed = false;
    qora::ua::ServerConfig config;
    std::string certFile, keyFile, trustDir, writeCert;
    bool secured = false;
    auto users = std::make_shared<qora::ua::testing::TestUserDirectory>();
    bool anyUser = false;
    auto split = [](const std::string& list) {
        std::vector<std::string> out;
        size_t pos = 0;
        while (pos <= list.size()) {
            const size_t comma = std::min(list.find(',', pos), list.size());
            if (comma > pos) out.push_back(list.substr(pos, comma - pos));
            pos = comma + 1;
        }
        return out;
    };
    config.host = "127.0.0.1";
    config.port = 0;
    config.softwareVersion = "1.0.0";
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        auto next = [&]() -> const char* { return i + 1 < argc ? argv[++i] : ""; };
        if (a == "--items")
            items = std::atoi(next());
        else if (a == "--port")
            config.port = static_cast<uint16_t>(std::atoi(next()));
        else if (a == "--record") {
            config.recordDirectory = next();
            config.randomSeed = 1;  // replayable by the stream fuzzer
        } else if (a == "--max-sessions")
            config.maxSessions = std::atoi(next());
        else if (a == "--max-channels")
            config.maxChannels = std::atoi(next());
        else if (a == "--handshake-ms")
            config.handshakeTimeoutMs = std::atoi(next());
        else if (a == "--period-ms")
            periodMs = std::atoi(next());
        else if (a == "--quiet")
            quiet = true;
        else if (a == "--constant-bad")
            constantBad = true;
        else if (a == "--placed")
            placed = true;
        else if (a == "--cert")
            certFile = next(), secured = true;
        else if (a == "--key")
            keyFile = next(), secured = true;
        else if (a == "--trust-dir")
            trustDir = next(), secured = true;
        else if (a == "--write-cert")
            writeCert = next(), secured = true;
        else if (a == "--policies") {
            config.securityPolicies.clear();
            for (const auto& name : split(next())) {
                const auto p = qora::ua::PolicyFromName(name);
                if (!p) {
                    std::fprintf(stderr, "unknown policy %s\n", name.c_str());
                    return 2;
                }
                config.securityPolicies.push_back(*p);
            }
            secured = true;
        } else if (a == "--modes") {
            config.securityModes.clear();
            for (const auto& name : split(next())) {
                if (name == "Sign")
                    config.securityModes.push_back(qora::ua::SecurityMode::Sign);
                else if (name == "SignAndEncrypt")
                    config.securityModes.push_back(qora::ua::SecurityMode::SignAndEncrypt);
                else {
                    std::fprintf(stderr, "unknown mode %s\n", name.c_str());
                    return 2;
                }
            }
            secured = true;
        } else if (a == "--no-anonymous")
            config.allowAnonymous = false;
        else if (a == "--allow-clear-passwords")
            config.allowClearPasswords = true;
        else if (a == "--user") {
            const std::string u = next();
            const size_t colon = u.find(':');
            if (colon == std::string::npos) {
                std::fprintf(stderr, "--user NAME:PASSWORD\n");
                return 2;
            }
            users->Add(u.substr(0, colon), u.substr(colon + 1));
            anyUser = true;
        } else {
            std::fprintf(stderr, "unknown option %s\n", a.c_str());
            return 2;
        }
    }
    if (anyUser) config.users = users;
    if (secured) {
        std::shared_ptr<qora::ua::testing::TestTrustStore> trust;
        if (!certFile.empty() || !keyFile.empty()) {
            trust = qora::ua::testing::TestTrustStore::Load(certFile, keyFile);
            if (!trust) {
                std::fprintf(stderr, "cannot load certificate %s or key %s\n", certFile.c_str(),
                             keyFile.c_str());
                return 2;
            }
        } else {
            trust = qora::ua::testing::TestTrustStore::Generate(2048, config.applicationUri);
        }
        if (!trustDir.empty()) trust->SetTrustDirectory(trustDir);
        if (!writeCert.empty()) {
            std::ofstream out(writeCert, std::ios::binary);
            out << trust->OwnCertificateDer();
        }
        config.trust = trust;
    }
    FakeBackend backend(items, quiet, constantBad, placed);
    qora::ua::Server server(backend, config);
    std::string error;
    if (!server.Start(&error)) {
        std::fprintf(stderr, "start failed: %s\n", error.c_str());
        return 1;
    }
    std::printf("PORT %u\n", server.Port());
    std::fflush(stdout);

    std::atomic<bool> stop{false};
    std::thread updater([&] {
        while (!stop) {
            std::this_thread::sleep_for(std::chrono::milliseconds(periodMs));
            backend.Update();
        }
    });
    std::string line;
    while (std::getline(std::cin, line)) {
        if (line.rfind("shutdown", 0) == 0) {
            server.Shutdown(line.size() > 9 ? line.substr(9) : std::string());
            std::printf("DONE shutdown\n");
        } else if (line == "disconnect") {
            server.DisconnectAll();
            std::printf("DONE disconnect\n");
        } else if (line == "stoplisten") {
            server.StopListening();
            std::printf("DONE stoplisten listening=%d\n", server.Listening() ? 1 : 0);
        } else if (line == "diag") {
            std::printf("DONE diag %llu\n", static_cast<unsigned long long>(backend.Request()));
        } else if (line == "stats") {
            backend.PrintStats();
            continue;
        } else if (line == "quit") {
            break;
        }
        std::fflush(stdout);
    }
    stop = true;
    updater.join();
    return 0;
}
