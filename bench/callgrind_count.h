// Instruction counts of a server running under callgrind (valgrind --tool=callgrind
// --callgrind-out-file=DIR/cg.out): counters zeroed before a scenario, dumped after it, the
// dump's total divided by the operations the client made. Repeatable on a loaded machine, where
// wall time and CPU seconds are not. Shared by ua_bench and app_bench.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "tests/integration/ua/ua_mini_client.h"

namespace qora::bench {

// A Publish response: its notifications are counted and the next Publish, acknowledging it,
// is sent. False for any other message.
inline bool AnswerPublish(ua::testing::MiniClient& c, const ua::testing::ServerMessage& m,
                          uint64_t& notifications) {
    using namespace qora::ua;
    using namespace qora::ua::testing;
    Decoder d(m.body);
    const ResponseHeader h = ReadResponseHeader(d);
    if (h.typeId != id::ResponseOf(id::Publish)) return false;
    const uint32_t subId = d.UInt32();
    for (size_t i = 0, n = d.ArrayCount(4, 4); i < n; ++i) d.UInt32();
    d.Boolean();
    const uint32_t seq = d.UInt32();
    d.DateTime();
    for (size_t i = 0, n = d.ArrayCount(3, 8); i < n; ++i) {
        const ExtensionObject x = d.Extension();
        Decoder b(x.body);
        notifications += b.ArrayCount(1, 1);
    }
    c.SendPublish(subId, seq);
    return true;
}

class CallgrindCounter {
  public:
    CallgrindCounter(pid_t pid, std::string outFile) : pid_(pid), outFile_(std::move(outFile)) {}

    void Zero() { Run("-z"); }
    // Instructions since the last Zero.
    uint64_t Dump() {
        Run("-d");
        ++dumps_;
        std::ifstream in(outFile_ + "." + std::to_string(dumps_));
        for (std::string line; std::getline(in, line);)
            if (line.rfind("totals:", 0) == 0 || line.rfind("summary:", 0) == 0)
                return std::strtoull(line.c_str() + line.find(':') + 1, nullptr, 10);
        return 0;
    }

  private:
    void Run(const char* option) {
        const std::string cmd =
            "callgrind_control " + std::string(option) + " " + std::to_string(pid_) + " >/dev/null 2>&1";
        if (std::system(cmd.c_str()) != 0) std::fprintf(stderr, "%s failed\n", cmd.c_str());
    }
    pid_t pid_;
    std::string outFile_;
    int dumps_ = 0;
};

// Reads of `nodes` (1 and 1000 of them, MaxAge 0 and cached) and, when subscribeItems > 0, a
// subscription of that many nodes; prints instructions per Read and per notification.
inline void CountScenarios(uint16_t port, CallgrindCounter& cg, const std::vector<ua::NodeId>& nodes,
                           size_t subscribeItems) {
    using namespace qora::ua;
    using namespace qora::ua::testing;
    MiniClient c;
    if (!(c.Connect(port) && c.CreateSession() == status::Good && c.Activate() == status::Good)) {
        std::printf("no session\n");
        return;
    }
    for (const double maxAge : {0.0, 1e9}) {
        for (const size_t count : {size_t(1), size_t(1000)}) {
            const std::vector<NodeId> some(nodes.begin(),
                                           nodes.begin() + long(std::min(count, nodes.size())));
            std::vector<DataValue> values;
            for (int i = 0; i < 5; ++i) c.Read(some, maxAge, values);
            const int reads = count == 1 ? 2000 : 100;
            cg.Zero();
            for (int i = 0; i < reads; ++i)
                if (!c.Read(some, maxAge, values) || values.size() != some.size()) {
                    std::printf("read failed\n");
                    return;
                }
            const uint64_t ir = cg.Dump();
            std::printf("read %4zu items MaxAge %-5g: %10.0f instructions per Read (%d reads)\n", count,
                        maxAge, double(ir) / reads, reads);
            std::fflush(stdout);
        }
    }
    if (subscribeItems == 0) return;
    const uint32_t sub = c.CreateSubscription(100, 1000);
    const std::vector<NodeId> some(nodes.begin(),
                                   nodes.begin() + long(std::min(subscribeItems, nodes.size())));
    const size_t created = c.Monitor(sub, some, 100);
    for (int i = 0; i < 3; ++i) c.SendPublish();
    auto drain = [&](int messages, uint64_t& notifications) {
        for (int got = 0; got < messages;) {
            ServerMessage m;
            if (!c.Next(m, 60000) || m.type != "MSG") return;
            if (!AnswerPublish(c, m, notifications)) continue;
            ++got;
        }
    };
    uint64_t warm = 0, notifications = 0;
    drain(5, warm);
    cg.Zero();
    drain(20, notifications);
    const uint64_t ir = cg.Dump();
    std::printf("subscription of %zu items: %10.0f instructions per notification (%llu notifications)\n",
                created, notifications ? double(ir) / double(notifications) : 0.0,
                static_cast<unsigned long long>(notifications));
}

}  // namespace qora::bench
