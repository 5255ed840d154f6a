#include "opc/toolkit/gb_types.h"

#include <cmath>
#include <cstdio>
#include <limits>

namespace gb {

namespace {

int HexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// Reads exactly `digits` hex digits at text[pos].
bool ReadHex(std::string_view text, size_t pos, int digits, uint64_t& out) {
    if (pos + static_cast<size_t>(digits) > text.size()) return false;
    uint64_t v = 0;
    for (int i = 0; i < digits; ++i) {
        const int d = HexDigit(text[pos + static_cast<size_t>(i)]);
        if (d < 0) return false;
        v = (v << 4) | static_cast<uint64_t>(d);
    }
    out = v;
    return true;
}

template <typename T>
bool FitsInteger(double v) {
    return std::isfinite(v) && v >= static_cast<double>(std::numeric_limits<T>::min()) &&
           v <= static_cast<double>(std::numeric_limits<T>::max());
}

void AppendUtf8(std::string& out, char32_t cp) {
    if (cp < 0x80) {
        out.push_back(static_cast<char>(cp));
    } else if (cp < 0x800) {
        out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else if (cp < 0x10000) {
        out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else {
        out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    }
}

void AppendUtf16(std::u16string& out, char32_t cp) {
    if (cp < 0x10000) {
        out.push_back(static_cast<char16_t>(cp));
    } else {
        cp -= 0x10000;
        out.push_back(static_cast<char16_t>(0xD800 + (cp >> 10)));
        out.push_back(static_cast<char16_t>(0xDC00 + (cp & 0x3FF)));
    }
}

}  // namespace

bool GUID::Parse(std::string_view text, GUID& out) {
    if (text.size() == 38) {
        if (text.front() != '{' || text.back() != '}') return false;
        text = text.substr(1, 36);
    }
    if (text.size() != 36) return false;
    if (text[8] != '-' || text[13] != '-' || text[18] != '-' || text[23] != '-') return false;
    uint64_t a = 0, b = 0, c = 0, d = 0, e = 0;
    if (!ReadHex(text, 0, 8, a) || !ReadHex(text, 9, 4, b) || !ReadHex(text, 14, 4, c) ||
        !ReadHex(text, 19, 4, d) || !ReadHex(text, 24, 12, e))
        return false;
    GUID g;
    g.data1 = static_cast<uint32_t>(a);
    g.data2 = static_cast<uint16_t>(b);
    g.data3 = static_cast<uint16_t>(c);
    g.data4[0] = static_cast<uint8_t>(d >> 8);
    g.data4[1] = static_cast<uint8_t>(d);
    for (int i = 0; i < 6; ++i) g.data4[2 + i] = static_cast<uint8_t>(e >> (8 * (5 - i)));
    out = g;
    return true;
}

std::string GUID::ToString() const {
    char buf[39];
    std::snprintf(buf, sizeof buf, "{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}", data1, data2, data3,
                  data4[0], data4[1], data4[2], data4[3], data4[4], data4[5], data4[6], data4[7]);
    return buf;
}

void VariantInit(VARIANT* v) {
    if (v) *v = VARIANT{};
}

void VariantClear(VARIANT* v) {
    // Only scalar types exist here: nothing to release.
    VariantInit(v);
}

VARIANT MakeVariantR4(float value) {
    VARIANT v;
    v.vt = VT_R4;
    v.fltVal = value;
    return v;
}

bool IsNumericVarType(uint16_t vt) {
    switch (vt) {
        case VT_I2:
        case VT_I4:
        case VT_R4:
        case VT_R8:
        case VT_BOOL:
        case VT_UI1:
        case VT_UI2:
        case VT_UI4:
            return true;
        default:
            return false;
    }
}

bool VariantToDouble(const VARIANT& v, double* out) {
    double d = 0;
    switch (v.vt) {
        case VT_I2:
            d = v.iVal;
            break;
        case VT_I4:
            d = v.lVal;
            break;
        case VT_R4:
            d = v.fltVal;
            break;
        case VT_R8:
            d = v.dblVal;
            break;
        case VT_BOOL:
            d = v.boolVal ? -1.0 : 0.0;
            break;  // VARIANT_TRUE is -1
        case VT_UI1:
            d = v.bVal;
            break;
        case VT_UI2:
            d = v.uiVal;
            break;
        case VT_UI4:
            d = v.ulVal;
            break;
        default:
            return false;
    }
    if (out) *out = d;
    return true;
}

HRESULT VariantChangeType(VARIANT* dst, const VARIANT* src, uint16_t vt) {
    if (!dst || !src) return E_POINTER;
    if (src->vt == vt) {
        *dst = *src;
        return S_OK;
    }
    double d = 0;
    if (src->vt != VT_EMPTY && !VariantToDouble(*src, &d)) return DISP_E_TYPEMISMATCH;
    VARIANT r;
    r.vt = vt;
    switch (vt) {
        case VT_R4:
            if (std::isfinite(d) && std::fabs(d) > static_cast<double>(std::numeric_limits<float>::max()))
                return DISP_E_TYPEMISMATCH;
            r.fltVal = static_cast<float>(d);
            break;
        case VT_R8:
            r.dblVal = d;
            break;
        case VT_BOOL:
            r.boolVal = d != 0.0 ? int16_t(-1) : int16_t(0);
            break;
        case VT_I2:
            if (!FitsInteger<int16_t>(std::round(d))) return DISP_E_TYPEMISMATCH;
            r.iVal = static_cast<int16_t>(std::round(d));
            break;
        case VT_I4:
            if (!FitsInteger<int32_t>(std::round(d))) return DISP_E_TYPEMISMATCH;
            r.lVal = static_cast<int32_t>(std::round(d));
            break;
        case VT_UI1:
            if (!FitsInteger<uint8_t>(std::round(d))) return DISP_E_TYPEMISMATCH;
            r.bVal = static_cast<uint8_t>(std::round(d));
            break;
        case VT_UI2:
            if (!FitsInteger<uint16_t>(std::round(d))) return DISP_E_TYPEMISMATCH;
            r.uiVal = static_cast<uint16_t>(std::round(d));
            break;
        case VT_UI4:
            if (!FitsInteger<uint32_t>(std::round(d))) return DISP_E_TYPEMISMATCH;
            r.ulVal = static_cast<uint32_t>(std::round(d));
            break;
        default:
            return DISP_E_TYPEMISMATCH;
    }
    *dst = r;
    return S_OK;
}

std::string Utf16ToUtf8(std::u16string_view text) {
    std::string out;
    out.reserve(text.size() * 2);
    for (size_t i = 0; i < text.size(); ++i) {
        char32_t c = text[i];
        if (c >= 0xD800 && c <= 0xDBFF) {
            if (i + 1 < text.size() && text[i + 1] >= 0xDC00 && text[i + 1] <= 0xDFFF) {
                c = 0x10000 + ((c - 0xD800) << 10) + (static_cast<char32_t>(text[i + 1]) - 0xDC00);
                ++i;
            } else {
                c = 0xFFFD;
            }
        } else if (c >= 0xDC00 && c <= 0xDFFF) {
            c = 0xFFFD;
        }
        AppendUtf8(out, c);
    }
    return out;
}

std::u16string Utf8ToUtf16(std::string_view text) {
    std::u16string out;
    out.reserve(text.size());
    size_t i = 0;
    while (i < text.size()) {
        const auto b0 = static_cast<unsigned char>(text[i]);
        int extra = 0;
        char32_t cp = 0;
        char32_t min = 0;
        if (b0 < 0x80) {
            cp = b0;
        } else if ((b0 & 0xE0) == 0xC0) {
            extra = 1, cp = b0 & 0x1F, min = 0x80;
        } else if ((b0 & 0xF0) == 0xE0) {
            extra = 2, cp = b0 & 0x0F, min = 0x800;
        } else if ((b0 & 0xF8) == 0xF0) {
            extra = 3, cp = b0 & 0x07, min = 0x10000;
        } else {
            AppendUtf16(out, 0xFFFD);
            ++i;
            continue;
        }
        // A truncated or broken sequence is replaced once, with the continuation bytes it has.
        bool ok = true;
        int taken = 0;
        for (int k = 1; k <= extra; ++k) {
            const size_t at = i + static_cast<size_t>(k);
            if (at >= text.size() || (static_cast<unsigned char>(text[at]) & 0xC0) != 0x80) {
                ok = false;
                break;
            }
            cp = (cp << 6) | (static_cast<unsigned char>(text[at]) & 0x3F);
            taken = k;
        }
        if (!ok || cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) {
            AppendUtf16(out, 0xFFFD);
            i += static_cast<size_t>(taken) + 1;
            continue;
        }
        AppendUtf16(out, cp);
        i += static_cast<size_t>(extra) + 1;
    }
    return out;
}

size_t Utf16Length(const char16_t* text) {
    if (!text) return 0;
    size_t n = 0;
    while (text[n] != 0) ++n;
    return n;
}

}  // namespace gb
