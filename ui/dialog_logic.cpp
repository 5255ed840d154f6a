#include "ui/dialog_logic.h"

#include <algorithm>
#include <cmath>
#include <limits>

#include "ui/cell_format.h"
#include "ui/ui_texts.h"

namespace qora {

QStringList FreePorts(const TConfigModel& m, const std::vector<std::string>& portTable, int exceptPoint) {
    QStringList out;
    const int count = std::min<int>(m.pointCount, kMaxPoints);
    for (const std::string& port : portTable) {
        bool used = false;
        for (int i = 0; i < count && !used; ++i) {
            if (m.points[i].index == exceptPoint && exceptPoint >= 0) continue;
            used = PortNameView(m.points[i].portName) == port;
        }
        if (!used) out << QString::fromLocal8Bit(port.data(), static_cast<qsizetype>(port.size()));
    }
    return out;
}

int PreselectPort(const QStringList& ports, const QString& current) {
    if (ports.isEmpty()) return -1;
    const int i = static_cast<int>(ports.indexOf(current));
    return i >= 0 ? i : 0;
}

QString DefaultPointName(int pointCount) {
    return texts::kDefaultPointNamePrefix + QString::number(pointCount + 1);
}

QStringList PointEntries(const TConfigModel& m) {
    QStringList out;
    const int count = std::min<int>(m.pointCount, kMaxPoints);
    for (int i = 0; i < count; ++i) out << PointCaption(m.points[i]);
    return out;
}

int TypeCount(const TConfigModel& m) {
    return std::min<int>(m.typeCount, kMaxDeviceTypes);
}

QStringList TypeEntries(const TConfigModel& m) {
    QStringList out;
    for (int i = 0; i < TypeCount(m); ++i) out << TypeName(m, i);
    return out;
}

TAddressChoice FreeAddresses(const TConfigModel& m, int point, int editedPoint, int editedAddress,
                             int remembered) {
    TAddressChoice c;
    bool used[kMaxAddress + 1] = {};
    if (point >= 0 && point < std::min<int>(m.pointCount, kMaxPoints)) {
        const TConnectionPoint& p = m.points[point];
        const int n = std::min<int>(p.deviceCount, kMaxDevicesPerPoint);
        for (int j = 0; j < n; ++j) used[p.devices[j].address] = true;
    }
    for (int a = kMinAddress; a <= kMaxAddress; ++a) {
        if (used[a]) {
            if (point != editedPoint || a != editedAddress) continue;
            remembered = a;
        }
        c.addresses.push_back(a);
    }
    if (!c.addresses.empty()) {
        auto it = std::find(c.addresses.begin(), c.addresses.end(), remembered);
        c.selected = it == c.addresses.end() ? 0 : static_cast<int>(it - c.addresses.begin());
    }
    return c;
}

int ParseAddressText(const QString& text) {
    bool ok = false;
    const int v = text.trimmed().toInt(&ok, 10);
    return ok ? v : 0;
}

TKindChoice MakeKindChoice(int pointCount, TNodeRef selectedNode) {
    TKindChoice c;
    c.entries << texts::kKindPoint;
    if (pointCount != 0) c.entries << texts::kKindDevice;
    if (selectedNode.point >= 0 && pointCount != 0) {
        c.selected = 1;
        c.defaultPoint = selectedNode.point;
    }
    return c;
}

QChar FilterPeriodKey(const QString& fieldText, QChar key, const QLocale& locale) {
    if (key == QChar(0x08)) return key;
    if (key >= QLatin1Char('0') && key <= QLatin1Char('9')) return key;
    if (key == QLatin1Char(',') || key == QLatin1Char('.')) {
        const QString sep = locale.decimalPoint();
        if (sep.size() != 1 || fieldText.contains(sep)) return QChar();
        return sep.at(0);
    }
    return QChar();
}

std::optional<float> ParsePeriod(const QString& text, const QLocale& locale) {
    const QString sep = locale.decimalPoint();
    int digits = 0;
    int seps = 0;
    for (QChar c : text) {
        if (c >= QLatin1Char('0') && c <= QLatin1Char('9')) {
            ++digits;
        } else if (QString(c) == sep) {
            ++seps;
        } else {
            return std::nullopt;
        }
    }
    if (digits == 0 || seps > 1) return std::nullopt;
    QLocale loc = locale;
    loc.setNumberOptions(QLocale::RejectGroupSeparator);
    bool ok = false;
    const double v = loc.toDouble(text, &ok);
    if (!ok || !std::isfinite(v) || v > static_cast<double>(std::numeric_limits<float>::max()))
        return std::nullopt;
    return static_cast<float>(v);
}

QString DefaultPeriodText(const QLocale& locale) {
    QLocale loc = locale;
    loc.setNumberOptions(loc.numberOptions() | QLocale::OmitGroupSeparator);
    return loc.toString(4.2, 'g', QLocale::FloatingPointShortest);
}

QString PeriodText(float period, const QLocale& locale) {
    QLocale loc = locale;
    loc.setNumberOptions(loc.numberOptions() | QLocale::OmitGroupSeparator);
    return loc.toString(static_cast<double>(period), 'f', 3);
}

QString DeleteQuestion(const QString& nodeCaption) {
    return QStringLiteral("Вы действительно желаете удалить \"") + nodeCaption + QStringLiteral("\"?");
}

QString DeletePointWithDevicesQuestion(const QString& pointName) {
    return QStringLiteral("К адаптеру \"") + pointName +
           QStringLiteral("\" подключены устройства.\nПродолжить операцию удаления?");
}

void TParamBoxes::ShowType(uint32_t typeMask) {
    visible_ = typeMask;
    for (int n = 0; n < kParamsPerDevice; ++n) SetTicked(n, false);
}

void TParamBoxes::SetTicked(int n, bool ticked) {
    if (n < 0 || n >= kParamsPerDevice) return;
    const uint32_t bit = 1u << n;
    const uint32_t before = ticked_;
    ticked_ = ticked ? (ticked_ | bit) : (ticked_ & ~bit);
    if (ticked_ == before) return;
    // The box now ticked confirms; otherwise confirm again only if any box is ticked.
    confirming_ = ticked || ticked_ != 0;
}

int TParamBoxes::TopOf(int n) const {
    int row = 0;
    for (int i = 0; i < n && i < kParamsPerDevice; ++i)
        if (isVisible(i)) ++row;
    return kBoxTop + row * kBoxStep;
}

int TParamBoxes::FirstVisible() const {
    for (int n = 0; n < kParamsPerDevice; ++n)
        if (isVisible(n)) return n;
    return -1;
}

}  // namespace qora
