// The operator prompt when no operator can answer (headless service): messages go to the
// standard error stream, questions are answered No and file dialogs are cancelled.
#pragma once

#include "config/config_document.h"

namespace qora {

class TConsolePrompt : public IOperatorPrompt {
  public:
    bool AskYesNo(const QString& title, const QString& text) override;
    TAnswer AskYesNoCancel(const QString& title, const QString& text) override;
    void ShowMessage(const QString& title, const QString& text) override;
    void ShowError(const QString& text) override;
    std::optional<QString> ChooseFileToOpen(const QString& title, const QString& directory) override;
    std::optional<QString> ChooseFileToSave(const QString& title, const QString& directory) override;
};

// Chooses between the window's prompt and the console one at each call.
class TSwitchingPrompt : public IOperatorPrompt {
  public:
    TSwitchingPrompt(IOperatorPrompt& window, IOperatorPrompt& console, const bool& headless)
        : window_(window), console_(console), headless_(headless) {}
    bool AskYesNo(const QString& title, const QString& text) override { return Pick().AskYesNo(title, text); }
    TAnswer AskYesNoCancel(const QString& title, const QString& text) override {
        return Pick().AskYesNoCancel(title, text);
    }
    void ShowMessage(const QString& title, const QString& text) override { Pick().ShowMessage(title, text); }
    void ShowError(const QString& text) override { Pick().ShowError(text); }
    std::optional<QString> ChooseFileToOpen(const QString& title, const QString& directory) override {
        return Pick().ChooseFileToOpen(title, directory);
    }
    std::optional<QString> ChooseFileToSave(const QString& title, const QString& directory) override {
        return Pick().ChooseFileToSave(title, directory);
    }

  private:
    IOperatorPrompt& Pick() { return headless_ ? console_ : window_; }
    IOperatorPrompt& window_;
    IOperatorPrompt& console_;
    const bool& headless_;
};

}  // namespace qora
