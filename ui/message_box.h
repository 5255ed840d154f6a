// The operator's message boxes: caption "Предупреждение", information icon.
#pragma once

#include <QString>

class QWidget;

namespace qora {

// A message with an OK button.
void ShowMessage(QWidget* owner, const QString& text);
// A question with Yes and No; true for Yes.
bool AskYesNo(QWidget* owner, const QString& text);

// Installs Qt's own Russian translation (qtbase_ru) so that standard buttons read
// "Да", "Нет", "Отмена". Returns false when the catalogue is not installed.
bool InstallQtRussianTranslation();

}  // namespace qora
