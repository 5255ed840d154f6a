#include "config/text_codec.h"

#include <cstdint>

namespace qora {

namespace {

// Windows-1251, bytes 0x80..0xBF; 0xC0..0xFF are U+0410..U+044F. Byte 0x98 is unassigned and
// maps to U+0098 so that it survives a round trip.
constexpr char16_t kHighTable[64] = {
    0x0402, 0x0403, 0x201A, 0x0453, 0x201E, 0x2026, 0x2020, 0x2021, 0x20AC, 0x2030, 0x0409, 0x2039, 0x040A,
    0x040C, 0x040B, 0x040F, 0x0452, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014, 0x0098, 0x2122,
    0x0459, 0x203A, 0x045A, 0x045C, 0x045B, 0x045F, 0x00A0, 0x040E, 0x045E, 0x0408, 0x00A4, 0x0490, 0x00A6,
    0x00A7, 0x0401, 0x00A9, 0x0404, 0x00AB, 0x00AC, 0x00AD, 0x00AE, 0x0407, 0x00B0, 0x00B1, 0x0406, 0x0456,
    0x0491, 0x00B5, 0x00B6, 0x00B7, 0x0451, 0x2116, 0x0454, 0x00BB, 0x0458, 0x0405, 0x0455, 0x0457,
};

}  // namespace

bool IsValidUtf8(const char* data, qsizetype size) {
    const auto* p = reinterpret_cast<const uint8_t*>(data);
    qsizetype i = 0;
    while (i < size) {
        const uint8_t c = p[i];
        if (c < 0x80) {
            ++i;
            continue;
        }
        int extra;
        uint32_t cp;
        if (c >= 0xC2 && c <= 0xDF) {
            extra = 1;
            cp = c & 0x1F;
        } else if (c >= 0xE0 && c <= 0xEF) {
            extra = 2;
            cp = c & 0x0F;
        } else if (c >= 0xF0 && c <= 0xF4) {
            extra = 3;
            cp = c & 0x07;
        } else {
            return false;
        }
        if (size - i <= extra) return false;
        for (int k = 1; k <= extra; ++k) {
            const uint8_t cc = p[i + k];
            if ((cc & 0xC0) != 0x80) return false;
            cp = (cp << 6) | (cc & 0x3F);
        }
        if ((extra == 2 && cp < 0x800) || (extra == 3 && (cp < 0x10000 || cp > 0x10FFFF))) return false;
        if (cp >= 0xD800 && cp <= 0xDFFF) return false;
        i += extra + 1;
    }
    return true;
}

QString DecodeWindows1251(const char* data, qsizetype size) {
    QString out(size, Qt::Uninitialized);
    QChar* dst = out.data();
    for (qsizetype i = 0; i < size; ++i) {
        const auto c = static_cast<uint8_t>(data[i]);
        char16_t u;
        if (c < 0x80)
            u = c;
        else if (c < 0xC0)
            u = kHighTable[c - 0x80];
        else
            u = static_cast<char16_t>(0x0410 + (c - 0xC0));
        dst[i] = QChar(u);
    }
    return out;
}

bool EncodeWindows1251(QStringView text, QByteArray& out) {
    out.clear();
    out.reserve(text.size());
    for (QChar qc : text) {
        const char16_t u = qc.unicode();
        if (u < 0x80) {
            out.append(static_cast<char>(u));
        } else if (u >= 0x0410 && u <= 0x044F) {
            out.append(static_cast<char>(0xC0 + (u - 0x0410)));
        } else {
            int found = -1;
            for (int k = 0; k < 64; ++k)
                if (kHighTable[k] == u) {
                    found = k;
                    break;
                }
            if (found < 0) return false;
            out.append(static_cast<char>(0x80 + found));
        }
    }
    return true;
}

namespace {

bool RussianLetter(char16_t u) {
    return (u >= 0x0410 && u <= 0x044F) || u == 0x0401 || u == 0x0451;
}

bool RussianPunctuation(char16_t u) {
    switch (u) {
        case 0x00A0:  // no-break space
        case 0x00AB:  // «
        case 0x00BB:  // »
        case 0x00B0:  // °
        case 0x2116:  // №
        case 0x2013:  // –
        case 0x2014:  // —
        case 0x2026:  // …
        case 0x201C:  // “
        case 0x201D:  // ”
        case 0x201E:  // „
            return true;
        default:
            return false;
    }
}

// Characters that Russian text would not contain: everything beyond ASCII but Russian letters
// and the common punctuation.
qsizetype Foreign(const QString& text) {
    qsizetype n = 0;
    for (QChar c : text) {
        const char16_t u = c.unicode();
        if (u >= 0x80 && !RussianLetter(u) && !RussianPunctuation(u) && u != 0xFEFF) ++n;
    }
    return n;
}

}  // namespace

bool LooksLikeWindows1251(const QByteArray& bytes) {
    if (!IsValidUtf8(bytes)) return true;
    return Foreign(DecodeWindows1251(bytes)) < Foreign(QString::fromUtf8(bytes));
}

}  // namespace qora
