// What one hostile peer costs the others (timed tool, not a test): the latency of a good client's
// Read on 127.0.0.1 while another address (127.0.0.2) sends, over the None endpoint,
//   - ActivateSession with an oversized encrypted password (--secret-kib, default 1024 KiB),
//   - a stream of wrong passwords (10 a second),
//   - CreateSession until refused,
// and whether a newcomer from a third address (127.0.0.3) then logs in with the right password or
// gets a session. Passwords are checked with PBKDF2-SHA256 at 100 000 rounds, like a users file.
// One row per hostile peer: the good client's Reads done back to back for --seconds (count, failed
// ones, p50/p99/max latency in ms) and what became of the newcomer. The row "none" is the baseline;
// the difference to it is what the hostile peer takes from the network thread that serves the Read.
// Run it pinned to one CPU (taskset -c 1) so that the password checks and the Reads share a core.
//
//   hostile_peer_bench [--seconds N] [--secret-kib K]
#include <openssl/evp.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "tests/integration/ua/ua_mini_client.h"
#include "tests/support/test_trust_store.h"
#include "ua/net/server.h"

using namespace qora::ua;
using namespace qora::ua::testing;
using Clock = std::chrono::steady_clock;

namespace {

class OneItem : public Backend {
  public:
    std::vector<ItemInfo> ListItems() override { return {{1, "item0", 1}}; }
    uint64_t CacheGeneration() override { return 1; }
    void ReadCache(const uint32_t*, size_t n, ItemSample* out) override {
        for (size_t i = 0; i < n; ++i) out[i] = {1.5f, 192, 0, true};
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
    std::vector<uint32_t> Locales() override { return {}; }
};

// The check of a users file: PBKDF2 of the offered password, then the comparison.
class SlowUsers : public UserDirectory {
  public:
    bool Check(std::string_view user, std::string_view password) override {
        unsigned char out[32];
        PKCS5_PBKDF2_HMAC(password.data(), static_cast<int>(password.size()),
                          reinterpret_cast<const unsigned char*>("salt"), 4, 100000, EVP_sha256(), sizeof out,
                          out);
        return user == "op" && password == "secret";
    }
};

constexpr uint32_t kActivateSession = 467;

// ActivateSession over None with a UserName token of user "op" and this encrypted secret.
StatusCode ActivateUser(MiniClient& c, const std::string& secret, int timeoutMs) {
    const std::string oaep(crypto::Params(SecurityPolicy::Basic256Sha256)->encryptionUri);
    ServerMessage m;
    if (!c.Call(
            kActivateSession,
            [&](Encoder& e) {
                e.NullString();
                e.NullString();
                e.ArrayLength(0);
                e.ArrayLength(0);
                e.Extension(MakeExtension(324, [&](Encoder& b) {
                    b.String(std::string_view("username_basic256sha256"));
                    b.String(std::string_view("op"));
                    b.ByteString(secret);
                    b.String(std::string_view(oaep));
                }));
                e.NullString();
                e.NullString();
            },
            m, timeoutMs))
        return status::BadTimeout;
    Decoder d(m.body);
    return ReadResponseHeader(d).serviceResult;
}

std::string Secret(const std::string& serverCert, const std::string& password, const std::string& nonce) {
    std::string plain;
    Encoder e(plain);
    e.UInt32(static_cast<uint32_t>(password.size() + nonce.size()));
    plain += password + nonce;
    return crypto::Encrypt(*crypto::Params(SecurityPolicy::Basic256Sha256),
                           crypto::RsaKey::FromCertificate(serverCert), plain)
        .value_or(std::string());
}

struct Figures {
    size_t reads = 0;
    size_t failed = 0;
    double p50 = 0, p99 = 0, max = 0;  // ms
};

// Reads item0 for the given time; latencies in ms.
Figures GoodReads(uint16_t port, double seconds) {
    Figures f;
    MiniClient c;
    if (!c.Connect(port, 65535, "127.0.0.1") || c.CreateSession() != status::Good ||
        c.Activate() != status::Good) {
        f.failed = 1;
        return f;
    }
    std::vector<NodeId> nodes{NodeId::String(1, "item0")};
    std::vector<DataValue> values;
    std::vector<double> ms;
    const auto end = Clock::now() + std::chrono::duration<double>(seconds);
    while (Clock::now() < end) {
        const auto t0 = Clock::now();
        if (!c.Read(nodes, 0, values)) ++f.failed;
        ms.push_back(std::chrono::duration<double, std::milli>(Clock::now() - t0).count());
    }
    std::sort(ms.begin(), ms.end());
    f.reads = ms.size();
    if (!ms.empty()) {
        f.p50 = ms[ms.size() / 2];
        f.p99 = ms[ms.size() * 99 / 100];
        f.max = ms.back();
    }
    return f;
}

// A newcomer from 127.0.0.3: a session, then the right password.
const char* Newcomer(uint16_t port, const std::string& serverCert) {
    MiniClient c;
    if (!c.Connect(port, 65535, "127.0.0.3")) return "no channel";
    if (c.CreateSession() != status::Good) return "no session";
    const StatusCode st = ActivateUser(c, Secret(serverCert, "secret", c.serverNonce), 10000);
    return st == status::Good ? "logged in" : st == status::BadUserAccessDenied ? "refused" : "failed";
}

}  // namespace

int main(int argc, char** argv) {
    double seconds = 3;
    size_t secretKiB = 1024;
    for (int i = 1; i + 1 < argc; i += 2) {
        if (!std::strcmp(argv[i], "--seconds")) seconds = std::atof(argv[i + 1]);
        if (!std::strcmp(argv[i], "--secret-kib")) secretKiB = static_cast<size_t>(std::atoi(argv[i + 1]));
    }
    OneItem backend;
    ServerConfig config;
    config.host = "127.0.0.1";
    config.port = 0;
    auto trust = TestTrustStore::Generate(2048, config.applicationUri);
    config.trust = trust;
    config.users = std::make_shared<SlowUsers>();
    Server server(backend, config);
    if (!server.Start()) return 1;
    const uint16_t serverPort = server.Port();
    const std::string serverCert = trust->OwnCertificateDer();

    struct Attack {
        const char* name;
        void (*run)(uint16_t port, const std::string& cert, size_t secretKiB, std::atomic<bool>& stop);
    };
    const Attack attacks[] = {
        {"none", [](uint16_t, const std::string&, size_t, std::atomic<bool>&) {}},
        {"oversized encrypted password",
         [](uint16_t port, const std::string& cert, size_t kib, std::atomic<bool>& stop) {
             MiniClient c;
             if (!c.Connect(port, 65535, "127.0.0.2") || c.CreateSession() != status::Good) return;
             const std::string secret = Secret(cert, std::string(kib * 1024, 'p'), c.serverNonce);
             while (!stop) ActivateUser(c, secret, 60000);
         }},
        {"wrong passwords 10/s",
         [](uint16_t port, const std::string& cert, size_t, std::atomic<bool>& stop) {
             std::vector<std::thread> senders;
             // Ten channels, one guess a second each: the answers come late.
             for (int k = 0; k < 10; ++k)
                 senders.emplace_back([&, k] {
                     MiniClient c;
                     if (!c.Connect(port, 65535, "127.0.0.2") || c.CreateSession() != status::Good) return;
                     std::this_thread::sleep_for(std::chrono::milliseconds(100 * k));
                     while (!stop) {
                         const auto next = Clock::now() + std::chrono::seconds(1);
                         ActivateUser(c, Secret(cert, "guess", c.serverNonce), 5000);
                         std::this_thread::sleep_until(next);
                     }
                 });
             for (auto& t : senders) t.join();
         }},
        {"session-table fill",
         [](uint16_t port, const std::string&, size_t, std::atomic<bool>& stop) {
             std::vector<std::unique_ptr<MiniClient>> hogs;
             auto c = std::make_unique<MiniClient>();
             if (!c->Connect(port, 65535, "127.0.0.2")) return;
             while (!stop && c->CreateSession() == status::Good && c->Activate() == status::Good) {
             }
             while (!stop) std::this_thread::sleep_for(std::chrono::milliseconds(10));
         }},
    };
    std::printf("%-30s %8s %8s %9s %9s %9s  %s\n", "hostile peer", "reads", "failed", "p50 ms", "p99 ms",
                "max ms", "newcomer");
    for (const Attack& a : attacks) {
        std::atomic<bool> stop{false};
        std::thread hostile([&] { a.run(serverPort, serverCert, secretKiB, stop); });
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
        std::string newcomer;
        std::thread late([&] {
            std::this_thread::sleep_for(std::chrono::duration<double>(seconds / 2));
            newcomer = Newcomer(serverPort, serverCert);
        });
        const Figures f = GoodReads(serverPort, seconds);
        late.join();
        stop = true;
        hostile.join();
        std::printf("%-30s %8zu %8zu %9.2f %9.2f %9.1f  %s\n", a.name, f.reads, f.failed, f.p50, f.p99, f.max,
                    newcomer.c_str());
        std::fflush(stdout);
        std::this_thread::sleep_for(std::chrono::seconds(1));  // failed-login answers drain
    }
    return 0;
}
