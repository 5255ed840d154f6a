// The event log of the main window: newest line on top, at most kMaxLines lines.
//
// AddLine may be called from any thread; the lines reach the list on the thread that
// owns the log, in the order they were added. Lines from other threads (a callback per client
// Read) are taken in batches: the first line of a batch arms a timer on the owning thread, which
// takes everything queued every kBatchIntervalMs and stops at the first tick that finds nothing.
// So a client reading in a loop wakes the window thread once per interval, not once per Read.
#pragma once

#include <QAbstractListModel>
#include <QString>
#include <deque>
#include <mutex>
#include <vector>

namespace qora {

class TEventLog : public QAbstractListModel {
    Q_OBJECT
  public:
    // A client reading once a second adds 86 400 lines a day; the oldest go.
    static constexpr int kMaxLines = 10000;
    static constexpr int kBatchIntervalMs = 200;

    explicit TEventLog(QObject* parent = nullptr);

    void AddLine(const QString& line);  // thread-safe
    int rowCount(const QModelIndex& parent = QModelIndex()) const override;
    QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
    QString line(int row) const;  // row 0 is the newest

    // Moves the lines added so far into the list (owning thread).
    void Flush();

  protected:
    void timerEvent(QTimerEvent* event) override;

  private:
    // Starts the batch timer (queued to the owning thread by the first line of a batch).
    void ArmTimer();
    // Moves the queued lines into the list; false when there were none.
    bool TakePending();

    std::deque<QString> lines_;  // front = newest
    std::mutex mutex_;
    std::vector<QString> pending_;  // arrival order
    bool armed_ = false;            // a batch is under way: its timer runs or its start is queued
    int timerId_ = 0;               // owning thread only
};

}  // namespace qora
