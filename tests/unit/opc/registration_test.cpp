// Registration files, written into a temporary XDG directory.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "opc/opc_server.h"
#include "tests/support/saved_env.h"

using namespace gb;
namespace fs = std::filesystem;

namespace {

std::string ReadAll(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    std::stringstream ss;
    ss << f.rdbuf();
    return ss.str();
}

class Registration : public ::testing::Test {
  protected:
    void SetUp() override {
        char tmpl[] = "/tmp/qora-opc-reg-XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir_ = tmpl;
        env_.Save("XDG_CONFIG_HOME");
        env_.Save("XDG_DATA_HOME");
        env_.Save("HOME");
        setenv("XDG_CONFIG_HOME", (dir_ + "/config").c_str(), 1);
        setenv("XDG_DATA_HOME", (dir_ + "/data").c_str(), 1);
        setenv("HOME", (dir_ + "/home").c_str(), 1);
    }
    void TearDown() override {
        env_.RestoreAll();
        std::error_code ec;
        fs::remove_all(dir_, ec);
    }
    std::string dir_;
    qora::test::TSavedEnvironment env_;
};

const char* kStem = "opcda-6f1c0b52-9a3e-4d71-8e25-b4c7d90a1f36";

}  // namespace

TEST_F(Registration, RegisterWritesUnitAndDesktopEntryWithTheServersIdentity) {
    ASSERT_EQ(qora::COPCServer::RegisterServer(u"/opt/qora/qora-opc-server"), S_OK);
    const std::string unitPath = dir_ + "/config/systemd/user/" + kStem + ".service";
    const std::string desktopPath = dir_ + "/data/applications/" + kStem + ".desktop";
    EXPECT_EQ(GBDataAccess::GBUnitFilePath(qora::COPCServer::kClsid), unitPath);
    EXPECT_EQ(GBDataAccess::GBDesktopFilePath(qora::COPCServer::kClsid), desktopPath);
    EXPECT_EQ(ReadAll(unitPath),
              "# OPC server registration. Removed by unregistering the server.\n"
              "[Unit]\n"
              "Description=QORA OPC Server\n"
              "X-OPC-CLSID={6F1C0B52-9A3E-4D71-8E25-B4C7D90A1F36}\n"
              "X-OPC-ProgID=QORA.OPC\n"
              "X-OPC-Vendor=KIVRAN\n"
              "X-OPC-Description=QORA OPC Server\n"
              "X-OPC-Version=1\n"
              "\n[Service]\n"
              "Type=exec\n"
              "ExecStart=\"/opt/qora/qora-opc-server\" -Embedding\n"
              "ExecReload=/bin/kill -HUP $MAINPID\n"
              "SuccessExitStatus=75\n"
              "RestartForceExitStatus=75\n"
              "Restart=on-failure\n"
              "NoNewPrivileges=yes\n"
              "PrivateUsers=yes\n"
              "PrivateTmp=yes\n"
              "PrivateMounts=yes\n"
              "ProtectSystem=strict\n"
              "ProtectHome=read-only\n"
              "ReadWritePaths=\"/opt/qora\" %t\n"
              "ProtectKernelTunables=yes\n"
              "ProtectKernelModules=yes\n"
              "ProtectKernelLogs=yes\n"
              "ProtectControlGroups=yes\n"
              "ProtectClock=yes\n"
              "ProtectHostname=yes\n"
              "ProtectProc=invisible\n"
              "KeyringMode=private\n"
              "LockPersonality=yes\n"
              "MemoryDenyWriteExecute=yes\n"
              "RestrictRealtime=yes\n"
              "RestrictSUIDSGID=yes\n"
              "RestrictNamespaces=yes\n"
              "RestrictAddressFamilies=AF_UNIX AF_INET AF_INET6 AF_NETLINK\n"
              "SystemCallArchitectures=native\n"
              "SystemCallFilter=@system-service\n"
              "SystemCallFilter=~@privileged\n"
              "SystemCallErrorNumber=EPERM\n"
              "UMask=0077\n"
              "\n[Install]\n"
              "WantedBy=default.target\n");
    EXPECT_EQ(ReadAll(desktopPath),
              "[Desktop Entry]\n"
              "Type=Application\n"
              "Version=1.4\n"
              "Name=QORA OPC Server\n"
              "Comment=QORA OPC Server (KIVRAN)\n"
              "Exec=\"/opt/qora/qora-opc-server\"\n"
              "Terminal=false\n"
              "Categories=Utility;\n"
              "X-OPC-CLSID={6F1C0B52-9A3E-4D71-8E25-B4C7D90A1F36}\n"
              "X-OPC-ProgID=QORA.OPC\n"
              "X-OPC-Vendor=KIVRAN\n"
              "X-OPC-Description=QORA OPC Server\n"
              "X-OPC-Version=1\n"
              "X-OPC-Unit=opcda-6f1c0b52-9a3e-4d71-8e25-b4c7d90a1f36.service\n");
    // No temporary files are left beside them.
    int files = 0;
    for (const auto& e : fs::recursive_directory_iterator(dir_))
        if (e.is_regular_file()) ++files;
    EXPECT_EQ(files, 2);

    EXPECT_EQ(qora::COPCServer::UnregisterServer(), S_OK);
    EXPECT_FALSE(fs::exists(unitPath));
    EXPECT_FALSE(fs::exists(desktopPath));
    EXPECT_EQ(qora::COPCServer::UnregisterServer(), S_FALSE) << "nothing left to remove";
}

TEST_F(Registration, WithoutAPathTheRunningExecutableIsRegistered) {
    ASSERT_EQ(qora::COPCServer::RegisterServer(), S_OK);
    const std::string self = fs::read_symlink("/proc/self/exe").string();
    const std::string unit = ReadAll(GBDataAccess::GBUnitFilePath(qora::COPCServer::kClsid));
    EXPECT_NE(unit.find("ExecStart=\"" + self + "\" -Embedding\n"), std::string::npos) << unit;
}

TEST_F(Registration, PathsWithSpecialCharactersAreQuotedForEachFormat) {
    ASSERT_EQ(qora::COPCServer::RegisterServer(u"/opt/my dir/50%/$HOME/a\"b\\c/Сервер"), S_OK);
    const std::string unit = ReadAll(GBDataAccess::GBUnitFilePath(qora::COPCServer::kClsid));
    const std::string desktop = ReadAll(GBDataAccess::GBDesktopFilePath(qora::COPCServer::kClsid));
    EXPECT_NE(unit.find("ExecStart=\"/opt/my "
                        "dir/50%%/$$HOME/a\\\"b\\\\c/\xD0\xA1\xD0\xB5\xD1\x80\xD0\xB2\xD0\xB5\xD1\x80\" "
                        "-Embedding\n"),
              std::string::npos)
        << unit;
    EXPECT_NE(
        desktop.find(
            "Exec=\"/opt/my "
            "dir/50%%/\\\\$HOME/a\\\\\"b\\\\\\\\c/\xD0\xA1\xD0\xB5\xD1\x80\xD0\xB2\xD0\xB5\xD1\x80\"\n"),
        std::string::npos)
        << desktop;
}

// The platform's own checkers: the desktop entry validates, and the unit's exposure stays low.
TEST_F(Registration, DesktopEntryValidatesAndTheUnitIsSandboxed) {
    ASSERT_EQ(qora::COPCServer::RegisterServer(u"/opt/my dir/50%/qora-opc-server"), S_OK);
    const std::string unit = ReadAll(GBDataAccess::GBUnitFilePath(qora::COPCServer::kClsid));
    EXPECT_NE(unit.find("ReadWritePaths=\"/opt/my dir/50%%\" %t\n"), std::string::npos) << unit;
    const auto run = [](const std::string& command, std::string* out) {
        FILE* p = ::popen((command + " 2>&1").c_str(), "r");
        if (p == nullptr) return -1;
        char buf[4096];
        size_t n;
        while ((n = std::fread(buf, 1, sizeof buf, p)) > 0) out->append(buf, n);
        return ::pclose(p);
    };
    std::string out;
    if (run("command -v desktop-file-validate", &out) != 0)
        GTEST_SKIP() << "desktop-file-utils not installed";
    out.clear();
    EXPECT_EQ(run("desktop-file-validate '" + GBDataAccess::GBDesktopFilePath(qora::COPCServer::kClsid) + "'",
                  &out),
              0)
        << out;
    EXPECT_EQ(out, "");
    out.clear();
    if (run("command -v systemd-analyze", &out) != 0) GTEST_SKIP() << "systemd-analyze not installed";
    out.clear();
    run("systemd-analyze security --offline=yes '" + GBDataAccess::GBUnitFilePath(qora::COPCServer::kClsid) +
            "'",
        &out);
    const size_t at = out.find("Overall exposure level for ");
    ASSERT_NE(at, std::string::npos) << out;
    const size_t colon = out.find(": ", at);
    ASSERT_NE(colon, std::string::npos) << out;
    EXPECT_LT(std::stod(out.substr(colon + 2)), 4.5) << out.substr(at);
}

TEST_F(Registration, RelativeOrMultiLinePathsAndMissingTextsAreRefused) {
    EXPECT_EQ(qora::COPCServer::RegisterServer(u"qora-opc-server"), E_INVALIDARG);
    EXPECT_EQ(qora::COPCServer::RegisterServer(u"/opt/a\nb"), E_INVALIDARG);
    EXPECT_EQ(GBDataAccess::GBRegisterServer(qora::COPCServer::kClsid, u"V", u"D", nullptr, u"1", u"/x"),
              E_INVALIDARG);
    EXPECT_FALSE(fs::exists(dir_ + "/config"));
    EXPECT_FALSE(fs::exists(dir_ + "/data"));
}

TEST_F(Registration, UnsetOrRelativeXdgVariablesFallBackToHome) {
    unsetenv("XDG_CONFIG_HOME");
    setenv("XDG_DATA_HOME", "relative/data", 1);
    ASSERT_EQ(qora::COPCServer::RegisterServer(u"/opt/q"), S_OK);
    EXPECT_TRUE(fs::exists(dir_ + "/home/.config/systemd/user/" + kStem + ".service"));
    EXPECT_TRUE(fs::exists(dir_ + "/home/.local/share/applications/" + kStem + ".desktop"));
    EXPECT_EQ(qora::COPCServer::UnregisterServer(), S_OK);
}

TEST_F(Registration, AnUnwritableDirectoryIsReportedAsFailure) {
    fs::create_directories(dir_ + "/config");
    std::ofstream(dir_ + "/config/systemd") << "a file where a directory should be";
    EXPECT_EQ(qora::COPCServer::RegisterServer(u"/opt/q"), E_FAIL);
}

TEST_F(Registration, EachFileThatIsNotWrittenOrRemovedIsNamedWithItsReason) {
    // A regular file where a directory should be: no mode bits involved, so it fails as root too.
    fs::create_directories(dir_ + "/config");
    std::ofstream(dir_ + "/config/systemd") << "a file where a directory should be";
    std::vector<GBFileFailure> failures;
    EXPECT_EQ(qora::COPCServer::RegisterServer(u"/opt/q", &failures), E_FAIL);
    ASSERT_EQ(failures.size(), 1u) << "the desktop entry is written all the same";
    EXPECT_EQ(failures[0].kind, GBFileFailure::Kind::Unit);
    EXPECT_EQ(failures[0].path, dir_ + "/config/systemd/user/" + kStem + ".service");
    EXPECT_EQ(failures[0].error, ENOTDIR);
    EXPECT_TRUE(fs::exists(dir_ + "/data/applications/" + std::string(kStem) + ".desktop"));

    // Both fail.
    std::ofstream(dir_ + "/data-file") << "x";
    setenv("XDG_DATA_HOME", (dir_ + "/data-file").c_str(), 1);
    failures.clear();
    EXPECT_EQ(qora::COPCServer::RegisterServer(u"/opt/q", &failures), E_FAIL);
    ASSERT_EQ(failures.size(), 2u);
    EXPECT_EQ(failures[1].kind, GBFileFailure::Kind::DesktopEntry);
    EXPECT_EQ(failures[1].path, dir_ + "/data-file/applications/" + kStem + ".desktop");

    // Unregistering: a path through a file holds nothing (not a failure); a directory in the
    // unit's place cannot be removed.
    fs::remove(dir_ + "/config/systemd");
    fs::create_directories(dir_ + "/config/systemd/user/" + kStem + ".service/inside");
    failures.clear();
    EXPECT_EQ(qora::COPCServer::UnregisterServer(&failures), E_FAIL);
    ASSERT_EQ(failures.size(), 1u);
    EXPECT_EQ(failures[0].kind, GBFileFailure::Kind::Unit);
    EXPECT_EQ(failures[0].path, dir_ + "/config/systemd/user/" + kStem + ".service");
    EXPECT_EQ(failures[0].error, EISDIR);
}
