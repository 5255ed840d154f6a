// Time conversions shared by the poll cycle, the OPC side and the window.
//
// TDateTime: local time in days since 1899-12-30 00:00 (fraction = time of day).
// FILETIME:  UTC in 100 ns units since 1601-01-01 00:00.
#pragma once

#include <cstdint>

namespace qora {

inline constexpr int64_t kFileTimeUnixEpoch = 116444736000000000LL;  // 1970-01-01 in FILETIME units
inline constexpr double kDateTimeUnixEpoch = 25569.0;                 // 1970-01-01 as TDateTime

// Current UTC time as FILETIME.
uint64_t NowFileTime();
// Current local time as TDateTime.
double NowDateTime();

uint64_t UnixMsToFileTime(int64_t unixMs);
int64_t FileTimeToUnixMs(uint64_t ft);
// Local-time conversions: the caller supplies the local wall-clock milliseconds since
// 1970-01-01 (that is, UTC ms plus the zone offset at that instant).
double LocalMsToDateTime(int64_t localMs);
int64_t DateTimeToLocalMs(double dt);

}  // namespace qora
