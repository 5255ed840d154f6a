#include "config/settings.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <algorithm>
#include <string_view>
#include <utility>

namespace qora {

namespace {

constexpr char16_t kGeneral[] = u"GENERAL";
constexpr char16_t kMainCfg[] = u"MAIN_CFG";
constexpr char16_t kDevices[] = u"DEVICES";
constexpr char16_t kTypeMasks[] = u"D_P";
constexpr char16_t kParameters[] = u"PARAMETERS";
constexpr char16_t kSerialComm[] = u"SERIALCOMM";
constexpr char16_t kOpcUa[] = u"OPCUA";
constexpr char16_t kHistory[] = u"HISTORY";
constexpr char16_t kUnits[] = u"UNITS";
constexpr char16_t kRanges[] = u"RANGES";

// "P<k>" → (-1, k); "D<n>.P<k>" → (n, k); false for anything else or out of range.
bool ParseMetadataKey(const QString& key, int& type, int& k) {
    QString rest = key.trimmed();
    type = -1;
    if (rest.startsWith(u'D', Qt::CaseInsensitive)) {
        const qsizetype dot = rest.indexOf(u'.');
        bool ok = false;
        type = dot > 1 ? rest.mid(1, dot - 1).toInt(&ok) : -1;
        if (!ok || type < 0 || type >= kMaxDeviceTypes) return false;
        rest = rest.mid(dot + 1);
    }
    if (!rest.startsWith(u'P', Qt::CaseInsensitive)) return false;
    bool ok = false;
    k = rest.mid(1).toInt(&ok);
    return ok && k >= 0 && k < kParamsPerDevice;
}

void CopyCatalogName(char16_t* dst, const QString& text) {
    CopyName(dst,
             std::u16string_view(reinterpret_cast<const char16_t*>(text.utf16()),
                                 static_cast<size_t>(text.size())),
             kMaxCatalogNameChars);
}

std::optional<int> PositiveInt(const TIniFile& ini, QStringView key, QStringList& problems) {
    if (!ini.ValueExists(kOpcUa, key)) return std::nullopt;
    const QString text = ini.ReadString(kOpcUa, key);
    int32_t v = 0;
    if (TIniFile::ParseInteger(text, v) && v > 0) return v;
    problems.push_back(QStringLiteral("[OPCUA] %1=%2: ожидается целое число больше 0; принято значение по "
                                      "умолчанию")
                           .arg(key.toString(), text));
    return std::nullopt;
}

// A parameter mask by the integer rule of the settings file (a negative decimal gives its 32-bit
// pattern). Anything that is not an integer gives 0. A value that is neither a plain mask nor
// empty is noted in problems with the reading taken.
uint32_t ParameterMask(const QString& key, const QString& text, QStringList* problems) {
    int32_t v = 0;
    const bool integer = TIniFile::ParseInteger(text, v);
    const uint32_t mask = integer ? static_cast<uint32_t>(v) : 0u;
    if (problems != nullptr && !text.isEmpty() && (!integer || text.startsWith(u'-')))
        problems->push_back(QStringLiteral("[D_P] %1=%2: ожидается маска параметров (десятичная, $hex или "
                                           "0xhex, без знака); принято 0x%3")
                                .arg(key, text, QString::number(mask, 16).toUpper()));
    return mask;
}

// Splits a comma list and keeps the known names (matched in any case, spelt as known), each once.
// Unknown names go to unknown.
template <size_t N>
std::vector<std::string> KnownNames(const QString& text, const char* const (&known)[N],
                                    QStringList& unknown) {
    std::vector<std::string> out;
    for (const QString& part : text.split(u',')) {
        const QString name = part.trimmed();
        if (name.isEmpty()) continue;
        const char* match = nullptr;
        for (const char* k : known)
            if (name.compare(QLatin1String(k), Qt::CaseInsensitive) == 0) match = k;
        if (match == nullptr)
            unknown.push_back(name);
        else if (std::find(out.begin(), out.end(), match) == out.end())
            out.emplace_back(match);
    }
    return out;
}

// A flag: absent gives fallback; 1/0, true/false, yes/no, on/off in any case; anything else is
// reported and gives safe.
bool Flag(const TIniFile& ini, QStringView key, bool fallback, bool safe, QStringList& problems,
          QStringView section = kOpcUa) {
    if (!ini.ValueExists(section, key)) return fallback;
    const QString v = ini.ReadString(section, key).trimmed().toLower();
    if (v == u"1" || v == u"true" || v == u"yes" || v == u"on") return true;
    if (v == u"0" || v == u"false" || v == u"no" || v == u"off") return false;
    problems.push_back(
        QStringLiteral("[%1] %2=%3: ожидается 1 или 0; принято %4")
            .arg(section.toString(), key.toString(), ini.ReadString(section, key), safe ? u"1" : u"0"));
    return safe;
}

// A whole number in [low, high]; absent gives fallback, anything else is reported and gives fallback.
int64_t Bounded(const TIniFile& ini, QStringView section, QStringView key, int64_t low, int64_t high,
                int64_t fallback, QStringList& problems) {
    if (!ini.ValueExists(section, key)) return fallback;
    bool ok = false;
    const QString text = ini.ReadString(section, key).trimmed();
    const qlonglong v = text.toLongLong(&ok);
    if (ok && v >= low && v <= high) return v;
    problems.push_back(QStringLiteral("[%1] %2=%3: ожидается целое от %4 до %5; принято %6")
                           .arg(section.toString(), key.toString(), text)
                           .arg(low)
                           .arg(high)
                           .arg(fallback));
    return fallback;
}

}  // namespace

TCommandLineOptions ParseCommandLine(const QStringList& arguments) {
    TCommandLineOptions options;
    for (const QString& arg : arguments) {
        if (arg.startsWith(QStringLiteral("-f:"), Qt::CaseSensitive)) options.startupPath = arg.mid(3);
        if (arg.size() >= 6 && arg.mid(1, 5).toUpper() == QStringLiteral("EMBED"))
            options.startedByCom = true;
    }
    return options;
}

TSettings::TSettings(QString iniPath) : ini_(std::move(iniPath)) {}

QString TSettings::DefaultPath() {
    QString dir;
    if (QCoreApplication::instance() != nullptr) {
        dir = QCoreApplication::applicationDirPath();
    } else {
        QFileInfo exe(QStringLiteral("/proc/self/exe"));
        dir = QFileInfo(exe.symLinkTarget()).absolutePath();
    }
    return dir + u'/' + QString::fromUtf16(kSettingsFileName);
}

QString TSettings::ReadStartupPath() const {
    return ini_.ReadString(kGeneral, kMainCfg);
}

bool TSettings::RecordStartupConfiguration(const QString& path, QString* error) {
    return ini_.WriteString(kGeneral, kMainCfg, path, error);
}

void TSettings::ReadDeviceTypes(TConfigModel& model, QStringList* problems) const {
    const QStringList keys = ini_.ReadSection(kDevices);
    const int count = std::min<qsizetype>(keys.size(), kMaxDeviceTypes);
    for (int n = 0; n < kMaxDeviceTypes; ++n) {
        if (n < count) {
            const QString num = QString::number(n);
            CopyCatalogName(model.typeNames[n], ini_.ReadString(kDevices, QString(u'D' + num)));
            const QString maskKey = u'P' + num;
            model.typeMasks[n] = ParameterMask(maskKey, ini_.ReadString(kTypeMasks, maskKey), problems);
        } else {
            CopyCatalogName(model.typeNames[n], QString());
            model.typeMasks[n] = 0;
        }
    }
    model.typeCount = static_cast<uint8_t>(count);
}

void TSettings::ReadParameterNames(TConfigModel& model) const {
    for (int k = 0; k < kParamsPerDevice; ++k)
        CopyCatalogName(model.paramNames[k],
                        ini_.ReadString(kParameters, QString(u'P' + QString::number(k))));
}

void TSettings::ReadCatalogue(TConfigModel& model) const {
    ReadDeviceTypes(model);
    ReadParameterNames(model);
}

std::vector<std::pair<std::string, std::string>> TSettings::DeclaredPorts() const {
    std::vector<std::pair<std::string, std::string>> ports;
    for (const QString& key : ini_.ReadSection(kSerialComm)) {
        const QByteArray name = key.toUtf8();
        const QByteArray device = ini_.ReadString(kSerialComm, key).toUtf8();
        if (name.isEmpty() || device.isEmpty() || name.size() > kMaxPortNameChars) continue;
        ports.emplace_back(name.toStdString(), device.toStdString());
    }
    return ports;
}

TItemMetadataCatalogue TSettings::ItemMetadata() const {
    TItemMetadataCatalogue c;
    // Keys for every type first, then the types' own.
    for (const bool typed : {false, true}) {
        for (const QString& key : ini_.ReadSection(kUnits)) {
            int type = -1, k = 0;
            if (!ParseMetadataKey(key, type, k)) {
                if (!typed) c.problems.push_back(QStringLiteral("[UNITS] %1: неизвестный ключ").arg(key));
                continue;
            }
            if ((type >= 0) != typed) continue;
            const std::string unit = ini_.ReadString(kUnits, key).trimmed().toStdString();
            for (int t = typed ? type : 0; t < (typed ? type + 1 : kMaxDeviceTypes); ++t)
                c.entries[size_t(t) * kParamsPerDevice + size_t(k)].unit = unit;
        }
        for (const QString& key : ini_.ReadSection(kRanges)) {
            int type = -1, k = 0;
            if (!ParseMetadataKey(key, type, k)) {
                if (!typed) c.problems.push_back(QStringLiteral("[RANGES] %1: неизвестный ключ").arg(key));
                continue;
            }
            if ((type >= 0) != typed) continue;
            const QString text = ini_.ReadString(kRanges, key).trimmed();
            const QStringList parts = text.split(QStringLiteral(".."));
            bool okLow = false, okHigh = false;
            const double low = parts.size() == 2 ? parts[0].trimmed().toDouble(&okLow) : 0;
            const double high = parts.size() == 2 ? parts[1].trimmed().toDouble(&okHigh) : 0;
            if (!okLow || !okHigh || !(low <= high)) {
                c.problems.push_back(
                    QStringLiteral("[RANGES] %1=%2: ожидается <нижняя>..<верхняя>; диапазон не задан")
                        .arg(key, text));
                continue;
            }
            for (int t = typed ? type : 0; t < (typed ? type + 1 : kMaxDeviceTypes); ++t) {
                TParamMetadata& e = c.entries[size_t(t) * kParamsPerDevice + size_t(k)];
                e.hasRange = true;
                e.low = low;
                e.high = high;
            }
        }
    }
    return c;
}

TOpcUaSettings TSettings::OpcUa() const {
    TOpcUaSettings s;
    s.host = ini_.ReadString(kOpcUa, u"Host").toStdString();
    if (ini_.ValueExists(kOpcUa, u"Port")) {
        const QString text = ini_.ReadString(kOpcUa, u"Port");
        int32_t port = 0;
        if (TIniFile::ParseInteger(text.trimmed(), port) && port >= 0 && port <= 65535)
            s.port = static_cast<uint16_t>(port);
        else
            s.problems.push_back(
                QStringLiteral("[OPCUA] Port=%1: ожидается номер порта от 0 до 65535; принят %2")
                    .arg(text)
                    .arg(kDefaultOpcUaPort));
    }
    QStringList& p = s.problems;
    s.maxChannels = PositiveInt(ini_, u"MaxChannels", p);
    s.maxSessions = PositiveInt(ini_, u"MaxSessions", p);
    s.maxSubscriptionsPerSession = PositiveInt(ini_, u"MaxSubscriptionsPerSession", p);
    s.maxMonitoredItemsPerSubscription = PositiveInt(ini_, u"MaxMonitoredItemsPerSubscription", p);
    s.maxPublishRequestsPerSession = PositiveInt(ini_, u"MaxPublishRequestsPerSession", p);
    s.handshakeTimeoutMs = PositiveInt(ini_, u"HandshakeTimeoutMs", p);
    if (auto v = PositiveInt(ini_, u"MaxMessageSize", p)) s.maxMessageSize = static_cast<uint32_t>(*v);
    if (auto v = PositiveInt(ini_, u"MaxChunkCount", p)) s.maxChunkCount = static_cast<uint32_t>(*v);
    if (auto v = PositiveInt(ini_, u"MemoryBudgetMB", p))
        s.memoryBudgetBytes = static_cast<uint64_t>(*v) << 20;

    if (ini_.ValueExists(kOpcUa, u"SecurityPolicies")) {
        const QString text = ini_.ReadString(kOpcUa, u"SecurityPolicies");
        QStringList unknown;
        s.securityPolicies = KnownNames(text, kSecurityPolicyNames, unknown);
        if (!unknown.isEmpty())
            s.problems.push_back(QStringLiteral("[OPCUA] SecurityPolicies: неизвестные политики безопасности "
                                                "пропущены: %1")
                                     .arg(unknown.join(QStringLiteral(", "))));
        if (s.securityPolicies.empty()) {
            s.securityPolicies.assign(std::begin(kSecurityPolicyNames) + 1, std::end(kSecurityPolicyNames));
            s.problems.push_back(
                QStringLiteral("[OPCUA] SecurityPolicies=%1: нет ни одной политики; приняты "
                               "Basic256Sha256, Aes128_Sha256_RsaOaep, Aes256_Sha256_RsaPss (без None)")
                    .arg(text));
        }
    }
    if (ini_.ValueExists(kOpcUa, u"SecurityModes")) {
        const QString text = ini_.ReadString(kOpcUa, u"SecurityModes");
        QStringList unknown;
        s.securityModes = KnownNames(text, kSecurityModeNames, unknown);
        if (!unknown.isEmpty())
            s.problems.push_back(
                QStringLiteral("[OPCUA] SecurityModes: неизвестные режимы пропущены: %1 (допустимы Sign, "
                               "SignAndEncrypt; None задаётся политикой None)")
                    .arg(unknown.join(QStringLiteral(", "))));
        if (s.securityModes.empty()) {
            s.securityModes = {"SignAndEncrypt"};
            s.problems.push_back(
                QStringLiteral("[OPCUA] SecurityModes=%1: нет ни одного режима; принят SignAndEncrypt")
                    .arg(text));
        }
    }
    s.allowAnonymous = Flag(ini_, u"AllowAnonymous", true, false, s.problems);
    s.autoAcceptClients = Flag(ini_, u"AutoAcceptClients", false, false, s.problems);
    s.usersFile = ini_.ReadString(kOpcUa, u"UsersFile").trimmed();
    return s;
}

THistorySettings TSettings::History() const {
    THistorySettings h;
    h.enabled = Flag(ini_, u"Enabled", false, false, h.problems, kHistory);
    h.retentionDays =
        static_cast<uint32_t>(Bounded(ini_, kHistory, u"RetentionDays", 0, 36500, 30, h.problems));
    h.maxMegabytes =
        static_cast<uint64_t>(Bounded(ini_, kHistory, u"MaxMegabytes", 0, 1 << 20, 1024, h.problems));
    const QString file = ini_.ReadString(kHistory, u"File").trimmed();
    const QString dir = QFileInfo(ini_.FileName()).absolutePath();
    if (file.isEmpty())
        h.file = QDir(dir).filePath(QStringLiteral("history.db"));
    else
        h.file = QDir::isAbsolutePath(file) ? file : QDir(dir).filePath(file);
    return h;
}

}  // namespace qora
