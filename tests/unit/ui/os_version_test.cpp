#include "ui/os_version.h"

#include <gtest/gtest.h>

#include "model_fixture.h"

namespace qora {
namespace {

class FakeRegistry : public IOSRegistry {
  public:
    std::optional<QString> productType;
    bool q246009 = false;
    mutable int reads = 0;
    std::optional<QString> ProductType() const override {
        ++reads;
        return productType;
    }
    bool HasQ246009() const override { return q246009; }
};

TOSVersionRecord Nt(uint32_t major, uint32_t minor, uint8_t type, uint16_t suite, const char* sp,
                    uint32_t build) {
    TOSVersionRecord r;
    r.extended = true;
    r.platformId = kPlatformWin32NT;
    r.majorVersion = major;
    r.minorVersion = minor;
    r.productType = type;
    r.suiteMask = suite;
    r.csdVersion = QString::fromLatin1(sp);
    r.buildNumber = build;
    return r;
}

TOSVersionRecord Win9x(uint32_t minor, const char* sp) {
    TOSVersionRecord r;
    r.platformId = kPlatformWin32Windows;
    r.majorVersion = 4;
    r.minorVersion = minor;
    r.csdVersion = QString::fromLatin1(sp);
    r.buildNumber = 950;
    return r;
}

TEST(GetOSVersionText, DescribesEachCaseOfTheTables) {
    struct Case {
        TOSVersionRecord record;
        const char* text;
    } cases[] = {
        {Nt(5, 1, kNtWorkstation, 0, "Service Pack 2", 2600),
         "Microsoft Windows XP Professional Service Pack 2 (Build 2600)\n"},
        {Nt(5, 1, kNtWorkstation, kSuitePersonal, "Service Pack 3", 2600),
         "Microsoft Windows XP Home Edition Service Pack 3 (Build 2600)\n"},
        {Nt(10, 0, kNtWorkstation, 0, "", 19045), "Professional  (Build 19045)\n"},
        {Nt(10, 0, kNtServer, 0, "", 17763), "Server 4.0  (Build 17763)\n"},
        {Nt(6, 1, kNtServer, kSuiteEnterprise, "Service Pack 1", 7601),
         "Server 4.0, Enterprise Edition Service Pack 1 (Build 7601)\n"},
        {Nt(5, 2, kNtServer, kSuiteDatacenter | kSuiteEnterprise, "", 3790),
         "Microsoft Windows Server 2003, Datacenter Edition  (Build 3790)\n"},
        {Nt(5, 2, kNtDomainController, kSuiteEnterprise, "", 3790),
         "Microsoft Windows Server 2003, Enterprise Edition  (Build 3790)\n"},
        {Nt(5, 2, kNtServer, kSuiteBlade, "", 3790),
         "Microsoft Windows Server 2003, Web Edition  (Build 3790)\n"},
        {Nt(5, 2, kNtServer, kSuiteBlade | 0x0010, "", 3790),
         "Microsoft Windows Server 2003, Standard Edition  (Build 3790)\n"},
        {Nt(5, 0, kNtServer, kSuiteDatacenter, "Service Pack 4", 2195),
         "Microsoft Windows 2000 Datacenter Server Service Pack 4 (Build 2195)\n"},
        {Nt(5, 0, kNtServer, kSuiteEnterprise, "", 2195),
         "Microsoft Windows 2000 Advanced Server  (Build 2195)\n"},
        {Nt(5, 0, kNtServer, 0, "", 2195), "Microsoft Windows 2000 Server  (Build 2195)\n"},
        {Nt(4, 0, kNtWorkstation, 0, "Service Pack 5", 1381),
         "Microsoft Windows NT Workstation 4.0 Service Pack 5 (Build 1381)\n"},
        {Nt(5, 1, 9, 0, "x", 0x12340A28), "Microsoft Windows XP x (Build 2600)\n"},  // build: low 16 bits
        {Win9x(0, " C"), "Microsoft Windows 95 OSR2 "},
        {Win9x(0, " B"), "Microsoft Windows 95 OSR2 "},
        {Win9x(0, ""), "Microsoft Windows 95 "},
        {Win9x(10, " A "), "Microsoft Windows 98 SE "},
        {Win9x(10, ""), "Microsoft Windows 98 "},
        {Win9x(90, ""), "Microsoft Windows Millennium Edition\n"},
        {Win9x(20, ""), ""},
    };
    FakeRegistry reg;
    for (const Case& c : cases) {
        QString text;
        EXPECT_EQ(GetOSVersionText(&c.record, reg, text), 1);
        EXPECT_EQ(text, QString::fromLatin1(c.text));
    }
    EXPECT_EQ(reg.reads, 0);  // the extended record never needs the registry
}

TEST(GetOSVersionText, Win32sAndUnknownPlatforms) {
    FakeRegistry reg;
    TOSVersionRecord r;
    r.platformId = kPlatformWin32s;
    QString text;
    EXPECT_EQ(GetOSVersionText(&r, reg, text), 1);
    EXPECT_EQ(text, QStringLiteral("Microsoft Win32s\n"));
    r.platformId = 3;
    text.clear();
    EXPECT_EQ(GetOSVersionText(&r, reg, text), 1);
    EXPECT_TRUE(text.isEmpty());
}

TEST(GetOSVersionText, FailedVersionQueriesLeaveTheTextEmpty) {
    FakeRegistry reg;
    QString text;
    EXPECT_EQ(GetOSVersionText(nullptr, reg, text), 0);
    EXPECT_TRUE(text.isEmpty());
}

TEST(GetOSVersionText, BasicRecordReadsTheEditionFromTheRegistry) {
    struct Case {
        const char* productType;
        const char* text;
    } cases[] = {
        {"WinNT", "Microsoft Windows NT Workstation 4.0 Service Pack 3 (Build 1381)\n"},
        {"LANMANNT", "Microsoft Windows NT Server 4.0 Service Pack 3 (Build 1381)\n"},
        {"servernt", "Microsoft Windows NT Advanced Server 4.0 Service Pack 3 (Build 1381)\n"},
        {"other", "Microsoft Windows NT 4.0 Service Pack 3 (Build 1381)\n"},
    };
    for (const Case& c : cases) {
        FakeRegistry reg;
        reg.productType = QString::fromLatin1(c.productType);
        TOSVersionRecord r = Nt(4, 0, 0, 0, "Service Pack 3", 1381);
        r.extended = false;
        QString text;
        EXPECT_EQ(GetOSVersionText(&r, reg, text), 1);
        EXPECT_EQ(text, QString::fromLatin1(c.text));
    }
}

TEST(GetOSVersionText, UnreadableRegistryStopsAfterTheProductLine) {
    FakeRegistry reg;  // no value
    TOSVersionRecord r = Nt(5, 0, 0, 0, "", 2195);
    r.extended = false;
    QString text;
    EXPECT_EQ(GetOSVersionText(&r, reg, text), 0);
    EXPECT_EQ(text, QStringLiteral("Microsoft Windows 2000 "));
}

TEST(GetOSVersionText, ServicePack6WithTheHotfixReadsAs6a) {
    FakeRegistry reg;
    reg.q246009 = true;
    TOSVersionRecord r = Nt(4, 0, kNtWorkstation, 0, "service pack 6", 1381);
    QString text;
    GetOSVersionText(&r, reg, text);
    EXPECT_EQ(text, QStringLiteral("Microsoft Windows NT Workstation 4.0 Service Pack 6a (Build 1381)\n"));
    reg.q246009 = false;
    text.clear();
    GetOSVersionText(&r, reg, text);
    EXPECT_EQ(text, QStringLiteral("Microsoft Windows NT Workstation 4.0 service pack 6 (Build 1381)\n"));
}

TEST(GetOSVersionText, PercentSignsInTheServicePackAreKept) {
    FakeRegistry reg;
    TOSVersionRecord r = Nt(5, 1, kNtWorkstation, 0, "%1 %2", 5);
    QString text;
    GetOSVersionText(&r, reg, text);
    EXPECT_EQ(text, QStringLiteral("Microsoft Windows XP Professional %1 %2 (Build 5)\n"));
}

TEST(LinuxOSDescription, PrettyNameThenKernel) {
    const QString osRelease = QStringLiteral(
        "NAME=\"Debian GNU/Linux\"\nVERSION_ID=\"12\"\nVERSION=\"12 (bookworm)\"\n"
        "PRETTY_NAME=\"Debian GNU/Linux 12 (bookworm)\"\n# comment\nID=debian\n");
    EXPECT_EQ(LinuxOSDescription(osRelease, QStringLiteral("Linux"), QStringLiteral("6.1.0-13-amd64"),
                                 QStringLiteral("x86_64")),
              QStringLiteral("Debian GNU/Linux 12 (bookworm)\nLinux 6.1.0-13-amd64 (x86_64)"));
}

TEST(LinuxOSDescription, FallsBackToNameAndVersionAndToTheKernelAlone) {
    EXPECT_EQ(LinuxOSDescription(QStringLiteral("NAME=Alpine\nVERSION='3.19'\n"), QStringLiteral("Linux"),
                                 QStringLiteral("6.6"), QString()),
              QStringLiteral("Alpine 3.19\nLinux 6.6"));
    EXPECT_EQ(LinuxOSDescription(QString(), QStringLiteral("Linux"), QStringLiteral("6.6"),
                                 QStringLiteral("aarch64")),
              QStringLiteral("Linux 6.6 (aarch64)"));
    EXPECT_FALSE(CurrentOSDescription().isEmpty());
}

TEST(FreeMemory, MemAvailableIsPreferredOverMemFree) {
    EXPECT_EQ(
        ParseMemAvailableKb(QStringLiteral("MemTotal: 100 kB\nMemFree:  20 kB\nMemAvailable:   55 kB\n")),
        55u);
    EXPECT_EQ(ParseMemAvailableKb(QStringLiteral("MemTotal: 100 kB\nMemFree:  20 kB\n")), 20u);
    EXPECT_FALSE(ParseMemAvailableKb(QStringLiteral("garbage")));
    EXPECT_TRUE(CurrentMemAvailableKb().has_value());
}

TEST(FreeMemory, KbytesAreGroupedInThreesWithTheLocaleSeparator) {
    const QLocale ru(QLocale::Russian, QLocale::Russia);
    const QString sep = ru.groupSeparator();
    EXPECT_EQ(FormatKbytes(0, ru), QStringLiteral(" Кбайт"));
    EXPECT_EQ(FormatKbytes(999, ru), QStringLiteral("999 Кбайт"));
    EXPECT_EQ(FormatKbytes(1234567, ru),
              QStringLiteral("1") + sep + QStringLiteral("234") + sep + QStringLiteral("567 Кбайт"));
    EXPECT_EQ(FormatKbytes(16000000000ull, QLocale::c()),
              QStringLiteral("16,000,000,000 Кбайт"));  // beyond 4 GiB in full
    EXPECT_EQ(MemoryLine(0, ru), QStringLiteral("Доступно памяти:  Кбайт"));
}

}  // namespace
}  // namespace qora
