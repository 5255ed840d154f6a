// "Тип устройства": add a connection point or a device?
#pragma once

#include <QDialog>
#include <QStringList>

class QComboBox;
class QPushButton;

namespace qora {

class TTypeSelctionForm : public QDialog {
    Q_OBJECT
  public:
    TTypeSelctionForm(const QStringList& entries, int selected, QWidget* parent = nullptr);
    int selectedIndex() const;

  private:
    QComboBox* TypeCombo;
    QPushButton* Button1;
    QPushButton* Button2;
};

}  // namespace qora
