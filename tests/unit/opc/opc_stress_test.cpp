// The window thread polls, pushes and edits the records (inside the non-blocking edit bracket,
// opened and closed by the poll cycle's "polling stopped/started" as the program wires it) while
// toolkit threads read, lock and open instances. Built with -DQORA_TSAN=ON this is the race
// check of the server object.
#include <gtest/gtest.h>

#include <atomic>
#include <random>
#include <thread>
#include <vector>

#include "comm/instrument_lines.h"
#include "comm/poll_cycle.h"
#include "opc/opc_init.h"
#include "opc_test_model.h"

using namespace qora;
using namespace gb;

namespace {

// A value that names the slot it belongs to: point, address, column.
float SlotValue(int point, int address, int k) {
    return float(point * 100000 + address * 100 + k);
}

constexpr int kPoints = 3;
constexpr int kDevices = 12;
constexpr uint32_t kMask = 0x8000'00F1u;  // 6 parameters, columns 0, 4..7, 31

}  // namespace

TEST(ServerStress, WindowAndToolkitThreadsShareTheServerWithoutRacesAndCountsReturnToZero) {
    opctest::ModelPtr model = opctest::NewModel();
    for (int p = 0; p < kPoints; ++p) {
        AppendPoint(*model, u"P" + std::u16string(1, char16_t(u'0' + p)), "ttyS" + std::to_string(p), 1,
                    true);
        for (int d = 0; d < kDevices; ++d) AppendDevice(*model, p, u"D", 0, uint8_t(d + 1), kMask);
    }
    COPCServer server;
    opctest::UseLoopback(server);
    std::atomic<int> lines{0};
    server.SetEventSink([&](const QString& line) {
        if (!line.isEmpty()) lines.fetch_add(1, std::memory_order_relaxed);
    });

    TInstrumentLines instrumentLines(*model);
    std::vector<TComPort*> ports;
    TPollCycle poll(*model, instrumentLines, ports);
    poll.SetRequestSink([](uint8_t, uint8_t) {});
    QObject::connect(&poll, &TPollCycle::PollingChanged,
                     [&server](bool polling) { polling ? server.EndModelEdit() : server.BeginModelEdit(); });
    poll.StartPolling();

    // The OPC start overlaps the window thread's first pushes, as at start-up.
    std::atomic<bool> stop{false};
    std::vector<float> expected;
    std::vector<uint32_t> handles;
    {
        TInitThread init(server, *model);
        for (int i = 0; i < 50 && !init.Finished(); ++i) server.PushAll(*model);
    }
    ASSERT_EQ(server.ItemCount(), kPoints * kDevices * 6);
    for (int p = 0; p < kPoints; ++p)
        for (int d = 0; d < kDevices; ++d)
            for (int k = 0; k < kParamsPerDevice; ++k)
                if ((kMask >> k) & 1u) {
                    const int n = server.SlotItemNumber(model->points[p].devices[d], k);
                    ASSERT_EQ(n, int(expected.size()));
                    expected.push_back(SlotValue(p, d + 1, k));
                    handles.push_back(server.ItemHandle(n));
                }

    std::atomic<int> wrongValues{0}, answered{0}, operations{0};
    auto checkValue = [&](size_t idx, float v) {
        if (v != expected[idx] && v != kNoValue && v != 0.0f) wrongValues.fetch_add(1);
    };
    std::vector<std::thread> toolkit;
    for (int t = 0; t < 4; ++t) {
        toolkit.emplace_back([&, t] {
            std::mt19937 rng(unsigned(t) * 7919u + 1);
            auto& be = server.GBBackend();
            while (!stop.load(std::memory_order_relaxed)) {
                const size_t first = rng() % handles.size();
                const size_t count = 1 + rng() % std::min<size_t>(40, handles.size() - first);
                operations.fetch_add(1, std::memory_order_relaxed);
                switch (rng() % 6) {
                    case 0: {
                        std::vector<qora::ua::ItemSample> out(count);
                        be.ReadDevice(&handles[first], count, out.data());
                        for (size_t i = 0; i < count; ++i) {
                            if (out[i].valid) checkValue(first + i, out[i].value);
                            answered.fetch_add(1, std::memory_order_relaxed);
                        }
                        break;
                    }
                    case 1:
                        be.RefreshFromDevice(&handles[first], count);
                        break;
                    case 2: {
                        std::vector<qora::ua::ItemSample> out(count);
                        be.ReadCache(&handles[first], count, out.data());
                        for (size_t i = 0; i < count; ++i)
                            if (out[i].valid) checkValue(first + i, out[i].value);
                        break;
                    }
                    case 3:
                        be.ChannelOpened();
                        be.ItemsActivated(&handles[first], count);
                        be.ChannelClosed();
                        break;
                    case 4:
                        be.SessionCreated();
                        (void)server.InUse();
                        be.SessionClosed();
                        break;
                    case 5:
                        be.Write(&handles[first], count);
                        (void)be.ListItems().size();
                        break;
                }
            }
        });
    }

    // The window thread: replies, poll ticks, pushes, and now and then a device deleted and
    // another added (records move between StopPolling and StartPolling, as the dialogs do it).
    std::mt19937 rng(12345);
    int nextAddress = kDevices + 1;
    // At least 400 rounds, and on until the toolkit threads have done their share (bounded).
    for (int iter = 0; iter < 400 || (operations.load() < 4000 && iter < 1000000); ++iter) {
        for (int r = 0; r < 20; ++r) {
            const int p = int(rng() % kPoints);
            TConnectionPoint& pt = model->points[p];
            if (pt.deviceCount == 0) continue;
            TDevice& d = pt.devices[rng() % pt.deviceCount];
            for (int k = 0; k < kParamsPerDevice; ++k)
                if ((d.paramMask >> k) & 1u) {
                    StoreValue(d, k, SlotValue(p, d.address, k));
                    StoreQuality(d, k, kQualityGood);
                }
        }
        poll.PollTimerTimer(iter % kPoints);
        server.PushAll(*model);
        if (iter % 25 == 24) {
            const int p = iter / 25 % kPoints;
            if (nextAddress > kMaxAddress) continue;
            poll.StopPolling();  // opens the server's edit bracket
            if (iter % 50 == 24) {
                DeleteDevice(*model, p, 0);
                AppendDevice(*model, p, u"New", 0, uint8_t(nextAddress++), kMask);
            } else {
                server.BeginModelEdit();  // a second Begin is harmless
                DeleteDevice(*model, p, 0);
                AppendDevice(*model, p, u"New", 0, uint8_t(nextAddress++), kMask);
            }
            poll.StartPolling();  // closes it
        }
    }
    stop = true;
    for (auto& th : toolkit) th.join();
    poll.StopPolling();

    EXPECT_EQ(wrongValues.load(), 0) << "a read returned another slot's value";
    EXPECT_GT(answered.load(), 0);
    EXPECT_EQ(server.InstanceCount(), 0);
    EXPECT_EQ(server.LockCount(), 0);
    EXPECT_FALSE(server.InUse());
    EXPECT_GT(lines.load(), 0);
}
