// MQTT topic names built from the names of the records.
//
// A name becomes one topic level: the characters MQTT reserves in topic names ('+', '#', '/')
// and those a broker refuses in any UTF-8 string (NUL and the other control characters,
// non-characters, unpaired surrogates of the UTF-16 names) are each replaced by '_', so every
// level is valid UTF-8 and stays one level. An empty name becomes "_" (an empty level would
// make "a//b", legal but easily mistaken).
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>

namespace qora {

// MQTT's limit on a topic name, in bytes.
inline constexpr size_t kMaxTopicBytes = 65535;
inline constexpr char kTopicReplacement = '_';

// One topic level from a UTF-16 name, as UTF-8.
std::string TopicLevel(std::u16string_view name);
// True when text is valid UTF-8 without the characters TopicLevel replaces other than '/', '+'
// and '#' (which the caller checks where they matter).
bool IsMqttTopicText(std::string_view text);
// text cut to at most maxBytes bytes, never inside a UTF-8 sequence.
std::string_view CutUtf8(std::string_view text, size_t maxBytes);

// Hands out unique topics. Different names can give the same topic (equal device names on one
// point, "a/b" and "a_b", names cut by their fields): the second and later get "~2", "~3", ...
// appended to their last level, in the order they are asked for.
class TTopicTable {
  public:
    std::string Unique(std::string topic);
    size_t Size() const { return used_.size(); }

  private:
    std::unordered_set<std::string> used_;
    std::unordered_map<std::string, size_t> nextSuffix_;
};

}  // namespace qora
