// The three configuration dialogs and the about box, driven by keys and clicks.
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>

#include "../unit/ui/model_fixture.h"
#include "ui/about_box.h"
#include "ui/design_font.h"
#include "ui/device_add_form.h"
#include "ui/os_version.h"
#include "ui/point_add_form.h"
#include "ui/type_selction_form.h"
#include "ui_test_support.h"

namespace qora {
namespace {

class Dialogs : public ::testing::Test {
  protected:
    void SetUp() override {
        test::App();
        QLocale::setDefault(QLocale(QLocale::Russian, QLocale::Russia));
    }
    void TearDown() override {
        test::FinishModals();
        QLocale::setDefault(QLocale::c());
    }

    TDeviceDialogData DeviceData(bool editing) {
        TDeviceDialogData d;
        d.caption = QStringLiteral("x");
        d.name = QStringLiteral("Устройство");
        for (int i = 0; i < m->pointCount; ++i) d.points << QStringLiteral("p%1").arg(i);
        d.types = {QStringLiteral("T"), QStringLiteral("U")};
        d.typeMasks = {m->typeMasks[0], m->typeMasks[1]};
        d.typeIndex = 0;
        for (int n = 0; n < kParamsPerDevice; ++n) d.paramNames << QStringLiteral("P%1").arg(n);
        d.editing = editing;
        d.model = m.get();
        return d;
    }

    static QStringList Items(QComboBox* c) {
        QStringList out;
        for (int i = 0; i < c->count(); ++i) out << c->itemText(i);
        return out;
    }

    test::ModelPtr m = test::MakeModel();
};

TEST_F(Dialogs, TypeSelectionOffersTheEntriesAndEscCancels) {
    TTypeSelctionForm form({QStringLiteral("Адаптер"), QStringLiteral("Устройство")}, 1);
    auto* combo = form.findChild<QComboBox*>(QStringLiteral("TypeCombo"));
    ASSERT_NE(combo, nullptr);
    EXPECT_EQ(combo->currentText(), QStringLiteral("Устройство"));
    EXPECT_EQ(form.windowTitle(), QStringLiteral("Тип устройства"));
    EXPECT_TRUE(form.findChild<QPushButton*>(QStringLiteral("Button1"))->isDefault());
    EXPECT_EQ(form.findChild<QPushButton*>(QStringLiteral("Button2"))->text(), QStringLiteral("Отмена"));
    int result = -1;
    test::OnModal([](QWidget* w) { QTest::keyClick(w, Qt::Key_Escape); });
    result = form.exec();
    EXPECT_EQ(result, QDialog::Rejected);
}

TEST_F(Dialogs, PointDialogPeriodFilterTakesDigitsAndOneSeparator) {
    TPointDialogData d;
    d.caption = QStringLiteral("Добавление адаптера");
    d.name = QStringLiteral("Адаптер_1");
    d.ports = {QStringLiteral("COM1")};
    d.portIndex = 0;
    d.periodText = QString();
    TPointAddForm form(d);
    auto* period = form.findChild<QLineEdit*>(QStringLiteral("PeriodEdit"));
    ASSERT_NE(period, nullptr);
    QTest::keyClicks(period, QStringLiteral("a1x.2,3-4"));
    EXPECT_EQ(period->text(), QStringLiteral("1,234"));
    QTest::keyClick(period, Qt::Key_Backspace);
    QTest::keyClick(period, Qt::Key_Home);
    QTest::keyClick(period, Qt::Key_Delete);  // editing keys are not filtered
    EXPECT_EQ(period->text(), QStringLiteral(",23"));
    auto* name = form.findChild<QLineEdit*>(QStringLiteral("NameEdit"));
    EXPECT_EQ(name->maxLength(), 30);
    auto* active = form.findChild<QCheckBox*>(QStringLiteral("EnableCheck"));
    EXPECT_TRUE(active->isChecked());
    EXPECT_FALSE(active->isEnabled());
}

TEST_F(Dialogs, PointDialogRefusesAnEmptyPeriodAndStaysOpen) {
    TPointDialogData d;
    d.caption = QStringLiteral("c");
    d.ports = {QStringLiteral("COM1"), QStringLiteral("COM2")};
    d.portIndex = 1;
    d.periodText = QStringLiteral(",");
    TPointAddForm form(d);
    test::TBoxSeen seen;
    int closedWith = -2;
    test::OnModal([&](QWidget* dialog) {
        auto* ok = dialog->findChild<QPushButton*>(QStringLiteral("Button1"));
        test::OnModal([&](QWidget* box) { test::Answer(box, QMessageBox::Ok, &seen); });
        ok->click();  // the message box runs inside
        EXPECT_TRUE(dialog->isVisible());
        auto* period = dialog->findChild<QLineEdit*>(QStringLiteral("PeriodEdit"));
        period->setText(QStringLiteral("0,7"));
        ok->click();
    });
    closedWith = form.exec();
    EXPECT_EQ(seen.text, QStringLiteral("Неверное значение периода опроса."));
    EXPECT_EQ(seen.title, QStringLiteral("Предупреждение"));
    EXPECT_EQ(seen.icon, QMessageBox::Information);
    EXPECT_EQ(closedWith, QDialog::Accepted);
    EXPECT_FLOAT_EQ(d.period, 0.7f);
    EXPECT_EQ(d.portIndex, 1);
}

TEST_F(Dialogs, DeviceDialogOffersFreeAddressesAndPreselectsTheFirst) {
    test::AddPoint(*m, QStringLiteral("A"), "COM1");
    test::AddDevice(*m, 0, QStringLiteral("d1"), 0, 1, 1);
    test::AddDevice(*m, 0, QStringLiteral("d3"), 0, 3, 1);
    TDeviceDialogData d = DeviceData(false);
    TDeviceAddForm form(d);
    auto* addr = form.findChild<QComboBox*>(QStringLiteral("AddrCombo"));
    const QStringList items = Items(addr);
    ASSERT_EQ(items.size(), 252);
    EXPECT_EQ(items.mid(0, 3), (QStringList{"2", "4", "5"}));
    EXPECT_EQ(items.back(), QStringLiteral("254"));
    EXPECT_EQ(addr->currentText(), QStringLiteral("2"));
    EXPECT_EQ(form.findChild<QLineEdit*>(QStringLiteral("NameEdit"))->maxLength(), 50);
    // Type T: boxes 0, 2 and 5 visible, none ticked.
    EXPECT_EQ(form.boxes().visible(), m->typeMasks[0]);
    EXPECT_EQ(form.boxes().ticked(), 0u);
    for (int n = 0; n < kParamsPerDevice; ++n)
        EXPECT_EQ(form.findChild<QCheckBox*>(QStringLiteral("Param%1").arg(n))->isVisibleTo(&form),
                  ((m->typeMasks[0] >> n) & 1u) != 0)
            << n;
}

TEST_F(Dialogs, EditingOffersTheOwnAddressAndChangingTypeUnticksAll) {
    test::AddPoint(*m, QStringLiteral("A"), "COM1");
    test::AddPoint(*m, QStringLiteral("B"), "COM2");
    test::AddDevice(*m, 0, QStringLiteral("d1"), 0, 1, 1);
    test::AddDevice(*m, 0, QStringLiteral("d3"), 0, 3, (1u << 2) | (1u << 5));
    test::AddDevice(*m, 1, QStringLiteral("e2"), 0, 2, 1);
    TDeviceDialogData d = DeviceData(true);
    d.pointIndex = 0;
    d.paramMask = (1u << 2) | (1u << 5);
    d.editedPoint = 0;
    d.editedAddress = 3;
    TDeviceAddForm form(d);
    auto* addr = form.findChild<QComboBox*>(QStringLiteral("AddrCombo"));
    EXPECT_EQ(Items(addr).mid(0, 3), (QStringList{"2", "3", "4"}));
    EXPECT_EQ(addr->currentText(), QStringLiteral("3"));
    EXPECT_TRUE(form.findChild<QCheckBox*>(QStringLiteral("Param2"))->isChecked());
    EXPECT_TRUE(form.findChild<QCheckBox*>(QStringLiteral("Param5"))->isChecked());
    EXPECT_TRUE(form.boxes().confirming());

    // The operator picks point B: 2 is taken there, 3 is free and stays chosen.
    auto* point = form.findChild<QComboBox*>(QStringLiteral("PointCombo"));
    QTest::keyClick(point, Qt::Key_Down);
    EXPECT_EQ(point->currentIndex(), 1);
    EXPECT_FALSE(Items(addr).contains(QStringLiteral("2")));
    EXPECT_EQ(addr->currentText(), QStringLiteral("3"));

    // The operator picks type U: only its boxes show, none ticked.
    auto* type = form.findChild<QComboBox*>(QStringLiteral("TypeCombo"));
    QTest::keyClick(type, Qt::Key_Down);
    EXPECT_EQ(type->currentIndex(), 1);
    EXPECT_EQ(form.boxes().visible(), m->typeMasks[1]);
    EXPECT_EQ(form.boxes().ticked(), 0u);
    EXPECT_FALSE(form.findChild<QCheckBox*>(QStringLiteral("Param2"))->isChecked());
    EXPECT_FALSE(form.boxes().confirming());
}

TEST_F(Dialogs, OkWithNothingTickedShowsTheMessageAndTicksTheLowestVisibleBox) {
    test::AddPoint(*m, QStringLiteral("A"), "COM1");
    TDeviceDialogData d = DeviceData(false);
    d.typeIndex = 1;  // U: boxes 1 and 3
    TDeviceAddForm form(d);
    test::TBoxSeen seen;
    test::OnModal([&](QWidget* dialog) {
        auto* ok = dialog->findChild<QPushButton*>(QStringLiteral("Button1"));
        test::OnModal([&](QWidget* box) { test::Answer(box, QMessageBox::Ok, &seen); });
        ok->click();
        EXPECT_TRUE(dialog->isVisible());
        EXPECT_TRUE(dialog->findChild<QCheckBox*>(QStringLiteral("Param1"))->isChecked());
        ok->click();  // now confirmed
    });
    EXPECT_EQ(form.exec(), QDialog::Accepted);
    EXPECT_EQ(seen.text, QStringLiteral("Необходимо поставить на контроль хотя бы один параметр."));
    EXPECT_EQ(seen.title, QStringLiteral("Предупреждение"));
    EXPECT_EQ(d.paramMask, 1u << 1);
    EXPECT_EQ(d.address, 1);
    EXPECT_EQ(d.typeIndex, 1);
}

TEST_F(Dialogs, ClickingBoxesFollowsTheOkRule) {
    test::AddPoint(*m, QStringLiteral("A"), "COM1");
    TDeviceDialogData d = DeviceData(false);
    TDeviceAddForm form(d);
    form.show();
    auto* box5 = form.findChild<QCheckBox*>(QStringLiteral("Param5"));
    QTest::mouseClick(box5, Qt::LeftButton, {}, QPoint(6, box5->height() / 2));
    EXPECT_TRUE(box5->isChecked());
    EXPECT_TRUE(form.boxes().confirming());
    QTest::mouseClick(box5, Qt::LeftButton, {}, QPoint(6, box5->height() / 2));
    EXPECT_FALSE(form.boxes().confirming());
    QTest::keyClick(&form, Qt::Key_Escape);
    EXPECT_EQ(form.result(), QDialog::Rejected);
}

TEST_F(Dialogs, DeviceOfAnUnknownTypeShowsItsTickedParametersWithNoTypeSelected) {
    test::AddPoint(*m, QStringLiteral("A"), "COM1");
    test::AddDevice(*m, 0, QStringLiteral("x"), 9, 4, (1u << 7) | (1u << 30));
    TDeviceDialogData d = DeviceData(true);
    d.typeIndex = -1;
    d.paramMask = (1u << 7) | (1u << 30);
    d.editedAddress = 4;
    TDeviceAddForm form(d);
    EXPECT_EQ(form.findChild<QComboBox*>(QStringLiteral("TypeCombo"))->currentIndex(), -1);
    EXPECT_EQ(form.boxes().visible(), d.paramMask);
    EXPECT_EQ(form.boxes().ticked(), d.paramMask);
    EXPECT_TRUE(form.findChild<QCheckBox*>(QStringLiteral("Param30"))->isVisibleTo(&form));
    test::OnModal([](QWidget* w) { w->findChild<QPushButton*>(QStringLiteral("Button1"))->click(); });
    EXPECT_EQ(form.exec(), QDialog::Accepted);
    EXPECT_EQ(d.typeIndex, -1);
    EXPECT_EQ(d.paramMask, (1u << 7) | (1u << 30));
    EXPECT_EQ(d.address, 4);
}

TEST_F(Dialogs, DeviceDialogTabVisitsOnlyVisibleControlsInOrder) {
    test::AddPoint(*m, QStringLiteral("A"), "COM1");
    TDeviceDialogData d = DeviceData(false);
    TDeviceAddForm form(d);
    form.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&form));
    QApplication::setActiveWindow(&form);
    form.findChild<QLineEdit*>(QStringLiteral("NameEdit"))->setFocus();
    QStringList chain;
    for (int i = 0; i < 12; ++i) {
        QWidget* w = QApplication::focusWidget();
        ASSERT_NE(w, nullptr);
        EXPECT_TRUE(w->isVisible()) << w->metaObject()->className();
        chain << (w->objectName().isEmpty() ? QString::fromLatin1(w->metaObject()->className())
                                            : w->objectName());
        QTest::keyClick(w, Qt::Key_Tab);
    }
    // Type T offers parameters 0, 2 and 5; the chain comes round to the name again.
    EXPECT_EQ(chain, (QStringList{"NameEdit", "PointCombo", "TypeCombo", "AddrCombo", "Param0", "Param2",
                                  "Param5", "Button1", "Button2", "NameEdit", "PointCombo", "TypeCombo"}));
}

// Width a drop-down list needs for `text` beside its arrow: at least the text's advance.
static bool ShowsWhole(const QComboBox* combo, const QString& text) {
    return combo->width() > QFontMetrics(combo->font()).horizontalAdvance(text) + 16;
}

// The dialogs take their owner's face: the design face, and a larger one.
class DialogFaces : public Dialogs, public ::testing::WithParamInterface<int> {
  protected:
    std::unique_ptr<QWidget> Owner() {
        auto owner = std::make_unique<QWidget>();
        QFont face = DesignFont();
        face.setPointSize(GetParam());
        owner->setFont(face);
        return owner;
    }
};

TEST_P(DialogFaces, DeviceDialogShowsWholeTypeNamesAndKeepsItsSize) {
    test::AddPoint(*m, QStringLiteral("Узел_учёта"), "ttySIM3");
    TDeviceDialogData d = DeviceData(false);
    d.types = {QStringLiteral("T"), QStringLiteral("Расходомер РС-1 (тепловой)")};
    const std::unique_ptr<QWidget> owner = Owner();
    TDeviceAddForm form(d, owner.get());
    form.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&form));
    auto* type = form.findChild<QComboBox*>(QStringLiteral("TypeCombo"));
    for (int i = 0; i < type->count(); ++i) EXPECT_TRUE(ShowsWhole(type, type->itemText(i))) << i;
    auto* addr = form.findChild<QComboBox*>(QStringLiteral("AddrCombo"));
    EXPECT_TRUE(ShowsWhole(addr, QStringLiteral("254")));
    // Fixed: the operator cannot resize it, and choosing a type with other boxes changes nothing.
    EXPECT_EQ(form.minimumSize(), form.maximumSize());
    const QSize size = form.size();
    QTest::keyClick(type, Qt::Key_Down);
    QApplication::processEvents();
    EXPECT_EQ(form.size(), size);
    // Every control lies inside the dialog.
    for (QWidget* w : form.findChildren<QWidget*>()) {
        if (!w->isVisible() || w->isWindow()) continue;
        const QRect r(w->mapTo(&form, QPoint(0, 0)), w->size());
        if (qobject_cast<QComboBox*>(w) || qobject_cast<QLineEdit*>(w) || qobject_cast<QPushButton*>(w)) {
            EXPECT_TRUE(form.rect().contains(r)) << w->objectName().toStdString();
        }
    }
}

TEST_P(DialogFaces, PointAndTypeDialogsKeepTheirSize) {
    const std::unique_ptr<QWidget> owner = Owner();
    TPointDialogData d;
    d.caption = QStringLiteral("c");
    d.ports = {QStringLiteral("ttyUSB10"), QStringLiteral("COM2")};
    d.periodText = QStringLiteral("4,2");
    TPointAddForm point(d, owner.get());
    TTypeSelctionForm kind({QStringLiteral("Адаптер"), QStringLiteral("Устройство")}, 1, owner.get());
    for (QDialog* dialog : {static_cast<QDialog*>(&point), static_cast<QDialog*>(&kind)}) {
        dialog->show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(dialog));
        EXPECT_EQ(dialog->minimumSize(), dialog->maximumSize()) << dialog->objectName().toStdString();
        for (QComboBox* combo : dialog->findChildren<QComboBox*>())
            for (int i = 0; i < combo->count(); ++i) EXPECT_TRUE(ShowsWhole(combo, combo->itemText(i)));
    }
}

INSTANTIATE_TEST_SUITE_P(DesignAndLarger, DialogFaces, ::testing::Values(8, 14),
                         [](const ::testing::TestParamInfo<int>& i) {
                             return "Pt" + std::to_string(i.param);
                         });

TEST_F(Dialogs, AboutBoxShowsVersionMemoryAndClosesWithEscOrEnter) {
    TAboutBox box;
    box.SetMemoryText(MemoryLine(0));
    box.SetOSText(QStringLiteral("Linux"));
    test::OnModal([](QWidget* w) { QTest::keyClick(w, Qt::Key_Escape); });
    EXPECT_EQ(box.exec(), QDialog::Accepted);
    EXPECT_EQ(box.windowTitle(), QStringLiteral("О программе"));
    EXPECT_EQ(box.findChild<QLabel*>(QStringLiteral("Version"))->text(),
              QStringLiteral("версия ") + QStringLiteral(QORA_VERSION_STRING));
    EXPECT_EQ(box.findChild<QLabel*>(QStringLiteral("ProductName"))->text(),
              QStringLiteral("QORA OPC Server"));
    EXPECT_EQ(box.findChild<QLabel*>(QStringLiteral("L2"))->text(),
              QStringLiteral("Доступно памяти:  Кбайт"));
    EXPECT_FALSE(box.findChild<QLabel*>(QStringLiteral("Image1"))->pixmap().isNull());
    test::OnModal([](QWidget* w) { QTest::keyClick(w, Qt::Key_Return); });
    EXPECT_EQ(box.exec(), QDialog::Accepted);
}

}  // namespace
}  // namespace qora
