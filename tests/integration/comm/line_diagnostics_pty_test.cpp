// Line and device counters over real pseudo-terminals, with qora-sim playing faulty instruments.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <QTemporaryDir>
#include <cerrno>
#include <memory>
#include <string>
#include <vector>

#include "base/file_time.h"
#include "comm/instrument_lines.h"
#include "comm/line_diagnostics.h"
#include "comm/poll_cycle.h"
#include "comm/serial/com_port.h"
#include "comm/serial/ecomport.h"
#include "config/records.h"
#include "tests/integration/comm/pty_support.h"
#include "tests/unit/comm/comm_test_support.h"

namespace qora {
namespace {

using test::Pty;
using test::Sim;
using test::WaitUntil;

// One point bound to `port` (attached the way the program attaches its ports), devices at the
// given addresses asking for parameter 0 only: requests of 6 bytes, replies of 9.
struct Line {
    Line(TComPort* port, std::vector<uint8_t> addresses) : model(CreateModel()), lines(*model) {
        AppendPoint(*model, u"Линия", port->PortName(), 1.0f, true);
        for (uint8_t a : addresses) AppendDevice(*model, 0, u"Прибор", 0, a, 1);
        model->points[0].serialPort = port;
        port->SetTag(0);
        lines.AttachPort(port);
    }
    TPointCounters Point() const {
        TPointCounters c;
        EXPECT_TRUE(lines.Diagnostics().ReadPoint(0, c));
        return c;
    }
    TDeviceCounters Device(int d) const {
        TDeviceCounters c;
        EXPECT_TRUE(lines.Diagnostics().ReadDevice(0, d, c));
        return c;
    }
    std::unique_ptr<TConfigModel, ModelDeleter> model;
    TInstrumentLines lines;
};

constexpr int kRequestBytes = 6;
constexpr int kReplyBytes = 9;

TEST(LineCountersOverPty, SimulatorFaultsMoveExactlyTheirCounters) {
    QTemporaryDir dir;
    const std::string link = dir.filePath("ttyD1").toStdString();
    Sim sim({"--link", link, "--device", "1:0=const:1", "--device", "2:0=const:2", "--device", "3:0=const:3",
             "--device", "4:0=const:4", "--fault", "1:garbage:0013", "--fault", "2:bad-checksum", "--fault",
             "3:reply-code:2F", "--fault", "4:silent"});
    ASSERT_TRUE(sim.Started());
    TComPort port;
    port.SetDevicePath(link);
    Line line(&port, {1, 2, 3, 4});
    const uint64_t before = NowFileTime();
    constexpr int kRounds = 5;
    for (int round = 0; round < kRounds; ++round) {
        for (uint8_t d = 0; d < 4; ++d) line.lines.SendRequest(0, d);
        // Three of the four answer; wait for them so that the round's replies stay apart.
        ASSERT_TRUE(WaitUntil([&] { return line.Point().framesReceived == 3u * (round + 1); }));
    }
    test::Pump(50);  // nothing else arrives
    const TPointCounters p = line.Point();
    EXPECT_TRUE(p.portOpen);
    EXPECT_EQ(p.requestsSent, 4u * kRounds);
    EXPECT_EQ(p.bytesSent, 4u * kRounds * kRequestBytes);
    EXPECT_EQ(p.bytesReceived, kRounds * (2u + 3u * kReplyBytes));
    EXPECT_EQ(p.framesReceived, 3u * kRounds);
    EXPECT_EQ(p.framesDroppedOnChecksum, uint64_t{kRounds});
    EXPECT_EQ(p.bytesDiscarded, 2u * kRounds);
    EXPECT_EQ(p.writeTimeouts, 0u);
    EXPECT_EQ(p.openFailures, 0u);
    EXPECT_EQ(p.lastOpenError, "");
    struct Expect {
        uint64_t good, rejected;
    };
    const Expect expect[4] = {{kRounds, 0}, {0, 0}, {0, kRounds}, {0, 0}};
    for (int d = 0; d < 4; ++d) {
        SCOPED_TRACE(d);
        const TDeviceCounters c = line.Device(d);
        EXPECT_EQ(c.requestsSent, uint64_t{kRounds});
        EXPECT_EQ(c.goodReplies, expect[d].good);
        EXPECT_EQ(c.rejectedReplies, expect[d].rejected);
        EXPECT_EQ(c.lastGoodReply != 0, expect[d].good != 0);
    }
    const TDeviceCounters good = line.Device(0);
    EXPECT_GE(good.lastGoodReply, before);
    EXPECT_LE(good.lastGoodReply, NowFileTime());
    EXPECT_LT(good.lastReplyTimeMs, 5000u);  // measured, bounded by the wait above
}

// The reply time runs from the request to the reply's last byte, however the reply is cut.
TEST(LineCountersOverPty, ReplyTimeRunsToTheLastByteOfTheReply) {
    Pty pty;
    TComPort port;
    port.SetDevicePath(pty.Path());
    Line line(&port, {5});
    int64_t nowNs = 1'000'000'000;
    line.lines.Diagnostics().SetSteadyClock([&] { return nowNs; });
    line.lines.SendRequest(0, 0);
    ASSERT_EQ(pty.Read(kRequestBytes).size(), static_cast<size_t>(kRequestBytes));
    const auto reply = test::Reply(5, 0xAF, {{0, 0x00, 0x80, 0x3F}});
    nowNs += 120'000'000;
    pty.Write({reply.begin(), reply.end() - 1});
    ASSERT_TRUE(WaitUntil([&] { return line.Point().bytesReceived == reply.size() - 1; }));
    EXPECT_EQ(line.Device(0).goodReplies, 0u);
    nowNs += 80'000'000;
    pty.Write({reply.back()});
    ASSERT_TRUE(WaitUntil([&] { return line.Device(0).goodReplies == 1; }));
    EXPECT_EQ(line.Device(0).lastReplyTimeMs, 200u);
}

TEST(LineCountersOverPty, HangUpShowsThePortClosedAndTheNextOpenFailureWithItsText) {
    QTemporaryDir dir;
    const std::string link = dir.filePath("ttyD2").toStdString();
    auto sim = std::make_unique<Sim>(std::vector<std::string>{"--link", link, "--device", "1:0=const:1.5"});
    ASSERT_TRUE(sim->Started());
    TComPort port;
    port.SetDevicePath(link);
    Line line(&port, {1});
    line.lines.SendRequest(0, 0);
    EXPECT_TRUE(line.Point().portOpen);
    ASSERT_TRUE(WaitUntil([&] { return line.Device(0).goodReplies == 1; }));
    EXPECT_EQ(sim->Stop(), 0);  // the master closes: the line hangs up, no request involved
    ASSERT_TRUE(WaitUntil([&] { return !line.Point().portOpen; }));
    EXPECT_FALSE(port.Connected());
    line.lines.SendRequest(0, 0);  // the simulator removed its link: nothing to open
    TPointCounters p = line.Point();
    EXPECT_FALSE(p.portOpen);
    EXPECT_EQ(p.openFailures, 1u);
    EXPECT_EQ(p.openErrorCode, EComPort::kOpen);
    EXPECT_EQ(p.openErrorNumber, ENOENT);
    EXPECT_NE(p.lastOpenError.find("No such file or directory"), std::string::npos) << p.lastOpenError;
    EXPECT_EQ(line.Device(0).requestsSent, 1u);
    sim = std::make_unique<Sim>(std::vector<std::string>{"--link", link, "--device", "1:0=const:2.5"});
    ASSERT_TRUE(sim->Started());
    line.lines.SendRequest(0, 0);
    p = line.Point();
    EXPECT_TRUE(p.portOpen);
    EXPECT_EQ(p.openFailures, 1u);  // the last error stays until polling restarts
    EXPECT_EQ(p.openErrorNumber, ENOENT);
    ASSERT_TRUE(WaitUntil([&] { return line.Device(0).goodReplies == 2; }));
}

// A line that takes nothing: the instrument side does not read, and its queue is full.
TEST(LineCountersOverPty, RequestTheLineDoesNotTakeCountsAsWriteTimeout) {
    Pty pty;
    TComPort port;
    port.SetDevicePath(pty.Path());
    Line line(&port, {1});
    line.lines.SendRequest(0, 0);
    ASSERT_EQ(pty.Read(kRequestBytes).size(), static_cast<size_t>(kRequestBytes));
    // Fill the master's input through the slave descriptor the test holds (after the port's
    // open, which flushes the queues).
    const int flags = ::fcntl(pty.Slave(), F_GETFL);
    ASSERT_GE(::fcntl(pty.Slave(), F_SETFL, flags | O_NONBLOCK), 0);
    const std::vector<uint8_t> block(4096, 0x55);
    size_t filled = 0;
    // A write larger than the room left takes nothing, and the kernel moves queued bytes on to
    // the master's reader a little later: fill with ever smaller writes, pass after pass, until
    // a whole pass takes nothing.
    for (int pass = 0; pass < 50; ++pass) {
        size_t taken = 0;
        for (size_t size : {size_t{4096}, size_t{512}, size_t{64}, size_t{8}, size_t{1}}) {
            for (int i = 0; i < 10000; ++i) {
                const ssize_t n = ::write(pty.Slave(), block.data(), size);
                if (n <= 0) break;
                taken += static_cast<size_t>(n);
            }
        }
        filled += taken;
        if (taken == 0) break;
        test::Pump(20);
    }
    ASSERT_GT(filled, 0u);
    line.lines.SendRequest(0, 0);  // waits out the write time-out (1.6 s for 6 bytes)
    const TPointCounters p = line.Point();
    EXPECT_EQ(p.writeTimeouts, 1u);
    EXPECT_EQ(p.requestsSent, 1u);
    EXPECT_GE(p.bytesSent, static_cast<uint64_t>(kRequestBytes));
    EXPECT_LT(p.bytesSent, 2u * kRequestBytes);
    EXPECT_EQ(line.Device(0).requestsSent, 1u);
    EXPECT_TRUE(p.portOpen);
}

// The whole cycle on a timer: a silent device's unanswered count climbs to the silence rule's 4
// while its neighbour keeps answering, and a restart of polling starts the counts again.
TEST(LineCountersOverPty, PollingASilentDeviceClimbsToFourAndRestartResets) {
    QTemporaryDir dir;
    const std::string link = dir.filePath("ttyD3").toStdString();
    Sim sim({"--link", link, "--device", "1:0=const:1"});
    ASSERT_TRUE(sim.Started());
    TComPort port;
    port.SetPortName("D3");
    port.SetDevicePath(link);
    std::vector<TComPort*> table = {&port};
    auto model = std::unique_ptr<TConfigModel, ModelDeleter>(CreateModel());
    TInstrumentLines lines(*model);
    lines.AttachPort(&port);
    AppendPoint(*model, u"Линия", "d3", 0.1f, true);
    AppendDevice(*model, 0, u"Прибор", 0, 1, 1);
    AppendDevice(*model, 0, u"Прибор", 0, 9, 1);  // no such instrument
    TPollCycle cycle(*model, lines, table);
    cycle.StartPolling();
    TDeviceCounters silent, answering;
    ASSERT_TRUE(WaitUntil(
        [&] {
            lines.Diagnostics().ReadDevice(0, 1, silent);
            return silent.consecutiveUnanswered >= 4;
        },
        15000));
    EXPECT_EQ(LoadQuality(model->points[0].devices[1], 0), kQualityNotConnected);
    lines.Diagnostics().ReadDevice(0, 0, answering);
    EXPECT_GE(answering.goodReplies, 3u);
    EXPECT_LE(answering.consecutiveUnanswered, 1u);
    EXPECT_EQ(silent.goodReplies, 0u);
    EXPECT_GE(silent.requestsSent, 4u);
    cycle.StopPolling();
    TPointCounters p;
    lines.Diagnostics().ReadPoint(0, p);
    EXPECT_FALSE(p.portOpen);
    cycle.StartPolling();
    lines.Diagnostics().ReadPoint(0, p);
    lines.Diagnostics().ReadDevice(0, 1, silent);
    EXPECT_TRUE(p.portOpen);
    EXPECT_EQ(p.requestsSent, 1u);  // the start's request to the first device
    EXPECT_EQ(silent.consecutiveUnanswered, 0u);
    EXPECT_EQ(silent.requestsSent, 0u);
    cycle.StopPolling();
}

}  // namespace
}  // namespace qora
