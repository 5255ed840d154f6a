#include "ui/event_log.h"

#include <QThread>
#include <QTimerEvent>

namespace qora {

TEventLog::TEventLog(QObject* parent) : QAbstractListModel(parent) {}

void TEventLog::AddLine(const QString& line) {
    const bool own = QThread::currentThread() == thread();
    bool arm = false;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        pending_.push_back(line);
        // More than a full list waiting: the oldest of them would be trimmed anyway.
        if (pending_.size() > static_cast<size_t>(2 * kMaxLines))
            pending_.erase(pending_.begin(), pending_.end() - kMaxLines);
        if (!own && !armed_) {
            armed_ = true;
            arm = true;
        }
    }
    if (own) {
        // The owning thread's own line goes in at once, after whatever is queued before it.
        TakePending();
    } else if (arm) {
        QMetaObject::invokeMethod(this, &TEventLog::ArmTimer, Qt::QueuedConnection);
    }
}

void TEventLog::ArmTimer() {
    if (timerId_ == 0) timerId_ = startTimer(kBatchIntervalMs, Qt::CoarseTimer);
}

void TEventLog::timerEvent(QTimerEvent* event) {
    if (event->timerId() != timerId_) {
        QAbstractListModel::timerEvent(event);
        return;
    }
    if (TakePending()) return;
    // A tick with nothing queued ends the batch; the next line from another thread arms again.
    std::lock_guard<std::mutex> lock(mutex_);
    if (!pending_.empty()) return;  // arrived just now: the next tick takes it
    armed_ = false;
    killTimer(timerId_);
    timerId_ = 0;
}

void TEventLog::Flush() {
    TakePending();
}

bool TEventLog::TakePending() {
    std::vector<QString> batch;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        batch.swap(pending_);
    }
    if (batch.empty()) return false;
    if (batch.size() > static_cast<size_t>(kMaxLines)) batch.erase(batch.begin(), batch.end() - kMaxLines);
    const int n = static_cast<int>(batch.size());
    beginInsertRows(QModelIndex(), 0, n - 1);
    for (const QString& l : batch) lines_.push_front(l);  // the last added ends on top
    endInsertRows();
    const int excess = static_cast<int>(lines_.size()) - kMaxLines;
    if (excess > 0) {
        const int first = kMaxLines;
        beginRemoveRows(QModelIndex(), first, first + excess - 1);
        lines_.erase(lines_.begin() + first, lines_.end());
        endRemoveRows();
    }
    return true;
}

int TEventLog::rowCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : static_cast<int>(lines_.size());
}

QVariant TEventLog::data(const QModelIndex& index, int role) const {
    if (!index.isValid() || index.row() < 0 || index.row() >= static_cast<int>(lines_.size())) return {};
    if (role == Qt::DisplayRole) return lines_[static_cast<size_t>(index.row())];
    return {};
}

QString TEventLog::line(int row) const {
    if (row < 0 || row >= static_cast<int>(lines_.size())) return {};
    return lines_[static_cast<size_t>(row)];
}

}  // namespace qora
