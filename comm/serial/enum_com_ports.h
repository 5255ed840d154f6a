// Listing of the serial ports present: every tty the kernel backs with a
// device, plus the ports declared in the settings file (virtual ports,
// pseudo-terminals, simulator links).
#pragma once

#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace qora {

struct TComPortEntry {
    std::string name;  // "ttyUSB0", "ttyS0", a declared name such as "COM1"
    std::string path;  // device opened: "/dev/ttyUSB0", the declared path
    bool operator==(const TComPortEntry&) const = default;
};

// At most this many ports are taken (the serial port count is 8 bits wide).
inline constexpr int kMaxComPorts = 255;

// declared: {name, device path} pairs from the settings file; a declared name
// replaces a kernel port of the same name (compared without regard to case).
// The result is sorted by name ignoring case ("COM1", "COM10", "COM2") and cut
// to kMaxComPorts entries. sysfsRoot and devRoot are replaceable for tests.
// Raises EComPort code 23 when the tty class directory exists but cannot be read.
std::vector<TComPortEntry> EnumComPorts(const std::vector<std::pair<std::string, std::string>>& declared,
                                        const std::string& sysfsRoot = "/sys/class/tty",
                                        const std::string& devRoot = "/dev");

// ASCII case-insensitive ordering and comparison used for port names.
bool PortNameLess(const std::string& a, const std::string& b);
std::string PortNameUpper(std::string_view name);

}  // namespace qora
