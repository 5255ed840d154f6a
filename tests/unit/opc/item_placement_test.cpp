// Items carry their point and device from the server object through the toolkit to the
// endpoint, and the toolkit hands diagnostics and history reads to the providers the application
// sets.
#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <vector>

#include "opc/opc_server.h"
#include "opc/toolkit/gb_data_access.h"
#include "opc_test_model.h"
#include "ua/nodes/address_space.h"

using namespace qora;
using namespace gb;

namespace {

uint32_t CreatePlaced(GBDataAccess& s, const char16_t* id, const GBItemPlacement* placement) {
    const VARIANT initial = MakeVariantR4(0.0f);
    uint32_t h = 0;
    EXPECT_EQ(s.GBCreateItem(&h, 0, id, OPC_READABLE, 0, &initial, OPC_NOENUM, nullptr, placement), S_OK);
    return h;
}

TEST(ItemPlacement, ToolkitListsEachItemWithItsPointAndDeviceNamedOnce) {
    GBDataAccess s;
    const GBItemPlacement a{2, 0, u"Адаптер_1(COM1)", u"Уст(T №5)"};
    const GBItemPlacement b{2, 3, u"ignored: the point is named by its first item", u"Котёл(K №7)"};
    CreatePlaced(s, u"loose", nullptr);
    CreatePlaced(s, u"Адаптер_1(COM1).Уст(T №5).P", &a);
    CreatePlaced(s, u"Адаптер_1(COM1).Котёл(K №7).Q", &b);
    const GBItemPlacement none{-1, 4, u"x", u"y"};
    CreatePlaced(s, u"half", &none);
    const GBItemPlacement huge{40000, 0, u"x", u"y"};
    const VARIANT initial = MakeVariantR4(0.0f);
    uint32_t h = 0;
    EXPECT_EQ(s.GBCreateItem(&h, 0, u"z", OPC_READABLE, 0, &initial, OPC_NOENUM, nullptr, &huge),
              E_INVALIDARG);

    const auto items = s.GBBackend().ListItems();
    ASSERT_EQ(items.size(), 4u);
    const struct {
        int32_t point, device;
        const char* pointName;
        const char* deviceName;
    } want[] = {
        {-1, -1, "", ""},
        {2, 0, "Адаптер_1(COM1)", "Уст(T №5)"},
        {2, 3, "Адаптер_1(COM1)", "Котёл(K №7)"},
        {-1, -1, "", ""},
    };
    for (size_t i = 0; i < items.size(); ++i) {
        EXPECT_EQ(items[i].point, want[i].point) << i;
        EXPECT_EQ(items[i].device, want[i].device) << i;
        EXPECT_EQ(items[i].pointName, want[i].pointName) << i;
        EXPECT_EQ(items[i].deviceName, want[i].deviceName) << i;
    }
}

TEST(ItemPlacement, DiagnosticsReadsGoToTheProvidersSetLast) {
    GBDataAccess s;
    qora::ua::PointDiagnostics p;
    qora::ua::DeviceDiagnostics d;
    EXPECT_FALSE(s.GBBackend().ReadPointDiagnostics(0, p));  // no provider yet
    EXPECT_FALSE(s.GBBackend().ReadDeviceDiagnostics(0, 0, d));
    std::atomic<uint64_t> sent{7};
    s.GBSetDiagnosticsProvider(
        [&](int32_t point, qora::ua::PointDiagnostics& out) {
            if (point != 1) return false;
            out.requestsSent = sent.load();
            out.portOpen = true;
            return true;
        },
        [&](int32_t point, int32_t device, qora::ua::DeviceDiagnostics& out) {
            out.consecutiveUnanswered = static_cast<uint32_t>(point * 100 + device);
            return true;
        });
    EXPECT_FALSE(s.GBBackend().ReadPointDiagnostics(0, p));
    ASSERT_TRUE(s.GBBackend().ReadPointDiagnostics(1, p));
    EXPECT_EQ(p.requestsSent, 7u);
    EXPECT_TRUE(p.portOpen);
    sent = 9;
    ASSERT_TRUE(s.GBBackend().ReadPointDiagnostics(1, p));
    EXPECT_EQ(p.requestsSent, 9u);
    ASSERT_TRUE(s.GBBackend().ReadDeviceDiagnostics(3, 4, d));
    EXPECT_EQ(d.consecutiveUnanswered, 304u);
    s.GBSetDiagnosticsProvider({}, {});
    EXPECT_FALSE(s.GBBackend().ReadPointDiagnostics(1, p));
}

TEST(ItemPlacement, HistoryReadsGoToTheProviderSetLastForKnownItemsOnly) {
    GBDataAccess s;
    const uint32_t h = CreatePlaced(s, u"kept", nullptr);
    std::vector<qora::ua::HistorySample> out{{1, 1.0f, 192}};
    EXPECT_FALSE(s.GBBackend().HistoryEnabled());
    EXPECT_FALSE(s.GBBackend().ReadHistoryRaw(h, 1, 2, 10, out));
    EXPECT_TRUE(out.empty());
    int calls = 0;
    s.GBSetHistoryProvider([&](uint32_t handle, uint64_t start, uint64_t end, size_t maxValues,
                               std::vector<qora::ua::HistorySample>& values) {
        ++calls;
        values.push_back({start, static_cast<float>(maxValues), static_cast<uint16_t>(end)});
        return handle == h;
    });
    EXPECT_TRUE(s.GBBackend().HistoryEnabled());
    ASSERT_TRUE(s.GBBackend().ReadHistoryRaw(h, 5, 192, 3, out));
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(out[0].time, 5u);
    EXPECT_EQ(out[0].value, 3.0f);
    EXPECT_EQ(out[0].quality, 192);
    EXPECT_FALSE(s.GBBackend().ReadHistoryRaw(h + 1, 5, 192, 3, out));  // no such item: not asked
    EXPECT_EQ(calls, 1);
    s.GBSetHistoryProvider({});
    EXPECT_FALSE(s.GBBackend().HistoryEnabled());
    EXPECT_FALSE(s.GBBackend().ReadHistoryRaw(h, 5, 192, 3, out));
    EXPECT_EQ(calls, 1);
}

// The server object's items hang under their device in the address space, and the tree's
// names put together give back every item's ID.
TEST(ItemPlacement, ServerItemsHangUnderTheirDevicesWithNamesFromTheConfiguration) {
    opctest::ModelPtr model = opctest::NewModel();
    COPCServer server;
    opctest::UseLoopback(server);
    AppendPoint(*model, u"Адаптер_1", "COM1", 1, true);
    AppendPoint(*model, u"B", "ttyS1", 1, false);
    AppendDevice(*model, 0, u"empty", 0, 9, 0);
    AppendDevice(*model, 0, u"Устройство", 0, 5, (1u << 0) | (1u << 7));
    AppendDevice(*model, 1, u"D2", 1, 2, 1u << 2);
    server.InitializeOPC(*model);

    const auto items = server.GBBackend().ListItems();
    ASSERT_EQ(items.size(), 3u);
    EXPECT_EQ(items[0].point, 0);
    EXPECT_EQ(items[0].device, 1);  // configuration position: the empty device is 0
    EXPECT_EQ(items[2].point, 1);
    EXPECT_EQ(items[2].device, 0);
    for (const auto& i : items)
        EXPECT_EQ(i.itemId.rfind(i.pointName + "." + i.deviceName + ".", 0), 0u) << i.itemId;
    EXPECT_EQ(items[0].pointName, "Адаптер_1(COM1)");

    qora::ua::AddressSpace space;
    space.Build(items);
    ASSERT_EQ(space.Tree().Devices().size(), 2u);
    EXPECT_EQ(space.Tree().Points().size(), 2u);
    for (uint32_t i = 0; i < items.size(); ++i) {
        const auto n = space.Find(qora::ua::NodeId::String(1, items[i].itemId));
        ASSERT_TRUE(n.has_value()) << items[i].itemId;
        EXPECT_EQ(space.Item(n->index).handle, items[i].handle);
        EXPECT_NE(space.Item(n->index).device, qora::ua::kNoDevice);
    }
    server.GBStopEndpoint();
}

}  // namespace
