// The operating-system description and the free-memory line of the about box.
#pragma once

#include <QLocale>
#include <QString>
#include <cstdint>
#include <optional>

namespace qora {

// The version record a Windows version query fills in.
struct TOSVersionRecord {
    bool extended = false;  // the extended record (service pack, suite mask, product type)
    uint32_t majorVersion = 0;
    uint32_t minorVersion = 0;
    uint32_t buildNumber = 0;
    uint32_t platformId = 0;
    QString csdVersion;  // service-pack text, at most 127 characters
    uint16_t servicePackMajor = 0;
    uint16_t servicePackMinor = 0;
    uint16_t suiteMask = 0;
    uint8_t productType = 0;
};

inline constexpr uint32_t kPlatformWin32s = 0;
inline constexpr uint32_t kPlatformWin32Windows = 1;
inline constexpr uint32_t kPlatformWin32NT = 2;
inline constexpr uint8_t kNtWorkstation = 1;
inline constexpr uint8_t kNtDomainController = 2;
inline constexpr uint8_t kNtServer = 3;
inline constexpr uint16_t kSuiteEnterprise = 0x0002;
inline constexpr uint16_t kSuiteDatacenter = 0x0080;
inline constexpr uint16_t kSuitePersonal = 0x0200;
inline constexpr uint16_t kSuiteBlade = 0x0400;

// The two registry reads of the description.
class IOSRegistry {
  public:
    virtual ~IOSRegistry() = default;
    // Value "ProductType" of HKLM\SYSTEM\CurrentControlSet\Control\ProductOptions; nullopt when
    // the key cannot be opened, the value cannot be read or it is longer than 80 bytes.
    virtual std::optional<QString> ProductType() const = 0;
    // Whether HKLM\SOFTWARE\Microsoft\Windows NT\CurrentVersion\Hotfix\Q246009 opens.
    virtual bool HasQ246009() const = 0;
};

// Appends the description of `record` to `text` (nullptr: both version queries failed).
// Returns 1 when the description is complete, 0 when it stopped early.
int GetOSVersionText(const TOSVersionRecord* record, const IOSRegistry& registry, QString& text);

// Description of a Linux system: PRETTY_NAME of os-release (else NAME and VERSION), then a line
// with the kernel name, release and machine of uname.
QString LinuxOSDescription(const QString& osRelease, const QString& sysname, const QString& release,
                           const QString& machine);
// The description of the running system.
QString CurrentOSDescription();

// MemAvailable of /proc/meminfo in KiB (MemFree when the kernel reports no MemAvailable).
std::optional<uint64_t> ParseMemAvailableKb(const QString& meminfo);
std::optional<uint64_t> CurrentMemAvailableKb();
// "#,### Кбайт": digits grouped by the locale's separator; 0 gives " Кбайт".
QString FormatKbytes(uint64_t kb, const QLocale& locale = QLocale());
// "Доступно памяти: " followed by FormatKbytes.
QString MemoryLine(uint64_t kb, const QLocale& locale = QLocale());

}  // namespace qora
