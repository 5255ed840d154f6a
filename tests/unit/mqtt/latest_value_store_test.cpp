#include "mqtt/latest_value_store.h"

#include <gtest/gtest.h>

using namespace qora;

namespace {

TItemUpdate U(uint32_t item, float v, uint16_t q = 192) {
    return {item, {v, q, 1000 + int64_t(v)}};
}

TEST(LatestValueStore, KeepsOneWaitingEntryPerItemWhateverTheUpdateCount) {
    TLatestValueStore s(4);
    int replaced = 0;
    for (int round = 0; round < 100000; ++round)
        for (uint32_t i = 0; i < 4; ++i) replaced += s.Put(U(i, float(round))) ? 1 : 0;
    EXPECT_EQ(s.WaitingCount(), 4u);
    EXPECT_EQ(replaced, 4 * 99999);
    std::vector<TItemUpdate> out;
    EXPECT_EQ(s.Take(100, out), 4u);
    for (uint32_t i = 0; i < 4; ++i) {
        EXPECT_EQ(out[i].item, i);
        EXPECT_EQ(out[i].value.value, 99999.0f);  // the latest
    }
    EXPECT_EQ(s.WaitingCount(), 0u);
}

TEST(LatestValueStore, ItemsWaitInTheOrderTheyFirstChanged) {
    TLatestValueStore s(5);
    s.Put(U(3, 1));
    s.Put(U(1, 1));
    s.Put(U(3, 2));  // stays in its place, with the new value
    s.Put(U(4, 1));
    std::vector<TItemUpdate> out;
    s.Take(2, out);
    ASSERT_EQ(out.size(), 2u);
    EXPECT_EQ(out[0].item, 3u);
    EXPECT_EQ(out[0].value.value, 2.0f);
    EXPECT_EQ(out[1].item, 1u);
    s.Put(U(3, 3));  // taken already: waits again, behind 4
    out.clear();
    s.Take(10, out);
    ASSERT_EQ(out.size(), 2u);
    EXPECT_EQ(out[0].item, 4u);
    EXPECT_EQ(out[1].item, 3u);
}

TEST(LatestValueStore, RequeueAllWaitsEveryKnownItemOnceInItemOrder) {
    TLatestValueStore s(6);
    s.Put(U(5, 1));
    s.Put(U(2, 1));
    s.Put(U(0, 1));
    std::vector<TItemUpdate> out;
    s.Take(1, out);  // 5 taken, 2 and 0 still waiting
    s.RequeueAll();
    EXPECT_EQ(s.WaitingCount(), 3u);
    out.clear();
    s.Take(10, out);
    ASSERT_EQ(out.size(), 3u);
    EXPECT_EQ(out[0].item, 0u);
    EXPECT_EQ(out[1].item, 2u);
    EXPECT_EQ(out[2].item, 5u);
}

TEST(LatestValueStore, RequeueIgnoresUnknownWaitingAndOutOfRangeItems) {
    TLatestValueStore s(3);
    s.Requeue(1);   // no value yet
    s.Requeue(99);  // outside
    EXPECT_FALSE(s.Put(U(99, 1)));
    EXPECT_EQ(s.WaitingCount(), 0u);
    s.Put(U(1, 1));
    s.Requeue(1);  // already waiting
    EXPECT_EQ(s.WaitingCount(), 1u);
    std::vector<TItemUpdate> out;
    s.Take(1, out);
    s.Requeue(1);
    EXPECT_EQ(s.WaitingCount(), 1u);
}

TEST(LatestValueStore, WrapsAroundItsRingWithoutLosingItems) {
    TLatestValueStore s(3);
    std::vector<TItemUpdate> out;
    for (int round = 0; round < 10; ++round) {
        for (uint32_t i = 0; i < 3; ++i) s.Put(U((i + uint32_t(round)) % 3, float(round)));
        out.clear();
        s.Take(2, out);
        s.Put(U(out[0].item, float(round) + 0.5f));
        EXPECT_EQ(s.WaitingCount(), 2u);
        out.clear();
        s.Take(5, out);
        EXPECT_EQ(out.size(), 2u);
    }
}

TEST(LatestValueStore, EmptyStoreTakesNothing) {
    TLatestValueStore s(0);
    std::vector<TItemUpdate> out;
    EXPECT_EQ(s.Take(10, out), 0u);
    s.RequeueAll();
    EXPECT_EQ(s.WaitingCount(), 0u);
}

// Each value of an item gets the item's next number: values replaced while waiting leave a gap
// a consumer can see; a requeue (the snapshot) sends the same number again.
TEST(LatestValueStore, SequenceNumbersCountEveryValueOfAnItem) {
    TLatestValueStore s(3);
    s.Put(U(1, 10));
    s.Put(U(2, 20));
    std::vector<TItemUpdate> out;
    s.Take(10, out);
    s.Put(U(1, 11));
    s.Put(U(1, 12));  // replaces 11 unsent
    s.Take(10, out);
    s.RequeueAll();
    s.Take(10, out);
    ASSERT_EQ(out.size(), 5u);
    const uint32_t expected[][2] = {{1, 1}, {2, 1}, {1, 3}, {1, 3}, {2, 1}};
    for (size_t i = 0; i < out.size(); ++i) {
        EXPECT_EQ(out[i].item, expected[i][0]) << i;
        EXPECT_EQ(out[i].value.seq, expected[i][1]) << i;
    }
}

}  // namespace
