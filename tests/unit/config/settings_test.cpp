#include "config/settings.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QTemporaryDir>

#include "config/text_codec.h"
#include "config_test_util.h"

using namespace qora;
using namespace qora::test;

namespace {

class SettingsTest : public ::testing::Test {
  protected:
    QString Path() const { return dir.filePath(QStringLiteral("qora.ini")); }
    TSettings Make(const QByteArray& content) {
        EXPECT_TRUE(WriteText(Path(), content));
        return TSettings(Path());
    }
    QString TypeName(int n) const {
        return QString::fromUtf16(
            NameView(model->typeNames[n], kCatalogUnits).data(),
            static_cast<qsizetype>(NameView(model->typeNames[n], kCatalogUnits).size()));
    }
    QString ParamName(int k) const {
        auto v = NameView(model->paramNames[k], kCatalogUnits);
        return QString::fromUtf16(v.data(), static_cast<qsizetype>(v.size()));
    }
    QTemporaryDir dir;
    ModelPtr model = NewModel();
};

}  // namespace

TEST_F(SettingsTest, TypeCountIsTheNumberOfKeysWhateverTheirNames) {
    TSettings s =
        Make("[DEVICES]\nD0=Счётчик\nD1=Корректор\nX=ignored name\n[D_P]\nP0=0x1F\nP1=$1F\nP2=31\n");
    s.ReadDeviceTypes(*model);
    EXPECT_EQ(model->typeCount, 3);
    EXPECT_EQ(TypeName(0), QStringLiteral("Счётчик"));
    EXPECT_EQ(TypeName(1), QStringLiteral("Корректор"));
    EXPECT_EQ(TypeName(2), QString()) << "type 2 reads the absent key D2";
    EXPECT_EQ(model->typeMasks[0], 0x1Fu);
    EXPECT_EQ(model->typeMasks[1], 0x1Fu);
    EXPECT_EQ(model->typeMasks[2], 0x1Fu);
}

TEST_F(SettingsTest, MaskValuesReadAsDecimalOrHexAndAnythingElseGivesZeroAndIsReported) {
    struct {
        const char* text;
        uint32_t mask;
        bool reported;
    } cases[] = {{"0x1F", 0x1Fu, false},
                 {"$1F", 0x1Fu, false},
                 {"31", 0x1Fu, false},
                 {"-1", 0xFFFFFFFFu, true},
                 {"letters", 0u, true},
                 {"", 0u, false},
                 {"0x80000001", 0x80000001u, false},
                 {"-2147483647", 0x80000001u, true},
                 {"4294967295", 0u, true},
                 {"zzz", 0u, true},
                 {"0x1G", 0u, true},
                 {"-5", 0xFFFFFFFBu, true}};
    QByteArray ini = "[DEVICES]\n";
    for (size_t n = 0; n < std::size(cases); ++n) ini += "D" + QByteArray::number(qulonglong(n)) + "=t\n";
    ini += "[D_P]\n";
    for (size_t n = 0; n < std::size(cases); ++n)
        ini += "P" + QByteArray::number(qulonglong(n)) + "=" + cases[n].text + "\n";
    QStringList problems;
    Make(ini).ReadDeviceTypes(*model, &problems);
    ASSERT_EQ(model->typeCount, std::size(cases));
    for (size_t n = 0; n < std::size(cases); ++n) {
        EXPECT_EQ(model->typeMasks[n], cases[n].mask) << cases[n].text;
        const QString line = QStringLiteral("[D_P] P%1=%2:").arg(n).arg(QString::fromUtf8(cases[n].text));
        const bool reported = std::any_of(problems.begin(), problems.end(),
                                          [&](const QString& p) { return p.startsWith(line); });
        EXPECT_EQ(reported, cases[n].reported) << cases[n].text << " " << problems.join(u'|').toStdString();
    }
    EXPECT_EQ(problems.size(),
              std::count_if(std::begin(cases), std::end(cases), [](auto& c) { return c.reported; }));
}

TEST_F(SettingsTest, SeventyKeysGiveSixtyFourTypesAndLongNamesAreCut) {
    QByteArray ini = "[DEVICES]\n";
    for (int n = 0; n < 70; ++n)
        ini += "D" + QByteArray::number(n) + "=" + QByteArray(70, 'a' + n % 26) + "\n";
    ini += "[D_P]\nP63=7\nP64=9\n[PARAMETERS]\nP31=" + QStringLiteral("Я").repeated(80).toUtf8() + "\n";
    Make(ini).ReadCatalogue(*model);
    EXPECT_EQ(model->typeCount, 64);
    EXPECT_EQ(TypeName(63), QString(63, QChar(u'a' + 63 % 26)));
    EXPECT_EQ(model->typeMasks[63], 7u);
    for (int u = 63; u < kCatalogUnits; ++u) EXPECT_EQ(model->typeNames[63][u], 0) << u;
    EXPECT_EQ(ParamName(31), QStringLiteral("Я").repeated(63));
}

TEST_F(SettingsTest, ReadingTheCatalogueAgainClearsTypesBeyondTheNewCount) {
    Make("[DEVICES]\nD0=a\nD1=b\n[D_P]\nP1=5\n").ReadDeviceTypes(*model);
    ASSERT_EQ(model->typeCount, 2);
    Make("[DEVICES]\nD0=c\n").ReadDeviceTypes(*model);
    EXPECT_EQ(model->typeCount, 1);
    EXPECT_EQ(model->typeNames[1][0], 0);
    EXPECT_EQ(model->typeMasks[1], 0u);
}

TEST_F(SettingsTest, MissingFileAndMissingSectionsGiveTheDefaults) {
    TSettings s(dir.filePath(QStringLiteral("absent.ini")));
    for (int k = 0; k < kParamsPerDevice; ++k) model->paramNames[k][0] = u'x';
    s.ReadCatalogue(*model);
    EXPECT_EQ(model->typeCount, 0);
    for (int k = 0; k < kParamsPerDevice; ++k) EXPECT_EQ(ParamName(k), QString()) << k;
    EXPECT_EQ(s.ReadStartupPath(), QString());
    EXPECT_TRUE(s.DeclaredPorts().empty());
    const TOpcUaSettings ua = s.OpcUa();
    EXPECT_EQ(ua.port, 4840);
    EXPECT_EQ(ua.host, "");
    EXPECT_FALSE(ua.maxSessions.has_value());
}

TEST_F(SettingsTest, ParameterNamesComeFromP0ToP31) {
    Make("[PARAMETERS]\nP0=Температура\nP5=Давление\nP31=Расход\nP32=not read\n").ReadParameterNames(*model);
    EXPECT_EQ(ParamName(0), QStringLiteral("Температура"));
    EXPECT_EQ(ParamName(5), QStringLiteral("Давление"));
    EXPECT_EQ(ParamName(31), QStringLiteral("Расход"));
    EXPECT_EQ(ParamName(1), QString());
}

TEST_F(SettingsTest, Windows1251CatalogueReadsRight) {
    QByteArray cp;
    ASSERT_TRUE(EncodeWindows1251(
        QStringLiteral("[DEVICES]\r\nD0=Тепловычислитель\r\n[PARAMETERS]\r\nP0=Объём\r\n"), cp));
    Make(cp).ReadCatalogue(*model);
    EXPECT_EQ(TypeName(0), QStringLiteral("Тепловычислитель"));
    EXPECT_EQ(ParamName(0), QStringLiteral("Объём"));
}

TEST_F(SettingsTest, RecordingMainCfgKeepsCommentsAndOtherSectionsByteForByte) {
    const QByteArray before =
        "; Каталог приборов\n"
        "[DEVICES]\n"
        "D0=Счётчик   ; wide gap\n"
        "\n"
        "[GENERAL]\n"
        "; the configuration opened at start-up\n"
        "MAIN_CFG=/old.cfg\n"
        "[PARAMETERS]\n"
        "P0=Температура\n";
    TSettings s = Make(before);
    EXPECT_EQ(s.ReadStartupPath(), QStringLiteral("/old.cfg"));
    ASSERT_TRUE(s.RecordStartupConfiguration(QStringLiteral("/srv/Котельная.cfg")));
    QByteArray expected = before;
    expected.replace("MAIN_CFG=/old.cfg\n", QStringLiteral("MAIN_CFG=/srv/Котельная.cfg\n").toUtf8());
    EXPECT_EQ(ReadText(Path()), expected);
    EXPECT_EQ(TSettings(Path()).ReadStartupPath(), QStringLiteral("/srv/Котельная.cfg"));
    EXPECT_EQ(QDir(dir.path()).entryList(QDir::Files | QDir::Hidden),
              QStringList{QStringLiteral("qora.ini")});
}

TEST_F(SettingsTest, RecordingMainCfgCreatesTheFile) {
    TSettings s(Path());
    ASSERT_TRUE(s.RecordStartupConfiguration(QStringLiteral("/a/b.cfg")));
    EXPECT_EQ(ReadText(Path()), QByteArray("[GENERAL]\nMAIN_CFG=/a/b.cfg\n"));
}

TEST_F(SettingsTest, SerialCommDeclaresPortsInFileOrder) {
    TSettings s = Make(
        "[SERIALCOMM]\nttyV0=/dev/pts/7\nttySIM1 = /tmp/qora sim/link1\nempty=\n"
        "a_name_far_too_long_for_a_point=/dev/ttyS9\n");
    const auto ports = s.DeclaredPorts();
    ASSERT_EQ(ports.size(), 2u);
    EXPECT_EQ(ports[0], (std::pair<std::string, std::string>{"ttyV0", "/dev/pts/7"}));
    EXPECT_EQ(ports[1], (std::pair<std::string, std::string>{"ttySIM1", "/tmp/qora sim/link1"}));
}

TEST_F(SettingsTest, OpcUaSectionOverridesPortHostAndLimits) {
    TSettings s = Make(
        "[OPCUA]\nPort=48400\nHost=127.0.0.1\nMaxSessions=5\nMaxChannels=0x10\nMaxMessageSize=1048576\n"
        "MemoryBudgetMB=64\nMaxChunkCount=-3\nHandshakeTimeoutMs=soon\n");
    const TOpcUaSettings ua = s.OpcUa();
    EXPECT_EQ(ua.port, 48400);
    EXPECT_EQ(ua.host, "127.0.0.1");
    EXPECT_EQ(ua.maxSessions, 5);
    EXPECT_EQ(ua.maxChannels, 16);
    EXPECT_EQ(ua.maxMessageSize, 1048576u);
    EXPECT_EQ(ua.memoryBudgetBytes, 64ull << 20);
    EXPECT_FALSE(ua.maxChunkCount.has_value());
    EXPECT_FALSE(ua.handshakeTimeoutMs.has_value());
    EXPECT_EQ(ua.problems, (QStringList{"[OPCUA] HandshakeTimeoutMs=soon: ожидается целое число больше 0; "
                                        "принято значение по умолчанию",
                                        "[OPCUA] MaxChunkCount=-3: ожидается целое число больше 0; принято "
                                        "значение по умолчанию"}));
    for (const char* bad : {"70000", "-1", "port", "abc", ""}) {
        const QByteArray ini = QByteArray("[OPCUA]\nPort=") + bad + "\n";
        const TOpcUaSettings read = Make(ini).OpcUa();
        EXPECT_EQ(read.port, 4840) << bad;
        EXPECT_EQ(read.problems, QStringList{QStringLiteral("[OPCUA] Port=%1: ожидается номер порта от 0 до "
                                                            "65535; принят 4840")
                                                 .arg(QString::fromUtf8(bad))})
            << bad;
    }
    EXPECT_EQ(Make("[OPCUA]\nPort=0\n").OpcUa().port, 0) << "0 asks for any free port";
    EXPECT_TRUE(Make("[OPCUA]\nPort=0\n").OpcUa().problems.isEmpty());
}

TEST(CommandLine, StartupPathOptionIsCaseSensitiveAndTheLastOneCounts) {
    struct {
        QStringList args;
        const char* path;
    } cases[] = {
        {{QStringLiteral("-f:/srv/cfg/plant.cfg")}, "/srv/cfg/plant.cfg"},
        {{QStringLiteral("-F:/srv/cfg/plant.cfg")}, ""},
        {{QStringLiteral("/f:/srv/cfg/plant.cfg")}, ""},
        {{QStringLiteral("-f:/a.cfg"), QStringLiteral("x"), QStringLiteral("-f:/b.cfg")}, "/b.cfg"},
        {{QStringLiteral("-f:")}, ""},
        {{QStringLiteral("-f:/путь с пробелом/Котёл.cfg")}, "/путь с пробелом/Котёл.cfg"},
        {{}, ""},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(ParseCommandLine(c.args).startupPath.toStdString(), c.path)
            << c.args.join(u' ').toStdString();
        EXPECT_FALSE(ParseCommandLine(c.args).startedByCom);
    }
}

TEST(CommandLine, EmbedAtCharactersTwoToSixSetsTheComFlag) {
    struct {
        const char* arg;
        bool com;
    } cases[] = {{"-Embedding", true}, {"/embedding", true},   {"-Embed", true},  {"-Emb", false},
                 {"Embedding", false}, {"--Embedding", false}, {"xEMBEDx", true}, {"-f:EMBED", false}};
    for (const auto& c : cases)
        EXPECT_EQ(ParseCommandLine({QString::fromLatin1(c.arg)}).startedByCom, c.com) << c.arg;
    // Both tests apply to every argument.
    const TCommandLineOptions both =
        ParseCommandLine({QStringLiteral("-Embedding"), QStringLiteral("-f:/x.cfg")});
    EXPECT_TRUE(both.startedByCom);
    EXPECT_EQ(both.startupPath, QStringLiteral("/x.cfg"));
    EXPECT_TRUE(ParseCommandLine({QStringLiteral("-f:EMBEDDING")}).startedByCom == false);
}

TEST_F(SettingsTest, OpcUaSecuritySettingsReadValidInvalidAndEmptyValuesSafely) {
    using Names = std::vector<std::string>;
    const Names all{"None", "Basic256Sha256", "Aes128_Sha256_RsaOaep", "Aes256_Sha256_RsaPss"};
    const Names rsa{"Basic256Sha256", "Aes128_Sha256_RsaOaep", "Aes256_Sha256_RsaPss"};
    const Names both{"Sign", "SignAndEncrypt"};
    struct Case {
        const char* ini;
        Names policies;
        Names modes;
        bool anonymous;
        bool autoAccept;
        int problems;
    } cases[] = {
        {"", all, both, true, false, 0},
        {"SecurityPolicies=Basic256Sha256, Aes256_Sha256_RsaPss\nAllowAnonymous=0\n",
         {"Basic256Sha256", "Aes256_Sha256_RsaPss"},
         both,
         false,
         false,
         0},
        {"SecurityPolicies=none,basic256sha256,None\n", {"None", "Basic256Sha256"}, both, true, false, 0},
        {"SecurityPolicies=Basic256,Basic256Sha256\n", {"Basic256Sha256"}, both, true, false, 1},
        {"SecurityPolicies=Basic128Rsa15\n", rsa, both, true, false, 2},
        {"SecurityPolicies=\n", rsa, both, true, false, 1},
        {"SecurityPolicies= , ,\n", rsa, both, true, false, 1},
        {"SecurityModes=SignAndEncrypt\n", all, {"SignAndEncrypt"}, true, false, 0},
        {"SecurityModes=None,Sign\n", all, {"Sign"}, true, false, 1},
        {"SecurityModes=\n", all, {"SignAndEncrypt"}, true, false, 1},
        {"SecurityModes=Encrypt\n", all, {"SignAndEncrypt"}, true, false, 2},
        {"AllowAnonymous=yes\nAutoAcceptClients=TRUE\n", all, both, true, true, 0},
        {"AllowAnonymous=off\nAutoAcceptClients=0\n", all, both, false, false, 0},
        {"AllowAnonymous=maybe\n", all, both, false, false, 1},
        {"AllowAnonymous=\n", all, both, false, false, 1},
        {"AutoAcceptClients=2\n", all, both, true, false, 1},
    };
    for (const Case& c : cases) {
        const TOpcUaSettings ua = Make(QByteArray("[OPCUA]\n") + c.ini).OpcUa();
        EXPECT_EQ(ua.securityPolicies, c.policies) << c.ini;
        EXPECT_EQ(ua.securityModes, c.modes) << c.ini;
        EXPECT_EQ(ua.allowAnonymous, c.anonymous) << c.ini;
        EXPECT_EQ(ua.autoAcceptClients, c.autoAccept) << c.ini;
        EXPECT_EQ(ua.problems.size(), c.problems) << c.ini << ua.problems.join(u'|').toStdString();
    }
    EXPECT_TRUE(Make("[OPCUA]\nUsersFile=\n").OpcUa().usersFile.isEmpty());
    EXPECT_EQ(Make("[OPCUA]\nUsersFile= /etc/qora/пользователи.ini \n").OpcUa().usersFile,
              QStringLiteral("/etc/qora/пользователи.ini"));
}

TEST_F(SettingsTest, HistorySectionIsOffByDefaultAndReportsBadValues) {
    const THistorySettings off = Make("").History();
    EXPECT_FALSE(off.enabled);
    EXPECT_TRUE(off.file.endsWith(QStringLiteral("/history.db")));
    EXPECT_EQ(off.retentionDays, 30u);
    EXPECT_EQ(off.maxMegabytes, 1024u);
    EXPECT_TRUE(off.problems.isEmpty());

    const THistorySettings on =
        Make("[HISTORY]\nEnabled=yes\nFile=data/h.db\nRetentionDays=0\nMaxMegabytes=200\n").History();
    EXPECT_TRUE(on.enabled);
    EXPECT_TRUE(on.file.endsWith(QStringLiteral("/data/h.db")));
    EXPECT_TRUE(QDir::isAbsolutePath(on.file));
    EXPECT_EQ(on.retentionDays, 0u);
    EXPECT_EQ(on.maxMegabytes, 200u);
    EXPECT_TRUE(on.problems.isEmpty());
    EXPECT_EQ(Make("[HISTORY]\nFile=/var/h.db\n").History().file, QStringLiteral("/var/h.db"));

    const THistorySettings bad =
        Make("[HISTORY]\nEnabled=maybe\nRetentionDays=-1\nMaxMegabytes=lots\n").History();
    EXPECT_FALSE(bad.enabled);
    EXPECT_EQ(bad.retentionDays, 30u);
    EXPECT_EQ(bad.maxMegabytes, 1024u);
    ASSERT_EQ(bad.problems.size(), 3);
    EXPECT_TRUE(bad.problems[1].startsWith(QStringLiteral("[HISTORY] RetentionDays=-1")));
}
