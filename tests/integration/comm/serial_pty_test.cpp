// The serial port layer and the protocol over real pseudo-terminals, with
// qora-sim playing the instruments.
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/ioctl.h>

#include <QTemporaryDir>
#include <memory>
#include <thread>

#include "comm/instrument_lines.h"
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
using test::Watchdog;
using Bytes = std::vector<uint8_t>;

::testing::Environment* const kApp = ::testing::AddGlobalTestEnvironment(new test::QtAppEnvironment);

const Bytes kWorkedRequest = {0xB5, 0x01, 0x02, 0x2F, 0x00, 0x02, 0x34};

// A model with one point bound to `port` and devices at the given addresses.
struct Line {
    explicit Line(TComPort* port, std::vector<uint8_t> addresses, uint32_t mask = 0b101)
        : model(CreateModel()), lines(*model) {
        AppendPoint(*model, u"Линия", port->PortName(), 1.0f, true);
        for (uint8_t a : addresses) AppendDevice(*model, 0, u"Прибор", 0, a, mask);
        for (int d = 0; d < model->points[0].deviceCount; ++d)
            for (int k = 0; k < kParamsPerDevice; ++k)
                StoreQuality(model->points[0].devices[d], k, kQualityNotConnected);
        model->points[0].serialPort = port;
        port->SetTag(0);
        port->SetOnRxChar([this](TComPort* s, int n) { lines.ComPortRxChar(s, n); });
    }
    TDevice& Dev(int d) { return model->points[0].devices[d]; }
    std::unique_ptr<TConfigModel, ModelDeleter> model;
    TInstrumentLines lines;
};

struct Collector {
    explicit Collector(TComPort& port) {
        port.SetOnRxChar([this](TComPort* s, int count) {
            counts.push_back(count);
            if (std::this_thread::get_id() != main) offThread = true;
            if (!s->Connected()) whileClosed = true;
            std::vector<uint8_t> buf(static_cast<size_t>(count));
            int got = s->Read(buf.data(), count);
            bytes.insert(bytes.end(), buf.begin(), buf.begin() + got);
        });
    }
    std::thread::id main = std::this_thread::get_id();
    std::vector<int> counts;
    Bytes bytes;
    bool offThread = false;
    bool whileClosed = false;
};

bool WaitReadable(int fd, int timeoutMs) {
    pollfd p = {fd, POLLIN, 0};
    return ::poll(&p, 1, timeoutMs) > 0;
}

TEST(SerialPty, SendRequestPutsTheWorkedExampleOnTheWire) {
    Pty pty;
    TComPort port;
    port.SetPortName("COM7");
    port.SetDevicePath(pty.Path());
    Line line(&port, {1});
    line.lines.SendRequest(0, 0);
    EXPECT_TRUE(port.Connected());
    EXPECT_EQ(pty.Read(kWorkedRequest.size()), kWorkedRequest);
    // Empty mask: B5 addr 00 2F (addr + 2F).
    AppendDevice(*line.model, 0, u"Пустой", 0, 0xE0, 0);
    line.lines.SendRequest(0, 1);
    EXPECT_EQ(pty.Read(5), (Bytes{0xB5, 0xE0, 0x00, 0x2F, 0x0F}));
}

TEST(SerialPty, OpenAppliesTheLineSettingsAndRepeatedOpenOrCloseChangeNothing) {
    Pty pty;
    TComPort port;
    port.SetDevicePath(pty.Path());
    port.SetBaudRate(TComPort::br19200);
    port.SetDataBits(TComPort::dbEight);
    port.SetParity(TComPort::prNone);
    port.SetStopBits(TComPort::sbTwoStopBits);
    port.SetConnected(true);
    ASSERT_TRUE(port.Connected());
    const int handle = port.Handle();
    termios t{};
    ASSERT_EQ(::tcgetattr(handle, &t), 0);
    EXPECT_EQ(::cfgetospeed(&t), B19200);
    EXPECT_EQ(::cfgetispeed(&t), B19200);
    EXPECT_EQ(t.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
    EXPECT_TRUE(t.c_cflag & CSTOPB);
    EXPECT_FALSE(t.c_cflag & (PARENB | CRTSCTS));
    EXPECT_TRUE(t.c_cflag & (CLOCAL | CREAD));
    EXPECT_FALSE(t.c_iflag & (IXON | IXOFF | IXANY | INPCK));
    EXPECT_FALSE(t.c_lflag & (ICANON | ECHO | ISIG));
    EXPECT_FALSE(t.c_oflag & OPOST);
    EXPECT_EQ(t.c_cc[VMIN], 0);
    EXPECT_EQ(t.c_cc[VTIME], 0);
    port.SetConnected(true);
    EXPECT_EQ(port.Handle(), handle);
    // Applied at once on an open port.
    port.SetStopBits(TComPort::sbOneStopBit);
    ASSERT_EQ(::tcgetattr(handle, &t), 0);
    EXPECT_FALSE(t.c_cflag & CSTOPB);
    EXPECT_THROW(port.SetBaudRate(TComPort::br14400), EComPort);  // no such rate on this platform
    port.SetConnected(false);
    port.SetConnected(false);
    EXPECT_FALSE(port.Connected());
}

TEST(SerialPty, PortHeldByAnotherProcessFailsWithCodeOneAndOpensOnceFree) {
    Pty pty;
    int ready[2], release[2];
    ASSERT_EQ(::pipe(ready), 0);
    ASSERT_EQ(::pipe(release), 0);
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        int fd = ::open(pty.Path().c_str(), O_RDWR | O_NOCTTY);
        char c = (fd >= 0 && ::flock(fd, LOCK_EX | LOCK_NB) == 0) ? 'k' : 'f';
        (void)!::write(ready[1], &c, 1);
        (void)!::read(release[0], &c, 1);
        ::_exit(0);
    }
    char c = 0;
    ASSERT_TRUE(WaitReadable(ready[0], 5000));
    ASSERT_EQ(::read(ready[0], &c, 1), 1);
    ASSERT_EQ(c, 'k');
    TComPort port;
    port.SetDevicePath(pty.Path());
    try {
        port.SetConnected(true);
        ADD_FAILURE() << "opened a port another process holds";
    } catch (const EComPort& e) {
        EXPECT_EQ(e.Code(), 1);
        EXPECT_EQ(e.WinCode(), EWOULDBLOCK);
    }
    EXPECT_FALSE(port.Connected());
    ASSERT_EQ(::write(release[1], "x", 1), 1);
    int st = 0;
    ASSERT_EQ(::waitpid(child, &st, 0), child);
    port.SetConnected(true);
    EXPECT_TRUE(port.Connected());
    // A second object in this process is refused too.
    TComPort other;
    other.SetDevicePath(pty.Path());
    EXPECT_THROW(other.SetConnected(true), EComPort);
    for (int fd : {ready[0], ready[1], release[0], release[1]}) ::close(fd);
}

TEST(SerialPty, BytesArrivingInBurstsAreDeliveredOnTheMainThreadOnceAndInOrder) {
    Pty pty;
    TComPort port;
    port.SetDevicePath(pty.Path());
    Collector got(port);
    port.SetConnected(true);
    pty.Write({1, 2, 3, 4, 5});
    ASSERT_TRUE(WaitUntil([&] { return got.bytes.size() >= 5; }));
    pty.Write({6, 7, 8, 9, 10});
    ASSERT_TRUE(WaitUntil([&] { return got.bytes.size() >= 10; }));
    int sum = 0;
    for (int n : got.counts) {
        EXPECT_GT(n, 0);
        sum += n;
    }
    EXPECT_EQ(sum, 10);
    EXPECT_EQ(got.bytes, (Bytes{1, 2, 3, 4, 5, 6, 7, 8, 9, 10}));
    // A large burst: every byte exactly once, in order.
    Bytes big(20000);
    for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<uint8_t>(i * 7 + i / 256);
    std::thread writer([&] { pty.Write(big); });
    const bool all = WaitUntil([&] { return got.bytes.size() >= 10 + big.size(); }, 10000);
    writer.join();
    ASSERT_TRUE(all);
    EXPECT_TRUE(std::equal(big.begin(), big.end(), got.bytes.begin() + 10));
    EXPECT_FALSE(got.offThread);
    EXPECT_FALSE(got.whileClosed);
}

TEST(SerialPty, NoByteReceivedBeforeACloseIsDeliveredAfterReopening) {
    Pty pty;
    TComPort port;
    port.SetDevicePath(pty.Path());
    Collector got(port);
    port.SetConnected(true);
    pty.Write({0xAA, 0xAA, 0xAA, 0xAA});
    // Let the bytes reach the port's queue without running the event loop.
    int queued = 0;
    for (int i = 0; i < 300 && queued < 4; ++i) {
        ::ioctl(port.Handle(), FIONREAD, &queued);
        if (queued < 4) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    ASSERT_EQ(queued, 4);
    int exclusive = 0;
    ASSERT_EQ(::ioctl(pty.Slave(), TIOCGEXCL, &exclusive), 0);
    EXPECT_EQ(exclusive, 1);
    port.SetConnected(false);
    // Exclusive mode ends with the close even though another descriptor stays open,
    // or a user without CAP_SYS_ADMIN could not open the line again.
    ASSERT_EQ(::ioctl(pty.Slave(), TIOCGEXCL, &exclusive), 0);
    EXPECT_EQ(exclusive, 0);
    port.SetConnected(true);
    pty.Write({0xBB, 0xBB});
    ASSERT_TRUE(WaitUntil([&] { return got.bytes.size() >= 2; }));
    test::Pump(50);
    EXPECT_EQ(got.bytes, (Bytes{0xBB, 0xBB}));
}

TEST(SerialPty, SimulatorRepliesReachTheSlotsThroughOnRxCharOnTheMainThread) {
    QTemporaryDir dir;
    const std::string link = dir.filePath("ttySIM1").toStdString();
    Sim sim(
        {"--link", link, "--device", "1:0=const:1.5,2=novalue,5=ramp:0:100:0.5", "--device", "2:0=const:-4"});
    ASSERT_TRUE(sim.Started());
    TComPort port;
    port.SetPortName("SIM1");
    port.SetDevicePath(link);
    Line line(&port, {1, 2}, (1u << 0) | (1u << 2) | (1u << 5));
    std::thread::id handlerThread;
    port.SetOnRxChar([&](TComPort* s, int n) {
        handlerThread = std::this_thread::get_id();
        line.lines.ComPortRxChar(s, n);
    });
    line.lines.SendRequest(0, 0);
    ASSERT_TRUE(WaitUntil([&] { return LoadQuality(line.Dev(0), 5) == kQualityGood; }));
    EXPECT_EQ(handlerThread, std::this_thread::get_id());
    EXPECT_EQ(LoadValue(line.Dev(0), 0), 1.5f);
    EXPECT_EQ(LoadQuality(line.Dev(0), 0), kQualityGood);
    EXPECT_EQ(LoadValue(line.Dev(0), 2), kNoValue);
    EXPECT_EQ(LoadQuality(line.Dev(0), 2), kQualityGood);
    EXPECT_EQ(LoadValue(line.Dev(0), 5), 0.0f);
    EXPECT_GT(LoadTimestamp(line.Dev(0), 0), 40000.0);  // a real local time
    line.lines.SendRequest(0, 0);
    ASSERT_TRUE(WaitUntil([&] { return LoadValue(line.Dev(0), 5) == 0.5f; }));
    line.lines.SendRequest(0, 1);
    ASSERT_TRUE(WaitUntil([&] { return LoadQuality(line.Dev(1), 0) == kQualityGood; }));
    EXPECT_EQ(LoadValue(line.Dev(1), 0), -4.0f);
    EXPECT_EQ(LoadQuality(line.Dev(1), 2), kQualityNotConnected);  // the device does not offer it
    EXPECT_EQ(sim.Stop(), 0);
}

TEST(SerialPty, FaultsOfTheSimulatorAreHandledByTheReceiver) {
    QTemporaryDir dir;
    const std::string link = dir.filePath("ttyF").toStdString();
    Sim sim({"--link",         link,           "--device",        "1:0=const:1",    "--device",
             "2:0=const:2",    "--device",     "3:0=const:3",     "--device",       "4:0=const:4,1=const:5",
             "--fault",        "1:chunks:2:5", "--fault",         "1:garbage:0013", "--fault",
             "2:bad-checksum", "--fault",      "3:reply-code:2F", "--fault",        "4:novalue:1"});
    ASSERT_TRUE(sim.Started());
    TComPort port;
    port.SetDevicePath(link);
    Line line(&port, {1, 2, 3, 4}, 0b11);
    for (int d = 0; d < 4; ++d) line.lines.SendRequest(0, static_cast<uint8_t>(d));
    ASSERT_TRUE(WaitUntil([&] {
        return LoadQuality(line.Dev(0), 0) == kQualityGood && line.Dev(2).replied == 1 &&
               LoadQuality(line.Dev(3), 1) == kQualityGood;
    }));
    EXPECT_EQ(LoadValue(line.Dev(0), 0), 1.0f);  // chunked, garbage before
    test::Pump(50);
    EXPECT_EQ(line.Dev(1).replied, 0);                             // wrong checksum: dropped
    EXPECT_EQ(LoadQuality(line.Dev(2), 0), kQualityNotConnected);  // refused code: replied only
    EXPECT_EQ(LoadValue(line.Dev(3), 0), 4.0f);
    EXPECT_EQ(LoadValue(line.Dev(3), 1), kNoValue);
}

TEST(SerialPty, ClosingWhileTheSimulatorFloodsNeitherDeadlocksNorDeliversAfterTheClose) {
    QTemporaryDir dir;
    const std::string link = dir.filePath("ttyFLOOD").toStdString();
    Sim sim({"--link", link, "--flood", "--device", "1:0=const:1,1=const:2,2=const:3", "--device",
             "2:0=const:4"});
    ASSERT_TRUE(sim.Started());
    TComPort port;
    port.SetDevicePath(link);
    Line line(&port, {1, 2});
    size_t notifications = 0;
    bool whileClosed = false;
    port.SetOnRxChar([&](TComPort* s, int n) {
        ++notifications;
        if (!s->Connected()) whileClosed = true;
        line.lines.ComPortRxChar(s, n);
    });
    Watchdog dog(120, "close while flooding");
    for (int round = 0; round < 30; ++round) {
        port.SetConnected(true);
        const size_t before = notifications;
        ASSERT_TRUE(WaitUntil([&] { return notifications > before + 2; })) << round;
        port.SetConnected(false);
        const size_t atClose = notifications;
        test::Pump(10);
        ASSERT_EQ(notifications, atClose) << "a notification after the close, round " << round;
    }
    EXPECT_FALSE(whileClosed);
    EXPECT_EQ(LoadQuality(line.Dev(0), 2), kQualityGood);
    EXPECT_EQ(LoadValue(line.Dev(1), 0), 4.0f);
    // Closing from inside the handler, with the event thread waiting for it.
    int calls = 0;
    port.SetOnRxChar([&](TComPort* s, int n) {
        line.lines.ComPortRxChar(s, n);
        if (++calls == 3) s->SetConnected(false);
    });
    port.SetConnected(true);
    ASSERT_TRUE(WaitUntil([&] { return !port.Connected(); }));
    test::Pump(30);
    EXPECT_EQ(calls, 3);
    EXPECT_EQ(sim.Stop(), 0);
}

TEST(SerialPty, HangUpClosesThePortAndTheNextOpenAttemptReopensWhenTheDeviceIsBack) {
    QTemporaryDir dir;
    const std::string link = dir.filePath("ttyUSB9").toStdString();
    auto sim = std::make_unique<Sim>(std::vector<std::string>{"--link", link, "--device", "1:0=const:1.5"});
    ASSERT_TRUE(sim->Started());
    std::vector<bool> changes;
    TComPort port;
    port.SetDevicePath(link);
    Line line(&port, {1}, 1);
    QObject::connect(&port, &TComPort::connectedChanged, [&](bool c) { changes.push_back(c); });
    line.lines.SendRequest(0, 0);
    ASSERT_TRUE(WaitUntil([&] { return LoadQuality(line.Dev(0), 0) == kQualityGood; }));
    EXPECT_EQ(sim->Stop(), 0);  // the master closes: the line hangs up
    ASSERT_TRUE(WaitUntil([&] { return !port.Connected(); }));
    EXPECT_EQ(changes, (std::vector<bool>{true, false}));
    line.lines.SendRequest(0, 0);  // the device is gone: the open fails silently
    EXPECT_FALSE(port.Connected());
    sim = std::make_unique<Sim>(std::vector<std::string>{"--link", link, "--device", "1:0=const:2.5"});
    ASSERT_TRUE(sim->Started());
    line.lines.SendRequest(0, 0);
    EXPECT_TRUE(port.Connected());
    ASSERT_TRUE(WaitUntil([&] { return LoadValue(line.Dev(0), 0) == 2.5f; }));
}

// With VMIN = VTIME = 0 a line whose queue is empty reads 0 bytes: that is "nothing more
// queued", not a hang-up, so a read of more than is waiting keeps the port open.
TEST(SerialPty, ReadAskingForMoreThanIsQueuedReturnsWhatIsQueuedAndKeepsThePortOpen) {
    Pty pty;
    TComPort port;
    port.SetDevicePath(pty.Path());
    port.SetConnected(true);
    struct Case {
        Bytes sent;
        int asked;
    };
    const Case cases[] = {{{0x11, 0x22, 0x33}, 64}, {{0x44}, 2}, {{}, 16}};
    for (const Case& c : cases) {
        if (!c.sent.empty()) pty.Write(c.sent);
        int queued = -1;
        for (int i = 0; i < 300 && queued != static_cast<int>(c.sent.size()); ++i) {
            ::ioctl(port.Handle(), FIONREAD, &queued);
            if (queued != static_cast<int>(c.sent.size()))
                std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        ASSERT_EQ(queued, static_cast<int>(c.sent.size()));
        Bytes buf(static_cast<size_t>(c.asked), 0);
        const int got = port.Read(buf.data(), c.asked);
        EXPECT_EQ(got, static_cast<int>(c.sent.size())) << "asked " << c.asked;
        EXPECT_EQ(Bytes(buf.begin(), buf.begin() + std::max(got, 0)), c.sent);
        EXPECT_TRUE(port.Connected()) << "asked " << c.asked << " with " << c.sent.size() << " queued";
    }
    // The port still works both ways afterwards.
    port.Write("\xB5", 1);
    EXPECT_EQ(pty.Read(1), (Bytes{0xB5}));
}

TEST(SerialPty, ClosedMasterStillClosesThePortThroughTheEventThreadAndThroughRead) {
    {
        // Hang-up seen by the event thread while nothing is read.
        auto pty = std::make_unique<Pty>();
        TComPort port;
        port.SetDevicePath(pty->Path());
        port.SetConnected(true);
        pty.reset();
        EXPECT_TRUE(WaitUntil([&] { return !port.Connected(); }));
    }
    {
        // Hang-up met by a read before the event thread's report is handled.
        auto pty = std::make_unique<Pty>();
        TComPort port;
        port.SetDevicePath(pty->Path());
        port.SetConnected(true);
        pty.reset();
        uint8_t buf[8];
        try {
            port.Read(buf, sizeof buf);
        } catch (const EComPort& e) {
            EXPECT_EQ(e.Code(), 3);
        }
        EXPECT_FALSE(port.Connected());
    }
}

TEST(SerialPty, BytesForAPortWhoseTagNamesNoPointAreReadAndDropped) {
    Pty pty;
    TComPort port;
    port.SetDevicePath(pty.Path());
    Line line(&port, {1}, 1);
    port.SetTag(7);  // no such point
    port.SetConnected(true);
    pty.Write({0xB5, 0x01, 0x04, 0xAF, 0x00, 0x00, 0x80, 0x3F, 0x73});
    ASSERT_TRUE(WaitUntil([&] {
        int queued = -1;
        ::ioctl(port.Handle(), FIONREAD, &queued);
        return queued == 0;
    }));
    test::Pump(20);
    EXPECT_EQ(line.Dev(0).replied, 0);
    EXPECT_EQ(line.model->points[7].receivedCount, 0);
    EXPECT_TRUE(port.Connected());
}

TEST(SerialPty, WritingToAHungUpLineClosesThePortWithCodeTwo) {
    auto pty = std::make_unique<Pty>();
    TComPort port;
    port.SetDevicePath(pty->Path());
    port.SetConnected(true);
    pty.reset();  // master and the extra slave gone
    try {
        port.Write("\xB5", 1);
        ADD_FAILURE() << "wrote to a hung-up line";
    } catch (const EComPort& e) {
        EXPECT_EQ(e.Code(), 2);
    }
    EXPECT_FALSE(port.Connected());
}

TEST(Simulator, EndsCleanlyOnSigintAndRemovesItsLink) {
    QTemporaryDir dir;
    const std::string link = dir.filePath("ttyEND").toStdString();
    Sim sim({"--link", link, "--device", "1:0=const:1"});
    ASSERT_TRUE(sim.Started());
    EXPECT_EQ(sim.Path().rfind("/dev/pts/", 0), 0u) << sim.Path();
    char target[256] = {};
    ASSERT_GT(::readlink(link.c_str(), target, sizeof target - 1), 0);
    EXPECT_EQ(sim.Path(), target);
    EXPECT_EQ(sim.Stop(SIGINT), 0);
    EXPECT_NE(::access(link.c_str(), F_OK), 0);
}

TEST(Simulator, RefusesABadCommandLineWithStatusTwo) {
    for (std::vector<std::string> args :
         std::vector<std::vector<std::string>>{{"--device", "0:0=const:1"},
                                               {"--device", "1:0=wave:1"},
                                               {"--device", "1:0=const:x"},
                                               {"--fault", "1:loud"},
                                               {"--fault", "1:silent-after:-1"},
                                               {"--bogus"},
                                               {"--link"}}) {
        Sim sim(args);
        EXPECT_FALSE(sim.Started()) << args[0] << " " << (args.size() > 1 ? args[1] : "");
        EXPECT_EQ(sim.Stop(), 2) << args[0] << " " << (args.size() > 1 ? args[1] : "");
    }
}

class PollOverPty : public ::testing::Test {
  protected:
    void SetUp() override { model_.reset(CreateModel()); }
    std::unique_ptr<TConfigModel, ModelDeleter> model_;
};

TEST_F(PollOverPty, SilentAfterNTurnsTheDeviceTo24OnTheFourthUnansweredPoll) {
    QTemporaryDir dir;
    const std::string link = dir.filePath("ttySIM2").toStdString();
    Sim sim({"--link", link, "--device", "7:0=const:1.5,3=const:3", "--fault", "7:silent-after:3"});
    ASSERT_TRUE(sim.Started());
    TComPort port;
    port.SetPortName("SIM2");
    port.SetDevicePath(link);
    std::vector<TComPort*> table = {&port};
    TInstrumentLines lines(*model_);
    port.SetOnRxChar([&](TComPort* s, int n) { lines.ComPortRxChar(s, n); });
    AppendPoint(*model_, u"Линия", "sim2", 0.5f, true);  // long enough for every reply to beat the next tick
    AppendDevice(*model_, 0, u"Прибор", 0, 7, 0b1001);
    TPollCycle cycle(*model_, lines, table);
    int requests = 0, goodAt = 0, badAt = 0;
    TDevice& d = model_->points[0].devices[0];
    cycle.SetRequestSink([&](uint8_t p, uint8_t dev) {
        ++requests;
        if (goodAt == 0 && LoadQuality(d, 0) == kQualityGood) goodAt = requests;
        if (badAt == 0 && LoadQuality(d, 0) == kQualityCommFailure) badAt = requests;
        lines.SendRequest(p, dev);
    });
    cycle.StartPolling();
    EXPECT_TRUE(port.Connected());
    ASSERT_TRUE(WaitUntil([&] { return badAt != 0; }, 15000));
    cycle.StopPolling();
    EXPECT_FALSE(port.Connected());
    EXPECT_EQ(goodAt, 2);     // the first reply arrived before the first tick
    EXPECT_EQ(badAt, 3 + 4);  // three answered requests, then the fourth unanswered poll
    for (int k = 0; k < kParamsPerDevice; ++k) EXPECT_EQ(LoadQuality(d, k), kQualityCommFailure) << k;
    EXPECT_EQ(LoadValue(d, 0), 1.5f);
    EXPECT_EQ(LoadValue(d, 3), 3.0f);
}

TEST_F(PollOverPty, TwoLinesWithSeveralDevicesAllReachTheirSlots) {
    QTemporaryDir dir;
    const std::string a = dir.filePath("ttyA").toStdString(), b = dir.filePath("ttyB").toStdString();
    Sim simA({"--link", a, "--device", "1:0=const:10", "--device", "2:0=const:20"});
    Sim simB({"--link", b, "--device", "1:0=const:30", "--fault", "1:chunks:3:2"});
    ASSERT_TRUE(simA.Started() && simB.Started());
    TComPort pa, pb;
    pa.SetPortName("LINEA");
    pa.SetDevicePath(a);
    pb.SetPortName("LINEB");
    pb.SetDevicePath(b);
    std::vector<TComPort*> table = {&pa, &pb};
    TInstrumentLines lines(*model_);
    for (TComPort* p : table) p->SetOnRxChar([&](TComPort* s, int n) { lines.ComPortRxChar(s, n); });
    AppendPoint(*model_, u"A", "LINEA", 0.05f, true);
    AppendPoint(*model_, u"B", "LINEB", 0.05f, true);
    AppendDevice(*model_, 0, u"A1", 0, 1, 1);
    AppendDevice(*model_, 0, u"A2", 0, 2, 1);
    AppendDevice(*model_, 1, u"B1", 0, 1, 1);
    TPollCycle cycle(*model_, lines, table);
    bool opc = false;
    QObject::connect(&cycle, &TPollCycle::PollingChanged, [&](bool on) { opc = on; });
    cycle.StartPolling();
    EXPECT_TRUE(opc);
    auto& pts = model_->points;
    ASSERT_TRUE(WaitUntil([&] {
        return LoadQuality(pts[0].devices[0], 0) == kQualityGood &&
               LoadQuality(pts[0].devices[1], 0) == kQualityGood &&
               LoadQuality(pts[1].devices[0], 0) == kQualityGood;
    }));
    EXPECT_EQ(LoadValue(pts[0].devices[0], 0), 10.0f);
    EXPECT_EQ(LoadValue(pts[0].devices[1], 0), 20.0f);
    EXPECT_EQ(LoadValue(pts[1].devices[0], 0), 30.0f);
    cycle.StopPolling();
    EXPECT_FALSE(opc);
    EXPECT_FALSE(pa.Connected());
    EXPECT_FALSE(pb.Connected());
}

}  // namespace
}  // namespace qora
