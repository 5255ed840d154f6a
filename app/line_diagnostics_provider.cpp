#include "app/line_diagnostics_provider.h"

namespace qora {

ua::PointDiagnostics ToPointDiagnostics(const TPointCounters& c) {
    ua::PointDiagnostics d;
    d.portOpen = c.portOpen;
    d.requestsSent = c.requestsSent;
    d.bytesSent = c.bytesSent;
    d.bytesReceived = c.bytesReceived;
    d.framesReceived = c.framesReceived;
    d.framesDroppedOnChecksum = c.framesDroppedOnChecksum;
    d.bytesDiscarded = c.bytesDiscarded;
    d.writeTimeouts = c.writeTimeouts;
    d.openFailures = c.openFailures;
    d.lastOpenError = c.lastOpenError;
    return d;
}

ua::DeviceDiagnostics ToDeviceDiagnostics(const TDeviceCounters& c) {
    ua::DeviceDiagnostics d;
    d.requestsSent = c.requestsSent;
    d.goodReplies = c.goodReplies;
    d.rejectedReplies = c.rejectedReplies;
    d.consecutiveUnanswered = c.consecutiveUnanswered;
    d.lastGoodReply = c.lastGoodReply;
    d.lastReplyTimeMs = c.lastReplyTimeMs;
    return d;
}

gb::GBDiagnosticsProvider LineDiagnosticsProvider(const TLineDiagnostics& counters) {
    gb::GBDiagnosticsProvider provider;
    const TLineDiagnostics* source = &counters;
    provider.point = [source](int32_t point, ua::PointDiagnostics& out) {
        TPointCounters c;
        if (!source->ReadPoint(point, c)) return false;
        out = ToPointDiagnostics(c);
        return true;
    };
    provider.device = [source](int32_t point, int32_t device, ua::DeviceDiagnostics& out) {
        TDeviceCounters c;
        if (!source->ReadDevice(point, device, c)) return false;
        out = ToDeviceDiagnostics(c);
        return true;
    };
    return provider;
}

}  // namespace qora
