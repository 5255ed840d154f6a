#include "comm/line_diagnostics.h"

#include <algorithm>
#include <chrono>
#include <limits>
#include <system_error>

#include "base/file_time.h"
#include "comm/serial/ecomport.h"

namespace qora {

namespace {

using Counter = std::atomic<uint64_t>;

// The only writer adds: a load and a store, no read-modify-write instruction needed.
void Add(Counter& c, uint64_t n = 1) {
    c.store(c.load(std::memory_order_relaxed) + n, std::memory_order_relaxed);
}

uint64_t Get(const Counter& c) {
    return c.load(std::memory_order_relaxed);
}

constexpr uint64_t PackError(int code, int errorNumber) {
    return (uint64_t{static_cast<uint32_t>(code)} << 32) | static_cast<uint32_t>(errorNumber);
}

}  // namespace

struct TLineDiagnostics::PointSlot {
    std::atomic<bool> portOpen{false};
    Counter requestsSent{0};
    Counter bytesSent{0};
    Counter bytesReceived{0};
    Counter framesReceived{0};
    Counter framesDroppedOnChecksum{0};
    Counter bytesDiscarded{0};
    Counter writeTimeouts{0};
    Counter openFailures{0};
    Counter lastOpenError{0};  // PackError(code, errno); 0 = none
};

struct TLineDiagnostics::DeviceSlot {
    Counter requestsSent{0};
    Counter goodReplies{0};
    Counter rejectedReplies{0};
    std::atomic<uint32_t> consecutiveUnanswered{0};
    Counter lastGoodReply{0};
    std::atomic<uint32_t> lastReplyTimeMs{0};
    // Writer's own: when the latest request to the device started (0 = none since the start).
    int64_t requestStartedNs = 0;
};

TLineDiagnostics::TLineDiagnostics()
    : points_(std::make_unique<PointSlot[]>(kMaxPoints)),
      devices_(std::make_unique<DeviceSlot[]>(static_cast<size_t>(kMaxPoints) * kMaxDevicesPerPoint)),
      steady_([] {
          return std::chrono::duration_cast<std::chrono::nanoseconds>(
                     std::chrono::steady_clock::now().time_since_epoch())
              .count();
      }),
      utc_([] { return NowFileTime(); }) {}

TLineDiagnostics::~TLineDiagnostics() = default;

TLineDiagnostics::PointSlot* TLineDiagnostics::Point(int point) const {
    if (point < 0 || point >= kMaxPoints) return nullptr;
    return &points_[static_cast<size_t>(point)];
}

TLineDiagnostics::DeviceSlot* TLineDiagnostics::Device(int point, int device) const {
    if (point < 0 || point >= kMaxPoints || device < 0 || device >= kMaxDevicesPerPoint) return nullptr;
    return &devices_[static_cast<size_t>(point) * kMaxDevicesPerPoint + static_cast<size_t>(device)];
}

void TLineDiagnostics::Reset() {
    constexpr auto r = std::memory_order_relaxed;
    for (int i = 0; i < kMaxPoints; ++i) {
        PointSlot& p = points_[static_cast<size_t>(i)];
        p.portOpen.store(false, r);
        for (Counter* c :
             {&p.requestsSent, &p.bytesSent, &p.bytesReceived, &p.framesReceived, &p.framesDroppedOnChecksum,
              &p.bytesDiscarded, &p.writeTimeouts, &p.openFailures, &p.lastOpenError})
            c->store(0, r);
    }
    for (size_t i = 0; i < static_cast<size_t>(kMaxPoints) * kMaxDevicesPerPoint; ++i) {
        DeviceSlot& d = devices_[i];
        for (Counter* c : {&d.requestsSent, &d.goodReplies, &d.rejectedReplies, &d.lastGoodReply})
            c->store(0, r);
        d.consecutiveUnanswered.store(0, r);
        d.lastReplyTimeMs.store(0, r);
        d.requestStartedNs = 0;
    }
}

void TLineDiagnostics::SetPortOpen(int point, bool open) {
    if (PointSlot* p = Point(point)) p->portOpen.store(open, std::memory_order_relaxed);
}

void TLineDiagnostics::OpenFailed(int point, int code, int errorNumber) {
    PointSlot* p = Point(point);
    if (p == nullptr) return;
    Add(p->openFailures);
    // Code 0 would read as "none"; the port layer's codes start at 1.
    p->lastOpenError.store(PackError(code == 0 ? EComPort::kOpen : code, errorNumber),
                           std::memory_order_relaxed);
    p->portOpen.store(false, std::memory_order_relaxed);
}

void TLineDiagnostics::RequestStarted(int point, int device) {
    if (DeviceSlot* d = Device(point, device)) d->requestStartedNs = steady_();
}

void TLineDiagnostics::RequestWritten(int point, int device, int written, int length) {
    PointSlot* p = Point(point);
    if (p == nullptr) return;
    if (written > 0) Add(p->bytesSent, static_cast<uint64_t>(written));
    if (written < length) {
        Add(p->writeTimeouts);
        return;
    }
    Add(p->requestsSent);
    if (DeviceSlot* d = Device(point, device)) Add(d->requestsSent);
}

void TLineDiagnostics::BytesReceived(int point, uint64_t count) {
    if (PointSlot* p = Point(point); p != nullptr && count > 0) Add(p->bytesReceived, count);
}

void TLineDiagnostics::BytesDiscarded(int point, uint64_t count) {
    if (PointSlot* p = Point(point); p != nullptr && count > 0) Add(p->bytesDiscarded, count);
}

void TLineDiagnostics::FrameReceived(int point, bool checksumGood) {
    PointSlot* p = Point(point);
    if (p == nullptr) return;
    Add(p->framesReceived);
    if (!checksumGood) Add(p->framesDroppedOnChecksum);
}

void TLineDiagnostics::ReplyAccepted(int point, int device) {
    DeviceSlot* d = Device(point, device);
    if (d == nullptr) return;
    constexpr auto r = std::memory_order_relaxed;
    Add(d->goodReplies);
    d->consecutiveUnanswered.store(0, r);
    d->lastGoodReply.store(utc_(), r);
    if (d->requestStartedNs != 0) {
        const int64_t ms = (steady_() - d->requestStartedNs) / 1000000;
        const int64_t clamped = std::clamp<int64_t>(ms, 0, std::numeric_limits<uint32_t>::max());
        d->lastReplyTimeMs.store(static_cast<uint32_t>(clamped), r);
    }
}

void TLineDiagnostics::ReplyRejected(int point, int device) {
    if (DeviceSlot* d = Device(point, device)) Add(d->rejectedReplies);
}

void TLineDiagnostics::PollWithoutReply(int point, int device) {
    DeviceSlot* d = Device(point, device);
    if (d == nullptr) return;
    const uint32_t n = d->consecutiveUnanswered.load(std::memory_order_relaxed);
    if (n != std::numeric_limits<uint32_t>::max())
        d->consecutiveUnanswered.store(n + 1, std::memory_order_relaxed);
}

bool TLineDiagnostics::ReadPoint(int point, TPointCounters& out) const {
    const PointSlot* p = Point(point);
    if (p == nullptr) return false;
    out.portOpen = p->portOpen.load(std::memory_order_relaxed);
    out.requestsSent = Get(p->requestsSent);
    out.bytesSent = Get(p->bytesSent);
    out.bytesReceived = Get(p->bytesReceived);
    out.framesReceived = Get(p->framesReceived);
    out.framesDroppedOnChecksum = Get(p->framesDroppedOnChecksum);
    out.bytesDiscarded = Get(p->bytesDiscarded);
    out.writeTimeouts = Get(p->writeTimeouts);
    out.openFailures = Get(p->openFailures);
    const uint64_t error = Get(p->lastOpenError);
    out.openErrorCode = static_cast<int>(error >> 32);
    out.openErrorNumber = static_cast<int>(static_cast<uint32_t>(error));
    out.lastOpenError = error == 0 ? std::string() : OpenErrorText(out.openErrorCode, out.openErrorNumber);
    return true;
}

bool TLineDiagnostics::ReadDevice(int point, int device, TDeviceCounters& out) const {
    const DeviceSlot* d = Device(point, device);
    if (d == nullptr) return false;
    out.requestsSent = Get(d->requestsSent);
    out.goodReplies = Get(d->goodReplies);
    out.rejectedReplies = Get(d->rejectedReplies);
    out.consecutiveUnanswered = d->consecutiveUnanswered.load(std::memory_order_relaxed);
    out.lastGoodReply = Get(d->lastGoodReply);
    out.lastReplyTimeMs = d->lastReplyTimeMs.load(std::memory_order_relaxed);
    return true;
}

std::string TLineDiagnostics::OpenErrorText(int code, int errorNumber) {
    std::string text = EComPort::Format(code, errorNumber);
    // The system's own words for the error number (thread-safe, unlike strerror).
    const std::string reason = std::generic_category().message(errorNumber);
    if (!reason.empty()) text += ": " + reason;
    return text;
}

}  // namespace qora
