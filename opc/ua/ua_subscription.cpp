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

size_t ItemMemory(uint32_t queueSize) {
    return kMonitoredItemMemory + queueSize * sizeof(DataValue);
}

double ReviseInterval(double requested) {
    if (!(requested >= kMinPublishingIntervalMs)) return kMinPublishingIntervalMs;  // NaN too
    return std::min(requested, kMaxPublishingIntervalMs);
}

// Revised keep-alive count (0 asks for the default) and the lifetime, at least three keep-alives.
constexpr uint32_t kDefaultKeepAliveCount = 10;
constexpr uint32_t kLifetimeKeepAlives = 3;

void ReviseCounts(Subscription& sub, const SubscriptionParameters& p) {
    sub.publishingInterval = ReviseInterval(p.publishingInterval);
    sub.maxKeepAliveCount = std::clamp<uint32_t>(
        p.maxKeepAliveCount == 0 ? kDefaultKeepAliveCount : p.maxKeepAliveCount, 1, kMaxKeepAliveCount);
    sub.lifetimeCount = std::max(p.lifetimeCount, sub.maxKeepAliveCount * kLifetimeKeepAlives);
    sub.maxNotificationsPerPublish = p.maxNotificationsPerPublish;
    sub.priority = p.priority;
}

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

bool IsItemValue(const MonitoredItem& m) {
    return m.node.item && m.attributeId == AttrValue;
}

}  // namespace

void Subscription::Enqueue(MonitoredItem& m, DataValue dv) {
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

// ---------------------------------------------------------------- subscription services

Reply<CreateSubscriptionResponse> Engine::ServiceCreateSubscription(ServiceContext& ctx,
                                                                    const CreateSubscriptionRequest& r) {
    Session& s = *ctx.session;
    if (s.subscriptions.size() >= static_cast<size_t>(std::max(0, config_.maxSubscriptionsPerSession)))
        return ServiceFault{status::BadTooManySubscriptions};
    if (s.Memory() + sizeof(Subscription) > SessionMemoryShare() || !memory_.TryCharge(sizeof(Subscription)))
        return ServiceFault{status::BadOutOfMemory};
    auto sub = std::make_unique<Subscription>();
    sub->charged = sizeof(Subscription);
    sub->id = sessions_.NewSubscriptionId();
    while (sub->id == 0 || s.subscriptions.count(sub->id)) sub->id = sessions_.NewSubscriptionId();
    ReviseCounts(*sub, r.params);
    sub->publishingEnabled = r.publishingEnabled;
    sub->nextPublish = ctx.now + static_cast<Millis>(sub->publishingInterval);
    sub->nextSample = ctx.now;
    sub->RecomputeSamplePeriod();
    // The first cycle sends a keep-alive when there is nothing to report.
    sub->keepAliveCounter = sub->maxKeepAliveCount - 1;
    const CreateSubscriptionResponse out{sub->id, sub->publishingInterval, sub->lifetimeCount,
                                         sub->maxKeepAliveCount};
    s.subscriptions.emplace(sub->id, std::move(sub));
    return out;
}

Reply<ModifySubscriptionResponse> Engine::ServiceModifySubscription(ServiceContext& ctx,
                                                                    const ModifySubscriptionRequest& r) {
    Subscription* sub = ctx.session->FindSubscription(r.subscriptionId);
    if (!sub) return ServiceFault{status::BadSubscriptionIdInvalid};
    ReviseCounts(*sub, r.params);
    sub->RecomputeSamplePeriod();
    return ModifySubscriptionResponse{sub->publishingInterval, sub->lifetimeCount, sub->maxKeepAliveCount};
}

Reply<StatusListResponse> Engine::ServiceSetPublishingMode(ServiceContext& ctx,
                                                           const SetPublishingModeRequest& r) {
    return ForEachId(r.subscriptionIds, [&](uint32_t subId) {
        Subscription* sub = ctx.session->FindSubscription(subId);
        if (!sub) return status::BadSubscriptionIdInvalid;
        sub->publishingEnabled = r.publishingEnabled;
        return status::Good;
    });
}

void Engine::FailPublishRequests(Session& s, StatusCode code) {
    for (const PendingPublish& p : s.publishQueue)
        SendServiceFault(p.conn, p.requestId, p.requestHandle, code);
    s.publishQueue.clear();
}

Reply<StatusListResponse> Engine::ServiceDeleteSubscriptions(ServiceContext& ctx,
                                                             const DeleteSubscriptionsRequest& r) {
    Session& s = *ctx.session;
    auto reply = ForEachId(r.subscriptionIds, [&](uint32_t subId) {
        if (!s.subscriptions.count(subId)) return status::BadSubscriptionIdInvalid;
        DeleteSubscription(s, subId);
        return status::Good;
    });
    // Queued Publish requests hear that nothing is left to serve them, after this response.
    if (!reply.IsFault() && s.subscriptions.empty())
        ctx.afterReply = [this, &s] { FailPublishRequests(s, status::BadNoSubscription); };
    return reply;
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

bool Engine::ChargeSession(const Session& s, Subscription& sub, uint64_t n) {
    if (s.Memory() + n > SessionMemoryShare() || !memory_.TryCharge(n)) return false;
    sub.charged += n;
    return true;
}

void Engine::ReleaseSubscription(Subscription& sub, uint64_t n) {
    sub.charged -= std::min(sub.charged, n);
    memory_.Release(n);
}

void Engine::DeleteSubscription(Session& s, uint32_t subscriptionId) {
    auto it = s.subscriptions.find(subscriptionId);
    if (it == s.subscriptions.end()) return;
    Subscription& sub = *it->second;
    std::vector<uint32_t> ids;
    ids.reserve(sub.items.size());
    for (const auto& [itemId, m] : sub.items) ids.push_back(itemId);
    DeleteItems(sub, ids);
    memory_.Release(sub.charged);  // itself and the messages kept for Republish
    s.subscriptions.erase(it);
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
        size_t limit = sub.maxNotificationsPerPublish == 0
                           ? kMaxNotificationsPerMessage
                           : std::min<size_t>(sub.maxNotificationsPerPublish, kMaxNotificationsPerMessage);
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
        sub.dirtyItems.erase(sub.dirtyItems.begin(),
                             sub.dirtyItems.begin() + static_cast<std::ptrdiff_t>(consumed));
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
        if (ChargeSession(s, sub, message.size())) {
            sub.retransmit.push_back({sequence, message});
            while (sub.retransmit.size() > kRetransmitQueueLength) {
                ReleaseSubscription(sub, sub.retransmit.front().encoded.size());
                sub.retransmit.pop_front();
            }
        }
    }
    PublishResponse response;
    response.subscriptionId = sub.id;
    for (const SentMessage& sm : sub.retransmit)
        response.availableSequenceNumbers.push_back(sm.sequenceNumber);
    response.moreNotifications = more;
    response.notificationMessage = std::move(message);
    response.results = std::move(req.ackResults);
    SendPublishResponse(req, response);
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
            std::string body;  // StatusChangeNotification
            Encoder b(body);
            b.Status(status::BadTimeout);
            b.Byte(0);  // no diagnostic info
            PublishResponse response;
            response.subscriptionId = subId;
            Encoder m(response.notificationMessage);
            m.UInt32(sub.nextSequenceNumber);
            m.DateTime(UaNow());
            m.ArrayLength(1);
            m.Node(NodeId(0, id::StatusChangeNotification));
            m.Byte(1);
            m.ByteString(body);
            response.results = std::move(req.ackResults);
            SendPublishResponse(req, response);
        }
        DeleteSubscription(s, subId);
    }
    if (s.subscriptions.empty()) FailPublishRequests(s, status::BadNoSubscription);
}

void Engine::SendPublishResponse(const PendingPublish& req, const PublishResponse& response) {
    std::string out;
    Encoder e(out);
    EncodeResponseHeader(e, req.requestHandle, status::Good);
    Encode(e, response);
    SendResponse(req.conn, req.requestId, id::ResponseOf(id::Publish), out, req.requestHandle);
}

Reply<PublishResponse> Engine::ServicePublish(ServiceContext& ctx, const PublishRequest& r) {
    Session& s = *ctx.session;
    PendingPublish p;
    p.conn = ctx.channel.id;
    p.requestId = ctx.requestId;
    p.requestHandle = ctx.header.requestHandle;
    p.received = ctx.now;
    p.timeoutHint = ctx.header.timeoutHint;
    for (const SubscriptionAcknowledgement& ack : r.acknowledgements) {
        Subscription* sub = s.FindSubscription(ack.subscriptionId);
        if (!sub) {
            p.ackResults.push_back(status::BadSubscriptionIdInvalid);
            continue;
        }
        auto& q = sub->retransmit;
        auto m = std::find_if(q.begin(), q.end(),
                              [&](const SentMessage& x) { return x.sequenceNumber == ack.sequenceNumber; });
        if (m == q.end()) {
            p.ackResults.push_back(status::BadSequenceNumberUnknown);
        } else {
            ReleaseSubscription(*sub, m->encoded.size());
            q.erase(m);
            p.ackResults.push_back(status::Good);
        }
    }
    if (s.subscriptions.empty()) return ServiceFault{status::BadNoSubscription};
    if (s.publishQueue.size() >= static_cast<size_t>(std::max(1, config_.maxPublishRequestsPerSession)))
        return ServiceFault{status::BadTooManyPublishRequests};
    s.publishQueue.push_back(std::move(p));
    for (auto& [subId, sub] : s.subscriptions) sub->lifetimeCounter = 0;
    AnswerLatePublish(s, ctx.now);
    return Reply<PublishResponse>::Deferred();  // answered by a notification or a keep-alive
}

Reply<RepublishResponse> Engine::ServiceRepublish(ServiceContext& ctx, const RepublishRequest& r) {
    Subscription* sub = ctx.session->FindSubscription(r.subscriptionId);
    if (!sub) return ServiceFault{status::BadSubscriptionIdInvalid};
    const auto& q = sub->retransmit;
    auto m = std::find_if(q.begin(), q.end(), [&](const SentMessage& x) {
        return x.sequenceNumber == r.retransmitSequenceNumber;
    });
    if (m == q.end()) return ServiceFault{status::BadMessageNotAvailable};
    return RepublishResponse{m->encoded};
}

}  // namespace qora::ua
