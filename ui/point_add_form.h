// The connection point ("Адаптер") dialog.
#pragma once

#include <QDialog>

#include "ui/edit_operations.h"

class QCheckBox;
class QComboBox;
class QLineEdit;
class QPushButton;

namespace qora {

class TPointAddForm : public QDialog {
    Q_OBJECT
  public:
    // Shows `data`; a confirmed dialog writes the entered values back into it.
    explicit TPointAddForm(TPointDialogData& in, QWidget* parent = nullptr);

    // Key filter of PeriodEdit: true when the key was consumed.
    bool PeriodEditKeyPress(QKeyEvent* event);

  protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

  private:
    void Button1Click();

    TPointDialogData& data_;
    QLineEdit* NameEdit;
    QComboBox* PortCombo;
    QLineEdit* PeriodEdit;
    QCheckBox* EnableCheck;
    QPushButton* Button1;
    QPushButton* Button2;
};

}  // namespace qora
