// The device dialog.
#pragma once

#include <QDialog>
#include <array>

#include "ui/dialog_logic.h"
#include "ui/edit_operations.h"

class QCheckBox;
class QComboBox;
class QGroupBox;
class QLineEdit;
class QPushButton;

namespace qora {

class TDeviceAddForm : public QDialog {
    Q_OBJECT
  public:
    // Shows `data` (running PointComboChange and TypeComboChange as adding or editing
    // requires); a confirmed dialog writes the entered values back into it.
    explicit TDeviceAddForm(TDeviceDialogData& in, QWidget* parent = nullptr);

    void PointComboChange();
    void TypeComboChange();
    void Button1Click();

    const TParamBoxes& boxes() const { return boxes_; }

  private:
    void BoxToggled(int n, bool ticked);
    void SyncBoxes();

    TDeviceDialogData& data_;
    TParamBoxes boxes_;
    QLineEdit* NameEdit;
    QComboBox* PointCombo;
    QComboBox* TypeCombo;
    QComboBox* AddrCombo;
    QGroupBox* ParamGroup;
    QPushButton* Button1;
    QPushButton* Button2;
    std::array<QCheckBox*, kParamsPerDevice> params_{};
};

}  // namespace qora
