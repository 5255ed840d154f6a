// The counters reach the endpoint's Backend calls field for field, through the toolkit's
// forwarding and the program's provider.
#include "app/line_diagnostics_provider.h"

#include <gtest/gtest.h>

#include <cerrno>

#include "comm/serial/ecomport.h"
#include "opc/toolkit/gb_data_access.h"

namespace qora {
namespace {

// Every counter a different value, so that a field mapped to the wrong one shows.
void Fill(TLineDiagnostics& d) {
    int64_t ns = 1'000'000'000;
    d.SetSteadyClock([&ns] { return ns; });
    d.SetUtcClock([] { return uint64_t{133'500'000'000'000'000}; });
    d.SetPortOpen(2, true);
    d.RequestStarted(2, 5);
    d.RequestWritten(2, 5, 7, 7);  // requests 1, bytes sent 7
    d.RequestWritten(2, 5, 2, 7);  // bytes sent 9, write time-outs 1
    d.BytesReceived(2, 100);
    d.BytesDiscarded(2, 3);
    for (int i = 0; i < 4; ++i) d.FrameReceived(2, true);
    for (int i = 0; i < 2; ++i) d.FrameReceived(2, false);  // frames 6, dropped 2
    for (int i = 0; i < 5; ++i) d.OpenFailed(2, EComPort::kOpen, EACCES);
    d.SetPortOpen(2, true);
    ns += 42'000'000;
    d.ReplyAccepted(2, 5);
    d.ReplyAccepted(2, 5);  // good 2
    for (int i = 0; i < 3; ++i) d.ReplyRejected(2, 5);
    for (int i = 0; i < 4; ++i) d.PollWithoutReply(2, 5);
    d.SetSteadyClock({});  // the local clock goes out of scope
}

TEST(LineDiagnosticsProvider, BackendReadsEveryFieldFromTheCounters) {
    TLineDiagnostics counters;
    Fill(counters);
    gb::GBDataAccess toolkit;
    ua::Backend& backend = toolkit.GBBackend();
    ua::PointDiagnostics p;
    ua::DeviceDiagnostics d;
    EXPECT_FALSE(backend.ReadPointDiagnostics(2, p));  // no provider yet
    EXPECT_FALSE(backend.ReadDeviceDiagnostics(2, 5, d));
    toolkit.GBSetDiagnosticsProvider(LineDiagnosticsProvider(counters));

    ASSERT_TRUE(backend.ReadPointDiagnostics(2, p));
    EXPECT_TRUE(p.portOpen);
    EXPECT_EQ(p.requestsSent, 1u);
    EXPECT_EQ(p.bytesSent, 9u);
    EXPECT_EQ(p.bytesReceived, 100u);
    EXPECT_EQ(p.framesReceived, 6u);
    EXPECT_EQ(p.framesDroppedOnChecksum, 2u);
    EXPECT_EQ(p.bytesDiscarded, 3u);
    EXPECT_EQ(p.writeTimeouts, 1u);
    EXPECT_EQ(p.openFailures, 5u);
    EXPECT_EQ(p.lastOpenError, EComPort::Format(EComPort::kOpen, EACCES) + ": Permission denied");

    ASSERT_TRUE(backend.ReadDeviceDiagnostics(2, 5, d));
    EXPECT_EQ(d.requestsSent, 1u);
    EXPECT_EQ(d.goodReplies, 2u);
    EXPECT_EQ(d.rejectedReplies, 3u);
    EXPECT_EQ(d.consecutiveUnanswered, 4u);
    EXPECT_EQ(d.lastGoodReply, 133'500'000'000'000'000u);
    EXPECT_EQ(d.lastReplyTimeMs, 42u);

    // Another position has its own, untouched counters; positions outside the tables have none.
    ASSERT_TRUE(backend.ReadPointDiagnostics(1, p));
    EXPECT_FALSE(p.portOpen);
    EXPECT_EQ(p.framesReceived, 0u);
    EXPECT_EQ(p.lastOpenError, "");
    EXPECT_FALSE(backend.ReadPointDiagnostics(-1, p));
    EXPECT_FALSE(backend.ReadPointDiagnostics(kMaxPoints, p));
    EXPECT_FALSE(backend.ReadDeviceDiagnostics(0, kMaxDevicesPerPoint, d));
}

}  // namespace
}  // namespace qora
