// libFuzzer target for the configuration file reader: any input is either refused with the
// points left empty or loaded within the model's limits. Build with -DQORA_FUZZ=ON and clang.
#include "config/config_file.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <span>
#include <vector>

namespace {

qora::TConfigModel* Model() {
    static qora::TConfigModel* m = qora::CreateModel();
    return m;
}

template <typename T>
bool Zero(const T& rec) {
    const auto* b = reinterpret_cast<const unsigned char*>(&rec);
    for (size_t i = 0; i < sizeof(T); ++i)
        if (b[i] != 0) return false;
    return true;
}

void Check(bool ok) {
    if (!ok) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace qora;
    TConfigModel& m = *Model();
    const DecodeStatus st = DecodeConfig(std::span<const uint8_t>(data, size), m);
    Check(m.pointCount <= kMaxPoints);
    if (st != DecodeStatus::Ok) Check(m.pointCount == 0);
    for (int s = 0; s < kMaxPoints; ++s) {
        const TConnectionPoint& p = m.points[s];
        if (s >= m.pointCount) {
            Check(Zero(p));
            continue;
        }
        Check(p.index == s && p.deviceCount <= kMaxDevicesPerPoint && p.currentDevice < kMaxDevicesPerPoint);
        Check(p.serialPort == nullptr && p.pollTimer == nullptr);
        for (int d = 0; d < kMaxDevicesPerPoint; ++d) {
            const TDevice& dev = p.devices[d];
            if (d >= p.deviceCount) {
                Check(Zero(dev));
                continue;
            }
            Check(dev.index == d && dev.pointIndex == s && dev.typeIndex < kMaxDeviceTypes);
            Check(dev.address >= kMinAddress && dev.address <= kMaxAddress);
        }
    }
    // What was accepted encodes back to an acceptable file.
    if (st == DecodeStatus::Ok) {
        const std::vector<uint8_t> again = EncodeConfig(m);
        static TConfigModel* other = CreateModel();
        Check(DecodeConfig(again, *other) == DecodeStatus::Ok);
        Check(std::memcmp(other->points, m.points, sizeof m.points) == 0);
    }
    return 0;
}
