#include "base/file_time.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <optional>
#include <string>

using namespace qora;

namespace {

constexpr int64_t kHourMs = 3600000;

// Fixed dates on the three scales, computed independently of the code under test.
struct Instant {
    const char* what;
    int64_t unixMs;  // UTC
    uint64_t fileTime;
    double dateTime;  // the same wall-clock reading as TDateTime (in UTC, i.e. with a zero offset)
};

constexpr Instant kInstants[] = {
    {"1601-01-01, FILETIME zero", -11644473600000LL, 0ULL, -109205.0},
    {"1899-12-30, TDateTime zero", -2209161600000LL, 94353120000000000ULL, 0.0},
    {"1900-03-01, after a February of 28 days", -2203891200000LL, 94405824000000000ULL, 61.0},
    {"1970-01-01, Unix epoch", 0, 116444736000000000ULL, 25569.0},
    {"2000-02-29, leap day of a century divisible by 400", 951782400000LL, 125962560000000000ULL, 36585.0},
    {"2000-03-01", 951868800000LL, 125963424000000000ULL, 36586.0},
    {"2024-02-29 12:00, leap day", 1709208000000LL, 133536816000000000ULL, 45351.5},
    {"2024-03-01", 1709251200000LL, 133537248000000000ULL, 45352.0},
    {"2100-02-28, century that is not a leap year", 4107456000000LL, 157519296000000000ULL, 73109.0},
    {"2100-03-01", 4107542400000LL, 157520160000000000ULL, 73110.0},
    {"9999-12-31", 253402214400000LL, 2650466880000000000ULL, 2958465.0},
};

// Sets TZ for one test and puts the previous value back.
class FileTimeInZone : public ::testing::Test {
  protected:
    FileTimeInZone() {
        if (const char* tz = std::getenv("TZ")) saved_ = tz;
    }
    ~FileTimeInZone() override {
        if (saved_) {
            ::setenv("TZ", saved_->c_str(), 1);
        } else {
            ::unsetenv("TZ");
        }
        ::tzset();
    }
    static void SetZone(const char* tz) {
        ::setenv("TZ", tz, 1);
        ::tzset();
    }

  private:
    std::optional<std::string> saved_;
};

// POSIX zone rules, so that the tests need no zone database.
constexpr const char* kCentralEurope = "CET-1CEST,M3.5.0,M10.5.0/3";  // +1, +2 from the last Sunday of March
constexpr const char* kUsEastern = "EST5EDT,M3.2.0,M11.1.0";  // -5, -4 from the second Sunday of March
constexpr const char* kUtc = "UTC0";

// Local wall-clock reading as TDateTime, for the tables below.
double Local(int64_t unixMsOfReadingAsUtc) {
    return LocalMsToDateTime(unixMsOfReadingAsUtc);
}

}  // namespace

TEST(FileTime, FixedInstantsMatchOnAllThreeScales) {
    for (const Instant& i : kInstants) {
        SCOPED_TRACE(i.what);
        EXPECT_EQ(UnixMsToFileTime(i.unixMs), i.fileTime);
        EXPECT_EQ(FileTimeToUnixMs(i.fileTime), i.unixMs);
        EXPECT_DOUBLE_EQ(LocalMsToDateTime(i.unixMs), i.dateTime);
        EXPECT_EQ(DateTimeToLocalMs(i.dateTime), i.unixMs);
    }
    static_assert(kFileTimeUnixEpoch == 116444736000000000LL);
    static_assert(UnixMsToFileTime(-11644473600000LL) == 0);
}

TEST(FileTime, MillisecondsRoundTowardEarlierTimesOnBothSidesOfNineteenSeventy) {
    EXPECT_EQ(FileTimeToUnixMs(kFileTimeUnixEpoch + 9999), 0);
    EXPECT_EQ(FileTimeToUnixMs(kFileTimeUnixEpoch + 10000), 1);
    EXPECT_EQ(FileTimeToUnixMs(kFileTimeUnixEpoch - 1), -1);
    EXPECT_EQ(FileTimeToUnixMs(kFileTimeUnixEpoch - 10000), -1);
    EXPECT_EQ(FileTimeToUnixMs(kFileTimeUnixEpoch - 10001), -2);
    EXPECT_EQ(FileTimeToUnixMs(1), -11644473600000LL);
}

TEST(FileTime, DateTimeBeforeItsZeroCountsDaysBackAndTheTimeOfDayForward) {
    const int64_t zero = -2209161600000LL;  // 1899-12-30 00:00
    struct Case {
        int64_t localMs;
        double dateTime;
    } cases[] = {
        {zero - 18 * kHourMs, -1.25},                 // 1899-12-29 06:00, as the window shows it
        {zero - kMsPerDay, -1.0},                     // 1899-12-29 00:00
        {zero - 6 * kHourMs, -1.75},                  // 1899-12-29 18:00
        {zero - 2 * kMsPerDay + 6 * kHourMs, -2.25},  // 1899-12-28 06:00
        {zero + 6 * kHourMs, 0.25},                   // 1899-12-30 06:00
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.dateTime);
        EXPECT_DOUBLE_EQ(LocalMsToDateTime(c.localMs), c.dateTime);
        EXPECT_EQ(DateTimeToLocalMs(c.dateTime), c.localMs);
    }
    // The last millisecond before the zero day.
    EXPECT_EQ(DateTimeToLocalMs(LocalMsToDateTime(zero - 1)), zero - 1);
}

TEST(FileTime, DateTimeRoundTripsEveryMillisecondItHolds) {
    // From 1700 to 2200, at a step that visits every time of day over the range.
    for (int64_t ms = -8520336000000LL; ms < 7258118400000LL; ms += 86399999LL * 7 + 12345) {
        ASSERT_EQ(DateTimeToLocalMs(LocalMsToDateTime(ms)), ms) << ms;
        ASSERT_EQ(FileTimeToUnixMs(UnixMsToFileTime(ms)), ms) << ms;
    }
}

TEST_F(FileTimeInZone, LocalOffsetFollowsTheZoneRules) {
    SetZone(kCentralEurope);
    EXPECT_EQ(LocalOffsetMs(1704067200000LL), kHourMs);      // 2024-01-01
    EXPECT_EQ(LocalOffsetMs(1719792000000LL), 2 * kHourMs);  // 2024-07-01
    EXPECT_EQ(LocalOffsetMs(-1), kHourMs);                   // 1969-12-31 23:59:59.999
    SetZone(kUsEastern);
    EXPECT_EQ(LocalOffsetMs(1704067200000LL), -5 * kHourMs);
    EXPECT_EQ(LocalOffsetMs(1719792000000LL), -4 * kHourMs);
    SetZone(kUtc);
    EXPECT_EQ(LocalOffsetMs(1719792000000LL), 0);
}

// Daylight-saving changes in 2024: Central Europe at 01:00 UTC on 31 March and 27 October,
// US Eastern at 07:00 UTC on 10 March and 06:00 UTC on 3 November.
TEST_F(FileTimeInZone, UtcToLocalAcrossDaylightSavingChanges) {
    struct Case {
        const char* zone;
        int64_t utcMs;
        int64_t localReadingMs;  // the wall clock, written as if it were UTC
    } cases[] = {
        {kCentralEurope, 1711846799000LL, 1711850399000LL},  // 00:59:59Z = 01:59:59 CET
        {kCentralEurope, 1711846800000LL, 1711854000000LL},  // 01:00:00Z = 03:00:00 CEST
        {kCentralEurope, 1729989000000LL, 1729996200000LL},  // 00:30Z = 02:30 CEST
        {kCentralEurope, 1729992600000LL, 1729996200000LL},  // 01:30Z = 02:30 CET, again
        {kUsEastern, 1710053940000LL, 1710035940000LL},      // 06:59Z = 01:59 EST
        {kUsEastern, 1710054000000LL, 1710039600000LL},      // 07:00Z = 03:00 EDT
        {kUsEastern, 1730611800000LL, 1730597400000LL},      // 05:30Z = 01:30 EDT
        {kUsEastern, 1730615400000LL, 1730597400000LL},      // 06:30Z = 01:30 EST, again
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.zone) + " " + std::to_string(c.utcMs));
        SetZone(c.zone);
        EXPECT_DOUBLE_EQ(FileTimeToDateTime(UnixMsToFileTime(c.utcMs)), Local(c.localReadingMs));
    }
}

TEST_F(FileTimeInZone, LocalToUtcTakesTheLaterOfARepeatedHourAndSkipsForwardOverAMissingOne) {
    struct Case {
        const char* zone;
        int64_t localReadingMs;
        int64_t utcMs;
    } cases[] = {
        {kCentralEurope, 1704110400000LL, 1704106800000LL},  // 2024-01-01 12:00 CET = 11:00Z
        {kCentralEurope, 1711848600000LL, 1711845000000LL},  // 31 March 01:30 CET = 00:30Z
        {kCentralEurope, 1711852200000LL, 1711848600000LL},  // 02:30 does not occur: as 03:30 CEST = 01:30Z
        {kCentralEurope, 1711855800000LL, 1711848600000LL},  // 03:30 CEST = 01:30Z
        {kCentralEurope, 1729996200000LL, 1729992600000LL},  // 27 October 02:30 twice: the CET one, 01:30Z
        {kCentralEurope, 1729999800000LL, 1729996200000LL},  // 03:30 CET = 02:30Z
        {kUsEastern, 1710037800000LL, 1710055800000LL},  // 10 March 02:30 does not occur: 03:30 EDT = 07:30Z
        {kUsEastern, 1730597400000LL, 1730615400000LL},  // 3 November 01:30 twice: the EST one, 06:30Z
        {kUsEastern, 1730593800000LL, 1730608200000LL},  // 00:30 EDT = 04:30Z
        {kUtc, 1730597400000LL, 1730597400000LL},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.zone) + " " + std::to_string(c.localReadingMs));
        SetZone(c.zone);
        EXPECT_EQ(DateTimeToFileTime(Local(c.localReadingMs)), UnixMsToFileTime(c.utcMs));
    }
}

TEST_F(FileTimeInZone, UtcRoundTripsThroughLocalTimeExceptTheFirstPassOfARepeatedHour) {
    for (const char* zone : {kCentralEurope, kUsEastern}) {
        SetZone(zone);
        // Through 2024 in steps of 17 minutes 3 seconds.
        for (int64_t ms = 1704067200000LL; ms < 1735689600000LL; ms += 1023000) {
            const uint64_t back = DateTimeToFileTime(FileTimeToDateTime(UnixMsToFileTime(ms)));
            const bool repeated = LocalOffsetMs(ms) - LocalOffsetMs(ms + kHourMs) == kHourMs;
            ASSERT_EQ(back, UnixMsToFileTime(repeated ? ms + kHourMs : ms)) << zone << " " << ms;
        }
    }
}

TEST_F(FileTimeInZone, NowOnBothScalesIsTheSameInstant) {
    SetZone(kCentralEurope);
    const uint64_t before = NowFileTime();
    const double now = NowDateTime();
    const uint64_t after = NowFileTime();
    EXPECT_GT(before, UnixMsToFileTime(1700000000000LL));
    EXPECT_LE(before, after);
    const uint64_t nowAsFileTime = DateTimeToFileTime(now);
    // NowDateTime has millisecond resolution.
    EXPECT_GE(nowAsFileTime + kFileTimeTicksPerMs, before);
    EXPECT_LE(nowAsFileTime, after + kFileTimeTicksPerMs);
}
