#include <gtest/gtest.h>

#include <QTemporaryDir>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "comm/serial/com_port.h"
#include "comm/serial/ecomport.h"
#include "comm/serial/enum_com_ports.h"
#include "tests/unit/comm/comm_test_support.h"

namespace qora {
namespace {

::testing::Environment* const kApp = ::testing::AddGlobalTestEnvironment(new qora::test::QtAppEnvironment);

namespace fs = std::filesystem;

TEST(EComPort, MessagesAreTheCodeTextFollowedByTheErrorNumber) {
    const std::vector<std::pair<int, std::string>> cases = {
        {1, "Unable to open com port"},         {2, "WriteFile function failed"},
        {3, "ReadFile function failed"},        {4, "Invalid Async parameter"},
        {5, "PurgeComm function failed"},       {7, "SetCommState function failed"},
        {8, "SetCommTimeouts failed"},          {9, "SetupComm function failed"},
        {10, "ClearCommError function failed"}, {23, "Registry error"},
    };
    for (const auto& [code, text] : cases) {
        EComPort e(code, 5);
        EXPECT_EQ(e.Code(), code);
        EXPECT_EQ(e.WinCode(), 5);
        EXPECT_EQ(std::string(e.what()), text + " (win error code: 5)");
    }
    EXPECT_EQ(std::string(EComPort(1, -2).what()), "Unable to open com port (win error code: -2)");
}

TEST(ComPortSettings, DefaultsAndCodeTablesFollowTheSerialComponent) {
    TComPort port;
    EXPECT_EQ(port.PortName(), "COM1");
    EXPECT_EQ(port.BaudRate(), TComPort::br9600);
    EXPECT_EQ(port.DataBits(), TComPort::dbEight);
    EXPECT_EQ(port.Parity(), TComPort::prNone);
    EXPECT_EQ(port.StopBits(), TComPort::sbOneStopBit);
    EXPECT_FALSE(port.Connected());
    EXPECT_EQ(port.EffectivePath(), "/dev/COM1");
    const int rates[] = {0,     110,   300,   600,   1200,  2400,   4800,   9600,
                         14400, 19200, 38400, 56000, 57600, 115200, 128000, 256000};
    for (int code = 0; code < 16; ++code)
        EXPECT_EQ(TComPort::BaudRateValue(static_cast<uint8_t>(code)), rates[code]);
    EXPECT_EQ(TComPort::BaudRateValue(16), 0);
    EXPECT_EQ(TComPort::BaudRateValue(9), 19200);
    EXPECT_EQ(TComPort::DataBitsValue(3), 8);
    EXPECT_EQ(TComPort::DataBitsValue(0), 5);
}

TEST(ComPortSettings, ClosingAClosedPortDoesNothingAndOpeningAMissingOneFailsWithCodeOne) {
    TComPort port;
    port.SetPortName("ttyQORA_NONE");
    port.SetConnected(false);
    try {
        port.SetConnected(true);
        FAIL() << "opened a missing device";
    } catch (const EComPort& e) {
        EXPECT_EQ(e.Code(), 1);
        EXPECT_EQ(e.WinCode(), ENOENT);
    }
    EXPECT_FALSE(port.Connected());
    EXPECT_THROW(port.Write("x", 1), EComPort);
    char b;
    EXPECT_THROW(port.Read(&b, 1), EComPort);
}

TEST(ComPortSettings, AFileThatIsNotATerminalIsRefusedAsALineSettingFailure) {
    QTemporaryDir dir;
    const std::string path = dir.filePath("plain").toStdString();
    std::ofstream(path) << "x";
    TComPort port;
    port.SetDevicePath(path);
    try {
        port.SetConnected(true);
        FAIL();
    } catch (const EComPort& e) {
        EXPECT_EQ(e.Code(), 7);
    }
    EXPECT_FALSE(port.Connected());
}

class EnumComPortsTest : public ::testing::Test {
  protected:
    void Tty(const std::string& name, bool device, const char* type = nullptr) {
        fs::create_directories(root_ / name);
        if (device) fs::create_directories(root_ / name / "device");
        if (type != nullptr) std::ofstream(root_ / name / "type") << type << "\n";
    }
    QTemporaryDir dir_;
    fs::path root_ = fs::path(dir_.path().toStdString()) / "class" / "tty";
};

TEST_F(EnumComPortsTest, KernelPortsWithADeviceAndDeclaredPortsAreSortedIgnoringCase) {
    Tty("ttyS0", true, "4");
    Tty("ttyS1", true, "0");  // placeholder UART
    Tty("ttyUSB0", true);
    Tty("ttyACM0", true);
    Tty("tty0", false);
    Tty("ptmx", false);
    const auto ports =
        EnumComPorts({{"COM10", "/tmp/a"}, {"com2", "/tmp/b"}, {"COM1", "/tmp/c"}, {"ttyusb0", "/dev/x"}},
                     root_.string(), "/devroot");
    const std::vector<TComPortEntry> expected = {
        {"COM1", "/tmp/c"},          {"COM10", "/tmp/a"},
        {"com2", "/tmp/b"},          {"ttyACM0", "/devroot/ttyACM0"},
        {"ttyS0", "/devroot/ttyS0"}, {"ttyusb0", "/dev/x"},
    };
    EXPECT_EQ(ports, expected);
}

TEST_F(EnumComPortsTest, MissingTtyClassGivesTheDeclaredPortsOnly) {
    const auto ports =
        EnumComPorts({{"SIM1", "/tmp/x/ttySIM1"}, {"", "/x"}, {"EMPTY", ""}}, (root_ / "none").string());
    EXPECT_EQ(ports, (std::vector<TComPortEntry>{{"SIM1", "/tmp/x/ttySIM1"}}));
}

TEST_F(EnumComPortsTest, AtMost255PortsAreTaken) {
    std::vector<std::pair<std::string, std::string>> declared;
    for (int i = 0; i < 300; ++i) declared.emplace_back("P" + std::to_string(1000 + i), "/dev/null");
    const auto ports = EnumComPorts(declared, (root_ / "none").string());
    ASSERT_EQ(ports.size(), 255u);
    EXPECT_EQ(ports.front().name, "P1000");
    EXPECT_EQ(ports.back().name, "P1254");
}

TEST(PortNames, ComparisonIgnoresAsciiCaseOnly) {
    EXPECT_TRUE(PortNameLess("COM1", "com10"));
    EXPECT_TRUE(PortNameLess("com10", "COM2"));
    EXPECT_FALSE(PortNameLess("COM2", "com2"));
    EXPECT_EQ(PortNameUpper("com3"), "COM3");
    EXPECT_EQ(PortNameUpper("ttyUSB0"), "TTYUSB0");
}

}  // namespace
}  // namespace qora
