#include "ui/widget_prompt.h"

#include <QDir>
#include <QFileDialog>
#include <QMessageBox>

#include "ui/ui_texts.h"

namespace qora {

namespace {

QFileDialog* MakeFileDialog(QWidget* owner, const char* name, QFileDialog::AcceptMode mode) {
    auto* d = new QFileDialog(owner);
    d->setObjectName(QString::fromLatin1(name));
    d->setOption(QFileDialog::DontUseNativeDialog, true);
    d->setAcceptMode(mode);
    d->setFileMode(mode == QFileDialog::AcceptOpen ? QFileDialog::ExistingFile : QFileDialog::AnyFile);
    d->setNameFilter(QString::fromUtf16(kCfgDialogFilter));
    d->setDefaultSuffix(QString::fromUtf16(kCfgDefaultSuffix));
    d->setSizeGripEnabled(true);
    d->setModal(true);
    return d;
}

}  // namespace

TWidgetPrompt::TWidgetPrompt(QWidget* owner) : owner_(owner) {}

// The dialogs are made when first used: each runs a file-system watcher thread.
QFileDialog* TWidgetPrompt::OpenDialog() {
    if (open_ == nullptr) {
        open_ = MakeFileDialog(owner_, "Open", QFileDialog::AcceptOpen);
        open_->setWindowTitle(QString::fromUtf16(kOpenDialogTitle));
    }
    return open_;
}

QFileDialog* TWidgetPrompt::SaveDialog() {
    if (save_ == nullptr) {
        save_ = MakeFileDialog(owner_, "Save", QFileDialog::AcceptSave);
        // Asks before an existing file is replaced.
        save_->setOption(QFileDialog::DontConfirmOverwrite, false);
    }
    return save_;
}

bool TWidgetPrompt::AskYesNo(const QString& title, const QString& text) {
    QMessageBox box(QMessageBox::Information, title, text, QMessageBox::Yes | QMessageBox::No, owner_);
    box.setObjectName(QStringLiteral("QuestionBox"));
    box.setDefaultButton(QMessageBox::Yes);
    return box.exec() == QMessageBox::Yes;
}

void TWidgetPrompt::ShowMessage(const QString& title, const QString& text) {
    QMessageBox box(QMessageBox::Information, title, text, QMessageBox::Ok, owner_);
    box.setObjectName(QStringLiteral("MessageBox"));
    box.exec();
}

void TWidgetPrompt::ShowError(const QString& text) {
    QMessageBox box(QMessageBox::Critical, texts::kProgramTitle, text, QMessageBox::Ok, owner_);
    box.setObjectName(QStringLiteral("ErrorBox"));
    box.exec();
}

std::optional<QString> TWidgetPrompt::Run(QFileDialog* dialog, const QString& title, const QString& directory) {
    if (dialog == nullptr) return std::nullopt;
    if (!title.isEmpty()) dialog->setWindowTitle(title);
    dialog->setDirectory(directory.isEmpty() ? QDir::currentPath() : directory);
    dialog->selectFile(QString());
    if (dialog->exec() != QDialog::Accepted) return std::nullopt;
    const QStringList files = dialog->selectedFiles();
    if (files.isEmpty() || files.front().isEmpty()) return std::nullopt;
    return QDir::toNativeSeparators(files.front());
}

std::optional<QString> TWidgetPrompt::ChooseFileToOpen(const QString& title, const QString& directory) {
    return Run(OpenDialog(), title.isEmpty() ? QString::fromUtf16(kOpenDialogTitle) : title, directory);
}

std::optional<QString> TWidgetPrompt::ChooseFileToSave(const QString& title, const QString& directory) {
    return Run(SaveDialog(), title, directory);
}

}  // namespace qora
