#include "comm/serial/enum_com_ports.h"

#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <fstream>

#include "comm/serial/ecomport.h"

namespace qora {

namespace {

char Upper(char c) {
    return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c;
}

bool Exists(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0;
}

// Legacy UART placeholders are registered for every possible ttyS port with
// type 0 ("unknown"); they have no hardware behind them.
bool IsPlaceholderUart(const std::string& ttyDir) {
    std::ifstream in(ttyDir + "/type");
    if (!in) return false;
    int type = -1;
    in >> type;
    return in && type == 0;
}

}  // namespace

std::string PortNameUpper(std::string_view name) {
    std::string s(name);
    for (char& c : s) c = Upper(c);
    return s;
}

bool PortNameLess(const std::string& a, const std::string& b) {
    return std::lexicographical_compare(a.begin(), a.end(), b.begin(), b.end(),
                                        [](char x, char y) { return Upper(x) < Upper(y); });
}

std::vector<TComPortEntry> EnumComPorts(const std::vector<std::pair<std::string, std::string>>& declared,
                                        const std::string& sysfsRoot, const std::string& devRoot) {
    std::vector<TComPortEntry> ports;
    if (DIR* dir = ::opendir(sysfsRoot.c_str())) {
        while (dirent* e = ::readdir(dir)) {
            std::string name = e->d_name;
            if (name == "." || name == "..") continue;
            const std::string ttyDir = sysfsRoot + "/" + name;
            if (!Exists(ttyDir + "/device") || IsPlaceholderUart(ttyDir)) continue;
            ports.push_back({name, devRoot + "/" + name});
        }
        ::closedir(dir);
    } else if (errno != ENOENT && errno != ENOTDIR) {
        throw EComPort(EComPort::kRegistry, errno);
    }
    for (const auto& [name, path] : declared) {
        if (name.empty() || path.empty()) continue;
        const std::string upper = PortNameUpper(name);
        std::erase_if(ports, [&](const TComPortEntry& p) { return PortNameUpper(p.name) == upper; });
        ports.push_back({name, path});
    }
    std::stable_sort(ports.begin(), ports.end(), [](const TComPortEntry& a, const TComPortEntry& b) {
        return PortNameLess(a.name, b.name);
    });
    if (ports.size() > static_cast<size_t>(kMaxComPorts)) ports.resize(kMaxComPorts);
    return ports;
}

}  // namespace qora
