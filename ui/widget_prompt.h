// The operator prompt of the file actions: message boxes owned by the main window and
// the Open and Save dialogs.
#pragma once

#include "config/config_document.h"

class QFileDialog;
class QWidget;

namespace qora {

class TWidgetPrompt : public IOperatorPrompt {
public:
    // owner: the main window; the two dialogs are its children ("Open" and "Save"), made on first use.
    explicit TWidgetPrompt(QWidget* owner);

    bool AskYesNo(const QString& title, const QString& text) override;
    void ShowMessage(const QString& title, const QString& text) override;
    void ShowError(const QString& text) override;
    std::optional<QString> ChooseFileToOpen(const QString& title, const QString& directory) override;
    std::optional<QString> ChooseFileToSave(const QString& title, const QString& directory) override;

    QFileDialog* OpenDialog();
    QFileDialog* SaveDialog();

private:
    std::optional<QString> Run(QFileDialog* dialog, const QString& title, const QString& directory);

    QWidget* owner_;
    QFileDialog* open_ = nullptr;
    QFileDialog* save_ = nullptr;
};

}  // namespace qora
