#include "config/datetime.h"

#include <chrono>
#include <cmath>
#include <ctime>

namespace qora {

uint64_t UnixMsToFileTime(int64_t unixMs) {
    return static_cast<uint64_t>(kFileTimeUnixEpoch + unixMs * 10000);
}

int64_t FileTimeToUnixMs(uint64_t ft) { return (static_cast<int64_t>(ft) - kFileTimeUnixEpoch) / 10000; }

double LocalMsToDateTime(int64_t localMs) {
    return kDateTimeUnixEpoch + static_cast<double>(localMs) / 86400000.0;
}

int64_t DateTimeToLocalMs(double dt) {
    return static_cast<int64_t>(std::llround((dt - kDateTimeUnixEpoch) * 86400000.0));
}

uint64_t NowFileTime() {
    using namespace std::chrono;
    const auto ns = duration_cast<nanoseconds>(system_clock::now().time_since_epoch()).count();
    return static_cast<uint64_t>(kFileTimeUnixEpoch + ns / 100);
}

double NowDateTime() {
    using namespace std::chrono;
    const auto now = system_clock::now();
    const int64_t ms = duration_cast<milliseconds>(now.time_since_epoch()).count();
    const std::time_t secs = static_cast<std::time_t>(ms / 1000);
    std::tm local{};
    localtime_r(&secs, &local);
    return LocalMsToDateTime(ms + static_cast<int64_t>(local.tm_gmtoff) * 1000);
}

}  // namespace qora
