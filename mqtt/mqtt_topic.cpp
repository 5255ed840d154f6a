#include "mqtt/mqtt_topic.h"

#include <algorithm>

namespace qora {

namespace {

// Code points a broker refuses in a UTF-8 string (besides surrogates and overlong forms).
bool Refused(char32_t c) {
    return c <= 0x1F || (c >= 0x7F && c <= 0x9F) || (c >= 0xFDD0 && c <= 0xFDEF) || (c & 0xFFFE) == 0xFFFE;
}

void AppendUtf8(std::string& out, char32_t c) {
    if (c < 0x80) {
        out.push_back(char(c));
    } else if (c < 0x800) {
        out.push_back(char(0xC0 | (c >> 6)));
        out.push_back(char(0x80 | (c & 0x3F)));
    } else if (c < 0x10000) {
        out.push_back(char(0xE0 | (c >> 12)));
        out.push_back(char(0x80 | ((c >> 6) & 0x3F)));
        out.push_back(char(0x80 | (c & 0x3F)));
    } else {
        out.push_back(char(0xF0 | (c >> 18)));
        out.push_back(char(0x80 | ((c >> 12) & 0x3F)));
        out.push_back(char(0x80 | ((c >> 6) & 0x3F)));
        out.push_back(char(0x80 | (c & 0x3F)));
    }
}

// Decodes one strict UTF-8 sequence at text[i]; returns its length, 0 when invalid.
size_t DecodeUtf8(std::string_view text, size_t i, char32_t& c) {
    const auto b = [&](size_t k) { return static_cast<unsigned char>(text[k]); };
    const unsigned char lead = b(i);
    size_t n;
    char32_t min;
    if (lead < 0x80) {
        c = lead;
        return 1;
    } else if ((lead & 0xE0) == 0xC0) {
        n = 2, c = lead & 0x1F, min = 0x80;
    } else if ((lead & 0xF0) == 0xE0) {
        n = 3, c = lead & 0x0F, min = 0x800;
    } else if ((lead & 0xF8) == 0xF0) {
        n = 4, c = lead & 0x07, min = 0x10000;
    } else {
        return 0;
    }
    if (i + n > text.size()) return 0;
    for (size_t k = 1; k < n; ++k) {
        if ((b(i + k) & 0xC0) != 0x80) return 0;
        c = (c << 6) | (b(i + k) & 0x3F);
    }
    if (c < min || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) return 0;
    return n;
}

}  // namespace

std::string TopicLevel(std::u16string_view name) {
    std::string out;
    out.reserve(name.size() * 3);
    for (size_t i = 0; i < name.size(); ++i) {
        char32_t c = name[i];
        if (c >= 0xD800 && c <= 0xDBFF && i + 1 < name.size() && name[i + 1] >= 0xDC00 &&
            name[i + 1] <= 0xDFFF) {
            c = 0x10000 + ((c - 0xD800) << 10) + (name[i + 1] - 0xDC00);
            ++i;
        } else if (c >= 0xD800 && c <= 0xDFFF) {
            c = kTopicReplacement;  // unpaired surrogate
        }
        if (c == '+' || c == '#' || c == '/' || Refused(c)) c = kTopicReplacement;
        AppendUtf8(out, c);
    }
    if (out.empty()) out.push_back(kTopicReplacement);
    return out;
}

bool IsMqttTopicText(std::string_view text) {
    for (size_t i = 0; i < text.size();) {
        char32_t c;
        const size_t n = DecodeUtf8(text, i, c);
        if (n == 0 || Refused(c)) return false;
        i += n;
    }
    return true;
}

std::string_view CutUtf8(std::string_view text, size_t maxBytes) {
    if (text.size() <= maxBytes) return text;
    size_t n = maxBytes;
    while (n > 0 && (static_cast<unsigned char>(text[n]) & 0xC0) == 0x80) --n;
    return text.substr(0, n);
}

std::string TTopicTable::Unique(std::string topic) {
    // Room for the longest suffix this table can hand out.
    constexpr size_t kSuffixRoom = 12;
    if (topic.size() > kMaxTopicBytes) topic = std::string(CutUtf8(topic, kMaxTopicBytes - kSuffixRoom));
    if (used_.insert(topic).second) return topic;
    if (topic.size() > kMaxTopicBytes - kSuffixRoom)
        topic = std::string(CutUtf8(topic, kMaxTopicBytes - kSuffixRoom));
    // Counting on from the last suffix given for this topic keeps many equal topics linear.
    size_t& next = nextSuffix_[topic];
    for (size_t n = std::max<size_t>(next, 2);; ++n) {
        std::string candidate = topic + '~' + std::to_string(n);
        if (used_.insert(candidate).second) {
            next = n + 1;
            return candidate;
        }
    }
}

}  // namespace qora
