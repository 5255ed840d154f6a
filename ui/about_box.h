// "О программе": program name, version, operating system and free memory.
#pragma once

#include <QDialog>

class QFrame;
class QLabel;
class QPushButton;

namespace qora {

class TAboutBox : public QDialog {
    Q_OBJECT
  public:
    explicit TAboutBox(QWidget* parent = nullptr);

    void SetOSText(const QString& text);      // L1
    void SetMemoryText(const QString& text);  // L2

    // The version label's text: "версия <version>".
    static QString VersionText(const QString& version);

  protected:
    void showEvent(QShowEvent* event) override;  // FormShow
    void keyPressEvent(QKeyEvent* event) override;

  private:
    QFrame* Panel1;
    QLabel* Image1;
    QLabel* ProductName;
    QLabel* Version;
    QFrame* Panel2;
    QLabel* L1;
    QLabel* L2;
    QPushButton* OKButton;
};

}  // namespace qora
