// State of a subscription: its notification queues, sampling period and data-change test.
#include "ua/services/subscription.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "ua/encoding/binary.h"

namespace qora::ua {

EncodedValue::EncodedValue(std::string_view bytes) {
    if (bytes.size() <= kInlineBytes) {
        size_ = static_cast<uint8_t>(bytes.size());
        std::memcpy(small_, bytes.data(), bytes.size());
    } else {
        big_ = std::make_shared<const std::string>(bytes);
    }
}

void NotificationQueue::push_back(EncodedValue v) {
    if (size_ == slots_.size()) {
        std::vector<EncodedValue> grown(std::max<size_t>(1, 2 * slots_.size()));
        for (size_t i = 0; i < size_; ++i) grown[i] = std::move(slots_[(head_ + i) % slots_.size()]);
        slots_ = std::move(grown);
        head_ = 0;
    }
    slots_[(head_ + size_) % slots_.size()] = std::move(v);
    ++size_;
}

void NotificationQueue::pop_front() {
    slots_[head_] = EncodedValue();
    head_ = (head_ + 1) % slots_.size();
    --size_;
}

void NotificationQueue::pop_back() {
    --size_;
    slots_[(head_ + size_) % slots_.size()] = EncodedValue();
}

void NotificationQueue::clear() {
    slots_.clear();
    head_ = size_ = 0;
}

void Subscription::Enqueue(MonitoredItem& m, const DataValue& dv) {
    std::string bytes;
    Encoder e(bytes);
    e.Data(dv);
    Enqueue(m, EncodedValue(bytes));
}

void Subscription::Enqueue(MonitoredItem& m, EncodedValue dv) {
    if (m.queue.size() >= m.queueSize) {
        if (m.discardOldest)
            m.queue.pop_front();
        else
            m.queue.pop_back();
        --pendingNotifications;
    }
    m.queue.push_back(std::move(dv));
    ++pendingNotifications;
    if (!m.inDirtyList) {
        m.inDirtyList = true;
        dirtyItems.push_back(m.id);
    }
}

void Subscription::ClearQueue(MonitoredItem& m) {
    pendingNotifications -= std::min(pendingNotifications, m.queue.size());
    m.queue.clear();
}

void Subscription::RecomputeSamplePeriod() {
    samplePeriod = publishingInterval;
    for (const auto& [itemId, m] : items) samplePeriod = std::min(samplePeriod, m.samplingInterval);
    samplePeriod = std::max(samplePeriod, kMinSamplingIntervalMs);
}

bool FloatSampleChanged(const MonitoredItem& m, float value, StatusCode status, int64_t sourceTime) {
    if (!m.hasLast) return true;
    if (status != m.lastStatus) return true;
    if (m.trigger == DataChangeTrigger::Status) return false;
    if (m.absoluteDeadband > 0) {
        if (std::isnan(value) != std::isnan(m.lastValue)) return true;
        if (std::fabs(static_cast<double>(value) - static_cast<double>(m.lastValue)) > m.absoluteDeadband)
            return true;
    } else if (std::memcmp(&value, &m.lastValue, sizeof(float)) != 0) {
        return true;
    }
    return m.trigger == DataChangeTrigger::StatusValueTimestamp && sourceTime != m.lastSourceTime;
}

Millis NextSampleDue(Millis due, Millis period, Millis now) {
    if (period < 1) period = 1;
    Millis next = due + period;
    if (next <= now) next += ((now - next) / period + 1) * period;
    return next;
}

Millis GridDueAfter(Millis anchor, Millis period, Millis now) {
    if (period < 1) period = 1;
    const Millis offset = ((anchor - now - 1) % period + period) % period;
    return now + 1 + offset;
}

}  // namespace qora::ua
