#include "app/headless.h"

#include <cstdlib>
#include <string_view>

namespace qora {

namespace {
bool Set(const char* name) {
    const char* v = std::getenv(name);
    return v != nullptr && *v != '\0';
}
}  // namespace

bool PrepareHeadlessPlatform() {
    if (Set("QT_QPA_PLATFORM")) {
        const char* v = std::getenv("QT_QPA_PLATFORM");
        return std::string_view(v) == "offscreen" || std::string_view(v) == "minimal";
    }
    if (!Set("DISPLAY") && !Set("WAYLAND_DISPLAY")) {
        setenv("QT_QPA_PLATFORM", "offscreen", 1);
        return true;
    }
    return false;
}

}  // namespace qora
