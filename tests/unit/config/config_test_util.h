// Helpers shared by the configuration tests.
#pragma once

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QString>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "config/records.h"

namespace qora::test {

using ModelPtr = std::unique_ptr<TConfigModel, ModelDeleter>;

inline ModelPtr NewModel() {
    return ModelPtr(CreateModel());
}

inline std::u16string U16(const QString& s) {
    return std::u16string(reinterpret_cast<const char16_t*>(s.utf16()), static_cast<size_t>(s.size()));
}

inline std::vector<uint8_t> ReadAll(const QString& path) {
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly)) return {};
    const QByteArray b = f.readAll();
    return std::vector<uint8_t>(b.begin(), b.end());
}

inline bool WriteAll(const QString& path, const std::vector<uint8_t>& bytes) {
    QFile f(path);
    if (!f.open(QIODevice::WriteOnly | QIODevice::Truncate)) return false;
    return f.write(reinterpret_cast<const char*>(bytes.data()), static_cast<qint64>(bytes.size())) ==
           static_cast<qint64>(bytes.size());
}

inline bool WriteText(const QString& path, const QByteArray& bytes) {
    QFile f(path);
    if (!f.open(QIODevice::WriteOnly | QIODevice::Truncate)) return false;
    return f.write(bytes) == bytes.size();
}

inline QByteArray ReadText(const QString& path) {
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly)) return {};
    return f.readAll();
}

// Connection point table and point count equal, byte for byte.
inline bool SamePoints(const TConfigModel& a, const TConfigModel& b) {
    return a.pointCount == b.pointCount && std::memcmp(a.points, b.points, sizeof a.points) == 0;
}

inline bool PointsEmpty(const TConfigModel& m) {
    if (m.pointCount != 0) return false;
    const auto* p = reinterpret_cast<const unsigned char*>(m.points);
    for (size_t i = 0; i < sizeof m.points; ++i)
        if (p[i] != 0) return false;
    return true;
}

// Bitwise CRC-16/MODBUS, written apart from the table-driven one under test.
inline uint16_t BitwiseCrc(const uint8_t* data, size_t n) {
    uint16_t crc = 0xFFFF;
    for (size_t i = 0; i < n; ++i) {
        crc ^= data[i];
        for (int k = 0; k < 8; ++k)
            crc = (crc & 1) ? static_cast<uint16_t>((crc >> 1) ^ 0xA001) : static_cast<uint16_t>(crc >> 1);
    }
    return crc;
}

// Recomputes and stores the header CRC of a file at least 17 bytes long (as far as it reaches).
inline void FixCrc(std::vector<uint8_t>& f) {
    const uint32_t blockSize = f[13] | (f[14] << 8) | (f[15] << 16) | (static_cast<uint32_t>(f[16]) << 24);
    size_t len = blockSize & 0xFFFFu;
    if (13 + len > f.size()) return;
    const uint16_t crc = BitwiseCrc(f.data() + 13, len);
    f[11] = static_cast<uint8_t>(crc >> 8);
    f[12] = static_cast<uint8_t>(crc);
}

}  // namespace qora::test
