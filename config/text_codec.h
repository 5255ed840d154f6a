// Text encodings of the settings file: UTF-8, and Windows-1251 for files brought over from
// systems whose ANSI code page is Cyrillic.
#pragma once

#include <QByteArray>
#include <QString>
#include <QStringView>

namespace qora {

// Strict UTF-8: no overlong forms, no surrogates, nothing above U+10FFFF.
bool IsValidUtf8(const char* data, qsizetype size);
inline bool IsValidUtf8(const QByteArray& bytes) {
    return IsValidUtf8(bytes.constData(), bytes.size());
}

QString DecodeWindows1251(const char* data, qsizetype size);
inline QString DecodeWindows1251(const QByteArray& bytes) {
    return DecodeWindows1251(bytes.constData(), bytes.size());
}
// Returns false (and leaves out unspecified) when text holds a character the code page lacks.
bool EncodeWindows1251(QStringView text, QByteArray& out);

// Whether bytes of a settings file are Windows-1251 rather than UTF-8. Bytes that are not valid
// UTF-8 are Windows-1251. Valid UTF-8 can be Windows-1251 as well (the pair "Т°" is D2 B0, which
// UTF-8 reads as the Kazakh letter "Ұ"), so both readings are weighed: the one with fewer
// characters outside Russian text (Russian letters and the punctuation of the code page: « » ° №
// – — … and the like) wins; a tie, and plain ASCII, read as UTF-8.
bool LooksLikeWindows1251(const QByteArray& bytes);

}  // namespace qora
