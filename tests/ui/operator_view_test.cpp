// What the operator sees and reaches: the refresh after a restore, the keyboard, texts that
// show whole at any face size, file dialogs that live for one operation, the tree selection.
#include <QApplication>
#include <QCompleter>
#include <QFileDialog>
#include <QHeaderView>
#include <QLineEdit>
#include <QListView>
#include <QMenu>
#include <QMenuBar>
#include <QScrollBar>
#include <QSet>
#include <QShortcut>
#include <QSplitter>
#include <QTemporaryDir>
#include <QWindow>

#include "config/records.h"
#include "main_form_fixture.h"
#include "ui/cell_format.h"
#include "ui/ui_texts.h"

namespace qora {
namespace {

using test::MainWindow;

// What a cell needs to show `text` whole: its advance, the style's margins on both sides and,
// with an icon, the icon and its gap. Measured here independently of the window's own code.
int NeededWidth(const QTreeWidget* view, const QString& text, bool icon) {
    const int margins = 2 * (view->style()->pixelMetric(QStyle::PM_FocusFrameHMargin, nullptr, view) + 1);
    return QFontMetrics(view->font()).horizontalAdvance(text) + margins +
           (icon ? view->iconSize().width() + margins : 0);
}

// ---- the live view after hiding ------------------------------------------------------------------

TEST_F(MainWindow, RestoredByTheTaskBarAfterClosingWithoutANotificationAreaRefreshesAtOnce) {
    TwoDevices();
    Build();
    form->SetTrayAvailable(false);
    form->RebuildTree(0, 0);
    form->show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(form.get()));
    EXPECT_FALSE(form->close());  // closing minimises: there is no notification area
    ASSERT_TRUE(form->isMinimized());
    ASSERT_TRUE(form->WindowHidden());
    StoreValue(m->points[0].devices[0], 0, 5.0f);
    // The task bar restores the window through the window system, not through ShowHide.
    form->windowHandle()->setWindowStates(Qt::WindowNoState);
    EXPECT_TRUE(test::WaitUntil([&] { return !form->isMinimized(); }));
    EXPECT_FALSE(form->isMinimized());
    EXPECT_FALSE(form->WindowHidden());
    QTreeWidgetItem* r0 = List()->topLevelItem(0);
    EXPECT_EQ(r0->text(1), QStringLiteral("5,000"));  // at once, not at the next tick
    StoreValue(m->points[0].devices[0], 0, 6.0f);
    form->RefreshView();
    EXPECT_EQ(r0->text(1), QStringLiteral("6,000"));  // and the refresh goes on
}

TEST_F(MainWindow, AMaximisedWindowComesBackMaximised) {
    for (const bool tray : {true, false}) {
        SCOPED_TRACE(tray ? "notification area" : "no notification area");
        Build();
        form->SetTrayAvailable(tray);
        form->showMaximized();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(form.get()));
        form->ShowHideExecute();
        EXPECT_TRUE(form->WindowHidden());
        form->ShowHideExecute();
        EXPECT_FALSE(form->WindowHidden());
        EXPECT_TRUE(form->isVisible());
        EXPECT_TRUE(form->isMaximized());
        EXPECT_FALSE(form->isMinimized());
        form.reset();
    }
}

TEST_F(MainWindow, ShownFromTheTrayTheViewCatchesUpAtOnce) {
    TwoDevices();
    Build();
    form->RebuildTree(0, 0);
    form->show();
    form->ShowHideExecute();
    StoreValue(m->points[0].devices[0], 0, 7.0f);
    form->ShowHideExecute();
    EXPECT_EQ(List()->topLevelItem(0)->text(1), QStringLiteral("7,000"));
}

// ---- the keyboard ----------------------------------------------------------------------------------

TEST_F(MainWindow, EveryMenuAndMenuItemHasItsOwnMnemonic) {
    Build();
    auto mnemonics = [](const QList<QAction*>& actions, const char* where) {
        QSet<QString> seen;
        for (QAction* a : actions) {
            if (a->isSeparator()) continue;
            const QKeySequence key = QKeySequence::mnemonic(a->text());
            EXPECT_FALSE(key.isEmpty()) << where << ": " << a->text().toStdString();
            const QString k = key.toString(QKeySequence::PortableText);
            EXPECT_FALSE(seen.contains(k)) << where << ": " << k.toStdString() << " twice";
            seen.insert(k);
        }
    };
    mnemonics(form->menuBar()->actions(), "menu bar");
    for (QAction* menu : form->menuBar()->actions())
        mnemonics(menu->menu()->actions(), qPrintable(menu->text()));
    mnemonics(form->findChild<QMenu*>(QStringLiteral("TrayPopup"))->actions(), "tray");
    EXPECT_EQ(QKeySequence::mnemonic(form->menuBar()->actions().front()->text()),
              QKeySequence(Qt::ALT | Qt::Key(QChar(u'Ф').unicode())));
}

TEST_F(MainWindow, AltLetterAndF10OpenTheMenus) {
    Build();
    form->RebuildTree(-1, -1);
    const struct {
        Qt::Key key;
        Qt::KeyboardModifiers modifiers;
        QString text;
        const char* menu;
    } cases[] = {
        {Qt::Key(QChar(u'Ф').unicode()), Qt::AltModifier, QStringLiteral("ф"), "FileMenu"},
        {Qt::Key(QChar(u'У').unicode()), Qt::AltModifier, QStringLiteral("у"), "DevicesMenu"},
        {Qt::Key(QChar(u'П').unicode()), Qt::AltModifier, QStringLiteral("п"), "HelpMenu"},
        {Qt::Key_F10, Qt::NoModifier, QString(), "FileMenu"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.menu);
        ShowActive();
        QTest::sendKeyEvent(QTest::Press, Tree(), c.key, c.text, c.modifiers);
        QTest::sendKeyEvent(QTest::Release, Tree(), c.key, c.text, c.modifiers);
        QWidget* popup = QApplication::activePopupWidget();
        ASSERT_NE(popup, nullptr);
        EXPECT_EQ(popup->objectName(), QLatin1String(c.menu));
        popup->close();
        EXPECT_TRUE(test::WaitUntil([] { return QApplication::activePopupWidget() == nullptr; }));
    }
}

TEST_F(MainWindow, MenuShortcutsReadAsTheKeysAndExitAdvertisesNone) {
    Build();
    QStringList labels;
    for (QAction* menu : form->menuBar()->actions())
        for (QAction* a : menu->menu()->actions())
            if (!a->shortcut().isEmpty()) labels << a->shortcut().toString(QKeySequence::NativeText);
    EXPECT_EQ(labels, (QStringList{"Ctrl+N", "Ctrl+O", "Ctrl+S", "Ins", "Enter", "Del", "F1"}));
    // Both Enter keys edit.
    EXPECT_TRUE(A("DevEdit")->shortcuts().contains(QKeySequence(Qt::Key_Return)));
    EXPECT_TRUE(A("DevEdit")->shortcuts().contains(QKeySequence(Qt::Key_Enter)));
    // Alt+F4 is the window's close (hiding), never the exit.
    EXPECT_TRUE(A("FileExit")->shortcuts().isEmpty());
    int exits = 0;
    QObject::connect(form.get(), &TMainForm::FileExitRequested, [&] { ++exits; });
    ShowActive();
    QTest::keyClick(Tree(), Qt::Key_F4, Qt::AltModifier);
    EXPECT_EQ(exits, 0);
}

// ---- texts show whole -------------------------------------------------------------------------------

class MainWindowFaces : public MainWindow, public ::testing::WithParamInterface<int> {};

TEST_P(MainWindowFaces, ListColumnsShowTheMarkerTheQualitiesAndTheTimeWhole) {
    TwoDevices();
    test::SetCatalogueName(m->typeNames[0], QStringLiteral("Расходомер РС-1"));
    Build();
    QFont face = form->font();
    face.setPointSize(GetParam());
    form->setFont(face);
    form->StartPolling();  // values to the marker, qualities to 8
    form->RebuildTree(0, -1);
    form->show();
    StoreQuality(m->points[0].devices[1], 3, kQualityCommFailure);
    StoreTimestamp(m->points[0].devices[1], 3, 45654.0 + 0.999);
    form->RefreshView();
    ASSERT_EQ(List()->topLevelItemCount(), 3);
    EXPECT_EQ(List()->topLevelItem(0)->text(1), QStringLiteral("9999999,000"));
    for (int row = 0; row < List()->topLevelItemCount(); ++row) {
        const QTreeWidgetItem* item = List()->topLevelItem(row);
        for (int c = 0; c < 4; ++c)
            EXPECT_GE(List()->columnWidth(c), NeededWidth(List(), item->text(c), c == 2))
                << "row " << row << " column " << c << ": " << item->text(c).toStdString();
    }
    // Every quality text fits, not only those on show.
    for (const QString& q : {texts::kQualityGood, texts::kQualityNotConnected, texts::kQualityCommFailure})
        EXPECT_GE(List()->columnWidth(2), NeededWidth(List(), q, true)) << q.toStdString();
    // The operator cannot narrow the value and quality columns below their texts.
    List()->header()->resizeSection(1, 10);
    List()->header()->resizeSection(2, 10);
    EXPECT_GE(List()->columnWidth(1), NeededWidth(List(), QStringLiteral("9999999,000"), false));
    EXPECT_GE(List()->columnWidth(2), NeededWidth(List(), texts::kQualityNotConnected, true));
}

TEST_P(MainWindowFaces, TreeCaptionsScrollSidewaysAndShowWholeInTheirToolTips) {
    test::AddPoint(*m, QStringLiteral("Узел_учёта_на_вводе_в_здание"), "ttySIM3");
    test::SetCatalogueName(m->typeNames[0], QStringLiteral("Расходомер РС-1"));
    test::AddDevice(*m, 0, QStringLiteral("Счётчик_тепловой_энергии"), 0, 10, 1);
    Build();
    QFont face = form->font();
    face.setPointSize(GetParam());
    form->setFont(face);
    form->RebuildTree(0, 0);
    form->show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(form.get()));
    QTreeWidgetItem* device = Tree()->topLevelItem(0)->child(0);
    EXPECT_EQ(device->toolTip(0), QStringLiteral("Счётчик_тепловой_энергии (Расходомер РС-1 №10)"));
    EXPECT_EQ(Tree()->topLevelItem(0)->toolTip(0), QStringLiteral("Узел_учёта_на_вводе_в_здание (ttySIM3)"));
    // Narrowed by the operator, the tree scrolls sideways to the end of the longest caption.
    auto* splitter = form->findChild<QSplitter*>(QStringLiteral("Splitter1"));
    splitter->setSizes({60, 600});
    EXPECT_TRUE(test::WaitUntil([&] { return Tree()->horizontalScrollBar()->maximum() > 0; }));
    EXPECT_GE(Tree()->header()->sectionSize(0), NeededWidth(Tree(), device->text(0), true));
    EXPECT_GT(Tree()->horizontalScrollBar()->maximum(), 0);
}

TEST_P(MainWindowFaces, TheWindowGrowsToShowItsColumnsWithinTheScreen) {
    TwoDevices();
    Build();
    QFont face = form->font();
    face.setPointSize(GetParam());
    form->setFont(face);
    form->RebuildTree(0, -1);
    form->show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(form.get()));
    int columns = 0;
    for (int c = 0; c < 4; ++c) columns += List()->columnWidth(c);
    const int available = form->screen()->availableGeometry().width();
    // Either the four columns fit beside the tree, or the window is as wide as the screen.
    if (form->frameGeometry().width() < available)
        EXPECT_GE(List()->viewport()->width(), columns);
    else
        EXPECT_LE(form->frameGeometry().width(), available);
    EXPECT_GE(form->centralWidget()->width(), 705);
}

TEST_P(MainWindowFaces, TheEventLogShowsOnlyWholeLines) {
    Build();
    QFont face = form->font();
    face.setPointSize(GetParam());
    form->setFont(face);
    for (int i = 0; i < 20; ++i) form->AddEventLine(QStringLiteral("GBOnReadItems"));
    form->show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(form.get()));
    QListView* log = form->EventList();
    const int line = log->sizeHintForRow(0);
    ASSERT_GT(line, 0);
    EXPECT_EQ(log->viewport()->height() % line, 0)
        << "viewport " << log->viewport()->height() << ", line " << line;
    EXPECT_GE(log->viewport()->height() / line, 6);
}

INSTANTIATE_TEST_SUITE_P(DesignAndLarger, MainWindowFaces, ::testing::Values(8, 14),
                         [](const ::testing::TestParamInfo<int>& i) {
                             return "Pt" + std::to_string(i.param);
                         });

// ---- file dialogs -----------------------------------------------------------------------------------

TEST_F(MainWindow, EachFileDialogLivesForOneOperation) {
    Build();
    form->show();
    QTemporaryDir dir;
    QFile plant(dir.filePath(QStringLiteral("plant.cfg")));
    ASSERT_TRUE(plant.open(QIODevice::WriteOnly));
    plant.close();
    // The operator types a name (its completer offers plant.cfg) and cancels.
    test::OnModal([&](QWidget* w) {
        auto* edit = w->findChild<QLineEdit*>(QStringLiteral("fileNameEdit"));
        ASSERT_NE(edit, nullptr);
        edit->setFocus();
        QTest::keyClicks(edit, QStringLiteral("pla"));
        // The completer's model reads the folder in the background: cancel once it offers a name.
        EXPECT_TRUE(
            test::WaitUntil([&] { return edit->completer() && edit->completer()->completionCount() > 0; }));
        static_cast<QDialog*>(w)->reject();
    });
    EXPECT_FALSE(form->Prompt().ChooseFileToOpen(QString(), dir.path() + "/"));
    EXPECT_TRUE(form->findChildren<QFileDialog*>().isEmpty());
    QApplication::processEvents();
    for (QWidget* w : QApplication::topLevelWidgets())
        EXPECT_FALSE(w != form.get() && w->isVisible()) << "left on screen: " << w->metaObject()->className();
    // The next Open starts with an empty name.
    QString name = QStringLiteral("unset");
    test::OnModal([&](QWidget* w) {
        name = w->findChild<QLineEdit*>(QStringLiteral("fileNameEdit"))->text();
        static_cast<QDialog*>(w)->reject();
    });
    EXPECT_FALSE(form->Prompt().ChooseFileToOpen(QString(), dir.path() + "/"));
    EXPECT_EQ(name, QString());
    EXPECT_TRUE(form->findChildren<QFileDialog*>().isEmpty());
}

// ---- the tree selection --------------------------------------------------------------------------

TEST_F(MainWindow, ClickingEmptyTreeSpaceKeepsTheSelectionOnTheNodeEnterAndDelActOn) {
    TwoDevices();
    Build();
    form->RebuildTree(0, 1);
    ShowActive();
    QTreeWidgetItem* d2 = Tree()->currentItem();
    ASSERT_EQ(d2->text(0), QStringLiteral("D2 (U №7)"));
    const QRect last = Tree()->visualItemRect(d2);
    const QPoint below(last.left() + 10, last.bottom() + 3 * last.height());
    ASSERT_LT(below.y(), Tree()->viewport()->height());
    QTest::mouseClick(Tree()->viewport(), Qt::LeftButton, {}, below);
    EXPECT_EQ(Tree()->currentItem(), d2);
    EXPECT_EQ(Tree()->selectedItems(), QList<QTreeWidgetItem*>{d2});
    // The highlight runs across the tree, not only under the caption.
    EXPECT_GE(Tree()->header()->sectionSize(0), Tree()->viewport()->width());
    test::TBoxSeen box;
    test::OnModal([&](QWidget* w) { test::Answer(w, QMessageBox::No, &box); });
    QTest::keyClick(Tree(), Qt::Key_Delete);
    EXPECT_EQ(box.text, QStringLiteral("Вы действительно желаете удалить \"D2 (U №7)\"?"));
}

}  // namespace
}  // namespace qora
