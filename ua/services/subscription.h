// Subscriptions and monitored items of a session.
#pragma once

#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "ua/encoding/types.h"
#include "ua/limits.h"
#include "ua/nodes/address_space.h"

namespace qora::ua {

// Bounds of one subscription, sized so a client cannot grow the server without limit.
inline constexpr double kMinPublishingIntervalMs = 50.0;
inline constexpr double kMaxPublishingIntervalMs = 3600000.0;
inline constexpr double kMinSamplingIntervalMs = 50.0;
inline constexpr uint32_t kMaxQueueSize = 100;
inline constexpr uint32_t kMaxKeepAliveCount = 10000;
inline constexpr size_t kRetransmitQueueLength = 16;
inline constexpr size_t kMonitoredItemMemory = 160;  // bytes charged to the budget per item

enum class MonitoringMode : uint32_t { Disabled = 0, Sampling = 1, Reporting = 2 };
enum class DataChangeTrigger : uint32_t { Status = 0, StatusValue = 1, StatusValueTimestamp = 2 };
// DeadbandType of a DataChangeFilter.
enum class DeadbandType : uint32_t { None = 0, Absolute = 1, Percent = 2 };

// The encoded DataValue of one queued notification: an item's value fits inline, anything
// longer is held on the heap.
class EncodedValue {
  public:
    static constexpr size_t kInlineBytes = 26;  // mask, Float variant, status, two timestamps
    EncodedValue() = default;
    explicit EncodedValue(std::string_view bytes);
    std::string_view Bytes() const {
        return big_ ? std::string_view(*big_) : std::string_view(small_, size_);
    }

  private:
    uint8_t size_ = 0;
    char small_[kInlineBytes] = {};
    std::shared_ptr<const std::string> big_;  // immutable: copies share it
};

// Notifications of one monitored item, oldest first: a ring that allocates only when it
// grows past the largest size it has held.
class NotificationQueue {
  public:
    size_t size() const { return size_; }
    bool empty() const { return size_ == 0; }
    const EncodedValue& front() const { return slots_[head_]; }
    void push_back(EncodedValue v);
    void pop_front();
    void pop_back();
    void clear();

  private:
    std::vector<EncodedValue> slots_;
    size_t head_ = 0;
    size_t size_ = 0;
};

struct MonitoredItem {
    uint32_t id = 0;
    uint32_t clientHandle = 0;
    NodeRef node;
    uint32_t attributeId = AttrValue;
    uint32_t timestamps = 0;  // TimestampsToReturn
    MonitoringMode mode = MonitoringMode::Reporting;
    double samplingInterval = 0;
    Millis nextSample = 0;
    bool onGrid = false;  // sampled once; later samples keep to the grid set then
    uint32_t queueSize = 1;
    bool discardOldest = true;
    DataChangeTrigger trigger = DataChangeTrigger::StatusValue;  // the default without a filter
    double absoluteDeadband = 0;                                 // 0: none
    // Last sampled value (items: value/status/time; others: the encoded DataValue).
    bool hasLast = false;
    float lastValue = 0;
    StatusCode lastStatus = 0;
    int64_t lastSourceTime = 0;
    std::string lastEncoded;
    uint64_t lastGeneration = ~0ull;
    NotificationQueue queue;
    bool inDirtyList = false;
};

struct SentMessage {
    uint32_t sequenceNumber = 0;
    std::string encoded;  // NotificationMessage
};

struct Subscription {
    uint32_t id = 0;
    double publishingInterval = 1000;
    uint32_t lifetimeCount = 10000;
    uint32_t maxKeepAliveCount = 10;
    uint32_t maxNotificationsPerPublish = 0;
    bool publishingEnabled = true;
    uint8_t priority = 0;

    Millis nextPublish = 0;
    Millis nextSample = 0;
    double samplePeriod = 1000;
    uint32_t keepAliveCounter = 0;
    uint32_t lifetimeCounter = 0;
    bool firstMessageSent = false;
    bool late = false;  // a message (or keep-alive) is due but no Publish request was queued
    bool keepAliveDue = false;
    uint32_t nextSequenceNumber = 1;
    uint32_t nextItemId = 1;

    std::map<uint32_t, MonitoredItem> items;
    std::vector<uint32_t> dirtyItems;  // items whose queue holds notifications, in order of arrival
    size_t pendingNotifications = 0;
    std::deque<SentMessage> retransmit;
    uint64_t charged = 0;  // bytes of the memory budget charged for it, its items and messages

    // Queues a notification of an item (bounded by its queue size) and marks it dirty.
    void Enqueue(MonitoredItem& m, const DataValue& dv);
    void Enqueue(MonitoredItem& m, EncodedValue v);
    void ClearQueue(MonitoredItem& m);
    void RecomputeSamplePeriod();
};

// Data-change decision of a monitored item on an item (Float) sample.
bool FloatSampleChanged(const MonitoredItem& m, float value, StatusCode status, int64_t sourceTime);

// Due time of the sample after the one that was due at `due`: one period later, so the rate
// holds however late the sample ran. A sampler more than a period behind skips the missed
// samples (the next due time after `now`, on the same grid) instead of taking them in a burst.
Millis NextSampleDue(Millis due, Millis period, Millis now);
// The first time after now on the grid anchor + k × period (k any integer).
Millis GridDueAfter(Millis anchor, Millis period, Millis now);

// Memory a monitored item charges to its session: the item and its queue.
inline size_t ItemMemory(uint32_t queueSize) {
    return kMonitoredItemMemory + queueSize * sizeof(DataValue);
}

// Whether a monitored item samples an item's Value (rather than another attribute or node).
inline bool IsItemValue(const MonitoredItem& m) {
    return m.node.item && m.attributeId == AttrValue;
}

}  // namespace qora::ua
