// Turns SIGTERM and SIGINT (and SIGHUP, the service convention for "reload") into Qt signals on the thread
// that owns the watcher, so the shutdown sequence runs on the window thread and not inside a signal handler.
#pragma once

#include <QObject>

class QSocketNotifier;

namespace qora {

class TSignalWatcher : public QObject {
    Q_OBJECT
  public:
    explicit TSignalWatcher(QObject* parent = nullptr);
    ~TSignalWatcher() override;

  Q_SIGNALS:
    void terminationRequested(int signalNumber);
    void reloadRequested();

  private:
    void OnReadable();
    QSocketNotifier* notifier_ = nullptr;
};

}  // namespace qora
