// The entry point's reading of the command-line text.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace qora {

enum class EntryCommand { Run, Register, Unregister };

// The option word is everything after the first '-' of the text (else the first '/') to the
// end of the text, compared whole and without regard to case: "regserver"/"r" registers,
// "unregserver"/"u" unregisters, anything else is an ordinary start.
EntryCommand ParseEntryCommand(std::string_view commandText);

// The command-line text that follows the program name: the arguments joined by single blanks.
std::string JoinArguments(const std::vector<std::string>& args);

}  // namespace qora
