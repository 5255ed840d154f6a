// Random byte streams through the receiver: the state stays within the
// point's buffer, slot 31 is never written, and nothing outside the receive
// state and the point's device slots changes.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <random>
#include <vector>

#include "comm/instrument_lines.h"
#include "config/records.h"
#include "tests/unit/comm/comm_test_support.h"

namespace qora {
namespace {

using Bytes = std::vector<uint8_t>;

Bytes RandomChunk(std::mt19937& rng) {
    std::uniform_int_distribution<int> kind(0, 5), byte(0, 255), small(0, 70);
    Bytes out;
    switch (kind(rng)) {
        case 0: {  // noise
            int n = small(rng);
            for (int i = 0; i < n; ++i) out.push_back(static_cast<uint8_t>(byte(rng)));
            break;
        }
        case 1: {  // noise rich in start bytes
            int n = small(rng);
            for (int i = 0; i < n; ++i)
                out.push_back(byte(rng) < 64 ? 0xB5 : static_cast<uint8_t>(byte(rng)));
            break;
        }
        case 2:  // a start byte with a hostile length
            out = {0xB5, static_cast<uint8_t>(byte(rng)), static_cast<uint8_t>(240 + byte(rng) % 16)};
            break;
        default: {  // a well-formed or slightly damaged reply with any parameter numbers
            std::vector<test::Group> groups;
            int n = small(rng) % 62;
            for (int i = 0; i < n; ++i)
                groups.push_back({static_cast<uint8_t>(byte(rng)), static_cast<uint8_t>(byte(rng)),
                                  static_cast<uint8_t>(byte(rng)), static_cast<uint8_t>(byte(rng))});
            Bytes trailing(static_cast<size_t>(byte(rng) % 4), 0x11);
            out = test::Reply(static_cast<uint8_t>(1 + byte(rng) % 4), static_cast<uint8_t>(byte(rng)),
                              groups, trailing);
            if (byte(rng) < 40) out[static_cast<size_t>(byte(rng)) % out.size()] ^= 0x40;
            if (byte(rng) < 40) out.resize(static_cast<size_t>(byte(rng)) % out.size());
            break;
        }
    }
    return out;
}

TEST(ReceiverRandom, RandomStreamsStayInsideThePointAndNeverStoreSlot31) {
    std::unique_ptr<TConfigModel, ModelDeleter> m(CreateModel());
    for (int p = 0; p < 3; ++p) AppendPoint(*m, u"P", p == 1 ? "COM2" : "COM1", 1.0f, true);
    for (uint8_t a : {1, 2, 3}) AppendDevice(*m, 1, u"D", 0, a, 0xFFFFFFFFu);
    AppendDevice(*m, 0, u"N", 0, 1, 0xFFFFFFFFu);
    AppendDevice(*m, 2, u"N", 0, 1, 0xFFFFFFFFu);
    constexpr float kMark = -12345.0f;
    for (int d = 0; d < 3; ++d) {
        StoreValue(m->points[1].devices[d], 31, kMark);
        StoreQuality(m->points[1].devices[d], 31, 77);
        StoreTimestamp(m->points[1].devices[d], 31, -1.0);
    }
    // Snapshots of everything the receiver of point 1 must not touch.
    const TConnectionPoint before0 = m->points[0];
    const TConnectionPoint before2 = m->points[2];
    auto head = std::make_unique<TConnectionPoint>(m->points[1]);
    const uint8_t pointCount = m->pointCount;

    TInstrumentLines lines(*m);
    double t = 0;
    lines.SetClock([&] { return t += 1.0; });
    std::mt19937 rng(20240607);
    size_t total = 0;
    for (int round = 0; round < 20000; ++round) {
        Bytes chunk = RandomChunk(rng);
        total += chunk.size();
        lines.Receive(1, chunk.data(), chunk.size());
        const TConnectionPoint& p = m->points[1];
        ASSERT_LT(p.receivedCount, 250);
        ASSERT_TRUE(p.expectedLength == 0 || (p.expectedLength >= 5 && p.expectedLength <= 249));
        ASSERT_TRUE(p.receivedCount == 0 || p.rxBuffer[0] == 0xB5);
        for (int i = p.receivedCount; i < kRxBufferSize; ++i) ASSERT_EQ(p.rxBuffer[i], 0) << i;
    }
    const TConnectionPoint& p = m->points[1];
    for (int d = 0; d < 3; ++d) {
        EXPECT_EQ(LoadValue(p.devices[d], 31), kMark);
        EXPECT_EQ(LoadQuality(p.devices[d], 31), 77);
        EXPECT_EQ(LoadTimestamp(p.devices[d], 31), -1.0);
        EXPECT_EQ(p.devices[d].address, d + 1);
        EXPECT_EQ(p.devices[d].paramMask, 0xFFFFFFFFu);
        EXPECT_EQ(p.devices[d].index, d);
        EXPECT_EQ(p.devices[d].pointIndex, 1);
    }
    EXPECT_EQ(std::memcmp(&before0, &m->points[0], sizeof before0), 0);
    EXPECT_EQ(std::memcmp(&before2, &m->points[2], sizeof before2), 0);
    for (int d = 3; d < kMaxDevicesPerPoint; ++d)
        EXPECT_EQ(std::memcmp(&head->devices[d], &p.devices[d], sizeof(TDevice)), 0) << d;
    EXPECT_EQ(std::memcmp(head->name, p.name, sizeof p.name), 0);
    EXPECT_EQ(std::memcmp(head->portName, p.portName, sizeof p.portName), 0);
    EXPECT_EQ(p.deviceCount, 3);
    EXPECT_EQ(p.pollPeriod, 1.0f);
    EXPECT_EQ(p.serialPort, nullptr);
    EXPECT_EQ(p.pollTimer, nullptr);
    EXPECT_EQ(m->pointCount, pointCount);
    EXPECT_GT(total, 100000u);
    // The stream did reach the devices.
    EXPECT_EQ(p.devices[0].replied + p.devices[1].replied + p.devices[2].replied, 3);
}

}  // namespace
}  // namespace qora
