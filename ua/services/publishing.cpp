// The publishing cycle: sampling, data-change detection, notification messages, keep-alives,
// lifetime and late Publish requests.
#include <algorithm>
#include <cmath>
#include <cstring>

#include "ua/engine/engine.h"

namespace qora::ua {

namespace {

constexpr size_t kMaxNotificationsPerMessage = 50000;  // bounds one PublishResponse

}  // namespace

// ---------------------------------------------------------------- sampling and publishing

void Engine::SampleSubscription(Subscription& sub, Millis now, bool all) {
    sub.nextSample = now + static_cast<Millis>(sub.samplePeriod);
    if (sub.items.empty()) return;
    const uint64_t generation = backend_.CacheGeneration();
    std::vector<uint32_t>& handles = sampleScratch_.handles;
    std::vector<MonitoredItem*>& due = sampleScratch_.due;
    handles.clear();
    due.clear();
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
        if (m.mode == MonitoringMode::Reporting) sub.Enqueue(m, dv);
    }
    if (scheduled) sub.nextSample = earliest;
    if (handles.empty()) return;
    std::vector<ItemSample>& samples = sampleScratch_.samples;
    samples.assign(handles.size(), ItemSample{});
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
        if (m.mode == MonitoringMode::Reporting) {
            char bytes[kItemDataValueMaxBytes];
            const size_t n = ItemDataValueBytes(sm, m.timestamps, uaNow, bytes);
            sub.Enqueue(m, EncodedValue(std::string_view(bytes, n)));
        }
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
        // The NotificationMessage with one DataChangeNotification, whose lengths are patched
        // once the notifications are in.
        message.reserve(64 + std::min(limit, sub.pendingNotifications) * (4 + kItemDataValueMaxBytes));
        m.UInt32(0);  // sequence number, patched below
        m.DateTime(UaNow());
        m.ArrayLength(1);
        m.Node(NodeId(0, id::DataChangeNotification));
        m.Byte(1);
        const size_t bodyLengthAt = message.size();
        m.Int32(0);  // body length, patched below
        const size_t countAt = message.size();
        m.ArrayLength(0);  // notification count, patched below
        int32_t count = 0;
        size_t consumed = 0;
        auto it = sub.items.end();
        for (; consumed < sub.dirtyItems.size() && static_cast<size_t>(count) < limit; ++consumed) {
            // Dirty items mostly arrive in id order: try the item after the last one first.
            const uint32_t dirtyId = sub.dirtyItems[consumed];
            if (it != sub.items.end()) ++it;
            if (it == sub.items.end() || it->first != dirtyId) it = sub.items.find(dirtyId);
            if (it == sub.items.end()) continue;  // deleted since
            MonitoredItem& item = it->second;
            while (!item.queue.empty() && static_cast<size_t>(count) < limit) {
                m.UInt32(item.clientHandle);
                const std::string_view bytes = item.queue.front().Bytes();
                m.Raw(bytes.data(), bytes.size());
                item.queue.pop_front();
                --sub.pendingNotifications;
                ++count;
            }
            if (!item.queue.empty()) break;  // limit reached inside this item
            item.inDirtyList = false;
        }
        sub.dirtyItems.erase(sub.dirtyItems.begin(),
                             sub.dirtyItems.begin() + static_cast<std::ptrdiff_t>(consumed));
        m.PatchUInt32(countAt, static_cast<uint32_t>(count));
        m.ArrayLength(0);  // diagnostic infos
        m.PatchUInt32(bodyLengthAt, static_cast<uint32_t>(message.size() - countAt));
        more = sub.pendingNotifications > 0;
        sequence = sub.nextSequenceNumber++;
        if (sub.nextSequenceNumber == 0) sub.nextSequenceNumber = 1;
        m.PatchUInt32(0, sequence);
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

}  // namespace qora::ua
