#include "opc/toolkit/gb_types.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <cstring>

using namespace gb;

TEST(GbGuid, ParsesAndFormatsTheServerClsid) {
    GUID g;
    ASSERT_TRUE(GUID::Parse("{6F1C0B52-9A3E-4D71-8E25-B4C7D90A1F36}", g));
    EXPECT_EQ(g.data1, 0x6F1C0B52u);
    EXPECT_EQ(g.data2, 0x9A3Eu);
    EXPECT_EQ(g.data3, 0x4D71u);
    const uint8_t d4[8] = {0x8E, 0x25, 0xB4, 0xC7, 0xD9, 0x0A, 0x1F, 0x36};
    for (int i = 0; i < 8; ++i) EXPECT_EQ(g.data4[i], d4[i]) << i;
    EXPECT_EQ(g.ToString(), "{6F1C0B52-9A3E-4D71-8E25-B4C7D90A1F36}");
}

TEST(GbGuid, AcceptsLowerCaseAndMissingBracesOnly) {
    struct Case {
        const char* text;
        bool ok;
    } cases[] = {
        {"6f1c0b52-9a3e-4d71-8e25-b4c7d90a1f36", true},
        {"{6f1c0b52-9a3e-4d71-8e25-b4c7d90a1f36}", true},
        {"{6F1C0B52-9A3E-4D71-8E25-B4C7D90A1F36", false},
        {"6F1C0B52-9A3E-4D71-8E25-B4C7D90A1F36}", false},
        {"{6F1C0B52-9A3E-4D71-8E25-B4C7D90A1F3G}", false},
        {"{6F1C0B52-9A3E-4D71-8E25B4C7D90A1F36-}", false},
        {"{6F1C0B52-9A3E-4D71-8E25-B4C7D90A1F36} ", false},
        {" 6F1C0B52-9A3E-4D71-8E25-B4C7D90A1F36", false},
        {"", false},
        {"{}", false},
        {"{+F1C0B52-9A3E-4D71-8E25-B4C7D90A1F36}", false},
    };
    for (const Case& c : cases) {
        GUID g;
        g.data1 = 0x12345678;
        EXPECT_EQ(GUID::Parse(c.text, g), c.ok) << c.text;
        if (c.ok)
            EXPECT_EQ(g.ToString(), "{6F1C0B52-9A3E-4D71-8E25-B4C7D90A1F36}");
        else
            EXPECT_EQ(g.data1, 0x12345678u) << "untouched on failure: " << c.text;
    }
}

TEST(GbVariant, ChangeTypeConvertsNumbersAndRefusesWhatDoesNotFit) {
    VARIANT i4;
    i4.vt = VT_I4;
    i4.lVal = 70000;
    VARIANT out;
    ASSERT_EQ(VariantChangeType(&out, &i4, VT_R4), S_OK);
    EXPECT_EQ(out.vt, VT_R4);
    EXPECT_EQ(out.fltVal, 70000.0f);
    EXPECT_EQ(VariantChangeType(&out, &i4, VT_I2), DISP_E_TYPEMISMATCH);
    EXPECT_EQ(out.vt, VT_R4) << "dst untouched";

    VARIANT r8;
    r8.vt = VT_R8;
    r8.dblVal = 1e300;
    EXPECT_EQ(VariantChangeType(&out, &r8, VT_R4), DISP_E_TYPEMISMATCH);
    r8.dblVal = -2.5;
    ASSERT_EQ(VariantChangeType(&out, &r8, VT_I4), S_OK);
    EXPECT_EQ(out.lVal, -3);  // rounds half away from zero
    EXPECT_EQ(VariantChangeType(&out, &r8, VT_UI4), DISP_E_TYPEMISMATCH);
    r8.dblVal = std::nan("");
    EXPECT_EQ(VariantChangeType(&out, &r8, VT_I4), DISP_E_TYPEMISMATCH);
    ASSERT_EQ(VariantChangeType(&out, &r8, VT_R4), S_OK);
    EXPECT_TRUE(std::isnan(out.fltVal));

    VARIANT empty;
    ASSERT_EQ(VariantChangeType(&out, &empty, VT_R4), S_OK);
    EXPECT_EQ(out.fltVal, 0.0f);

    VARIANT b;
    b.vt = VT_BOOL;
    b.boolVal = -1;
    ASSERT_EQ(VariantChangeType(&out, &b, VT_R4), S_OK);
    EXPECT_EQ(out.fltVal, -1.0f);

    VARIANT bogus;
    bogus.vt = 8;  // VT_BSTR: not supported here
    EXPECT_EQ(VariantChangeType(&out, &bogus, VT_R4), DISP_E_TYPEMISMATCH);
    EXPECT_FALSE(IsNumericVarType(8));
    EXPECT_FALSE(IsNumericVarType(VT_EMPTY));
}

TEST(GbVariant, R4KeepsTheFloatBitForBit) {
    const float marker = 9999999.0f;
    VARIANT v = MakeVariantR4(marker);
    EXPECT_EQ(v.vt, VT_R4);
    EXPECT_EQ(v.fltVal, marker);
    VARIANT copy;
    ASSERT_EQ(VariantChangeType(&copy, &v, VT_R4), S_OK);
    EXPECT_EQ(std::memcmp(&copy.fltVal, &marker, 4), 0);
}

TEST(GbFileTime, SplitsIntoTwoHalvesAndJoinsBack) {
    const FILETIME ft = FILETIME::FromU64(0x0123456789ABCDEFull);
    EXPECT_EQ(ft.dwHighDateTime, 0x01234567u);
    EXPECT_EQ(ft.dwLowDateTime, 0x89ABCDEFu);
    EXPECT_EQ(ft.ToU64(), 0x0123456789ABCDEFull);
}

TEST(GbText, Utf16AndUtf8RoundTripCyrillicNumeroAndSurrogates) {
    const std::u16string s = u"Адаптер_1(COM1).Устройство(T №5).P \U0001F600";
    const std::string u8 = Utf16ToUtf8(s);
    EXPECT_EQ(u8,
              "\xD0\x90\xD0\xB4\xD0\xB0\xD0\xBF\xD1\x82\xD0\xB5\xD1\x80_1(COM1)."
              "\xD0\xA3\xD1\x81\xD1\x82\xD1\x80\xD0\xBE\xD0\xB9\xD1\x81\xD1\x82\xD0\xB2\xD0\xBE"
              "(T \xE2\x84\x96"
              "5).P \xF0\x9F\x98\x80");
    EXPECT_EQ(Utf8ToUtf16(u8), s);
}

TEST(GbText, MalformedInputBecomesReplacementCharacters) {
    struct Case {
        std::string in;
        std::u16string out;
    } cases[] = {
        {"a\x80"
         "b",
         u"a\uFFFDb"},
        {"\xC3", u"\uFFFD"},
        {"\xE2\x84", u"\uFFFD"},
        {"\xC0\xAF", u"\uFFFD"},          // overlong
        {"\xED\xA0\x80", u"\uFFFD"},      // encoded surrogate
        {"\xF4\x90\x80\x80", u"\uFFFD"},  // beyond U+10FFFF
        {"\xFF", u"\uFFFD"},
    };
    for (const Case& c : cases) EXPECT_EQ(Utf8ToUtf16(c.in), c.out) << c.in.size();
    EXPECT_EQ(Utf16ToUtf8(std::u16string(1, char16_t(0xD800))), "\xEF\xBF\xBD");
    EXPECT_EQ(Utf16ToUtf8(std::u16string(1, char16_t(0xDC00)) + u"x"), "\xEF\xBF\xBDx");
    EXPECT_EQ(Utf16Length(nullptr), 0u);
    EXPECT_EQ(Utf16Length(u"abc"), 3u);
}
