// A model with a small catalogue for the window tests.
#pragma once

#include <QString>
#include <memory>
#include <ostream>

#include "config/records.h"

// Readable QString values in test failures.
inline void PrintTo(const QString& s, std::ostream* os) {
    *os << '"' << s.toStdString() << '"';
}

namespace qora::test {

using ModelPtr = std::unique_ptr<TConfigModel, ModelDeleter>;

inline void SetCatalogueName(char16_t* field, const QString& name) {
    CopyName(field, name.toStdU16String(), kMaxCatalogNameChars);
}

// Types: 0 "T" offers parameters 0, 2, 5; 1 "U" offers 1 and 3. Parameters are named P0..P31.
inline ModelPtr MakeModel() {
    ModelPtr m(CreateModel());
    for (int n = 0; n < kParamsPerDevice; ++n)
        SetCatalogueName(m->paramNames[n], QStringLiteral("P%1").arg(n));
    SetCatalogueName(m->typeNames[0], QStringLiteral("T"));
    SetCatalogueName(m->typeNames[1], QStringLiteral("U"));
    m->typeMasks[0] = (1u << 0) | (1u << 2) | (1u << 5);
    m->typeMasks[1] = (1u << 1) | (1u << 3);
    m->typeCount = 2;
    return m;
}

inline void AddPoint(TConfigModel& m, const QString& name, const char* port, float period = 1.0f) {
    AppendPoint(m, name.toStdU16String(), port, period, true);
}

inline void AddDevice(TConfigModel& m, int point, const QString& name, int type, int address, uint32_t mask) {
    AppendDevice(m, point, name.toStdU16String(), static_cast<uint8_t>(type), static_cast<uint8_t>(address),
                 mask);
}

}  // namespace qora::test
