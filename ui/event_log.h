// The event log of the main window: newest line on top, at most kMaxLines lines.
//
// AddLine may be called from any thread; the lines reach the list on the thread that
// owns the log, in the order they were added.
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

    explicit TEventLog(QObject* parent = nullptr);

    void AddLine(const QString& line);  // thread-safe
    int rowCount(const QModelIndex& parent = QModelIndex()) const override;
    QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
    QString line(int row) const;  // row 0 is the newest

    // Moves the lines added so far into the list (runs queued on the owning thread).
    void Flush();

  private:
    std::deque<QString> lines_;  // front = newest
    std::mutex mutex_;
    std::vector<QString> pending_;  // arrival order
    bool flushPosted_ = false;
};

}  // namespace qora
