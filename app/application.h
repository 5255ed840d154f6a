// The application object. An exception that leaves an event handler (a slot, a timer, an
// operator action) would otherwise end the process through Qt's event dispatch; notify catches
// it and shows it in the application's error box, and the message loop goes on. The entry
// point shows an exception that leaves its own steps the same way, while this object exists.
#pragma once

#include <QApplication>
#include <functional>

namespace qora {

class TApplication : public QApplication {
    Q_OBJECT
  public:
    // headless: no display; the error box is standard error only.
    TApplication(int& argc, char** argv, bool headless);

    bool notify(QObject* receiver, QEvent* event) override;

    // The application's error box: standard error, and with a display a critical message box
    // with the program's title. An exception while a box is open goes to standard error only.
    void ShowException(const QString& text);
    // Shows the exception in flight (call inside a catch block).
    void ShowCurrentException();
    // Runs body; an exception that leaves it is shown and 0 is returned.
    int RunGuarded(const std::function<int()>& body);

    // Replaces the message box (tests); standard error is still written.
    void SetErrorBox(std::function<void(const QString&)> box) { box_ = std::move(box); }

    static TApplication* Instance();

  private:
    bool headless_;
    bool showing_ = false;
    std::function<void(const QString&)> box_;
};

}  // namespace qora
