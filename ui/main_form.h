// The main window: tree of connection points and devices, parameter list, event log,
// status bar, tool bar, menus and the notification-area icon.
//
// A view over the core objects the composition root builds and owns: the model, the poll
// cycle, the serial port table and the configuration document. The window owns only its
// widgets and its actions; the periodic push lives in the composition root, which calls
// RefreshView after each push.
#pragma once

#include <QMainWindow>
#include <array>
#include <functional>
#include <memory>
#include <vector>

#include "config/config_document.h"
#include "config/records.h"
#include "ui/dialog_logic.h"
#include "ui/edit_operations.h"

class QLabel;
class QListView;
class QMenu;
class QSplitter;
class QSystemTrayIcon;
class QTimer;
class QToolBar;
class QTreeWidget;
class QTreeWidgetItem;

namespace qora {

class TComPort;
class TEventLog;
class TPollCycle;
class TWidgetPrompt;

// The window's actions, filled from its action table; each carries its name as objectName
// ("FileCreate", "DevAdd", ...).
struct TMainFormActions {
    QAction* fileCreate = nullptr;
    QAction* fileOpen = nullptr;
    QAction* fileSave = nullptr;
    QAction* fileSaveAs = nullptr;
    QAction* fileExit = nullptr;
    QAction* devAdd = nullptr;
    QAction* devEdit = nullptr;
    QAction* devDelete = nullptr;
    QAction* restart = nullptr;
    QAction* helpAbout = nullptr;
    QAction* helpHelp = nullptr;
    QAction* showHide = nullptr;
};

// The core objects the window renders and forwards to. None is owned by the window.
struct TMainFormCore {
    TConfigModel* model = nullptr;                  // required
    TPollCycle* poll = nullptr;                     // StartPolling / StopPolling
    const std::vector<TComPort*>* ports = nullptr;  // the serial port table
    TConfigDocument* document = nullptr;            // may also be given later with SetDocument
    // False without a display: the notification-area icon is made but never shown (there is
    // no notification area to show it in).
    bool showTrayIcon = true;
};

class TMainForm : public QMainWindow, public IDocumentView {
    Q_OBJECT
  public:
    // Item data roles of Tree nodes: point slot, device slot (-1 for a point), image index.
    static constexpr int kPointRole = Qt::UserRole;
    static constexpr int kDeviceRole = Qt::UserRole + 1;
    static constexpr int kImageRole = Qt::UserRole + 2;

    explicit TMainForm(TMainFormCore core, QWidget* parent = nullptr);
    ~TMainForm() override;

    void SetDocument(TConfigDocument* document);
    // Message boxes and file dialogs owned by this window, for TConfigDocument.
    IOperatorPrompt& Prompt();

    // Window state.
    void SetStartedByCom(bool startedByCom) { startedByCom_ = startedByCom; }
    bool StartedByCom() const { return startedByCom_; }
    bool WindowHidden() const { return windowHidden_; }
    bool FirstPaint() const { return firstPaint_; }
    // Whether the desktop has a notification area (taken at creation): hiding then hides the
    // window; without one it is minimised, so that it can always be brought back.
    bool TrayAvailable() const { return trayAvailable_; }
    void SetTrayAvailable(bool available) { trayAvailable_ = available; }

    // Operations.
    void RebuildTree(int point, int device) override;
    void FillList(QTreeWidgetItem* node);
    void UpdateCaption() override;
    // Values, qualities and node images brought up to date (after each push).
    void RefreshView();
    void ShowHideExecute();
    void FormPaint();
    // Opens the first menu of the menu bar (the F10 key).
    void OpenMainMenu();
    // Grows the window, within the screen, until the list's columns and the tree's captions
    // show whole (done once at the first show).
    void FitToContents();
    void HintHandler(const QString& hint);
    // Inserts a line at the top of EventList; callable from any thread.
    void AddEventLine(const QString& line);

    // IDocumentView (the file actions).
    void ClearList() override;
    void EnableRestart() override;
    // The poll cycle's, for the edit operations.
    void StopPolling();
    void StartPolling();

    // Action handlers.
    void FileCreateExecute();
    void FileOpenExecute();
    void FileSaveExecute();
    void FileSaveAsExecute();
    void DevAddExecute();
    void DevEditExecute();
    void DevDeleteExecute();
    void HelpAboutExecute();
    void HelpHelpExecute() {}

    const TMainFormActions& Actions() const { return actions_; }
    QTreeWidget* Tree() const { return tree_; }
    QTreeWidget* List() const { return list_; }
    QListView* EventList() const { return eventList_; }
    TEventLog* EventLog() const { return eventLog_; }
    QSystemTrayIcon* TrayIcon() const { return trayIcon_; }
    TNodeRef SelectedNode() const;
    const QIcon& Image(int index) const;

  signals:
    // FileExit and Restart belong to the start-up and shutdown code, which connects here.
    void FileExitRequested();
    void RestartRequested();
    // The window was closed by the operator (it is already hidden).
    void FormClosed();

  protected:
    void closeEvent(QCloseEvent* event) override;  // FormClose: hide instead of closing
    void paintEvent(QPaintEvent* event) override;
    bool event(QEvent* event) override;
    void changeEvent(QEvent* event) override;  // restored from minimised; a new face
    void showEvent(QShowEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;  // the tree's width

  private:
    class TDialogs;
    void CreateActions();
    void CreateMenus();
    void CreateWidgets();
    void CreateTray();
    void TreeChange(QTreeWidgetItem* current);
    void FillCells(int k, QTreeWidgetItem* row, const TDevice& d, int n);
    void SetNodeImage(QTreeWidgetItem* node, int image);
    void HideToTray();
    void UpdateMetrics();
    int WidestRowCaption() const;  // width of the longest row caption any node's list would show

    TMainFormCore core_;
    std::unique_ptr<TWidgetPrompt> prompt_;
    std::unique_ptr<TDialogs> dialogs_;
    std::unique_ptr<TEditOperations> edit_;
    std::array<QIcon, 15> images_;

    QToolBar* toolBar_ = nullptr;
    QSplitter* splitter_ = nullptr;
    QTreeWidget* tree_ = nullptr;
    QTreeWidget* list_ = nullptr;
    QListView* eventList_ = nullptr;
    TEventLog* eventLog_ = nullptr;
    QLabel* hintPanel_ = nullptr;
    QLabel* secondPanel_ = nullptr;
    QSystemTrayIcon* trayIcon_ = nullptr;
    QMenu* trayPopup_ = nullptr;
    QObject* actionList_ = nullptr;  // parent of the actions
    TMainFormActions actions_;

    // Rows of List: (point, device, parameter) in fill order, and the image each shows.
    struct TRow {
        int point;
        int device;
        int param;
        int image;  // -1: none
    };
    std::vector<TRow> rows_;

    static constexpr int kColumnCount = 4;
    std::array<int, kColumnCount> columnMin_{};  // the narrowest each list column may be
    int rowCaptionWidth_ = 0;                    // what the widest row caption of the list needs

    bool windowHidden_ = false;
    bool firstPaint_ = true;
    bool startedByCom_ = false;
    bool trayAvailable_ = true;
    bool fitted_ = false;                                // FitToContents ran at the first show
    Qt::WindowStates restoreState_ = Qt::WindowNoState;  // the state hiding left
};

}  // namespace qora
