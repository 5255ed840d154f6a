// The main window under the offscreen platform: tree, list, refresh, keys, hiding, log,
// and the file actions through the operator prompt.
#include "ui/main_form.h"

#include <QAction>
#include <QElapsedTimer>
#include <QFileDialog>
#include <QLabel>
#include <QLineEdit>
#include <QListView>
#include <QMenu>
#include <QMenuBar>
#include <QStatusBar>
#include <QSystemTrayIcon>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <QToolBar>
#include <QTreeWidget>
#include <thread>

#include "../unit/ui/model_fixture.h"
#include "comm/instrument_lines.h"
#include "comm/poll_cycle.h"
#include "comm/serial/com_port.h"
#include "config/config_document.h"
#include "main_form_fixture.h"
#include "ui/cell_format.h"
#include "ui/event_log.h"
#include "ui_test_support.h"

namespace qora {
namespace {

using test::MainWindow;

TEST_F(MainWindow, ComponentsCarryTheirNamesCaptionsHintsAndShortcuts) {
    Build();
    for (const char* name : {"Tree", "List", "EventList", "StatusBar", "TrayIcon", "ToolBar", "MainMenu",
                             "ActionList", "TrayPopup", "Splitter1"})
        EXPECT_NE(form->findChild<QObject*>(QLatin1String(name)), nullptr) << name;
    struct Expected {
        const char* name;
        const char* caption;
        const char* hint;
        const char* shortcut;  // as the menu shows it
        int image;
    } expectations[] = {
        {"FileCreate", "Создать", "Создать новую конфигурацию", "Ctrl+N", 0},
        {"FileOpen", "Открыть", "Открыть существующую конфигурацию", "Ctrl+O", 1},
        {"FileSave", "Сохранить", "Сохранить активную конфигурацию", "Ctrl+S", 2},
        {"FileSaveAs", "Сохранить как...", "Сохранить активную конфигурацию в файле с другим именем", "", 8},
        {"FileExit", "Выход", "Выйти из программы", "", 3},  // Alt+F4 is the window manager's close
        {"DevAdd", "Добавить", "Добавить новое устройство", "Ins", 5},
        {"DevEdit", "Изменить", "Изменить свойства выбранного устройства", "Enter", 6},
        {"DevDelete", "Удалить", "Удалить выбранное устройство", "Del", 7},
        {"Restart", "Перезапуск", "Перезапустить сервер", "", 14},
        {"HelpAbout", "О программе...",
         "Отобразить информацию о программе, номере версии и авторских правах ", "", 4},
        {"HelpHelp", "Справка", "Показать файл справки", "F1", 10},
        {"ShowHide", "Скрыть/Показать", "", "", 13},
    };
    for (const Expected& s : expectations) {
        QAction* a = A(s.name);
        ASSERT_NE(a, nullptr) << s.name;
        EXPECT_EQ(QString(a->text()).remove(QLatin1Char('&')), QString::fromUtf8(s.caption));
        EXPECT_EQ(a->statusTip(), QString::fromUtf8(s.hint));
        EXPECT_EQ(a->shortcut().toString(QKeySequence::NativeText), QLatin1String(s.shortcut)) << s.name;
        EXPECT_EQ(a->property("imageIndex").toInt(), s.image);
        EXPECT_FALSE(a->icon().isNull());
    }
    EXPECT_FALSE(A("Restart")->isEnabled());

    // The typed actions are the named ones, and none of the named ones is left out.
    const TMainFormActions& acts = form->Actions();
    const std::pair<QAction*, const char*> typed[] = {
        {acts.fileCreate, "FileCreate"}, {acts.fileOpen, "FileOpen"},   {acts.fileSave, "FileSave"},
        {acts.fileSaveAs, "FileSaveAs"}, {acts.fileExit, "FileExit"},   {acts.devAdd, "DevAdd"},
        {acts.devEdit, "DevEdit"},       {acts.devDelete, "DevDelete"}, {acts.restart, "Restart"},
        {acts.helpAbout, "HelpAbout"},   {acts.helpHelp, "HelpHelp"},   {acts.showHide, "ShowHide"},
    };
    for (const auto& [action, name] : typed) EXPECT_EQ(action, A(name)) << name;
    EXPECT_EQ(form->findChild<QObject*>(QStringLiteral("ActionList"))
                  ->findChildren<QAction*>(QString(), Qt::FindDirectChildrenOnly)
                  .size(),
              qsizetype(std::size(typed)));
    EXPECT_EQ(List()->headerItem()->text(0), QStringLiteral("Название"));
    EXPECT_EQ(List()->headerItem()->text(3), QStringLiteral("Время"));
    EXPECT_GE(List()->columnWidth(0), 250);
    EXPECT_GE(List()->columnWidth(1), 70);
    EXPECT_GE(List()->columnWidth(2), 80);
    EXPECT_GE(List()->columnWidth(3), 130);
    // 97 high as designed, trimmed to whole lines.
    EXPECT_LE(form->EventList()->height(), 97);
    EXPECT_GT(form->EventList()->height(), 97 - 20);
    EXPECT_EQ(form->windowTitle(), QStringLiteral("Новая - QORA OPC Server"));
    const QStringList menus = [&] {
        QStringList t;
        for (QAction* a : form->menuBar()->actions()) t << a->text();
        return t;
    }();
    EXPECT_EQ(menus, (QStringList{"&Файл", "&Устройства", "&Помощь"}));
    QStringList bar;
    for (QAction* a : form->findChild<QToolBar*>(QStringLiteral("ToolBar"))->actions())
        bar << (a->isSeparator() ? QStringLiteral("|") : a->objectName());
    EXPECT_EQ(bar, (QStringList{"FileCreate", "FileOpen", "FileSave", "|", "Restart", "|", "DevAdd",
                                "DevEdit", "DevDelete", "|"}));
    QStringList tray;
    for (QAction* a : form->findChild<QMenu*>(QStringLiteral("TrayPopup"))->actions())
        tray << (a->isSeparator() ? QStringLiteral("|") : a->objectName());
    EXPECT_EQ(tray, (QStringList{"ShowHide", "|", "Restart", "|", "FileExit"}));
    EXPECT_EQ(form->TrayIcon()->toolTip(), QStringLiteral("QORA OPC Server"));
    EXPECT_TRUE(form->TrayIcon()->isVisible());  // present from the start
}

TEST_F(MainWindow, EmptyConfigurationDisablesEditDeleteAndSaveWithoutMarker) {
    Build();
    doc->FileNew();
    doc->SetUnsaved();
    form->UpdateCaption();
    EXPECT_EQ(Tree()->topLevelItemCount(), 0);
    EXPECT_EQ(List()->topLevelItemCount(), 0);
    EXPECT_FALSE(A("DevEdit")->isEnabled());
    EXPECT_FALSE(A("DevDelete")->isEnabled());
    EXPECT_FALSE(A("FileSave")->isEnabled());
    EXPECT_EQ(form->windowTitle(),
              QStringLiteral("Новая - QORA OPC Server v") + QStringLiteral(QORA_VERSION_STRING));
}

TEST_F(MainWindow, NewConfigurationWithOnePointIsSaveableWithMarker) {
    Build();
    doc->FileNew();
    test::AddPoint(*m, QStringLiteral("L1"), "COM3");
    form->RebuildTree(0, -1);
    form->UpdateCaption();
    EXPECT_TRUE(A("FileSave")->isEnabled());  // untitled with a point
    doc->SetUnsaved();
    form->UpdateCaption();
    EXPECT_TRUE(A("FileSave")->isEnabled());
    EXPECT_TRUE(form->windowTitle().endsWith(QStringLiteral(" (Не сохранено)")));
    EXPECT_TRUE(A("DevEdit")->isEnabled());
}

TEST_F(MainWindow, TreeNodesReadAsPointAndDeviceCaptionsAndTheFirstPointIsSelected) {
    TwoDevices();
    test::AddPoint(*m, QStringLiteral("L2"), "COM4");
    Build();
    form->RebuildTree(-1, -1);
    ASSERT_EQ(Tree()->topLevelItemCount(), 2);
    QTreeWidgetItem* l1 = Tree()->topLevelItem(0);
    EXPECT_EQ(l1->text(0), QStringLiteral("L1 (COM3)"));
    ASSERT_EQ(l1->childCount(), 2);
    EXPECT_EQ(l1->child(0)->text(0), QStringLiteral("D1 (T №5)"));
    EXPECT_EQ(l1->child(1)->text(0), QStringLiteral("D2 (U №7)"));
    EXPECT_EQ(Tree()->currentItem(), l1);
    EXPECT_EQ(ImageOf(l1), kImgNormal);
    form->RebuildTree(0, 1);
    EXPECT_EQ(Tree()->currentItem()->text(0), QStringLiteral("D2 (U №7)"));
    EXPECT_TRUE(Tree()->topLevelItem(0)->isExpanded());
}

TEST_F(MainWindow, PointNodeListsAllParametersOfItsDevicesInOrder) {
    TwoDevices();
    Build();
    form->RebuildTree(0, -1);
    ASSERT_EQ(List()->topLevelItemCount(), 3);
    EXPECT_EQ(List()->topLevelItem(0)->text(0), QStringLiteral("D1 (T №5).P0"));
    EXPECT_EQ(List()->topLevelItem(1)->text(0), QStringLiteral("D1 (T №5).P5"));
    EXPECT_EQ(List()->topLevelItem(2)->text(0), QStringLiteral("D2 (U №7).P3"));
    form->RebuildTree(0, 0);
    ASSERT_EQ(List()->topLevelItemCount(), 2);
    EXPECT_EQ(List()->topLevelItem(0)->text(0), QStringLiteral("P0"));
    EXPECT_EQ(List()->topLevelItem(1)->text(0), QStringLiteral("P5"));
}

TEST_F(MainWindow, CellsFollowTheRulesWithARussianLocale) {
    TwoDevices();
    Build();
    form->StartPolling();  // values to the marker, qualities to 8
    form->RebuildTree(0, 0);
    QTreeWidgetItem* r0 = List()->topLevelItem(0);
    EXPECT_EQ(r0->text(1), QStringLiteral("9999999,000"));
    EXPECT_EQ(r0->text(2), QStringLiteral("Плохое - устройство не подключено"));
    EXPECT_EQ(r0->text(3), QStringLiteral("30.12.1899"));
    EXPECT_FALSE(r0->icon(2).isNull());
    TDevice& d = m->points[0].devices[0];
    StoreValue(d, 0, 21.5f);
    StoreQuality(d, 0, kQualityGood);
    StoreTimestamp(d, 0, 45352.5);
    StoreValue(d, 5, 1.0f);
    StoreQuality(d, 5, 77);  // an unknown code leaves the cell as it is
    form->show();
    form->RefreshView();
    EXPECT_EQ(r0->text(1), QStringLiteral("21,500"));
    EXPECT_EQ(r0->text(2), QStringLiteral("Норма - без уточнений"));
    EXPECT_EQ(r0->text(3), QStringLiteral("01.03.2024 12:00:00"));
    QTreeWidgetItem* r1 = List()->topLevelItem(1);
    EXPECT_EQ(r1->text(1), QStringLiteral("1,000"));
    EXPECT_EQ(r1->text(2), QStringLiteral("Плохое - устройство не подключено"));
}

TEST_F(MainWindow, ANewRowWithAnUnknownQualityShowsUnknown) {
    TwoDevices();
    Build();
    StoreQuality(m->points[0].devices[1], 3, 0);
    form->RebuildTree(0, 1);
    EXPECT_EQ(List()->topLevelItem(0)->text(2), QStringLiteral("неизвестно"));
    EXPECT_TRUE(List()->topLevelItem(0)->icon(2).isNull());
}

TEST_F(MainWindow, NodeImagesShowFaultsAtFourUnansweredAndForNeverRepliedDevices) {
    Ports({"COM3"});
    TwoDevices();
    test::AddPoint(*m, QStringLiteral("L2"), "COM9");  // no such port here
    test::AddDevice(*m, 1, QStringLiteral("E"), 0, 1, 1);
    Build();
    form->StartPolling();
    form->RebuildTree(-1, -1);
    form->show();
    TDevice& d1 = m->points[0].devices[0];
    TDevice& d2 = m->points[0].devices[1];
    d1.replied = 1;
    d1.unanswered = 3;
    d2.replied = 1;
    d2.unanswered = 4;
    form->AfterPush();
    QTreeWidgetItem* l1 = Tree()->topLevelItem(0);
    QTreeWidgetItem* l2 = Tree()->topLevelItem(1);
    EXPECT_EQ(ImageOf(l1), kImgFault);  // its port object exists and is not open
    EXPECT_EQ(ImageOf(l1->child(0)), kImgNormal);
    EXPECT_EQ(ImageOf(l1->child(1)), kImgFault);
    EXPECT_EQ(ImageOf(l2), kImgFault);            // the port is absent: nothing is polled
    EXPECT_EQ(ImageOf(l2->child(0)), kImgFault);  // never replied
    EXPECT_EQ(l2->toolTip(0), QStringLiteral("L2 (COM9)\nпорт COM9 отсутствует на этом компьютере"));
    EXPECT_TRUE(l1->toolTip(0).startsWith(QStringLiteral("L1 (COM3)\n"))) << l1->toolTip(0).toStdString();
    // The reason reaches the event log once per change, however many ticks find it.
    form->AfterPush();
    form->EventLog()->Flush();
    QStringList events;
    for (int i = 0; i < form->EventLog()->rowCount(); ++i) events << form->EventLog()->line(i);
    EXPECT_EQ(events.filter(QStringLiteral("L2 (COM9): порт COM9 отсутствует")).size(), 1)
        << events.join(u'|').toStdString();
    EXPECT_EQ(events.filter(QStringLiteral("L1 (COM3): ")).size(), 1) << events.join(u'|').toStdString();
}

TEST_F(MainWindow, HiddenWindowLeavesCellsAloneAndCatchesUpWhenShown) {
    TwoDevices();
    Build();
    form->RebuildTree(0, 0);
    form->show();
    StoreValue(m->points[0].devices[0], 0, 3.0f);
    m->points[0].devices[0].replied = 1;
    form->RefreshView();
    QTreeWidgetItem* r0 = List()->topLevelItem(0);
    EXPECT_EQ(r0->text(1), QStringLiteral("3,000"));
    form->ShowHideExecute();
    EXPECT_TRUE(form->WindowHidden());
    EXPECT_FALSE(form->isVisible());
    StoreValue(m->points[0].devices[0], 0, 4.0f);
    m->points[0].devices[0].replied = 0;
    form->RefreshView();
    EXPECT_EQ(r0->text(1), QStringLiteral("3,000"));
    EXPECT_EQ(ImageOf(Tree()->topLevelItem(0)->child(0)), kImgNormal);
    form->ShowHideExecute();
    EXPECT_FALSE(form->WindowHidden());
    form->RefreshView();
    EXPECT_EQ(r0->text(1), QStringLiteral("4,000"));
    EXPECT_EQ(ImageOf(Tree()->topLevelItem(0)->child(0)), kImgFault);
}

TEST_F(MainWindow, ClosingTheWindowHidesIt) {
    Build();
    form->show();
    int closed = 0;
    QObject::connect(form.get(), &TMainForm::FormClosed, [&] { ++closed; });
    EXPECT_FALSE(form->close());
    EXPECT_TRUE(form->WindowHidden());
    EXPECT_FALSE(form->isVisible());
    EXPECT_EQ(closed, 1);
}

TEST_F(MainWindow, WithoutANotificationAreaClosingMinimisesInstead) {
    Build();
    form->SetTrayAvailable(false);
    form->show();
    EXPECT_FALSE(form->close());
    EXPECT_TRUE(form->WindowHidden());
    EXPECT_TRUE(form->isMinimized());
    form->ShowHideExecute();
    EXPECT_FALSE(form->WindowHidden());
    EXPECT_FALSE(form->isMinimized());
    EXPECT_TRUE(form->isVisible());
}

TEST_F(MainWindow, StartedByComHidesAtItsFirstPaint) {
    Build();
    form->SetStartedByCom(true);
    form->show();
    QElapsedTimer t;
    t.start();
    while (!form->WindowHidden() && t.elapsed() < 5000) QTest::qWait(10);
    EXPECT_TRUE(form->WindowHidden());
    EXPECT_FALSE(form->isVisible());
    EXPECT_FALSE(form->FirstPaint());
    EXPECT_TRUE(form->TrayIcon()->isVisible());
    // Later paints change nothing: shown again, it stays.
    form->ShowHideExecute();
    // An absence: the window does not hide again at its next paints.
    EXPECT_TRUE(test::HoldsFor([&] { return form->isVisible(); }, 50));
    EXPECT_TRUE(form->isVisible());
}

TEST_F(MainWindow, KeysInsEnterDelAndF1RunTheirActions) {
    TwoDevices();
    Ports({"COM3", "COM4"});
    Build();
    form->StartPolling();
    form->RebuildTree(0, -1);
    ShowActive();
    QString seen;
    auto reject = [&](QWidget* w) {
        seen = w->objectName();
        QTest::keyClick(w, Qt::Key_Escape);
    };
    test::OnModal(reject);
    QTest::keyClick(Tree(), Qt::Key_Insert);
    EXPECT_EQ(seen, QStringLiteral("TypeSelctionForm"));
    EXPECT_TRUE(poll->Polling());

    seen.clear();
    ShowActive();
    test::OnModal(reject);
    QTest::keyClick(Tree(), Qt::Key_Return);
    EXPECT_EQ(seen, QStringLiteral("PointAddForm"));
    EXPECT_TRUE(poll->Polling());

    test::TBoxSeen box;
    ShowActive();
    test::OnModal([&](QWidget* w) { test::Answer(w, QMessageBox::No, &box); });
    QTest::keyClick(Tree(), Qt::Key_Delete);
    EXPECT_EQ(box.text, QStringLiteral("Вы действительно желаете удалить \"L1 (COM3)\"?"));
    EXPECT_EQ(box.title, QStringLiteral("Предупреждение"));
    EXPECT_EQ(box.icon, QMessageBox::Information);
    EXPECT_EQ(box.buttons.size(), 2);
    EXPECT_TRUE(box.buttons.join(QLatin1Char(' ')).remove(QLatin1Char('&')).contains(QStringLiteral("Да")));
    EXPECT_EQ(m->pointCount, 1);
    EXPECT_TRUE(poll->Polling());

    int helps = 0;
    QObject::connect(A("HelpHelp"), &QAction::triggered, [&] { ++helps; });
    ShowActive();
    QTest::keyClick(Tree(), Qt::Key_F1);
    EXPECT_EQ(helps, 1);
    EXPECT_EQ(QApplication::activeModalWidget(), nullptr);
}

TEST_F(MainWindow, EnterDoesNothingWhileDevEditIsDisabled) {
    Build();
    form->RebuildTree(-1, -1);
    ShowActive();
    int edits = 0;
    QObject::connect(A("DevEdit"), &QAction::triggered, [&] { ++edits; });
    QTest::keyClick(Tree(), Qt::Key_Return);
    EXPECT_EQ(edits, 0);
}

TEST_F(MainWindow, AddingAPointThroughTheDialogsMarksTheConfigurationAndRestartsPolling) {
    Ports({"COM1", "COM2"});
    Build();
    doc->FileNew();
    test::OnModal([](QWidget* kind) {
        EXPECT_EQ(kind->objectName(), QStringLiteral("TypeSelctionForm"));
        test::OnModal([](QWidget* point) {
            EXPECT_EQ(point->windowTitle(), QStringLiteral("Добавление адаптера"));
            EXPECT_EQ(point->findChild<QLineEdit*>(QStringLiteral("NameEdit"))->text(),
                      QStringLiteral("Адаптер_1"));
            EXPECT_EQ(point->findChild<QLineEdit*>(QStringLiteral("PeriodEdit"))->text(),
                      QStringLiteral("4,2"));
            QTest::keyClick(point, Qt::Key_Return);
        });
        QTest::keyClick(kind, Qt::Key_Return);
    });
    A("DevAdd")->trigger();
    ASSERT_EQ(m->pointCount, 1);
    EXPECT_FLOAT_EQ(m->points[0].pollPeriod, 4.2f);
    EXPECT_EQ(Tree()->currentItem()->text(0), QStringLiteral("Адаптер_1 (COM1)"));
    EXPECT_TRUE(A("Restart")->isEnabled());
    EXPECT_TRUE(form->windowTitle().endsWith(QStringLiteral(" (Не сохранено)")));
    EXPECT_TRUE(poll->Polling());
    EXPECT_EQ(m->points[0].serialPort, ports[0]);
    // FileNew stopped polling; the operation stopped it again and started it on its way out.
    ASSERT_GE(pollingEvents.size(), 2u);
    EXPECT_FALSE(pollingEvents[pollingEvents.size() - 2]);
    EXPECT_TRUE(pollingEvents.back());
}

TEST_F(MainWindow, DeletingTheFirstDeviceSelectsItsPoint) {
    TwoDevices();
    Build();
    form->RebuildTree(0, 0);
    test::OnModal([](QWidget* w) { test::Answer(w, QMessageBox::Yes); });
    A("DevDelete")->trigger();
    ASSERT_EQ(m->points[0].deviceCount, 1);
    EXPECT_EQ(Tree()->currentItem()->text(0), QStringLiteral("L1 (COM3)"));
    EXPECT_EQ(List()->topLevelItemCount(), 1);
    EXPECT_EQ(List()->topLevelItem(0)->text(0), QStringLiteral("D2 (U №7).P3"));
}

TEST_F(MainWindow, AFullPointListsAllItsRows) {
    test::AddPoint(*m, QStringLiteral("L"), "COM1");
    m->typeMasks[0] = 0xFFFFFFFFu;
    for (int a = 1; a <= kMaxDevicesPerPoint; ++a)
        test::AddDevice(*m, 0, QStringLiteral("d"), 0, a, 0xFFFFFFFFu);
    Build();
    form->RebuildTree(0, -1);
    form->show();
    form->RefreshView();
    EXPECT_EQ(List()->topLevelItemCount(), kMaxDevicesPerPoint * kParamsPerDevice);
    EXPECT_EQ(List()->topLevelItem(4095)->text(0), QStringLiteral("d (T №128).P31"));
}

TEST_F(MainWindow, EventLogShowsTheNewestLineOnTopFromAnyThread) {
    Build();
    form->AddEventLine(QStringLiteral("GBOnCreateInstance"));
    form->AddEventLine(QStringLiteral("GBOnLock"));
    std::thread t([this] { form->AddEventLine(QStringLiteral("GBOnReadItems")); });
    t.join();
    QElapsedTimer timer;
    timer.start();
    while (form->EventLog()->rowCount() < 3 && timer.elapsed() < 5000) QTest::qWait(5);
    ASSERT_EQ(form->EventLog()->rowCount(), 3);
    EXPECT_EQ(form->EventLog()->line(0), QStringLiteral("GBOnReadItems"));
    EXPECT_EQ(form->EventLog()->line(2), QStringLiteral("GBOnCreateInstance"));
    EXPECT_EQ(form->EventList()->model()->rowCount(), 3);
}

TEST_F(MainWindow, HintsGoToTheFirstStatusPanel) {
    Build();
    form->show();
    QStatusTipEvent tip(QStringLiteral("Создать новую конфигурацию"));
    QApplication::sendEvent(form.get(), &tip);
    EXPECT_EQ(form->findChild<QLabel*>(QStringLiteral("StatusPanel0"))->text(),
              QStringLiteral("Создать новую конфигурацию"));
    EXPECT_TRUE(form->findChild<QLabel*>(QStringLiteral("StatusPanel1"))->text().isEmpty());
    QStatusTipEvent none{QString()};
    QApplication::sendEvent(form.get(), &none);
    EXPECT_TRUE(form->findChild<QLabel*>(QStringLiteral("StatusPanel0"))->text().isEmpty());
}

TEST_F(MainWindow, OpenDialogHasTheTitleFilterAndSuffix) {
    Build();
    QTemporaryDir dir;
    test::OnModal([&](QWidget* w) {
        auto* d = qobject_cast<QFileDialog*>(w);
        ASSERT_NE(d, nullptr);
        EXPECT_EQ(d->objectName(), QStringLiteral("Open"));
        EXPECT_EQ(d->windowTitle(), QStringLiteral("Открыть файл конфигурации"));
        EXPECT_EQ(d->nameFilters(), QStringList{QStringLiteral("Файлы конфигурации (*.cfg)")});
        EXPECT_EQ(d->defaultSuffix(), QStringLiteral("cfg"));
        EXPECT_EQ(QDir(d->directory()).canonicalPath(), QDir(dir.path()).canonicalPath());
        d->reject();
    });
    EXPECT_FALSE(
        form->Prompt().ChooseFileToOpen(QStringLiteral("Открыть файл конфигурации"), dir.path() + "/"));
}

TEST_F(MainWindow, SavingAnUntitledConfigurationAsksForTheFileAndConfirmsOverwrite) {
    Build();
    doc->FileNew();
    test::AddPoint(*m, QStringLiteral("L1"), "COM3");
    doc->SetUnsaved();
    QTemporaryDir dir;
    QFile existing(dir.filePath(QStringLiteral("plant.cfg")));
    ASSERT_TRUE(existing.open(QIODevice::WriteOnly));
    existing.write("old");
    existing.close();
    form->UpdateCaption();
    test::TBoxSeen overwrite;
    test::OnModal([&](QWidget* w) {
        auto* d = qobject_cast<QFileDialog*>(w);
        ASSERT_NE(d, nullptr);
        EXPECT_EQ(d->objectName(), QStringLiteral("Save"));
        EXPECT_EQ(d->windowTitle(), QStringLiteral("Сохранить файл конфигурации"));
        EXPECT_FALSE(d->testOption(QFileDialog::DontConfirmOverwrite));
        d->setDirectory(dir.path());
        d->findChild<QLineEdit*>(QStringLiteral("fileNameEdit"))->setText(QStringLiteral("plant"));
        test::OnModal([&](QWidget* box) { test::Answer(box, QMessageBox::Yes, &overwrite); });
        static_cast<QDialog*>(d)->accept();
    });
    A("FileSave")->trigger();
    EXPECT_TRUE(overwrite.text.contains(QStringLiteral("plant.cfg")));
    EXPECT_TRUE(
        overwrite.buttons.join(QLatin1Char(' ')).remove(QLatin1Char('&')).contains(QStringLiteral("Да")));
    EXPECT_EQ(QFileInfo(dir.filePath(QStringLiteral("plant.cfg"))).size(), 18 + 90528);
    EXPECT_EQ(form->windowTitle(),
              QStringLiteral("plant - QORA OPC Server v") + QStringLiteral(QORA_VERSION_STRING));
    EXPECT_FALSE(A("FileSave")->isEnabled());
}

TEST_F(MainWindow, SaveQuestionUsesYesNoAndCancelInRussianAndEscCancels) {
    Build();
    doc->FileNew();
    test::AddPoint(*m, QStringLiteral("L1"), "COM3");
    doc->SetUnsaved();
    test::OnModal([&](QWidget* w) { QTest::keyClick(w, Qt::Key_Escape); });
    EXPECT_EQ(doc->SaveQuestion(), TConfigDocument::SaveQuestionOutcome::Cancelled);
    test::OnModal([&](QWidget* w) { test::Answer(w, QMessageBox::Cancel); });
    EXPECT_EQ(doc->SaveQuestion(), TConfigDocument::SaveQuestionOutcome::Cancelled);
    EXPECT_TRUE(doc->Unsaved());
    test::TBoxSeen seen;
    test::OnModal([&](QWidget* w) { test::Answer(w, QMessageBox::No, &seen); });
    EXPECT_EQ(doc->SaveQuestion(), TConfigDocument::SaveQuestionOutcome::Declined);
    EXPECT_EQ(seen.title, QStringLiteral("Предупреждение"));
    EXPECT_EQ(seen.text, QStringLiteral("Текущая конфигурация не сохранена.\nСохранить?"));
    EXPECT_EQ(seen.icon, QMessageBox::Information);
    QStringList plain;
    for (QString b : seen.buttons) plain << b.remove(QLatin1Char('&'));
    plain.sort();
    EXPECT_EQ(plain, (QStringList{"Да", "Нет", "Отмена"}));
}

TEST_F(MainWindow, AboutBoxOpensFromItsActionAndClosesWithEsc) {
    Build();
    QString os, memory;
    test::OnModal([&](QWidget* w) {
        os = w->findChild<QLabel*>(QStringLiteral("L1"))->text();
        memory = w->findChild<QLabel*>(QStringLiteral("L2"))->text();
        QTest::keyClick(w, Qt::Key_Escape);
    });
    A("HelpAbout")->trigger();
    EXPECT_FALSE(os.isEmpty());
    EXPECT_TRUE(memory.startsWith(QStringLiteral("Доступно памяти: ")));
    EXPECT_TRUE(memory.endsWith(QStringLiteral(" Кбайт")));
}

}  // namespace
}  // namespace qora
