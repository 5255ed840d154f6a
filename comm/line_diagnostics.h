// Counters of the serial lines (connection points) and of their devices since polling last
// started: what a client reads to see why a device is silent.
//
// One writer, the window thread (where the poll cycle, the receiver and the port hand-over run);
// any number of readers on other threads (the OPC UA endpoint). Every counter is an atomic of its
// own, written with relaxed stores by the single writer and read with relaxed loads: no lock on
// the poll path, no data race, and each value a reader sees is one the writer stored. A snapshot
// is not a consistent cut across counters (a frame may be counted before its bytes are), which is
// fine for diagnostics that move at most a few times per poll.
//
// The last open error is kept as the failed operation's code and the system's error number in
// one 64-bit atomic; the reader formats the text, so nothing is allocated or swapped on the
// writer's side.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "config/records.h"

namespace qora {

struct TPointCounters {
    bool portOpen = false;
    uint64_t requestsSent = 0;  // requests written in full
    uint64_t bytesSent = 0;
    uint64_t bytesReceived = 0;
    uint64_t framesReceived = 0;  // complete frames, those dropped on their checksum included
    uint64_t framesDroppedOnChecksum = 0;
    uint64_t bytesDiscarded = 0;  // bytes that did not begin a frame (no start byte)
    uint64_t writeTimeouts = 0;   // requests the line did not take in full within the write time-out
    uint64_t openFailures = 0;
    int openErrorCode = 0;      // EComPort code of the last failed open; 0 = none since the start
    int openErrorNumber = 0;    // its errno
    std::string lastOpenError;  // empty when none
};

struct TDeviceCounters {
    uint64_t requestsSent = 0;
    uint64_t goodReplies = 0;
    uint64_t rejectedReplies = 0;        // refused reply code
    uint32_t consecutiveUnanswered = 0;  // polls in a row without a good reply (the silence rule's count)
    uint64_t lastGoodReply = 0;          // FILETIME (UTC) of the last good reply; 0 = none
    uint32_t lastReplyTimeMs = 0;        // its request to its last byte
};

class TLineDiagnostics {
  public:
    // Monotonic time in nanoseconds (reply times); UTC now as FILETIME (last good reply).
    using SteadyClock = std::function<int64_t()>;
    using UtcClock = std::function<uint64_t()>;

    TLineDiagnostics();
    ~TLineDiagnostics();
    TLineDiagnostics(const TLineDiagnostics&) = delete;
    TLineDiagnostics& operator=(const TLineDiagnostics&) = delete;

    void SetSteadyClock(SteadyClock clock) { steady_ = std::move(clock); }
    void SetUtcClock(UtcClock clock) { utc_ = std::move(clock); }

    // Writer side: the window thread only. Positions outside the tables are ignored.
    void Reset();  // every counter to zero, ports closed (polling starts)
    void SetPortOpen(int point, bool open);
    void OpenFailed(int point, int code, int errorNumber);
    // A request to a device is about to be written (its reply time starts).
    void RequestStarted(int point, int device);
    // written of length bytes went out (fewer: the write timed out); a failed write is not told.
    void RequestWritten(int point, int device, int written, int length);
    void BytesReceived(int point, uint64_t count);
    void BytesDiscarded(int point, uint64_t count);
    void FrameReceived(int point, bool checksumGood);
    void ReplyAccepted(int point, int device);
    void ReplyRejected(int point, int device);
    // A poll tick chose the device while its last request is still without a good reply.
    void PollWithoutReply(int point, int device);

    // Reader side: any thread. False for a position outside the tables.
    bool ReadPoint(int point, TPointCounters& out) const;
    bool ReadDevice(int point, int device, TDeviceCounters& out) const;

    // The text of a failed open (code and errno of the port layer's error).
    static std::string OpenErrorText(int code, int errorNumber);

  private:
    struct PointSlot;
    struct DeviceSlot;
    PointSlot* Point(int point) const;
    DeviceSlot* Device(int point, int device) const;

    std::unique_ptr<PointSlot[]> points_;
    std::unique_ptr<DeviceSlot[]> devices_;  // kMaxPoints × kMaxDevicesPerPoint
    SteadyClock steady_;
    UtcClock utc_;
};

}  // namespace qora
