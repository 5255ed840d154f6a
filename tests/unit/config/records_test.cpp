#include "config/records.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>

using namespace qora;

namespace {

using ModelPtr = std::unique_ptr<TConfigModel, ModelDeleter>;

ModelPtr NewModel() {
    ModelPtr m(CreateModel());
    m->typeCount = 2;
    m->typeMasks[0] = 0xFFFFFFFFu;
    m->typeMasks[1] = 0x21u;
    return m;
}

template <typename T>
bool IsZero(const T& rec) {
    const auto* b = reinterpret_cast<const unsigned char*>(&rec);
    for (size_t i = 0; i < sizeof(T); ++i)
        if (b[i] != 0) return false;
    return true;
}

std::string PortName(int i) {
    return "ttyS" + std::to_string(i);
}

}  // namespace

TEST(Records, NewModelIsAllZero) {
    ModelPtr m(CreateModel());
    EXPECT_EQ(m->pointCount, 0);
    EXPECT_TRUE(IsZero(*m));
    EXPECT_TRUE(CheckInvariants(*m));
}

TEST(Records, FiftyFirstPointIsRefusedAndModelUnchanged) {
    auto m = NewModel();
    for (int i = 0; i < kMaxPoints; ++i)
        ASSERT_EQ(AppendPoint(*m, u"P", PortName(i), 1.0f, true), ModelResult::Ok);
    auto before = std::make_unique<unsigned char[]>(sizeof(TConfigModel));
    std::memcpy(before.get(), m.get(), sizeof(TConfigModel));
    EXPECT_EQ(AppendPoint(*m, u"extra", "ttyX", 1.0f, true), ModelResult::TooManyPoints);
    EXPECT_EQ(std::memcmp(before.get(), m.get(), sizeof(TConfigModel)), 0);
    EXPECT_TRUE(CheckInvariants(*m));
}

TEST(Records, AppendPointWritesCodesAndPadsNameWithZeros) {
    auto m = NewModel();
    std::u16string name(30, u'Я');
    ASSERT_EQ(AppendPoint(*m, name, "COM3", 4.2f, true), ModelResult::Ok);
    const TConnectionPoint& p = m->points[0];
    EXPECT_EQ(p.index, 0);
    for (int i = 0; i < 30; ++i) EXPECT_EQ(p.name[i], u'Я');
    for (int i = 30; i < kNameUnits; ++i) EXPECT_EQ(p.name[i], 0) << i;
    EXPECT_STREQ(p.portName, "COM3");
    EXPECT_EQ(p.baudCode, 9);
    EXPECT_EQ(p.dataBitsCode, 3);
    EXPECT_EQ(p.parityCode, 0);
    EXPECT_EQ(p.stopBitsCode, 2);
    EXPECT_FLOAT_EQ(p.pollPeriod, 4.2f);
    EXPECT_EQ(p.active, 1);
}

TEST(Records, LongNamesAreCutAndNeverOverflowTheField) {
    auto m = NewModel();
    std::u16string name(200, u'x');
    std::string port(40, 'P');
    ASSERT_EQ(AppendPoint(*m, name, port, 1.0f, false), ModelResult::Ok);
    EXPECT_EQ(NameView(m->points[0].name, kNameUnits).size(), 50u);
    EXPECT_EQ(m->points[0].name[50], 0);
    EXPECT_EQ(PortNameView(m->points[0].portName).size(), 19u);
    EXPECT_EQ(m->points[0].reserved, 0);
    ASSERT_EQ(AppendDevice(*m, 0, name, 0, 1, 1), ModelResult::Ok);
    EXPECT_EQ(NameView(m->points[0].devices[0].name, kNameUnits).size(), 50u);
    EXPECT_TRUE(IsZero(m->points[0].devices[1]));
}

TEST(Records, DeletingFirstOfThreePointsRenumbersPointsAndDevices) {
    auto m = NewModel();
    for (int i = 0; i < 3; ++i) {
        ASSERT_EQ(AppendPoint(*m, u"P", PortName(i), 1.0f, true), ModelResult::Ok);
        ASSERT_EQ(AppendDevice(*m, i, u"D", 0, 1, 1), ModelResult::Ok);
        ASSERT_EQ(AppendDevice(*m, i, u"E", 0, 2, 1), ModelResult::Ok);
    }
    ASSERT_EQ(DeletePoint(*m, 0), ModelResult::Ok);
    EXPECT_EQ(m->pointCount, 2);
    EXPECT_EQ(m->points[0].index, 0);
    EXPECT_EQ(m->points[1].index, 1);
    EXPECT_STREQ(m->points[0].portName, "ttyS1");
    EXPECT_STREQ(m->points[1].portName, "ttyS2");
    EXPECT_EQ(m->points[1].devices[0].pointIndex, 1);
    EXPECT_EQ(m->points[1].devices[1].pointIndex, 1);
    EXPECT_TRUE(IsZero(m->points[2]));
    EXPECT_TRUE(CheckInvariants(*m));
}

TEST(Records, DeletingMiddleDeviceShiftsAndZeroesTheLastSlot) {
    auto m = NewModel();
    ASSERT_EQ(AppendPoint(*m, u"P", "a", 1.0f, true), ModelResult::Ok);
    for (int a = 1; a <= 3; ++a)
        ASSERT_EQ(AppendDevice(*m, 0, u"D", 0, static_cast<uint8_t>(a), 1), ModelResult::Ok);
    ASSERT_EQ(DeleteDevice(*m, 0, 1), ModelResult::Ok);
    const TConnectionPoint& p = m->points[0];
    EXPECT_EQ(p.deviceCount, 2);
    EXPECT_EQ(p.devices[0].index, 0);
    EXPECT_EQ(p.devices[1].index, 1);
    EXPECT_EQ(p.devices[0].address, 1);
    EXPECT_EQ(p.devices[1].address, 3);
    EXPECT_TRUE(IsZero(p.devices[2]));
    EXPECT_TRUE(CheckInvariants(*m));
}

TEST(Records, DeleteOnlyDeviceAndOnlyPoint) {
    auto m = NewModel();
    ASSERT_EQ(AppendPoint(*m, u"P", "a", 1.0f, true), ModelResult::Ok);
    ASSERT_EQ(AppendDevice(*m, 0, u"D", 0, 7, 1), ModelResult::Ok);
    ASSERT_EQ(DeleteDevice(*m, 0, 0), ModelResult::Ok);
    EXPECT_EQ(m->points[0].deviceCount, 0);
    EXPECT_TRUE(IsZero(m->points[0].devices[0]));
    ASSERT_EQ(DeletePoint(*m, 0), ModelResult::Ok);
    EXPECT_TRUE(IsZero(*m->points));
    EXPECT_EQ(DeletePoint(*m, 0), ModelResult::BadIndex);
    EXPECT_EQ(DeleteDevice(*m, 0, 0), ModelResult::BadIndex);
}

TEST(Records, AppendDeviceToEmptyPointTakesSlotZero) {
    auto m = NewModel();
    ASSERT_EQ(AppendPoint(*m, u"P", "a", 1.0f, true), ModelResult::Ok);
    ASSERT_EQ(AppendPoint(*m, u"Q", "b", 1.0f, true), ModelResult::Ok);
    ASSERT_EQ(AppendDevice(*m, 1, u"D", 1, 5, 0x21u), ModelResult::Ok);
    const TDevice& d = m->points[1].devices[0];
    EXPECT_EQ(d.index, 0);
    EXPECT_EQ(d.pointIndex, 1);
    EXPECT_EQ(d.paramMask, 0x21u);
    EXPECT_TRUE(CheckInvariants(*m));
}

TEST(Records, The129thDeviceIsRefusedAndNothingIsWrittenBeyondTheTable) {
    auto m = NewModel();
    ASSERT_EQ(AppendPoint(*m, u"P", "a", 1.0f, true), ModelResult::Ok);
    ASSERT_EQ(AppendPoint(*m, u"Q", "b", 1.0f, true), ModelResult::Ok);
    for (int i = 0; i < kMaxDevicesPerPoint; ++i)
        ASSERT_EQ(AppendDevice(*m, 0, u"D", 0, static_cast<uint8_t>(i + 1), 1), ModelResult::Ok);
    ASSERT_EQ(AppendDevice(*m, 1, u"M", 0, 200, 1), ModelResult::Ok);
    EXPECT_EQ(AppendDevice(*m, 0, u"X", 0, 250, 1), ModelResult::TooManyDevices);
    EXPECT_EQ(MoveDevice(*m, 1, 0, 0), ModelResult::TooManyDevices);
    EXPECT_EQ(m->points[0].deviceCount, 128);
    EXPECT_EQ(m->points[1].deviceCount, 1);
    EXPECT_TRUE(CheckInvariants(*m));
}

TEST(Records, MovedDeviceBecomesLastOfTheNewPointAndKeepsItsContents) {
    auto m = NewModel();
    ASSERT_EQ(AppendPoint(*m, u"P", "a", 1.0f, true), ModelResult::Ok);
    ASSERT_EQ(AppendPoint(*m, u"Q", "b", 1.0f, true), ModelResult::Ok);
    ASSERT_EQ(AppendDevice(*m, 0, u"A", 0, 1, 3), ModelResult::Ok);
    ASSERT_EQ(AppendDevice(*m, 0, u"B", 1, 2, 1), ModelResult::Ok);
    ASSERT_EQ(AppendDevice(*m, 1, u"C", 0, 1, 1), ModelResult::Ok);
    m->points[0].devices[0].values[1] = 42.0f;
    m->points[0].devices[0].itemNumbers[1] = 17;
    ASSERT_EQ(MoveDevice(*m, 0, 0, 1), ModelResult::Ok);
    EXPECT_EQ(m->points[0].deviceCount, 1);
    EXPECT_EQ(m->points[0].devices[0].address, 2);
    EXPECT_EQ(m->points[0].devices[0].index, 0);
    const TDevice& moved = m->points[1].devices[1];
    EXPECT_EQ(m->points[1].deviceCount, 2);
    EXPECT_EQ(moved.index, 1);
    EXPECT_EQ(moved.pointIndex, 1);
    EXPECT_EQ(NameView(moved.name, kNameUnits), u"A");
    EXPECT_EQ(moved.values[1], 42.0f);
    EXPECT_EQ(moved.itemNumbers[1], 17);
    EXPECT_TRUE(IsZero(m->points[0].devices[1]));
}

TEST(Records, UpdateDeviceReplacesMaskAndZeroesOldNameUnits) {
    auto m = NewModel();
    ASSERT_EQ(AppendPoint(*m, u"P", "a", 1.0f, true), ModelResult::Ok);
    ASSERT_EQ(AppendDevice(*m, 0, u"LongDeviceName", 0, 1, 0xFFu), ModelResult::Ok);
    ASSERT_EQ(UpdateDevice(*m, 0, 0, u"D", 1, 9, 0x20u), ModelResult::Ok);
    const TDevice& d = m->points[0].devices[0];
    EXPECT_EQ(d.paramMask, 0x20u);
    EXPECT_EQ(d.address, 9);
    for (int i = 1; i < kNameUnits; ++i) EXPECT_EQ(d.name[i], 0);
}

TEST(Records, UpdatePointKeepsDevicesAndResetsCurrentDevice) {
    auto m = NewModel();
    ASSERT_EQ(AppendPoint(*m, u"Point", "a", 1.0f, true), ModelResult::Ok);
    ASSERT_EQ(AppendDevice(*m, 0, u"D", 0, 1, 1), ModelResult::Ok);
    m->points[0].currentDevice = 5;
    ASSERT_EQ(UpdatePoint(*m, 0, u"P", "b", 2.5f, false), ModelResult::Ok);
    EXPECT_EQ(m->points[0].currentDevice, 0);
    EXPECT_EQ(m->points[0].deviceCount, 1);
    EXPECT_EQ(m->points[0].active, 0);
    EXPECT_STREQ(m->points[0].portName, "b");
    EXPECT_EQ(m->points[0].name[1], 0);
}

TEST(Records, ClearModelZeroesEverythingButTheCatalogue) {
    auto m = NewModel();
    m->paramNames[0][0] = u'T';
    ASSERT_EQ(AppendPoint(*m, u"P", "a", 1.0f, true), ModelResult::Ok);
    ASSERT_EQ(AppendDevice(*m, 0, u"D", 0, 1, 1), ModelResult::Ok);
    ClearModel(*m);
    EXPECT_EQ(m->pointCount, 0);
    EXPECT_TRUE(IsZero(m->points));
    EXPECT_EQ(m->paramNames[0][0], u'T');
    EXPECT_EQ(m->typeCount, 2);
}

TEST(Records, CheckInvariantsCatchesBrokenModels) {
    struct Case {
        const char* what;
        void (*breakIt)(TConfigModel&);
    };
    const Case cases[] = {
        {"wrong point index", [](TConfigModel& m) { m.points[0].index = 3; }},
        {"stale data past count", [](TConfigModel& m) { m.points[1].name[0] = u'x'; }},
        {"device count > 128", [](TConfigModel& m) { m.points[0].deviceCount = 200; }},
        {"duplicate address", [](TConfigModel& m) { m.points[0].devices[1].address = 1; }},
        {"type out of catalogue", [](TConfigModel& m) { m.points[0].devices[0].typeIndex = 9; }},
        {"mask outside type", [](TConfigModel& m) { m.points[0].devices[1].paramMask = 0x2u; }},
        {"wrong device point index", [](TConfigModel& m) { m.points[0].devices[0].pointIndex = 4; }},
        {"unterminated name",
         [](TConfigModel& m) {
             for (auto& u : m.points[0].name) u = u'a';
         }},
    };
    for (const auto& c : cases) {
        auto m = NewModel();
        ASSERT_EQ(AppendPoint(*m, u"P", "a", 1.0f, true), ModelResult::Ok);
        ASSERT_EQ(AppendDevice(*m, 0, u"D", 0, 1, 1), ModelResult::Ok);
        ASSERT_EQ(AppendDevice(*m, 0, u"E", 1, 2, 1), ModelResult::Ok);
        ASSERT_TRUE(CheckInvariants(*m));
        c.breakIt(*m);
        EXPECT_FALSE(CheckInvariants(*m)) << c.what;
    }
}
