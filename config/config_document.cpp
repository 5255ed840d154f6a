#include "config/config_document.h"

#include "config/config_file.h"

#include <QFileInfo>

namespace qora {

TConfigDocument::TConfigDocument(TConfigModel& model, IOperatorPrompt& prompt, IDocumentHost& host)
    : model_(model), prompt_(prompt), host_(host) {}

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
    return SaveQuestionOutcome::Saved;
}

void TConfigDocument::FileNew() {
    host_.StopPolling();
    SaveQuestion();
    ClearModel(model_);
    host_.RebuildTree(-1, -1);
    name_ = QString::fromUtf16(kNewConfigName);
    // The flags are set before the caption is drawn, so that it shows no unsaved marker.
    untitled_ = true;
    unsaved_ = false;
    host_.UpdateCaption();
}

void TConfigDocument::FileOpen() {
    SaveQuestion();
    const std::optional<QString> path = prompt_.ChooseFileToOpen(QString::fromUtf16(kOpenDialogTitle), directory_);
    if (!path) return;
    if (LoadConfiguration(*path) != LoadOutcome::OpenFailed) host_.EnableRestart();
}

void TConfigDocument::FileSave() {
    if (model_.pointCount == 0) return;
    if (untitled_) {
        const std::optional<QString> path =
            prompt_.ChooseFileToSave(QString::fromUtf16(kSaveDialogTitle), directory_);
        // A failed write ends the action: the error has been shown once.
        if (path && !SaveConfiguration(*path)) return;
    }
    if (unsaved_) SaveConfiguration(directory_ + name_ + QString::fromUtf16(kCfgExtension));
}

void TConfigDocument::FileSaveAs() {
    if (model_.pointCount == 0) return;
    const std::optional<QString> path = prompt_.ChooseFileToSave(QString::fromUtf16(kSaveAsDialogTitle), directory_);
    if (path) SaveConfiguration(*path);
}

TConfigDocument::LoadOutcome TConfigDocument::LoadConfiguration(const QString& path) {
    host_.StopPolling();
    ClearModel(model_);
    directory_ = DirectoryFromPath(path);
    const TConfigReadResult read = ReadConfigFile(path, model_);
    if (read.status == TConfigReadResult::Status::OpenFailed) {
        // The model is empty now: keep the tree and the list from pointing at cleared records.
        host_.ClearList();
        host_.RebuildTree(-1, -1);
        prompt_.ShowError(read.message);
        return LoadOutcome::OpenFailed;
    }
    if (read.ok()) {
        name_ = NameFromPath(path);
    } else {
        prompt_.ShowMessage(QString::fromUtf16(kWarningTitle), read.message);
    }
    unsaved_ = false;
    untitled_ = false;
    host_.UpdateCaption();
    host_.ClearList();
    host_.RebuildTree(-1, -1);
    host_.RecordStartupConfiguration(path);
    host_.StartPolling();
    return read.ok() ? LoadOutcome::Loaded : LoadOutcome::Refused;
}

bool TConfigDocument::SaveConfiguration(const QString& path) {
    directory_ = DirectoryFromPath(path);
    name_ = NameFromPath(path);
    const TConfigWriteResult written = WriteConfigFile(path, model_);
    if (!written.ok) {
        prompt_.ShowError(written.error);
        return false;
    }
    unsaved_ = false;
    untitled_ = false;
    host_.UpdateCaption();
    host_.RecordStartupConfiguration(path);
    return true;
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
