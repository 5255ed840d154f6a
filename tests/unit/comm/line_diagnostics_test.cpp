// Counters of the lines and devices: each moves exactly when its event happens, in the receiver
// and in the poll cycle, and a reader on another thread sees them without a race.
#include "comm/line_diagnostics.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "comm/instrument_lines.h"
#include "comm/poll_cycle.h"
#include "comm/serial/com_port.h"
#include "comm/serial/ecomport.h"
#include "config/records.h"
#include "tests/unit/comm/comm_test_support.h"

namespace qora {
namespace {

using Bytes = std::vector<uint8_t>;
using test::Concat;
using test::Reply;

Bytes Good(uint8_t address, uint8_t code = 0xAF) {
    return Reply(address, code, {{0, 0x00, 0x80, 0x3F}});
}
Bytes BadChecksum(uint8_t address) {
    Bytes f = Good(address);
    f.back() = static_cast<uint8_t>(f.back() + 1);
    return f;
}

// One point with devices at addresses 1 and 2, no port: the receiver is fed directly.
struct Receiver {
    Receiver() : model(CreateModel()), lines(*model) {
        AppendPoint(*model, u"Линия", "COM1", 1.0f, true);
        AppendDevice(*model, 0, u"Прибор", 0, 1, 1);
        AppendDevice(*model, 0, u"Прибор", 0, 2, 1);
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

struct ReceiveCase {
    const char* name;
    std::vector<Bytes> pieces;  // fed one Receive call each
    uint64_t discarded, frames, dropped;
    uint64_t good1, rejected1, good2;
};

TEST(LineCounters, ReceiverCountsBytesFramesChecksumsAndReplyCodes) {
    const Bytes good1 = Good(1);
    const std::vector<ReceiveCase> cases = {
        {"good reply", {good1}, 0, 1, 0, 1, 0, 0},
        {"good reply in two pieces",
         {Bytes(good1.begin(), good1.begin() + 3), Bytes(good1.begin() + 3, good1.end())},
         0,
         1,
         0,
         1,
         0,
         0},
        {"two garbage bytes before a start byte", {Concat({{0x00, 0x13}, good1})}, 2, 1, 0, 1, 0, 0},
        {"garbage split over calls", {{0x00}, {0x13, 0x7E}, good1}, 3, 1, 0, 1, 0, 0},
        {"bad checksum", {BadChecksum(1)}, 0, 1, 1, 0, 0, 0},
        {"refused reply code", {Good(1, 0x2F)}, 0, 1, 0, 0, 1, 0},
        {"refused code 9F", {Good(1, 0x9F)}, 0, 1, 0, 0, 1, 0},
        {"accepted code variant CF", {Good(1, 0xCF)}, 0, 1, 0, 1, 0, 0},
        {"reply of the second device", {Good(2)}, 0, 1, 0, 0, 0, 1},
        {"unknown address: a frame, no reply", {Good(9)}, 0, 1, 0, 0, 0, 0},
        // A length byte of 250 or more clears the frame; the byte after it begins nothing.
        {"overlong length then one byte", {{0xB5, 0x01, 0xF6, 0x00}}, 1, 0, 0, 0, 0, 0},
        {"truncated frame only", {Bytes(good1.begin(), good1.end() - 1)}, 0, 0, 0, 0, 0, 0},
        {"bad then good", {BadChecksum(1), good1}, 0, 2, 1, 1, 0, 0},
    };
    for (const ReceiveCase& c : cases) {
        SCOPED_TRACE(c.name);
        Receiver r;
        uint64_t total = 0;
        for (const Bytes& piece : c.pieces) {
            r.lines.Receive(0, piece.data(), piece.size());
            total += piece.size();
        }
        const TPointCounters p = r.Point();
        EXPECT_EQ(p.bytesReceived, total);
        EXPECT_EQ(p.bytesDiscarded, c.discarded);
        EXPECT_EQ(p.framesReceived, c.frames);
        EXPECT_EQ(p.framesDroppedOnChecksum, c.dropped);
        EXPECT_EQ(r.Device(0).goodReplies, c.good1);
        EXPECT_EQ(r.Device(0).rejectedReplies, c.rejected1);
        EXPECT_EQ(r.Device(1).goodReplies, c.good2);
        EXPECT_EQ(r.Device(1).rejectedReplies, 0u);
        // Nothing was sent here.
        EXPECT_EQ(p.requestsSent, 0u);
        EXPECT_EQ(p.bytesSent, 0u);
    }
}

TEST(LineCounters, GoodReplyStampsUtcTimeAndReplyTimeFromTheRequestStart) {
    Receiver r;
    int64_t steadyNs = 5'000'000'000;
    r.lines.Diagnostics().SetSteadyClock([&] { return steadyNs; });
    r.lines.Diagnostics().SetUtcClock([] { return uint64_t{133'000'000'000'000'000}; });
    const Bytes good = Good(1);
    // A reply without a request of this run: counted, but no reply time.
    r.lines.Receive(0, good.data(), good.size());
    EXPECT_EQ(r.Device(0).lastReplyTimeMs, 0u);
    EXPECT_EQ(r.Device(0).lastGoodReply, 133'000'000'000'000'000u);
    r.lines.Diagnostics().RequestStarted(0, 0);
    steadyNs += 37'900'000;  // 37.9 ms later: whole milliseconds, truncated
    r.lines.Receive(0, good.data(), good.size() - 1);
    steadyNs += 1'000'000;  // the last byte comes 1 ms after the others
    r.lines.Receive(0, good.data() + good.size() - 1, 1);
    EXPECT_EQ(r.Device(0).lastReplyTimeMs, 38u);
    // A refused reply neither stamps nor times.
    r.lines.Diagnostics().RequestStarted(0, 0);
    steadyNs += 500'000'000;
    const Bytes refused = Good(1, 0x2F);
    r.lines.Receive(0, refused.data(), refused.size());
    EXPECT_EQ(r.Device(0).lastReplyTimeMs, 38u);
    EXPECT_EQ(r.Device(0).goodReplies, 2u);
}

TEST(LineCounters, OpenFailureCountsAndKeepsTheErrorText) {
    Receiver r;
    TComPort port;
    port.SetPortName("COM1");
    port.SetDevicePath("/nonexistent/qora-line-diagnostics-test");
    r.model->points[0].serialPort = &port;
    r.lines.SendRequest(0, 0);
    r.lines.SendRequest(0, 1);
    const TPointCounters p = r.Point();
    EXPECT_FALSE(p.portOpen);
    EXPECT_EQ(p.openFailures, 2u);
    EXPECT_EQ(p.openErrorCode, EComPort::kOpen);
    EXPECT_EQ(p.openErrorNumber, ENOENT);
    EXPECT_EQ(p.lastOpenError, EComPort::Format(EComPort::kOpen, ENOENT) + ": No such file or directory");
    EXPECT_EQ(p.requestsSent, 0u);
    EXPECT_EQ(p.bytesSent, 0u);
    EXPECT_EQ(r.Device(0).requestsSent, 0u);
}

TEST(LineCounters, OutOfTablePositionsAreRefusedAndIgnored) {
    TLineDiagnostics d;
    TPointCounters p;
    TDeviceCounters dev;
    for (int point : {-1, kMaxPoints}) {
        EXPECT_FALSE(d.ReadPoint(point, p));
        d.FrameReceived(point, false);  // no write outside the table
    }
    EXPECT_FALSE(d.ReadDevice(0, kMaxDevicesPerPoint, dev));
    EXPECT_FALSE(d.ReadDevice(0, -1, dev));
    d.ReplyAccepted(kMaxPoints - 1, kMaxDevicesPerPoint);
    ASSERT_TRUE(d.ReadDevice(kMaxPoints - 1, kMaxDevicesPerPoint - 1, dev));
    EXPECT_EQ(dev.goodReplies, 0u);
    d.ReplyAccepted(kMaxPoints - 1, kMaxDevicesPerPoint - 1);
    ASSERT_TRUE(d.ReadDevice(kMaxPoints - 1, kMaxDevicesPerPoint - 1, dev));
    EXPECT_EQ(dev.goodReplies, 1u);
    ASSERT_TRUE(d.ReadPoint(kMaxPoints - 1, p));
    EXPECT_EQ(p.lastOpenError, "");
}

TEST(LineCounters, WriteTimeoutCountsBytesButNoRequest) {
    TLineDiagnostics d;
    d.RequestWritten(0, 3, 4, 7);  // timed out after 4 of 7 bytes
    d.RequestWritten(0, 3, 7, 7);
    TPointCounters p;
    TDeviceCounters dev;
    ASSERT_TRUE(d.ReadPoint(0, p));
    ASSERT_TRUE(d.ReadDevice(0, 3, dev));
    EXPECT_EQ(p.writeTimeouts, 1u);
    EXPECT_EQ(p.bytesSent, 11u);
    EXPECT_EQ(p.requestsSent, 1u);
    EXPECT_EQ(dev.requestsSent, 1u);
}

class PollCounters : public ::testing::Test {
  protected:
    void SetUp() override {
        model_.reset(CreateModel());
        port_.SetPortName("COM1");
        ports_.push_back(&port_);
        lines_ = std::make_unique<TInstrumentLines>(*model_);
        cycle_ = std::make_unique<TPollCycle>(*model_, *lines_, ports_);
        // Requests go nowhere: the counters of the poll cycle alone.
        cycle_->SetRequestSink([](uint8_t, uint8_t) {});
    }
    void TearDown() override { cycle_->StopPolling(); }
    uint32_t Unanswered(int d) {
        TDeviceCounters c;
        EXPECT_TRUE(lines_->Diagnostics().ReadDevice(0, d, c));
        return c.consecutiveUnanswered;
    }

    std::unique_ptr<TConfigModel, ModelDeleter> model_;
    TComPort port_;
    std::vector<TComPort*> ports_;
    std::unique_ptr<TInstrumentLines> lines_;
    std::unique_ptr<TPollCycle> cycle_;
};

TEST_F(PollCounters, ConsecutiveUnansweredRisesWithTheSilenceRuleAndAGoodReplyResetsIt) {
    AppendPoint(*model_, u"Линия", "COM1", 1.0f, true);
    AppendDevice(*model_, 0, u"Прибор", 0, 1, 1);
    cycle_->StartPolling();
    TDevice& d = model_->points[0].devices[0];
    const Bytes good = Good(1);
    lines_->Receive(0, good.data(), good.size());
    ASSERT_EQ(LoadQuality(d, 0), kQualityGood);
    for (uint32_t tick = 1; tick <= 4; ++tick) {
        cycle_->PollTimerTimer(0);
        EXPECT_EQ(Unanswered(0), tick);
        // The count a client sees is the one the silence rule acts on.
        EXPECT_EQ(LoadQuality(d, 0),
                  tick < static_cast<uint32_t>(kSilentAfterPolls) ? kQualityGood : kQualityCommFailure);
    }
    const Bytes refused = Good(1, 0x2F);
    lines_->Receive(0, refused.data(), refused.size());
    EXPECT_EQ(Unanswered(0), 4u);  // a refused reply is no good reply
    lines_->Receive(0, good.data(), good.size());
    EXPECT_EQ(Unanswered(0), 0u);
    cycle_->PollTimerTimer(0);
    EXPECT_EQ(Unanswered(0), 1u);
}

TEST_F(PollCounters, TicksCountForTheDeviceTheyPoll) {
    AppendPoint(*model_, u"Линия", "COM1", 1.0f, true);
    for (uint8_t a : {1, 2, 3}) AppendDevice(*model_, 0, u"Прибор", 0, a, 1);
    cycle_->StartPolling();  // device 0 asked at the start, ticks go to 1, 2, 0, 1, ...
    for (int i = 0; i < 5; ++i) cycle_->PollTimerTimer(0);
    EXPECT_EQ(Unanswered(0), 1u);
    EXPECT_EQ(Unanswered(1), 2u);
    EXPECT_EQ(Unanswered(2), 2u);
}

TEST_F(PollCounters, RestartingPollingResetsEveryCounter) {
    AppendPoint(*model_, u"Линия", "COM1", 1.0f, true);
    AppendDevice(*model_, 0, u"Прибор", 0, 1, 1);
    port_.SetDevicePath("/nonexistent/qora-line-diagnostics-test");
    cycle_->SetRequestSink([this](uint8_t p, uint8_t d) { lines_->SendRequest(p, d); });
    cycle_->StartPolling();  // its first request fails to open the port
    cycle_->PollTimerTimer(0);
    const Bytes stream = Concat({{0x00}, Good(1), BadChecksum(1), Good(1, 0x2F)});
    lines_->Receive(0, stream.data(), stream.size());
    lines_->Diagnostics().RequestWritten(0, 0, 1, 7);
    TPointCounters p;
    TDeviceCounters d;
    ASSERT_TRUE(lines_->Diagnostics().ReadPoint(0, p));
    EXPECT_EQ(p.openFailures, 2u);
    EXPECT_NE(p.lastOpenError, "");
    EXPECT_EQ(p.framesReceived, 3u);

    cycle_->StopPolling();
    ASSERT_TRUE(lines_->Diagnostics().ReadPoint(0, p));
    EXPECT_EQ(p.framesReceived, 3u);  // kept while polling is stopped
    cycle_->SetRequestSink([](uint8_t, uint8_t) {});
    cycle_->StartPolling();
    ASSERT_TRUE(lines_->Diagnostics().ReadPoint(0, p));
    ASSERT_TRUE(lines_->Diagnostics().ReadDevice(0, 0, d));
    for (uint64_t v :
         {p.requestsSent, p.bytesSent, p.bytesReceived, p.framesReceived, p.framesDroppedOnChecksum,
          p.bytesDiscarded, p.writeTimeouts, p.openFailures, d.requestsSent, d.goodReplies, d.rejectedReplies,
          d.lastGoodReply, uint64_t{d.consecutiveUnanswered}, uint64_t{d.lastReplyTimeMs}})
        EXPECT_EQ(v, 0u);
    EXPECT_EQ(p.lastOpenError, "");
    EXPECT_FALSE(p.portOpen);
}

// The endpoint's side reads while the window thread polls and receives: under ThreadSanitizer
// this is the race check; everywhere it checks that a reader never sees a counter go back.
TEST(LineCounters, ReaderOnAnotherThreadSeesCountersOnlyGrow) {
    Receiver r;
    std::vector<TComPort*> none;
    TPollCycle cycle(*r.model, r.lines, none);
    cycle.SetRequestSink([](uint8_t, uint8_t) {});
    std::atomic<bool> stop{false};
    std::atomic<uint64_t> reads{0};
    std::atomic<bool> wentBack{false};
    std::thread reader([&] {
        TPointCounters last;
        TDeviceCounters lastDevice;
        while (!stop.load(std::memory_order_acquire)) {
            TPointCounters p;
            TDeviceCounters d;
            r.lines.Diagnostics().ReadPoint(0, p);
            r.lines.Diagnostics().ReadDevice(0, 0, d);
            if (p.bytesReceived < last.bytesReceived || p.framesReceived < last.framesReceived ||
                p.bytesDiscarded < last.bytesDiscarded || d.goodReplies < lastDevice.goodReplies)
                wentBack = true;
            last = p;
            lastDevice = d;
            reads.fetch_add(1, std::memory_order_relaxed);
        }
    });
    const Bytes stream = Concat({{0x13}, Good(1), BadChecksum(2), Good(2, 0x2F)});
    constexpr int kRounds = 20000;
    for (int i = 0; i < kRounds; ++i) {
        r.lines.Receive(0, stream.data(), stream.size());
        r.lines.Diagnostics().RequestWritten(0, i % 2, 7, 7);
        r.lines.Diagnostics().OpenFailed(0, EComPort::kOpen, i % 2 ? ENOENT : EBUSY);
        if (i % 100 == 0) cycle.PollTimerTimer(0);
    }
    // Let the reader take at least a few looks before it stops.
    while (reads.load(std::memory_order_relaxed) < 10) std::this_thread::yield();
    stop.store(true, std::memory_order_release);
    reader.join();
    EXPECT_FALSE(wentBack);
    const TPointCounters p = r.Point();
    EXPECT_EQ(p.bytesReceived, uint64_t{kRounds} * stream.size());
    EXPECT_EQ(p.framesReceived, 3u * kRounds);
    EXPECT_EQ(p.framesDroppedOnChecksum, uint64_t{kRounds});
    EXPECT_EQ(p.bytesDiscarded, uint64_t{kRounds});
    EXPECT_EQ(p.requestsSent, uint64_t{kRounds});
    EXPECT_EQ(p.openFailures, uint64_t{kRounds});
    EXPECT_EQ(p.openErrorNumber, ENOENT);
    EXPECT_EQ(r.Device(0).goodReplies, uint64_t{kRounds});
    EXPECT_EQ(r.Device(1).rejectedReplies, uint64_t{kRounds});
}

}  // namespace
}  // namespace qora
