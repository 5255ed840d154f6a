#include "ui/event_log.h"

#include <QThread>

namespace qora {

TEventLog::TEventLog(QObject* parent) : QAbstractListModel(parent) {}

void TEventLog::AddLine(const QString& line) {
    bool post = false;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        pending_.push_back(line);
        // More than a full list waiting: the oldest of them would be trimmed anyway.
        if (pending_.size() > static_cast<size_t>(2 * kMaxLines))
            pending_.erase(pending_.begin(), pending_.end() - kMaxLines);
        if (!flushPosted_) {
            flushPosted_ = true;
            post = true;
        }
    }
    if (QThread::currentThread() == thread()) {
        Flush();
    } else if (post) {
        QMetaObject::invokeMethod(this, &TEventLog::Flush, Qt::QueuedConnection);
    }
}

void TEventLog::Flush() {
    std::vector<QString> batch;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        batch.swap(pending_);
        flushPosted_ = false;
    }
    if (batch.empty()) return;
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
