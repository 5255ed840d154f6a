#include "config/config_file.h"

#include <array>
#include <cstring>

#include "config/file_io.h"

namespace qora {

namespace {

// Offsets within the file header: the signature with its zero byte at 0, then these.
constexpr size_t kHdrVersion = 9;
constexpr size_t kHdrCrc = 11;  // high byte first
constexpr size_t kHdrBlockSize =
    13;  // the block the CRC covers starts here: its size, the point count, the points
constexpr size_t kHdrPointCount = 17;
static_assert(kHdrPointCount + 1 == kCfgHeaderSize);

// Offsets within a connection point image.
constexpr size_t kPtIndex = 0;
constexpr size_t kPtName = 2;
constexpr size_t kPtReserved = 104;
constexpr size_t kPtPortName = 105;
constexpr size_t kPtBaudCode = 125;
constexpr size_t kPtDataBitsCode = 126;
constexpr size_t kPtParityCode = 127;
constexpr size_t kPtStopBitsCode = 128;
constexpr size_t kPtDeviceCount = 90248;
constexpr size_t kPtPollPeriod = 90252;
constexpr size_t kPtCurrentDevice = 90256;
constexpr size_t kPtActive = 90257;
constexpr size_t kPtRxBuffer = 90258;
constexpr size_t kPtExpectedLength = 90514;
constexpr size_t kPtReceivedCount = 90515;
// 90516 serial port reference, 90520 poll timer reference, 90524 reserved: written as zero.

// Offsets within a device image.
constexpr size_t kDvIndex = 0;
constexpr size_t kDvPointIndex = 4;
constexpr size_t kDvName = 8;
constexpr size_t kDvTypeIndex = 110;
constexpr size_t kDvAddress = 111;
constexpr size_t kDvParamMask = 112;
constexpr size_t kDvValues = 116;
constexpr size_t kDvQualities = 244;
constexpr size_t kDvItemNumbers = 308;
constexpr size_t kDvTimestamps = 440;
constexpr size_t kDvReplied = 696;
constexpr size_t kDvUnanswered = 697;

static_assert(kCfgDevicesOffset + kMaxDevicesPerPoint * kCfgDeviceImageSize == kPtDeviceCount);
static_assert(kDvTimestamps + kParamsPerDevice * 8 == kDvReplied);

// The standard Modbus table (its high-order and low-order byte tables as one 16-bit table).
constexpr std::array<uint16_t, 256> MakeCrcTable() {
    std::array<uint16_t, 256> t{};
    for (unsigned i = 0; i < 256; ++i) {
        uint16_t c = static_cast<uint16_t>(i);
        for (int k = 0; k < 8; ++k)
            c = (c & 1) ? static_cast<uint16_t>((c >> 1) ^ 0xA001) : static_cast<uint16_t>(c >> 1);
        t[i] = c;
    }
    return t;
}
constexpr std::array<uint16_t, 256> kCrcTable = MakeCrcTable();

void Put16(uint8_t* p, uint16_t v) {
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
}
void Put32(uint8_t* p, uint32_t v) {
    for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}
void Put64(uint8_t* p, uint64_t v) {
    for (int i = 0; i < 8; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}
void PutF32(uint8_t* p, float f) {
    uint32_t v;
    std::memcpy(&v, &f, 4);
    Put32(p, v);
}
void PutF64(uint8_t* p, double f) {
    uint64_t v;
    std::memcpy(&v, &f, 8);
    Put64(p, v);
}
uint16_t Get16(const uint8_t* p) {
    return static_cast<uint16_t>(p[0] | (p[1] << 8));
}
uint32_t Get32(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
           (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}
uint64_t Get64(const uint8_t* p) {
    return static_cast<uint64_t>(Get32(p)) | (static_cast<uint64_t>(Get32(p + 4)) << 32);
}
float GetF32(const uint8_t* p) {
    uint32_t v = Get32(p);
    float f;
    std::memcpy(&f, &v, 4);
    return f;
}
double GetF64(const uint8_t* p) {
    uint64_t v = Get64(p);
    double f;
    std::memcpy(&f, &v, 8);
    return f;
}

void PutName(uint8_t* p, const char16_t* name) {
    for (int i = 0; i < kNameUnits; ++i) Put16(p + 2 * i, name[i]);
}
// Returns false when no terminator lies inside the field.
bool GetName(const uint8_t* p, char16_t* name) {
    bool terminated = false;
    for (int i = 0; i < kNameUnits; ++i) {
        name[i] = Get16(p + 2 * i);
        if (name[i] == 0) terminated = true;
    }
    return terminated;
}

void EncodeDevice(const TDevice& d, uint8_t* r) {
    r[kDvIndex] = d.index;
    Put32(r + kDvPointIndex, static_cast<uint32_t>(d.pointIndex));
    PutName(r + kDvName, d.name);
    r[kDvTypeIndex] = d.typeIndex;
    r[kDvAddress] = d.address;
    Put32(r + kDvParamMask, LoadMask(d));
    for (int k = 0; k < kParamsPerDevice; ++k) {
        PutF32(r + kDvValues + 4 * k, LoadValue(d, k));
        Put16(r + kDvQualities + 2 * k, LoadQuality(d, k));
        Put32(r + kDvItemNumbers + 4 * k, static_cast<uint32_t>(LoadItemNumber(d, k)));
        PutF64(r + kDvTimestamps + 8 * k, LoadTimestamp(d, k));
    }
    r[kDvReplied] = d.replied;
    r[kDvUnanswered] = d.unanswered;
}

void EncodePoint(const TConnectionPoint& p, uint8_t* q) {
    q[kPtIndex] = p.index;
    PutName(q + kPtName, p.name);
    q[kPtReserved] = p.reserved;
    std::memcpy(q + kPtPortName, p.portName, kPortNameBytes);
    q[kPtBaudCode] = p.baudCode;
    q[kPtDataBitsCode] = p.dataBitsCode;
    q[kPtParityCode] = p.parityCode;
    q[kPtStopBitsCode] = p.stopBitsCode;
    const int count = std::min<int>(p.deviceCount, kMaxDevicesPerPoint);
    for (int d = 0; d < count; ++d)
        EncodeDevice(p.devices[d], q + kCfgDevicesOffset + d * kCfgDeviceImageSize);
    q[kPtDeviceCount] = p.deviceCount;
    PutF32(q + kPtPollPeriod, p.pollPeriod);
    q[kPtCurrentDevice] = p.currentDevice;
    q[kPtActive] = p.active;
    std::memcpy(q + kPtRxBuffer, p.rxBuffer, kRxBufferSize);
    q[kPtExpectedLength] = p.expectedLength;
    q[kPtReceivedCount] = p.receivedCount;
}

bool DecodeDevice(const uint8_t* r, int slot, int point, TDevice& d) {
    d.index = r[kDvIndex];
    d.pointIndex = static_cast<int32_t>(Get32(r + kDvPointIndex));
    const bool named = GetName(r + kDvName, d.name);
    d.typeIndex = r[kDvTypeIndex];
    d.address = r[kDvAddress];
    d.paramMask = Get32(r + kDvParamMask);
    for (int k = 0; k < kParamsPerDevice; ++k) {
        StoreValue(d, k, GetF32(r + kDvValues + 4 * k));
        StoreQuality(d, k, Get16(r + kDvQualities + 2 * k));
        StoreItemNumber(d, k, static_cast<int32_t>(Get32(r + kDvItemNumbers + 4 * k)));
        StoreTimestamp(d, k, GetF64(r + kDvTimestamps + 8 * k));
    }
    d.replied = r[kDvReplied];
    d.unanswered = r[kDvUnanswered];
    return named && d.index == slot && d.pointIndex == point && d.typeIndex < kMaxDeviceTypes &&
           d.address >= kMinAddress && d.address <= kMaxAddress;
}

bool DecodePoint(const uint8_t* q, int slot, TConnectionPoint& p) {
    p.index = q[kPtIndex];
    const bool named = GetName(q + kPtName, p.name);
    p.reserved = q[kPtReserved];
    std::memcpy(p.portName, q + kPtPortName, kPortNameBytes);
    p.baudCode = q[kPtBaudCode];
    p.dataBitsCode = q[kPtDataBitsCode];
    p.parityCode = q[kPtParityCode];
    p.stopBitsCode = q[kPtStopBitsCode];
    p.deviceCount = q[kPtDeviceCount];
    p.pollPeriod = GetF32(q + kPtPollPeriod);
    p.currentDevice = q[kPtCurrentDevice];
    p.active = q[kPtActive];
    std::memcpy(p.rxBuffer, q + kPtRxBuffer, kRxBufferSize);
    p.expectedLength = q[kPtExpectedLength];
    p.receivedCount = q[kPtReceivedCount];
    p.serialPort = nullptr;
    p.pollTimer = nullptr;
    const bool portTerminated = std::memchr(p.portName, 0, kPortNameBytes) != nullptr;
    if (!named || !portTerminated || p.index != slot || p.deviceCount > kMaxDevicesPerPoint ||
        p.currentDevice >= kMaxDevicesPerPoint)
        return false;
    // Device slots at or above the count stay zero, whatever the file holds there.
    for (int d = 0; d < p.deviceCount; ++d)
        if (!DecodeDevice(q + kCfgDevicesOffset + d * kCfgDeviceImageSize, d, slot, p.devices[d]))
            return false;
    return true;
}

}  // namespace

uint16_t Crc16Modbus(const uint8_t* data, size_t size) {
    uint16_t crc = 0xFFFF;
    for (size_t i = 0; i < size; ++i)
        crc = static_cast<uint16_t>((crc >> 8) ^ kCrcTable[(crc ^ data[i]) & 0xFF]);
    return crc;
}

std::vector<uint8_t> EncodeConfig(const TConfigModel& model) {
    const int n = std::min<int>(model.pointCount, kMaxPoints);
    std::vector<uint8_t> file(kCfgHeaderSize + static_cast<size_t>(n) * kCfgPointImageSize, 0);
    std::memcpy(file.data(), kCfgSignature,
                sizeof kCfgSignature);  // the eight characters and their zero byte
    Put16(file.data() + kHdrVersion, kCfgVersion);
    const uint32_t blockSize =
        static_cast<uint32_t>(kCfgHeaderSize - kHdrBlockSize + static_cast<size_t>(n) * kCfgPointImageSize);
    Put32(file.data() + kHdrBlockSize, blockSize);
    file[kHdrPointCount] = static_cast<uint8_t>(n);
    for (int s = 0; s < n; ++s)
        EncodePoint(model.points[s], file.data() + kCfgHeaderSize + s * kCfgPointImageSize);
    // The CRC's length is a 16-bit count: it covers only the start of a block with points.
    const uint16_t crc = Crc16Modbus(file.data() + kHdrBlockSize, blockSize & 0xFFFFu);
    file[kHdrCrc] = static_cast<uint8_t>(crc >> 8);
    file[kHdrCrc + 1] = static_cast<uint8_t>(crc & 0xFF);
    return file;
}

DecodeStatus DecodeConfig(std::span<const uint8_t> file, TConfigModel& model) {
    ClearModel(model);
    const size_t size = file.size();
    const uint8_t* b = file.data();
    const void* zero = size > 0 ? std::memchr(b, 0, size) : nullptr;
    if (zero == nullptr) return DecodeStatus::BadSignature;
    const size_t sigLen = static_cast<size_t>(static_cast<const uint8_t*>(zero) - b);
    if (sigLen != sizeof kCfgSignature - 1 || std::memcmp(b, kCfgSignature, sigLen) != 0)
        return DecodeStatus::BadSignature;
    if (size < kCfgHeaderSize) return DecodeStatus::Truncated;
    // The version (kHdrVersion) is not checked.
    const uint16_t storedCrc = static_cast<uint16_t>((b[kHdrCrc] << 8) | b[kHdrCrc + 1]);
    const size_t crcLength = Get32(b + kHdrBlockSize) & 0xFFFFu;
    if (kHdrBlockSize + crcLength > size) return DecodeStatus::Truncated;
    if (Crc16Modbus(b + kHdrBlockSize, crcLength) != storedCrc) return DecodeStatus::BadCrc;
    const int n = b[kHdrPointCount];
    if (n > kMaxPoints) return DecodeStatus::TooManyPoints;
    if (size < kCfgHeaderSize + static_cast<size_t>(n) * kCfgPointImageSize) return DecodeStatus::Truncated;
    for (int s = 0; s < n; ++s) {
        if (!DecodePoint(b + kCfgHeaderSize + s * kCfgPointImageSize, s, model.points[s])) {
            ClearModel(model);
            return DecodeStatus::BadRecords;
        }
    }
    model.pointCount = static_cast<uint8_t>(n);
    return DecodeStatus::Ok;
}

TConfigReadResult ReadConfigFile(const QString& path, TConfigModel& model) {
    TConfigReadResult result;
    ClearModel(model);
    std::vector<uint8_t> bytes;
    QString error;
    // Nothing beyond the largest possible file is ever looked at.
    if (ReadFileBytes(path, bytes, kCfgMaxFileSize, &error) != FileReadStatus::Ok) {
        result.status = TConfigReadResult::Status::OpenFailed;
        result.message = error;
        return result;
    }
    result.decode = DecodeConfig(bytes, model);
    if (result.decode == DecodeStatus::Ok) {
        result.status = TConfigReadResult::Status::Loaded;
    } else {
        result.status = TConfigReadResult::Status::Refused;
        result.message = QString::fromUtf16(kMsgNotConfigFile);
    }
    return result;
}

TConfigWriteResult WriteConfigFile(const QString& path, const TConfigModel& model, ReplaceMode mode) {
    TConfigWriteResult result;
    const std::vector<uint8_t> file = EncodeConfig(model);
    result.ok = WriteFileAtomically(path, file.data(), file.size(), &result.error, mode, &result.errorNumber);
    return result;
}

}  // namespace qora
