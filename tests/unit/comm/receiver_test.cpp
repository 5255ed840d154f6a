#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "comm/instrument_lines.h"
#include "config/records.h"
#include "tests/unit/comm/comm_test_support.h"

namespace qora {
namespace {

using test::Concat;
using test::Group;
using test::Reply;
using Bytes = std::vector<uint8_t>;

constexpr float kSentinel = 7.0f;
constexpr uint8_t kSentinelUnanswered = 5;

const Group kOne = {0, 0x00, 0x80, 0x3F};  // parameter 0 = 1.0
const Group kTwo = {0, 0x00, 0x00, 0x40};  // parameter 0 = 2.0
const Bytes kWorked = {0xB5, 0x01, 0x08, 0xAF, 0x00, 0x00, 0x80, 0x3F, 0x02, 0xFF, 0xFF, 0xFF, 0x76};

struct SlotExpect {
    int device;
    int param;
    float value;
};

struct DeviceExpect {
    int device;
    int unanswered;
    int replied;
};

struct RxCase {
    std::string name;
    std::vector<uint8_t> addresses;  // devices of point 0
    std::vector<Bytes> notifications;
    std::vector<SlotExpect> stored;  // slots that must hold value, quality 192 and a fresh time
    std::vector<DeviceExpect> devices;
};

// Every slot not listed in `stored` must be left exactly as it was.
class ReceiverTable : public ::testing::TestWithParam<RxCase> {
  protected:
    void SetUp() override {
        model_.reset(CreateModel());
        ASSERT_EQ(AppendPoint(*model_, u"Линия", "COM1", 1.0f, true), ModelResult::Ok);
        ASSERT_EQ(AppendPoint(*model_, u"Другая", "COM2", 1.0f, true), ModelResult::Ok);
        for (uint8_t a : GetParam().addresses)
            ASSERT_EQ(AppendDevice(*model_, 0, u"Прибор", 0, a, 0xFFFFFFFFu), ModelResult::Ok);
        ASSERT_EQ(AppendDevice(*model_, 1, u"Там", 0, 1, 0xFFFFFFFFu), ModelResult::Ok);
        for (int p = 0; p < 2; ++p) {
            for (int d = 0; d < model_->points[p].deviceCount; ++d) {
                TDevice& dev = model_->points[p].devices[d];
                for (int k = 0; k < kParamsPerDevice; ++k) {
                    StoreValue(dev, k, kSentinel);
                    StoreQuality(dev, k, kQualityNotConnected);
                    StoreTimestamp(dev, k, 0.0);
                }
                dev.unanswered = kSentinelUnanswered;
                dev.replied = 0;
            }
        }
        lines_ = std::make_unique<TInstrumentLines>(*model_);
        lines_->SetClock([this] { return ++clock_; });
    }

    std::unique_ptr<TConfigModel, ModelDeleter> model_;
    std::unique_ptr<TInstrumentLines> lines_;
    double clock_ = 1000.0;
};

TEST_P(ReceiverTable, StoresExactlyTheExpectedSlots) {
    const RxCase& c = GetParam();
    for (const Bytes& n : c.notifications) lines_->Receive(0, n.data(), n.size());

    std::map<std::pair<int, int>, float> stored;
    for (const SlotExpect& e : c.stored) stored[{e.device, e.param}] = e.value;
    std::vector<double> times;
    for (int d = 0; d < model_->points[0].deviceCount; ++d) {
        const TDevice& dev = model_->points[0].devices[d];
        for (int k = 0; k < kParamsPerDevice; ++k) {
            auto it = stored.find({d, k});
            if (it != stored.end()) {
                EXPECT_EQ(LoadValue(dev, k), it->second) << "device " << d << " slot " << k;
                EXPECT_EQ(LoadQuality(dev, k), kQualityGood) << "device " << d << " slot " << k;
                EXPECT_GT(LoadTimestamp(dev, k), 1000.0) << "device " << d << " slot " << k;
                times.push_back(LoadTimestamp(dev, k));
            } else {
                EXPECT_EQ(LoadValue(dev, k), kSentinel) << "device " << d << " slot " << k;
                EXPECT_EQ(LoadQuality(dev, k), kQualityNotConnected) << "device " << d << " slot " << k;
                EXPECT_EQ(LoadTimestamp(dev, k), 0.0) << "device " << d << " slot " << k;
            }
        }
    }
    // The clock is read once per stored group.
    std::sort(times.begin(), times.end());
    EXPECT_EQ(std::adjacent_find(times.begin(), times.end()), times.end());

    std::map<int, DeviceExpect> devs;
    for (const DeviceExpect& e : c.devices) devs[e.device] = e;
    for (int d = 0; d < model_->points[0].deviceCount; ++d) {
        const TDevice& dev = model_->points[0].devices[d];
        auto it = devs.find(d);
        const int unanswered = it != devs.end() ? it->second.unanswered : kSentinelUnanswered;
        const int replied = it != devs.end() ? it->second.replied : 0;
        EXPECT_EQ(dev.unanswered, unanswered) << "device " << d;
        EXPECT_EQ(dev.replied, replied) << "device " << d;
    }
    // The other point's device never sees point 0's bytes.
    const TDevice& other = model_->points[1].devices[0];
    EXPECT_EQ(other.replied, 0);
    EXPECT_EQ(LoadQuality(other, 0), kQualityNotConnected);
    // The receive state is idle after whole frames.
    EXPECT_EQ(model_->points[1].receivedCount, 0);
}

Bytes Slice(const Bytes& b, size_t from, size_t to) {
    return Bytes(b.begin() + static_cast<long>(from), b.begin() + static_cast<long>(to));
}

std::vector<RxCase> Cases() {
    std::vector<RxCase> v;
    const Bytes third = Reply(1, 0xAF, {kTwo});
    v.push_back({"WorkedExampleStoresOneAndNoValue",
                 {1},
                 {kWorked},
                 {{0, 0, 1.0f}, {0, 2, 9999999.0f}},
                 {{0, 0, 1}}});
    v.push_back({"FrameSplitIntoOneTwoAndTenBytes",
                 {1},
                 {Slice(kWorked, 0, 1), Slice(kWorked, 1, 3), Slice(kWorked, 3, 13)},
                 {{0, 0, 1.0f}, {0, 2, 9999999.0f}},
                 {{0, 0, 1}}});
    {
        RxCase c{"FrameDeliveredByteByByte", {1}, {}, {{0, 0, 1.0f}, {0, 2, 9999999.0f}}, {{0, 0, 1}}};
        for (uint8_t b : kWorked) c.notifications.push_back({b});
        v.push_back(c);
    }
    v.push_back({"TwoFramesInOneNotificationAreHandledInOrder",
                 {1},
                 {Concat({kWorked, Reply(1, 0xAF, {kTwo})})},
                 {{0, 0, 2.0f}, {0, 2, 9999999.0f}},
                 {{0, 0, 1}}});
    v.push_back({"TwoDevicesInOneNotification",
                 {1, 2},
                 {Concat({Reply(2, 0xAF, {{3, 0x00, 0x80, 0x3F}}), kWorked})},
                 {{0, 0, 1.0f}, {0, 2, 9999999.0f}, {1, 3, 1.0f}},
                 {{0, 0, 1}, {1, 0, 1}}});
    v.push_back({"GarbageBeforeAFrameIsDropped",
                 {1},
                 {Concat({{0x00, 0x13}, kWorked})},
                 {{0, 0, 1.0f}, {0, 2, 9999999.0f}},
                 {{0, 0, 1}}});
    v.push_back({"EmptyAcceptedReplyResetsCountAndSetsRepliedOnly",
                 {1},
                 {{0xB5, 0x01, 0x00, 0xAF, 0xB0}},
                 {},
                 {{0, 0, 1}}});
    for (uint8_t code : {0xAF, 0x8F, 0xCF, 0xA1, 0x81, 0xEF})
        v.push_back({"ReplyCode" + std::to_string(code) + "IsAccepted",
                     {1},
                     {Reply(1, code, {kOne})},
                     {{0, 0, 1.0f}},
                     {{0, 0, 1}}});
    for (uint8_t code : {0x9F, 0x2F, 0x00, 0xB5})
        v.push_back({"ReplyCode" + std::to_string(code) + "IsRefusedButCountsAsReplied",
                     {1},
                     {Reply(1, code, {kOne})},
                     {},
                     {{0, kSentinelUnanswered, 1}}});
    v.push_back({"ParameterThirtyOneIsSkippedAndThirtyStored",
                 {1},
                 {Reply(1, 0xAF, {{31, 0x00, 0x80, 0x3F}, {30, 0x00, 0x00, 0x40}, {200, 0, 0, 0}})},
                 {{0, 30, 2.0f}},
                 {{0, 0, 1}}});
    for (int trailing = 1; trailing <= 3; ++trailing)
        v.push_back({"Trailing" + std::to_string(trailing) + "BytesAreIgnored",
                     {1},
                     {Reply(1, 0xAF, {kOne}, Bytes(static_cast<size_t>(trailing), 0x05))},
                     {{0, 0, 1.0f}},
                     {{0, 0, 1}}});
    v.push_back({"LaterGroupOfTheSameParameterWins",
                 {1},
                 {Reply(1, 0xAF, {kOne, kTwo})},
                 {{0, 0, 2.0f}},
                 {{0, 0, 1}}});
    {
        Bytes bad = kWorked;
        bad.back() = 0x77;
        v.push_back({"CorruptedChecksumChangesNothing", {1}, {bad}, {}, {}});
        Bytes flipped = kWorked;
        flipped[6] ^= 0x01;
        v.push_back({"CorruptedDataByteChangesNothing", {1}, {flipped}, {}, {}});
    }
    v.push_back({"UnknownAddressChangesNothing", {1, 2}, {Reply(3, 0xAF, {kOne})}, {}, {}});
    v.push_back({"ReplyFromADeviceNotPolledLastIsStored",
                 {1, 2, 3},
                 {Reply(3, 0xAF, {kOne})},
                 {{2, 0, 1.0f}},
                 {{2, 0, 1}}});
    v.push_back(
        {"FirstDeviceWithTheAddressWins", {4, 4}, {Reply(4, 0xAF, {kOne})}, {{0, 0, 1.0f}}, {{0, 0, 1}}});
    for (int len : {245, 250, 251, 255})
        v.push_back({"LengthByte" + std::to_string(len) + "IsDiscardedOnTheThirdByte",
                     {1},
                     {Concat({{0xB5, 0x01, static_cast<uint8_t>(len)}, kWorked})},
                     {{0, 0, 1.0f}, {0, 2, 9999999.0f}},
                     {{0, 0, 1}}});
    {
        // 244 data bytes: the largest frame accepted (61 groups of parameter 0, the last = 2.0).
        std::vector<Group> groups(60, kOne);
        groups.push_back(kTwo);
        v.push_back(
            {"LargestFrameOf249BytesIsAccepted", {1}, {Reply(1, 0xAF, groups)}, {{0, 0, 2.0f}}, {{0, 0, 1}}});
    }
    // Cut after 7 of 13 bytes: the next reply's first 6 bytes complete it (dropped on the
    // checksum), its last 7 are dropped one by one, the third reply is stored.
    v.push_back({"TruncatedReplyLosesTheNextOneAndRecoversOnTheThird",
                 {1},
                 {Slice(kWorked, 0, 7), Concat({kWorked, third})},
                 {{0, 0, 2.0f}},
                 {{0, 0, 1}}});
    return v;
}

INSTANTIATE_TEST_SUITE_P(Receiver, ReceiverTable, ::testing::ValuesIn(Cases()),
                         [](const ::testing::TestParamInfo<RxCase>& i) { return i.param.name; });

TEST(Receiver, AHalfFrameLeftFromBeforeIsCompletedByLaterBytesAndDropped) {
    std::unique_ptr<TConfigModel, ModelDeleter> m(CreateModel());
    AppendPoint(*m, u"P", "COM1", 1.0f, true);
    AppendDevice(*m, 0, u"D", 0, 1, 1);
    TInstrumentLines lines(*m);
    const Bytes partial = Slice(kWorked, 0, 10);
    lines.Receive(0, partial.data(), partial.size());
    EXPECT_EQ(m->points[0].receivedCount, 10);
    EXPECT_EQ(m->points[0].expectedLength, 13);
    lines.Receive(0, kWorked.data(), kWorked.size());  // 3 bytes complete the old frame, 10 are dropped
    EXPECT_EQ(m->points[0].devices[0].replied, 0);
    lines.Receive(0, kWorked.data(), kWorked.size());
    EXPECT_EQ(m->points[0].devices[0].replied, 1);
    EXPECT_EQ(LoadValue(m->points[0].devices[0], 0), 1.0f);
}

TEST(Receiver, AHostileReceiveStateFromAFileIsClearedBeforeUse) {
    std::unique_ptr<TConfigModel, ModelDeleter> m(CreateModel());
    AppendPoint(*m, u"P", "COM1", 1.0f, true);
    AppendDevice(*m, 0, u"D", 0, 1, 1);
    TConnectionPoint& p = m->points[0];
    std::fill(std::begin(p.rxBuffer), std::end(p.rxBuffer), 0xB5);
    p.receivedCount = 255;
    p.expectedLength = 3;
    TInstrumentLines lines(*m);
    lines.Receive(0, kWorked.data(), kWorked.size());
    EXPECT_EQ(p.devices[0].replied, 1);
    EXPECT_EQ(p.receivedCount, 0);
}

TEST(Receiver, BytesForAPointOutsideTheTableAreIgnored) {
    std::unique_ptr<TConfigModel, ModelDeleter> m(CreateModel());
    AppendPoint(*m, u"P", "COM1", 1.0f, true);
    AppendDevice(*m, 0, u"D", 0, 1, 1);
    TInstrumentLines lines(*m);
    lines.Receive(-1, kWorked.data(), kWorked.size());
    lines.Receive(kMaxPoints, kWorked.data(), kWorked.size());
    // Nothing reached the one point there is, and nothing was written beyond the table (ASan).
    EXPECT_EQ(m->points[0].devices[0].replied, 0);
    EXPECT_EQ(m->points[0].receivedCount, 0);
}

}  // namespace
}  // namespace qora
