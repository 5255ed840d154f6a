#include "app/command_line.h"

#include <algorithm>
#include <cctype>

namespace qora {

namespace {
bool EqualsNoCase(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::tolower(static_cast<unsigned char>(x)) ==
                      std::tolower(static_cast<unsigned char>(y));
           });
}
}  // namespace

EntryCommand ParseEntryCommand(std::string_view commandText) {
    size_t pos = commandText.find('-');
    if (pos == std::string_view::npos) pos = commandText.find('/');
    if (pos == std::string_view::npos) return EntryCommand::Run;
    const std::string_view word = commandText.substr(pos + 1);
    if (EqualsNoCase(word, "regserver") || EqualsNoCase(word, "r")) return EntryCommand::Register;
    if (EqualsNoCase(word, "unregserver") || EqualsNoCase(word, "u")) return EntryCommand::Unregister;
    return EntryCommand::Run;
}

std::string JoinArguments(const std::vector<std::string>& args) {
    std::string text;
    for (size_t i = 0; i < args.size(); ++i) {
        if (i > 0) text += ' ';
        text += args[i];
    }
    return text;
}

}  // namespace qora
