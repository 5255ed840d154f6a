// INI file with the semantics of the profile-string functions: sections and keys matched without
// regard to case, the key list of a section, integers in decimal or hexadecimal ("$", "0x", "0X").
//
// The file is read when the object is created (and by Reload); a missing file reads as empty.
// Every write re-reads the file, changes the one line it concerns and replaces the file
// atomically, so comments, blank lines, the order of sections and every other line stay byte
// for byte. Text is UTF-8 or Windows-1251 (LooksLikeWindows1251 tells them apart); a
// Windows-1251 file is written back in it while the new text fits that code page, and keeps that
// encoding through this object's writes even when the bytes left would also read as UTF-8.
//
// Syntax: "[Section]" lines; "key=value" lines, key and value trimmed of blanks, one pair of
// matching quotes ('...' or "...") around the value removed; lines starting with ';' or '#' are
// comments; keys before the first section and lines without '=' are ignored. When a section or
// key appears twice, the first occurrence counts.
#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <QStringView>
#include <cstdint>
#include <optional>
#include <vector>

namespace qora {

class TIniFile {
  public:
    enum class Encoding { Utf8, Windows1251 };

    explicit TIniFile(QString fileName);

    const QString& FileName() const { return fileName_; }
    Encoding FileEncoding() const { return encoding_; }
    // Re-reads the file. Returns false (content then empty) when it exists but cannot be read.
    bool Reload(QString* error = nullptr);

    QString ReadString(QStringView section, QStringView key, const QString& defaultValue = QString()) const;
    // Decimal with an optional sign, or hexadecimal after "$", "0x" or "0X" (32 bits, so
    // $FFFFFFFF reads as -1); any other text, an empty or an absent value give defaultValue.
    int32_t ReadInteger(QStringView section, QStringView key, int32_t defaultValue = 0) const;
    // Names of the keys of the section, in file order, each once.
    QStringList ReadSection(QStringView section) const;
    // Names of the sections, in file order, each once.
    QStringList ReadSections() const;
    bool SectionExists(QStringView section) const;
    bool ValueExists(QStringView section, QStringView key) const;

    // Sets key in section, creating the file and the section when needed. Refuses empty names,
    // line breaks anywhere, '=' in a key, ']' in a section name. On failure nothing on disk
    // changes and error holds the reason.
    bool WriteString(QStringView section, QStringView key, QStringView value, QString* error = nullptr);
    bool WriteInteger(QStringView section, QStringView key, int32_t value, QString* error = nullptr);

    // The integer rule of ReadInteger; false when text is not an integer.
    static bool ParseInteger(QStringView text, int32_t& value);

  private:
    struct Entry {
        int line;
        QString key;
        QString value;
    };
    struct Section {
        QString name;
        int headerLine;
        std::vector<Entry> entries;
    };

    // known: the encoding of bytes when it is known (they were just written in it); otherwise it
    // is detected (LooksLikeWindows1251).
    void Parse(const QByteArray& bytes, std::optional<Encoding> known);
    QByteArray Joined() const;
    QString DecodeLine(const QByteArray& raw) const;
    const Entry* Find(QStringView section, QStringView key) const;
    const Section* FindSection(QStringView section) const;

    QString fileName_;
    Encoding encoding_ = Encoding::Utf8;
    std::vector<QByteArray> lines_;  // raw bytes of each line, terminator included
    std::vector<Section> sections_;
};

}  // namespace qora
