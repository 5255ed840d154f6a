#include "tools/cfg/cfg_json.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonParseError>
#include <QJsonValue>
#include <charconv>
#include <cmath>
#include <limits>
#include <set>

namespace qora::cfgtool {

namespace {

void AppendJsonString(std::string& out, const QString& text) {
    const QByteArray utf8 = text.toUtf8();
    out += '"';
    for (char ch : utf8) {
        const auto c = static_cast<unsigned char>(ch);
        switch (c) {
            case '"':
                out += "\\\"";
                break;
            case '\\':
                out += "\\\\";
                break;
            case '\n':
                out += "\\n";
                break;
            case '\r':
                out += "\\r";
                break;
            case '\t':
                out += "\\t";
                break;
            default:
                if (c < 0x20) {
                    static const char hex[] = "0123456789abcdef";
                    out += "\\u00";
                    out += hex[c >> 4];
                    out += hex[c & 15];
                } else {
                    out += ch;
                }
        }
    }
    out += '"';
}

QString NameText(const char16_t* field) {
    const std::u16string_view v = NameView(field, kNameUnits);
    return QString::fromUtf16(v.data(), static_cast<qsizetype>(v.size()));
}

std::u16string_view View(const QString& s) {
    return {reinterpret_cast<const char16_t*>(s.utf16()), static_cast<size_t>(s.size())};
}

struct Checker {
    QString& error;
    bool Fail(const QString& where, const char* what) {
        error = where + QStringLiteral(": ") + QString::fromUtf8(what);
        return false;
    }
};

bool IntegerIn(const QJsonValue& v, int lo, int hi, int& out) {
    if (!v.isDouble()) return false;
    const double d = v.toDouble();
    if (d != std::floor(d) || d < lo || d > hi) return false;
    out = static_cast<int>(d);
    return true;
}

}  // namespace

std::string ShortestFloat(float value) {
    char buf[64];
    const auto res = std::to_chars(buf, buf + sizeof buf, value);
    return std::string(buf, res.ptr);
}

std::string ToJson(const TConfigModel& model) {
    std::string out = "{\"points\": [";
    const int n = std::min<int>(model.pointCount, kMaxPoints);
    for (int s = 0; s < n; ++s) {
        const TConnectionPoint& p = model.points[s];
        if (s > 0) out += ", ";
        out += "{\"name\": ";
        AppendJsonString(out, NameText(p.name));
        out += ", \"port\": ";
        const std::string_view port = PortNameView(p.portName);
        AppendJsonString(out, QString::fromUtf8(port.data(), static_cast<qsizetype>(port.size())));
        out += ", \"period\": ";
        out += std::isfinite(p.pollPeriod) ? ShortestFloat(p.pollPeriod) : std::string("null");
        out += ", \"active\": ";
        out += p.active ? "true" : "false";
        out += ", \"devices\": [";
        const int count = std::min<int>(p.deviceCount, kMaxDevicesPerPoint);
        for (int d = 0; d < count; ++d) {
            const TDevice& dev = p.devices[d];
            if (d > 0) out += ", ";
            out += "{\"name\": ";
            AppendJsonString(out, NameText(dev.name));
            out += ", \"type\": " + std::to_string(dev.typeIndex);
            out += ", \"address\": " + std::to_string(dev.address);
            out += ", \"parameters\": [";
            bool first = true;
            for (int k = 0; k < kParamsPerDevice; ++k) {
                if ((dev.paramMask & (1u << k)) == 0) continue;
                if (!first) out += ", ";
                out += std::to_string(k);
                first = false;
            }
            out += "]}";
        }
        out += "]}";
    }
    out += "]}";
    return out;
}

bool FromJson(const QByteArray& json, TConfigModel& model, QString& error) {
    ClearModel(model);
    Checker check{error};
    QJsonParseError parseError{};
    const QJsonDocument doc = QJsonDocument::fromJson(json, &parseError);
    if (parseError.error != QJsonParseError::NoError) {
        error = QStringLiteral("invalid JSON at offset %1: %2")
                    .arg(parseError.offset)
                    .arg(parseError.errorString());
        return false;
    }
    if (!doc.isObject() || !doc.object().value(QStringLiteral("points")).isArray())
        return check.Fail(QStringLiteral("points"), "an object with a \"points\" array is expected");
    const QJsonArray points = doc.object().value(QStringLiteral("points")).toArray();
    if (points.size() > kMaxPoints)
        return check.Fail(QStringLiteral("points"), "at most 50 connection points");
    std::set<std::string> ports;
    for (qsizetype s = 0; s < points.size(); ++s) {
        const QString where = QStringLiteral("points[%1]").arg(s);
        if (!points[s].isObject()) return check.Fail(where, "an object is expected");
        const QJsonObject p = points[s].toObject();
        const QJsonValue name = p.value(QStringLiteral("name"));
        const QJsonValue port = p.value(QStringLiteral("port"));
        const QJsonValue period = p.value(QStringLiteral("period"));
        const QJsonValue active = p.value(QStringLiteral("active"));
        const QJsonValue devices = p.value(QStringLiteral("devices"));
        if (!name.isString() || name.toString().size() > kMaxNameChars)
            return check.Fail(where + QStringLiteral(".name"), "a text of at most 50 characters is expected");
        if (name.toString().contains(QChar(0)))
            return check.Fail(where + QStringLiteral(".name"), "no zero characters");
        const QByteArray portBytes = port.toString().toUtf8();
        if (!port.isString() || portBytes.size() > kMaxPortNameChars || portBytes.contains('\0'))
            return check.Fail(where + QStringLiteral(".port"), "a port name of at most 19 bytes is expected");
        if (!portBytes.isEmpty() && !ports.insert(portBytes.toStdString()).second)
            return check.Fail(where + QStringLiteral(".port"), "the port is used by an earlier point");
        if (!period.isDouble())
            return check.Fail(where + QStringLiteral(".period"), "a number of seconds is expected");
        if (!active.isUndefined() && !active.isBool())
            return check.Fail(where + QStringLiteral(".active"), "true or false is expected");
        if (!devices.isUndefined() && !devices.isArray())
            return check.Fail(where + QStringLiteral(".devices"), "an array is expected");
        const QJsonArray devs = devices.toArray();
        if (devs.size() > kMaxDevicesPerPoint)
            return check.Fail(where + QStringLiteral(".devices"), "at most 128 devices");
        const double periodSeconds = period.toDouble();
        if (!(std::fabs(periodSeconds) <= static_cast<double>(std::numeric_limits<float>::max())))
            return check.Fail(where + QStringLiteral(".period"), "the number does not fit a 32-bit float");
        const float periodValue = static_cast<float>(periodSeconds);
        AppendPoint(model, View(name.toString()), std::string_view(portBytes.constData(), portBytes.size()),
                    periodValue, active.isUndefined() ? true : active.toBool());
        std::set<int> addresses;
        for (qsizetype d = 0; d < devs.size(); ++d) {
            const QString dw = where + QStringLiteral(".devices[%1]").arg(d);
            if (!devs[d].isObject()) return check.Fail(dw, "an object is expected");
            const QJsonObject dev = devs[d].toObject();
            const QJsonValue dname = dev.value(QStringLiteral("name"));
            if (!dname.isString() || dname.toString().size() > kMaxNameChars ||
                dname.toString().contains(QChar(0)))
                return check.Fail(dw + QStringLiteral(".name"),
                                  "a text of at most 50 characters is expected");
            int type = 0, address = 0;
            if (!IntegerIn(dev.value(QStringLiteral("type")), 0, kMaxDeviceTypes - 1, type))
                return check.Fail(dw + QStringLiteral(".type"), "an integer from 0 to 63 is expected");
            if (!IntegerIn(dev.value(QStringLiteral("address")), kMinAddress, kMaxAddress, address))
                return check.Fail(dw + QStringLiteral(".address"), "an integer from 1 to 254 is expected");
            if (!addresses.insert(address).second)
                return check.Fail(dw + QStringLiteral(".address"),
                                  "the address is used by an earlier device of the point");
            const QJsonValue params = dev.value(QStringLiteral("parameters"));
            if (!params.isArray())
                return check.Fail(dw + QStringLiteral(".parameters"), "an array is expected");
            uint32_t mask = 0;
            const QJsonArray list = params.toArray();
            for (qsizetype k = 0; k < list.size(); ++k) {
                int bit = 0;
                if (!IntegerIn(list[k], 0, kParamsPerDevice - 1, bit))
                    return check.Fail(dw + QStringLiteral(".parameters[%1]").arg(k),
                                      "an integer from 0 to 31 is expected");
                mask |= 1u << bit;
            }
            AppendDevice(model, static_cast<int>(s), View(dname.toString()), static_cast<uint8_t>(type),
                         static_cast<uint8_t>(address), mask);
        }
    }
    return true;
}

}  // namespace qora::cfgtool
