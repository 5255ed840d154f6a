// libFuzzer target for the configuration file reader: any input is either refused with the
// points left empty or loaded within the model's limits. Build with -DQORA_FUZZ=ON and clang.
//
// A random file would almost never carry the right CRC, so the target writes the CRC of the
// input's block into its header before decoding (unless the version's first byte is 0xEE, which
// keeps the input's own CRC so the refusal path is fuzzed too). The checks look only at the
// slots the decoder may have written (those the file announces), so the work per input grows
// with the input and not with the size of the whole model.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <span>
#include <vector>

#include "config/config_file.h"

namespace {

constexpr uint8_t kKeepCrcMarker = 0xEE;

qora::TConfigModel* Model() {
    static qora::TConfigModel* m = qora::CreateModel();
    return m;
}

bool Zero(const void* p, size_t n) {
    const auto* b = static_cast<const unsigned char*>(p);
    return n == 0 || (b[0] == 0 && std::memcmp(b, b + 1, n - 1) == 0);
}

void Check(bool ok) {
    if (!ok) std::abort();
}

// The input with the CRC of its block in the header, as the writer would have put it there.
std::span<const uint8_t> WithFixedCrc(const uint8_t* data, size_t size) {
    static std::vector<uint8_t> copy;
    if (size < qora::kCfgHeaderSize || data[9] == kKeepCrcMarker) return {data, size};
    copy.assign(data, data + size);
    const size_t length = (static_cast<size_t>(copy[13]) | (static_cast<size_t>(copy[14]) << 8)) & 0xFFFFu;
    if (13 + length > size) return copy;
    const uint16_t crc = qora::Crc16Modbus(copy.data() + 13, length);
    copy[11] = static_cast<uint8_t>(crc >> 8);
    copy[12] = static_cast<uint8_t>(crc & 0xFF);
    return copy;
}

void CheckPoint(const qora::TConnectionPoint& p, int s) {
    using namespace qora;
    Check(p.index == s && p.deviceCount <= kMaxDevicesPerPoint && p.currentDevice < kMaxDevicesPerPoint);
    Check(p.serialPort == nullptr && p.pollTimer == nullptr);
    for (int d = 0; d < p.deviceCount; ++d) {
        const TDevice& dev = p.devices[d];
        Check(dev.index == d && dev.pointIndex == s && dev.typeIndex < kMaxDeviceTypes);
        Check(dev.address >= kMinAddress && dev.address <= kMaxAddress);
    }
    // Device slots at or above the count stay zero, whatever the file holds there.
    Check(Zero(&p.devices[p.deviceCount], (kMaxDevicesPerPoint - p.deviceCount) * sizeof(TDevice)));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace qora;
    TConfigModel& m = *Model();
    const std::span<const uint8_t> file = WithFixedCrc(data, size);
    const DecodeStatus st = DecodeConfig(file, m);
    Check(m.pointCount <= kMaxPoints);
    if (st != DecodeStatus::Ok) Check(m.pointCount == 0);
    // The decoder writes at most the slots the file announces.
    const int announced = file.size() >= kCfgHeaderSize ? std::min<int>(file[17], kMaxPoints) : 0;
    for (int s = 0; s < m.pointCount; ++s) CheckPoint(m.points[s], s);
    for (int s = m.pointCount; s < announced; ++s) Check(Zero(&m.points[s], sizeof(TConnectionPoint)));
    // What was accepted encodes back to an acceptable file with the same points.
    if (st == DecodeStatus::Ok) {
        const std::vector<uint8_t> again = EncodeConfig(m);
        static TConfigModel* other = CreateModel();
        Check(DecodeConfig(again, *other) == DecodeStatus::Ok);
        Check(other->pointCount == m.pointCount);
        Check(std::memcmp(other->points, m.points, m.pointCount * sizeof(TConnectionPoint)) == 0);
    }
    return 0;
}
