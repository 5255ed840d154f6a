// Start without a display: the program runs on Qt's offscreen platform and behaves as if
// started with -Embedding, so it can run as a service.
#pragma once

#include <string>

namespace qora {

// Selects the offscreen platform when no display is available. Call before QApplication.
// Returns true when the program runs headless.
bool PrepareHeadlessPlatform();

// When XDG_RUNTIME_DIR is unset (a service, su, ssh without a session), makes the private
// directory Qt would fall back to, <temp>/runtime-<user> with mode 0700, and sets the
// variable to it, so that Qt finds a runtime directory instead of warning about the missing
// variable, and the single-instance lock lies there for every start alike. A directory that
// is not ours or not private is left alone (the variable stays unset). Call before the
// single-instance lock and QApplication. Returns the directory set, or an empty string.
std::string PrepareRuntimeDirectory();

}  // namespace qora
