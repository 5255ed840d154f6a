// The operator prompt of the file actions: message boxes owned by the main window and
// the Open and Save dialogs.
#pragma once

#include "config/config_document.h"

class QFileDialog;
class QWidget;

namespace qora {

class TWidgetPrompt : public IOperatorPrompt {
  public:
    // owner: the main window. Each Open or Save dialog is its child ("Open", "Save") for one
    // operation: made when asked for and destroyed when answered, so that nothing of it (a
    // typed name, a completer's list) outlives the operation.
    explicit TWidgetPrompt(QWidget* owner);

    bool AskYesNo(const QString& title, const QString& text) override;
    TAnswer AskYesNoCancel(const QString& title, const QString& text) override;
    void ShowMessage(const QString& title, const QString& text) override;
    void ShowError(const QString& text) override;
    std::optional<QString> ChooseFileToOpen(const QString& title, const QString& directory) override;
    std::optional<QString> ChooseFileToSave(const QString& title, const QString& directory) override;

  private:
    std::optional<QString> Run(bool save, const QString& title, const QString& directory);

    QWidget* owner_;
};

}  // namespace qora
