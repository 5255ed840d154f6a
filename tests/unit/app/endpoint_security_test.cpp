#include "app/endpoint_security.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <mutex>

#include "../config/read_only_dir.h"
#include "ua/security/users.h"

using namespace qora;

namespace {

class EndpointSecurity : public ::testing::Test {
  protected:
    TEndpointSecurityReport Apply(const TOpcUaSettings& s) {
        return ApplyEndpointSecurity(s, dir_.path(), config_, [this](const std::string& line) {
            std::lock_guard<std::mutex> lock(mutex_);
            log_.push_back(line);
        });
    }
    void AddUser(const char* name, const char* password, const QString& file) {
        ua::UsersText text;
        std::string error;
        ASSERT_TRUE(ua::ReadUsersFile(QFile::encodeName(file).toStdString(), text, &error)) << error;
        text.Set(name, ua::HashPassword(password, ua::kMinPbkdf2Iterations));
        ASSERT_TRUE(ua::WriteUsersFile(QFile::encodeName(file).toStdString(), text, &error)) << error;
    }
    QTemporaryDir dir_;
    ua::ServerConfig config_;
    std::mutex mutex_;
    std::vector<std::string> log_;
};

}  // namespace

TEST_F(EndpointSecurity, DefaultsOfferEveryPolicyWithTheCertificateFolderBesideTheSettings) {
    TOpcUaSettings s;
    const TEndpointSecurityReport r = Apply(s);
    EXPECT_TRUE(r.problems.isEmpty()) << r.problems.join(u'\n').toStdString();
    EXPECT_EQ(config_.securityPolicies,
              (std::vector<ua::SecurityPolicy>{ua::SecurityPolicy::None, ua::SecurityPolicy::Basic256Sha256,
                                               ua::SecurityPolicy::Aes128_Sha256_RsaOaep,
                                               ua::SecurityPolicy::Aes256_Sha256_RsaPss}));
    EXPECT_EQ(config_.securityModes,
              (std::vector<ua::SecurityMode>{ua::SecurityMode::Sign, ua::SecurityMode::SignAndEncrypt}));
    EXPECT_TRUE(config_.allowAnonymous);
    ASSERT_TRUE(config_.trust);
    EXPECT_FALSE(config_.trust->OwnCertificateDer().empty());
    EXPECT_TRUE(QFile::exists(dir_.filePath(QStringLiteral("pki/own/certs/qora-opc-server.der"))));
    ASSERT_TRUE(config_.users);
    // The users file is read where the default says, and again after it changes.
    AddUser("operator", "pw", dir_.filePath(QStringLiteral("users.ini")));
    EXPECT_TRUE(config_.users->Check("operator", "pw"));
    EXPECT_FALSE(config_.users->Check("operator", "wrong"));
}

TEST_F(EndpointSecurity, LockedDownSettingsAndTheirProblems) {
    TOpcUaSettings s;
    s.securityPolicies = {"Basic256Sha256", "Aes256_Sha256_RsaPss"};
    s.securityModes = {"SignAndEncrypt"};
    s.allowAnonymous = false;
    s.autoAcceptClients = true;
    s.usersFile = QStringLiteral("conf/plant-users.ini");
    s.problems = {QStringLiteral("from the settings")};
    ASSERT_TRUE(QDir(dir_.path()).mkdir(QStringLiteral("conf")));
    TEndpointSecurityReport r = Apply(s);
    EXPECT_EQ(config_.securityPolicies,
              (std::vector<ua::SecurityPolicy>{ua::SecurityPolicy::Basic256Sha256,
                                               ua::SecurityPolicy::Aes256_Sha256_RsaPss}));
    EXPECT_EQ(config_.securityModes, std::vector<ua::SecurityMode>{ua::SecurityMode::SignAndEncrypt});
    EXPECT_FALSE(config_.allowAnonymous);
    // No user yet with anonymous access off: nobody could connect, which is told.
    ASSERT_EQ(r.problems.size(), 2) << r.problems.join(u'\n').toStdString();
    EXPECT_EQ(r.problems[0], QStringLiteral("from the settings"));
    EXPECT_TRUE(r.problems[1].contains(dir_.filePath(QStringLiteral("conf/plant-users.ini"))))
        << r.problems[1].toStdString();
    ASSERT_EQ(r.events.size(), 1);
    EXPECT_TRUE(r.events[0].contains(QStringLiteral("AutoAcceptClients=1")));

    AddUser("operator", "pw", dir_.filePath(QStringLiteral("conf/plant-users.ini")));
    s.problems.clear();
    r = Apply(s);
    EXPECT_TRUE(r.problems.isEmpty()) << r.problems.join(u'\n').toStdString();
}

TEST_F(EndpointSecurity, BadLinesOfTheUsersFileAreTold) {
    QFile f(dir_.filePath(QStringLiteral("users.ini")));
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    f.write("operator=plain-text-password\n");
    f.close();
    const TEndpointSecurityReport r = Apply(TOpcUaSettings{});
    ASSERT_EQ(r.problems.size(), 1);
    EXPECT_TRUE(r.problems[0].contains(QStringLiteral("строка 1"))) << r.problems[0].toStdString();
    EXPECT_FALSE(r.problems[0].contains(QStringLiteral("plain-text-password")));
    EXPECT_FALSE(config_.users->Check("operator", "plain-text-password"));
}

TEST_F(EndpointSecurity, ACertificateFolderThatCannotBeCreatedLeavesNoneOnlyAndIsTold) {
    TOpcUaSettings s;
    s.securityPolicies = {"None", "Basic256Sha256"};
    test::TReadOnlyDirectory readOnly(dir_.path());
    ASSERT_TRUE(readOnly.Ok());
    const TEndpointSecurityReport r = Apply(s);
    EXPECT_EQ(config_.securityPolicies, std::vector<ua::SecurityPolicy>{ua::SecurityPolicy::None});
    EXPECT_FALSE(config_.trust);
    ASSERT_EQ(r.problems.size(), 1);
    EXPECT_TRUE(r.problems[0].contains(QStringLiteral("только с политикой безопасности None")))
        << r.problems[0].toStdString();
    EXPECT_TRUE(r.problems[0].contains(dir_.filePath(QStringLiteral("pki")))) << r.problems[0].toStdString();
}

TEST_F(EndpointSecurity, ABrokenOwnPairWithNoneLeftOutOffersNoEndpoint) {
    TOpcUaSettings s;
    s.securityPolicies = {"Basic256Sha256"};
    ASSERT_TRUE(QDir(dir_.path()).mkpath(QStringLiteral("pki/own/certs")));
    QFile damaged(dir_.filePath(QStringLiteral("pki/own/certs/qora-opc-server.der")));
    ASSERT_TRUE(damaged.open(QIODevice::WriteOnly));
    damaged.write("not a certificate");
    damaged.close();
    const TEndpointSecurityReport r = Apply(s);
    EXPECT_TRUE(config_.securityPolicies.empty());
    EXPECT_FALSE(config_.trust);
    ASSERT_EQ(r.problems.size(), 1);
    EXPECT_TRUE(r.problems[0].contains(QStringLiteral("ни одной точки подключения")))
        << r.problems[0].toStdString();
}
