// Wall clock of the endpoint as an OPC UA DateTime: 100 ns units since 1601-01-01 UTC, the
// FILETIME scale of the shared time module.
#pragma once

#include <cstdint>

#include "base/file_time.h"

namespace qora::ua {

inline constexpr double kDateTimeUnitsPerMs = static_cast<double>(kFileTimeTicksPerMs);

inline int64_t UaNow() {
    return static_cast<int64_t>(NowFileTime());
}

}  // namespace qora::ua
