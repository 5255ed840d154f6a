#include "config/ini_file.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <QTemporaryDir>

#include "config/text_codec.h"
#include "config_test_util.h"
#include "read_only_dir.h"

using namespace qora;
using namespace qora::test;

namespace {

class IniTest : public ::testing::Test {
  protected:
    QString Path() const { return dir.filePath(QStringLiteral("qora.ini")); }
    TIniFile Make(const QByteArray& content) {
        EXPECT_TRUE(WriteText(Path(), content));
        return TIniFile(Path());
    }
    QTemporaryDir dir;
};

}  // namespace

TEST(IniInteger, DecimalDollarAndZeroXFormsAndDefaults) {
    struct {
        const char* text;
        bool ok;
        int32_t value;
    } cases[] = {
        {"31", true, 31},
        {"0x1F", true, 31},
        {"0X1f", true, 31},
        {"$1F", true, 31},
        {"-1", true, -1},
        {"+7", true, 7},
        {"$FFFFFFFF", true, -1},
        {"0xFFFFFFFF", true, -1},
        {"0x80000000", true, INT32_MIN},
        {"-2147483648", true, INT32_MIN},
        {"2147483647", true, INT32_MAX},
        {"2147483648", false, 0},
        {"$100000000", false, 0},
        {"abc", false, 0},
        {"", false, 0},
        {"0x", false, 0},
        {"$", false, 0},
        {"-", false, 0},
        {"12a", false, 0},
        {"1 2", false, 0},
        {"0x1G", false, 0},
        {"007", true, 7},
        {"-$10", true, -16},
    };
    for (const auto& c : cases) {
        int32_t v = 12345;
        EXPECT_EQ(TIniFile::ParseInteger(QString::fromLatin1(c.text), v), c.ok) << c.text;
        if (c.ok) {
            EXPECT_EQ(v, c.value) << c.text;
        }
    }
}

TEST_F(IniTest, SectionsAndKeysMatchWithoutRegardToCase) {
    TIniFile ini = Make("[General]\r\nMain_Cfg = /srv/a b.cfg \r\n[devices]\nd0=Тип\n");
    EXPECT_EQ(ini.ReadString(u"GENERAL", u"MAIN_CFG"), QStringLiteral("/srv/a b.cfg"));
    EXPECT_EQ(ini.ReadString(u"DEVICES", u"D0"), QStringLiteral("Тип"));
    EXPECT_EQ(ini.ReadString(u"DEVICES", u"D1", QStringLiteral("def")), QStringLiteral("def"));
    EXPECT_EQ(ini.ReadString(u"nosection", u"D0"), QString());
    EXPECT_TRUE(ini.SectionExists(u"DEVICES"));
    EXPECT_TRUE(ini.ValueExists(u"general", u"main_cfg"));
    EXPECT_EQ(ini.ReadSections(), (QStringList{QStringLiteral("General"), QStringLiteral("devices")}));
}

TEST_F(IniTest, SectionKeyListSkipsCommentsBlankAndBrokenLinesAndCountsEachKeyOnce) {
    TIniFile ini = Make(
        "top=ignored\n"
        "[S]\n"
        "; comment=1\n"
        "# other=2\n"
        "\n"
        "A=1\n"
        "no equals sign\n"
        "=no key\n"
        "b = 2\n"
        "a=duplicate\n"
        "[T]\n"
        "C=3\n"
        "[s]\n"
        "D=4\n");
    EXPECT_EQ(ini.ReadSection(u"S"),
              (QStringList{QStringLiteral("A"), QStringLiteral("b"), QStringLiteral("D")}));
    EXPECT_EQ(ini.ReadString(u"S", u"a"), QStringLiteral("1")) << "the first occurrence counts";
    EXPECT_EQ(ini.ReadString(u"S", u"D"), QStringLiteral("4"));
    EXPECT_TRUE(ini.ReadSection(u"missing").isEmpty());
}

TEST_F(IniTest, QuotesAroundValuesAreRemovedOnceAndWritingKeepsValuesExact) {
    TIniFile ini = Make("[Q]\na=\"x y\"\nb='z'\nc=\"unbalanced\nd=\"\"\"\"\n");
    EXPECT_EQ(ini.ReadString(u"Q", u"a"), QStringLiteral("x y"));
    EXPECT_EQ(ini.ReadString(u"Q", u"b"), QStringLiteral("z"));
    EXPECT_EQ(ini.ReadString(u"Q", u"c"), QStringLiteral("\"unbalanced"));
    EXPECT_EQ(ini.ReadString(u"Q", u"d"), QStringLiteral("\"\""));
    for (const QString& v :
         {QStringLiteral(" leading"), QStringLiteral("trailing "), QStringLiteral("\"quoted\""),
          QStringLiteral("'single'"), QStringLiteral("a=b;c#d"), QString()}) {
        ASSERT_TRUE(ini.WriteString(u"Q", u"v", v));
        EXPECT_EQ(TIniFile(Path()).ReadString(u"Q", u"v", QStringLiteral("absent")), v) << v.toStdString();
    }
}

TEST_F(IniTest, WritingAKeyKeepsEveryOtherLineByteForByte) {
    const QByteArray before =
        "; QORA settings, edited by hand\r\n"
        "[GENERAL]\r\n"
        "  main_cfg = /old/path.cfg   ; not a comment in a value\r\n"
        "Other=1\r\n"
        "\r\n"
        "[DEVICES]\r\n"
        "D0=Type A\r\n"
        "#D1=disabled\r\n"
        "[PARAMETERS]\r\n"
        "P0=Temperature";  // last line without terminator
    TIniFile ini = Make(before);
    ASSERT_TRUE(ini.WriteString(u"GENERAL", u"MAIN_CFG", u"/new/plant.cfg"));
    QByteArray expected = before;
    expected.replace("  main_cfg = /old/path.cfg   ; not a comment in a value\r\n",
                     "main_cfg=/new/plant.cfg\r\n");
    EXPECT_EQ(ReadText(Path()).toStdString(), expected.toStdString());

    // A new key goes right after the last key of its section; a new section at the end.
    ASSERT_TRUE(ini.WriteString(u"devices", u"D2", u"Type C"));
    expected.replace("D0=Type A\r\n", "D0=Type A\r\nD2=Type C\r\n");
    EXPECT_EQ(ReadText(Path()).toStdString(), expected.toStdString());
    ASSERT_TRUE(ini.WriteString(u"OPCUA", u"Port", u"4841"));
    expected += "\r\n[OPCUA]\r\nPort=4841\r\n";
    EXPECT_EQ(ReadText(Path()).toStdString(), expected.toStdString());
    EXPECT_EQ(TIniFile(Path()).ReadInteger(u"opcua", u"port"), 4841);
}

TEST_F(IniTest, WritingCreatesTheFileAndSection) {
    TIniFile ini(Path());
    EXPECT_TRUE(ini.ReadSections().isEmpty());
    ASSERT_TRUE(ini.WriteString(u"GENERAL", u"MAIN_CFG", u"/a/b.cfg"));
    EXPECT_EQ(ReadText(Path()), QByteArray("[GENERAL]\nMAIN_CFG=/a/b.cfg\n"));
    struct stat st {};
    ASSERT_EQ(::stat(QFile::encodeName(Path()).constData(), &st), 0);
    const mode_t mask = ::umask(022);
    ::umask(mask);
    EXPECT_EQ(st.st_mode & 0777, 0666u & ~mask) << "a new file's mode follows the umask";
}

TEST_F(IniTest, WriteRereadsTheFileSoHandEditsSinceAreKept) {
    TIniFile ini = Make("[A]\nx=1\n");
    ASSERT_TRUE(WriteText(Path(), "[A]\nx=1\ny=2\n"));
    ASSERT_TRUE(ini.WriteString(u"A", u"x", u"3"));
    EXPECT_EQ(ReadText(Path()), QByteArray("[A]\nx=3\ny=2\n"));
}

TEST_F(IniTest, LineBreaksAndBadNamesAreRefusedWithoutTouchingTheFile) {
    const QByteArray before = "[A]\nx=1\n";
    TIniFile ini = Make(before);
    QString error;
    EXPECT_FALSE(ini.WriteString(u"A", u"x", u"1\n[B]\ny=2", &error));
    EXPECT_FALSE(error.isEmpty());
    EXPECT_FALSE(ini.WriteString(u"A", u"k=v", u"1"));
    EXPECT_FALSE(ini.WriteString(u"A]", u"k", u"1"));
    EXPECT_FALSE(ini.WriteString(u"", u"k", u"1"));
    EXPECT_FALSE(ini.WriteString(u"A", u";k", u"1"));
    EXPECT_EQ(ReadText(Path()), before);
}

TEST_F(IniTest, Windows1251FileReadsRightAndStaysInItsCodePage) {
    QByteArray cp;
    ASSERT_TRUE(EncodeWindows1251(
        QStringLiteral("[DEVICES]\r\nD0=Теплосчётчик «ТС-2»\r\n[GENERAL]\r\nMAIN_CFG=C:\\old.cfg\r\n"), cp));
    ASSERT_FALSE(IsValidUtf8(cp));
    TIniFile ini = Make(cp);
    EXPECT_EQ(ini.FileEncoding(), TIniFile::Encoding::Windows1251);
    EXPECT_EQ(ini.ReadString(u"DEVICES", u"D0"), QStringLiteral("Теплосчётчик «ТС-2»"));

    ASSERT_TRUE(ini.WriteString(u"GENERAL", u"MAIN_CFG", u"/srv/Конфигурация.cfg"));
    QByteArray expected;
    ASSERT_TRUE(EncodeWindows1251(
        QStringLiteral(
            "[DEVICES]\r\nD0=Теплосчётчик «ТС-2»\r\n[GENERAL]\r\nMAIN_CFG=/srv/Конфигурация.cfg\r\n"),
        expected));
    EXPECT_EQ(ReadText(Path()).toStdString(), expected.toStdString());

    // Text the code page lacks carries the whole file over to UTF-8, no text lost.
    ASSERT_TRUE(ini.WriteString(u"GENERAL", u"MAIN_CFG", u"/srv/設定.cfg"));
    EXPECT_EQ(ReadText(Path()),
              QStringLiteral("[DEVICES]\r\nD0=Теплосчётчик «ТС-2»\r\n[GENERAL]\r\nMAIN_CFG=/srv/設定.cfg\r\n")
                  .toUtf8());
    EXPECT_EQ(TIniFile(Path()).ReadString(u"DEVICES", u"D0"), QStringLiteral("Теплосчётчик «ТС-2»"));
}

TEST(TextCodec, Windows1251TableAndStrictUtf8) {
    const QString all = DecodeWindows1251(QByteArrayLiteral("\xC0\xFF\xA8\xB8\xB9\x88\x98"));
    EXPECT_EQ(all, QString::fromUtf16(u"АяЁё№€\u0098"));
    QByteArray back;
    ASSERT_TRUE(EncodeWindows1251(all, back));
    EXPECT_EQ(back, QByteArrayLiteral("\xC0\xFF\xA8\xB8\xB9\x88\x98"));
    EXPECT_FALSE(EncodeWindows1251(QStringLiteral("設"), back));
    EXPECT_TRUE(IsValidUtf8(QStringLiteral("Привет, €, 😀").toUtf8()));
    for (const char* bad :
         {"\xC0\xAF", "\xE0\x80\xAF", "\xED\xA0\x80", "\xF4\x90\x80\x80", "\xD0", "\xFF", "\x80"})
        EXPECT_FALSE(IsValidUtf8(QByteArray(bad))) << bad;
}

TEST_F(IniTest, Utf8ByteOrderMarkIsNotPartOfTheFirstSectionName) {
    TIniFile ini = Make("\xEF\xBB\xBF[GENERAL]\nMAIN_CFG=x\n");
    EXPECT_EQ(ini.ReadString(u"GENERAL", u"MAIN_CFG"), QStringLiteral("x"));
    ASSERT_TRUE(ini.WriteString(u"GENERAL", u"MAIN_CFG", u"y"));
    EXPECT_EQ(ReadText(Path()), QByteArray("\xEF\xBB\xBF[GENERAL]\nMAIN_CFG=y\n"));
}

TEST_F(IniTest, UnreadableExistingFileIsNotOverwritten) {
    // A directory where the file should be: it exists but cannot be read.
    ASSERT_TRUE(QDir(dir.path()).mkdir(QStringLiteral("qora.ini")));
    TIniFile ini(Path());
    QString error;
    EXPECT_FALSE(ini.WriteString(u"GENERAL", u"MAIN_CFG", u"x", &error));
    EXPECT_EQ(error,
              QStringLiteral("Не удалось открыть файл \"") + Path() + QStringLiteral("\". Это каталог"));
}

// A Windows-1251 file whose only bytes that are not valid UTF-8 sit on the MAIN_CFG line: once
// that line holds an ASCII path, every byte left is valid UTF-8, and "Т°" (D2 B0) must still read
// as "Т°", not as the UTF-8 letter "Ұ", in this run and the next.
TEST_F(IniTest, Windows1251FileKeepsItsEncodingWhenTheLastInvalidUtf8LineIsRewritten) {
    const QByteArray before =
        "[GENERAL]\r\nMAIN_CFG=C:\\\xCA\xEE\xF2\xE5\xEB\\plant.cfg\r\n"  // C:\Котел\plant.cfg
        "[PARAMETERS]\r\nP0=\xD2\xB0\r\nP1=P, bar\r\n";                  // Т°
    const QByteArray after =
        "[GENERAL]\r\nMAIN_CFG=/srv/plant.cfg\r\n"
        "[PARAMETERS]\r\nP0=\xD2\xB0\r\nP1=P, bar\r\n";
    ASSERT_FALSE(IsValidUtf8(before));
    ASSERT_TRUE(IsValidUtf8(after));
    TIniFile ini = Make(before);
    ASSERT_EQ(ini.FileEncoding(), TIniFile::Encoding::Windows1251);
    EXPECT_EQ(ini.ReadString(u"PARAMETERS", u"P0"), QStringLiteral("Т°"));

    ASSERT_TRUE(ini.WriteString(u"GENERAL", u"MAIN_CFG", u"/srv/plant.cfg"));
    EXPECT_EQ(ReadText(Path()).toHex(' ').toStdString(), after.toHex(' ').toStdString());
    EXPECT_EQ(ini.ReadString(u"PARAMETERS", u"P0"), QStringLiteral("Т°"));
    EXPECT_EQ(ini.ReadString(u"PARAMETERS", u"P1"), QStringLiteral("P, bar"));

    // The next start reads the file afresh.
    TIniFile next(Path());
    EXPECT_EQ(next.FileEncoding(), TIniFile::Encoding::Windows1251);
    EXPECT_EQ(next.ReadString(u"PARAMETERS", u"P0"), QStringLiteral("Т°"));
    EXPECT_EQ(next.ReadString(u"PARAMETERS", u"P1"), QStringLiteral("P, bar"));

    // And a Cyrillic path written then goes in as Windows-1251 again.
    ASSERT_TRUE(next.WriteString(u"GENERAL", u"MAIN_CFG", u"/srv/Котел.cfg"));
    EXPECT_EQ(ReadText(Path()).toHex(' ').toStdString(),
              QByteArray("[GENERAL]\r\nMAIN_CFG=/srv/\xCA\xEE\xF2\xE5\xEB.cfg\r\n"
                         "[PARAMETERS]\r\nP0=\xD2\xB0\r\nP1=P, bar\r\n")
                  .toHex(' ')
                  .toStdString());
}

TEST(TextCodec, EncodingOfASettingsFileIsTheReadingThatGivesRussianText) {
    struct {
        QByteArray bytes;
        bool windows1251;
    } cases[] = {
        {"P0=plain ASCII\n", false},
        {"P0=\xD2\xB0\n", true},  // Т° (UTF-8 would be Ұ)
        {"P0=\xB9\xE0\n", true},  // №а: not UTF-8 at all
        {QStringLiteral("P0=Температура, °C\n").toUtf8(), false},
        {QStringLiteral("P0=Т°\n").toUtf8(), false},  // D0 A2 C2 B0
        {QStringLiteral("P0=и\n").toUtf8(), false},   // D0 B8: "Рё" in 1251, a tie
        {QStringLiteral("P0=Расход «м³/ч» — №1\n").toUtf8(), false},
        {QStringLiteral("P0=Ωμέγα\n").toUtf8(), false},  // neither reading Russian
        {QStringLiteral("P0=設定\n").toUtf8(), false},
        {"\xEF\xBB\xBF[GENERAL]\n", false},  // UTF-8 byte order mark
    };
    for (const auto& c : cases)
        EXPECT_EQ(LooksLikeWindows1251(c.bytes), c.windows1251) << c.bytes.toHex(' ').toStdString();
}

TEST_F(IniTest, FileInAReadOnlyOrMissingFolderIsRefusedWithTheRussianReason) {
    ASSERT_TRUE(QDir(dir.path()).mkdir(QStringLiteral("ro")));
    const QString inReadOnly = dir.filePath(QStringLiteral("ro/qora.ini"));
    ASSERT_TRUE(WriteText(inReadOnly, "[GENERAL]\nMAIN_CFG=a\n"));
    {
        TReadOnlyDirectory readOnly(dir.filePath(QStringLiteral("ro")));
        ASSERT_TRUE(readOnly.Ok());
        TIniFile ini(inReadOnly);
        QString error;
        EXPECT_FALSE(ini.WriteString(u"GENERAL", u"MAIN_CFG", u"b", &error));
        EXPECT_EQ(error, QStringLiteral("Не удалось создать файл \"") + inReadOnly +
                             QStringLiteral("\". Отказано в доступе"));
    }
    EXPECT_EQ(ReadText(inReadOnly), QByteArray("[GENERAL]\nMAIN_CFG=a\n"));

    const QString inMissing = dir.filePath(QStringLiteral("gone/qora.ini"));
    TIniFile ini(inMissing);
    QString error;
    EXPECT_FALSE(ini.WriteString(u"GENERAL", u"MAIN_CFG", u"b", &error));
    EXPECT_EQ(error, QStringLiteral("Не удалось создать файл \"") + inMissing +
                         QStringLiteral("\". Нет такого файла или каталога"));
}
