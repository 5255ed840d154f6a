#include "config/records.h"

#include <QTimer>
#include <algorithm>
#include <cstring>
#include <new>

namespace qora {

TConfigModel* CreateModel() {
    auto* m = static_cast<TConfigModel*>(::operator new(sizeof(TConfigModel)));
    std::memset(static_cast<void*>(m), 0, sizeof(TConfigModel));
    return m;
}

void DestroyModel(TConfigModel* model) {
    if (model == nullptr) return;
    for (auto& p : model->points) {
        delete p.pollTimer;
        p.pollTimer = nullptr;
    }
    ::operator delete(model);
}

void CopyName(char16_t* dst, std::u16string_view text, int maxChars) {
    std::memset(dst, 0, sizeof(char16_t) * static_cast<size_t>(maxChars + 1));
    size_t n = std::min(text.size(), static_cast<size_t>(maxChars));
    // Never leave half of a surrogate pair at the cut.
    if (n > 0 && n < text.size() && text[n - 1] >= 0xD800 && text[n - 1] <= 0xDBFF) --n;
    // A terminator inside the text ends the name.
    size_t z = text.substr(0, n).find(u'\0');
    if (z != std::u16string_view::npos) n = z;
    std::memcpy(dst, text.data(), n * sizeof(char16_t));
}

void CopyPortName(char* dst, std::string_view text) {
    std::memset(dst, 0, kPortNameBytes);
    size_t n = std::min(text.size(), static_cast<size_t>(kMaxPortNameChars));
    size_t z = text.substr(0, n).find('\0');
    if (z != std::string_view::npos) n = z;
    std::memcpy(dst, text.data(), n);
}

std::u16string_view NameView(const char16_t* field, int capacity) {
    int n = 0;
    while (n < capacity && field[n] != 0) ++n;
    return {field, static_cast<size_t>(n)};
}

std::string_view PortNameView(const char* field) {
    int n = 0;
    while (n < kPortNameBytes && field[n] != 0) ++n;
    return {field, static_cast<size_t>(n)};
}

namespace {

void ZeroPoint(TConnectionPoint& p) {
    std::memset(static_cast<void*>(&p), 0, sizeof(p));
}
void ZeroDevice(TDevice& d) {
    std::memset(static_cast<void*>(&d), 0, sizeof(d));
}

void WritePointFields(TConnectionPoint& p, std::u16string_view name, std::string_view port, float period,
                      bool active) {
    CopyName(p.name, name, kMaxNameChars);
    p.reserved = 0;
    CopyPortName(p.portName, port);
    p.baudCode = kBaudCode19200;
    p.dataBitsCode = kDataBitsCode8;
    p.parityCode = kParityCodeNone;
    p.stopBitsCode = kStopBitsCode2;
    p.pollPeriod = period;
    p.currentDevice = 0;
    p.active = active ? 1 : 0;
}

bool ValidPoint(const TConfigModel& m, int point) {
    return point >= 0 && point < m.pointCount;
}
bool ValidDevice(const TConfigModel& m, int point, int device) {
    return ValidPoint(m, point) && device >= 0 && device < m.points[point].deviceCount;
}

}  // namespace

void ClearModel(TConfigModel& m) {
    for (auto& p : m.points) {
        delete p.pollTimer;
        ZeroPoint(p);
    }
    m.pointCount = 0;
}

ModelResult AppendPoint(TConfigModel& m, std::u16string_view name, std::string_view port, float period,
                        bool active) {
    if (m.pointCount >= kMaxPoints) return ModelResult::TooManyPoints;
    const int s = m.pointCount;
    TConnectionPoint& p = m.points[s];
    ZeroPoint(p);
    p.index = static_cast<uint8_t>(s);
    WritePointFields(p, name, port, period, active);
    m.pointCount = static_cast<uint8_t>(s + 1);
    return ModelResult::Ok;
}

ModelResult UpdatePoint(TConfigModel& m, int point, std::u16string_view name, std::string_view port,
                        float period, bool active) {
    if (!ValidPoint(m, point)) return ModelResult::BadIndex;
    WritePointFields(m.points[point], name, port, period, active);
    return ModelResult::Ok;
}

ModelResult DeletePoint(TConfigModel& m, int point) {
    if (!ValidPoint(m, point)) return ModelResult::BadIndex;
    const int c = m.pointCount;
    delete m.points[point].pollTimer;
    m.points[point].pollTimer = nullptr;
    for (int j = point; j <= c - 2; ++j) {
        ZeroPoint(m.points[j]);
        std::memcpy(static_cast<void*>(&m.points[j]), &m.points[j + 1], sizeof(TConnectionPoint));
        TConnectionPoint& p = m.points[j];
        p.index = static_cast<uint8_t>(p.index - 1);
        for (int d = 0; d < p.deviceCount && d < kMaxDevicesPerPoint; ++d) p.devices[d].pointIndex = p.index;
    }
    ZeroPoint(m.points[c - 1]);
    m.pointCount = static_cast<uint8_t>(c - 1);
    return ModelResult::Ok;
}

ModelResult AppendDevice(TConfigModel& m, int point, std::u16string_view name, uint8_t typeIndex,
                         uint8_t address, uint32_t paramMask) {
    if (!ValidPoint(m, point)) return ModelResult::BadIndex;
    TConnectionPoint& p = m.points[point];
    if (p.deviceCount >= kMaxDevicesPerPoint) return ModelResult::TooManyDevices;
    const int d = p.deviceCount;
    TDevice& dev = p.devices[d];
    ZeroDevice(dev);
    dev.index = static_cast<uint8_t>(d);
    dev.pointIndex = point;
    CopyName(dev.name, name, kMaxNameChars);
    dev.typeIndex = typeIndex;
    dev.address = address;
    std::atomic_ref<uint32_t>(dev.paramMask).store(paramMask, std::memory_order_relaxed);
    p.deviceCount = static_cast<uint8_t>(d + 1);
    return ModelResult::Ok;
}

ModelResult UpdateDevice(TConfigModel& m, int point, int device, std::u16string_view name, uint8_t typeIndex,
                         uint8_t address, uint32_t paramMask) {
    if (!ValidDevice(m, point, device)) return ModelResult::BadIndex;
    TDevice& dev = m.points[point].devices[device];
    CopyName(dev.name, name, kMaxNameChars);
    dev.typeIndex = typeIndex;
    dev.address = address;
    std::atomic_ref<uint32_t>(dev.paramMask).store(paramMask, std::memory_order_relaxed);
    return ModelResult::Ok;
}

ModelResult DeleteDevice(TConfigModel& m, int point, int device) {
    if (!ValidDevice(m, point, device)) return ModelResult::BadIndex;
    TConnectionPoint& p = m.points[point];
    const int c = p.deviceCount;
    for (int j = device; j <= c - 2; ++j) {
        ZeroDevice(p.devices[j]);
        std::memcpy(static_cast<void*>(&p.devices[j]), &p.devices[j + 1], sizeof(TDevice));
        p.devices[j].index = static_cast<uint8_t>(p.devices[j].index - 1);
    }
    ZeroDevice(p.devices[c - 1]);
    p.deviceCount = static_cast<uint8_t>(c - 1);
    return ModelResult::Ok;
}

ModelResult MoveDevice(TConfigModel& m, int point, int device, int newPoint) {
    if (!ValidDevice(m, point, device) || !ValidPoint(m, newPoint)) return ModelResult::BadIndex;
    if (newPoint == point) return ModelResult::Ok;
    if (m.points[newPoint].deviceCount >= kMaxDevicesPerPoint) return ModelResult::TooManyDevices;
    TDevice copy;
    std::memcpy(static_cast<void*>(&copy), &m.points[point].devices[device], sizeof(TDevice));
    DeleteDevice(m, point, device);
    TConnectionPoint& q = m.points[newPoint];
    const int d = q.deviceCount;
    std::memcpy(static_cast<void*>(&q.devices[d]), &copy, sizeof(TDevice));
    q.devices[d].index = static_cast<uint8_t>(d);
    q.devices[d].pointIndex = newPoint;
    q.deviceCount = static_cast<uint8_t>(d + 1);
    return ModelResult::Ok;
}

namespace {
template <typename T>
bool AllZero(const T& rec) {
    const auto* b = reinterpret_cast<const unsigned char*>(&rec);
    return std::all_of(b, b + sizeof(T), [](unsigned char c) { return c == 0; });
}
bool Terminated(const char16_t* f, int cap) {
    return NameView(f, cap).size() < static_cast<size_t>(cap);
}
}  // namespace

bool CheckInvariants(const TConfigModel& m, bool checkCatalogue) {
    if (m.pointCount > kMaxPoints) return false;
    for (int s = 0; s < kMaxPoints; ++s) {
        const TConnectionPoint& p = m.points[s];
        if (s >= m.pointCount) {
            if (!AllZero(p)) return false;
            continue;
        }
        if (p.index != s || p.deviceCount > kMaxDevicesPerPoint || !Terminated(p.name, kNameUnits))
            return false;
        if (PortNameView(p.portName).size() >= static_cast<size_t>(kPortNameBytes)) return false;
        for (int t = 0; t < s; ++t)
            if (PortNameView(m.points[t].portName) == PortNameView(p.portName) &&
                !PortNameView(p.portName).empty())
                return false;
        for (int d = 0; d < kMaxDevicesPerPoint; ++d) {
            const TDevice& dev = p.devices[d];
            if (d >= p.deviceCount) {
                if (!AllZero(dev)) return false;
                continue;
            }
            if (dev.index != d || dev.pointIndex != s || !Terminated(dev.name, kNameUnits)) return false;
            if (checkCatalogue) {
                if (dev.typeIndex >= m.typeCount) return false;
                if ((dev.paramMask & ~m.typeMasks[dev.typeIndex]) != 0) return false;
            }
            for (int e = 0; e < d; ++e)
                if (p.devices[e].address == dev.address) return false;
        }
    }
    return true;
}

}  // namespace qora
