// The road of one value: qora-sim on a pseudo-terminal, the poll cycle and the receiver on the
// main thread, the server object pushing into the toolkit, and toolkit threads reading.
#include <gtest/gtest.h>

#include <QTemporaryDir>
#include <atomic>
#include <memory>
#include <thread>
#include <vector>

#include "comm/instrument_lines.h"
#include "comm/poll_cycle.h"
#include "comm/serial/com_port.h"
#include "config/records.h"
#include "opc/opc_init.h"
#include "opc/opc_server.h"
#include "opc/toolkit/gb_test_view.h"
#include "tests/integration/comm/pty_support.h"
#include "tests/unit/comm/comm_test_support.h"

namespace qora {
namespace {

using test::Sim;
using test::WaitUntil;
using test::Watchdog;

::testing::Environment* const kApp = ::testing::AddGlobalTestEnvironment(new test::QtAppEnvironment);

ua::ItemSample Cached(COPCServer& s, uint32_t h) {
    ua::ItemSample out;
    s.GBBackend().ReadCache(&h, 1, &out);
    return out;
}

TEST(OpcOverPty, InstrumentValuesReachTheToolkitByPushAndByDeviceReadWhileClientsRead) {
    Watchdog watchdog(60, "OpcOverPty");
    QTemporaryDir dir;
    const std::string link = dir.filePath("ttySIMO").toStdString();
    Sim sim({"--link", link, "--device", "1:0=const:1.5,2=ramp:0:100:0.5", "--device", "2:0=const:-4"});
    ASSERT_TRUE(sim.Started());
    TComPort port;
    port.SetPortName("SIMO");
    port.SetDevicePath(link);
    std::vector<TComPort*> table = {&port};

    std::unique_ptr<TConfigModel, ModelDeleter> model(CreateModel());
    model->typeCount = 1;
    CopyName(model->typeNames[0], u"Тип", kMaxCatalogNameChars);
    CopyName(model->paramNames[0], u"Давление", kMaxCatalogNameChars);
    CopyName(model->paramNames[2], u"Счётчик", kMaxCatalogNameChars);
    AppendPoint(*model, u"Линия", "SIMO", 0.05f, true);
    AppendDevice(*model, 0, u"Прибор", 0, 1, 0b101);
    AppendDevice(*model, 0, u"Второй", 0, 2, 0b1);
    AppendPoint(*model, u"Без порта", "ttyGONE", 0.05f, true);
    AppendDevice(*model, 1, u"Потерянный", 0, 1, 0b1);

    TInstrumentLines lines(*model);
    port.SetOnRxChar([&](TComPort* s, int n) { lines.ComPortRxChar(s, n); });
    TPollCycle cycle(*model, lines, table);
    COPCServer server;
    ua::ServerConfig cfg;
    cfg.host = "127.0.0.1";
    cfg.port = 0;
    cfg.bindRetryMs = 0;
    server.GBSetEndpointConfig(cfg);
    // As the program wires it: the OPC timer runs while polling runs, and the bracket
    // StopPolling ... StartPolling is the server's edit bracket.
    bool opcTimer = false;
    QObject::connect(&cycle, &TPollCycle::PollingChanged, [&](bool on) {
        opcTimer = on;
        on ? server.EndModelEdit() : server.BeginModelEdit();
    });
    cycle.StartPolling();
    TInitThread init(server, *model);  // overlaps the first polls, as at start-up
    ASSERT_TRUE(WaitUntil([&] { return init.Finished(); }, 10000));
    ASSERT_EQ(server.ItemCount(), 4);
    const uint32_t hPressure = server.ItemHandle(0), hCounter = server.ItemHandle(1),
                   hSecond = server.ItemHandle(2), hLost = server.ItemHandle(3);
    std::vector<ua::ItemInfo> items = server.GBBackend().ListItems();
    EXPECT_EQ(items[0].itemId, "Линия(SIMO).Прибор(Тип №1).Давление");
    EXPECT_EQ(items[3].itemId, "Без порта(ttyGONE).Потерянный(Тип №1).Давление");

    // Client threads read from the device and refresh while the main thread polls.
    std::atomic<bool> stop{false};
    std::atomic<int> reads{0}, wrong{0};
    std::vector<std::thread> clients;
    for (int t = 0; t < 2; ++t) {
        clients.emplace_back([&] {
            const uint32_t hs[4] = {hPressure, hCounter, hSecond, hLost};
            while (!stop.load()) {
                ua::ItemSample out[4];
                server.GBBackend().ReadDevice(hs, 4, out);
                if (out[0].valid && out[0].quality == kQualityGood && out[0].value != 1.5f) ++wrong;
                if (out[2].valid && out[2].quality == kQualityGood && out[2].value != -4.0f) ++wrong;
                server.GBBackend().RefreshFromDevice(hs, 4);
                ++reads;
            }
        });
    }

    auto& dev = model->points[0].devices;
    // Client refreshes publish too, and one taken before a reply may land after a push: judge the
    // samples that carried the good quality.
    ua::ItemSample pressure, second;
    ASSERT_TRUE(WaitUntil(
        [&] {
            if (opcTimer) server.PushAll(*model);
            pressure = Cached(server, hPressure);
            second = Cached(server, hSecond);
            return pressure.quality == kQualityGood && second.quality == kQualityGood && reads.load() > 20;
        },
        15000));
    EXPECT_EQ(pressure.value, 1.5f);
    EXPECT_EQ(second.value, -4.0f);
    const ua::ItemSample lost = Cached(server, hLost);
    EXPECT_EQ(lost.value, kNoValue);
    EXPECT_EQ(lost.quality, kQualityNotConnected);

    // The counter ramps: a device read shows the slot as it is now, the cache the last push.
    ASSERT_TRUE(WaitUntil([&] { return LoadValue(dev[0], 2) >= 1.0f; }, 15000));
    server.PushAll(*model);
    const float pushed = Cached(server, hCounter).value;
    ASSERT_TRUE(WaitUntil([&] { return LoadValue(dev[0], 2) > pushed; }, 15000));
    ua::ItemSample now;
    server.GBBackend().ReadDevice(&hCounter, 1, &now);
    EXPECT_GT(now.value, pushed);

    // An edit while clients read: the first device goes, the second moves into its slot and
    // keeps publishing to its own item.
    cycle.StopPolling();
    DeleteDevice(*model, 0, 0);
    cycle.StartPolling();
    ASSERT_TRUE(WaitUntil(
        [&] {
            server.PushAll(*model);
            second = Cached(server, hSecond);
            return LoadQuality(dev[0], 0) == kQualityGood && second.quality == kQualityGood;
        },
        15000));
    EXPECT_EQ(second.value, -4.0f);
    EXPECT_EQ(server.SlotItemNumber(dev[0], 0), 2);

    stop = true;
    for (auto& c : clients) c.join();
    cycle.StopPolling();
    EXPECT_EQ(wrong.load(), 0);
    server.ShutdownOPC();
    EXPECT_TRUE(server.ForTests().ShutdownCalled());
    EXPECT_FALSE(server.ForTests().Registered());
    EXPECT_EQ(sim.Stop(), 0);
}

}  // namespace
}  // namespace qora
