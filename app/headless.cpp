#include "app/headless.h"

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <string>
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

std::string PrepareRuntimeDirectory() {
    if (Set("XDG_RUNTIME_DIR")) return {};
    std::string user;
    passwd pw{};
    passwd* found = nullptr;
    char buf[4096];
    if (getpwuid_r(geteuid(), &pw, buf, sizeof buf, &found) == 0 && found != nullptr &&
        found->pw_name != nullptr)
        user = found->pw_name;
    else
        user = std::to_string(geteuid());
    const char* tmp = std::getenv("TMPDIR");
    std::string dir = (tmp != nullptr && tmp[0] == '/') ? tmp : "/tmp";
    while (dir.size() > 1 && dir.back() == '/') dir.pop_back();
    dir += "/runtime-" + user;
    if (::mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST) return {};
    struct stat st {};
    // Ours, a real directory (not a link planted by someone else), private.
    if (::lstat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode) || st.st_uid != geteuid() ||
        (st.st_mode & 0777) != 0700)
        return {};
    setenv("XDG_RUNTIME_DIR", dir.c_str(), 1);
    return dir;
}

}  // namespace qora
