// Wall clock of the endpoint as an OPC UA DateTime: 100 ns units since 1601-01-01 UTC (the
// Windows FILETIME scale). The only place in the endpoint that knows that epoch.
#pragma once

#include <chrono>
#include <cstdint>

namespace qora::ua {

inline constexpr int64_t kUaDateTimeUnixEpoch = 116444736000000000LL;  // 1970-01-01 in DateTime units
inline constexpr double kDateTimeUnitsPerMs = 10000.0;                 // 100 ns units in a millisecond

inline int64_t UaNow() {
    using namespace std::chrono;
    const int64_t unix100ns =
        duration_cast<nanoseconds>(system_clock::now().time_since_epoch()).count() / 100;
    return unix100ns + kUaDateTimeUnixEpoch;
}

}  // namespace qora::ua
