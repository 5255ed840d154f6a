#include "ui/dialog_logic.h"

#include <gtest/gtest.h>

#include "model_fixture.h"

namespace qora {
namespace {

const std::vector<std::string> kPorts = {"COM1", "COM2", "com3", "ttyUSB0"};

TEST(FreePorts, PortsOfExistingPointsAreNotOfferedForANewPoint) {
    auto m = test::MakeModel();
    test::AddPoint(*m, QStringLiteral("A"), "COM2");
    test::AddPoint(*m, QStringLiteral("B"), "COM3");  // differs in case from "com3": still free
    EXPECT_EQ(FreePorts(*m, kPorts), (QStringList{"COM1", "com3", "ttyUSB0"}));
}

TEST(FreePorts, EditingAPointOffersItsOwnPortAndPreselectsIt) {
    auto m = test::MakeModel();
    test::AddPoint(*m, QStringLiteral("A"), "COM2");
    test::AddPoint(*m, QStringLiteral("B"), "ttyUSB0");
    const QStringList ports = FreePorts(*m, kPorts, 1);
    EXPECT_EQ(ports, (QStringList{"COM1", "com3", "ttyUSB0"}));
    EXPECT_EQ(PreselectPort(ports, QStringLiteral("ttyUSB0")), 2);
    EXPECT_EQ(PreselectPort(ports, QStringLiteral("COM9")), 0);
    EXPECT_EQ(PreselectPort({}, QStringLiteral("COM9")), -1);
}

TEST(FreePorts, EveryPortUsedLeavesNothing) {
    auto m = test::MakeModel();
    for (const auto& p : kPorts) test::AddPoint(*m, QStringLiteral("X"), p.c_str());
    EXPECT_TRUE(FreePorts(*m, kPorts).isEmpty());
}

TEST(DefaultNames, PointNameCountsFromOne) {
    EXPECT_EQ(DefaultPointName(0), QStringLiteral("Адаптер_1"));
    EXPECT_EQ(DefaultPointName(49), QStringLiteral("Адаптер_50"));
}

TEST(FreeAddresses, UsedAddressesAreSkippedAndTheFirstFreePreselected) {
    auto m = test::MakeModel();
    test::AddPoint(*m, QStringLiteral("A"), "COM1");
    test::AddDevice(*m, 0, QStringLiteral("d1"), 0, 1, 1);
    test::AddDevice(*m, 0, QStringLiteral("d3"), 0, 3, 1);
    const TAddressChoice c = FreeAddresses(*m, 0, 0, 0, 0);
    ASSERT_EQ(c.addresses.size(), 252u);
    EXPECT_EQ(c.addresses[0], 2);
    EXPECT_EQ(c.addresses[1], 4);
    EXPECT_EQ(c.addresses[2], 5);
    EXPECT_EQ(c.addresses.back(), 254);
    EXPECT_EQ(c.selected, 0);
}

TEST(FreeAddresses, TheEditedDeviceKeepsItsOwnAddressOnItsOwnPoint) {
    auto m = test::MakeModel();
    test::AddPoint(*m, QStringLiteral("A"), "COM1");
    test::AddPoint(*m, QStringLiteral("B"), "COM2");
    test::AddDevice(*m, 0, QStringLiteral("d1"), 0, 1, 1);
    test::AddDevice(*m, 0, QStringLiteral("d3"), 0, 3, 1);
    test::AddDevice(*m, 1, QStringLiteral("e3"), 0, 3, 1);
    TAddressChoice c = FreeAddresses(*m, 0, 0, 3, 0);
    EXPECT_EQ(c.addresses[0], 2);
    EXPECT_EQ(c.addresses[1], 3);
    EXPECT_EQ(c.addresses[c.selected], 3);
    // Switching to a point where 3 is taken: the first free address is chosen.
    c = FreeAddresses(*m, 1, 0, 3, 3);
    EXPECT_EQ(std::count(c.addresses.begin(), c.addresses.end(), 3), 0);
    EXPECT_EQ(c.addresses[c.selected], 1);
    // And a remembered address free on the new point is kept.
    c = FreeAddresses(*m, 1, 0, 3, 77);
    EXPECT_EQ(c.addresses[c.selected], 77);
}

TEST(FreeAddresses, AddressTextParsing) {
    EXPECT_EQ(ParseAddressText(QStringLiteral("17")), 17);
    EXPECT_EQ(ParseAddressText(QString()), 0);
    EXPECT_EQ(ParseAddressText(QStringLiteral("x1")), 0);
}

TEST(KindChoice, WithoutPointsOnlyTheAdapterIsOffered) {
    const TKindChoice c = MakeKindChoice(0, {});
    EXPECT_EQ(c.entries, QStringList{QStringLiteral("Адаптер")});
    EXPECT_EQ(c.selected, 0);
    EXPECT_EQ(c.defaultPoint, 0);
}

TEST(KindChoice, ASelectedNodePreselectsTheDeviceOnItsPoint) {
    TKindChoice c = MakeKindChoice(3, {2, 5});
    EXPECT_EQ(c.entries, (QStringList{QStringLiteral("Адаптер"), QStringLiteral("Устройство")}));
    EXPECT_EQ(c.selected, 1);
    EXPECT_EQ(c.defaultPoint, 2);
    c = MakeKindChoice(3, {});
    EXPECT_EQ(c.selected, 0);
    EXPECT_EQ(c.defaultPoint, 0);
}

TEST(Selection, AfterDeletesThePreviousNodeIsChosen) {
    EXPECT_EQ(SelectionAfterDeviceDelete(2, 0), (TNodeRef{2, -1}));
    EXPECT_EQ(SelectionAfterDeviceDelete(2, 3), (TNodeRef{2, 2}));
    EXPECT_EQ(SelectionAfterPointDelete(0), (TNodeRef{-1, -1}));
    EXPECT_EQ(SelectionAfterPointDelete(4), (TNodeRef{3, -1}));
}

class PeriodRu : public ::testing::Test {
  protected:
    QLocale ru{QLocale::Russian, QLocale::Russia};
    QLocale en{QLocale::English, QLocale::UnitedStates};
};

TEST_F(PeriodRu, KeyFilterPassesDigitsAndBackspaceAndMapsSeparatorsOnce) {
    struct Case {
        const char* field;
        char16_t key;
        char16_t expected;  // 0: dropped
    } cases[] = {
        {"", u'0', u'0'}, {"4", u'9', u'9'}, {"4", u'\b', u'\b'}, {"4", u',', u','}, {"4", u'.', u','},
        {"4,2", u'.', 0}, {"4,2", u',', 0},  {"4", u'a', 0},      {"4", u'-', 0},    {"4", u' ', 0},
        {"4", u'+', 0},   {"4", u'e', 0},    {"", u'٣', 0},
    };
    for (const Case& c : cases)
        EXPECT_EQ(FilterPeriodKey(QString::fromUtf8(c.field), QChar(c.key), ru), QChar(c.expected))
            << c.field << " + " << static_cast<int>(c.key);
    EXPECT_EQ(FilterPeriodKey(QStringLiteral("4"), QLatin1Char(','), en), QLatin1Char('.'));
}

TEST_F(PeriodRu, ParseAcceptsWhatTheFilterProducesOnly) {
    EXPECT_FLOAT_EQ(*ParsePeriod(QStringLiteral("4,2"), ru), 4.2f);
    EXPECT_FLOAT_EQ(*ParsePeriod(QStringLiteral("10"), ru), 10.0f);
    EXPECT_FLOAT_EQ(*ParsePeriod(QStringLiteral(",5"), ru), 0.5f);
    EXPECT_FLOAT_EQ(*ParsePeriod(QStringLiteral("5,"), ru), 5.0f);
    EXPECT_FLOAT_EQ(*ParsePeriod(QStringLiteral("0"), ru), 0.0f);
    for (const char* bad : {"", ",", "4.2", "4,2,1", "-1", "1e3", " 4", "abc", "1 000", "nan", "inf",
                            "999999999999999999999999999999999999999999"})
        EXPECT_FALSE(ParsePeriod(QString::fromUtf8(bad), ru)) << bad;
}

TEST_F(PeriodRu, DefaultAndEditTextsFollowTheLocale) {
    EXPECT_EQ(DefaultPeriodText(ru), QStringLiteral("4,2"));
    EXPECT_EQ(DefaultPeriodText(en), QStringLiteral("4.2"));
    EXPECT_EQ(PeriodText(4.2f, ru), QStringLiteral("4,200"));
    EXPECT_EQ(PeriodText(12345.0f, ru), QStringLiteral("12345,000"));
}

TEST(Questions, DeleteQuestionsQuoteTheNode) {
    EXPECT_EQ(DeleteQuestion(QStringLiteral("D1 (T №5)")),
              QStringLiteral("Вы действительно желаете удалить \"D1 (T №5)\"?"));
    EXPECT_EQ(DeletePointWithDevicesQuestion(QStringLiteral("L1")),
              QStringLiteral("К адаптеру \"L1\" подключены устройства.\nПродолжить операцию удаления?"));
}

TEST(ParamBoxes, ChangingTypeShowsItsBoxesAndUnticksAll) {
    TParamBoxes b;
    b.ShowType(0b100101);
    b.SetTicked(2, true);
    b.SetTicked(7, true);  // a hidden box keeps a bit too
    EXPECT_TRUE(b.confirming());
    b.ShowType(0b1010);
    EXPECT_EQ(b.visible(), 0b1010u);
    EXPECT_EQ(b.ticked(), 0u);
    EXPECT_FALSE(b.confirming());
}

TEST(ParamBoxes, BoxesAreStackedFifteenApartInAscendingOrder) {
    TParamBoxes b;
    b.ShowType((1u << 3) | (1u << 9) | (1u << 31));
    EXPECT_EQ(b.TopOf(3), 15);
    EXPECT_EQ(b.TopOf(9), 30);
    EXPECT_EQ(b.TopOf(31), 45);
    EXPECT_EQ(b.FirstVisible(), 3);
}

TEST(ParamBoxes, OkRuleFollowsEveryTickChange) {
    TParamBoxes b;
    b.ShowType(0b111);
    EXPECT_EQ(b.PressOk(), TParamBoxes::OkResult::Refuse);
    b.SetTicked(1, true);
    EXPECT_EQ(b.PressOk(), TParamBoxes::OkResult::Confirm);
    b.SetTicked(2, true);
    b.SetTicked(1, false);  // another box is still ticked
    EXPECT_EQ(b.PressOk(), TParamBoxes::OkResult::Confirm);
    b.SetTicked(2, false);
    EXPECT_EQ(b.PressOk(), TParamBoxes::OkResult::Refuse);
    EXPECT_EQ(b.FirstVisible(), 0);
}

TEST(ParamBoxes, NoVisibleBoxMeansNothingToTick) {
    TParamBoxes b;
    b.ShowType(0);
    EXPECT_EQ(b.FirstVisible(), -1);
    EXPECT_EQ(b.PressOk(), TParamBoxes::OkResult::Refuse);
}

}  // namespace
}  // namespace qora
