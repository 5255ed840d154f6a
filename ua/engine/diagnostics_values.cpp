// Values of the diagnostics nodes: the counters of points and devices, read from the backend
// when a client reads or a subscription samples them, and the server's own summary.
#include <set>

#include "ua/engine/engine.h"

namespace qora::ua {

namespace {

// The counter has not been reported (no diagnostics for this point or device yet).
constexpr StatusCode kBadWaitingForInitialData = 0x80320000;

Variant PointCounterValue(const PointDiagnostics& d, uint8_t counter) {
    switch (counter) {
        case PortOpen:
            return Variant::Boolean(d.portOpen);
        case PointRequestsSent:
            return Variant::Make(BuiltinType::UInt64, d.requestsSent);
        case BytesSent:
            return Variant::Make(BuiltinType::UInt64, d.bytesSent);
        case BytesReceived:
            return Variant::Make(BuiltinType::UInt64, d.bytesReceived);
        case FramesReceived:
            return Variant::Make(BuiltinType::UInt64, d.framesReceived);
        case FramesDroppedOnChecksum:
            return Variant::Make(BuiltinType::UInt64, d.framesDroppedOnChecksum);
        case BytesDiscarded:
            return Variant::Make(BuiltinType::UInt64, d.bytesDiscarded);
        case WriteTimeouts:
            return Variant::Make(BuiltinType::UInt64, d.writeTimeouts);
        case OpenFailures:
            return Variant::Make(BuiltinType::UInt64, d.openFailures);
        default:
            return Variant::String(d.lastOpenError);
    }
}

Variant DeviceCounterValue(const DeviceDiagnostics& d, uint8_t counter) {
    switch (counter) {
        case DeviceRequestsSent:
            return Variant::Make(BuiltinType::UInt64, d.requestsSent);
        case GoodReplies:
            return Variant::Make(BuiltinType::UInt64, d.goodReplies);
        case RejectedReplies:
            return Variant::Make(BuiltinType::UInt64, d.rejectedReplies);
        case ConsecutiveUnanswered:
            return Variant::UInt32(d.consecutiveUnanswered);
        case LastGoodReply:
            return Variant::DateTime(static_cast<int64_t>(d.lastGoodReply));
        default:
            return Variant::UInt32(d.lastReplyTimeMs);
    }
}

}  // namespace

StatusCode Engine::CounterValue(NodeRef node, Variant& out) const {
    const ItemTree& tree = space_.Tree();
    if (node.Kind() == PlacementNode::Kind::PointCounter) {
        PointDiagnostics d;
        if (!backend_.ReadPointDiagnostics(tree.Points()[node.index].position, d))
            return kBadWaitingForInitialData;
        out = PointCounterValue(d, node.counter);
        return status::Good;
    }
    const DeviceNode& device = tree.Devices()[node.index];
    DeviceDiagnostics d;
    if (!backend_.ReadDeviceDiagnostics(tree.Points()[device.point].position, device.position, d))
        return kBadWaitingForInitialData;
    out = DeviceCounterValue(d, node.counter);
    return status::Good;
}

Variant Engine::DiagnosticsValue(uint32_t nodeId) const {
    if (nodeId == id::ServiceLevel) {
        uint32_t known = 0, open = 0;
        for (const PointNode& p : space_.Tree().Points()) {
            PointDiagnostics d;
            if (!backend_.ReadPointDiagnostics(p.position, d)) continue;
            ++known;
            if (d.portOpen) ++open;
        }
        return Variant::Byte(ServiceLevelOf(lifecycle_.shuttingDown, known, open));
    }
    const ServerCounters& c = counters_;
    const auto subscriptions = static_cast<uint32_t>(SubscriptionCount());
    std::set<double> intervals;
    sessions_.ForEach([&](const std::string&, const Session& s) {
        for (const auto& [subId, sub] : s.subscriptions) intervals.insert(sub->publishingInterval);
    });
    // In the order of the ServerDiagnosticsSummaryDataType fields.
    const uint32_t fields[] = {
        0,  // ServerViewCount: no views
        static_cast<uint32_t>(sessions_.Count()),
        c.cumulatedSessions,
        c.securityRejectedSessions,
        c.rejectedSessions,
        c.sessionTimeouts,
        c.sessionAborts,
        subscriptions,
        c.cumulatedSubscriptions,
        static_cast<uint32_t>(intervals.size()),
        c.securityRejectedRequests,
        c.rejectedRequests,
    };
    if (nodeId == id::ServerDiagnosticsSummary)
        return Variant::Extension(MakeExtension(id::ServerDiagnosticsSummaryEncoding, [&](Encoder& e) {
            for (uint32_t f : fields) e.UInt32(f);
        }));
    const uint32_t ids[] = {
        id::ServerViewCount,
        id::CurrentSessionCount,
        id::CumulatedSessionCount,
        id::SecurityRejectedSessionCount,
        id::RejectedSessionCount,
        id::SessionTimeoutCount,
        id::SessionAbortCount,
        id::CurrentSubscriptionCount,
        id::CumulatedSubscriptionCount,
        id::PublishingIntervalCount,
        id::SecurityRejectedRequestsCount,
        id::RejectedRequestsCount,
    };
    for (size_t i = 0; i < std::size(ids); ++i)
        if (ids[i] == nodeId) return Variant::UInt32(fields[i]);
    return Variant{};
}

}  // namespace qora::ua
