// Value types of the OPC toolkit: VARIANT, FILETIME, GUID, item records.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace gb {

using HRESULT = int32_t;
inline constexpr HRESULT S_OK = 0;
inline constexpr HRESULT S_FALSE = 1;
inline constexpr HRESULT E_FAIL = static_cast<HRESULT>(0x80004005u);
inline constexpr HRESULT E_INVALIDARG = static_cast<HRESULT>(0x80070057u);
inline constexpr HRESULT E_NOTIMPL = static_cast<HRESULT>(0x80004001u);
inline constexpr HRESULT E_NOINTERFACE = static_cast<HRESULT>(0x80004002u);
inline constexpr HRESULT E_POINTER = static_cast<HRESULT>(0x80004003u);
inline constexpr HRESULT DISP_E_TYPEMISMATCH = static_cast<HRESULT>(0x80020005u);
inline constexpr HRESULT OPC_E_INVALIDHANDLE = static_cast<HRESULT>(0xC0040001u);
inline constexpr HRESULT OPC_E_BADTYPE = static_cast<HRESULT>(0xC0040004u);
inline bool SUCCEEDED(HRESULT hr) {
    return hr >= 0;
}
inline bool FAILED(HRESULT hr) {
    return hr < 0;
}

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

// 100 ns units since 1601-01-01 UTC (base/file_time.h: NowFileTime and the conversions).
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
    // Parses "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}" (braces optional, hex digits of either
    // case, nothing before or after); returns false on malformed text and leaves out alone.
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

// VARIANT helpers. Only the scalar types of VARTYPE are supported.
void VariantInit(VARIANT* v);
void VariantClear(VARIANT* v);
VARIANT MakeVariantR4(float value);
// True for the numeric and boolean types above.
bool IsNumericVarType(uint16_t vt);
// Converts src to type vt (numeric and boolean types; VT_EMPTY converts to 0). Out-of-range
// integers and non-finite values for integer targets give DISP_E_TYPEMISMATCH and leave dst alone.
HRESULT VariantChangeType(VARIANT* dst, const VARIANT* src, uint16_t vt);
// The value of a numeric or boolean VARIANT as a double; false for any other type.
bool VariantToDouble(const VARIANT& v, double* out);

// UTF-16 <-> UTF-8. Unpaired surrogates and malformed UTF-8 become U+FFFD.
std::string Utf16ToUtf8(std::u16string_view text);
std::u16string Utf8ToUtf16(std::string_view text);
// Length of a NUL-terminated UTF-16 text (0 for null).
size_t Utf16Length(const char16_t* text);

using OPCEUTYPE = int32_t;
inline constexpr OPCEUTYPE OPC_NOENUM = 0;

inline constexpr uint32_t OPC_READABLE = 1;
inline constexpr uint32_t OPC_WRITEABLE = 2;

// OPC DA quality codes the toolkit itself uses.
inline constexpr uint16_t OPC_QUALITY_BAD = 0x00;
inline constexpr uint16_t OPC_QUALITY_WAITING_FOR_INITIAL_DATA = 0x20;  // before the first GBSetItem
inline constexpr uint16_t OPC_QUALITY_GOOD = 0xC0;

}  // namespace gb
