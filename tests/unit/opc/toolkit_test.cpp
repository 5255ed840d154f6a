// The toolkit's own behaviour, driven through its operations and its client side.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "base/file_time.h"
#include "opc/toolkit/gb_data_access.h"
#include "opc/toolkit/gb_test_view.h"

using namespace gb;
using qora::ua::ItemSample;

namespace {

// Records every callback; answers reads as configured.
class Recorder : public GBDataAccess {
  public:
    ~Recorder() override { GBStopEndpoint(); }

    std::vector<std::string> Calls() {
        std::lock_guard lock(mutex_);
        return calls_;
    }
    void Clear() {
        std::lock_guard lock(mutex_);
        calls_.clear();
    }

    // Read answer: for handle == answerHandle, value answerValue (values path).
    uint32_t answerHandle = 0;
    float answerValue = 0;
    std::vector<uint32_t> lastHandles;
    bool lastValuesNull = false;
    HRESULT beforeCreateResult = S_OK;

    HRESULT GBOnBeforeCreateInstance(int32_t, void*) override {
        return Note("BeforeCreate"), beforeCreateResult;
    }
    void GBOnCreateInstance(void*) override { Note("Create"); }
    void GBOnDestroyInstance(void*) override { Note("Destroy"); }
    void GBOnLock() override { Note("Lock"); }
    void GBOnUnLock() override { Note("UnLock"); }
    HRESULT GBOnServerReleased() override { return Note("Released"), S_OK; }
    HRESULT GBOnWriteItems(uint32_t count, GBItemID* items, VARIANT*, uint16_t*, FILETIME*, HRESULT*, void*,
                           void*, void*) override {
        Note("Write");
        Keep(count, items, false);
        return 1;
    }
    HRESULT GBOnReadItems(uint32_t count, GBItemID* items, VARIANT* values, uint16_t* qualities,
                          FILETIME* timestamps, HRESULT* errors, void*, void*, void*, void*, void*) override {
        Note("Read");
        Keep(count, items, values == nullptr);
        for (uint32_t i = 0; i < count; ++i) {
            if (items[i].hItem != answerHandle) continue;
            if (values) {
                values[i] = MakeVariantR4(answerValue);
                qualities[i] = 192;
                timestamps[i] = FILETIME::FromU64(42);
                errors[i] = S_OK;
            } else {
                const VARIANT v = MakeVariantR4(answerValue);
                GBBeginUpdate();
                GBSetItem(items[i].hItem, &v, 24, FILETIME::FromU64(43), 0);
                GBEndUpdate(1);
            }
        }
        return values ? 2 : 1;
    }
    void GBOnActivate(uint32_t count, GBItemID* items) override {
        Note("Activate");
        Keep(count, items, false);
    }
    void GBOnDeactivate(uint32_t count, GBItemID* items) override {
        Note("Deactivate");
        Keep(count, items, false);
    }
    HRESULT GBOnQueryLocales(uint32_t* count, const uint32_t** table) override {
        static const uint32_t t[2] = {0x0409, 0x0419};
        *count = 2;
        *table = t;
        return S_OK;
    }
    void GBOnListenStateChanged(const qora::ua::ListenState& state) override {
        Note(state.listening ? "Listening" : "NotListening");
    }

  private:
    void Note(const char* s) {
        std::lock_guard lock(mutex_);
        calls_.push_back(s);
    }
    void Keep(uint32_t count, GBItemID* items, bool nullValues) {
        std::lock_guard lock(mutex_);
        lastHandles.clear();
        for (uint32_t i = 0; i < count; ++i) lastHandles.push_back(items[i].hItem);
        lastValuesNull = nullValues;
    }
    std::mutex mutex_;
    std::vector<std::string> calls_;
};

uint32_t Create(GBOPCDataAccessBase& s, const char16_t* id, VARIANT initial = MakeVariantR4(0.0f),
                uint32_t rights = OPC_READABLE) {
    uint32_t h = 0;
    EXPECT_EQ(s.GBCreateItem(&h, 0, id, rights, 0, &initial, OPC_NOENUM, nullptr), S_OK);
    return h;
}

ItemSample Cached(GBOPCDataAccessBase& s, uint32_t h) {
    ItemSample out;
    s.GBBackend().ReadCache(&h, 1, &out);
    return out;
}

}  // namespace

TEST(Toolkit, HandlesAreNeverZeroAndEqualIdsGetTheirOwn) {
    Recorder s;
    const uint32_t a = Create(s, u"A(COM1).Б(T №1).P");
    const uint32_t b = Create(s, u"A(COM1).Б(T №1).P");
    uint32_t c = 0;
    const VARIANT empty;
    EXPECT_EQ(s.GBCreateItem(&c, 2, u"C", OPC_READABLE, 0, &empty, OPC_NOENUM, nullptr), OPC_E_BADTYPE)
        << "VT_EMPTY gives no canonical type";
    EXPECT_EQ(c, 0u);
    EXPECT_NE(a, 0u);
    EXPECT_NE(b, 0u);
    EXPECT_NE(a, b);
    const auto items = s.GBBackend().ListItems();
    ASSERT_EQ(items.size(), 2u);
    EXPECT_EQ(items[0].handle, a);
    EXPECT_EQ(items[1].handle, b);
    EXPECT_EQ(items[0].itemId,
              "A(COM1).\xD0\x91(T \xE2\x84\x96"
              "1).P");
    EXPECT_EQ(items[1].itemId, items[0].itemId);
    EXPECT_EQ(items[0].accessRights, OPC_READABLE);
}

TEST(Toolkit, CreateItemRefusesMissingOrUnusableArguments) {
    Recorder s;
    uint32_t h = 7;
    const VARIANT r4 = MakeVariantR4(1);
    VARIANT text;
    text.vt = 8;
    EXPECT_EQ(s.GBCreateItem(&h, 0, nullptr, 1, 0, &r4, 0, nullptr), E_INVALIDARG);
    EXPECT_EQ(s.GBCreateItem(&h, 0, u"", 1, 0, &r4, 0, nullptr), E_INVALIDARG);
    EXPECT_EQ(s.GBCreateItem(&h, 0, u"x", 1, 0, nullptr, 0, nullptr), E_POINTER);
    EXPECT_EQ(s.GBCreateItem(&h, 0, u"x", 1, 0, &text, 0, nullptr), OPC_E_BADTYPE);
    // Rights beyond readable and writeable, and EU types beyond none, analog and enumerated.
    EXPECT_EQ(s.GBCreateItem(&h, 0, u"x", 4, 0, &r4, 0, nullptr), E_INVALIDARG);
    EXPECT_EQ(s.GBCreateItem(&h, 0, u"x", 1, 0, &r4, 3, nullptr), E_INVALIDARG);
    EXPECT_EQ(s.GBCreateItem(&h, 0, u"x", 1, 0, &r4, -1, nullptr), E_INVALIDARG);
    EXPECT_EQ(h, 7u);
    EXPECT_EQ(s.ForTests().ItemCount(), 0u);
}

TEST(Toolkit, ANewItemIsStampedWithTheSharedClock) {
    Recorder s;
    const uint64_t before = qora::NowFileTime();
    const uint32_t h = Create(s, u"T");
    const uint64_t after = qora::NowFileTime();
    GBTestView::Item item;
    ASSERT_TRUE(s.ForTests().GetItem(h, &item));
    EXPECT_GE(item.timestamp, before);
    EXPECT_LE(item.timestamp, after);
}

TEST(Toolkit, CanonicalTypeComesFromTheInitialValue) {
    Recorder s;
    VARIANT i2;
    i2.vt = VT_I2;
    i2.iVal = 5;
    const uint32_t h = Create(s, u"I", i2);
    GBTestView::Item item;
    ASSERT_TRUE(s.ForTests().GetItem(h, &item));
    EXPECT_EQ(item.canonicalType, VT_I2);
    EXPECT_EQ(item.quality, OPC_QUALITY_WAITING_FOR_INITIAL_DATA);
    EXPECT_EQ(Cached(s, h).value, 5.0f);

    const VARIANT r4 = MakeVariantR4(3.6f);
    EXPECT_EQ(s.GBSetItem(h, &r4, 192, FILETIME::FromU64(1000), 0), S_OK);
    ASSERT_TRUE(s.ForTests().GetItem(h, &item));
    EXPECT_EQ(item.value.vt, VT_I2);
    EXPECT_EQ(item.value.iVal, 4);
    const ItemSample got = Cached(s, h);
    EXPECT_TRUE(got.valid);
    EXPECT_EQ(got.value, 4.0f);
    EXPECT_EQ(got.quality, 192);
    EXPECT_EQ(got.sourceTime, 1000u);

    // A value the canonical type cannot hold leaves the item as it was.
    const VARIANT huge = MakeVariantR4(1e9f);
    s.GBSetItem(h, &huge, 8, FILETIME::FromU64(2000), 0);
    EXPECT_EQ(Cached(s, h).value, 4.0f);
    EXPECT_EQ(Cached(s, h).quality, 192);
}

TEST(Toolkit, SetItemInsideABlockIsVisibleOnlyWhenTheOutermostBlockEnds) {
    Recorder s;
    const uint32_t a = Create(s, u"a");
    const uint32_t b = Create(s, u"b");
    const uint64_t gen0 = s.GBBackend().CacheGeneration();
    const VARIANT one = MakeVariantR4(1), two = MakeVariantR4(2);
    s.GBBeginUpdate();
    s.GBSetItem(a, &one, 192, FILETIME::FromU64(10), 0);
    s.GBBeginUpdate();
    s.GBSetItem(b, &two, 192, FILETIME::FromU64(11), 0);
    s.GBEndUpdate(0);
    EXPECT_EQ(Cached(s, a).value, 0.0f);
    EXPECT_EQ(Cached(s, b).value, 0.0f);
    EXPECT_EQ(s.GBBackend().CacheGeneration(), gen0);
    s.GBEndUpdate(0);
    EXPECT_EQ(Cached(s, a).value, 1.0f);
    EXPECT_EQ(Cached(s, b).value, 2.0f);
    // Each staged entry keeps its own timestamp (a block keeps them once per run).
    EXPECT_EQ(Cached(s, a).sourceTime, 10u);
    EXPECT_EQ(Cached(s, b).sourceTime, 11u);
    EXPECT_GT(s.GBBackend().CacheGeneration(), gen0);
    EXPECT_EQ(s.ForTests().EndedBlocks(false), 1u);
    EXPECT_EQ(s.GBEndUpdate(0), E_FAIL) << "no block open";

    // Outside a block a GBSetItem is visible at once.
    s.GBSetItem(a, &two, 8, FILETIME::FromU64(12), 0);
    EXPECT_EQ(Cached(s, a).value, 2.0f);
    EXPECT_EQ(Cached(s, a).quality, 8);
}

// GBSetItems writes through an open block: its items are visible at its return, with its one
// timestamp and one generation step, while the block's staged GBSetItem still waits.
TEST(Toolkit, SetItemsIsVisibleAtItsReturnEvenInsideABlock) {
    Recorder s;
    const uint32_t a = Create(s, u"a");
    const uint32_t b = Create(s, u"b");
    const uint32_t c = Create(s, u"c");
    const VARIANT one = MakeVariantR4(1);
    VARIANT text, wide;
    text.vt = 8;  // a string: not numeric
    wide.vt = VT_R8;
    wide.dblVal = 4.5;
    s.GBBeginUpdate();
    s.GBSetItem(c, &one, 192, FILETIME::FromU64(5), 0);
    const uint64_t gen0 = s.GBBackend().CacheGeneration();
    std::vector<HRESULT> results;
    s.GBSetItems(FILETIME::FromU64(77), [&](GBItemWriter& w) {
        results.push_back(w.Set(a, MakeVariantR4(3), 192));
        results.push_back(w.Set(b, wide, 8));
        results.push_back(w.Set(b + 7, one, 192));
        results.push_back(w.Set(a, text, 192));
    });
    EXPECT_EQ(results, (std::vector<HRESULT>{S_OK, S_OK, OPC_E_INVALIDHANDLE, OPC_E_BADTYPE}));
    EXPECT_EQ(s.GBBackend().CacheGeneration(), gen0 + 1);
    EXPECT_EQ(Cached(s, a).value, 3.0f);
    EXPECT_EQ(Cached(s, a).sourceTime, 77u);
    EXPECT_EQ(Cached(s, b).value, 4.5f);
    EXPECT_EQ(Cached(s, b).quality, 8);
    EXPECT_EQ(Cached(s, c).value, 0.0f) << "the block's own GBSetItem waits for its end";
    s.GBEndUpdate(0);
    EXPECT_EQ(Cached(s, c).value, 1.0f);
    EXPECT_EQ(Cached(s, c).sourceTime, 5u);
}

TEST(Toolkit, SetItemWithAnUnknownHandleChangesNothing) {
    Recorder s;
    const uint32_t a = Create(s, u"a");
    const VARIANT v = MakeVariantR4(5);
    for (uint32_t bad : {0u, a + 1, a - 1, 0xFFFFFFFFu})
        EXPECT_EQ(s.GBSetItem(bad, &v, 192, FILETIME::FromU64(1), 0), OPC_E_INVALIDHANDLE) << bad;
    EXPECT_EQ(s.GBSetItem(a, nullptr, 192, FILETIME::FromU64(1), 0), E_POINTER);
    EXPECT_EQ(Cached(s, a).value, 0.0f);
    uint32_t handles[2] = {0, a + 5};
    ItemSample out[2];
    out[0].valid = out[1].valid = true;
    s.GBBackend().ReadCache(handles, 2, out);
    EXPECT_FALSE(out[0].valid);
    EXPECT_FALSE(out[1].valid);
}

TEST(Toolkit, BlocksOfDifferentThreadsDoNotPublishEachOther) {
    Recorder s;
    const uint32_t a = Create(s, u"a");
    const uint32_t b = Create(s, u"b");
    const VARIANT one = MakeVariantR4(1), two = MakeVariantR4(2);
    s.GBBeginUpdate();
    s.GBSetItem(a, &one, 192, FILETIME::FromU64(1), 0);
    std::thread other([&] {
        s.GBBeginUpdate();
        s.GBSetItem(b, &two, 192, FILETIME::FromU64(1), 0);
        s.GBEndUpdate(1);
    });
    other.join();
    EXPECT_EQ(Cached(s, b).value, 2.0f);
    EXPECT_EQ(Cached(s, a).value, 0.0f) << "the window thread's block is still open";
    s.GBEndUpdate(0);
    EXPECT_EQ(Cached(s, a).value, 1.0f);
    EXPECT_EQ(s.ForTests().EndedBlocks(true), 1u);
    EXPECT_EQ(s.ForTests().EndedBlocks(false), 1u);
}

TEST(Toolkit, TwoServersOnOneThreadKeepSeparateBlocks) {
    Recorder s1, s2;
    const uint32_t a = Create(s1, u"a");
    const uint32_t b = Create(s2, u"b");
    const VARIANT v = MakeVariantR4(9);
    s1.GBBeginUpdate();
    s2.GBSetItem(b, &v, 192, FILETIME::FromU64(1), 0);  // s2 has no block: visible now
    s1.GBSetItem(a, &v, 192, FILETIME::FromU64(1), 0);
    EXPECT_EQ(Cached(s2, b).value, 9.0f);
    EXPECT_EQ(Cached(s1, a).value, 0.0f);
    EXPECT_EQ(s2.GBEndUpdate(0), E_FAIL);
    s1.GBEndUpdate(0);
    EXPECT_EQ(Cached(s1, a).value, 9.0f);
}

TEST(Toolkit, SessionsAndChannelsInvokeTheCallbacksInOrder) {
    Recorder s;
    auto& be = s.GBBackend();
    be.ChannelOpened();
    be.SessionCreated();
    be.SessionClosed();
    be.ChannelClosed();
    const std::vector<std::string> want = {"Lock", "BeforeCreate", "Create", "Destroy", "UnLock", "Released"};
    EXPECT_EQ(s.Calls(), want);

    s.Clear();
    s.beforeCreateResult = E_FAIL;
    be.SessionCreated();
    EXPECT_EQ(s.Calls(), std::vector<std::string>{"BeforeCreate"}) << "a refused instance is not created";
}

TEST(Toolkit, ActivateWriteAndLocalesReachTheCallbacksWithKnownHandlesOnly) {
    Recorder s;
    const uint32_t a = Create(s, u"a");
    const uint32_t b = Create(s, u"b");
    auto& be = s.GBBackend();
    const uint32_t hs[3] = {a, 999, b};
    be.ItemsActivated(hs, 3);
    EXPECT_EQ(s.lastHandles, (std::vector<uint32_t>{a, b}));
    be.ItemsDeactivated(hs, 1);
    EXPECT_EQ(s.lastHandles, (std::vector<uint32_t>{a}));
    be.Write(hs + 2, 1);
    EXPECT_EQ(s.lastHandles, (std::vector<uint32_t>{b}));
    EXPECT_EQ(s.Calls(), (std::vector<std::string>{"Activate", "Deactivate", "Write"}));
    EXPECT_EQ(Cached(s, b).value, 0.0f);
    EXPECT_EQ(be.Locales(), (std::vector<uint32_t>{0x0409, 0x0419}));
}

TEST(Toolkit, DeviceReadUsesTheServersAnswerAndFallsBackToTheCache) {
    Recorder s;
    const uint32_t a = Create(s, u"a");
    const uint32_t b = Create(s, u"b");
    const VARIANT seven = MakeVariantR4(7);
    s.GBSetItem(b, &seven, 8, FILETIME::FromU64(77), 0);
    s.answerHandle = a;
    s.answerValue = 3.5f;
    const uint32_t hs[3] = {a, b, 12345};
    ItemSample out[3];
    s.GBBackend().ReadDevice(hs, 3, out);
    EXPECT_FALSE(s.lastValuesNull);
    EXPECT_EQ(s.lastHandles, (std::vector<uint32_t>{a, b}));
    EXPECT_TRUE(out[0].valid);
    EXPECT_EQ(out[0].value, 3.5f);
    EXPECT_EQ(out[0].quality, 192);
    EXPECT_EQ(out[0].sourceTime, 42u);
    EXPECT_TRUE(out[1].valid);
    EXPECT_EQ(out[1].value, 7.0f) << "unanswered: from the cache";
    EXPECT_EQ(out[1].quality, 8);
    EXPECT_EQ(out[1].sourceTime, 77u);
    EXPECT_FALSE(out[2].valid);
    EXPECT_EQ(Cached(s, a).value, 0.0f) << "a device read does not change the cache";
}

TEST(Toolkit, RefreshPassesNullValuesAndTheServerAnswersIntoTheCache) {
    Recorder s;
    const uint32_t a = Create(s, u"a");
    s.answerHandle = a;
    s.answerValue = 6.25f;
    s.GBBackend().RefreshFromDevice(&a, 1);
    EXPECT_TRUE(s.lastValuesNull);
    const ItemSample got = Cached(s, a);
    EXPECT_EQ(got.value, 6.25f);
    EXPECT_EQ(got.quality, 24);
    EXPECT_EQ(got.sourceTime, 43u);
}

TEST(Toolkit, LifecycleRecordsInitialisationAndRegistration) {
    Recorder s;
    GUID clsid;
    ASSERT_TRUE(GUID::Parse("{6F1C0B52-9A3E-4D71-8E25-B4C7D90A1F36}", clsid));
    EXPECT_FALSE(s.ForTests().Initialized());
    s.GBInitialize(clsid, 125, 0, 8, 4000, 1, 0, 0, u"Kivran");
    EXPECT_TRUE(s.ForTests().Initialized());
    EXPECT_EQ(s.ForTests().Clsid(), clsid);
    EXPECT_EQ(s.ForTests().InitNumbers(), (std::array<uint32_t, 7>{125, 0, 8, 4000, 1, 0, 0}));
    EXPECT_EQ(s.ForTests().Vendor(), u"Kivran");

    qora::ua::ServerConfig cfg;
    cfg.host = "127.0.0.1";
    cfg.port = 0;
    cfg.bindRetryMs = 0;
    s.GBSetEndpointConfig(cfg);
    EXPECT_EQ(s.GBRevokeClassObject(), S_FALSE);
    ASSERT_EQ(s.GBRegisterClassObject(), S_OK) << s.ForTests().LastEndpointError();
    EXPECT_TRUE(s.ForTests().Registered());
    EXPECT_NE(s.ForTests().Endpoint(), nullptr);
    EXPECT_EQ(s.GBRegisterClassObject(), S_FALSE);
    s.GBShutdown(u"Работа сервера завершена пользователем.");
    EXPECT_EQ(s.ForTests().ShutdownReason(), u"Работа сервера завершена пользователем.");
    s.GBDisconnectClients();
    EXPECT_EQ(s.ForTests().DisconnectCount(), 1);
    EXPECT_EQ(s.GBRevokeClassObject(), S_OK);
    EXPECT_FALSE(s.ForTests().Registered());
    ASSERT_EQ(s.GBRegisterClassObject(), S_OK) << "registers again after a revoke";
    s.GBStopEndpoint();
    EXPECT_EQ(s.ForTests().Endpoint(), nullptr);
}

TEST(Toolkit, AnEndpointThatCannotListenIsRegisteredToldAndRevokedWithoutWaiting) {
    // Another listener holds the port.
    const int holder = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(::bind(holder, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    ASSERT_EQ(::listen(holder, 1), 0);
    socklen_t len = sizeof a;
    ::getsockname(holder, reinterpret_cast<sockaddr*>(&a), &len);

    Recorder s;
    s.GBInitialize(GUID{}, 125, 0, 8, 4000, 1, 0, 0, u"Kivran");
    qora::ua::ServerConfig cfg;
    cfg.host = "127.0.0.1";
    cfg.port = ntohs(a.sin_port);
    cfg.bindRetryMs = 20;
    s.GBSetEndpointConfig(cfg);
    const auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(s.GBRegisterClassObject(), S_OK);
    // The port stays held: waiting for it would never end (a bound for a hang, not a speed).
    EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(10));
    EXPECT_TRUE(s.ForTests().Registered());
    EXPECT_NE(s.ForTests().LastEndpointError().find("Address already in use"), std::string::npos)
        << s.ForTests().LastEndpointError();
    const auto told = [&](const char* what) {
        for (int i = 0; i < 400; ++i) {
            for (const std::string& c : s.Calls())
                if (c == what) return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        return false;
    };
    ASSERT_TRUE(told("NotListening"));
    ::close(holder);
    ASSERT_TRUE(told("Listening"));
    EXPECT_TRUE(s.ForTests().Endpoint()->Listening());
    EXPECT_EQ(s.GBRevokeClassObject(), S_OK);
    EXPECT_FALSE(s.ForTests().Endpoint()->Listening());
}

TEST(Toolkit, ClassFactoryAnswersItsInterfacesAndNeverDeletesOnRelease) {
    Recorder s;
    void* p = nullptr;
    EXPECT_EQ(s.QueryInterface(IID_IUnknown, &p), S_OK);
    EXPECT_EQ(p, static_cast<GBClassFactory*>(&s));
    EXPECT_EQ(s.QueryInterface(IID_IClassFactory, &p), S_OK);
    GUID other;
    other.data1 = 99;
    EXPECT_EQ(s.QueryInterface(other, &p), E_NOINTERFACE);
    EXPECT_EQ(p, nullptr);
    EXPECT_EQ(s.Release(), 2u);
    EXPECT_EQ(s.Release(), 1u);
    EXPECT_EQ(s.Release(), 0u);
    EXPECT_EQ(s.Release(), 0u) << "never below zero";
    EXPECT_EQ(s.CreateInstance(&s, IID_IUnknown, &p), static_cast<HRESULT>(0x80040110u));
}
