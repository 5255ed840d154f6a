// Subscription services and the publishing cycle: sampling, data-change detection with
// deadband, notification queues, Publish requests, keep-alives, lifetime and retransmission.
#include "opc/ua/ua_subscription.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "opc/ua/ua_engine.h"

namespace qora::ua {

namespace {

constexpr size_t kMaxNotificationsPerMessage = 50000;  // bounds one PublishResponse

size_t ItemMemory(uint32_t queueSize) { return kMonitoredItemMemory + queueSize * sizeof(DataValue); }

double ReviseInterval(double requested) {
    if (!(requested >= kMinPublishingIntervalMs)) return kMinPublishingIntervalMs;  // NaN too
    return std::min(requested, kMaxPublishingIntervalMs);
}

struct MonitoringParameters {
    uint32_t clientHandle = 0;
    double samplingInterval = 0;
    ExtensionObject filter;
    uint32_t queueSize = 0;
    bool discardOldest = true;
};

MonitoringParameters DecodeParameters(Decoder& d) {
    MonitoringParameters p;
    p.clientHandle = d.UInt32();
    p.samplingInterval = d.Double();
    p.filter = d.Extension();
    p.queueSize = d.UInt32();
    p.discardOldest = d.Boolean();
    return p;
}

bool IsItemValue(const MonitoredItem& m) { return m.node.item && m.attributeId == AttrValue; }

}  // namespace

void Subscription::Enqueue(MonitoredItem& m, DataValue dv) {
    if (m.queue.size() >= m.queueSize) {
        if (m.discardOldest) m.queue.pop_front();
        else m.queue.pop_back();
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
        if (std::fabs(static_cast<double>(value) - static_cast<double>(m.lastValue)) > m.absoluteDeadband) return true;
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

StatusCode Engine::ParseFilter(const ExtensionObject& filter, MonitoredItem& m) const {
    // Without a filter the default trigger holds: changes of status or value are reported, a
    // new source timestamp alone is not (a constant Bad value pushed every second stays quiet).
    m.trigger = DataChangeTrigger::StatusValue;
    m.absoluteDeadband = 0;
    if (filter.typeId.IsNull() && filter.encoding == 0) return status::Good;
    if (!filter.typeId.IsNs0(id::DataChangeFilter) || filter.encoding != 1)
        return status::BadMonitoredItemFilterUnsupported;
    Decoder d(filter.body);
    const uint32_t trigger = d.UInt32();
    const uint32_t deadbandType = d.UInt32();
    const double deadband = d.Double();
    if (trigger > 2) return status::BadMonitoredItemFilterInvalid;
    m.trigger = static_cast<DataChangeTrigger>(trigger);
    switch (deadbandType) {
        case 0: return status::Good;
        case 1:
            if (!(deadband >= 0) || std::isinf(deadband)) return status::BadDeadbandFilterInvalid;
            if (!IsItemValue(m)) return status::BadFilterNotAllowed;
            m.absoluteDeadband = deadband;
            return status::Good;
        case 2: return status::BadMonitoredItemFilterUnsupported;
        default: return status::BadDeadbandFilterInvalid;
    }
}

// ---------------------------------------------------------------- subscription services

void Engine::ServiceCreateSubscription(Session& s, Connection& c, uint32_t rid, const RequestHeader& h, Decoder& d,
                                       Millis now) {
    const double interval = d.Double();
    const uint32_t lifetime = d.UInt32();
    const uint32_t keepAlive = d.UInt32();
    const uint32_t maxNotifications = d.UInt32();
    const bool enabled = d.Boolean();
    const uint8_t priority = d.Byte();
    if (s.subscriptions.size() >= static_cast<size_t>(std::max(0, config_.maxSubscriptionsPerSession))) {
        SendServiceFault(c.id, rid, h.requestHandle, status::BadTooManySubscriptions);
        return;
    }
    if (!memory_.TryCharge(sizeof(Subscription))) {
        SendServiceFault(c.id, rid, h.requestHandle, status::BadOutOfMemory);
        return;
    }
    auto sub = std::make_unique<Subscription>();
    sub->id = NewSubscriptionId();
    while (sub->id == 0 || s.subscriptions.count(sub->id)) sub->id = NewSubscriptionId();
    sub->publishingInterval = ReviseInterval(interval);
    sub->maxKeepAliveCount = std::clamp<uint32_t>(keepAlive == 0 ? 10 : keepAlive, 1, kMaxKeepAliveCount);
    sub->lifetimeCount = std::max(lifetime, sub->maxKeepAliveCount * 3);
    sub->maxNotificationsPerPublish = maxNotifications;
    sub->publishingEnabled = enabled;
    sub->priority = priority;
    sub->nextPublish = now + static_cast<Millis>(sub->publishingInterval);
    sub->nextSample = now;
    sub->RecomputeSamplePeriod();
    // The first cycle sends a keep-alive when there is nothing to report.
    sub->keepAliveCounter = sub->maxKeepAliveCount - 1;

    std::string out;
    Encoder e(out);
    EncodeResponseHeader(e, h.requestHandle, status::Good);
    e.UInt32(sub->id);
    e.Double(sub->publishingInterval);
    e.UInt32(sub->lifetimeCount);
    e.UInt32(sub->maxKeepAliveCount);
    s.subscriptions.emplace(sub->id, std::move(sub));
    SendResponse(c.id, rid, id::ResponseOf(id::CreateSubscription), out, h.requestHandle);
}

void Engine::ServiceModifySubscription(Session& s, Connection& c, uint32_t rid, const RequestHeader& h, Decoder& d) {
    const uint32_t subId = d.UInt32();
    const double interval = d.Double();
    const uint32_t lifetime = d.UInt32();
    const uint32_t keepAlive = d.UInt32();
    const uint32_t maxNotifications = d.UInt32();
    const uint8_t priority = d.Byte();
    auto it = s.subscriptions.find(subId);
    if (it == s.subscriptions.end()) {
        SendServiceFault(c.id, rid, h.requestHandle, status::BadSubscriptionIdInvalid);
        return;
    }
    Subscription& sub = *it->second;
    sub.publishingInterval = ReviseInterval(interval);
    sub.maxKeepAliveCount = std::clamp<uint32_t>(keepAlive == 0 ? 10 : keepAlive, 1, kMaxKeepAliveCount);
    sub.lifetimeCount = std::max(lifetime, sub.maxKeepAliveCount * 3);
    sub.maxNotificationsPerPublish = maxNotifications;
    sub.priority = priority;
    sub.RecomputeSamplePeriod();
    std::string out;
    Encoder e(out);
    EncodeResponseHeader(e, h.requestHandle, status::Good);
    e.Double(sub.publishingInterval);
    e.UInt32(sub.lifetimeCount);
    e.UInt32(sub.maxKeepAliveCount);
    SendResponse(c.id, rid, id::ResponseOf(id::ModifySubscription), out, h.requestHandle);
}

void Engine::ServiceSetPublishingMode(Session& s, Connection& c, uint32_t rid, const RequestHeader& h, Decoder& d) {
    const bool enabled = d.Boolean();
    const size_t n = d.ArrayCount(4, 4);
    std::vector<uint32_t> ids;
    for (size_t i = 0; i < n; ++i) ids.push_back(d.UInt32());
    if (n == 0) {
        SendServiceFault(c.id, rid, h.requestHandle, status::BadNothingToDo);
        return;
    }
    std::string out;
    Encoder e(out);
    EncodeResponseHeader(e, h.requestHandle, status::Good);
    e.ArrayLength(static_cast<int32_t>(n));
    for (uint32_t subId : ids) {
        auto it = s.subscriptions.find(subId);
        if (it == s.subscriptions.end()) {
            e.Status(status::BadSubscriptionIdInvalid);
        } else {
            it->second->publishingEnabled = enabled;
            e.Status(status::Good);
        }
    }
    e.ArrayLength(0);
    SendResponse(c.id, rid, id::ResponseOf(id::SetPublishingMode), out, h.requestHandle);
}

void Engine::DeleteItems(Subscription& sub, const std::vector<uint32_t>& ids) {
    std::vector<uint32_t> handles;
    for (uint32_t itemId : ids) {
        auto it = sub.items.find(itemId);
        if (it == sub.items.end()) continue;
        MonitoredItem& m = it->second;
        if (m.node.item && m.mode != MonitoringMode::Disabled) handles.push_back(space_.Item(m.node.index).handle);
        sub.ClearQueue(m);
        memory_.Release(ItemMemory(m.queueSize));
        sub.items.erase(it);
    }
    sub.RecomputeSamplePeriod();
    if (!handles.empty()) backend_.ItemsDeactivated(handles.data(), handles.size());
}

void Engine::DeleteSubscription(Session& s, uint32_t subscriptionId) {
    auto it = s.subscriptions.find(subscriptionId);
    if (it == s.subscriptions.end()) return;
    Subscription& sub = *it->second;
    std::vector<uint32_t> ids;
    ids.reserve(sub.items.size());
    for (const auto& [itemId, m] : sub.items) ids.push_back(itemId);
    DeleteItems(sub, ids);
    for (const SentMessage& m : sub.retransmit) memory_.Release(m.encoded.size());
    memory_.Release(sizeof(Subscription));
    s.subscriptions.erase(it);
}

void Engine::ServiceDeleteSubscriptions(Session& s, Connection& c, uint32_t rid, const RequestHeader& h, Decoder& d) {
    const size_t n = d.ArrayCount(4, 4);
    std::vector<uint32_t> ids;
    for (size_t i = 0; i < n; ++i) ids.push_back(d.UInt32());
    if (n == 0) {
        SendServiceFault(c.id, rid, h.requestHandle, status::BadNothingToDo);
        return;
    }
    std::string out;
    Encoder e(out);
    EncodeResponseHeader(e, h.requestHandle, status::Good);
    e.ArrayLength(static_cast<int32_t>(n));
    for (uint32_t subId : ids) {
        if (!s.subscriptions.count(subId)) {
            e.Status(status::BadSubscriptionIdInvalid);
            continue;
        }
        DeleteSubscription(s, subId);
        e.Status(status::Good);
    }
    e.ArrayLength(0);
    SendResponse(c.id, rid, id::ResponseOf(id::DeleteSubscriptions), out, h.requestHandle);
    if (s.subscriptions.empty()) {
        for (const PendingPublish& p : s.publishQueue)
            SendServiceFault(p.conn, p.requestId, p.requestHandle, status::BadNoSubscription);
        s.publishQueue.clear();
    }
}

void Engine::ServiceCreateMonitoredItems(Session& s, Connection& c, uint32_t rid, const RequestHeader& h, Decoder& d,
                                         Millis now) {
    const uint32_t subId = d.UInt32();
    const uint32_t timestamps = d.UInt32();
    struct Request {
        NodeId node;
        uint32_t attributeId;
        UaString indexRange;
        uint32_t mode;
        MonitoringParameters params;
    };
    const size_t n = d.ArrayCount(40, sizeof(Request));
    std::vector<Request> reqs;
    reqs.reserve(n);
    for (size_t i = 0; i < n; ++i) {
        Request r;
        r.node = d.Node();
        r.attributeId = d.UInt32();
        r.indexRange = d.String();
        d.Qualified();
        r.mode = d.UInt32();
        r.params = DecodeParameters(d);
        reqs.push_back(std::move(r));
    }
    auto it = s.subscriptions.find(subId);
    StatusCode fault = status::Good;
    if (it == s.subscriptions.end()) fault = status::BadSubscriptionIdInvalid;
    else if (timestamps > 3) fault = status::BadTimestampsToReturnInvalid;
    else if (n == 0) fault = status::BadNothingToDo;
    else if (n > kMaxMonitoredItemsPerCall) fault = status::BadTooManyOperations;
    if (fault != status::Good) {
        SendServiceFault(c.id, rid, h.requestHandle, fault);
        return;
    }
    Subscription& sub = *it->second;
    std::string out;
    out.reserve(64 + n * 32);
    Encoder e(out);
    EncodeResponseHeader(e, h.requestHandle, status::Good);
    e.ArrayLength(static_cast<int32_t>(n));
    std::vector<uint32_t> activated;
    for (const Request& r : reqs) {
        StatusCode st = status::Good;
        const auto node = space_.Find(r.node);
        MonitoredItem m;
        if (!node) {
            st = status::BadNodeIdUnknown;
        } else if (r.attributeId == AttrEventNotifier) {
            st = status::BadNotSupported;  // events are not offered
        } else if (r.mode > 2) {
            st = status::BadMonitoringModeInvalid;
        } else if (!r.indexRange.isNull && !r.indexRange.value.empty()) {
            st = status::BadIndexRangeInvalid;
        } else {
            Variant probe;
            const StatusCode a = space_.ReadAttribute(*node, r.attributeId, probe);
            if (a == status::BadAttributeIdInvalid) st = a;
        }
        if (st == status::Good) {
            m.node = *node;
            m.attributeId = r.attributeId;
            st = ParseFilter(r.params.filter, m);
        }
        const uint32_t queueSize = std::clamp<uint32_t>(r.params.queueSize, 1, kMaxQueueSize);
        if (st == status::Good && sub.items.size() >= static_cast<size_t>(std::max(0, config_.maxMonitoredItemsPerSubscription)))
            st = status::BadTooManyMonitoredItems;
        if (st == status::Good && !memory_.TryCharge(ItemMemory(queueSize))) st = status::BadOutOfMemory;
        if (st != status::Good) {
            e.Status(st);
            e.UInt32(0);
            e.Double(0);
            e.UInt32(0);
            e.Node(NodeId());
            e.Byte(0);
            continue;
        }
        m.id = sub.nextItemId++;
        m.clientHandle = r.params.clientHandle;
        m.timestamps = timestamps;
        m.mode = static_cast<MonitoringMode>(r.mode);
        const double si = r.params.samplingInterval;
        m.samplingInterval = (si < 0 || std::isnan(si)) ? sub.publishingInterval
                                                        : std::clamp(si, kMinSamplingIntervalMs, kMaxPublishingIntervalMs);
        m.queueSize = queueSize;
        m.discardOldest = r.params.discardOldest;
        m.nextSample = now;
        if (m.node.item && m.mode != MonitoringMode::Disabled) activated.push_back(space_.Item(m.node.index).handle);
        e.Status(status::Good);
        e.UInt32(m.id);
        e.Double(m.samplingInterval);
        e.UInt32(m.queueSize);
        e.Node(NodeId());
        e.Byte(0);
        sub.items.emplace(m.id, std::move(m));
    }
    e.ArrayLength(0);
    sub.RecomputeSamplePeriod();
    sub.nextSample = now;
    if (!activated.empty()) backend_.ItemsActivated(activated.data(), activated.size());
    SendResponse(c.id, rid, id::ResponseOf(id::CreateMonitoredItems), out, h.requestHandle);
}

void Engine::ServiceModifyMonitoredItems(Session& s, Connection& c, uint32_t rid, const RequestHeader& h, Decoder& d) {
    const uint32_t subId = d.UInt32();
    const uint32_t timestamps = d.UInt32();
    const size_t n = d.ArrayCount(24, sizeof(MonitoringParameters) + 8);
    std::vector<std::pair<uint32_t, MonitoringParameters>> reqs;
    reqs.reserve(n);
    for (size_t i = 0; i < n; ++i) {
        const uint32_t itemId = d.UInt32();
        reqs.emplace_back(itemId, DecodeParameters(d));
    }
    auto it = s.subscriptions.find(subId);
    StatusCode fault = status::Good;
    if (it == s.subscriptions.end()) fault = status::BadSubscriptionIdInvalid;
    else if (timestamps > 3) fault = status::BadTimestampsToReturnInvalid;
    else if (n == 0) fault = status::BadNothingToDo;
    if (fault != status::Good) {
        SendServiceFault(c.id, rid, h.requestHandle, fault);
        return;
    }
    Subscription& sub = *it->second;
    std::string out;
    Encoder e(out);
    EncodeResponseHeader(e, h.requestHandle, status::Good);
    e.ArrayLength(static_cast<int32_t>(n));
    for (const auto& [itemId, p] : reqs) {
        auto mi = sub.items.find(itemId);
        StatusCode st = mi == sub.items.end() ? status::BadMonitoredItemIdInvalid : status::Good;
        if (st == status::Good) {
            MonitoredItem probe = mi->second;
            st = ParseFilter(p.filter, probe);
            const uint32_t queueSize = std::clamp<uint32_t>(p.queueSize, 1, kMaxQueueSize);
            if (st == status::Good && queueSize > probe.queueSize &&
                !memory_.TryCharge(ItemMemory(queueSize) - ItemMemory(probe.queueSize)))
                st = status::BadOutOfMemory;
            if (st == status::Good) {
                MonitoredItem& m = mi->second;
                if (queueSize < m.queueSize) memory_.Release(ItemMemory(m.queueSize) - ItemMemory(queueSize));
                m.trigger = probe.trigger;
                m.absoluteDeadband = probe.absoluteDeadband;
                m.clientHandle = p.clientHandle;
                m.timestamps = timestamps;
                const double si = p.samplingInterval;
                m.samplingInterval = (si < 0 || std::isnan(si)) ? sub.publishingInterval
                                                                : std::clamp(si, kMinSamplingIntervalMs, kMaxPublishingIntervalMs);
                m.queueSize = queueSize;
                m.discardOldest = p.discardOldest;
                m.onGrid = false;  // the next sample sets the grid of the new interval
                while (m.queue.size() > m.queueSize) {
                    m.queue.pop_front();
                    --sub.pendingNotifications;
                }
                e.Status(status::Good);
                e.Double(m.samplingInterval);
                e.UInt32(m.queueSize);
                e.Node(NodeId());
                e.Byte(0);
                continue;
            }
        }
        e.Status(st);
        e.Double(0);
        e.UInt32(0);
        e.Node(NodeId());
        e.Byte(0);
    }
    e.ArrayLength(0);
    sub.RecomputeSamplePeriod();
    SendResponse(c.id, rid, id::ResponseOf(id::ModifyMonitoredItems), out, h.requestHandle);
}

void Engine::ServiceSetMonitoringMode(Session& s, Connection& c, uint32_t rid, const RequestHeader& h, Decoder& d,
                                      Millis now) {
    const uint32_t subId = d.UInt32();
    const uint32_t mode = d.UInt32();
    const size_t n = d.ArrayCount(4, 4);
    std::vector<uint32_t> ids;
    for (size_t i = 0; i < n; ++i) ids.push_back(d.UInt32());
    auto it = s.subscriptions.find(subId);
    StatusCode fault = status::Good;
    if (it == s.subscriptions.end()) fault = status::BadSubscriptionIdInvalid;
    else if (mode > 2) fault = status::BadMonitoringModeInvalid;
    else if (n == 0) fault = status::BadNothingToDo;
    if (fault != status::Good) {
        SendServiceFault(c.id, rid, h.requestHandle, fault);
        return;
    }
    Subscription& sub = *it->second;
    std::vector<uint32_t> activated, deactivated;
    std::string out;
    Encoder e(out);
    EncodeResponseHeader(e, h.requestHandle, status::Good);
    e.ArrayLength(static_cast<int32_t>(n));
    for (uint32_t itemId : ids) {
        auto mi = sub.items.find(itemId);
        if (mi == sub.items.end()) {
            e.Status(status::BadMonitoredItemIdInvalid);
            continue;
        }
        MonitoredItem& m = mi->second;
        const auto newMode = static_cast<MonitoringMode>(mode);
        if (m.node.item) {
            const uint32_t handle = space_.Item(m.node.index).handle;
            if (m.mode == MonitoringMode::Disabled && newMode != MonitoringMode::Disabled) activated.push_back(handle);
            if (m.mode != MonitoringMode::Disabled && newMode == MonitoringMode::Disabled) deactivated.push_back(handle);
        }
        if (newMode == MonitoringMode::Disabled) {
            sub.ClearQueue(m);
            m.hasLast = false;
        }
        if (m.mode == MonitoringMode::Disabled && newMode != MonitoringMode::Disabled) {
            m.nextSample = now;
            m.onGrid = false;
        }
        m.mode = newMode;
        e.Status(status::Good);
    }
    e.ArrayLength(0);
    sub.nextSample = std::min(sub.nextSample, now);
    if (!activated.empty()) backend_.ItemsActivated(activated.data(), activated.size());
    if (!deactivated.empty()) backend_.ItemsDeactivated(deactivated.data(), deactivated.size());
    SendResponse(c.id, rid, id::ResponseOf(id::SetMonitoringMode), out, h.requestHandle);
}

void Engine::ServiceDeleteMonitoredItems(Session& s, Connection& c, uint32_t rid, const RequestHeader& h, Decoder& d) {
    const uint32_t subId = d.UInt32();
    const size_t n = d.ArrayCount(4, 4);
    std::vector<uint32_t> ids;
    for (size_t i = 0; i < n; ++i) ids.push_back(d.UInt32());
    auto it = s.subscriptions.find(subId);
    if (it == s.subscriptions.end() || n == 0) {
        SendServiceFault(c.id, rid, h.requestHandle,
                         it == s.subscriptions.end() ? status::BadSubscriptionIdInvalid : status::BadNothingToDo);
        return;
    }
    Subscription& sub = *it->second;
    std::string out;
    Encoder e(out);
    EncodeResponseHeader(e, h.requestHandle, status::Good);
    e.ArrayLength(static_cast<int32_t>(n));
    std::vector<uint32_t> existing;
    for (uint32_t itemId : ids) {
        const bool found = sub.items.count(itemId) != 0;
        e.Status(found ? status::Good : status::BadMonitoredItemIdInvalid);
        if (found) existing.push_back(itemId);
    }
    e.ArrayLength(0);
    DeleteItems(sub, existing);
    SendResponse(c.id, rid, id::ResponseOf(id::DeleteMonitoredItems), out, h.requestHandle);
}

// ---------------------------------------------------------------- sampling and publishing

void Engine::SampleSubscription(Subscription& sub, Millis now, bool all) {
    sub.nextSample = now + static_cast<Millis>(sub.samplePeriod);
    if (sub.items.empty()) return;
    const uint64_t generation = backend_.CacheGeneration();
    std::vector<uint32_t> handles;
    std::vector<MonitoredItem*> due;
    const int64_t uaNow = UaNow();
    bool scheduled = false;
    Millis earliest = 0;
    for (auto& [itemId, m] : sub.items) {
        if (m.mode == MonitoringMode::Disabled) continue;
        const bool isDue = m.nextSample <= now;
        if (isDue) {
            const auto period = static_cast<Millis>(m.samplingInterval);
            if (!m.onGrid) {
                // After the first sample the item samples half a period before each publishing
                // time: a late tick then still lands before the publish it belongs to, instead
                // of slipping past it and merging two samples into one notification.
                m.nextSample = GridDueAfter(sub.nextPublish - period / 2, period, now);
                m.onGrid = true;
            } else {
                // Counted from the due time, not from now: a late tick does not stretch the period.
                m.nextSample = NextSampleDue(m.nextSample, period, now);
            }
        }
        earliest = scheduled ? std::min(earliest, m.nextSample) : m.nextSample;
        scheduled = true;
        if (!all && !isDue) continue;
        if (IsItemValue(m)) {
            // Nothing changed in the cache since the last sample: nothing to compare.
            if (m.hasLast && m.lastGeneration == generation) continue;
            m.lastGeneration = generation;
            handles.push_back(space_.Item(m.node.index).handle);
            due.push_back(&m);
            continue;
        }
        DataValue dv = ReadNonItem(m.node, m.attributeId, m.timestamps, uaNow);
        // Compare without the timestamps, which change on every read.
        DataValue cmp = dv;
        cmp.hasSourceTimestamp = cmp.hasServerTimestamp = false;
        std::string encoded;
        Encoder enc(encoded);
        enc.Data(cmp);
        if (m.hasLast && encoded == m.lastEncoded) continue;
        m.hasLast = true;
        m.lastEncoded = std::move(encoded);
        if (m.mode == MonitoringMode::Reporting) sub.Enqueue(m, std::move(dv));
    }
    if (scheduled) sub.nextSample = earliest;
    if (handles.empty()) return;
    std::vector<ItemSample> samples(handles.size());
    backend_.ReadCache(handles.data(), handles.size(), samples.data());
    for (size_t i = 0; i < due.size(); ++i) {
        MonitoredItem& m = *due[i];
        const ItemSample& sm = samples[i];
        const StatusCode st = sm.valid ? QualityToStatus(sm.quality) : status::Bad;
        const int64_t sourceTime = static_cast<int64_t>(sm.sourceTime);
        if (!FloatSampleChanged(m, sm.value, st, sourceTime)) continue;
        m.hasLast = true;
        m.lastValue = sm.value;
        m.lastStatus = st;
        m.lastSourceTime = sourceTime;
        if (m.mode == MonitoringMode::Reporting) sub.Enqueue(m, MakeItemDataValue(sm, m.timestamps, uaNow));
    }
}

bool Engine::SendNotification(Session& s, Subscription& sub, Millis now) {
    (void)now;
    if (s.publishQueue.empty()) return false;
    PendingPublish req = std::move(s.publishQueue.front());
    s.publishQueue.pop_front();

    const bool keepAlive = !sub.publishingEnabled || sub.pendingNotifications == 0;
    std::string message;  // NotificationMessage
    Encoder m(message);
    uint32_t sequence = sub.nextSequenceNumber;
    bool more = false;
    if (keepAlive) {
        m.UInt32(sequence);
        m.DateTime(UaNow());
        m.ArrayLength(0);
    } else {
        size_t limit = sub.maxNotificationsPerPublish == 0 ? kMaxNotificationsPerMessage
                                                           : std::min<size_t>(sub.maxNotificationsPerPublish,
                                                                              kMaxNotificationsPerMessage);
        std::string body;  // DataChangeNotification
        Encoder b(body);
        b.ArrayLength(0);  // patched below
        int32_t count = 0;
        size_t consumed = 0;
        for (; consumed < sub.dirtyItems.size() && static_cast<size_t>(count) < limit; ++consumed) {
            auto it = sub.items.find(sub.dirtyItems[consumed]);
            if (it == sub.items.end()) continue;  // deleted since
            MonitoredItem& item = it->second;
            while (!item.queue.empty() && static_cast<size_t>(count) < limit) {
                b.UInt32(item.clientHandle);
                b.Data(item.queue.front());
                item.queue.pop_front();
                --sub.pendingNotifications;
                ++count;
            }
            if (!item.queue.empty()) break;  // limit reached inside this item
            item.inDirtyList = false;
        }
        sub.dirtyItems.erase(sub.dirtyItems.begin(), sub.dirtyItems.begin() + static_cast<std::ptrdiff_t>(consumed));
        b.PatchUInt32(0, static_cast<uint32_t>(count));
        b.ArrayLength(0);  // diagnostic infos
        more = sub.pendingNotifications > 0;
        sequence = sub.nextSequenceNumber++;
        if (sub.nextSequenceNumber == 0) sub.nextSequenceNumber = 1;
        m.UInt32(sequence);
        m.DateTime(UaNow());
        m.ArrayLength(1);
        m.Node(NodeId(0, id::DataChangeNotification));
        m.Byte(1);
        m.ByteString(body);
        // Kept for Republish until acknowledged (bounded).
        if (memory_.TryCharge(message.size())) {
            sub.retransmit.push_back({sequence, message});
            while (sub.retransmit.size() > kRetransmitQueueLength) {
                memory_.Release(sub.retransmit.front().encoded.size());
                sub.retransmit.pop_front();
            }
        }
    }
    std::string out;
    out.reserve(message.size() + 128);
    Encoder e(out);
    EncodeResponseHeader(e, req.requestHandle, status::Good);
    e.UInt32(sub.id);
    e.ArrayLength(static_cast<int32_t>(sub.retransmit.size()));
    for (const SentMessage& sm : sub.retransmit) e.UInt32(sm.sequenceNumber);
    e.Boolean(more);
    e.Raw(message.data(), message.size());
    e.ArrayLength(static_cast<int32_t>(req.ackResults.size()));
    for (StatusCode st : req.ackResults) e.Status(st);
    e.ArrayLength(0);
    SendResponse(req.conn, req.requestId, id::ResponseOf(id::Publish), out, req.requestHandle);
    sub.firstMessageSent = true;
    sub.keepAliveCounter = 0;
    sub.lifetimeCounter = 0;
    sub.late = more;
    return true;
}

bool Engine::PublishCycle(Session& s, Subscription& sub, Millis now) {
    const Millis interval = static_cast<Millis>(sub.publishingInterval);
    sub.nextPublish += interval;
    if (sub.nextPublish <= now) sub.nextPublish = now + interval;
    if (s.publishQueue.empty()) ++sub.lifetimeCounter;
    if (sub.lifetimeCounter >= sub.lifetimeCount) return false;
    if (sub.publishingEnabled && sub.pendingNotifications > 0) {
        if (!SendNotification(s, sub, now)) sub.late = true;
        return true;
    }
    if (++sub.keepAliveCounter >= sub.maxKeepAliveCount) {
        if (!SendNotification(s, sub, now)) {
            sub.late = true;
            sub.keepAliveDue = true;
        }
    }
    return true;
}

void Engine::AnswerLatePublish(Session& s, Millis now) {
    while (!s.publishQueue.empty()) {
        Subscription* pick = nullptr;
        for (auto& [subId, sub] : s.subscriptions) {
            if (!sub->late) continue;
            const bool hasData = sub->publishingEnabled && sub->pendingNotifications > 0;
            if (!pick || (hasData && !(pick->publishingEnabled && pick->pendingNotifications > 0)) ||
                sub->priority > pick->priority)
                pick = sub.get();
        }
        if (!pick) return;
        pick->late = false;
        pick->keepAliveDue = false;
        SendNotification(s, *pick, now);
    }
}

void Engine::TickSubscriptions(Session& s, Millis now, Millis& next) {
    // Publish requests past their time-out hint.
    for (auto it = s.publishQueue.begin(); it != s.publishQueue.end();) {
        if (it->timeoutHint != 0) {
            const Millis deadline = it->received + static_cast<Millis>(it->timeoutHint);
            if (deadline <= now) {
                SendServiceFault(it->conn, it->requestId, it->requestHandle, status::BadTimeout);
                it = s.publishQueue.erase(it);
                continue;
            }
            next = std::min(next, deadline);
        }
        ++it;
    }
    std::vector<uint32_t> expired;
    for (auto& [subId, sub] : s.subscriptions) {
        if (sub->nextSample <= now) SampleSubscription(*sub, now, false);
        if (sub->nextPublish <= now && !PublishCycle(s, *sub, now)) {
            expired.push_back(subId);
            continue;
        }
        next = std::min({next, sub->nextSample, sub->nextPublish});
    }
    for (uint32_t subId : expired) {
        Subscription& sub = *s.subscriptions[subId];
        if (!s.publishQueue.empty()) {
            PendingPublish req = std::move(s.publishQueue.front());
            s.publishQueue.pop_front();
            std::string body;
            Encoder b(body);
            b.Status(status::BadTimeout);
            b.Byte(0);
            std::string out;
            Encoder e(out);
            EncodeResponseHeader(e, req.requestHandle, status::Good);
            e.UInt32(subId);
            e.ArrayLength(0);
            e.Boolean(false);
            e.UInt32(sub.nextSequenceNumber);
            e.DateTime(UaNow());
            e.ArrayLength(1);
            e.Node(NodeId(0, id::StatusChangeNotification));
            e.Byte(1);
            e.ByteString(body);
            e.ArrayLength(static_cast<int32_t>(req.ackResults.size()));
            for (StatusCode st : req.ackResults) e.Status(st);
            e.ArrayLength(0);
            SendResponse(req.conn, req.requestId, id::ResponseOf(id::Publish), out, req.requestHandle);
        }
        DeleteSubscription(s, subId);
    }
    if (s.subscriptions.empty() && !s.publishQueue.empty()) {
        for (const PendingPublish& p : s.publishQueue)
            SendServiceFault(p.conn, p.requestId, p.requestHandle, status::BadNoSubscription);
        s.publishQueue.clear();
    }
}

void Engine::ServicePublish(Session& s, Connection& c, uint32_t rid, const RequestHeader& h, Decoder& d, Millis now) {
    const size_t n = d.ArrayCount(8, 8);
    std::vector<std::pair<uint32_t, uint32_t>> acks;
    acks.reserve(n);
    for (size_t i = 0; i < n; ++i) {
        const uint32_t subId = d.UInt32();
        acks.emplace_back(subId, d.UInt32());
    }
    PendingPublish p;
    p.conn = c.id;
    p.requestId = rid;
    p.requestHandle = h.requestHandle;
    p.received = now;
    p.timeoutHint = h.timeoutHint;
    for (const auto& ack : acks) {
        const uint32_t seq = ack.second;
        auto it = s.subscriptions.find(ack.first);
        if (it == s.subscriptions.end()) {
            p.ackResults.push_back(status::BadSubscriptionIdInvalid);
            continue;
        }
        auto& q = it->second->retransmit;
        auto m = std::find_if(q.begin(), q.end(), [&](const SentMessage& x) { return x.sequenceNumber == seq; });
        if (m == q.end()) {
            p.ackResults.push_back(status::BadSequenceNumberUnknown);
        } else {
            memory_.Release(m->encoded.size());
            q.erase(m);
            p.ackResults.push_back(status::Good);
        }
    }
    if (s.subscriptions.empty()) {
        SendServiceFault(c.id, rid, h.requestHandle, status::BadNoSubscription);
        return;
    }
    if (s.publishQueue.size() >= static_cast<size_t>(std::max(1, config_.maxPublishRequestsPerSession))) {
        SendServiceFault(c.id, rid, h.requestHandle, status::BadTooManyPublishRequests);
        return;
    }
    s.publishQueue.push_back(std::move(p));
    for (auto& [subId, sub] : s.subscriptions) sub->lifetimeCounter = 0;
    AnswerLatePublish(s, now);
}

void Engine::ServiceRepublish(Session& s, Connection& c, uint32_t rid, const RequestHeader& h, Decoder& d) {
    const uint32_t subId = d.UInt32();
    const uint32_t seq = d.UInt32();
    auto it = s.subscriptions.find(subId);
    if (it == s.subscriptions.end()) {
        SendServiceFault(c.id, rid, h.requestHandle, status::BadSubscriptionIdInvalid);
        return;
    }
    const auto& q = it->second->retransmit;
    auto m = std::find_if(q.begin(), q.end(), [&](const SentMessage& x) { return x.sequenceNumber == seq; });
    if (m == q.end()) {
        SendServiceFault(c.id, rid, h.requestHandle, status::BadMessageNotAvailable);
        return;
    }
    std::string out;
    Encoder e(out);
    EncodeResponseHeader(e, h.requestHandle, status::Good);
    e.Raw(m->encoded.data(), m->encoded.size());
    SendResponse(c.id, rid, id::ResponseOf(id::Republish), out, h.requestHandle);
}

}  // namespace qora::ua
