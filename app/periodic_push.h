// The periodic OPC push, apart from the window: every second, while polling runs, the server
// object pushes every slot onto its item (and tells its observers, such as the MQTT bridge,
// what it pushed); then Pushed() lets the window refresh. While polling is stopped the records
// may change: the server's edit bracket is open, the push is off, and the item check tells
// clients which items lost their slots meanwhile.
#pragma once

#include <QObject>

#include "config/records.h"

class QTimer;

namespace qora {

class COPCServer;

class TPeriodicPush : public QObject {
    Q_OBJECT
  public:
    static constexpr int kPushIntervalMs = 1000;
    static constexpr int kItemCheckIntervalMs = 1000;

    explicit TPeriodicPush(const TConfigModel& model, QObject* parent = nullptr);

    // The server object, once it exists (null: the timers run, nothing is pushed).
    void SetServer(COPCServer* server) { server_ = server; }

    // Connected to TPollCycle::PollingChanged: the push follows polling, the edit bracket and
    // the item check the opposite.
    void FollowPolling(bool polling);
    // One push (OPCTimer's tick), then Pushed().
    void Push();
    // One item check (the item-check timer's tick).
    void CheckItems();

    QTimer* OPCTimer() const { return pushTimer_; }
    QTimer* ItemCheckTimer() const { return itemCheckTimer_; }

  signals:
    void Pushed();

  private:
    const TConfigModel& model_;
    COPCServer* server_ = nullptr;
    QTimer* pushTimer_;
    QTimer* itemCheckTimer_;
};

}  // namespace qora
