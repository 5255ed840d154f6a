#include <gtest/gtest.h>

#include <QProcess>
#include <QTemporaryDir>
#include <cstdlib>
#include <random>

#include "config/config_file.h"
#include "config_test_util.h"
#include "tools/cfg/cfg_json.h"

using namespace qora;
using namespace qora::test;

namespace {

struct ToolRun {
    int exitCode = -1;
    QByteArray out, err;
};

ToolRun RunTool(const QStringList& args, const QByteArray& input = {}) {
    QProcess p;
    p.start(QStringLiteral(QORA_CFG_TOOL), args);
    ToolRun r;
    if (!p.waitForStarted(10000)) return r;
    p.write(input);
    p.closeWriteChannel();
    if (!p.waitForFinished(30000)) {
        p.kill();
        p.waitForFinished(5000);
        return r;
    }
    r.exitCode = p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
    r.out = p.readAllStandardOutput();
    r.err = p.readAllStandardError();
    return r;
}

const QByteArray kIssueExample =
    "{\"points\": [{\"name\": \"Адаптер_1\", \"port\": \"ttyUSB0\", \"period\": 4.2, \"active\": true, "
    "\"devices\": "
    "[{\"name\": \"Устройство\", \"type\": 0, \"address\": 1, \"parameters\": [0, 2]}]}]}";

}  // namespace

TEST(QoraCfgJson, PeriodIsTheShortestTextThatReadsBackEqual) {
    EXPECT_EQ(cfgtool::ShortestFloat(4.2f), "4.2");
    EXPECT_EQ(cfgtool::ShortestFloat(0.7f), "0.7");
    EXPECT_EQ(cfgtool::ShortestFloat(1.5f), "1.5");
    EXPECT_EQ(cfgtool::ShortestFloat(5.0f), "5");
    std::mt19937 rng(42);
    for (int i = 0; i < 10000; ++i) {
        uint32_t bits = rng();
        float f;
        std::memcpy(&f, &bits, 4);
        if (!std::isfinite(f)) continue;
        const std::string text = cfgtool::ShortestFloat(f);
        ASSERT_EQ(std::strtof(text.c_str(), nullptr), f) << text;
        // Not shorter by accident of double printing: the double nearest 4.2f prints far longer.
        ASSERT_LE(text.size(), 15u) << text;
    }
}

TEST(QoraCfgJson, DumpShapeFollowsTheModel) {
    auto m = NewModel();
    ASSERT_EQ(AppendPoint(*m, u"Линия \"A\"\\", "ttyS0", 0.1f, false), ModelResult::Ok);
    ASSERT_EQ(AppendDevice(*m, 0, u"Д1", 7, 254, 0x80000001u), ModelResult::Ok);
    ASSERT_EQ(AppendPoint(*m, u"", "", 2.0f, true), ModelResult::Ok);
    m->points[1].pollPeriod = std::numeric_limits<float>::quiet_NaN();
    EXPECT_EQ(cfgtool::ToJson(*m),
              "{\"points\": [{\"name\": \"Линия \\\"A\\\"\\\\\", \"port\": \"ttyS0\", \"period\": 0.1, "
              "\"active\": false, "
              "\"devices\": [{\"name\": \"Д1\", \"type\": 7, \"address\": 254, \"parameters\": [0, 31]}]}, "
              "{\"name\": \"\", \"port\": \"\", \"period\": null, \"active\": true, \"devices\": []}]}");
}

TEST(QoraCfgJson, InvalidDescriptionsAreRefusedNamingTheElement) {
    struct {
        const char* json;
        const char* where;
    } cases[] = {
        {"not json", "invalid JSON"},
        {"[]", "points"},
        {"{\"points\": 3}", "points"},
        {"{\"points\": [{\"port\": \"a\", \"period\": 1}]}", "points[0].name"},
        {"{\"points\": [{\"name\": \"012345678901234567890123456789012345678901234567890\", \"port\": \"a\", "
         "\"period\": 1}]}",
         "points[0].name"},
        {"{\"points\": [{\"name\": \"a\", \"port\": \"01234567890123456789\", \"period\": 1}]}",
         "points[0].port"},
        {"{\"points\": [{\"name\": \"a\", \"port\": \"p\", \"period\": 1}, {\"name\": \"b\", \"port\": "
         "\"p\", \"period\": 1}]}",
         "points[1].port"},
        {"{\"points\": [{\"name\": \"a\", \"port\": \"p\", \"period\": \"4,2\"}]}", "points[0].period"},
        {"{\"points\": [{\"name\": \"a\", \"port\": \"p\", \"period\": 1e300}]}", "points[0].period"},
        {"{\"points\": [{\"name\": \"a\", \"port\": \"p\", \"period\": 1, \"active\": 1}]}",
         "points[0].active"},
        {"{\"points\": [{\"name\": \"a\", \"port\": \"p\", \"period\": 1, \"devices\": [{\"name\": \"d\", "
         "\"type\": 64, "
         "\"address\": 1, \"parameters\": []}]}]}",
         "points[0].devices[0].type"},
        {"{\"points\": [{\"name\": \"a\", \"port\": \"p\", \"period\": 1, \"devices\": [{\"name\": \"d\", "
         "\"type\": 0, "
         "\"address\": 1.5, \"parameters\": []}]}]}",
         "points[0].devices[0].address"},
        {"{\"points\": [{\"name\": \"a\", \"port\": \"p\", \"period\": 1, \"devices\": [{\"name\": \"d\", "
         "\"type\": 0, "
         "\"address\": 9, \"parameters\": []}, {\"name\": \"e\", \"type\": 0, \"address\": 9, "
         "\"parameters\": []}]}]}",
         "points[0].devices[1].address"},
        {"{\"points\": [{\"name\": \"a\", \"port\": \"p\", \"period\": 1, \"devices\": [{\"name\": \"d\", "
         "\"type\": 0, "
         "\"address\": 9, \"parameters\": [32]}]}]}",
         "points[0].devices[0].parameters[0]"},
    };
    for (const auto& c : cases) {
        auto m = NewModel();
        QString error;
        EXPECT_FALSE(cfgtool::FromJson(QByteArray(c.json), *m, error)) << c.json;
        EXPECT_TRUE(error.startsWith(QString::fromUtf8(c.where))) << c.json << " -> " << error.toStdString();
    }
    // 51 points.
    QByteArray many = "{\"points\": [";
    for (int i = 0; i < 51; ++i)
        many += (i ? ", " : "") + QByteArray("{\"name\": \"a\", \"port\": \"\", \"period\": 1}");
    many += "]}";
    auto m = NewModel();
    QString error;
    EXPECT_FALSE(cfgtool::FromJson(many, *m, error));
    EXPECT_TRUE(PointsEmpty(*m));
}

TEST(QoraCfgTool, CreateThenDumpGivesTheSameJson) {
    QTemporaryDir dir;
    const QString out = dir.filePath(QStringLiteral("made.cfg"));
    const ToolRun c = RunTool({QStringLiteral("create"), out}, kIssueExample);
    ASSERT_EQ(c.exitCode, 0) << c.err.toStdString();
    EXPECT_EQ(ReadAll(out).size(), 90546u);

    auto expected = NewModel();
    ASSERT_EQ(AppendPoint(*expected, u"Адаптер_1", "ttyUSB0", 4.2f, true), ModelResult::Ok);
    ASSERT_EQ(AppendDevice(*expected, 0, u"Устройство", 0, 1, 0x5u), ModelResult::Ok);
    EXPECT_EQ(ReadAll(out), EncodeConfig(*expected));

    const ToolRun d = RunTool({QStringLiteral("dump"), out});
    ASSERT_EQ(d.exitCode, 0) << d.err.toStdString();
    EXPECT_EQ(d.out.toStdString(), (kIssueExample + "\n").toStdString());
}

TEST(QoraCfgTool, ResaveWritesTheSameBytesThroughTheProgramsWriter) {
    QTemporaryDir dir;
    auto m = NewModel();
    ASSERT_EQ(AppendPoint(*m, u"Старая линия", "ttyS3", 3.3f, true), ModelResult::Ok);
    ASSERT_EQ(AppendDevice(*m, 0, u"Прибор", 2, 40, 0xF0u), ModelResult::Ok);
    m->points[0].devices[0].values[4] = 12.5f;
    m->points[0].devices[0].timestamps[4] = 46000.5;
    m->points[0].devices[0].unanswered = 9;
    const QString in = dir.filePath(QStringLiteral("in.dat"));
    const QString out = dir.filePath(QStringLiteral("out.cfg"));
    ASSERT_TRUE(WriteConfigFile(in, *m).ok);
    const ToolRun r = RunTool({QStringLiteral("resave"), in, out});
    ASSERT_EQ(r.exitCode, 0) << r.err.toStdString();
    EXPECT_EQ(ReadAll(out), ReadAll(in));
}

TEST(QoraCfgTool, RefusedFileExitsTwoWithTheRefusalMessage) {
    QTemporaryDir dir;
    const QString bad = dir.filePath(QStringLiteral("bad.cfg"));
    ASSERT_TRUE(WriteText(bad, QByteArrayLiteral("QORA_OPC\0\x01\x01\xFF\xFF\x05\x00\x00\x00\x00")));
    for (const QStringList& args :
         {QStringList{QStringLiteral("dump"), bad},
          QStringList{QStringLiteral("resave"), bad, dir.filePath(QStringLiteral("o.cfg"))}}) {
        const ToolRun r = RunTool(args);
        EXPECT_EQ(r.exitCode, 2);
        EXPECT_TRUE(r.out.isEmpty());
        EXPECT_EQ(QString::fromUtf8(r.err).trimmed(), QString::fromUtf16(kMsgNotConfigFile));
    }
    EXPECT_FALSE(QFile::exists(dir.filePath(QStringLiteral("o.cfg"))));
}

TEST(QoraCfgTool, MissingFilesBadJsonAndBadUsageFail) {
    QTemporaryDir dir;
    ToolRun r = RunTool({QStringLiteral("dump"), dir.filePath(QStringLiteral("none.cfg"))});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_TRUE(r.err.contains(QStringLiteral("Нет такого файла или каталога").toUtf8()))
        << r.err.toStdString();

    const QString out = dir.filePath(QStringLiteral("x.cfg"));
    r = RunTool({QStringLiteral("create"), out}, "{\"points\": [{\"name\": 1}]}");
    EXPECT_EQ(r.exitCode, 2);
    EXPECT_TRUE(r.err.startsWith("points[0].name")) << r.err.toStdString();
    EXPECT_FALSE(QFile::exists(out));

    r = RunTool({QStringLiteral("create"), dir.filePath(QStringLiteral("no/dir/x.cfg"))}, "{\"points\": []}");
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_TRUE(r.err.contains(QStringLiteral("Не удалось создать файл").toUtf8())) << r.err.toStdString();

    EXPECT_EQ(RunTool({}).exitCode, 1);
    EXPECT_EQ(RunTool({QStringLiteral("dump")}).exitCode, 1);
    EXPECT_EQ(RunTool({QStringLiteral("frobnicate"), out}).exitCode, 1);
}
