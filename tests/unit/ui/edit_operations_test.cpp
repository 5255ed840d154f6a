#include "ui/edit_operations.h"

#include <gtest/gtest.h>

#include <deque>

#include "model_fixture.h"
#include "ui/cell_format.h"
#include "ui/ui_texts.h"

namespace qora {
namespace {

// Answers the dialogs from scripted functions and records what was shown.
class FakeDialogs : public IEditDialogs {
  public:
    std::function<bool(const QStringList&, int&)> kind = [](const QStringList&, int&) { return true; };
    std::function<bool(TPointDialogData&)> point = [](TPointDialogData&) { return false; };
    std::function<bool(TDeviceDialogData&)> device = [](TDeviceDialogData&) { return false; };
    std::deque<bool> answers;
    QStringList messages;
    QStringList questions;
    QStringList kindEntries;
    int kindSelected = -1;
    int pointDialogs = 0;
    int deviceDialogs = 0;

    bool ChooseKind(const QStringList& entries, int& selected) override {
        kindEntries = entries;
        kindSelected = selected;
        return kind(entries, selected);
    }
    bool RunPointDialog(TPointDialogData& d) override {
        ++pointDialogs;
        return point(d);
    }
    bool RunDeviceDialog(TDeviceDialogData& d) override {
        ++deviceDialogs;
        return device(d);
    }
    void Message(const QString& text) override { messages << text; }
    bool Question(const QString& text) override {
        questions << text;
        if (answers.empty()) return false;
        bool a = answers.front();
        answers.pop_front();
        return a;
    }
};

class EditOperations : public ::testing::Test {
  protected:
    void SetUp() override {
        QLocale::setDefault(QLocale(QLocale::Russian, QLocale::Russia));
        TEditHooks h;
        h.stopPolling = [this] { calls << QStringLiteral("stop"); };
        h.startPolling = [this] { calls << QStringLiteral("start"); };
        h.rebuildTree = [this](int p, int d) { calls << QStringLiteral("rebuild %1 %2").arg(p).arg(d); };
        h.clearList = [this] { calls << QStringLiteral("clear"); };
        h.changed = [this] { calls << QStringLiteral("changed"); };
        ops = std::make_unique<TEditOperations>(
            *m, [this] { return ports; }, dlg, h);
    }
    void TearDown() override { QLocale::setDefault(QLocale::c()); }

    static int Select(const QStringList& entries, const QString& which) {
        return static_cast<int>(entries.indexOf(which));
    }

    test::ModelPtr m = test::MakeModel();
    std::vector<std::string> ports = {"COM1", "COM2", "COM3"};
    FakeDialogs dlg;
    QStringList calls;
    std::unique_ptr<TEditOperations> ops;
};

TEST_F(EditOperations, AddingTheFirstPointOffersAdapterOnlyAndAppendsIt) {
    dlg.point = [](TPointDialogData& d) {
        EXPECT_EQ(d.caption, QStringLiteral("Добавление адаптера"));
        EXPECT_EQ(d.name, QStringLiteral("Адаптер_1"));
        EXPECT_EQ(d.ports, (QStringList{"COM1", "COM2", "COM3"}));
        EXPECT_EQ(d.portIndex, 0);
        EXPECT_EQ(d.periodText, QStringLiteral("4,2"));
        EXPECT_TRUE(d.active);
        d.name = QStringLiteral("L1");
        d.portIndex = 1;
        d.period = 2.5f;
        return true;
    };
    ops->DevAddExecute({});
    EXPECT_EQ(dlg.kindEntries, QStringList{QStringLiteral("Адаптер")});
    ASSERT_EQ(m->pointCount, 1);
    EXPECT_EQ(PortNameView(m->points[0].portName), "COM2");
    EXPECT_FLOAT_EQ(m->points[0].pollPeriod, 2.5f);
    EXPECT_EQ(calls, (QStringList{"stop", "rebuild 0 -1", "changed", "start"}));
}

TEST_F(EditOperations, TheFiftyFirstPointIsRefusedBeforeTheDialog) {
    ports.clear();
    for (int i = 0; i < 60; ++i) ports.push_back("P" + std::to_string(i));
    for (int i = 0; i < 49; ++i)
        test::AddPoint(*m, QStringLiteral("x"), ports[static_cast<size_t>(i)].c_str());
    dlg.kind = [](const QStringList&, int& s) {
        s = 0;
        return true;
    };
    QString offered;
    dlg.point = [&](TPointDialogData& d) {
        offered = d.name;
        d.period = 1;
        return true;
    };
    ops->DevAddExecute({});
    EXPECT_EQ(offered, QStringLiteral("Адаптер_50"));
    ASSERT_EQ(m->pointCount, 50);
    calls.clear();
    ops->DevAddExecute({});
    EXPECT_EQ(dlg.pointDialogs, 1);
    EXPECT_EQ(dlg.messages,
              QStringList{QStringLiteral("Достигнуто максимальное количество точек подключения.")});
    EXPECT_EQ(calls, (QStringList{"stop", "start"}));
}

TEST_F(EditOperations, NoFreePortRefusesANewPoint) {
    for (const auto& p : ports) test::AddPoint(*m, QStringLiteral("x"), p.c_str());
    dlg.kind = [](const QStringList&, int& s) {
        s = 0;
        return true;
    };
    ops->DevAddExecute({});
    EXPECT_EQ(dlg.pointDialogs, 0);
    EXPECT_EQ(dlg.messages, QStringList{QStringLiteral("Отсутствуют свободные коммуникационные порты.")});
    EXPECT_EQ(calls, (QStringList{"stop", "start"}));
}

TEST_F(EditOperations, CancellingAnyDialogChangesNothingAndRestartsPolling) {
    test::AddPoint(*m, QStringLiteral("L1"), "COM1");
    dlg.kind = [](const QStringList&, int&) { return false; };
    ops->DevAddExecute({0, -1});
    dlg.kind = [](const QStringList& e, int& s) {
        s = Select(e, QStringLiteral("Адаптер"));
        return true;
    };
    ops->DevAddExecute({0, -1});
    dlg.kind = [](const QStringList& e, int& s) {
        s = Select(e, QStringLiteral("Устройство"));
        return true;
    };
    ops->DevAddExecute({0, -1});
    ops->DevEditExecute({0, -1});
    ops->DevDeleteExecute({0, -1}, QStringLiteral("L1 (COM1)"));  // answered No
    ops->DevEditExecute({});
    ops->DevDeleteExecute({}, {});
    EXPECT_EQ(m->pointCount, 1);
    EXPECT_EQ(m->points[0].deviceCount, 0);
    EXPECT_EQ(calls.count(QStringLiteral("stop")), 7);
    EXPECT_EQ(calls.count(QStringLiteral("start")), 7);
    EXPECT_EQ(calls.count(QStringLiteral("changed")), 0);
}

TEST_F(EditOperations, AddingADeviceDefaultsToTheSelectedNodesPoint) {
    test::AddPoint(*m, QStringLiteral("A"), "COM1");
    test::AddPoint(*m, QStringLiteral("B"), "COM2");
    test::AddDevice(*m, 1, QStringLiteral("d1"), 0, 1, 1);
    test::AddDevice(*m, 1, QStringLiteral("d3"), 0, 3, 1);
    dlg.device = [](TDeviceDialogData& d) {
        EXPECT_EQ(d.caption, QStringLiteral("Добавление устройства"));
        EXPECT_EQ(d.name, QStringLiteral("Устройство"));
        EXPECT_EQ(d.points, (QStringList{"A (COM1)", "B (COM2)"}));
        EXPECT_EQ(d.pointIndex, 1);
        EXPECT_EQ(d.types, (QStringList{"T", "U"}));
        EXPECT_EQ(d.typeIndex, 0);
        EXPECT_FALSE(d.editing);
        EXPECT_EQ(d.editedAddress, 0);
        d.name = QStringLiteral("D2");
        d.typeIndex = 1;
        d.address = 2;
        d.paramMask = 0b1000;
        return true;
    };
    ops->DevAddExecute({1, 1});  // a device node of point 1
    EXPECT_EQ(dlg.kindSelected, 1);
    ASSERT_EQ(m->points[1].deviceCount, 3);
    const TDevice& d = m->points[1].devices[2];
    EXPECT_EQ(d.address, 2);
    EXPECT_EQ(d.typeIndex, 1);
    EXPECT_EQ(d.paramMask, 0b1000u);
    EXPECT_EQ(calls, (QStringList{"stop", "rebuild 1 2", "changed", "start"}));
}

TEST_F(EditOperations, AFullPointRefusesAnotherDeviceWhenConfirmed) {
    test::AddPoint(*m, QStringLiteral("A"), "COM1");
    for (int a = 1; a <= kMaxDevicesPerPoint; ++a) test::AddDevice(*m, 0, QStringLiteral("d"), 0, a, 1);
    dlg.kind = [](const QStringList&, int& s) {
        s = 1;
        return true;
    };
    dlg.device = [](TDeviceDialogData& d) {
        d.address = 200;
        d.paramMask = 1;
        return true;
    };
    ops->DevAddExecute({0, -1});
    EXPECT_EQ(m->points[0].deviceCount, kMaxDevicesPerPoint);
    EXPECT_EQ(dlg.messages,
              QStringList{QStringLiteral("К адаптеру подключено максимальное количество устройств.")});
    EXPECT_EQ(calls, (QStringList{"stop", "start"}));
}

TEST_F(EditOperations, EmptyCatalogueShowsAMessageInsteadOfTheDeviceDialog) {
    m->typeCount = 0;
    test::AddPoint(*m, QStringLiteral("A"), "COM1");
    dlg.kind = [](const QStringList&, int& s) {
        s = 1;
        return true;
    };
    ops->DevAddExecute({0, -1});
    EXPECT_EQ(dlg.deviceDialogs, 0);
    EXPECT_EQ(dlg.messages, QStringList{QStringLiteral("Каталог типов устройств пуст.")});
    EXPECT_EQ(calls, (QStringList{"stop", "start"}));
}

TEST_F(EditOperations, EditingADeviceSetsTheEditedFieldsOnlyWhileTheDialogIsOpen) {
    test::AddPoint(*m, QStringLiteral("A"), "COM1");
    test::AddPoint(*m, QStringLiteral("B"), "COM2");
    test::AddDevice(*m, 1, QStringLiteral("d7"), 1, 7, 0b10);
    dlg.device = [this](TDeviceDialogData& d) {
        EXPECT_EQ(d.caption, QStringLiteral("Изменение устройства"));
        EXPECT_EQ(d.name, QStringLiteral("d7"));
        EXPECT_EQ(d.pointIndex, 1);
        EXPECT_EQ(d.typeIndex, 1);
        EXPECT_TRUE(d.editing);
        EXPECT_EQ(d.paramMask, 0b10u);
        EXPECT_EQ(m->editedDeviceAddress, 7);
        EXPECT_EQ(m->editedDevicePoint, 1);
        EXPECT_EQ(d.editedAddress, 7);
        EXPECT_EQ(d.editedPoint, 1);
        d.name = QStringLiteral("renamed");
        d.address = 9;
        d.paramMask = 0b1010;
        return true;
    };
    ops->DevEditExecute({1, 0});
    EXPECT_EQ(m->editedDeviceAddress, 0);
    EXPECT_EQ(m->editedDevicePoint, 0);
    EXPECT_EQ(m->points[1].devices[0].address, 9);
    EXPECT_EQ(m->points[1].devices[0].paramMask, 0b1010u);
    EXPECT_EQ(calls, (QStringList{"stop", "rebuild 1 0", "changed", "start"}));
    // Cancelled: the fields are cleared as well.
    dlg.device = [](TDeviceDialogData&) { return false; };
    ops->DevEditExecute({1, 0});
    EXPECT_EQ(m->editedDeviceAddress, 0);
}

TEST_F(EditOperations, MovingADeviceMakesItTheLastOfTheNewPoint) {
    test::AddPoint(*m, QStringLiteral("A"), "COM1");
    test::AddPoint(*m, QStringLiteral("B"), "COM2");
    test::AddDevice(*m, 0, QStringLiteral("a0"), 0, 1, 1);
    test::AddDevice(*m, 0, QStringLiteral("a1"), 0, 2, 1);
    test::AddDevice(*m, 0, QStringLiteral("a2"), 0, 3, 1);
    test::AddDevice(*m, 1, QStringLiteral("b0"), 0, 1, 1);
    dlg.device = [](TDeviceDialogData& d) {
        d.pointIndex = 1;
        d.address = 5;
        d.paramMask = 4;
        return true;
    };
    ops->DevEditExecute({0, 0});
    ASSERT_EQ(m->points[0].deviceCount, 2);
    EXPECT_EQ(FromName(m->points[0].devices[0].name), QStringLiteral("a1"));
    EXPECT_EQ(m->points[0].devices[0].index, 0);
    ASSERT_EQ(m->points[1].deviceCount, 2);
    const TDevice& moved = m->points[1].devices[1];
    EXPECT_EQ(FromName(moved.name), QStringLiteral("a0"));
    EXPECT_EQ(moved.index, 1);
    EXPECT_EQ(moved.pointIndex, 1);
    EXPECT_EQ(moved.address, 5);
    EXPECT_EQ(moved.paramMask, 4u);
    EXPECT_EQ(calls, (QStringList{"stop", "rebuild 1 1", "changed", "start"}));
    EXPECT_TRUE(CheckInvariants(*m));
}

TEST_F(EditOperations, ADeviceOfUnknownTypeKeepsItsTypeWhenNoneIsChosen) {
    test::AddPoint(*m, QStringLiteral("A"), "COM1");
    test::AddDevice(*m, 0, QStringLiteral("x"), 9, 4, 0b110);
    dlg.device = [](TDeviceDialogData& d) {
        EXPECT_EQ(d.typeIndex, -1);
        d.address = 4;
        return true;  // typeIndex still -1
    };
    ops->DevEditExecute({0, 0});
    EXPECT_EQ(m->points[0].devices[0].typeIndex, 9);
    EXPECT_EQ(m->points[0].devices[0].paramMask, 0b110u);
}

TEST_F(EditOperations, EditingAPointOffersItsOwnPortAndKeepsItsDevices) {
    test::AddPoint(*m, QStringLiteral("A"), "COM1");
    test::AddPoint(*m, QStringLiteral("B"), "COM3", 4.2f);
    test::AddDevice(*m, 1, QStringLiteral("b0"), 0, 1, 1);
    m->points[1].currentDevice = 0;
    dlg.point = [](TPointDialogData& d) {
        EXPECT_EQ(d.caption, QStringLiteral("Изменение адаптера"));
        EXPECT_EQ(d.name, QStringLiteral("B"));
        EXPECT_EQ(d.ports, (QStringList{"COM2", "COM3"}));
        EXPECT_EQ(d.portIndex, 1);
        EXPECT_EQ(d.periodText, QStringLiteral("4,200"));
        d.portIndex = 0;
        d.period = 3;
        return true;
    };
    ops->DevEditExecute({1, -1});
    EXPECT_EQ(PortNameView(m->points[1].portName), "COM2");
    EXPECT_EQ(m->points[1].deviceCount, 1);
    EXPECT_EQ(calls, (QStringList{"stop", "rebuild 1 -1", "changed", "start"}));
}

TEST_F(EditOperations, DeletingDevicesSelectsThePreviousDeviceOrThePoint) {
    test::AddPoint(*m, QStringLiteral("A"), "COM1");
    test::AddDevice(*m, 0, QStringLiteral("d0"), 0, 1, 1);
    test::AddDevice(*m, 0, QStringLiteral("d1"), 0, 2, 1);
    dlg.answers = {true, true};
    ops->DevDeleteExecute({0, 1}, QStringLiteral("d1 (T №2)"));
    EXPECT_EQ(dlg.questions, QStringList{QStringLiteral("Вы действительно желаете удалить \"d1 (T №2)\"?")});
    EXPECT_EQ(calls, (QStringList{"stop", "clear", "rebuild 0 0", "changed", "start"}));
    calls.clear();
    ops->DevDeleteExecute({0, 0}, QStringLiteral("d0 (T №1)"));
    EXPECT_EQ(calls, (QStringList{"stop", "clear", "rebuild 0 -1", "changed", "start"}));
    EXPECT_EQ(m->points[0].deviceCount, 0);
}

TEST_F(EditOperations, DeletingAPointWithDevicesAsksTwice) {
    test::AddPoint(*m, QStringLiteral("A"), "COM1");
    test::AddPoint(*m, QStringLiteral("B"), "COM2");
    test::AddDevice(*m, 0, QStringLiteral("d0"), 0, 1, 1);
    dlg.answers = {true, false};
    ops->DevDeleteExecute({0, -1}, QStringLiteral("A (COM1)"));
    EXPECT_EQ(dlg.questions.size(), 2);
    EXPECT_EQ(dlg.questions[1],
              QStringLiteral("К адаптеру \"A\" подключены устройства.\nПродолжить операцию удаления?"));
    EXPECT_EQ(m->pointCount, 2);
    dlg.questions.clear();
    dlg.answers = {true, true};
    calls.clear();
    ops->DevDeleteExecute({0, -1}, QStringLiteral("A (COM1)"));
    EXPECT_EQ(m->pointCount, 1);
    EXPECT_EQ(FromName(m->points[0].name), QStringLiteral("B"));
    EXPECT_EQ(calls, (QStringList{"stop", "clear", "rebuild -1 -1", "changed", "start"}));
}

TEST_F(EditOperations, DeletingAnEmptyPointAsksOnce) {
    test::AddPoint(*m, QStringLiteral("A"), "COM1");
    test::AddPoint(*m, QStringLiteral("B"), "COM2");
    dlg.answers = {true};
    ops->DevDeleteExecute({1, -1}, QStringLiteral("B (COM2)"));
    EXPECT_EQ(dlg.questions.size(), 1);
    EXPECT_EQ(m->pointCount, 1);
    EXPECT_TRUE(calls.contains(QStringLiteral("rebuild 0 -1")));
}

}  // namespace
}  // namespace qora
