#include "config/config_document.h"

#include <QFileInfo>
#include <cerrno>

#include "config/config_file.h"
#include "config/file_io.h"

namespace qora {

TConfigDocument::TConfigDocument(TConfigModel& model, IOperatorPrompt& prompt, IDocumentView& view,
                                 IDocumentHost& host)
    : model_(model), prompt_(prompt), view_(view), host_(host) {}

QString TConfigDocument::NameFromPath(const QString& path) {
    const QString file = path.mid(path.lastIndexOf(u'/') + 1);
    return file.size() > 4 ? file.left(file.size() - 4) : QString();
}

QString TConfigDocument::DirectoryFromPath(const QString& path) {
    const qsizetype slash = path.lastIndexOf(u'/');
    return slash < 0 ? QString() : path.left(slash + 1);
}

TConfigDocument::SaveQuestionOutcome TConfigDocument::SaveQuestion() {
    if (!unsaved_ || model_.pointCount == 0) return SaveQuestionOutcome::NotAsked;
    if (!prompt_.AskYesNo(QString::fromUtf16(kWarningTitle), QString::fromUtf16(kSaveQuestionText)))
        return SaveQuestionOutcome::Declined;
    FileSave();
    // Whatever the way (own path, picked file, free name), the edits are on disk only when the
    // flag was cleared by a successful write.
    return unsaved_ ? SaveQuestionOutcome::SaveFailed : SaveQuestionOutcome::Saved;
}

void TConfigDocument::FileNew() {
    host_.StopPolling();
    if (SaveQuestion() == SaveQuestionOutcome::SaveFailed) {
        // The operator wanted the edits kept: the configuration stays, and so does its polling.
        host_.StartPolling();
        return;
    }
    ClearModel(model_);
    view_.RebuildTree(-1, -1);
    name_ = QString::fromUtf16(kNewConfigName);
    // The flags are set before the caption is drawn, so that it shows no unsaved marker.
    untitled_ = true;
    unsaved_ = false;
    view_.UpdateCaption();
}

void TConfigDocument::FileOpen() {
    if (SaveQuestion() == SaveQuestionOutcome::SaveFailed) return;
    const std::optional<QString> path =
        prompt_.ChooseFileToOpen(QString::fromUtf16(kOpenDialogTitle), directory_);
    if (!path) return;
    if (LoadConfiguration(*path) != LoadOutcome::OpenFailed) view_.EnableRestart();
}

void TConfigDocument::FileSave() {
    if (model_.pointCount == 0) return;
    if (untitled_) {
        const std::optional<QString> path =
            prompt_.ChooseFileToSave(QString::fromUtf16(kSaveDialogTitle), directory_);
        // A failed write ends the action: the error has been shown once.
        if (path)
            SaveConfiguration(*path);
        else if (unsaved_)
            SaveUnderFreeName();
        return;
    }
    if (unsaved_) SaveConfiguration(directory_ + name_ + QString::fromUtf16(kCfgExtension));
}

void TConfigDocument::SaveUnderFreeName() {
    // "Новая.cfg", then "Новая1.cfg", "Новая2.cfg", ...: the write itself refuses an existing
    // name, so a file that appears meanwhile is not replaced either.
    constexpr int kMaxNumber = 9999;
    const QString stem = directory_ + name_;
    const QString extension = QString::fromUtf16(kCfgExtension);
    for (int number = 0; number <= kMaxNumber; ++number) {
        const QString path = stem + (number == 0 ? QString() : QString::number(number)) + extension;
        if (Write(path, true) != WriteOutcome::Exists) return;
    }
    prompt_.ShowError(CreateFileError(stem + extension, EEXIST));
}

void TConfigDocument::FileSaveAs() {
    if (model_.pointCount == 0) return;
    const std::optional<QString> path =
        prompt_.ChooseFileToSave(QString::fromUtf16(kSaveAsDialogTitle), directory_);
    if (path) SaveConfiguration(*path);
}

void TConfigDocument::BecomeUntitled() {
    name_ = QString::fromUtf16(kNewConfigName);
    untitled_ = true;
    unsaved_ = false;
}

TConfigDocument::LoadOutcome TConfigDocument::LoadConfiguration(const QString& path) {
    host_.StopPolling();
    ClearModel(model_);
    directory_ = DirectoryFromPath(path);
    const TConfigReadResult read = ReadConfigFile(path, model_);
    if (read.status == TConfigReadResult::Status::OpenFailed) {
        // The model is empty now: keep the tree and the list from pointing at cleared records.
        view_.ClearList();
        view_.RebuildTree(-1, -1);
        prompt_.ShowError(read.message);
        // No file holds the empty model: the caption must not name one, nor "Сохранить" write
        // over one.
        BecomeUntitled();
        view_.UpdateCaption();
        return LoadOutcome::OpenFailed;
    }
    if (read.ok()) {
        name_ = NameFromPath(path);
        untitled_ = false;
    } else {
        prompt_.ShowMessage(QString::fromUtf16(kWarningTitle), read.message);
        // The refused file is not loaded and the one loaded before is gone from memory: saving
        // under either name would replace a file with the empty (or newly edited) model.
        BecomeUntitled();
    }
    unsaved_ = false;
    view_.UpdateCaption();
    view_.ClearList();
    view_.RebuildTree(-1, -1);
    RecordStartupConfiguration(path);
    host_.StartPolling();
    return read.ok() ? LoadOutcome::Loaded : LoadOutcome::Refused;
}

bool TConfigDocument::SaveConfiguration(const QString& path) {
    return Write(path, false) == WriteOutcome::Written;
}

TConfigDocument::WriteOutcome TConfigDocument::Write(const QString& path, bool keepExisting) {
    const TConfigWriteResult written =
        WriteConfigFile(path, model_, keepExisting ? ReplaceMode::KeepExisting : ReplaceMode::Replace);
    if (!written.ok) {
        if (keepExisting && written.errorNumber == EEXIST) return WriteOutcome::Exists;
        // Nothing changes: the name, the directory and the caption still tell where the
        // configuration last was, and the flags that it is not saved.
        prompt_.ShowError(written.error);
        return WriteOutcome::Failed;
    }
    directory_ = DirectoryFromPath(path);
    name_ = NameFromPath(path);
    unsaved_ = false;
    untitled_ = false;
    view_.UpdateCaption();
    RecordStartupConfiguration(path);
    return WriteOutcome::Written;
}

void TConfigDocument::RecordStartupConfiguration(const QString& path) {
    QString error;
    if (host_.RecordStartupConfiguration(path, &error) || settingsFailureReported_) return;
    // Told once per run: every later load and save would fail the same way.
    settingsFailureReported_ = true;
    prompt_.ShowError(QString::fromUtf16(kMsgStartupNotRecorded) + u'\n' + error);
}

TConfigDocument::LoadOutcome TConfigDocument::OpenAtStartUp(const QString& path) {
    if (path.isEmpty() || !QFileInfo::exists(path)) {
        FileNew();
        return LoadOutcome::Created;
    }
    name_ = NameFromPath(path);
    return LoadConfiguration(path);
}

}  // namespace qora
