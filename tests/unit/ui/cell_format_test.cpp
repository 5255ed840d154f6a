#include "ui/cell_format.h"

#include <gtest/gtest.h>

#include <cmath>

#include "model_fixture.h"

namespace qora {
namespace {

class CellFormatRu : public ::testing::Test {
  protected:
    void SetUp() override { QLocale::setDefault(QLocale(QLocale::Russian, QLocale::Russia)); }
    void TearDown() override { QLocale::setDefault(QLocale::c()); }
};

TEST_F(CellFormatRu, ValueCellHasThreeDecimalsCommaAndNoGroupSeparator) {
    struct Case {
        float v;
        const char* text;
    } cases[] = {
        {kNoValue, "9999999,000"},
        {0.0f, "0,000"},
        {-0.0f, "0,000"},
        {4.2f, "4,200"},
        {-12.5f, "-12,500"},
        {1234.5678f, "1234,568"},
        {0.0005f, "0,001"},
        {1e16f, "1,00000002725642E+16"},
        {1e15f, "999999986991104,000"},
    };
    for (const Case& c : cases) EXPECT_EQ(FormatValue(c.v), QString::fromUtf8(c.text)) << c.v;
}

TEST_F(CellFormatRu, QualityCellsCarryTheirTextsAndImages) {
    auto good = QualityCell(192);
    ASSERT_TRUE(good);
    EXPECT_EQ(good->text, QStringLiteral("Норма - без уточнений"));
    EXPECT_EQ(good->image, kImgNormal);
    auto nc = QualityCell(8);
    ASSERT_TRUE(nc);
    EXPECT_EQ(nc->text, QStringLiteral("Плохое - устройство не подключено"));
    EXPECT_EQ(nc->image, kImgFault);
    auto cf = QualityCell(24);
    ASSERT_TRUE(cf);
    EXPECT_EQ(cf->text, QStringLiteral("Плохое - устройство не отвечает"));
    EXPECT_EQ(cf->image, kImgFault);
    for (uint16_t q : {0, 1, 4, 28, 64, 193, 0xFFFF}) EXPECT_FALSE(QualityCell(q)) << q;
}

TEST_F(CellFormatRu, TimestampZeroShowsTheEpochDateOnly) {
    EXPECT_EQ(FormatTimestamp(0.0), QStringLiteral("30.12.1899"));
}

TEST_F(CellFormatRu, MidnightShowsTheDateOnlyAndOtherTimesAddTheLongTime) {
    // 2024-03-01 is day 45352.
    EXPECT_EQ(FormatTimestamp(45352.0), QStringLiteral("01.03.2024"));
    EXPECT_EQ(FormatTimestamp(45352.5), QStringLiteral("01.03.2024 12:00:00"));
    EXPECT_EQ(FormatTimestamp(45352.0 + (13 * 3600 + 5 * 60 + 9) / 86400.0),
              QStringLiteral("01.03.2024 13:05:09"));
    // Half a millisecond before midnight rounds to the next day's midnight.
    EXPECT_EQ(FormatTimestamp(45352.0 + (86400000.0 - 0.4) / 86400000.0), QStringLiteral("02.03.2024"));
}

TEST_F(CellFormatRu, NegativeTimestampsCountDaysBackAndTheFractionForward) {
    EXPECT_EQ(FormatTimestamp(-1.25), QStringLiteral("29.12.1899 06:00:00"));
}

TEST_F(CellFormatRu, HostileTimestampsGiveAnEmptyCell) {
    for (double v : {std::nan(""), static_cast<double>(INFINITY), -static_cast<double>(INFINITY), 1e300,
                     -1e300, 3e6, -7e5})
        EXPECT_TRUE(FormatTimestamp(v).isEmpty()) << v;
}

TEST_F(CellFormatRu, LongTimeFormatDropsTheTimeZone) {
    EXPECT_FALSE(LongTimeFormat(QLocale()).contains(QLatin1Char('t')));
    EXPECT_EQ(LongTimeFormat(QLocale()), QStringLiteral("HH:mm:ss"));
}

TEST(CellCaptions, PointAndDeviceNodesReadAsInTheTree) {
    auto m = test::MakeModel();
    test::AddPoint(*m, QStringLiteral("L1"), "COM3");
    test::AddDevice(*m, 0, QStringLiteral("D1"), 0, 5, 1);
    EXPECT_EQ(PointCaption(m->points[0]), QStringLiteral("L1 (COM3)"));
    EXPECT_EQ(DeviceCaption(*m, m->points[0].devices[0]), QStringLiteral("D1 (T №5)"));
    EXPECT_EQ(PointRowCaption(*m, m->points[0].devices[0], 2), QStringLiteral("D1 (T №5).P2"));
}

TEST(CellCaptions, TypeOutsideTheCatalogueShowsQuestionMark) {
    auto m = test::MakeModel();
    test::AddPoint(*m, QStringLiteral("L1"), "COM3");
    test::AddDevice(*m, 0, QStringLiteral("D1"), 7, 5, 1);
    EXPECT_EQ(DeviceCaption(*m, m->points[0].devices[0]), QStringLiteral("D1 (? №5)"));
    m->typeCount = 200;  // a count beyond the table is bounded by it
    EXPECT_EQ(TypeName(*m, 100), QStringLiteral("?"));
}

TEST(CellImages, DeviceFaultsAfterFourUnansweredOrWhenNeverReplied) {
    TDevice d{};
    d.replied = 1;
    d.unanswered = 3;
    EXPECT_EQ(DeviceNodeImage(d), kImgNormal);
    d.unanswered = 4;
    EXPECT_EQ(DeviceNodeImage(d), kImgFault);
    d.unanswered = 0;
    d.replied = 0;
    EXPECT_EQ(DeviceNodeImage(d), kImgFault);
}

TEST(CellImages, PointFaultsOnlyWhenItsPortExistsAndIsClosed) {
    EXPECT_EQ(PointNodeImage(false, false), kImgFault) << "no port: nothing is polled";
    EXPECT_EQ(PointNodeImage(true, true), kImgNormal);
    EXPECT_EQ(PointNodeImage(true, false), kImgFault);
}

TEST(Caption, EmptyConfigurationIsNotSaveableAndHasNoMarker) {
    const TCaption c = MakeCaption(QStringLiteral("Новая"), QStringLiteral("1.0.0"), true, true, 0);
    EXPECT_EQ(c.text, QStringLiteral("Новая - QORA OPC Server v1.0.0"));
    EXPECT_FALSE(c.fileSaveEnabled);
}

TEST(Caption, UntitledWithPointsIsSaveableAndUnsavedAddsMarker) {
    TCaption c = MakeCaption(QStringLiteral("Новая"), QStringLiteral("1.0.0"), false, true, 1);
    EXPECT_EQ(c.text, QStringLiteral("Новая - QORA OPC Server v1.0.0"));
    EXPECT_TRUE(c.fileSaveEnabled);
    c = MakeCaption(QStringLiteral("Новая"), QStringLiteral("1.0.0"), true, true, 1);
    EXPECT_EQ(c.text, QStringLiteral("Новая - QORA OPC Server v1.0.0 (Не сохранено)"));
    EXPECT_TRUE(c.fileSaveEnabled);
    c = MakeCaption(QStringLiteral("plant"), QStringLiteral("1.0.0"), false, false, 3);
    EXPECT_FALSE(c.fileSaveEnabled);
}

TEST(Caption, WithoutVersionTheTitleStandsAlone) {
    const TCaption c = MakeCaption(QStringLiteral("plant"), std::nullopt, true, false, 1);
    EXPECT_EQ(c.text, QStringLiteral("QORA OPC Server (Не сохранено)"));
}

TEST(Caption, PlaceholdersInTheNameAreNotExpanded) {
    const TCaption c = MakeCaption(QStringLiteral("a%1b%2"), QStringLiteral("1.0"), false, false, 1);
    EXPECT_EQ(c.text, QStringLiteral("a%1b%2 - QORA OPC Server v1.0"));
}

}  // namespace
}  // namespace qora
