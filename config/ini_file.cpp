#include "config/ini_file.h"

#include <QSet>
#include <cerrno>
#include <utility>

#include "config/file_io.h"
#include "config/text_codec.h"

namespace qora {

namespace {

// A settings file holds a few kilobytes; anything far beyond is refused rather than truncated,
// so that a write never drops lines it could not read.
constexpr size_t kMaxIniBytes = 16u * 1024 * 1024;

bool SameName(QStringView a, QStringView b) {
    return a.compare(b, Qt::CaseInsensitive) == 0;
}

QByteArray Terminator(const QByteArray& raw) {
    if (raw.endsWith("\r\n")) return QByteArrayLiteral("\r\n");
    if (raw.endsWith('\n')) return QByteArrayLiteral("\n");
    return {};
}

bool IsQuote(QChar c) {
    return c == u'"' || c == u'\'';
}

QString QuoteIfNeeded(QStringView value) {
    if (value.isEmpty()) return QString();
    const bool edgeBlank = value.front().isSpace() || value.back().isSpace();
    const bool looksQuoted = value.size() >= 2 && IsQuote(value.front()) && value.front() == value.back();
    if (edgeBlank || looksQuoted) return u'"' + value.toString() + u'"';
    return value.toString();
}

bool HasLineBreak(QStringView s) {
    return s.contains(u'\n') || s.contains(u'\r');
}

}  // namespace

TIniFile::TIniFile(QString fileName) : fileName_(std::move(fileName)) {
    Reload();
}

bool TIniFile::Reload(QString* error) {
    std::vector<uint8_t> bytes;
    QString err;
    const FileReadStatus st = ReadFileBytes(fileName_, bytes, kMaxIniBytes + 1, &err);
    if (st == FileReadStatus::Failed || bytes.size() > kMaxIniBytes) {
        if (st != FileReadStatus::Failed) err = OpenFileError(fileName_, EFBIG);
        if (error != nullptr) *error = err;
        Parse(QByteArray(), Encoding::Utf8);
        return false;
    }
    const QByteArray content(reinterpret_cast<const char*>(bytes.data()),
                             static_cast<qsizetype>(bytes.size()));
    // The same bytes as last read or written keep the encoding they had: only a file changed
    // since is looked at afresh.
    std::optional<Encoding> known;
    if (!lines_.empty() && content == Joined()) known = encoding_;
    Parse(content, known);
    return true;
}

QString TIniFile::DecodeLine(const QByteArray& raw) const {
    qsizetype n = raw.size();
    if (n > 0 && raw[n - 1] == '\n') --n;
    if (n > 0 && raw[n - 1] == '\r') --n;
    if (encoding_ == Encoding::Windows1251) return DecodeWindows1251(raw.constData(), n);
    return QString::fromUtf8(raw.constData(), n);
}

QByteArray TIniFile::Joined() const {
    QByteArray all;
    for (const QByteArray& raw : lines_) all += raw;
    return all;
}

void TIniFile::Parse(const QByteArray& bytes, std::optional<Encoding> known) {
    lines_.clear();
    sections_.clear();
    encoding_ = known ? *known : LooksLikeWindows1251(bytes) ? Encoding::Windows1251 : Encoding::Utf8;
    qsizetype start = 0;
    while (start < bytes.size()) {
        qsizetype nl = bytes.indexOf('\n', start);
        qsizetype end = nl < 0 ? bytes.size() : nl + 1;
        lines_.push_back(bytes.mid(start, end - start));
        start = end;
    }
    for (int i = 0; i < static_cast<int>(lines_.size()); ++i) {
        QString text = DecodeLine(lines_[i]);
        if (i == 0 && text.startsWith(QChar(0xFEFF))) text.remove(0, 1);
        const QString t = text.trimmed();
        if (t.isEmpty() || t.front() == u';' || t.front() == u'#') continue;
        if (t.front() == u'[') {
            qsizetype close = t.indexOf(u']');
            QString name = (close < 0 ? t.mid(1) : t.mid(1, close - 1)).trimmed();
            sections_.push_back(Section{std::move(name), i, {}});
            continue;
        }
        if (sections_.empty()) continue;
        qsizetype eq = t.indexOf(u'=');
        if (eq < 0) continue;
        QString key = t.left(eq).trimmed();
        if (key.isEmpty()) continue;
        QString value = t.mid(eq + 1).trimmed();
        if (value.size() >= 2 && IsQuote(value.front()) && value.front() == value.back())
            value = value.mid(1, value.size() - 2);
        sections_.back().entries.push_back(Entry{i, std::move(key), std::move(value)});
    }
}

const TIniFile::Section* TIniFile::FindSection(QStringView section) const {
    for (const Section& s : sections_)
        if (SameName(s.name, section)) return &s;
    return nullptr;
}

const TIniFile::Entry* TIniFile::Find(QStringView section, QStringView key) const {
    for (const Section& s : sections_) {
        if (!SameName(s.name, section)) continue;
        for (const Entry& e : s.entries)
            if (SameName(e.key, key)) return &e;
    }
    return nullptr;
}

QString TIniFile::ReadString(QStringView section, QStringView key, const QString& defaultValue) const {
    const Entry* e = Find(section, key);
    return e != nullptr ? e->value : defaultValue;
}

int32_t TIniFile::ReadInteger(QStringView section, QStringView key, int32_t defaultValue) const {
    const Entry* e = Find(section, key);
    int32_t v = 0;
    if (e == nullptr || !ParseInteger(e->value, v)) return defaultValue;
    return v;
}

QStringList TIniFile::ReadSection(QStringView section) const {
    QStringList keys;
    QSet<QString> seen;
    for (const Section& s : sections_) {
        if (!SameName(s.name, section)) continue;
        for (const Entry& e : s.entries) {
            QString folded = e.key.toCaseFolded();
            if (seen.contains(folded)) continue;
            seen.insert(std::move(folded));
            keys.push_back(e.key);
        }
    }
    return keys;
}

QStringList TIniFile::ReadSections() const {
    QStringList names;
    QSet<QString> seen;
    for (const Section& s : sections_) {
        QString folded = s.name.toCaseFolded();
        if (seen.contains(folded)) continue;
        seen.insert(std::move(folded));
        names.push_back(s.name);
    }
    return names;
}

bool TIniFile::SectionExists(QStringView section) const {
    return FindSection(section) != nullptr;
}

bool TIniFile::ValueExists(QStringView section, QStringView key) const {
    return Find(section, key) != nullptr;
}

bool TIniFile::ParseInteger(QStringView text, int32_t& value) {
    const qsizetype n = text.size();
    qsizetype i = 0;
    bool negative = false;
    if (i < n && (text[i] == u'-' || text[i] == u'+')) {
        negative = text[i] == u'-';
        ++i;
    }
    int base = 10;
    if (i < n && text[i] == u'$') {
        base = 16;
        ++i;
    } else if (i + 1 < n && text[i] == u'0' && (text[i + 1] == u'x' || text[i + 1] == u'X')) {
        base = 16;
        i += 2;
    }
    if (i >= n) return false;
    uint64_t acc = 0;
    for (; i < n; ++i) {
        const char16_t c = text[i].unicode();
        int d;
        if (c >= u'0' && c <= u'9')
            d = c - u'0';
        else if (base == 16 && c >= u'a' && c <= u'f')
            d = c - u'a' + 10;
        else if (base == 16 && c >= u'A' && c <= u'F')
            d = c - u'A' + 10;
        else
            return false;
        acc = acc * static_cast<uint64_t>(base) + static_cast<uint64_t>(d);
        if (acc > 0xFFFFFFFFull) return false;
    }
    uint32_t bits;
    if (base == 16) {
        bits = static_cast<uint32_t>(acc);  // 32-bit pattern: $FFFFFFFF is -1
    } else {
        if (acc > (negative ? 2147483648ull : 2147483647ull)) return false;
        bits = static_cast<uint32_t>(acc);
    }
    if (negative) bits = 0u - bits;
    value = static_cast<int32_t>(bits);
    return true;
}

bool TIniFile::WriteInteger(QStringView section, QStringView key, int32_t value, QString* error) {
    return WriteString(section, key, QString::number(value), error);
}

bool TIniFile::WriteString(QStringView section, QStringView key, QStringView value, QString* error) {
    auto refuse = [&](const QString& why) {
        if (error != nullptr) *error = why;
        return false;
    };
    const QString sectionName = section.trimmed().toString();
    const QString keyName = key.trimmed().toString();
    if (sectionName.isEmpty() || keyName.isEmpty())
        return refuse(QStringLiteral("Пустое имя раздела или ключа в файле настроек"));
    if (HasLineBreak(section) || HasLineBreak(key) || HasLineBreak(value))
        return refuse(QStringLiteral("Перевод строки в значении файла настроек"));
    if (keyName.contains(u'=') || sectionName.contains(u']'))
        return refuse(QStringLiteral("Недопустимый символ в имени раздела или ключа файла настроек"));
    if (keyName.front() == u';' || keyName.front() == u'#' || keyName.front() == u'[')
        return refuse(QStringLiteral("Недопустимый символ в имени раздела или ключа файла настроек"));

    // Work on what is on disk now, so that lines changed by hand since are kept as well.
    QString readError;
    if (!Reload(&readError)) return refuse(readError);

    const Entry* existing = Find(sectionName, keyName);
    const QString newLine = (existing != nullptr ? existing->key : keyName) + u'=' + QuoteIfNeeded(value);
    const QString header = u'[' + sectionName + u']';

    std::vector<QByteArray> lines = lines_;
    Encoding encoding = encoding_;
    QByteArray encodedLine, encodedHeader;
    if (encoding == Encoding::Windows1251 &&
        !(EncodeWindows1251(newLine, encodedLine) && EncodeWindows1251(header, encodedHeader))) {
        // The new text does not fit the code page: carry the whole file over to UTF-8.
        for (QByteArray& raw : lines) raw = DecodeWindows1251(raw).toUtf8();
        encoding = Encoding::Utf8;
    }
    if (encoding == Encoding::Utf8) {
        encodedLine = newLine.toUtf8();
        encodedHeader = header.toUtf8();
    }

    QByteArray nl = QByteArrayLiteral("\n");
    for (const QByteArray& raw : lines) {
        QByteArray t = Terminator(raw);
        if (!t.isEmpty()) {
            nl = t;
            break;
        }
    }
    auto terminate = [&](int index) {
        if (index >= 0 && index < static_cast<int>(lines.size()) && Terminator(lines[index]).isEmpty())
            lines[index] += nl;
    };

    if (existing != nullptr) {
        QByteArray& raw = lines[existing->line];
        raw = encodedLine + Terminator(raw);
    } else if (const Section* s = FindSection(sectionName)) {
        const int at = s->entries.empty() ? s->headerLine + 1 : s->entries.back().line + 1;
        terminate(at - 1);
        lines.insert(lines.begin() + at, encodedLine + nl);
    } else {
        terminate(static_cast<int>(lines.size()) - 1);
        lines.push_back(encodedHeader + nl);
        lines.push_back(encodedLine + nl);
    }

    QByteArray out;
    for (const QByteArray& raw : lines) out += raw;
    QString writeError;
    if (!WriteFileAtomically(fileName_, out.constData(), static_cast<size_t>(out.size()), &writeError))
        return refuse(writeError);
    Parse(out, encoding);
    return true;
}

}  // namespace qora
