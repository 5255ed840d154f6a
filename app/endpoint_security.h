// The security part of the endpoint's configuration, from section OPCUA of the settings: the
// policies and modes offered, anonymous access, the certificate folder "pki" and the users file
// (both beside the settings file, which lies beside the program).
#pragma once

#include <QString>
#include <QStringList>
#include <functional>
#include <string>

#include "config/settings.h"
#include "ua/net/server.h"

namespace qora {

struct TEndpointSecurityReport {
    QStringList problems;  // to show the operator at start-up (error box, or standard error)
    QStringList events;    // for the event log: certificate created, commissioning mode, ...
};

// Fills the security fields of config. dir: the folder of the settings file. log: messages of
// the certificate folder later on (client refused, auto-accepted), on the endpoint's thread.
// A certificate folder that cannot be opened or created leaves the endpoint with policy None
// only when None is listed, and with no policy at all otherwise; problems says which.
TEndpointSecurityReport ApplyEndpointSecurity(const TOpcUaSettings& settings, const QString& dir,
                                              ua::ServerConfig& config,
                                              std::function<void(const std::string&)> log);

// UsersFile as configured: empty gives users.ini in dir, a relative path is taken from dir.
QString UsersFilePath(const TOpcUaSettings& settings, const QString& dir);

inline constexpr char16_t kPkiFolderName[] = u"pki";
inline constexpr char16_t kDefaultUsersFileName[] = u"users.ini";

}  // namespace qora
