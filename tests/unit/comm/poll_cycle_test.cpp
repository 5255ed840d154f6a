#include "comm/poll_cycle.h"

#include <gtest/gtest.h>

#include <QTimer>
#include <climits>
#include <cmath>
#include <limits>
#include <memory>
#include <utility>
#include <vector>

#include "comm/instrument_lines.h"
#include "comm/serial/com_port.h"
#include "config/records.h"
#include "tests/unit/comm/comm_test_support.h"

namespace qora {
namespace {

using Sent = std::vector<std::pair<int, int>>;

class PollCycleTest : public ::testing::Test {
  protected:
    void SetUp() override {
        model_.reset(CreateModel());
        for (const char* name : {"COM1", "COM10", "COM3"}) {
            auto* port = new TComPort();
            port->SetPortName(name);
            owned_.emplace_back(port);
            ports_.push_back(port);
        }
        lines_ = std::make_unique<TInstrumentLines>(*model_);
        cycle_ = std::make_unique<TPollCycle>(*model_, *lines_, ports_);
        cycle_->SetRequestSink([this](uint8_t p, uint8_t d) { sent_.emplace_back(p, d); });
        QObject::connect(cycle_.get(), &TPollCycle::PollingChanged, [this](bool on) {
            changed_.push_back(on);
            // What a receiver finds when told: the cycle's state and its timers already changed.
            const TConnectionPoint& p = model_->points[0];
            stateWhenTold_.push_back({cycle_->Polling(), model_->pointCount > 0 && p.pollTimer != nullptr});
        });
    }
    void TearDown() override {
        cycle_->StopPolling();
        cycle_.reset();
    }

    int AddPoint(const char* port, float period, int devices) {
        const int p = model_->pointCount;
        EXPECT_EQ(AppendPoint(*model_, u"Точка", port, period, true), ModelResult::Ok);
        for (int j = 0; j < devices; ++j)
            EXPECT_EQ(AppendDevice(*model_, p, u"Прибор", 0, static_cast<uint8_t>(j + 1), 0b101),
                      ModelResult::Ok);
        return p;
    }
    TDevice& Dev(int p, int d) { return model_->points[p].devices[d]; }
    void Answer(int p, uint8_t address, uint8_t code = 0xAF) {
        auto f = test::Reply(address, code, {{0, 0x00, 0x80, 0x3F}, {2, 0x00, 0x00, 0x40}});
        lines_->Receive(p, f.data(), f.size());
    }
    void ExpectAllQualities(const TDevice& d, uint16_t q) {
        for (int k = 0; k < kParamsPerDevice; ++k) EXPECT_EQ(LoadQuality(d, k), q) << "slot " << k;
    }

    std::unique_ptr<TConfigModel, ModelDeleter> model_;
    std::vector<std::unique_ptr<TComPort>> owned_;
    std::vector<TComPort*> ports_;
    std::unique_ptr<TInstrumentLines> lines_;
    std::unique_ptr<TPollCycle> cycle_;
    Sent sent_;
    std::vector<bool> changed_;
    std::vector<std::pair<bool, bool>> stateWhenTold_;  // Polling(), point 0 has its timer
};

TEST(PollInterval, PeriodTimesThousandIsTruncatedInExtendedPrecision) {
    EXPECT_EQ(PollIntervalMs(4.2f), 4199);
    EXPECT_EQ(PollIntervalMs(0.7f), 699);
    EXPECT_EQ(PollIntervalMs(1.5f), 1500);
    EXPECT_EQ(PollIntervalMs(1.0f), 1000);
    EXPECT_EQ(PollIntervalMs(0.001f), 1);
}

TEST(PollInterval, ZeroNegativeNaNAndHugePeriodsGiveNoTicksOrTheLargestInterval) {
    EXPECT_EQ(PollIntervalMs(0.0f), 0);
    EXPECT_EQ(PollIntervalMs(0.0004f), 0);
    EXPECT_EQ(PollIntervalMs(-1.0f), 0);
    EXPECT_EQ(PollIntervalMs(-std::numeric_limits<float>::infinity()), 0);
    EXPECT_EQ(PollIntervalMs(std::numeric_limits<float>::quiet_NaN()), 0);
    EXPECT_EQ(PollIntervalMs(1e30f), INT_MAX);
    EXPECT_EQ(PollIntervalMs(std::numeric_limits<float>::infinity()), INT_MAX);
    EXPECT_EQ(PollIntervalMs(2147483.0f), 2147483000);
}

TEST_F(PollCycleTest, ThreeDevicesArePolledZeroAtOnceThenOneTwoZeroOne) {
    AddPoint("COM1", 1.0f, 3);
    cycle_->StartPolling();
    EXPECT_EQ(sent_, (Sent{{0, 0}}));
    for (int i = 0; i < 4; ++i) cycle_->PollTimerTimer(0);
    EXPECT_EQ(sent_, (Sent{{0, 0}, {0, 1}, {0, 2}, {0, 0}, {0, 1}}));
    EXPECT_EQ(model_->points[0].currentDevice, 1);
}

TEST_F(PollCycleTest, OneDeviceIsPolledAtEveryTick) {
    AddPoint("COM1", 1.0f, 1);
    cycle_->StartPolling();
    for (int i = 0; i < 3; ++i) cycle_->PollTimerTimer(0);
    EXPECT_EQ(sent_, (Sent{{0, 0}, {0, 0}, {0, 0}, {0, 0}}));
}

TEST_F(PollCycleTest, BoundPointGetsAnActiveTimerWithTheTruncatedInterval) {
    AddPoint("COM1", 4.2f, 1);
    AddPoint("COM3", 0.7f, 1);
    cycle_->StartPolling();
    ASSERT_NE(model_->points[0].pollTimer, nullptr);
    EXPECT_TRUE(model_->points[0].pollTimer->isActive());
    EXPECT_EQ(model_->points[0].pollTimer->interval(), 4199);
    EXPECT_EQ(model_->points[1].pollTimer->interval(), 699);
    EXPECT_EQ(model_->points[0].serialPort, ports_[0]);
    EXPECT_EQ(model_->points[1].serialPort, ports_[2]);
    EXPECT_EQ(ports_[2]->Tag(), 1);
}

TEST_F(PollCycleTest, DeviceThatNeverAnswersStaysNotConnectedAndNeverBecomesCommFailure) {
    AddPoint("COM1", 1.0f, 1);
    cycle_->StartPolling();
    for (int i = 0; i < 20; ++i) {
        cycle_->PollTimerTimer(0);
        ExpectAllQualities(Dev(0, 0), kQualityNotConnected);
    }
    EXPECT_EQ(Dev(0, 0).unanswered, 20);
}

TEST_F(PollCycleTest, SilentDeviceTurnsCommFailureOnTheFourthUnansweredPollAndRecovers) {
    AddPoint("COM1", 1.0f, 1);
    cycle_->StartPolling();
    Answer(0, 1);
    EXPECT_EQ(LoadQuality(Dev(0, 0), 0), kQualityGood);
    for (int i = 0; i < 3; ++i) cycle_->PollTimerTimer(0);
    EXPECT_EQ(LoadQuality(Dev(0, 0), 0), kQualityGood);
    EXPECT_EQ(LoadQuality(Dev(0, 0), 1), kQualityNotConnected);
    cycle_->PollTimerTimer(0);  // the fourth
    ExpectAllQualities(Dev(0, 0), kQualityCommFailure);
    EXPECT_EQ(LoadValue(Dev(0, 0), 0), 1.0f);
    EXPECT_EQ(LoadValue(Dev(0, 0), 2), 2.0f);
    EXPECT_EQ(LoadValue(Dev(0, 0), 1), kNoValue);
    cycle_->PollTimerTimer(0);
    ExpectAllQualities(Dev(0, 0), kQualityCommFailure);
    // The next good reply raises the parameters it carries; the others stay 24.
    auto f = test::Reply(1, 0xAF, {{0, 0x00, 0x00, 0x41}});
    lines_->Receive(0, f.data(), f.size());
    EXPECT_EQ(LoadQuality(Dev(0, 0), 0), kQualityGood);
    EXPECT_EQ(LoadValue(Dev(0, 0), 0), 8.0f);
    EXPECT_EQ(LoadQuality(Dev(0, 0), 2), kQualityCommFailure);
    EXPECT_EQ(Dev(0, 0).unanswered, 0);
}

TEST_F(PollCycleTest, RefusedReplyCodesEndInCommFailure) {
    AddPoint("COM1", 1.0f, 1);
    cycle_->StartPolling();
    for (int i = 0; i < 4; ++i) {
        Answer(0, 1, 0x2F);
        cycle_->PollTimerTimer(0);
    }
    ExpectAllQualities(Dev(0, 0), kQualityCommFailure);
}

TEST_F(PollCycleTest, SilenceIsJudgedPerDeviceInTheRotation) {
    AddPoint("COM1", 1.0f, 2);
    cycle_->StartPolling();
    Answer(0, 1);
    Answer(0, 2);
    // 7 ticks: device 1 polled 4 times (ticks 1,3,5,7), device 0 three times.
    for (int i = 0; i < 7; ++i) cycle_->PollTimerTimer(0);
    ExpectAllQualities(Dev(0, 1), kQualityCommFailure);
    EXPECT_EQ(LoadQuality(Dev(0, 0), 0), kQualityGood);
    cycle_->PollTimerTimer(0);
    ExpectAllQualities(Dev(0, 0), kQualityCommFailure);
}

TEST_F(PollCycleTest, UnboundPointSendsNothingAndStopPassesOverIt) {
    AddPoint("COM7", 1.0f, 2);
    cycle_->StartPolling();
    EXPECT_TRUE(sent_.empty());
    ASSERT_NE(model_->points[0].pollTimer, nullptr);
    EXPECT_FALSE(model_->points[0].pollTimer->isActive());
    EXPECT_EQ(model_->points[0].serialPort, nullptr);
    ExpectAllQualities(Dev(0, 0), kQualityNotConnected);
    cycle_->StopPolling();
    cycle_->StopPolling();
    EXPECT_EQ(model_->points[0].pollTimer, nullptr);
    for (TComPort* p : ports_) EXPECT_FALSE(p->Connected());
}

TEST_F(PollCycleTest, PointWithoutDevicesHasARunningTimerWhoseTicksDoNothing) {
    AddPoint("COM1", 1.0f, 0);
    cycle_->StartPolling();
    EXPECT_TRUE(model_->points[0].pollTimer->isActive());
    cycle_->PollTimerTimer(0);
    EXPECT_TRUE(sent_.empty());
    EXPECT_FALSE(ports_[0]->Connected());
}

TEST_F(PollCycleTest, ZeroPeriodPollsTheFirstDeviceOnceAndStartsNoTimer) {
    AddPoint("COM1", 0.0f, 2);
    AddPoint("COM3", std::numeric_limits<float>::quiet_NaN(), 1);
    AddPoint("COM10", -3.0f, 1);
    cycle_->StartPolling();
    EXPECT_EQ(sent_, (Sent{{0, 0}, {1, 0}, {2, 0}}));
    for (int p = 0; p < 3; ++p) EXPECT_FALSE(model_->points[p].pollTimer->isActive()) << p;
}

TEST_F(PollCycleTest, PortNamesAreComparedInUpperCase) {
    AddPoint("com3", 1.0f, 1);
    AddPoint("Com10", 1.0f, 1);
    cycle_->StartPolling();
    EXPECT_EQ(model_->points[0].serialPort, ports_[2]);
    EXPECT_EQ(model_->points[1].serialPort, ports_[1]);
}

TEST_F(PollCycleTest, TwoPointsOnOnePortBothPollButTheLaterReceives) {
    AddPoint("COM1", 1.0f, 1);
    AddPoint("COM1", 1.0f, 1);
    cycle_->StartPolling();
    EXPECT_EQ(sent_, (Sent{{0, 0}, {1, 0}}));
    EXPECT_EQ(model_->points[0].serialPort, ports_[0]);
    EXPECT_EQ(model_->points[1].serialPort, ports_[0]);
    EXPECT_EQ(ports_[0]->Tag(), 1);
}

TEST_F(PollCycleTest, StartAfterAChangeReinitialisesValuesQualitiesAndRepliedOnly) {
    AddPoint("COM1", 1.0f, 2);
    cycle_->StartPolling();
    Answer(0, 1);
    cycle_->PollTimerTimer(0);
    const double stamp = LoadTimestamp(Dev(0, 0), 0);
    ASSERT_GT(stamp, 0.0);
    model_->points[0].receivedCount = 2;
    model_->points[0].rxBuffer[0] = 0xB5;
    model_->points[0].rxBuffer[1] = 0x01;
    cycle_->StopPolling();
    EXPECT_EQ(changed_.back(), false);
    ASSERT_EQ(AppendDevice(*model_, 0, u"Новый", 0, 9, 1), ModelResult::Ok);
    model_->points[0].currentDevice = 1;
    sent_.clear();
    cycle_->StartPolling();
    EXPECT_EQ(changed_.back(), true);
    for (int d = 0; d < 3; ++d) {
        EXPECT_EQ(Dev(0, d).replied, 0);
        for (int k = 0; k < kParamsPerDevice; ++k) {
            EXPECT_EQ(LoadValue(Dev(0, d), k), kNoValue);
            EXPECT_EQ(LoadQuality(Dev(0, d), k), kQualityNotConnected);
        }
    }
    EXPECT_EQ(LoadTimestamp(Dev(0, 0), 0), stamp);  // kept
    EXPECT_EQ(Dev(0, 1).unanswered, 1);             // kept
    EXPECT_EQ(model_->points[0].receivedCount, 2);  // receive state kept
    EXPECT_EQ(model_->points[0].currentDevice, 0);
    EXPECT_EQ(sent_, (Sent{{0, 0}}));
}

TEST_F(PollCycleTest, PollingChangedIsEmittedAtTheEndOfStartAndOfStop) {
    AddPoint("COM1", 1.0f, 1);
    cycle_->StartPolling();
    cycle_->StopPolling();
    EXPECT_EQ(changed_, (std::vector<bool>{true, false}));
    EXPECT_EQ(stateWhenTold_, (std::vector<std::pair<bool, bool>>{{true, true}, {false, false}}));
    EXPECT_FALSE(cycle_->Polling());
}

TEST_F(PollCycleTest, StartWithoutStopReplacesTheTimersInsteadOfAddingOnes) {
    AddPoint("COM1", 1.0f, 1);
    AddPoint("COM3", 1.0f, 1);
    cycle_->StartPolling();
    cycle_->StartPolling();
    EXPECT_EQ(cycle_->findChildren<QTimer*>().size(), 2);
    cycle_->StopPolling();
    EXPECT_EQ(cycle_->findChildren<QTimer*>().size(), 0);
}

TEST_F(PollCycleTest, StartingBeforeThePortTableIsFilledBindsNothing) {
    std::vector<TComPort*> empty;
    TPollCycle early(*model_, *lines_, empty);
    Sent sent;
    early.SetRequestSink([&](uint8_t p, uint8_t d) { sent.emplace_back(p, d); });
    AddPoint("COM1", 1.0f, 1);
    early.StartPolling();
    EXPECT_TRUE(sent.empty());
    EXPECT_FALSE(model_->points[0].pollTimer->isActive());
    early.StopPolling();
}

TEST_F(PollCycleTest, TheTimerOfAPointDrivesItsTicks) {
    AddPoint("COM1", 0.01f, 2);
    cycle_->StartPolling();
    ASSERT_TRUE(test::WaitUntil([&] { return sent_.size() >= 4; }, 5000));
    EXPECT_EQ(sent_[1], (std::pair<int, int>{0, 1}));
    EXPECT_EQ(sent_[2], (std::pair<int, int>{0, 0}));
    cycle_->StopPolling();
    const size_t n = sent_.size();
    test::Pump(50);
    EXPECT_EQ(sent_.size(), n);
}

TEST_F(PollCycleTest, TicksForAPointOutsideTheTableDoNothing) {
    AddPoint("COM1", 1.0f, 1);
    cycle_->StartPolling();
    cycle_->PollTimerTimer(5);
    cycle_->PollTimerTimer(-1);
    EXPECT_EQ(sent_.size(), 1u);
}

}  // namespace
}  // namespace qora
