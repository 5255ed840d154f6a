#include "app/console_prompt.h"

#include <cstdio>

namespace qora {

namespace {
void Print(const QString& text) {
    std::fprintf(stderr, "qora-opc-server: %s\n", text.toUtf8().constData());
    std::fflush(stderr);
}
}  // namespace

bool TConsolePrompt::AskYesNo(const QString& title, const QString& text) {
    Print(title + ": " + text + " -> Нет");
    return false;
}

TAnswer TConsolePrompt::AskYesNoCancel(const QString& title, const QString& text) {
    Print(title + ": " + text + " -> Нет");
    return TAnswer::No;
}

void TConsolePrompt::ShowMessage(const QString& title, const QString& text) {
    Print(title + ": " + text);
}

void TConsolePrompt::ShowError(const QString& text) {
    Print(text);
}

std::optional<QString> TConsolePrompt::ChooseFileToOpen(const QString&, const QString&) {
    return std::nullopt;
}

std::optional<QString> TConsolePrompt::ChooseFileToSave(const QString&, const QString&) {
    return std::nullopt;
}

}  // namespace qora
