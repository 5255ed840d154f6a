// Monitored item services: CreateMonitoredItems, ModifyMonitoredItems, SetMonitoringMode,
// DeleteMonitoredItems, and the data-change filter.
#include <algorithm>
#include <cmath>
#include <cstring>

#include "ua/engine/engine.h"

namespace qora::ua {

namespace {

// A negative (or NaN) sampling interval asks for the publishing interval.
double ReviseSamplingInterval(double requested, const Subscription& sub) {
    if (requested < 0 || std::isnan(requested)) return sub.publishingInterval;
    return std::clamp(requested, kMinSamplingIntervalMs, kMaxPublishingIntervalMs);
}

// The checks CreateMonitoredItems and ModifyMonitoredItems make before any item.
StatusCode ItemsCallFault(const Subscription* sub, uint32_t timestamps, size_t count, uint32_t limit) {
    if (!sub) return status::BadSubscriptionIdInvalid;
    if (timestamps > TsNeither) return status::BadTimestampsToReturnInvalid;
    return OperationCountFault(count, limit);
}

}  // namespace

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
    if (trigger > static_cast<uint32_t>(DataChangeTrigger::StatusValueTimestamp))
        return status::BadMonitoredItemFilterInvalid;
    m.trigger = static_cast<DataChangeTrigger>(trigger);
    switch (static_cast<DeadbandType>(deadbandType)) {
        case DeadbandType::None:
            return status::Good;
        case DeadbandType::Absolute:
            if (!(deadband >= 0) || std::isinf(deadband)) return status::BadDeadbandFilterInvalid;
            if (!IsItemValue(m)) return status::BadFilterNotAllowed;
            m.absoluteDeadband = deadband;
            return status::Good;
        case DeadbandType::Percent:
            return status::BadMonitoredItemFilterUnsupported;  // no EURange to scale by
        default:
            return status::BadDeadbandFilterInvalid;
    }
}

Reply<CreateMonitoredItemsResponse> Engine::ServiceCreateMonitoredItems(
    ServiceContext& ctx, const CreateMonitoredItemsRequest& r) {
    Subscription* found = ctx.session->FindSubscription(r.subscriptionId);
    if (const StatusCode fault =
            ItemsCallFault(found, r.timestamps, r.items.size(), kOperationLimits.maxMonitoredItemsPerCall))
        return ServiceFault{fault};
    Subscription& sub = *found;
    CreateMonitoredItemsResponse out;
    out.results.reserve(r.items.size());
    std::vector<uint32_t> activated;
    for (const MonitoredItemCreateRequest& req : r.items) {
        StatusCode st = status::Good;
        const auto node = space_.Find(req.node);
        MonitoredItem m;
        if (!node) {
            st = status::BadNodeIdUnknown;
        } else if (req.attributeId == AttrEventNotifier) {
            st = status::BadNotSupported;  // events are not offered
        } else if (req.mode > kMaxMonitoringModeValue) {
            st = status::BadMonitoringModeInvalid;
        } else if (!req.indexRange.isNull && !req.indexRange.value.empty()) {
            st = status::BadIndexRangeInvalid;
        } else {
            Variant probe;
            const StatusCode a = space_.ReadAttribute(*node, req.attributeId, probe);
            if (a == status::BadAttributeIdInvalid) st = a;
        }
        if (st == status::Good) {
            m.node = *node;
            m.attributeId = req.attributeId;
            st = ParseFilter(req.params.filter, m);
        }
        const uint32_t queueSize = std::clamp<uint32_t>(req.params.queueSize, 1, kMaxQueueSize);
        if (st == status::Good &&
            sub.items.size() >= static_cast<size_t>(std::max(0, config_.maxMonitoredItemsPerSubscription)))
            st = status::BadTooManyMonitoredItems;
        if (st == status::Good && !ChargeSession(*ctx.session, sub, ItemMemory(queueSize)))
            st = status::BadOutOfMemory;
        if (st != status::Good) {
            out.results.push_back({st, 0, 0, 0});
            continue;
        }
        m.id = sub.nextItemId++;
        m.clientHandle = req.params.clientHandle;
        m.timestamps = r.timestamps;
        m.mode = static_cast<MonitoringMode>(req.mode);
        m.samplingInterval = ReviseSamplingInterval(req.params.samplingInterval, sub);
        m.queueSize = queueSize;
        m.discardOldest = req.params.discardOldest;
        m.nextSample = ctx.now;
        if (m.node.item && m.mode != MonitoringMode::Disabled)
            activated.push_back(space_.Item(m.node.index).handle);
        out.results.push_back({status::Good, m.id, m.samplingInterval, m.queueSize});
        sub.items.emplace(m.id, std::move(m));
    }
    sub.RecomputeSamplePeriod();
    sub.nextSample = ctx.now;
    if (!activated.empty()) backend_.ItemsActivated(activated.data(), activated.size());
    return out;
}

Reply<ModifyMonitoredItemsResponse> Engine::ServiceModifyMonitoredItems(
    ServiceContext& ctx, const ModifyMonitoredItemsRequest& r) {
    Subscription* found = ctx.session->FindSubscription(r.subscriptionId);
    if (const StatusCode fault = ItemsCallFault(found, r.timestamps, r.items.size(), kNoOperationLimit))
        return ServiceFault{fault};
    Subscription& sub = *found;
    ModifyMonitoredItemsResponse out;
    out.results.reserve(r.items.size());
    for (const MonitoredItemModifyRequest& req : r.items) {
        const MonitoringParameters& p = req.params;
        auto mi = sub.items.find(req.monitoredItemId);
        StatusCode st = mi == sub.items.end() ? status::BadMonitoredItemIdInvalid : status::Good;
        if (st == status::Good) {
            MonitoredItem probe = mi->second;
            st = ParseFilter(p.filter, probe);
            const uint32_t queueSize = std::clamp<uint32_t>(p.queueSize, 1, kMaxQueueSize);
            if (st == status::Good && queueSize > probe.queueSize &&
                !ChargeSession(*ctx.session, sub, ItemMemory(queueSize) - ItemMemory(probe.queueSize)))
                st = status::BadOutOfMemory;
            if (st == status::Good) {
                MonitoredItem& m = mi->second;
                if (queueSize < m.queueSize)
                    ReleaseSubscription(sub, ItemMemory(m.queueSize) - ItemMemory(queueSize));
                m.trigger = probe.trigger;
                m.absoluteDeadband = probe.absoluteDeadband;
                m.clientHandle = p.clientHandle;
                m.timestamps = r.timestamps;
                m.samplingInterval = ReviseSamplingInterval(p.samplingInterval, sub);
                m.queueSize = queueSize;
                m.discardOldest = p.discardOldest;
                m.onGrid = false;  // the next sample sets the grid of the new interval
                while (m.queue.size() > m.queueSize) {
                    m.queue.pop_front();
                    --sub.pendingNotifications;
                }
                out.results.push_back({status::Good, m.samplingInterval, m.queueSize});
                continue;
            }
        }
        out.results.push_back({st, 0, 0});
    }
    sub.RecomputeSamplePeriod();
    return out;
}

Reply<StatusListResponse> Engine::ServiceSetMonitoringMode(ServiceContext& ctx,
                                                           const SetMonitoringModeRequest& r) {
    Subscription* found = ctx.session->FindSubscription(r.subscriptionId);
    if (!found) return ServiceFault{status::BadSubscriptionIdInvalid};
    if (r.mode > kMaxMonitoringModeValue) return ServiceFault{status::BadMonitoringModeInvalid};
    Subscription& sub = *found;
    const auto newMode = static_cast<MonitoringMode>(r.mode);
    std::vector<uint32_t> activated, deactivated;
    auto reply = ForEachId(r.monitoredItemIds, [&](uint32_t itemId) {
        auto mi = sub.items.find(itemId);
        if (mi == sub.items.end()) return status::BadMonitoredItemIdInvalid;
        MonitoredItem& m = mi->second;
        if (m.node.item) {
            const uint32_t handle = space_.Item(m.node.index).handle;
            if (m.mode == MonitoringMode::Disabled && newMode != MonitoringMode::Disabled)
                activated.push_back(handle);
            if (m.mode != MonitoringMode::Disabled && newMode == MonitoringMode::Disabled)
                deactivated.push_back(handle);
        }
        if (newMode == MonitoringMode::Disabled) {
            sub.ClearQueue(m);
            m.hasLast = false;
        }
        if (m.mode == MonitoringMode::Disabled && newMode != MonitoringMode::Disabled) {
            m.nextSample = ctx.now;
            m.onGrid = false;
        }
        m.mode = newMode;
        return status::Good;
    });
    if (reply.IsFault()) return reply;
    sub.nextSample = std::min(sub.nextSample, ctx.now);
    if (!activated.empty()) backend_.ItemsActivated(activated.data(), activated.size());
    if (!deactivated.empty()) backend_.ItemsDeactivated(deactivated.data(), deactivated.size());
    return reply;
}

Reply<StatusListResponse> Engine::ServiceDeleteMonitoredItems(ServiceContext& ctx,
                                                              const DeleteMonitoredItemsRequest& r) {
    Subscription* found = ctx.session->FindSubscription(r.subscriptionId);
    if (!found) return ServiceFault{status::BadSubscriptionIdInvalid};
    Subscription& sub = *found;
    std::vector<uint32_t> existing;
    auto reply = ForEachId(r.monitoredItemIds, [&](uint32_t itemId) {
        if (!sub.items.count(itemId)) return status::BadMonitoredItemIdInvalid;
        existing.push_back(itemId);
        return status::Good;
    });
    if (!reply.IsFault()) DeleteItems(sub, existing);
    return reply;
}

void Engine::DeleteItems(Subscription& sub, const std::vector<uint32_t>& ids) {
    std::vector<uint32_t> handles;
    for (uint32_t itemId : ids) {
        auto it = sub.items.find(itemId);
        if (it == sub.items.end()) continue;
        MonitoredItem& m = it->second;
        if (m.node.item && m.mode != MonitoringMode::Disabled)
            handles.push_back(space_.Item(m.node.index).handle);
        sub.ClearQueue(m);
        ReleaseSubscription(sub, ItemMemory(m.queueSize));
        sub.items.erase(it);
    }
    sub.RecomputeSamplePeriod();
    if (!handles.empty()) backend_.ItemsDeactivated(handles.data(), handles.size());
}

}  // namespace qora::ua
