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
#include <QShortcut>
#include <QSplitter>
#include <QStatusBar>
#include <QStatusTipEvent>
#include <QStyle>
#include <QSystemTrayIcon>
#include <QTimer>
#include <QToolBar>
#include <QTreeWidget>
#include <QVBoxLayout>

#include "comm/poll_cycle.h"
#include "comm/serial/com_port.h"
#include "ui/about_box.h"
#include "ui/cell_format.h"
#include "ui/design_font.h"
#include "ui/device_add_form.h"
#include "ui/event_log.h"
#include "ui/image_list.h"
#include "ui/message_box.h"
#include "ui/os_version.h"
#include "ui/point_add_form.h"
#include "ui/type_selction_form.h"
#include "ui/ui_texts.h"
#include "ui/view_metrics.h"
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

// Designed sizes in pixels (for the design face; see DesignPixels).
constexpr int kClientWidth = 705;
constexpr int kClientHeight = 510;
constexpr int kTreeWidth = 169;

// 28.12.2024 23:58:58: the widest date and time the time column shows.
constexpr double kWidestTimestamp = 45654.0 + (23 * 3600 + 58 * 60 + 58) / 86400.0;

struct TActionInfo {
    QAction* TMainFormActions::*action;  // where the action is kept
    void (TMainForm::*handler)();        // what triggering it runs
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

    actions_.restart->setEnabled(false);

    // The designed client area of 705 x 510, grown with a taller face.
    resize(DesignPixels(font(), kClientWidth),
           DesignPixels(font(), kClientHeight) + menuBar()->sizeHint().height());
    if (const QScreen* screen = QGuiApplication::primaryScreen()) {
        QRect r = frameGeometry();
        r.moveCenter(screen->availableGeometry().center());
        move(r.topLeft());
    }
}

TMainForm::~TMainForm() = default;

void TMainForm::SetDocument(TConfigDocument* document) {
    core_.document = document;
}

IOperatorPrompt& TMainForm::Prompt() {
    return *prompt_;
}

void TMainForm::CreateActions() {
    actionList_ = new QObject(this);
    actionList_->setObjectName(QStringLiteral("ActionList"));
    using A = TMainFormActions;
    using F = TMainForm;
    const TActionInfo actionTable[] = {
        // The captions carry their menu mnemonics (Alt+letter while the menu is open).
        {&A::fileCreate, &F::FileCreateExecute, "FileCreate", "File", "&Создать",
         "Создать новую конфигурацию", "Ctrl+N", kImgFileCreate},
        {&A::fileOpen, &F::FileOpenExecute, "FileOpen", "File", "&Открыть",
         "Открыть существующую конфигурацию", "Ctrl+O", kImgFileOpen},
        {&A::fileSave, &F::FileSaveExecute, "FileSave", "File", "Со&хранить",
         "Сохранить активную конфигурацию", "Ctrl+S", kImgFileSave},
        {&A::fileSaveAs, &F::FileSaveAsExecute, "FileSaveAs", "File", "Сохранить &как...",
         "Сохранить активную конфигурацию в файле с другим именем", "", kImgFileSaveAs},
        // No shortcut: Alt+F4 is the window manager's close, which only hides the window.
        {&A::fileExit, &F::FileExitRequested, "FileExit", "File", "&Выход", "Выйти из программы", "",
         kImgFileExit},
        {&A::devAdd, &F::DevAddExecute, "DevAdd", "Devices", "&Добавить", "Добавить новое устройство", "Ins",
         kImgDevAdd},
        // The keypad's Enter first: the menu shows the first key, and "Enter" is what the key reads.
        {&A::devEdit, &F::DevEditExecute, "DevEdit", "Devices", "&Изменить",
         "Изменить свойства выбранного устройства", "Enter", kImgDevEdit},
        {&A::devDelete, &F::DevDeleteExecute, "DevDelete", "Devices", "&Удалить",
         "Удалить выбранное устройство", "Del", kImgDevDelete},
        {&A::restart, &F::RestartRequested, "Restart", "Devices", "&Перезапуск", "Перезапустить сервер", "",
         kImgRestart},
        {&A::helpAbout, &F::HelpAboutExecute, "HelpAbout", "Help", "&О программе...",
         "Отобразить информацию о программе, номере версии и авторских правах ", "", kImgHelpAbout},
        {&A::helpHelp, &F::HelpHelpExecute, "HelpHelp", "Help", "&Справка", "Показать файл справки", "F1",
         kImgHelpHelp},
        {&A::showHide, &F::ShowHideExecute, "ShowHide", "", "&Скрыть/Показать", "", "", kImgShowHide},
    };
    for (const TActionInfo& s : actionTable) {
        auto* a =
            new QAction(images_[static_cast<size_t>(s.image)], QString::fromUtf8(s.caption), actionList_);
        a->setObjectName(QString::fromLatin1(s.name));
        a->setProperty("category", QString::fromLatin1(s.category));
        a->setProperty("imageIndex", s.image);
        const QString hint = QString::fromUtf8(s.hint);
        a->setStatusTip(hint);
        if (!hint.isEmpty()) a->setToolTip(hint);
        if (*s.key != 0) {
            QList<QKeySequence> keys{
                QKeySequence::fromString(QLatin1String(s.key), QKeySequence::PortableText)};
            if (qstrcmp(s.key, "Enter") == 0) keys << QKeySequence(Qt::Key_Return);  // the main Enter key too
            a->setShortcuts(keys);
        }
        addAction(a);  // shortcuts work with the window active, menu or not
        connect(a, &QAction::triggered, this, s.handler);
        actions_.*s.action = a;
    }
}

const QIcon& TMainForm::Image(int index) const {
    static const QIcon none;
    return index >= 0 && index < kImageCount ? images_[static_cast<size_t>(index)] : none;
}

void TMainForm::CreateMenus() {
    QMenuBar* bar = menuBar();
    bar->setObjectName(QStringLiteral("MainMenu"));
    QMenu* file = bar->addMenu(QStringLiteral("&Файл"));
    file->setObjectName(QStringLiteral("FileMenu"));
    file->addActions({actions_.fileCreate, actions_.fileOpen, actions_.fileSave, actions_.fileSaveAs});
    file->addSeparator();
    file->addAction(actions_.fileExit);
    QMenu* dev = bar->addMenu(QStringLiteral("&Устройства"));
    dev->setObjectName(QStringLiteral("DevicesMenu"));
    dev->addActions({actions_.devAdd, actions_.devEdit, actions_.devDelete});
    dev->addSeparator();
    dev->addAction(actions_.restart);
    QMenu* help = bar->addMenu(QStringLiteral("&Помощь"));
    help->setObjectName(QStringLiteral("HelpMenu"));
    help->addAction(actions_.helpHelp);
    help->addAction(actions_.helpAbout);
    // F10 opens the first menu, as on the other desktops of this platform; the arrow keys go on.
    auto* menuKey = new QShortcut(QKeySequence(Qt::Key_F10), this);
    menuKey->setObjectName(QStringLiteral("MenuKey"));
    connect(menuKey, &QShortcut::activated, this, &TMainForm::OpenMainMenu);

    toolBar_ = addToolBar(QStringLiteral("ToolBar"));
    toolBar_->setObjectName(QStringLiteral("ToolBar"));
    toolBar_->setMovable(false);
    toolBar_->setFloatable(false);
    toolBar_->setIconSize(QSize(16, 16));
    toolBar_->setToolButtonStyle(Qt::ToolButtonIconOnly);
    toolBar_->addActions({actions_.fileCreate, actions_.fileOpen, actions_.fileSave});
    toolBar_->addSeparator();
    toolBar_->addAction(actions_.restart);
    toolBar_->addSeparator();
    toolBar_->addActions({actions_.devAdd, actions_.devEdit, actions_.devDelete});
    toolBar_->addSeparator();
}

void TMainForm::OpenMainMenu() {
    const QList<QAction*> menus = menuBar()->actions();
    if (!menus.isEmpty()) menuBar()->setActiveAction(menus.front());
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
    // A caption wider than the tree scrolls it sideways (and shows whole in its tool tip).
    tree_->setHorizontalScrollBarPolicy(Qt::ScrollBarAsNeeded);
    tree_->header()->setStretchLastSection(false);
    tree_->header()->setSectionResizeMode(0, QHeaderView::ResizeToContents);
    // ...and never narrower than the tree, so that a selected node is highlighted across it.
    tree_->viewport()->installEventFilter(this);
    connect(tree_, &QTreeWidget::currentItemChanged, this,
            [this](QTreeWidgetItem* current, QTreeWidgetItem*) { TreeChange(current); });
    // A click on empty tree space would clear the selection while Enter and Del still act on
    // the current node: the current node stays selected.
    connect(tree_, &QTreeWidget::itemSelectionChanged, this, [this] {
        QTreeWidgetItem* current = tree_->currentItem();
        if (current != nullptr && !current->isSelected()) current->setSelected(true);
    });

    list_ = new QTreeWidget(splitter_);
    list_->setObjectName(QStringLiteral("List"));
    list_->setRootIsDecorated(false);
    list_->setUniformRowHeights(true);
    list_->setItemsExpandable(false);
    list_->setEditTriggers(QAbstractItemView::NoEditTriggers);
    list_->setSelectionMode(QAbstractItemView::SingleSelection);
    list_->setIconSize(QSize(16, 16));
    list_->setColumnCount(4);
    list_->setHeaderLabels({QStringLiteral("Название"), QStringLiteral("Значение"),
                            QStringLiteral("Качество"), QStringLiteral("Время")});
    list_->headerItem()->setTextAlignment(kColValue, Qt::AlignCenter);
    QHeaderView* header = list_->header();
    header->setStretchLastSection(false);
    header->setSectionsMovable(false);
    // No column can be narrowed below what its texts need (UpdateMetrics).
    connect(header, &QHeaderView::sectionResized, this, [this, header](int c, int, int size) {
        if (c >= 0 && c < kColumnCount && size < columnMin_[static_cast<size_t>(c)])
            header->resizeSection(c, columnMin_[static_cast<size_t>(c)]);
    });

    splitter_->addWidget(tree_);
    splitter_->addWidget(list_);
    splitter_->setStretchFactor(0, 0);
    splitter_->setStretchFactor(1, 1);

    eventLog_ = new TEventLog(this);
    eventList_ = new QListView(central);
    eventList_->setObjectName(QStringLiteral("EventList"));
    eventList_->setModel(eventLog_);
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
    secondPanel_ = new QLabel(bar);
    secondPanel_->setObjectName(QStringLiteral("StatusPanel1"));
    bar->addWidget(hintPanel_);
    bar->addWidget(secondPanel_);
    UpdateMetrics();
    splitter_->setSizes(
        {DesignPixels(font(), kTreeWidth), DesignPixels(font(), kClientWidth - kTreeWidth - 2)});
}

// Sizes that depend on the face: the designed pixel sizes grow with a taller face, and the
// list's columns are measured so that their texts show whole.
void TMainForm::UpdateMetrics() {
    if (list_ == nullptr) return;
    const QFont f = font();
    // The designed height, trimmed to whole lines so that no line shows cut.
    const int frame = 2 * eventList_->frameWidth();
    const int line = std::max(1, RowHeight(eventList_));
    eventList_->setFixedHeight(std::max(1, (DesignPixels(f, 97) - frame) / line) * line + frame);
    hintPanel_->setFixedWidth(DesignPixels(f, 450));
    secondPanel_->setFixedWidth(DesignPixels(f, 50));

    const QHeaderView* header = list_->header();
    const QTreeWidgetItem* captions = list_->headerItem();
    auto headerWidth = [&](int c) { return HeaderSectionWidth(header, captions->text(c)); };
    // The no-value marker is the widest value a slot holds in normal operation.
    const int value = std::max(
        {DesignPixels(f, 70), headerWidth(kColValue), CellWidth(list_, FormatValue(kNoValue), false)});
    QStringList qualities{texts::kUnknown};
    for (uint16_t q : {kQualityGood, kQualityNotConnected, kQualityCommFailure})
        if (const std::optional<TQualityCell> cell = QualityCell(q)) qualities << cell->text;
    const int quality =
        std::max({DesignPixels(f, 80), headerWidth(kColQuality), WidestCell(list_, qualities, true)});
    // A date with two-digit day and month and a time late in the day: the widest the locale writes.
    const int time = std::max({DesignPixels(f, 130), headerWidth(kColTime),
                               CellWidth(list_, FormatTimestamp(kWidestTimestamp), false),
                               CellWidth(list_, texts::kUnknown, false)});
    const int name = std::max(DesignPixels(f, 250), headerWidth(kColName));
    columnMin_ = {name, value, quality, DesignPixels(f, 50)};
    const std::array<int, kColumnCount> widths{std::max(name, rowCaptionWidth_), value, quality, time};
    for (int c = 0; c < kColumnCount; ++c) list_->header()->resizeSection(c, widths[static_cast<size_t>(c)]);
}

int TMainForm::WidestRowCaption() const {
    const TConfigModel& m = *core_.model;
    const QFontMetrics fm(list_->font());
    std::array<int, kParamsPerDevice> paramAdvance{};
    for (int n = 0; n < kParamsPerDevice; ++n)
        paramAdvance[static_cast<size_t>(n)] = fm.horizontalAdvance(ParamName(m, n));
    QString widest;
    int widestAdvance = 0;
    for (int i = 0; i < std::min<int>(m.pointCount, kMaxPoints); ++i) {
        const TConnectionPoint& p = m.points[i];
        for (int j = 0; j < std::min<int>(p.deviceCount, kMaxDevicesPerPoint); ++j) {
            const TDevice& d = p.devices[j];
            const uint32_t mask = LoadMask(d);
            int param = -1;
            for (int n = 0; n < kParamsPerDevice; ++n)
                if (((mask >> n) & 1u) != 0 && (param < 0 || paramAdvance[static_cast<size_t>(n)] >
                                                                 paramAdvance[static_cast<size_t>(param)]))
                    param = n;
            if (param < 0) continue;
            // Advances add up closely enough to pick the widest; the winner is measured whole.
            const QString device = DeviceCaption(m, d);
            const int advance = fm.horizontalAdvance(device) + paramAdvance[static_cast<size_t>(param)];
            if (advance > widestAdvance) {
                widestAdvance = advance;
                widest = PointRowCaption(m, d, param);
            }
        }
    }
    return widest.isEmpty() ? 0 : CellWidth(list_, widest, false);
}

// The window grows (within the screen) until the list's columns and the tree's captions show
// whole; it never shrinks.
void TMainForm::FitToContents() {
    QHeaderView* header = list_->header();
    // The name column as wide as the longest row caption of any node (a point node's captions
    // are the longest), so that it does not change from node to node.
    const int captionWidth = WidestRowCaption();
    if (header->sectionSize(kColName) < captionWidth) header->resizeSection(kColName, captionWidth);
    int columns = 0;
    for (int c = 0; c < kColumnCount; ++c) columns += header->sectionSize(c);
    const int scroll = style()->pixelMetric(QStyle::PM_ScrollBarExtent, nullptr, list_);
    const int listWidth = columns + 2 * list_->frameWidth() + scroll;
    // The tree takes what its widest caption needs, up to twice its designed width (beyond
    // that it scrolls sideways).
    const int designedTree = DesignPixels(font(), kTreeWidth);
    int captions = 0;  // every node, expanded or not: root nodes one indent in, devices two
    for (int i = 0; i < tree_->topLevelItemCount(); ++i) {
        const QTreeWidgetItem* node = tree_->topLevelItem(i);
        captions = std::max(captions, tree_->indentation() + CellWidth(tree_, node->text(0), true));
        for (int c = 0; c < node->childCount(); ++c)
            captions = std::max(captions,
                                2 * tree_->indentation() + CellWidth(tree_, node->child(c)->text(0), true));
    }
    const int treeWidth =
        std::clamp(captions + 2 * tree_->frameWidth() + scroll, designedTree, 2 * designedTree);
    const int wanted = treeWidth + splitter_->handleWidth() + listWidth;
    // The designed height too, for a face taller than the design's.
    const int chrome = menuBar()->sizeHint().height();  // the designed client area lies below the menu
    int width = std::max(wanted, centralWidget()->width());
    int height = std::max(this->height(), DesignPixels(font(), kClientHeight) + chrome);
    if (const QScreen* screen = this->screen()) {
        const QRect available = screen->availableGeometry();
        const QSize frame = frameGeometry().size() - geometry().size();
        width = std::min(width, available.width() - frame.width());
        height = std::min(height, available.height() - frame.height());
    }
    const int grow = width - centralWidget()->width();
    if (grow <= 0 && height <= this->height()) return;
    resize(this->width() + std::max(grow, 0), std::max(height, this->height()));
    // On a narrow screen the tree keeps its designed width and the list scrolls.
    const int tree = std::max(designedTree, std::min(treeWidth, width - listWidth));
    splitter_->setSizes({tree, std::max(0, width - tree - splitter_->handleWidth())});
    if (const QScreen* screen = this->screen()) {
        QRect r = frameGeometry();
        r.moveCenter(screen->availableGeometry().center());
        move(r.topLeft());
    }
}

void TMainForm::CreateTray() {
    trayPopup_ = new QMenu(this);
    trayPopup_->setObjectName(QStringLiteral("TrayPopup"));
    trayPopup_->addAction(actions_.showHide);
    trayPopup_->addSeparator();
    trayPopup_->addAction(actions_.restart);
    trayPopup_->addSeparator();
    trayPopup_->addAction(actions_.fileExit);

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
    actions_.devEdit->setEnabled(any);
    actions_.devDelete->setEnabled(any);

    QTreeWidgetItem* chosen = nullptr;
    const int count = std::min<int>(m.pointCount, kMaxPoints);
    QList<QTreeWidgetItem*> roots;
    for (int i = 0; i < count; ++i) {
        const TConnectionPoint& p = m.points[i];
        auto* node = new QTreeWidgetItem(QStringList{PointCaption(p)});
        node->setToolTip(0, node->text(0));
        node->setData(0, kRolePoint, i);
        node->setData(0, kRoleDevice, -1);
        SetNodeImage(node, kImgNormal);
        if (i == point && device == -1) chosen = node;
        const int devices = std::min<int>(p.deviceCount, kMaxDevicesPerPoint);
        for (int j = 0; j < devices; ++j) {
            auto* child = new QTreeWidgetItem(node, QStringList{DeviceCaption(m, p.devices[j])});
            child->setToolTip(0, child->text(0));
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

void TMainForm::TreeChange(QTreeWidgetItem* current) {
    FillList(current);
}

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
            auto* row =
                new QTreeWidgetItem(QStringList{caption, texts::kUnknown, texts::kUnknown, texts::kUnknown});
            row->setTextAlignment(kColValue, Qt::AlignCenter);
            items << row;
            rows_.push_back({p, j, n, -1});
        }
    }
    list_->addTopLevelItems(items);
    // The name column widens for the longest caption (up to 4096 of them: a few milliseconds).
    const QFontMetrics fm(list_->font());
    QString widest;
    int widestAdvance = 0;
    for (const QTreeWidgetItem* row : items) {
        const int advance = fm.horizontalAdvance(row->text(kColName));
        if (advance > widestAdvance) {
            widestAdvance = advance;
            widest = row->text(kColName);
        }
    }
    rowCaptionWidth_ = widest.isEmpty() ? 0 : CellWidth(list_, widest, false);
    if (list_->header()->sectionSize(kColName) < rowCaptionWidth_)
        list_->header()->resizeSection(kColName, rowCaptionWidth_);
    for (int k = 0; k < items.size(); ++k) {
        const TRow& r = rows_[static_cast<size_t>(k)];
        FillCells(k, items[k], m.points[r.point].devices[r.device], r.param);
    }
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
    actions_.fileSave->setEnabled(c.fileSaveEnabled);
    // The window's title is also its task-bar entry on this platform.
    setWindowTitle(c.text);
}

void TMainForm::HintHandler(const QString& hint) {
    hintPanel_->setText(hint);
}

bool TMainForm::event(QEvent* e) {
    if (e->type() == QEvent::StatusTip) {
        HintHandler(static_cast<QStatusTipEvent*>(e)->tip());
        return true;
    }
    return QMainWindow::event(e);
}

void TMainForm::AddEventLine(const QString& line) {
    eventLog_->AddLine(line);
}

// ---- hiding and showing -------------------------------------------------------------------------

void TMainForm::HideToTray() {
    // Shown again, the window comes back as it was (maximised stays maximised).
    restoreState_ = windowState() & ~Qt::WindowMinimized;
    windowHidden_ = true;
    // Without a notification area a hidden window could never be brought back: it is
    // minimised instead, and counts as hidden all the same until it is restored, whether by
    // ShowHide or by the task bar (changeEvent).
    if (trayAvailable_)
        hide();
    else
        showMinimized();
}

void TMainForm::ShowHideExecute() {
    if (windowHidden_) {
        windowHidden_ = false;
        setWindowState(restoreState_);
        show();
        raise();
        activateWindow();
        RefreshView();  // the view catches up at once, not at the next tick
    } else {
        HideToTray();
    }
}

bool TMainForm::eventFilter(QObject* watched, QEvent* e) {
    if (tree_ != nullptr && watched == tree_->viewport() && e->type() == QEvent::Resize)
        tree_->header()->setMinimumSectionSize(tree_->viewport()->width());
    return QMainWindow::eventFilter(watched, e);
}

void TMainForm::changeEvent(QEvent* e) {
    QMainWindow::changeEvent(e);
    switch (e->type()) {
        case QEvent::WindowStateChange:
            // Restored from minimised by the task bar or the window manager: no longer hidden.
            if (windowHidden_ && isVisible() && !isMinimized()) {
                windowHidden_ = false;
                RefreshView();
            }
            break;
        case QEvent::FontChange:
            UpdateMetrics();
            break;
        default:
            break;
    }
}

void TMainForm::showEvent(QShowEvent* e) {
    QMainWindow::showEvent(e);
    if (!fitted_ && !e->spontaneous()) {
        fitted_ = true;
        FitToContents();
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

void TMainForm::EnableRestart() {
    actions_.restart->setEnabled(true);
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

void TMainForm::DevAddExecute() {
    edit_->DevAddExecute(SelectedNode());
}

void TMainForm::DevEditExecute() {
    edit_->DevEditExecute(SelectedNode());
}

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
