#include "ui/cell_format.h"

#include <QDate>
#include <QTime>
#include <algorithm>
#include <cmath>

#include "ui/ui_texts.h"

namespace qora {

QString FromName(const char16_t* field) {
    const std::u16string_view v = NameView(field, kNameUnits);
    return QString::fromUtf16(v.data(), static_cast<qsizetype>(v.size()));
}

QString FromPortName(const char* field) {
    const std::string_view v = PortNameView(field);
    return QString::fromLocal8Bit(v.data(), static_cast<qsizetype>(v.size()));
}

namespace {
QString FromCatalogue(const char16_t* field) {
    const std::u16string_view v = NameView(field, kCatalogUnits);
    return QString::fromUtf16(v.data(), static_cast<qsizetype>(v.size()));
}
}  // namespace

QString TypeName(const TConfigModel& m, int typeIndex) {
    const int count = std::min<int>(m.typeCount, kMaxDeviceTypes);
    if (typeIndex < 0 || typeIndex >= count) return texts::kUnknownType;
    return FromCatalogue(m.typeNames[typeIndex]);
}

QString ParamName(const TConfigModel& m, int n) {
    if (n < 0 || n >= kParamsPerDevice) return {};
    return FromCatalogue(m.paramNames[n]);
}

QString PointCaption(const TConnectionPoint& p) {
    return FromName(p.name) + QStringLiteral(" (") + FromPortName(p.portName) + QStringLiteral(")");
}

QString DeviceCaption(const TConfigModel& m, const TDevice& d) {
    return FromName(d.name) + QStringLiteral(" (") + TypeName(m, d.typeIndex) + QStringLiteral(" №") +
           QString::number(d.address) + QStringLiteral(")");
}

QString PointRowCaption(const TConfigModel& m, const TDevice& d, int n) {
    return DeviceCaption(m, d) + QStringLiteral(".") + ParamName(m, n);
}

QString FormatValue(float v, const QLocale& locale) {
    QLocale loc = locale;
    loc.setNumberOptions(loc.numberOptions() | QLocale::OmitGroupSeparator);
    double d = static_cast<double>(v);
    if (d == 0.0) d = 0.0;  // no "-0,000"
    // Fixed notation holds at most 15 significant digits; larger magnitudes go scientific.
    if (std::isfinite(d) && std::fabs(d) >= 1e15) return loc.toString(d, 'E', 14);
    return loc.toString(d, 'f', 3);
}

std::optional<TQualityCell> QualityCell(uint16_t quality) {
    switch (quality) {
        case kQualityGood:
            return TQualityCell{texts::kQualityGood, kImgNormal};
        case kQualityNotConnected:
            return TQualityCell{texts::kQualityNotConnected, kImgFault};
        case kQualityCommFailure:
            return TQualityCell{texts::kQualityCommFailure, kImgFault};
        default:
            return std::nullopt;
    }
}

QString LongTimeFormat(const QLocale& locale) {
    const QString f = locale.timeFormat(QLocale::LongFormat);
    QString out;
    bool quoted = false;
    for (QChar c : f) {
        if (c == QLatin1Char('\'')) quoted = !quoted;
        if (!quoted && c == QLatin1Char('t')) continue;
        out += c;
    }
    return out.trimmed();
}

QString FormatTimestamp(double dateTime, const QLocale& locale) {
    // The calendar of TDateTime runs from year 1 to 9999; anything else has no text.
    constexpr double kMinDateTime = -693593.0;
    constexpr double kMaxDateTime = 2958466.0;
    if (!std::isfinite(dateTime) || dateTime <= kMinDateTime || dateTime >= kMaxDateTime) return {};
    constexpr int64_t kMsPerDay = 86400000;
    // The integral part counts days; the magnitude of the fraction is the time of day.
    double days = std::trunc(dateTime);
    int64_t ms = std::llround(std::fabs(dateTime - days) * static_cast<double>(kMsPerDay));
    if (ms >= kMsPerDay) {
        ms -= kMsPerDay;
        days += dateTime < 0 ? -1.0 : 1.0;
    }
    const QDate date = QDate(1899, 12, 30).addDays(static_cast<qint64>(days));
    QString text = locale.toString(date, locale.dateFormat(QLocale::ShortFormat));
    if (ms != 0) {
        const QTime time = QTime::fromMSecsSinceStartOfDay(static_cast<int>(ms));
        text += QLatin1Char(' ') + locale.toString(time, LongTimeFormat(locale));
    }
    return text;
}

int DeviceNodeImage(const TDevice& d) {
    return (d.unanswered >= kSilentAfterPolls || d.replied == 0) ? kImgFault : kImgNormal;
}

int PointNodeImage(bool hasPort, bool portOpen) {
    return (hasPort && portOpen) ? kImgNormal : kImgFault;
}

TCaption MakeCaption(const QString& configName, const std::optional<QString>& version, bool unsaved,
                     bool untitled, int pointCount) {
    TCaption c;
    c.text = version ? QStringLiteral("%1 - %2 v%3").arg(configName, texts::kProgramTitle, *version)
                     : texts::kProgramTitle;
    c.fileSaveEnabled = false;
    if (unsaved && pointCount != 0) {
        c.text += texts::kUnsavedMarker;
        c.fileSaveEnabled = true;
    }
    if (untitled && pointCount != 0) c.fileSaveEnabled = true;
    return c;
}

}  // namespace qora
