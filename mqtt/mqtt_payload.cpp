#include "mqtt/mqtt_payload.h"

#include <charconv>
#include <cmath>
#include <cstdio>
#include <ctime>

#include "config/records.h"

namespace qora {

std::string FormatMqttValue(float value) {
    if (!std::isfinite(value)) return "null";
    char buf[32];
    const auto r = std::to_chars(buf, buf + sizeof buf, value);
    return std::string(buf, r.ptr);
}

const char* MqttStatusText(uint16_t quality) {
    switch (quality) {
        case kQualityGood:
            return "Good";
        case kQualityNotConnected:
            return "BadNotConnected";
        case kQualityCommFailure:
            return "BadNoCommunication";
        default:
            return "Bad";
    }
}

std::string FormatUtcMs(int64_t unixMs) {
    int64_t secs = unixMs / 1000;
    int ms = int(unixMs % 1000);
    if (ms < 0) ms += 1000, --secs;
    const time_t t = static_cast<time_t>(secs);
    struct tm tm {};
    gmtime_r(&t, &tm);
    char buf[96];  // room for any int the format could meet
    std::snprintf(buf, sizeof buf, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", tm.tm_year + 1900, tm.tm_mon + 1,
                  tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec, ms);
    return buf;
}

void AppendJsonString(std::string& out, std::string_view text) {
    static const char kHex[] = "0123456789abcdef";
    out.push_back('"');
    for (const char ch : text) {
        const auto c = static_cast<unsigned char>(ch);
        if (c == '"' || c == '\\') {
            out.push_back('\\');
            out.push_back(ch);
        } else if (c < 0x20) {
            out += "\\u00";
            out.push_back(kHex[c >> 4]);
            out.push_back(kHex[c & 15]);
        } else {
            out.push_back(ch);
        }
    }
    out.push_back('"');
}

namespace {

void AppendIds(std::string& out, std::string_view itemId) {
    out += "{\"id\":";
    AppendJsonString(out, itemId);
    out += ",\"nodeId\":";
    std::string nodeId = "ns=1;s=";
    nodeId += itemId;
    AppendJsonString(out, nodeId);
}

// Everything up to the sequence number or the replay mark.
std::string ValuePayload(std::string_view itemId, float value, uint16_t quality, int64_t unixMs) {
    std::string out;
    out.reserve(2 * itemId.size() + 128);
    AppendIds(out, itemId);
    out += ",\"value\":";
    out += quality == kQualityGood ? FormatMqttValue(value) : std::string("null");
    out += ",\"quality\":";
    out += std::to_string(quality);
    out += ",\"status\":\"";
    out += MqttStatusText(quality);
    out += "\",\"sourceTime\":\"";
    out += FormatUtcMs(unixMs);
    out += '"';
    return out;
}

// The shortest text that reads back as the same double; null when JSON has no number for it.
std::string FormatJsonDouble(double v) {
    if (!std::isfinite(v)) return "null";
    char buf[32];
    const auto r = std::to_chars(buf, buf + sizeof buf, v);
    return std::string(buf, r.ptr);
}

}  // namespace

std::string BuildMqttPayload(std::string_view itemId, float value, uint16_t quality, int64_t unixMs,
                             uint32_t seq) {
    std::string out = ValuePayload(itemId, value, quality, unixMs);
    out += ",\"seq\":";
    out += std::to_string(seq);
    out += '}';
    return out;
}

std::string BuildReplayedMqttPayload(std::string_view itemId, float value, uint16_t quality, int64_t unixMs) {
    std::string out = ValuePayload(itemId, value, quality, unixMs);
    out += ",\"replayed\":true}";
    return out;
}

std::string BuildMqttMetaPayload(std::string_view itemId, const TMqttItemMeta& meta) {
    std::string out;
    out.reserve(3 * itemId.size() + 160);
    AppendIds(out, itemId);
    out += ",\"unit\":";
    if (meta.unit.empty())
        out += "null";
    else
        AppendJsonString(out, meta.unit);
    out += ",\"range\":";
    if (meta.hasRange) {
        out += "{\"low\":";
        out += FormatJsonDouble(meta.low);
        out += ",\"high\":";
        out += FormatJsonDouble(meta.high);
        out += '}';
    } else {
        out += "null";
    }
    out += ",\"description\":{\"point\":";
    AppendJsonString(out, meta.point);
    out += ",\"device\":";
    AppendJsonString(out, meta.device);
    out += ",\"parameter\":";
    AppendJsonString(out, meta.parameter);
    out += "}}";
    return out;
}

}  // namespace qora
