#include "ui/main_form.h"

#include <QAction>
#include <QApplication>
#include <QCloseEvent>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QListView>
#include <QMenu>
#include <QMenuBar>
#include <QScreen>
#include <QSplitter>
#include <QStatusBar>
#include <QStatusTipEvent>
#include <QSystemTrayIcon>
#include <QTimer>
#include <QToolBar>
#include <QTreeWidget>
#include <QVBoxLayout>

#include "comm/poll_cycle.h"
#include "comm/serial/com_port.h"
#include "config/settings.h"
#include "ui/about_box.h"
#include "ui/cell_format.h"
#include "ui/device_add_form.h"
#include "ui/event_log.h"
#include "ui/design_font.h"
#include "ui/image_list.h"
#include "ui/message_box.h"
#include "ui/os_version.h"
#include "ui/point_add_form.h"
#include "ui/type_selction_form.h"
#include "ui/ui_texts.h"
#include "ui/widget_prompt.h"

#ifndef QORA_VERSION_STRING
#define QORA_VERSION_STRING ""
#endif

namespace qora {

namespace {

constexpr int kRolePoint = TMainForm::kPointRole;
constexpr int kRoleDevice = TMainForm::kDeviceRole;
constexpr int kRoleImage = TMainForm::kImageRole;

constexpr int kColName = 0;
constexpr int kColValue = 1;
constexpr int kColQuality = 2;
constexpr int kColTime = 3;

struct TActionInfo {
    const char* name;
    const char* category;
    const char* caption;
    const char* hint;
    const char* key;  // portable text of the shortcut; empty: none
    int image;
};

}  // namespace

// The dialogs of the add, edit and delete operations, modal on this window.
class TMainForm::TDialogs : public IEditDialogs {
public:
    explicit TDialogs(TMainForm* owner) : owner_(owner) {}
    bool ChooseKind(const QStringList& entries, int& selected) override {
        TTypeSelctionForm form(entries, selected, owner_);
        if (form.exec() != QDialog::Accepted) return false;
        selected = form.selectedIndex();
        return true;
    }
    bool RunPointDialog(TPointDialogData& data) override {
        TPointAddForm form(data, owner_);
        return form.exec() == QDialog::Accepted;
    }
    bool RunDeviceDialog(TDeviceDialogData& data) override {
        TDeviceAddForm form(data, owner_);
        return form.exec() == QDialog::Accepted;
    }
    void Message(const QString& text) override { ShowMessage(owner_, text); }
    bool Question(const QString& text) override { return AskYesNo(owner_, text); }

private:
    TMainForm* owner_;
};

TMainForm::TMainForm(TMainFormCore core, QWidget* parent) : QMainWindow(parent), core_(std::move(core)) {
    setObjectName(QStringLiteral("MainForm"));
    setFont(DesignFont());
    setWindowTitle(texts::kNewConfigName + QStringLiteral(" - ") + texts::kProgramTitle);
    for (int i = 0; i < kImageCount; ++i) images_[static_cast<size_t>(i)] = ImageListIcon(i);
    setWindowIcon(ProgramIcon());

    CreateActions();
    CreateMenus();
    CreateWidgets();
    CreateTray();

    prompt_ = std::make_unique<TWidgetPrompt>(this);
    dialogs_ = std::make_unique<TDialogs>(this);
    TEditHooks hooks;
    hooks.stopPolling = [this] { StopPolling(); };
    hooks.startPolling = [this] { StartPolling(); };
    hooks.rebuildTree = [this](int p, int d) { RebuildTree(p, d); };
    hooks.clearList = [this] { ClearList(); };
    hooks.changed = [this] {
        if (core_.document != nullptr) core_.document->SetUnsaved();
        EnableRestart();
        UpdateCaption();
    };
    auto portTable = [this] {
        std::vector<std::string> names;
        if (core_.ports != nullptr)
            for (const TComPort* port : *core_.ports)
                if (port != nullptr) names.push_back(port->PortName());
        return names;
    };
    edit_ = std::make_unique<TEditOperations>(*core_.model, portTable, *dialogs_, std::move(hooks));

    opcTimer_ = new QTimer(this);
    opcTimer_->setObjectName(QStringLiteral("OPCTimer"));
    opcTimer_->setInterval(1000);
    connect(opcTimer_, &QTimer::timeout, this, &TMainForm::OPCTimerTimer);
    if (core_.poll != nullptr)
        core_.poll->SetOpcTimerHook([this](bool enabled) {
            enabled ? opcTimer_->start() : opcTimer_->stop();
            if (core_.pollingHook) core_.pollingHook(enabled);
        });

    Action(QStringLiteral("Restart"))->setEnabled(false);

    resize(705, 510 + menuBar()->sizeHint().height());  // a client area of 705 x 510
    if (const QScreen* screen = QGuiApplication::primaryScreen()) {
        QRect r = frameGeometry();
        r.moveCenter(screen->availableGeometry().center());
        move(r.topLeft());
    }
}

TMainForm::~TMainForm() {
    if (core_.poll != nullptr) core_.poll->SetOpcTimerHook({});
}

void TMainForm::SetDocument(TConfigDocument* document) { core_.document = document; }

IOperatorPrompt& TMainForm::Prompt() { return *prompt_; }

void TMainForm::CreateActions() {
    actionList_ = new QObject(this);
    actionList_->setObjectName(QStringLiteral("ActionList"));
    const TActionInfo actionTable[] = {
        {"FileCreate", "File", "Создать", "Создать новую конфигурацию", "Ctrl+N", kImgFileCreate},
        {"FileOpen", "File", "Открыть", "Открыть существующую конфигурацию", "Ctrl+O", kImgFileOpen},
        {"FileSave", "File", "Сохранить", "Сохранить активную конфигурацию", "Ctrl+S", kImgFileSave},
        {"FileSaveAs", "File", "Сохранить как...", "Сохранить активную конфигурацию в файле с другим именем",
         "", kImgFileSaveAs},
        {"FileExit", "File", "Выход", "Выйти из программы", "Alt+F4",
         kImgFileExit},
        {"DevAdd", "Devices", "Добавить", "Добавить новое устройство", "Ins",
         kImgDevAdd},
        {"DevEdit", "Devices", "Изменить", "Изменить свойства выбранного устройства", "Return", kImgDevEdit},
        {"DevDelete", "Devices", "Удалить", "Удалить выбранное устройство", "Del",
         kImgDevDelete},
        {"Restart", "Devices", "Перезапуск", "Перезапустить сервер", "", kImgRestart},
        {"HelpAbout", "Help", "О программе...", "Отобразить информацию о программе, номере версии и авторских правах ",
         "", kImgHelpAbout},
        {"HelpHelp", "Help", "Справка", "Показать файл справки", "F1", kImgHelpHelp},
        {"ShowHide", "", "Скрыть/Показать", "", "", kImgShowHide},
    };
    for (const TActionInfo& s : actionTable) {
        auto* a = new QAction(images_[static_cast<size_t>(s.image)], QString::fromUtf8(s.caption), actionList_);
        a->setObjectName(QString::fromLatin1(s.name));
        a->setProperty("category", QString::fromLatin1(s.category));
        a->setProperty("imageIndex", s.image);
        const QString hint = QString::fromUtf8(s.hint);
        a->setStatusTip(hint);
        if (!hint.isEmpty()) a->setToolTip(hint);
        if (*s.key != 0) {
            QList<QKeySequence> keys{QKeySequence::fromString(QLatin1String(s.key), QKeySequence::PortableText)};
            if (qstrcmp(s.key, "Return") == 0) keys << QKeySequence(Qt::Key_Enter);  // the keypad's Enter too
            a->setShortcuts(keys);
        }
        addAction(a);  // shortcuts work with the window active, menu or not
    }
    connect(Action(QStringLiteral("FileCreate")), &QAction::triggered, this, &TMainForm::FileCreateExecute);
    connect(Action(QStringLiteral("FileOpen")), &QAction::triggered, this, &TMainForm::FileOpenExecute);
    connect(Action(QStringLiteral("FileSave")), &QAction::triggered, this, &TMainForm::FileSaveExecute);
    connect(Action(QStringLiteral("FileSaveAs")), &QAction::triggered, this, &TMainForm::FileSaveAsExecute);
    connect(Action(QStringLiteral("FileExit")), &QAction::triggered, this, &TMainForm::FileExitRequested);
    connect(Action(QStringLiteral("DevAdd")), &QAction::triggered, this, &TMainForm::DevAddExecute);
    connect(Action(QStringLiteral("DevEdit")), &QAction::triggered, this, &TMainForm::DevEditExecute);
    connect(Action(QStringLiteral("DevDelete")), &QAction::triggered, this, &TMainForm::DevDeleteExecute);
    connect(Action(QStringLiteral("Restart")), &QAction::triggered, this, &TMainForm::RestartRequested);
    connect(Action(QStringLiteral("HelpAbout")), &QAction::triggered, this, &TMainForm::HelpAboutExecute);
    connect(Action(QStringLiteral("HelpHelp")), &QAction::triggered, this, &TMainForm::HelpHelpExecute);
    connect(Action(QStringLiteral("ShowHide")), &QAction::triggered, this, &TMainForm::ShowHideExecute);
}

QAction* TMainForm::Action(const QString& name) const {
    return actionList_ ? actionList_->findChild<QAction*>(name, Qt::FindDirectChildrenOnly) : nullptr;
}

const QIcon& TMainForm::Image(int index) const {
    static const QIcon none;
    return index >= 0 && index < kImageCount ? images_[static_cast<size_t>(index)] : none;
}

void TMainForm::CreateMenus() {
    QMenuBar* bar = menuBar();
    bar->setObjectName(QStringLiteral("MainMenu"));
    QMenu* file = bar->addMenu(QStringLiteral("Файл"));
    file->setObjectName(QStringLiteral("FileMenu"));
    for (const char* n : {"FileCreate", "FileOpen", "FileSave", "FileSaveAs"}) file->addAction(Action(QLatin1String(n)));
    file->addSeparator();
    file->addAction(Action(QStringLiteral("FileExit")));
    QMenu* dev = bar->addMenu(QStringLiteral("Устройства"));
    dev->setObjectName(QStringLiteral("DevicesMenu"));
    for (const char* n : {"DevAdd", "DevEdit", "DevDelete"}) dev->addAction(Action(QLatin1String(n)));
    dev->addSeparator();
    dev->addAction(Action(QStringLiteral("Restart")));
    QMenu* help = bar->addMenu(QStringLiteral("Помощь"));
    help->setObjectName(QStringLiteral("HelpMenu"));
    help->addAction(Action(QStringLiteral("HelpHelp")));
    help->addAction(Action(QStringLiteral("HelpAbout")));

    toolBar_ = addToolBar(QStringLiteral("ToolBar"));
    toolBar_->setObjectName(QStringLiteral("ToolBar"));
    toolBar_->setMovable(false);
    toolBar_->setFloatable(false);
    toolBar_->setIconSize(QSize(16, 16));
    toolBar_->setToolButtonStyle(Qt::ToolButtonIconOnly);
    for (const char* n : {"FileCreate", "FileOpen", "FileSave"}) toolBar_->addAction(Action(QLatin1String(n)));
    toolBar_->addSeparator();
    toolBar_->addAction(Action(QStringLiteral("Restart")));
    toolBar_->addSeparator();
    for (const char* n : {"DevAdd", "DevEdit", "DevDelete"}) toolBar_->addAction(Action(QLatin1String(n)));
    toolBar_->addSeparator();
}

void TMainForm::CreateWidgets() {
    auto* central = new QWidget(this);
    auto* layout = new QVBoxLayout(central);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);

    splitter_ = new QSplitter(Qt::Horizontal, central);
    splitter_->setObjectName(QStringLiteral("Splitter1"));
    splitter_->setHandleWidth(2);
    splitter_->setChildrenCollapsible(false);

    tree_ = new QTreeWidget(splitter_);
    tree_->setObjectName(QStringLiteral("Tree"));
    tree_->setHeaderHidden(true);
    tree_->setColumnCount(1);
    tree_->setIndentation(19);
    tree_->setIconSize(QSize(16, 16));
    tree_->setEditTriggers(QAbstractItemView::NoEditTriggers);
    tree_->setSelectionMode(QAbstractItemView::SingleSelection);
    connect(tree_, &QTreeWidget::currentItemChanged, this,
            [this](QTreeWidgetItem* current, QTreeWidgetItem*) { TreeChange(current); });

    list_ = new QTreeWidget(splitter_);
    list_->setObjectName(QStringLiteral("List"));
    list_->setRootIsDecorated(false);
    list_->setUniformRowHeights(true);
    list_->setItemsExpandable(false);
    list_->setEditTriggers(QAbstractItemView::NoEditTriggers);
    list_->setSelectionMode(QAbstractItemView::SingleSelection);
    list_->setIconSize(QSize(16, 16));
    list_->setColumnCount(4);
    list_->setHeaderLabels(
        {QStringLiteral("Название"), QStringLiteral("Значение"), QStringLiteral("Качество"), QStringLiteral("Время")});
    list_->headerItem()->setTextAlignment(kColValue, Qt::AlignCenter);
    QHeaderView* header = list_->header();
    header->setStretchLastSection(false);
    header->setSectionsMovable(false);
    header->setMinimumSectionSize(50);
    const int widths[4] = {250, 70, 80, 130};
    for (int c = 0; c < 4; ++c) header->resizeSection(c, widths[c]);
    // Columns 0 to 2 keep their designed width as minimum; column 3 may go down to 50.
    connect(header, &QHeaderView::sectionResized, this, [header](int c, int, int size) {
        static constexpr int kMin[4] = {250, 70, 80, 50};
        if (c >= 0 && c < 4 && size < kMin[c]) header->resizeSection(c, kMin[c]);
    });

    splitter_->addWidget(tree_);
    splitter_->addWidget(list_);
    splitter_->setStretchFactor(0, 0);
    splitter_->setStretchFactor(1, 1);
    splitter_->setSizes({169, 705 - 169 - 2});

    eventLog_ = new TEventLog(this);
    eventList_ = new QListView(central);
    eventList_->setObjectName(QStringLiteral("EventList"));
    eventList_->setModel(eventLog_);
    eventList_->setFixedHeight(97);
    eventList_->setUniformItemSizes(true);
    eventList_->setEditTriggers(QAbstractItemView::NoEditTriggers);

    layout->addWidget(splitter_, 1);
    layout->addWidget(eventList_);
    setCentralWidget(central);

    QStatusBar* bar = statusBar();
    bar->setObjectName(QStringLiteral("StatusBar"));
    bar->setSizeGripEnabled(true);
    hintPanel_ = new QLabel(bar);
    hintPanel_->setObjectName(QStringLiteral("StatusPanel0"));
    hintPanel_->setFixedWidth(450);
    secondPanel_ = new QLabel(bar);
    secondPanel_->setObjectName(QStringLiteral("StatusPanel1"));
    secondPanel_->setFixedWidth(50);
    bar->addWidget(hintPanel_);
    bar->addWidget(secondPanel_);
}

void TMainForm::CreateTray() {
    trayPopup_ = new QMenu(this);
    trayPopup_->setObjectName(QStringLiteral("TrayPopup"));
    trayPopup_->addAction(Action(QStringLiteral("ShowHide")));
    trayPopup_->addSeparator();
    trayPopup_->addAction(Action(QStringLiteral("Restart")));
    trayPopup_->addSeparator();
    trayPopup_->addAction(Action(QStringLiteral("FileExit")));

    trayIcon_ = new QSystemTrayIcon(ProgramIcon(), this);
    trayIcon_->setObjectName(QStringLiteral("TrayIcon"));
    trayIcon_->setToolTip(texts::kProgramTitle);
    trayIcon_->setContextMenu(trayPopup_);
    connect(trayIcon_, &QSystemTrayIcon::activated, this, [this](QSystemTrayIcon::ActivationReason reason) {
        if (reason == QSystemTrayIcon::DoubleClick) ShowHideExecute();
    });
    // Shown from the start (appears once a notification area exists).
    if (core_.showTrayIcon) trayIcon_->show();
    trayAvailable_ = QSystemTrayIcon::isSystemTrayAvailable();
}

// ---- tree and list -------------------------------------------------------------------------

void TMainForm::RebuildTree(int point, int device) {
    const TConfigModel& m = *core_.model;
    {
        const QSignalBlocker block(tree_);
        tree_->clear();
    }
    const bool any = m.pointCount != 0;
    Action(QStringLiteral("DevEdit"))->setEnabled(any);
    Action(QStringLiteral("DevDelete"))->setEnabled(any);

    QTreeWidgetItem* chosen = nullptr;
    const int count = std::min<int>(m.pointCount, kMaxPoints);
    QList<QTreeWidgetItem*> roots;
    for (int i = 0; i < count; ++i) {
        const TConnectionPoint& p = m.points[i];
        auto* node = new QTreeWidgetItem(QStringList{PointCaption(p)});
        node->setData(0, kRolePoint, i);
        node->setData(0, kRoleDevice, -1);
        SetNodeImage(node, kImgNormal);
        if (i == point && device == -1) chosen = node;
        const int devices = std::min<int>(p.deviceCount, kMaxDevicesPerPoint);
        for (int j = 0; j < devices; ++j) {
            auto* child = new QTreeWidgetItem(node, QStringList{DeviceCaption(m, p.devices[j])});
            child->setData(0, kRolePoint, i);
            child->setData(0, kRoleDevice, j);
            SetNodeImage(child, kImgNormal);
            if (i == point && j == device) chosen = child;
        }
        roots << node;
    }
    {
        const QSignalBlocker block(tree_);
        tree_->addTopLevelItems(roots);
    }
    if (roots.isEmpty()) {
        // No node to select: the list shows nothing either.
        FillList(nullptr);
        return;
    }
    if (chosen == nullptr) chosen = roots.front();
    tree_->setCurrentItem(chosen);  // runs TreeChange
    tree_->scrollToItem(chosen);    // expands the point of a device node
}

TNodeRef TMainForm::SelectedNode() const {
    const QTreeWidgetItem* item = tree_->currentItem();
    if (item == nullptr) return {};
    return {item->data(0, kRolePoint).toInt(), item->data(0, kRoleDevice).toInt()};
}

void TMainForm::TreeChange(QTreeWidgetItem* current) { FillList(current); }

void TMainForm::SetNodeImage(QTreeWidgetItem* node, int image) {
    if (node->data(0, kRoleImage).isValid() && node->data(0, kRoleImage).toInt() == image) return;
    node->setData(0, kRoleImage, image);
    node->setIcon(0, Image(image));
}

void TMainForm::ClearList() {
    list_->clear();
    rows_.clear();
}

void TMainForm::FillCells(int k, QTreeWidgetItem* row, const TDevice& d, int n) {
    row->setText(kColValue, FormatValue(LoadValue(d, n)));
    if (const std::optional<TQualityCell> q = QualityCell(LoadQuality(d, n))) {
        row->setText(kColQuality, q->text);
        TRow& r = rows_[static_cast<size_t>(k)];
        if (r.image != q->image) {
            r.image = q->image;
            row->setIcon(kColQuality, Image(q->image));
        }
    }
    row->setText(kColTime, FormatTimestamp(LoadTimestamp(d, n)));
}

void TMainForm::FillList(QTreeWidgetItem* node) {
    ClearList();
    if (node == nullptr) return;
    const TConfigModel& m = *core_.model;
    const int p = node->data(0, kRolePoint).toInt();
    const int dev = node->data(0, kRoleDevice).toInt();
    if (p < 0 || p >= m.pointCount) return;
    const TConnectionPoint& point = m.points[p];
    const bool deviceNode = node->parent() != nullptr;
    const int first = deviceNode ? dev : 0;
    const int last = deviceNode ? dev : std::min<int>(point.deviceCount, kMaxDevicesPerPoint) - 1;
    if (deviceNode && (dev < 0 || dev >= point.deviceCount)) return;

    QList<QTreeWidgetItem*> items;
    for (int j = first; j <= last; ++j) {
        const TDevice& d = point.devices[j];
        const uint32_t mask = LoadMask(d);
        for (int n = 0; n < kParamsPerDevice; ++n) {
            if (((mask >> n) & 1u) == 0) continue;
            const QString caption = deviceNode ? ParamName(m, n) : PointRowCaption(m, d, n);
            auto* row = new QTreeWidgetItem(QStringList{caption, texts::kUnknown, texts::kUnknown, texts::kUnknown});
            row->setTextAlignment(kColValue, Qt::AlignCenter);
            items << row;
            rows_.push_back({p, j, n, -1});
        }
    }
    list_->addTopLevelItems(items);
    for (int k = 0; k < items.size(); ++k) {
        const TRow& r = rows_[static_cast<size_t>(k)];
        FillCells(k, items[k], m.points[r.point].devices[r.device], r.param);
    }
}

void TMainForm::OPCTimerTimer() {
    if (core_.opcPush) core_.opcPush();
    RefreshView();
}

void TMainForm::RefreshView() {
    if (windowHidden_ || !isVisible() || tree_->topLevelItemCount() == 0) return;
    const TConfigModel& m = *core_.model;
    for (int i = 0; i < tree_->topLevelItemCount(); ++i) {
        QTreeWidgetItem* node = tree_->topLevelItem(i);
        const int p = node->data(0, kRolePoint).toInt();
        if (p < 0 || p >= m.pointCount) continue;
        const TConnectionPoint& point = m.points[p];
        const TComPort* port = point.serialPort;
        SetNodeImage(node, PointNodeImage(port != nullptr, port != nullptr && port->Connected()));
        for (int c = 0; c < node->childCount(); ++c) {
            QTreeWidgetItem* child = node->child(c);
            const int j = child->data(0, kRoleDevice).toInt();
            if (j < 0 || j >= point.deviceCount) continue;
            SetNodeImage(child, DeviceNodeImage(point.devices[j]));
        }
    }
    if (tree_->currentItem() == nullptr) return;
    const int rows = std::min<int>(list_->topLevelItemCount(), static_cast<int>(rows_.size()));
    for (int k = 0; k < rows; ++k) {
        const TRow& r = rows_[static_cast<size_t>(k)];
        if (r.point >= m.pointCount || r.device >= m.points[r.point].deviceCount) continue;
        FillCells(k, list_->topLevelItem(k), m.points[r.point].devices[r.device], r.param);
    }
}

// ---- caption, status bar, event log ----------------------------------------------------------

void TMainForm::UpdateCaption() {
    const QString version = QStringLiteral(QORA_VERSION_STRING);
    const TConfigDocument* doc = core_.document;
    const TCaption c = MakeCaption(doc ? doc->ConfigName() : QString(),
                                   version.isEmpty() ? std::nullopt : std::optional<QString>(version),
                                   doc && doc->Unsaved(), doc && doc->Untitled(), core_.model->pointCount);
    Action(QStringLiteral("FileSave"))->setEnabled(c.fileSaveEnabled);
    // The window's title is also its task-bar entry on this platform.
    setWindowTitle(c.text);
}

void TMainForm::HintHandler(const QString& hint) { hintPanel_->setText(hint); }

bool TMainForm::event(QEvent* e) {
    if (e->type() == QEvent::StatusTip) {
        HintHandler(static_cast<QStatusTipEvent*>(e)->tip());
        return true;
    }
    return QMainWindow::event(e);
}

void TMainForm::AddEventLine(const QString& line) { eventLog_->AddLine(line); }

// ---- hiding and showing -------------------------------------------------------------------------

void TMainForm::HideToTray() {
    // Without a notification area a hidden window could never be brought back: it is
    // minimised instead, and counts as hidden all the same.
    if (trayAvailable_)
        hide();
    else
        showMinimized();
    windowHidden_ = true;
}

void TMainForm::ShowHideExecute() {
    if (windowHidden_) {
        showNormal();
        raise();
        activateWindow();
        windowHidden_ = false;
    } else {
        HideToTray();
    }
}

void TMainForm::FormPaint() {
    if (!firstPaint_) return;
    firstPaint_ = false;
    if (startedByCom_) QTimer::singleShot(0, this, [this] { HideToTray(); });
}

void TMainForm::paintEvent(QPaintEvent* e) {
    QMainWindow::paintEvent(e);
    FormPaint();
}

void TMainForm::closeEvent(QCloseEvent* e) {
    // FormClose: the window hides to the notification area; the server goes on.
    e->ignore();
    HideToTray();
    emit FormClosed();
}

// ---- polling and the file actions ------------------------------------------------------------

void TMainForm::StopPolling() {
    if (core_.poll != nullptr) core_.poll->StopPolling();
}

void TMainForm::StartPolling() {
    if (core_.poll != nullptr) core_.poll->StartPolling();
}

void TMainForm::EnableRestart() { Action(QStringLiteral("Restart"))->setEnabled(true); }

void TMainForm::RecordStartupConfiguration(const QString& path) {
    if (core_.settings != nullptr) core_.settings->RecordStartupConfiguration(path);
}

void TMainForm::FileCreateExecute() {
    if (core_.document != nullptr) core_.document->FileNew();
}

void TMainForm::FileOpenExecute() {
    if (core_.document != nullptr) core_.document->FileOpen();
}

void TMainForm::FileSaveExecute() {
    if (core_.document != nullptr) core_.document->FileSave();
}

void TMainForm::FileSaveAsExecute() {
    if (core_.document != nullptr) core_.document->FileSaveAs();
}

// ---- configuration dialogs and the about box -------------------------------------------------

void TMainForm::DevAddExecute() { edit_->DevAddExecute(SelectedNode()); }

void TMainForm::DevEditExecute() { edit_->DevEditExecute(SelectedNode()); }

void TMainForm::DevDeleteExecute() {
    const QTreeWidgetItem* item = tree_->currentItem();
    edit_->DevDeleteExecute(SelectedNode(), item ? item->text(0) : QString());
}

void TMainForm::HelpAboutExecute() {
    TAboutBox box(this);
    box.SetOSText(CurrentOSDescription());
    box.SetMemoryText(MemoryLine(CurrentMemAvailableKb().value_or(0)));
    box.exec();
}

}  // namespace qora
