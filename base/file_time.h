// The two time scales of the system, and "now" on each.
//
// FILETIME:  UTC in 100 ns units since 1601-01-01 00:00 (the toolkit's item timestamps, the OPC UA
//            DateTime on the wire).
// TDateTime: local wall-clock time in days since 1899-12-30 00:00, the fraction being the time of
//            day (the slot timestamps of the records, shown by the window).
//
// Unix milliseconds (UTC since 1970-01-01) link the two. The local-time offset comes from the C
// library (localtime_r and its tm_gmtoff), so it follows TZ and the zone's daylight-saving rules.
#pragma once

#include <chrono>
#include <cmath>
#include <cstdint>
#include <ctime>

namespace qora {

inline constexpr int64_t kFileTimeTicksPerMs = 10000;  // 100 ns units in a millisecond
inline constexpr int64_t kMsPerDay = 86400000;
// 1970-01-01 00:00 UTC in FILETIME units: the 134774 days from 1601-01-01 (369 years, 89 of them leap).
inline constexpr int64_t kFileTimeUnixEpoch = 134774LL * kMsPerDay * kFileTimeTicksPerMs;
// 1970-01-01 00:00 as TDateTime: 25569 days from 1899-12-30.
inline constexpr int64_t kDateTimeUnixEpochDays = 25569;

// UTC milliseconds since 1970 <-> FILETIME. Milliseconds are rounded toward earlier times, also
// before 1970.
constexpr uint64_t UnixMsToFileTime(int64_t unixMs) {
    return static_cast<uint64_t>(kFileTimeUnixEpoch + unixMs * kFileTimeTicksPerMs);
}
constexpr int64_t FileTimeToUnixMs(uint64_t ft) {
    const int64_t ticks = static_cast<int64_t>(ft) - kFileTimeUnixEpoch;
    const int64_t ms = ticks / kFileTimeTicksPerMs;
    return ms * kFileTimeTicksPerMs > ticks ? ms - 1 : ms;
}

// Local wall-clock milliseconds since 1970-01-01 (UTC milliseconds plus the zone's offset at that
// instant) <-> TDateTime. Before 1899-12-30 the whole days count backwards while the fraction still
// counts the time of day forwards: 1899-12-29 06:00 is -1.25. The way back rounds to the nearest
// millisecond.
constexpr double LocalMsToDateTime(int64_t localMs) {
    const int64_t sinceZero = localMs + kDateTimeUnixEpochDays * kMsPerDay;
    if (sinceZero >= 0)
        return static_cast<double>(kDateTimeUnixEpochDays) + static_cast<double>(localMs) / kMsPerDay;
    const int64_t days = (sinceZero - (kMsPerDay - 1)) / kMsPerDay;  // rounded toward earlier days
    const int64_t timeMs = sinceZero - days * kMsPerDay;
    return static_cast<double>(days) - static_cast<double>(timeMs) / kMsPerDay;
}
inline int64_t DateTimeToLocalMs(double dt) {
    if (dt >= 0) return std::llround((dt - static_cast<double>(kDateTimeUnixEpochDays)) * kMsPerDay);
    const double days = std::trunc(dt);
    const double timeOfDay = days - dt;
    return (static_cast<int64_t>(days) - kDateTimeUnixEpochDays) * kMsPerDay +
           std::llround(timeOfDay * kMsPerDay);
}

// The local zone's offset from UTC in milliseconds at the UTC instant unixMs (east positive).
inline int64_t LocalOffsetMs(int64_t unixMs) {
    const int64_t secs = unixMs >= 0 ? unixMs / 1000 : -((-unixMs + 999) / 1000);
    const std::time_t t = static_cast<std::time_t>(secs);
    std::tm local{};
    if (localtime_r(&t, &local) == nullptr) return 0;
    return static_cast<int64_t>(local.tm_gmtoff) * 1000;
}

// UTC instant -> local TDateTime.
inline double FileTimeToDateTime(uint64_t ft) {
    const int64_t unixMs = FileTimeToUnixMs(ft);
    return LocalMsToDateTime(unixMs + LocalOffsetMs(unixMs));
}

// Local TDateTime -> UTC instant. A wall-clock time that occurs twice (the hour repeated when
// daylight saving ends) is taken as its later instant; one that does not occur (the hour skipped
// when it begins) is read with the offset in force before the change, so 02:30 on a night the
// clocks go from 02:00 to 03:00 becomes 03:30. Zone changes are assumed to be more than a day
// apart.
inline uint64_t DateTimeToFileTime(double dt) {
    const int64_t localMs = DateTimeToLocalMs(dt);
    // The offsets a day before and a day after hold on either side of any change near localMs.
    const int64_t before = localMs - LocalOffsetMs(localMs - kMsPerDay);
    const int64_t after = localMs - LocalOffsetMs(localMs + kMsPerDay);
    const auto occurs = [localMs](int64_t unixMs) { return unixMs + LocalOffsetMs(unixMs) == localMs; };
    if (occurs(after) && (!occurs(before) || after > before)) return UnixMsToFileTime(after);
    return UnixMsToFileTime(before);
}

// Now as FILETIME (100 ns resolution) and as local TDateTime (millisecond resolution).
inline uint64_t NowFileTime() {
    using namespace std::chrono;
    const int64_t ticks = duration_cast<nanoseconds>(system_clock::now().time_since_epoch()).count() / 100;
    return static_cast<uint64_t>(kFileTimeUnixEpoch + ticks);
}
inline double NowDateTime() {
    using namespace std::chrono;
    const int64_t unixMs = duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count();
    return LocalMsToDateTime(unixMs + LocalOffsetMs(unixMs));
}

}  // namespace qora
