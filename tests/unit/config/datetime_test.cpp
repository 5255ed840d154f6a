#include "config/datetime.h"

#include <gtest/gtest.h>

#include <cmath>

using namespace qora;

TEST(DateTime, EpochConversionsMatchKnownValues) {
    EXPECT_EQ(UnixMsToFileTime(0), 116444736000000000ULL);
    EXPECT_EQ(FileTimeToUnixMs(116444736000000000ULL), 0);
    // 2000-01-01 00:00:00 UTC = 946684800 s.
    EXPECT_EQ(UnixMsToFileTime(946684800000LL), 125911584000000000ULL);
    EXPECT_DOUBLE_EQ(LocalMsToDateTime(0), 25569.0);
    EXPECT_DOUBLE_EQ(LocalMsToDateTime(-25569LL * 86400000LL), 0.0);       // 1899-12-30
    EXPECT_DOUBLE_EQ(LocalMsToDateTime(946684800000LL + 43200000LL), 36526.5);  // 2000-01-01 12:00
    EXPECT_EQ(DateTimeToLocalMs(36526.5), 946684800000LL + 43200000LL);
}

TEST(DateTime, NowIsConsistentBetweenClocks) {
    const uint64_t ft = NowFileTime();
    EXPECT_GT(ft, UnixMsToFileTime(1700000000000LL));
    const double dt = NowDateTime();
    // Local and UTC differ by at most 14 hours.
    const double utcDays = LocalMsToDateTime(FileTimeToUnixMs(ft));
    EXPECT_LT(std::abs(dt - utcDays), 14.0 / 24.0 + 0.001);
}
