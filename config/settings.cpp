#include "config/settings.h"

#include <QCoreApplication>
#include <QFileInfo>
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

void CopyCatalogName(char16_t* dst, const QString& text) {
    CopyName(dst,
             std::u16string_view(reinterpret_cast<const char16_t*>(text.utf16()),
                                 static_cast<size_t>(text.size())),
             kMaxCatalogNameChars);
}

std::optional<int> PositiveInt(const TIniFile& ini, QStringView key) {
    int32_t v = 0;
    if (!TIniFile::ParseInteger(ini.ReadString(kOpcUa, key), v) || v <= 0) return std::nullopt;
    return v;
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

void TSettings::ReadDeviceTypes(TConfigModel& model) const {
    const QStringList keys = ini_.ReadSection(kDevices);
    const int count = std::min<qsizetype>(keys.size(), kMaxDeviceTypes);
    for (int n = 0; n < kMaxDeviceTypes; ++n) {
        if (n < count) {
            const QString num = QString::number(n);
            CopyCatalogName(model.typeNames[n], ini_.ReadString(kDevices, QString(u'D' + num)));
            model.typeMasks[n] = static_cast<uint32_t>(ini_.ReadInteger(kTypeMasks, QString(u'P' + num), 0));
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

TOpcUaSettings TSettings::OpcUa() const {
    TOpcUaSettings s;
    s.host = ini_.ReadString(kOpcUa, u"Host").toStdString();
    const int32_t port = ini_.ReadInteger(kOpcUa, u"Port", kDefaultOpcUaPort);
    s.port = port >= 0 && port <= 65535 ? static_cast<uint16_t>(port) : kDefaultOpcUaPort;
    s.maxChannels = PositiveInt(ini_, u"MaxChannels");
    s.maxSessions = PositiveInt(ini_, u"MaxSessions");
    s.maxSubscriptionsPerSession = PositiveInt(ini_, u"MaxSubscriptionsPerSession");
    s.maxMonitoredItemsPerSubscription = PositiveInt(ini_, u"MaxMonitoredItemsPerSubscription");
    s.maxPublishRequestsPerSession = PositiveInt(ini_, u"MaxPublishRequestsPerSession");
    s.handshakeTimeoutMs = PositiveInt(ini_, u"HandshakeTimeoutMs");
    if (auto v = PositiveInt(ini_, u"MaxMessageSize")) s.maxMessageSize = static_cast<uint32_t>(*v);
    if (auto v = PositiveInt(ini_, u"MaxChunkCount")) s.maxChunkCount = static_cast<uint32_t>(*v);
    if (auto v = PositiveInt(ini_, u"MemoryBudgetMB")) s.memoryBudgetBytes = static_cast<uint64_t>(*v) << 20;
    return s;
}

}  // namespace qora
