// Configuration model: connection points, devices and their parameter slots.
//
// Fixed-capacity, zero-filled tables allocated once; nothing is allocated per
// point or device. Slot fields that toolkit threads read (values, qualities,
// item numbers, timestamps) are accessed through the atomic_ref helpers at the
// end of this header.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "config/serial_line.h"

class QTimer;

namespace qora {

inline constexpr int kMaxPoints = 50;
inline constexpr int kMaxDevicesPerPoint = 128;
inline constexpr int kParamsPerDevice = 32;
inline constexpr int kMaxDeviceTypes = 64;
inline constexpr int kNameUnits = 51;  // 50 characters + terminator
inline constexpr int kMaxNameChars = 50;
inline constexpr int kPortNameBytes = 20;  // 19 characters + terminator
inline constexpr int kMaxPortNameChars = 19;
inline constexpr int kCatalogUnits = 80;  // entries of the type and parameter name tables
inline constexpr int kMaxCatalogNameChars = 63;
inline constexpr int kRxBufferSize = 256;
inline constexpr int kMinAddress = 1;
inline constexpr int kMaxAddress = 254;

inline constexpr float kNoValue = 9999999.0f;

inline constexpr uint16_t kQualityGood = 192;
inline constexpr uint16_t kQualityNotConnected = 8;
inline constexpr uint16_t kQualityCommFailure = 24;

// A device is silent from the fourth poll in a row without a good reply on: the poll cycle marks
// its slots kQualityCommFailure (kQualityNotConnected before its first reply) and the tree shows
// it faulty.
inline constexpr int kSilentAfterPolls = 4;

// Line setting codes written into every point (19200 baud, 8 data bits, no parity, 2 stop bits).
inline constexpr uint8_t kBaudCode19200 = 9;
inline constexpr uint8_t kDataBitsCode8 = 3;
inline constexpr uint8_t kParityCodeNone = 0;
inline constexpr uint8_t kStopBitsCode2 = 2;

struct TDevice {
    uint8_t index;
    int32_t pointIndex;
    char16_t name[kNameUnits];
    uint8_t typeIndex;
    uint8_t address;
    uint32_t paramMask;
    float values[kParamsPerDevice];
    uint16_t qualities[kParamsPerDevice];
    int32_t itemNumbers[kParamsPerDevice];
    double timestamps[kParamsPerDevice];  // TDateTime, local time
    uint8_t replied;
    uint8_t unanswered;
};

struct TConnectionPoint {
    uint8_t index;
    char16_t name[kNameUnits];
    uint8_t reserved;
    char portName[kPortNameBytes];
    uint8_t baudCode;
    uint8_t dataBitsCode;
    uint8_t parityCode;
    uint8_t stopBitsCode;
    TDevice devices[kMaxDevicesPerPoint];
    uint8_t deviceCount;
    float pollPeriod;  // seconds
    uint8_t currentDevice;
    uint8_t active;
    uint8_t rxBuffer[kRxBufferSize];
    uint8_t expectedLength;
    uint8_t receivedCount;
    ISerialLine* serialPort;  // not owned
    QTimer* pollTimer;        // owned while polling runs
};

// The configuration model proper, plus the catalogue tables read from the settings file.
struct TConfigModel {
    char16_t paramNames[kParamsPerDevice][kCatalogUnits];
    char16_t typeNames[kMaxDeviceTypes][kCatalogUnits];
    uint8_t typeCount;
    uint32_t typeMasks[kMaxDeviceTypes];
    uint8_t pointCount;
    TConnectionPoint points[kMaxPoints];
    uint8_t editedDeviceAddress;
    uint8_t editedDevicePoint;
};

enum class ModelResult {
    Ok,
    TooManyPoints,  // "Достигнуто максимальное количество точек подключения."
    TooManyDevices,  // "К адаптеру подключено максимальное количество устройств."
    BadIndex,
};

inline constexpr std::u16string_view kMsgTooManyPoints =
    u"Достигнуто максимальное количество точек подключения.";
inline constexpr std::u16string_view kMsgTooManyDevices =
    u"К адаптеру подключено максимальное количество устройств.";

// Allocates a zero-filled model (about 4.6 MB); free with DestroyModel or use ModelPtr.
TConfigModel* CreateModel();
void DestroyModel(TConfigModel* model);
struct ModelDeleter {
    void operator()(TConfigModel* m) const { DestroyModel(m); }
};

// Copies at most maxChars UTF-16 units of text into dst (capacity maxChars + 1 units),
// zeroing every unit first, so the field is always terminated and padded with zeros.
void CopyName(char16_t* dst, std::u16string_view text, int maxChars);
// Same for the ANSI port name field.
void CopyPortName(char* dst, std::string_view text);
std::u16string_view NameView(const char16_t* field, int capacity);
std::string_view PortNameView(const char* field);

// Model operations. Callers stop polling first; each leaves every invariant true.
void ClearModel(TConfigModel& m);
ModelResult AppendPoint(TConfigModel& m, std::u16string_view name, std::string_view port, float period,
                        bool active);
ModelResult UpdatePoint(TConfigModel& m, int point, std::u16string_view name, std::string_view port,
                        float period, bool active);
ModelResult DeletePoint(TConfigModel& m, int point);
ModelResult AppendDevice(TConfigModel& m, int point, std::u16string_view name, uint8_t typeIndex,
                         uint8_t address, uint32_t paramMask);
ModelResult UpdateDevice(TConfigModel& m, int point, int device, std::u16string_view name, uint8_t typeIndex,
                         uint8_t address, uint32_t paramMask);
ModelResult DeleteDevice(TConfigModel& m, int point, int device);
// Moves device (point, device) to the last slot of newPoint. Refused when newPoint is full.
ModelResult MoveDevice(TConfigModel& m, int point, int device, int newPoint);

// Returns true when every invariant of the model holds (used by tests and by the file reader).
bool CheckInvariants(const TConfigModel& m, bool checkCatalogue = true);

// Slot access shared between the window thread and the toolkit threads.
inline float LoadValue(const TDevice& d, int k) {
    return std::atomic_ref<float>(const_cast<float&>(d.values[k])).load(std::memory_order_relaxed);
}
inline void StoreValue(TDevice& d, int k, float v) {
    std::atomic_ref<float>(d.values[k]).store(v, std::memory_order_relaxed);
}
inline uint16_t LoadQuality(const TDevice& d, int k) {
    return std::atomic_ref<uint16_t>(const_cast<uint16_t&>(d.qualities[k])).load(std::memory_order_relaxed);
}
inline void StoreQuality(TDevice& d, int k, uint16_t q) {
    std::atomic_ref<uint16_t>(d.qualities[k]).store(q, std::memory_order_relaxed);
}
inline int32_t LoadItemNumber(const TDevice& d, int k) {
    return std::atomic_ref<int32_t>(const_cast<int32_t&>(d.itemNumbers[k])).load(std::memory_order_relaxed);
}
inline void StoreItemNumber(TDevice& d, int k, int32_t n) {
    std::atomic_ref<int32_t>(d.itemNumbers[k]).store(n, std::memory_order_relaxed);
}
inline double LoadTimestamp(const TDevice& d, int k) {
    return std::atomic_ref<double>(const_cast<double&>(d.timestamps[k])).load(std::memory_order_relaxed);
}
inline void StoreTimestamp(TDevice& d, int k, double t) {
    std::atomic_ref<double>(d.timestamps[k]).store(t, std::memory_order_relaxed);
}
inline uint32_t LoadMask(const TDevice& d) {
    return std::atomic_ref<uint32_t>(const_cast<uint32_t&>(d.paramMask)).load(std::memory_order_relaxed);
}

}  // namespace qora
