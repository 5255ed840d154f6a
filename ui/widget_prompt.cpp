#include "ui/widget_prompt.h"

#include <QDir>
#include <QFileDialog>
#include <QMessageBox>
#include <QPointer>
#include <QScopeGuard>

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

bool TWidgetPrompt::AskYesNo(const QString& title, const QString& text) {
    QMessageBox box(QMessageBox::Information, title, text, QMessageBox::Yes | QMessageBox::No, owner_);
    box.setObjectName(QStringLiteral("QuestionBox"));
    box.setDefaultButton(QMessageBox::Yes);
    return box.exec() == QMessageBox::Yes;
}

TAnswer TWidgetPrompt::AskYesNoCancel(const QString& title, const QString& text) {
    QMessageBox box(QMessageBox::Information, title, text,
                    QMessageBox::Yes | QMessageBox::No | QMessageBox::Cancel, owner_);
    box.setObjectName(QStringLiteral("QuestionBox"));
    box.setDefaultButton(QMessageBox::Yes);
    // Esc and the title bar's close button answer Cancel.
    box.setEscapeButton(QMessageBox::Cancel);
    switch (box.exec()) {
        case QMessageBox::Yes:
            return TAnswer::Yes;
        case QMessageBox::No:
            return TAnswer::No;
        default:
            return TAnswer::Cancel;
    }
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

std::optional<QString> TWidgetPrompt::Run(bool save, const QString& title, const QString& directory) {
    // Destroyed on every way out; QPointer, in case the owner goes first.
    const QPointer<QFileDialog> dialog = MakeFileDialog(
        owner_, save ? "Save" : "Open", save ? QFileDialog::AcceptSave : QFileDialog::AcceptOpen);
    const auto destroy = qScopeGuard([&dialog] { delete dialog.data(); });
    // Save asks before an existing file is replaced.
    if (save) dialog->setOption(QFileDialog::DontConfirmOverwrite, false);
    dialog->setWindowTitle(title);
    dialog->setDirectory(directory.isEmpty() ? QDir::currentPath() : directory);
    if (dialog->exec() != QDialog::Accepted || dialog.isNull()) return std::nullopt;
    const QStringList files = dialog->selectedFiles();
    if (files.isEmpty() || files.front().isEmpty()) return std::nullopt;
    return QDir::toNativeSeparators(files.front());
}

std::optional<QString> TWidgetPrompt::ChooseFileToOpen(const QString& title, const QString& directory) {
    return Run(false, title.isEmpty() ? QString::fromUtf16(kOpenDialogTitle) : title, directory);
}

std::optional<QString> TWidgetPrompt::ChooseFileToSave(const QString& title, const QString& directory) {
    return Run(true, title, directory);
}

}  // namespace qora
