// The settings file "qora.ini" beside the program: device-type catalogue, parameter names, the
// start-up configuration (GENERAL/MAIN_CFG), the serial ports declared in SERIALCOMM and the
// OPC UA endpoint settings in OPCUA. Also the start-up options of the command line.
//
//   [GENERAL]    MAIN_CFG=<path of the configuration opened at start-up>
//   [DEVICES]    D0=<type name> ...     the number of keys is the type count (at most 64 taken)
//   [D_P]        P0=<parameter mask of type 0> ...   decimal, $hex or 0xhex
//   [PARAMETERS] P0..P31=<parameter name>
//   [UNITS]      P<k>=<unit of parameter k> (e.g. °C), D<n>.P<k>=<unit for device type n only>
//   [RANGES]     P<k>=<low>..<high> (e.g. 0..150), D<n>.P<k>= likewise
//   [SERIALCOMM] <port name>=<device path>          e.g. ttyV0=/dev/pts/7
//   [OPCUA]      Port=4840  Host=  (empty: all interfaces), the security settings and the optional
//                limits of TOpcUaSettings
//   [HISTORY]    the local history of item values (THistorySettings)
#pragma once

#include <QString>
#include <QStringList>
#include <cstdint>
#include <iterator>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "config/ini_file.h"
#include "config/records.h"

namespace qora {

inline constexpr char16_t kSettingsFileName[] = u"qora.ini";
inline constexpr uint16_t kDefaultOpcUaPort = 4840;

// Security policy and message mode names as the settings file spells them.
inline constexpr const char* kSecurityPolicyNames[] = {"None", "Basic256Sha256", "Aes128_Sha256_RsaOaep",
                                                       "Aes256_Sha256_RsaPss"};
inline constexpr const char* kSecurityModeNames[] = {"Sign", "SignAndEncrypt"};

// Section OPCUA. A limit that is absent, not an integer or not positive stays unset, and the
// endpoint keeps its own default; a value given but not usable is noted in problems.
//
// Security (an invalid value is noted in problems and the safe reading is used):
//   SecurityPolicies=  comma list of kSecurityPolicyNames (any case); absent: all four. An unknown
//                      name is dropped; a list left empty gives the three RSA policies, never None.
//   SecurityModes=     comma list of Sign, SignAndEncrypt; absent: both. An unknown name is
//                      dropped; a list left empty gives SignAndEncrypt only.
//   AllowAnonymous=    1/0 (also true/false, yes/no, on/off); absent: 1; anything else: 0.
//   AutoAcceptClients= 1/0 likewise; absent or anything else: 0.
//   UsersFile=         path of the users file; absent or empty: users.ini beside the program.
struct TOpcUaSettings {
    std::string host;                               // Host: empty = all interfaces
    uint16_t port = kDefaultOpcUaPort;              // Port: 0..65535 (0 = any free port); else 4840, noted
    std::optional<int> maxChannels;                 // MaxChannels
    std::optional<int> maxSessions;                 // MaxSessions
    std::optional<int> maxSubscriptionsPerSession;  // MaxSubscriptionsPerSession
    std::optional<int> maxMonitoredItemsPerSubscription;  // MaxMonitoredItemsPerSubscription
    std::optional<int> maxPublishRequestsPerSession;      // MaxPublishRequestsPerSession
    std::optional<int> handshakeTimeoutMs;                // HandshakeTimeoutMs
    std::optional<uint32_t> maxMessageSize;               // MaxMessageSize, bytes
    std::optional<uint32_t> maxChunkCount;                // MaxChunkCount
    std::optional<uint64_t> memoryBudgetBytes;            // MemoryBudgetMB, given in MiB
    std::vector<std::string> securityPolicies{std::begin(kSecurityPolicyNames),
                                              std::end(kSecurityPolicyNames)};
    std::vector<std::string> securityModes{std::begin(kSecurityModeNames), std::end(kSecurityModeNames)};
    bool allowAnonymous = true;
    bool autoAcceptClients = false;
    QString usersFile;     // as written; empty = the default
    QStringList problems;  // one line per invalid value, naming the reading used instead
};

// Section HISTORY: the local history of item values, off unless Enabled=1. A bad value is noted
// in problems and the default is used.
//   Enabled=       1/0 (as AllowAnonymous); absent: 0
//   File=          database path, relative to the settings file's folder; absent: history.db there
//   RetentionDays= 0..36500 (0: no age limit); absent: 30
//   MaxMegabytes=  0..1048576 (0: no size limit); absent: 1024
struct THistorySettings {
    bool enabled = false;
    QString file;  // absolute
    uint32_t retentionDays = 30;
    uint64_t maxMegabytes = 1024;
    QStringList problems;
};

// Unit and range of a parameter (sections UNITS and RANGES): the same for every item of a device
// type's parameter. A key of the form D<n>.P<k> counts for type n and stands over P<k>.
struct TParamMetadata {
    std::string unit;  // UTF-8, empty: none
    bool hasRange = false;
    double low = 0, high = 0;
};
struct TItemMetadataCatalogue {
    std::vector<TParamMetadata> entries =
        std::vector<TParamMetadata>(size_t(kMaxDeviceTypes) * kParamsPerDevice);  // type * 32 + parameter
    QStringList problems;  // one line per key or value not understood (the entry is left out)
    const TParamMetadata& At(int type, int k) const {
        return entries[size_t(type) * kParamsPerDevice + size_t(k)];
    }
};

// The start-up options of the command line.
struct TCommandLineOptions {
    QString startupPath;        // from the last "-f:<path>" argument; empty when none
    bool startedByCom = false;  // an argument with "EMBED" at characters 2 to 6 (any case)
};

// Examines every argument (pass the arguments after the program name): an argument whose first
// three characters are exactly "-f:" names the start-up configuration (the last one counts); one
// whose characters 2 to 6, in upper case, read "EMBED" (-Embedding, /Embedding, -Embed) sets the
// started-by-COM flag. Both tests apply to every argument.
TCommandLineOptions ParseCommandLine(const QStringList& arguments);

class TSettings {
  public:
    // Opens the settings file at iniPath (read now; a missing file gives the defaults).
    explicit TSettings(QString iniPath);

    // "qora.ini" in the directory of the running executable.
    static QString DefaultPath();

    const QString& FileName() const { return ini_.FileName(); }
    TIniFile& Ini() { return ini_; }
    const TIniFile& Ini() const { return ini_; }

    // GENERAL/MAIN_CFG, empty by default.
    QString ReadStartupPath() const;
    // Writes path as GENERAL/MAIN_CFG at once (the file is created if needed, replaced atomically).
    bool RecordStartupConfiguration(const QString& path, QString* error = nullptr);

    // Device type count := number of keys of DEVICES, at most 64; name n := DEVICES/Dn (cut to 63
    // characters), mask n := D_P/Pn (default 0). Entries at or above the count are zeroed.
    // A mask that is not an integer (decimal, $hex, 0xhex) is taken as 0, a negative decimal as
    // its 32-bit pattern; with problems given, either is noted there, one line per key.
    void ReadDeviceTypes(TConfigModel& model, QStringList* problems = nullptr) const;
    // Parameter name k := PARAMETERS/Pk for k = 0..31, cut to 63 characters.
    void ReadParameterNames(TConfigModel& model) const;
    // Both of the above, in that order.
    void ReadCatalogue(TConfigModel& model) const;

    // SERIALCOMM: {port name, device path} in file order, UTF-8. Entries with an empty name or
    // path, or a name longer than a point's port-name field holds (19 bytes), are left out.
    std::vector<std::pair<std::string, std::string>> DeclaredPorts() const;

    TOpcUaSettings OpcUa() const;
    THistorySettings History() const;
    TItemMetadataCatalogue ItemMetadata() const;

  private:
    TIniFile ini_;
};

}  // namespace qora
