// Value types of the OPC toolkit: VARIANT, FILETIME, GUID, item records.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace gb {

using HRESULT = int32_t;
inline constexpr HRESULT S_OK = 0;
inline constexpr HRESULT S_FALSE = 1;
inline constexpr HRESULT E_FAIL = static_cast<HRESULT>(0x80004005u);
inline constexpr HRESULT E_INVALIDARG = static_cast<HRESULT>(0x80070057u);

enum VARTYPE : uint16_t {
    VT_EMPTY = 0,
    VT_NULL = 1,
    VT_I2 = 2,
    VT_I4 = 3,
    VT_R4 = 4,
    VT_R8 = 5,
    VT_BOOL = 11,
    VT_UI1 = 17,
    VT_UI2 = 18,
    VT_UI4 = 19,
};

struct VARIANT {
    uint16_t vt = VT_EMPTY;
    uint16_t reserved1 = 0;
    uint16_t reserved2 = 0;
    uint16_t reserved3 = 0;
    union {
        float fltVal;
        double dblVal;
        int32_t lVal;
        uint32_t ulVal;
        int16_t iVal;
        uint16_t uiVal;
        uint8_t bVal;
        int16_t boolVal;
        int64_t llVal;
    };
    VARIANT() : llVal(0) {}
};

// 100 ns units since 1601-01-01 UTC.
struct FILETIME {
    uint32_t dwLowDateTime = 0;
    uint32_t dwHighDateTime = 0;
    static FILETIME FromU64(uint64_t v) {
        return {static_cast<uint32_t>(v & 0xFFFFFFFFu), static_cast<uint32_t>(v >> 32)};
    }
    uint64_t ToU64() const { return (static_cast<uint64_t>(dwHighDateTime) << 32) | dwLowDateTime; }
};

struct GUID {
    uint32_t data1 = 0;
    uint16_t data2 = 0;
    uint16_t data3 = 0;
    uint8_t data4[8] = {};
    // Parses "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}"; returns false on malformed text.
    static bool Parse(std::string_view text, GUID& out);
    std::string ToString() const;  // upper case, with braces
    bool operator==(const GUID&) const = default;
};

// 12-byte item record passed to GBOnReadItems / GBOnWriteItems; first field the item handle.
struct GBItemID {
    uint32_t hItem = 0;
    uint32_t hClient = 0;
    uint32_t reserved = 0;
};
static_assert(sizeof(GBItemID) == 12);

using OPCEUTYPE = int32_t;
inline constexpr OPCEUTYPE OPC_NOENUM = 0;

inline constexpr uint32_t OPC_READABLE = 1;
inline constexpr uint32_t OPC_WRITEABLE = 2;

}  // namespace gb
