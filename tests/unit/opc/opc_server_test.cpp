// The server object: item namespace, push, callbacks.
#include "opc/opc_server.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "base/file_time.h"
#include "comm/instrument_lines.h"
#include "comm/poll_cycle.h"
#include "config/config_file.h"
#include "opc/opc_init.h"
#include "opc_test_model.h"

using namespace qora;
using namespace gb;
using opctest::Cached;
using opctest::NewModel;

namespace {

class Server : public ::testing::Test {
  protected:
    Server() {
        opctest::UseLoopback(server);
        server.SetEventSink([this](const QString& line) {
            std::lock_guard lock(logMutex);
            log.push_back(line);
        });
    }
    std::vector<QString> Log() {
        std::lock_guard lock(logMutex);
        return log;
    }
    // Item handle of slot k of device d of point p.
    uint32_t HandleOf(int p, int d, int k) {
        return server.ItemHandle(server.SlotItemNumber(model->points[p].devices[d], k));
    }

    opctest::ModelPtr model = NewModel();
    COPCServer server;
    std::mutex logMutex;
    std::vector<QString> log;
};

std::u16string ItemIdOf(COPCServer& s, uint32_t handle) {
    GBTestView::Item item;
    EXPECT_TRUE(s.ForTests().GetItem(handle, &item));
    return item.id;
}

}  // namespace

TEST_F(Server, ItemsAreNumberedAcrossDevicesAndPointsWithoutGaps) {
    AppendPoint(*model, u"A", "ttyS0", 1, true);
    AppendPoint(*model, u"B", "ttyS1", 1, false);  // inactive points get items too
    AppendDevice(*model, 0, u"empty", 0, 9, 0);    // no parameters: no item, no number
    AppendDevice(*model, 0, u"D3", 0, 1, (1u << 0) | (1u << 7) | (1u << 31));
    AppendDevice(*model, 1, u"D2", 1, 2, (1u << 2) | (1u << 3));
    server.InitializeOPC(*model);

    ASSERT_EQ(server.ItemCount(), 5);
    const TDevice& d3 = model->points[0].devices[1];
    const TDevice& d2 = model->points[1].devices[0];
    EXPECT_EQ(server.SlotItemNumber(d3, 0), 0);
    EXPECT_EQ(server.SlotItemNumber(d3, 7), 1);
    EXPECT_EQ(server.SlotItemNumber(d3, 31), 2);
    EXPECT_EQ(server.SlotItemNumber(d2, 2), 3);
    EXPECT_EQ(server.SlotItemNumber(d2, 3), 4);
    EXPECT_EQ(server.SlotItemNumber(d3, 1), -1);
    EXPECT_EQ(d3.itemNumbers[7], server.EncodeItemNumber(1));

    const auto items = server.GBBackend().ListItems();
    ASSERT_EQ(items.size(), 5u);
    for (int n = 0; n < 5; ++n) {
        EXPECT_NE(server.ItemHandle(n), 0u);
        EXPECT_EQ(items[size_t(n)].handle, server.ItemHandle(n)) << n;
        EXPECT_EQ(items[size_t(n)].accessRights, OPC_READABLE);
        GBTestView::Item item;
        ASSERT_TRUE(server.ForTests().GetItem(server.ItemHandle(n), &item));
        EXPECT_EQ(item.itemNumber, n);
        EXPECT_EQ(item.canonicalType, VT_R4);
        EXPECT_EQ(item.value.fltVal, 0.0f);
        EXPECT_EQ(item.euType, OPC_NOENUM);
    }
    EXPECT_EQ(server.ItemHandle(5), 0u);
    EXPECT_EQ(server.ItemHandle(-1), 0u);
    EXPECT_EQ(ItemIdOf(server, server.ItemHandle(0)), u"A(ttyS0).D3(T0 №1).PA");
    EXPECT_EQ(ItemIdOf(server, server.ItemHandle(2)), u"A(ttyS0).D3(T0 №1).P`");  // 'A' + 31
    EXPECT_EQ(ItemIdOf(server, server.ItemHandle(4)), u"B(ttyS1).D2(T1 №2).PD");
}

TEST_F(Server, ItemIdsAreByteExactWithCyrillicNamesAndTheNumeroSign) {
    CopyName(model->typeNames[0], u"T", kMaxCatalogNameChars);
    CopyName(model->paramNames[0], u"P", kMaxCatalogNameChars);
    CopyName(model->paramNames[1], u"", kMaxCatalogNameChars);
    CopyName(model->typeNames[1], u"", kMaxCatalogNameChars);
    CopyName(model->paramNames[2], u"Температура", kMaxCatalogNameChars);
    AppendPoint(*model, u"Адаптер_1", "COM1", 1, true);
    AppendDevice(*model, 0, u"Устройство", 0, 5, 0b111);
    AppendDevice(*model, 0, u"Д", 1, 1, 0b1);
    AppendDevice(*model, 0, u"Е", 0, 254, 0b1);
    server.InitializeOPC(*model);

    EXPECT_EQ(COPCServer::BuildItemId(*model, 0, 0, 0), u"Адаптер_1(COM1).Устройство(T №5).P");
    EXPECT_EQ(COPCServer::BuildItemId(*model, 0, 0, 1), u"Адаптер_1(COM1).Устройство(T №5).");
    EXPECT_EQ(COPCServer::BuildItemId(*model, 0, 1, 0), u"Адаптер_1(COM1).Д( №1).P");
    EXPECT_EQ(COPCServer::BuildItemId(*model, 0, 2, 0), u"Адаптер_1(COM1).Е(T №254).P");
    const auto items = server.GBBackend().ListItems();
    ASSERT_EQ(items.size(), 5u);
    // The endpoint gets the IDs in UTF-8: the numero sign is E2 84 96, after a space.
    EXPECT_EQ(
        items[0].itemId,
        "\xD0\x90\xD0\xB4\xD0\xB0\xD0\xBF\xD1\x82\xD0\xB5\xD1\x80_1(COM1)."
        "\xD0\xA3\xD1\x81\xD1\x82\xD1\x80\xD0\xBE\xD0\xB9\xD1\x81\xD1\x82\xD0\xB2\xD0\xBE(T \xE2\x84\x96"
        "5).P");
    EXPECT_EQ(items[1].itemId.substr(items[1].itemId.size() - 6),
              "\xE2\x84\x96"
              "5).")
        << "empty parameter name";
    EXPECT_EQ(items[2].itemId.substr(items[2].itemId.size() - 22),
              "\xD0\xA2\xD0\xB5\xD0\xBC\xD0\xBF\xD0\xB5\xD1\x80\xD0\xB0\xD1\x82\xD1\x83\xD1\x80\xD0\xB0");
    EXPECT_EQ(ItemIdOf(server, items[3].handle), u"Адаптер_1(COM1).Д( №1).P");
    EXPECT_EQ(ItemIdOf(server, items[4].handle), u"Адаптер_1(COM1).Е(T №254).P");
}

TEST_F(Server, LongNamesAreCutTo255UnitsAndLongPortNamesGoInWhole) {
    const std::u16string fifty(50, u'Ж');
    const std::u16string sixtyThree(63, u'Щ');
    CopyName(model->typeNames[0], sixtyThree, kMaxCatalogNameChars);
    CopyName(model->paramNames[0], sixtyThree, kMaxCatalogNameChars);
    AppendPoint(*model, fifty, "ttyUSB_long_name_19", 1, true);
    AppendDevice(*model, 0, fifty, 0, 200, 1);
    const std::u16string full =
        fifty + u"(ttyUSB_long_name_19)." + fifty + u"(" + sixtyThree + u" №200)." + sixtyThree;
    ASSERT_GT(full.size(), 255u);
    const std::u16string id = COPCServer::BuildItemId(*model, 0, 0, 0);
    EXPECT_EQ(id, full.substr(0, 255));

    // A cut never leaves half of a surrogate pair.
    std::u16string pairs;
    for (int i = 0; i < 25; ++i) pairs += u"\U0001D11E";
    CopyName(model->points[0].name, pairs, kMaxNameChars);
    CopyName(model->points[0].devices[0].name, pairs, kMaxNameChars);
    const std::u16string id2 = COPCServer::BuildItemId(*model, 0, 0, 0);
    EXPECT_LE(id2.size(), 255u);
    EXPECT_FALSE(id2.back() >= 0xD800 && id2.back() <= 0xDBFF);

    server.InitializeOPC(*model);
    EXPECT_EQ(ItemIdOf(server, server.ItemHandle(0)).size(), id2.size());
}

TEST_F(Server, WithoutPointsOrParametersTheToolkitIsStillInitialisedAndRegistered) {
    for (int variant = 0; variant < 2; ++variant) {
        opctest::ModelPtr m = NewModel();
        if (variant == 1) {
            AppendPoint(*m, u"A", "ttyS0", 1, true);
            AppendDevice(*m, 0, u"D", 0, 1, 0);
        }
        COPCServer s;
        opctest::UseLoopback(s);
        s.InitializeOPC(*m);
        EXPECT_TRUE(s.ItemsCreated());
        EXPECT_EQ(s.ItemCount(), 0);
        EXPECT_EQ(s.ForTests().ItemCount(), 0u);
        EXPECT_TRUE(s.ForTests().Initialized());
        EXPECT_EQ(s.ForTests().Clsid(), COPCServer::kClsid);
        EXPECT_EQ(s.ForTests().InitNumbers(), (std::array<uint32_t, 7>{125, 0, 8, 4000, 1, 0, 0}));
        EXPECT_EQ(s.ForTests().Vendor(), u"Kivran");
        EXPECT_EQ(s.ForTests().EndedBlocks(true), 1u) << "the empty update block";
        EXPECT_TRUE(s.ForTests().Registered()) << s.ForTests().LastEndpointError();
        s.PushAll(*m);
        EXPECT_EQ(s.ForTests().EndedBlocks(false), 1u);
    }
}

TEST_F(Server, ADeviceWithoutItsPortPublishesQuality8AndTheNoValueMarker) {
    AppendPoint(*model, u"A", "ttyNOPE", 1, true);
    AppendDevice(*model, 0, u"D", 0, 1, 0b11);
    StoreValue(model->points[0].devices[0], 0, 12.5f);  // left over from a file
    TInstrumentLines lines(*model);
    std::vector<TComPort*> ports;  // no port matches
    TPollCycle poll(*model, lines, ports);
    poll.SetRequestSink([](uint8_t, uint8_t) { ADD_FAILURE() << "no request without a port"; });
    poll.StartPolling();
    server.InitializeOPC(*model);
    ASSERT_EQ(server.ItemCount(), 2);
    const uint64_t before = NowFileTime();
    server.PushAll(*model);
    for (int n = 0; n < 2; ++n) {
        const auto got = Cached(server, server.ItemHandle(n));
        EXPECT_TRUE(got.valid);
        EXPECT_EQ(got.value, 9999999.0f);
        EXPECT_EQ(got.quality, 8);
        EXPECT_GE(got.sourceTime, before);
        EXPECT_LE(got.sourceTime, NowFileTime());
    }
    poll.StopPolling();
}

TEST_F(Server, ThePushCopiesValueBitsAndQualityOfEverySlotInOneBlock) {
    AppendPoint(*model, u"A", "ttyS0", 1, true);
    AppendDevice(*model, 0, u"D", 0, 1, 0b101);
    AppendDevice(*model, 0, u"E", 0, 2, 0b1);
    server.InitializeOPC(*model);
    TDevice& d = model->points[0].devices[0];
    TDevice& e = model->points[0].devices[1];
    float nan;
    const uint32_t nanBits = 0x7FC01234u;
    std::memcpy(&nan, &nanBits, 4);
    StoreValue(d, 0, -0.0f);
    StoreQuality(d, 0, 192);
    StoreValue(d, 2, nan);
    StoreQuality(d, 2, 24);
    StoreValue(e, 0, 1.5f);
    StoreQuality(e, 0, 0x44);  // published unchanged, whatever it is
    const uint64_t gen = server.GBBackend().CacheGeneration();
    server.PushAll(*model);
    EXPECT_EQ(server.GBBackend().CacheGeneration(), gen + 1) << "one update block";
    GBTestView::Item item;
    ASSERT_TRUE(server.ForTests().GetItem(HandleOf(0, 0, 2), &item));
    uint32_t bits;
    std::memcpy(&bits, &item.value.fltVal, 4);
    EXPECT_EQ(bits, nanBits);
    EXPECT_EQ(item.quality, 24);
    ASSERT_TRUE(server.ForTests().GetItem(HandleOf(0, 0, 0), &item));
    EXPECT_TRUE(std::signbit(item.value.fltVal));
    EXPECT_EQ(Cached(server, HandleOf(0, 1, 0)).quality, 0x44);
    EXPECT_EQ(Cached(server, HandleOf(0, 1, 0)).value, 1.5f);
}

// What the observers of the push get: one timestamp for the whole push, each item with its
// handle, UTF-8 ID, value and quality, and whether value (bit for bit) or quality changed; an item
// that loses its slot once, first, as not connected; the item check reports only such items.
TEST_F(Server, ObserversGetEveryPushedItemWithOneTimeAndWhatChanged) {
    struct Recorder : IPushObserver {
        void Pushed(const COPCServer&, const TPushReport& r) override {
            times.push_back(r.fileTime);
            reports.emplace_back(r.items.begin(), r.items.end());
        }
        std::vector<uint64_t> times;
        std::vector<std::vector<TPushedItem>> reports;
    } rec;
    AppendPoint(*model, u"Линия", "ttyS0", 1, true);
    AppendDevice(*model, 0, u"Д", 0, 1, 0b11);
    AppendDevice(*model, 0, u"E", 0, 2, 0b1);
    server.InitializeOPC(*model);
    server.AddPushObserver(&rec);
    TDevice& d = model->points[0].devices[0];
    StoreValue(d, 0, 1.5f);
    StoreQuality(d, 0, kQualityGood);
    const uint64_t before = NowFileTime();
    server.PushAll(*model);
    StoreValue(d, 1, -0.0f);  // 0 and -0 differ bit for bit
    server.PushAll(*model);
    StoreQuality(d, 0, kQualityCommFailure);
    server.PushAll(*model);
    ASSERT_EQ(rec.reports.size(), 3u);
    EXPECT_GE(rec.times[0], before);
    EXPECT_LE(rec.times[0], rec.times[1]);
    const std::vector<TPushedItem>& first = rec.reports[0];
    ASSERT_EQ(first.size(), 3u);
    for (int n = 0; n < 3; ++n) {
        EXPECT_EQ(first[size_t(n)].item, n);
        EXPECT_EQ(first[size_t(n)].handle, server.ItemHandle(n));
        EXPECT_TRUE(first[size_t(n)].changed) << "the first report of an item";
    }
    EXPECT_EQ(server.ItemIdUtf8(first[0].item), "Линия(ttyS0).Д(T0 №1).PA");
    EXPECT_EQ(first[0].value, 1.5f);
    EXPECT_EQ(first[0].quality, kQualityGood);
    const bool changed[2][3] = {{false, true, false}, {true, false, false}};
    for (int r = 0; r < 2; ++r)
        for (int n = 0; n < 3; ++n)
            EXPECT_EQ(rec.reports[size_t(r) + 1][size_t(n)].changed, changed[r][n]) << r << " " << n;
    EXPECT_EQ(rec.reports[2][0].quality, kQualityCommFailure);

    // E is deleted while polling is stopped: the item check reports it alone, once.
    server.BeginModelEdit();
    ASSERT_EQ(DeleteDevice(*model, 0, 1), ModelResult::Ok);
    server.CheckItems(*model);
    server.CheckItems(*model);
    ASSERT_EQ(rec.reports.size(), 4u);
    ASSERT_EQ(rec.reports[3].size(), 1u);
    EXPECT_EQ(rec.reports[3][0].item, 2);
    EXPECT_EQ(rec.reports[3][0].quality, kQualityNotConnected);
    EXPECT_EQ(rec.reports[3][0].value, kNoValue);
    EXPECT_TRUE(rec.reports[3][0].changed);
    server.EndModelEdit();
    server.PushAll(*model);
    ASSERT_EQ(rec.reports.size(), 5u);
    EXPECT_EQ(rec.reports[4].size(), 2u) << "the orphan is not reported again";
    int p, dev, k;
    EXPECT_FALSE(server.ItemLocation(2, &p, &dev, &k));
    ASSERT_TRUE(server.ItemLocation(1, &p, &dev, &k));
    EXPECT_EQ(p * 1000 + dev * 100 + k, 1);
    server.RemovePushObserver(&rec);
    server.PushAll(*model);
    EXPECT_EQ(rec.reports.size(), 5u);
}

TEST_F(Server, PushesBeforeTheItemsExistNeverReachTheToolkit) {
    AppendPoint(*model, u"A", "ttyS0", 1, true);
    AppendDevice(*model, 0, u"D", 0, 1, 0b1);
    // Item numbers of this shape could come from a file; nothing is pushed before the start.
    model->points[0].devices[0].itemNumbers[0] = 0;
    server.PushAll(*model);
    EXPECT_EQ(server.ForTests().EndedBlocks(false), 0u);
    EXPECT_EQ(server.GBBackend().CacheGeneration(), 0u);
    EXPECT_FALSE(server.ItemsCreated());
    EXPECT_EQ(server.ItemCount(), 0);
}

TEST_F(Server, SlotsWithoutAnItemOfThisRunAreNeverPushedOntoOtherItems) {
    AppendPoint(*model, u"A", "ttyS0", 1, true);
    AppendDevice(*model, 0, u"D", 0, 1, 0b11);
    server.InitializeOPC(*model);
    ASSERT_EQ(server.ItemCount(), 2);
    TDevice& d = model->points[0].devices[0];
    StoreValue(d, 0, 10);
    StoreValue(d, 1, 11);

    // After the start: a new device, a new parameter of an old device, and a device whose
    // item numbers came from a file of another run (including one that names item 0 with this
    // run's marker but in another column).
    AppendDevice(*model, 0, u"New", 0, 2, 0b11);
    UpdateDevice(*model, 0, 0, u"D", 0, 1, 0b111);
    AppendDevice(*model, 0, u"File", 0, 3, 0b111);
    TDevice& n = model->points[0].devices[1];
    TDevice& f = model->points[0].devices[2];
    f.itemNumbers[0] = 0;
    f.itemNumbers[1] = 1;
    f.itemNumbers[2] = server.EncodeItemNumber(0);  // column 2 never had item 0
    for (int k = 0; k < 3; ++k) {
        StoreValue(n, k, 100.0f + float(k));
        StoreValue(f, k, 200.0f + float(k));
    }
    StoreValue(d, 2, 300);
    server.PushAll(*model);
    EXPECT_EQ(Cached(server, server.ItemHandle(0)).value, 10.0f);
    EXPECT_EQ(Cached(server, server.ItemHandle(1)).value, 11.0f);
    EXPECT_EQ(server.SlotItemNumber(n, 0), -1);
    EXPECT_EQ(server.SlotItemNumber(d, 2), -1);
    EXPECT_EQ(server.SlotItemNumber(f, 2), -1);
    EXPECT_EQ(server.ForTests().ItemCount(), 2u) << "the namespace does not change";
}

TEST_F(Server, ReadWithArraysAnswersFromTheSlotAsItIsNow) {
    AppendPoint(*model, u"A", "ttyS0", 1, true);
    AppendDevice(*model, 0, u"D", 0, 1, 0b11);
    server.InitializeOPC(*model);
    TDevice& d = model->points[0].devices[0];
    StoreValue(d, 0, 1.0f);
    StoreQuality(d, 0, 192);
    server.PushAll(*model);
    StoreValue(d, 0, 2.0f);  // newer than the last push
    StoreQuality(d, 1, 24);
    StoreValue(d, 1, 3.0f);

    const uint32_t h0 = server.ItemHandle(0), h1 = server.ItemHandle(1);
    GBItemID items[4] = {{h1, 0, 0}, {0xDEAD, 0, 0}, {0, 0, 0}, {h0, 0, 0}};
    VARIANT values[4];
    uint16_t qualities[4];
    FILETIME times[4];
    HRESULT errors[4];
    for (int i = 0; i < 4; ++i) {
        values[i].vt = 0x77;
        values[i].reserved1 = 0x5555;
        values[i].llVal = 0x1122334455667788;
        qualities[i] = 0x3333;
        times[i] = FILETIME::FromU64(5);
        errors[i] = E_FAIL;
    }
    const uint64_t before = NowFileTime();
    EXPECT_EQ(server.GBOnReadItems(4, items, values, qualities, times, errors, nullptr, nullptr, nullptr,
                                   nullptr, nullptr),
              2);
    EXPECT_EQ(values[0].vt, VT_R4);
    EXPECT_EQ(values[0].fltVal, 3.0f);
    EXPECT_EQ(qualities[0], 24);
    EXPECT_EQ(errors[0], 0);
    EXPECT_GE(times[0].ToU64(), before);
    EXPECT_EQ(values[3].vt, VT_R4);
    EXPECT_EQ(values[3].fltVal, 2.0f);
    EXPECT_EQ(qualities[3], 192);
    EXPECT_EQ(errors[3], 0);
    // Only the type and the 32-bit float are written.
    EXPECT_EQ(values[3].reserved1, 0x5555);
    EXPECT_EQ(static_cast<uint32_t>(values[3].llVal >> 32), 0x11223344u);
    for (int i : {1, 2}) {  // unknown handle and handle 0: untouched
        EXPECT_EQ(values[i].vt, 0x77) << i;
        EXPECT_EQ(values[i].llVal, 0x1122334455667788) << i;
        EXPECT_EQ(qualities[i], 0x3333) << i;
        EXPECT_EQ(times[i].ToU64(), 5u) << i;
        EXPECT_EQ(errors[i], E_FAIL) << i;
    }
    EXPECT_EQ(Cached(server, h0).value, 1.0f) << "the cache keeps the pushed value";
    EXPECT_EQ(Log(), std::vector<QString>{QStringLiteral("GBOnReadItems")});
}

TEST_F(Server, ReadWithNullValuesUpdatesTheToolkitThroughSetItem) {
    AppendPoint(*model, u"A", "ttyS0", 1, true);
    AppendDevice(*model, 0, u"D", 0, 1, 0b11);
    server.InitializeOPC(*model);
    TDevice& d = model->points[0].devices[0];
    StoreValue(d, 1, 42.0f);
    StoreQuality(d, 1, 192);
    GBItemID items[3] = {{server.ItemHandle(1), 0, 0}, {0xBEEF, 0, 0}, {0, 0, 0}};
    const uint64_t flagged = server.ForTests().EndedBlocks(true);
    const uint64_t before = NowFileTime();
    EXPECT_EQ(server.GBOnReadItems(3, items, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                                   nullptr, nullptr),
              1);
    EXPECT_EQ(server.ForTests().EndedBlocks(true), flagged + 1);
    const auto got = Cached(server, server.ItemHandle(1));
    EXPECT_EQ(got.value, 42.0f);
    EXPECT_EQ(got.quality, 192);
    EXPECT_GE(got.sourceTime, before);
    EXPECT_EQ(Cached(server, server.ItemHandle(0)).quality, OPC_QUALITY_WAITING_FOR_INITIAL_DATA)
        << "other items untouched";

    // Through the toolkit's client side: a refresh and a device read.
    StoreValue(d, 0, 7.0f);
    const uint32_t h0 = server.ItemHandle(0);
    server.GBBackend().RefreshFromDevice(&h0, 1);
    EXPECT_EQ(Cached(server, h0).value, 7.0f);
    StoreValue(d, 0, 8.0f);
    qora::ua::ItemSample s;
    server.GBBackend().ReadDevice(&h0, 1, &s);
    EXPECT_EQ(s.value, 8.0f);
    EXPECT_EQ(Cached(server, h0).value, 7.0f);
}

TEST_F(Server, ReadsFollowRecordsThatMoveWhenAnEarlierDeviceIsDeleted) {
    AppendPoint(*model, u"A", "ttyS0", 1, true);
    AppendPoint(*model, u"B", "ttyS1", 1, true);
    AppendDevice(*model, 0, u"D0", 0, 1, 0b1);
    AppendDevice(*model, 0, u"D1", 0, 2, 0b1);
    AppendDevice(*model, 1, u"E0", 0, 1, 0b1);
    server.InitializeOPC(*model);
    const uint32_t hD0 = server.ItemHandle(0), hD1 = server.ItemHandle(1), hE0 = server.ItemHandle(2);
    StoreValue(model->points[0].devices[1], 0, 11.0f);
    StoreValue(model->points[1].devices[0], 0, 20.0f);
    server.BeginModelEdit();
    DeleteDevice(*model, 0, 0);  // D1 moves to slot 0
    DeletePoint(*model, 0);      // B moves to slot 0; D1 is gone with it
    server.EndModelEdit();
    StoreValue(model->points[0].devices[0], 0, 21.0f);
    GBItemID items[3] = {{hD0, 0, 0}, {hD1, 0, 0}, {hE0, 0, 0}};
    VARIANT values[3];
    uint16_t q[3] = {1, 1, 1};
    FILETIME t[3];
    HRESULT e[3] = {-1, -1, -1};
    EXPECT_EQ(server.GBOnReadItems(3, items, values, q, t, e, nullptr, nullptr, nullptr, nullptr, nullptr),
              2);
    for (int i : {0, 1}) {  // deleted device, and deleted with its point: no slot any more
        EXPECT_EQ(e[i], 0) << i;
        EXPECT_EQ(q[i], kQualityNotConnected) << i;
        EXPECT_EQ(values[i].fltVal, kNoValue) << i;
    }
    EXPECT_EQ(e[2], 0);
    EXPECT_EQ(values[2].fltVal, 21.0f) << "E0 found in its new slot";

    // The push sends the moved record to its own item only.
    server.PushAll(*model);
    EXPECT_EQ(Cached(server, hE0).value, 21.0f);
    EXPECT_EQ(Cached(server, hD0).quality, kQualityNotConnected);
    EXPECT_EQ(Cached(server, hD1).quality, kQualityNotConnected);
}

TEST_F(Server, AWriteChangesNoSlotAndSendsNothing) {
    AppendPoint(*model, u"A", "ttyS0", 1, true);
    AppendDevice(*model, 0, u"D", 0, 1, 0b1);
    TInstrumentLines lines(*model);
    std::vector<TComPort*> ports;
    TPollCycle poll(*model, lines, ports);
    int requests = 0;
    poll.SetRequestSink([&](uint8_t, uint8_t) { ++requests; });
    server.InitializeOPC(*model);
    server.PushAll(*model);
    auto before = std::make_unique<unsigned char[]>(sizeof(TConfigModel));
    std::memcpy(before.get(), model.get(), sizeof(TConfigModel));
    const auto cacheBefore = Cached(server, server.ItemHandle(0));

    GBItemID items[1] = {{server.ItemHandle(0), 0, 0}};
    VARIANT values[1] = {MakeVariantR4(55.0f)};
    uint16_t q[1] = {192};
    FILETIME t[1];
    HRESULT e[1] = {0};
    EXPECT_EQ(server.GBOnWriteItems(1, items, values, q, t, e, nullptr, nullptr, nullptr), 1);
    const uint32_t h = server.ItemHandle(0);
    server.GBBackend().Write(&h, 1);
    EXPECT_EQ(std::memcmp(before.get(), model.get(), sizeof(TConfigModel)), 0);
    EXPECT_EQ(requests, 0);
    const auto cacheAfter = Cached(server, h);
    EXPECT_EQ(cacheAfter.value, cacheBefore.value);
    EXPECT_EQ(cacheAfter.sourceTime, cacheBefore.sourceTime);
    EXPECT_EQ(Log(),
              (std::vector<QString>{QStringLiteral("GBOnWriteItems"), QStringLiteral("GBOnWriteItems")}));
}

TEST_F(Server, EqualItemIdsGetTheirOwnHandlesAndValues) {
    AppendPoint(*model, u"A", "ttyS0", 1, true);
    AppendPoint(*model, u"A", "ttyS0", 1, true);  // a hand-made file can hold this
    AppendDevice(*model, 0, u"D", 0, 1, 0b1);
    AppendDevice(*model, 1, u"D", 0, 1, 0b1);
    server.InitializeOPC(*model);
    ASSERT_EQ(server.ItemCount(), 2);
    EXPECT_NE(server.ItemHandle(0), server.ItemHandle(1));
    const auto items = server.GBBackend().ListItems();
    EXPECT_EQ(items[0].itemId, items[1].itemId);
    StoreValue(model->points[0].devices[0], 0, 1.0f);
    StoreValue(model->points[1].devices[0], 0, 2.0f);
    server.PushAll(*model);
    EXPECT_EQ(Cached(server, server.ItemHandle(0)).value, 1.0f);
    EXPECT_EQ(Cached(server, server.ItemHandle(1)).value, 2.0f);
}

TEST_F(Server, TheOpcStartRunsOncePerRun) {
    AppendPoint(*model, u"A", "ttyS0", 1, true);
    AppendDevice(*model, 0, u"D", 0, 1, 0b1);
    server.InitializeOPC(*model);
    AppendDevice(*model, 0, u"E", 0, 2, 0b1);
    server.InitializeOPC(*model);
    EXPECT_EQ(server.ItemCount(), 1);
    EXPECT_EQ(server.ForTests().ItemCount(), 1u);
}

TEST_F(Server, CallbacksWriteTheirNamesAndCountInstancesAndLocks) {
    auto& be = server.GBBackend();
    EXPECT_FALSE(server.InUse());
    be.ChannelOpened();
    EXPECT_TRUE(server.InUse());
    EXPECT_EQ(server.LockCount(), 1);
    be.SessionCreated();
    EXPECT_EQ(server.InstanceCount(), 1);
    be.ChannelClosed();
    EXPECT_TRUE(server.InUse()) << "an instance alone keeps the server in use";
    const uint32_t none = 0;
    be.ItemsActivated(&none, 1);  // no known handle: no call
    server.GBOnActivate(0, nullptr);
    server.GBOnDeactivate(0, nullptr);
    be.SessionClosed();
    EXPECT_FALSE(server.InUse());
    uint32_t count = 0;
    const uint32_t* table = nullptr;
    EXPECT_EQ(server.GBOnQueryLocales(&count, &table), 0);
    ASSERT_EQ(count, 7u);
    EXPECT_EQ(std::vector<uint32_t>(table, table + 7),
              (std::vector<uint32_t>{0x0000, 0x0009, 0x0800, 0x0400, 0x0409, 0x0419, 0x0019}));
    EXPECT_EQ(be.Locales().size(), 7u);
    const std::vector<QString> want = {
        "GBOnLock",     "GBOnBeforeCreateInstance", "GBOnCreateInstance",  "GBOnUnLock",
        "GBOnActivate", "GBOnDeactivate",           "GBOnDestroyInstance", "GBOnServerReleased",
    };
    EXPECT_EQ(Log(), want);
    EXPECT_EQ(server.GBOnBeforeCreateInstance(0, nullptr), 0);
    EXPECT_EQ(server.GBOnServerReleased(), 0);
}

TEST_F(Server, TheExitSequenceTellsTheReasonThenDropsClientsAndStopsListening) {
    server.InitializeOPC(*model);
    ASSERT_TRUE(server.ForTests().Registered());
    server.ShutdownOPC();
    EXPECT_TRUE(server.ForTests().ShutdownCalled());
    EXPECT_EQ(server.ForTests().ShutdownReason(), u"Работа сервера завершена пользователем.");
    EXPECT_EQ(server.ForTests().DisconnectCount(), 1);
    EXPECT_FALSE(server.ForTests().Registered());
}

TEST_F(Server, TheInitThreadRunsTheOpcStartAndIsJoinedByItsOwner) {
    AppendPoint(*model, u"A", "ttyS0", 1, true);
    AppendDevice(*model, 0, u"D", 0, 1, 0b11);
    {
        TInitThread thread(server, *model);
        thread.WaitFor();
        EXPECT_TRUE(thread.Finished());
        EXPECT_TRUE(thread.Error().empty());
        thread.WaitFor();  // again: returns at once
    }
    EXPECT_EQ(server.ItemCount(), 2);
    {
        TInitThread failing([] { throw std::runtime_error("boom"); });
        failing.WaitFor();
        EXPECT_EQ(failing.Error(), "boom");
    }
    // Destroyed without a wait: the destructor joins.
    std::atomic<bool> ran{false};
    {
        TInitThread t([&] { ran = true; });
    }
    EXPECT_TRUE(ran);
}

TEST_F(Server, ReadsDuringAnEditLeaveTheRecordsAloneAndFollowThemAfterwards) {
    AppendPoint(*model, u"A", "ttyS0", 1, true);
    AppendDevice(*model, 0, u"D0", 0, 1, 0b1);
    AppendDevice(*model, 0, u"D1", 0, 2, 0b1);
    server.InitializeOPC(*model);
    StoreValue(model->points[0].devices[1], 0, 5.0f);
    server.PushAll(*model);
    const uint32_t h1 = server.ItemHandle(1);

    server.BeginModelEdit();
    EXPECT_TRUE(server.ModelEditing());
    DeleteDevice(*model, 0, 0);  // D1 moves to slot 0
    StoreValue(model->points[0].devices[0], 0, 6.0f);
    GBItemID items[1] = {{h1, 0, 0}};
    VARIANT values[1];
    uint16_t q[1] = {77};
    FILETIME t[1];
    HRESULT e[1] = {-1};
    EXPECT_EQ(server.GBOnReadItems(1, items, values, q, t, e, nullptr, nullptr, nullptr, nullptr, nullptr),
              2);
    EXPECT_EQ(e[0], -1);
    EXPECT_EQ(q[0], 77);
    qora::ua::ItemSample s;
    server.GBBackend().ReadDevice(&h1, 1, &s);
    EXPECT_TRUE(s.valid);
    EXPECT_EQ(s.value, 5.0f) << "answered from the cache meanwhile";
    server.BeginModelEdit();  // a second begin is harmless
    server.EndModelEdit();
    EXPECT_FALSE(server.ModelEditing());

    server.GBBackend().ReadDevice(&h1, 1, &s);
    EXPECT_EQ(s.value, 6.0f) << "D1 found in its new slot";
    EXPECT_EQ(server.GBOnReadItems(1, items, values, q, t, e, nullptr, nullptr, nullptr, nullptr, nullptr),
              2);
    EXPECT_EQ(e[0], 0);
}

TEST_F(Server, TheOpcStartWaitsForAnEditInProgressToEnd) {
    AppendPoint(*model, u"A", "ttyS0", 1, true);
    AppendDevice(*model, 0, u"D0", 0, 1, 0b1);
    server.BeginModelEdit();
    TInitThread init(server, *model);
    AppendDevice(*model, 0, u"D1", 0, 2, 0b11);
    UpdateDevice(*model, 0, 0, u"D0", 0, 1, 0b111);
    server.EndModelEdit();
    init.WaitFor();
    EXPECT_EQ(server.ItemCount(), 5) << "the items of the finished edit";
}

// ---- items whose slot is gone ------------------------------------------------------------------

namespace {

struct ReadBack {
    float value = 0;
    uint16_t quality = 0;
    HRESULT error = E_FAIL;
};

// A device read with arrays, as a Read with MaxAge 0 makes it.
ReadBack ReadNow(COPCServer& s, uint32_t handle) {
    GBItemID items[1] = {{handle, 0, 0}};
    VARIANT values[1] = {MakeVariantR4(-1.0f)};
    uint16_t q[1] = {0x3333};
    FILETIME t[1];
    HRESULT e[1] = {E_FAIL};
    s.GBOnReadItems(1, items, values, q, t, e, nullptr, nullptr, nullptr, nullptr, nullptr);
    return {values[0].fltVal, q[0], e[0]};
}

}  // namespace

class OrphanedItems : public Server {
  protected:
    // Point A (ttyS0) with D0 (address 1, two parameters) and D1 (address 2); point B (ttyS1)
    // with E0; every slot good with its own value, pushed once.
    void SetUp() override {
        AppendPoint(*model, u"A", "ttyS0", 1, true);
        AppendPoint(*model, u"B", "ttyS1", 1, true);
        AppendDevice(*model, 0, u"D0", 0, 1, 0b11);
        AppendDevice(*model, 0, u"D1", 0, 2, 0b1);
        AppendDevice(*model, 1, u"E0", 0, 1, 0b1);
        server.InitializeOPC(*model);
        ASSERT_EQ(server.ItemCount(), 4);
        for (int n = 0; n < 4; ++n) handle[n] = server.ItemHandle(n);
        SetGood(model->points[0].devices[0], 0, 10.0f);
        SetGood(model->points[0].devices[0], 1, 11.0f);
        SetGood(model->points[0].devices[1], 0, 20.0f);
        SetGood(model->points[1].devices[0], 0, 30.0f);
        server.PushAll(*model);
        ASSERT_EQ(Cached(server, handle[0]).quality, 192);
    }
    static void SetGood(TDevice& d, int k, float v) {
        StoreValue(d, k, v);
        StoreQuality(d, k, kQualityGood);
    }
    // Every way a client reaches item n: the read callback with arrays and with null values (a
    // refresh), the toolkit's device read, and the cache after the next push.
    void ExpectOrphaned(int n, const char* what) {
        const ReadBack r = ReadNow(server, handle[n]);
        EXPECT_EQ(r.error, 0) << what << " item " << n;
        EXPECT_EQ(r.quality, kQualityNotConnected) << what << " item " << n;
        EXPECT_EQ(r.value, kNoValue) << what << " item " << n;
        qora::ua::ItemSample s;
        server.GBBackend().ReadDevice(&handle[n], 1, &s);
        EXPECT_EQ(s.quality, kQualityNotConnected) << what << " device read of item " << n;
        EXPECT_EQ(s.value, kNoValue) << what << " device read of item " << n;
        server.GBBackend().RefreshFromDevice(&handle[n], 1);
        server.PushAll(*model);
        const auto cached = Cached(server, handle[n]);
        EXPECT_EQ(cached.quality, kQualityNotConnected) << what << " cache of item " << n;
        EXPECT_EQ(cached.value, kNoValue) << what << " cache of item " << n;
        EXPECT_TRUE(server.ItemOrphaned(n)) << what << " item " << n;
    }
    void ExpectServed(int n, float value, const char* what) {
        const ReadBack r = ReadNow(server, handle[n]);
        EXPECT_EQ(r.quality, kQualityGood) << what << " item " << n;
        EXPECT_EQ(r.value, value) << what << " item " << n;
        server.PushAll(*model);
        EXPECT_EQ(Cached(server, handle[n]).value, value) << what << " item " << n;
        EXPECT_EQ(Cached(server, handle[n]).quality, kQualityGood) << what << " item " << n;
        EXPECT_FALSE(server.ItemOrphaned(n)) << what << " item " << n;
    }
    uint32_t handle[4] = {};
};

TEST_F(OrphanedItems, ADeletedDeviceIsServedNotConnectedWithTheNoValueMarker) {
    server.BeginModelEdit();  // StopPolling
    DeleteDevice(*model, 0, 0);
    server.EndModelEdit();                           // StartPolling
    SetGood(model->points[0].devices[0], 0, 21.0f);  // D1, moved into slot 0 of its point
    ExpectOrphaned(0, "deleted");
    ExpectOrphaned(1, "deleted");
    ExpectServed(2, 21.0f, "moved up by the delete");
    ExpectServed(3, 30.0f, "untouched");
}

TEST_F(OrphanedItems, AnOrphanIsPublishedOnceAndServedAgainWhenASlotDescribesItLater) {
    server.BeginModelEdit();
    DeleteDevice(*model, 0, 1);  // D1
    server.EndModelEdit();
    server.PushAll(*model);
    const auto first = Cached(server, handle[2]);
    ASSERT_EQ(first.quality, kQualityNotConnected);
    const uint64_t generation = server.GBBackend().CacheGeneration();
    server.PushAll(*model);
    server.PushAll(*model);
    EXPECT_EQ(Cached(server, handle[2]).sourceTime, first.sourceTime) << "published once, not on every push";
    EXPECT_EQ(server.GBBackend().CacheGeneration(), generation + 2);

    // The operator adds D1 again with its old name and address: a new slot that takes the item.
    server.BeginModelEdit();
    AppendDevice(*model, 0, u"D1", 0, 2, 0b1);
    server.EndModelEdit();
    SetGood(model->points[0].devices[1], 0, 99.0f);
    ExpectServed(2, 99.0f, "readded");
    EXPECT_EQ(server.SlotItemNumber(model->points[0].devices[1], 0), 2);
    ExpectServed(0, 10.0f, "untouched");

    // Added back at another address it describes another slot: the item stays orphaned.
    server.BeginModelEdit();
    DeleteDevice(*model, 0, 1);
    AppendDevice(*model, 0, u"D1", 0, 3, 0b1);
    server.EndModelEdit();
    SetGood(model->points[0].devices[1], 0, 98.0f);
    ExpectOrphaned(2, "readded at address 3");
}

TEST_F(OrphanedItems, ANewConfigurationOrphansEveryItemWhilePollingStaysStopped) {
    // Создать: StopPolling, the records cleared, and polling does not start again until the
    // first change. Meanwhile the owner checks the items as the push would.
    server.BeginModelEdit();
    ClearModel(*model);
    server.CheckItems(*model);
    for (int n = 0; n < 4; ++n) {
        EXPECT_EQ(Cached(server, handle[n]).quality, kQualityNotConnected) << n;
        EXPECT_EQ(Cached(server, handle[n]).value, kNoValue) << n;
        const ReadBack r = ReadNow(server, handle[n]);
        EXPECT_EQ(r.quality, kQualityNotConnected) << n;
        EXPECT_EQ(r.value, kNoValue) << n;
    }
    server.EndModelEdit();
}

TEST_F(OrphanedItems, AfterANewConfigurationTheSlotsItsChangesDescribeAgainAreServedAgain) {
    server.BeginModelEdit();
    ClearModel(*model);
    server.EndModelEdit();
    server.BeginModelEdit();  // the first change: a point with a device at the old place
    AppendPoint(*model, u"A", "ttyS0", 1, true);
    AppendDevice(*model, 0, u"D0", 0, 1, 0b11);
    server.EndModelEdit();
    SetGood(model->points[0].devices[0], 0, 40.0f);
    SetGood(model->points[0].devices[0], 1, 41.0f);
    ExpectServed(0, 40.0f, "D0 again");
    ExpectServed(1, 41.0f, "D0 again");
    for (int n = 2; n < 4; ++n) ExpectOrphaned(n, "after Создать");
}

// Создать, then Открыть of the file saved before: every item serves its slot again, and the
// event log tells when the namespace and the window part and meet again.
TEST_F(OrphanedItems, TheSameFileOpenedAfterCreateIsServedAgainAndTheEventLogFollows) {
    std::vector<QString> lines;
    server.SetEventSink([&](const QString& line) {
        if (line.startsWith(QStringLiteral("Элементы OPC"))) lines.push_back(line);
    });
    const std::vector<uint8_t> file = EncodeConfig(*model);
    server.BeginModelEdit();  // Создать
    ClearModel(*model);
    server.CheckItems(*model);
    server.CheckItems(*model);
    ASSERT_EQ(lines.size(), 1u) << "told once per change";
    EXPECT_TRUE(lines[0].contains(QStringLiteral("параметров без элемента: 0, элементов без параметра: 4")))
        << lines[0].toStdString();
    ASSERT_EQ(DecodeConfig(file, *model), DecodeStatus::Ok);  // Открыть: records without numbers
    for (int p = 0; p < model->pointCount; ++p)
        for (int d = 0; d < model->points[p].deviceCount; ++d)
            for (int k = 0; k < kParamsPerDevice; ++k) StoreItemNumber(model->points[p].devices[d], k, 0);
    server.EndModelEdit();
    SetGood(model->points[0].devices[0], 0, 12.0f);
    SetGood(model->points[0].devices[0], 1, 13.0f);
    SetGood(model->points[0].devices[1], 0, 22.0f);
    SetGood(model->points[1].devices[0], 0, 32.0f);
    const float values[4] = {12.0f, 13.0f, 22.0f, 32.0f};
    for (int n = 0; n < 4; ++n) ExpectServed(n, values[n], "reopened");
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[1], QStringLiteral("Элементы OPC снова совпадают с конфигурацией в окне."));

    // A device the namespace has no items for.
    server.BeginModelEdit();
    AppendDevice(*model, 1, u"E1", 0, 2, 0b111);
    server.EndModelEdit();
    server.PushAll(*model);
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_TRUE(lines[2].contains(QStringLiteral("параметров без элемента: 3, элементов без параметра: 0")))
        << lines[2].toStdString();
    EXPECT_TRUE(lines[2].contains(QStringLiteral("«Перезапуск»")));
    server.SetEventSink({});
}

TEST_F(OrphanedItems, OpeningAnotherFileOrphansOnlyTheItemsItsRecordsDoNotDescribe) {
    // The other file: a copy of this configuration saved earlier in this run (so its item
    // numbers carry this run's marker) in which D0 went to point B and E0 was readdressed.
    opctest::ModelPtr other = NewModel();
    std::memcpy(other.get(), model.get(), sizeof(TConfigModel));
    ASSERT_EQ(MoveDevice(*other, 0, 0, 1), ModelResult::Ok);
    UpdateDevice(*other, 1, 0, u"E0", 0, 7, 0b1);
    const std::vector<uint8_t> file = EncodeConfig(*other);
    // And one from another run, with item numbers of its own.
    opctest::ModelPtr foreign = NewModel();
    AppendPoint(*foreign, u"A", "ttyS0", 1, true);
    AppendDevice(*foreign, 0, u"D0", 0, 1, 0b11);
    for (int k = 0; k < 2; ++k) foreign->points[0].devices[0].itemNumbers[k] = k + 1;
    const std::vector<uint8_t> foreignFile = EncodeConfig(*foreign);

    server.BeginModelEdit();  // Открыть: StopPolling, read the file, StartPolling
    ASSERT_EQ(DecodeConfig(file, *model), DecodeStatus::Ok);
    server.EndModelEdit();
    SetGood(model->points[0].devices[0], 0, 22.0f);  // D1, first on point A now
    SetGood(model->points[1].devices[0], 0, 33.0f);  // E0 at address 7
    SetGood(model->points[1].devices[1], 0, 44.0f);  // D0 on point B
    SetGood(model->points[1].devices[1], 1, 45.0f);
    ExpectOrphaned(0, "moved to another point in the file");
    ExpectOrphaned(1, "moved to another point in the file");
    ExpectOrphaned(3, "readdressed in the file");
    ExpectServed(2, 22.0f, "unchanged in the file");

    server.BeginModelEdit();
    ASSERT_EQ(DecodeConfig(foreignFile, *model), DecodeStatus::Ok);
    server.EndModelEdit();
    for (int k = 0; k < 2; ++k) SetGood(model->points[0].devices[0], k, 50.0f + float(k));
    // Its A(ttyS0).D0 №1 describes the slots of items 0 and 1 again, whatever numbers it carried.
    ExpectServed(0, 50.0f, "same slot in a file of another run");
    ExpectServed(1, 51.0f, "same slot in a file of another run");
    for (int n = 2; n < 4; ++n) ExpectOrphaned(n, "file of another run");
}

TEST_F(OrphanedItems, ADeviceMovedToAnotherPointNoLongerFeedsItsItems) {
    server.BeginModelEdit();
    ASSERT_EQ(MoveDevice(*model, 0, 1, 1), ModelResult::Ok);  // D1 to point B
    server.EndModelEdit();
    SetGood(model->points[1].devices[1], 0, 77.0f);
    ExpectOrphaned(2, "moved");
    EXPECT_NE(Cached(server, handle[2]).value, 77.0f);
    ExpectServed(3, 30.0f, "E0 stays");
    ExpectServed(0, 10.0f, "D0 stays");

    // A read that comes before the next push (polling has just started) finds it too.
    server.BeginModelEdit();
    ASSERT_EQ(MoveDevice(*model, 1, 0, 0), ModelResult::Ok);  // E0 to point A
    server.EndModelEdit();
    const ReadBack r = ReadNow(server, handle[3]);
    EXPECT_EQ(r.quality, kQualityNotConnected);
    EXPECT_EQ(r.value, kNoValue);
}

TEST_F(OrphanedItems, ReadsFromManyThreadsDuringPushesAndEditsSeeOnlyRealSlotsOrOrphans) {
    static constexpr float kValues[4] = {10.0f, 11.0f, 20.0f, 30.0f};
    std::atomic<bool> stop{false};
    std::atomic<int> wrong{0};
    std::vector<std::thread> readers;
    for (int r = 0; r < 3; ++r)
        readers.emplace_back([&] {
            while (!stop.load()) {
                for (int n = 0; n < 4; ++n) {
                    const ReadBack b = ReadNow(server, handle[n]);
                    if (b.error != 0) continue;  // during an edit: left to the cache
                    const bool orphan = b.quality == kQualityNotConnected && b.value == kNoValue;
                    const bool real = b.quality == kQualityGood && b.value == kValues[n];
                    if (!orphan && !real) ++wrong;
                }
            }
        });
    for (int i = 0; i < 200; ++i) {
        server.PushAll(*model);
        if (i == 100) {
            server.BeginModelEdit();
            MoveDevice(*model, 0, 1, 1);
            server.EndModelEdit();
        }
    }
    stop = true;
    for (auto& t : readers) t.join();
    EXPECT_EQ(wrong.load(), 0);
    EXPECT_TRUE(server.ItemOrphaned(2));
}
