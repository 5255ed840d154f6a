#include "app/endpoint_security.h"

#include <QDir>
#include <QFile>
#include <QSysInfo>
#include <algorithm>
#include <utility>

#include "ua/security/pki.h"
#include "ua/security/users.h"

namespace qora {

QString UsersFilePath(const TOpcUaSettings& settings, const QString& dir) {
    if (settings.usersFile.isEmpty()) return QDir(dir).filePath(QString::fromUtf16(kDefaultUsersFileName));
    return QDir(dir).absoluteFilePath(settings.usersFile);
}

TEndpointSecurityReport ApplyEndpointSecurity(const TOpcUaSettings& settings, const QString& dir,
                                              ua::ServerConfig& config,
                                              std::function<void(const std::string&)> log) {
    TEndpointSecurityReport report;
    report.problems = settings.problems;

    config.securityPolicies.clear();
    for (const std::string& name : settings.securityPolicies)
        if (auto p = ua::PolicyFromName(name)) config.securityPolicies.push_back(*p);
    config.securityModes.clear();
    for (const std::string& name : settings.securityModes)
        config.securityModes.push_back(name == "Sign" ? ua::SecurityMode::Sign
                                                      : ua::SecurityMode::SignAndEncrypt);
    config.allowAnonymous = settings.allowAnonymous;

    const QString usersPath = UsersFilePath(settings, dir);
    auto users = std::make_shared<ua::UsersFile>(QFile::encodeName(usersPath).toStdString());
    for (const std::string& p : users->Refresh())
        report.problems.push_back(
            QStringLiteral("Файл пользователей %1: %2").arg(usersPath, QString::fromStdString(p)));
    if (!settings.allowAnonymous && users->UserCount() == 0)
        report.problems.push_back(
            QStringLiteral(
                "AllowAnonymous=0, а в файле пользователей %1 нет ни одного пользователя: к серверу "
                "OPC UA не подключится никто, пока пользователь не добавлен (qora-cfg user add %1 ИМЯ).")
                .arg(usersPath));
    config.users = std::move(users);

    ua::PkiOptions pki;
    pki.root = QFile::encodeName(QDir(dir).filePath(QString::fromUtf16(kPkiFolderName))).toStdString();
    pki.applicationUri = config.applicationUri;
    pki.applicationName = config.applicationName;
    pki.organization = config.manufacturerName;
    pki.hostName = QSysInfo::machineHostName().toStdString();
    pki.autoAcceptClients = settings.autoAcceptClients;
    pki.log = log;
    std::string error;
    std::shared_ptr<ua::PkiStore> store = ua::PkiStore::Open(pki, &error);
    if (!store) {
        config.trust = nullptr;
        const bool noneListed = std::find(config.securityPolicies.begin(), config.securityPolicies.end(),
                                          ua::SecurityPolicy::None) != config.securityPolicies.end();
        if (noneListed) {
            report.problems.push_back(
                QStringLiteral("Сертификат сервера OPC UA недоступен: %1. Сервер работает только "
                               "с политикой безопасности None, без подписи и шифрования.")
                    .arg(QString::fromStdString(error)));
            config.securityPolicies = {ua::SecurityPolicy::None};
        } else {
            // None left out by the settings: without a certificate no endpoint is offered at all,
            // never an open one in its place.
            report.problems.push_back(
                QStringLiteral(
                    "Сертификат сервера OPC UA недоступен: %1. Политика None в SecurityPolicies "
                    "не разрешена, поэтому сервер OPC UA не предлагает ни одной точки подключения: "
                    "ни один клиент не подключится, пока сертификат не исправлен.")
                    .arg(QString::fromStdString(error)));
            config.securityPolicies.clear();
        }
        return report;
    }
    if (settings.autoAcceptClients)
        report.events.push_back(
            QStringLiteral("AutoAcceptClients=1: сертификаты клиентов OPC UA принимаются без "
                           "проверки доверия (режим пусконаладки)"));
    config.trust = std::move(store);
    return report;
}

}  // namespace qora
