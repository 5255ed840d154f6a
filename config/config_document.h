// Document state of the configuration (name, directory, unsaved and untitled flags) and the four
// file actions with the save question, free of widgets.
//
// The window supplies an IOperatorPrompt (message boxes and file dialogs) and an IDocumentView
// (tree, list, caption, the Restart action); the composition root an IDocumentHost (polling,
// MAIN_CFG). The actions call them in the order the file actions need: see each method.
#pragma once

#include <QString>
#include <optional>

#include "config/records.h"

namespace qora {

inline constexpr char16_t kNewConfigName[] = u"Новая";
inline constexpr char16_t kCfgExtension[] = u".cfg";
inline constexpr char16_t kWarningTitle[] = u"Предупреждение";
inline constexpr char16_t kSaveQuestionText[] = u"Текущая конфигурация не сохранена.\nСохранить?";
inline constexpr char16_t kOpenDialogTitle[] = u"Открыть файл конфигурации";
inline constexpr char16_t kSaveDialogTitle[] = u"Сохранить файл конфигурации";
inline constexpr char16_t kSaveAsDialogTitle[] = u"Сохранить файл конфигурации как...";
// For QFileDialog: name filter and default suffix of the Open and Save dialogs.
inline constexpr char16_t kCfgDialogFilter[] = u"Файлы конфигурации (*.cfg)";
inline constexpr char16_t kCfgDefaultSuffix[] = u"cfg";
// Shown once per run when GENERAL/MAIN_CFG cannot be written, followed by the reason.
inline constexpr char16_t kMsgStartupNotRecorded[] =
    u"Путь конфигурации не записан в файл настроек: при следующем запуске она не будет открыта.";

// The operator's side: message boxes owned by the main window and the standard file dialogs.
class IOperatorPrompt {
  public:
    virtual ~IOperatorPrompt() = default;
    // Question with Yes and No and the information icon; true for Yes.
    virtual bool AskYesNo(const QString& title, const QString& text) = 0;
    // Message with the information icon and an OK button.
    virtual void ShowMessage(const QString& title, const QString& text) = 0;
    // The application's general error box, for the platform's errors (a file that cannot be
    // opened or created).
    virtual void ShowError(const QString& text) = 0;
    // Open dialog (filter kCfgDialogFilter, default suffix kCfgDefaultSuffix) starting in
    // directory (empty: the current directory); nullopt when cancelled.
    virtual std::optional<QString> ChooseFileToOpen(const QString& title, const QString& directory) = 0;
    // Save dialog, same filter and suffix, asking before it overwrites an existing file.
    virtual std::optional<QString> ChooseFileToSave(const QString& title, const QString& directory) = 0;
};

// The window, as the file actions need it.
class IDocumentView {
  public:
    virtual ~IDocumentView() = default;
    // RebuildTree(-1, -1) selects the first connection point, if any.
    virtual void RebuildTree(int point, int device) = 0;
    // Clears the parameter list (List).
    virtual void ClearList() = 0;
    // Caption and the enabled state of FileSave from ConfigName() and Unsaved().
    virtual void UpdateCaption() = 0;
    // Enables the Restart action ("Перезапуск").
    virtual void EnableRestart() = 0;
};

// The rest of the program, as the file actions need it.
class IDocumentHost {
  public:
    virtual ~IDocumentHost() = default;
    virtual void StopPolling() = 0;
    virtual void StartPolling() = 0;
    // Record start-up configuration: write path as GENERAL/MAIN_CFG (TSettings does it). False,
    // with the reason in error, when the settings file could not be written.
    virtual bool RecordStartupConfiguration(const QString& path, QString* error) = 0;
};

class TConfigDocument {
  public:
    enum class LoadOutcome { Loaded, Refused, OpenFailed, Created /* OpenAtStartUp ran FileNew */ };
    // SaveFailed: Yes was answered but the configuration is still unsaved (the write failed and
    // has been reported); the action that asked must stop and change nothing.
    enum class SaveQuestionOutcome { NotAsked, Saved, Declined, SaveFailed };

    TConfigDocument(TConfigModel& model, IOperatorPrompt& prompt, IDocumentView& view, IDocumentHost& host);

    const QString& ConfigName() const { return name_; }
    // Directory of the last file loaded or saved, with its trailing '/'; empty = current directory.
    const QString& ConfigDirectory() const { return directory_; }
    bool Unsaved() const { return unsaved_; }
    bool Untitled() const { return untitled_; }
    // After an add, edit or delete of a connection point or device.
    void SetUnsaved() { unsaved_ = true; }

    // "Создать": StopPolling, save question, clear the model, RebuildTree(-1,-1), name "Новая",
    // flags untitled 1 / unsaved 0, UpdateCaption. Polling is not restarted. When the save the
    // operator asked for fails, polling is started again and nothing else changes.
    void FileNew();
    // "Открыть": save question, Open dialog in the configuration directory; a picked file is
    // loaded (LoadConfiguration) and Restart enabled. Cancelling, or a failed save, changes
    // nothing.
    void FileOpen();
    // "Сохранить": nothing at point count 0; an untitled configuration offers the Save dialog,
    // and when it is cancelled the configuration goes to the first free name of "Новая.cfg",
    // "Новая1.cfg", "Новая2.cfg", ... in the configuration directory: an existing file is never
    // replaced without the operator's choice. A titled configuration, if unsaved, is saved to
    // directory + name + ".cfg".
    void FileSave();
    // "Сохранить как...": nothing at point count 0; Save dialog; cancelling changes nothing.
    void FileSaveAs();
    // Asked only when unsaved and points exist; Yes runs FileSave.
    [[nodiscard]] SaveQuestionOutcome SaveQuestion();

    // The reader with its document steps: StopPolling, clear, directory := the file's; an accepted
    // file names the configuration, a refused one is reported; then flags 0, UpdateCaption,
    // ClearList, RebuildTree(-1,-1), MAIN_CFG := path, StartPolling.
    // A refused file leaves an empty configuration that no file holds: it is named "Новая" and
    // untitled, so the next "Сохранить" asks where to write and never replaces the file that was
    // loaded before. A file that cannot be opened is reported with ShowError; the model is empty
    // then as well and the document becomes "Новая", untitled and saved, while MAIN_CFG and
    // polling are left alone (the list and the tree are brought in line with the cleared model).
    LoadOutcome LoadConfiguration(const QString& path);
    // The writer: write, then directory and name := the path's, flags 0, UpdateCaption, MAIN_CFG.
    // A failed write is reported with ShowError and changes nothing (name, directory, flags,
    // MAIN_CFG).
    bool SaveConfiguration(const QString& path);

    // Start-up (after the command line and MAIN_CFG gave path): an empty path or one that names
    // nothing runs FileNew; otherwise name := the path's and LoadConfiguration.
    LoadOutcome OpenAtStartUp(const QString& path);

    // File-name part of path without its last 4 characters (empty when shorter).
    static QString NameFromPath(const QString& path);
    // Directory part of path with its trailing '/', empty when path has none.
    static QString DirectoryFromPath(const QString& path);

  private:
    enum class WriteOutcome { Written, Exists, Failed };
    WriteOutcome Write(const QString& path, bool keepExisting);
    // The cancelled Save dialog of an untitled configuration: the first free name.
    void SaveUnderFreeName();
    // The document after a load that left the model empty without loading the file.
    void BecomeUntitled();
    void RecordStartupConfiguration(const QString& path);

    TConfigModel& model_;
    IOperatorPrompt& prompt_;
    IDocumentView& view_;
    IDocumentHost& host_;
    QString name_;
    QString directory_;
    bool unsaved_ = false;
    bool untitled_ = false;
    bool settingsFailureReported_ = false;
};

}  // namespace qora
