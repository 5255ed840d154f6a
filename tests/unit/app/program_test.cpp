// The start-up sequence and the ways out of the composition root, offscreen, with a recorded
// operator prompt and an OPC UA endpoint on a free loopback port.
#include "app/program.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>
#include <QTimer>
#include <QAction>
#include <QTreeWidget>

#include "app/single_instance.h"
#include "comm/poll_cycle.h"
#include "config/config_document.h"
#include "config/config_file.h"
#include "opc/opc_server.h"
#include "opc/toolkit/gb_impl.h"
#include "ui/main_form.h"
#include "../config/read_only_dir.h"

using namespace qora;

namespace {

class TRecordingPrompt : public IOperatorPrompt {
public:
    bool AskYesNo(const QString& title, const QString& text) override {
        questions << title + "|" + text;
        return answer;
    }
    void ShowMessage(const QString& title, const QString& text) override { messages << title + "|" + text; }
    void ShowError(const QString& text) override { errors << text; }
    std::optional<QString> ChooseFileToOpen(const QString&, const QString&) override { return std::nullopt; }
    std::optional<QString> ChooseFileToSave(const QString&, const QString&) override { return std::nullopt; }
    QStringList questions, messages, errors;
    bool answer = false;
};

class Program : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(dir_.isValid());
        qputenv("XDG_RUNTIME_DIR", dir_.path().toUtf8());
        WriteIni(QString());
    }
    void WriteIni(const QString& mainCfg) {
        QFile f(Ini());
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        f.write(QStringLiteral("[GENERAL]\nMAIN_CFG=%1\n[DEVICES]\nD0=Т\n[D_P]\nP0=3\n[PARAMETERS]\nP0=Темп\nP1=Давл\n"
                               "[OPCUA]\nHost=127.0.0.1\nPort=0\n")
                    .arg(mainCfg)
                    .toUtf8());
    }
    QString Ini() const { return dir_.filePath(QStringLiteral("qora.ini")); }
    QString Path(const char* name) const { return dir_.filePath(QString::fromUtf8(name)); }
    std::unique_ptr<TProgram> Start(QStringList args) {
        auto p = std::make_unique<TProgram>(std::move(args), true, lock_, Ini(), &prompt_);
        p->FormCreate();
        return p;
    }
    void WriteConfig(const QString& path) {
        std::unique_ptr<TConfigModel, ModelDeleter> m(CreateModel());
        m->typeCount = 1;
        m->typeMasks[0] = 3;
        ASSERT_EQ(AppendPoint(*m, u"Адаптер_1", "NOPORT", 1.0f, true), ModelResult::Ok);
        ASSERT_EQ(AppendDevice(*m, 0, u"Устройство", 0, 1, 3), ModelResult::Ok);
        ASSERT_TRUE(WriteConfigFile(path, *m).ok);
    }
    QString MainCfg() const {
        QFile f(Ini());
        if (!f.open(QIODevice::ReadOnly)) return {};
        for (const QByteArray& line : f.readAll().split('\n'))
            if (line.startsWith("MAIN_CFG=")) return QString::fromUtf8(line.mid(9)).trimmed();
        return {};
    }

    QTemporaryDir dir_;
    TSingleInstance lock_{"qora-program-test"};
    TRecordingPrompt prompt_;
};

}  // namespace

TEST_F(Program, MissingStartUpFileRunsCreateSilently) {
    WriteIni(Path("gone.cfg"));
    auto p = Start({});
    EXPECT_EQ(p->Document().ConfigName(), QString::fromUtf16(kNewConfigName));
    EXPECT_TRUE(p->Document().Untitled());
    EXPECT_TRUE(prompt_.messages.isEmpty());
    EXPECT_TRUE(prompt_.errors.isEmpty());
    EXPECT_EQ(MainCfg(), Path("gone.cfg"));  // kept until the next load or save
    ASSERT_NE(p->Server(), nullptr);
    EXPECT_EQ(p->Model().typeCount, 1);
    EXPECT_EQ(p->Window().Action(QStringLiteral("Restart"))->isEnabled(), false);
}

TEST_F(Program, FileGivenWithDashFIsLoadedShownAndRecorded) {
    WriteConfig(Path("plant.cfg"));
    auto p = Start({QStringLiteral("-Embedding"), QStringLiteral("-f:") + Path("plant.cfg")});
    EXPECT_EQ(p->Document().ConfigName(), QStringLiteral("plant"));
    EXPECT_EQ(p->Model().pointCount, 1);
    EXPECT_EQ(MainCfg(), Path("plant.cfg"));
    EXPECT_TRUE(p->Window().StartedByCom());
    // A point whose port this computer lacks is shown but not bound.
    EXPECT_EQ(p->Window().Tree()->topLevelItemCount(), 1);
    EXPECT_EQ(p->Model().points[0].serialPort, nullptr);
    // The catalogue is read after the load.
    EXPECT_EQ(p->Model().paramNames[1][0], u'Д');
}

TEST_F(Program, RefusedFileShowsTheReaderMessageAndStartUpGoesOn) {
    QFile f(Path("junk.cfg"));
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    f.write("not a configuration at all");
    f.close();
    auto p = Start({QStringLiteral("-f:") + Path("junk.cfg")});
    ASSERT_EQ(prompt_.messages.size(), 1);
    EXPECT_TRUE(prompt_.messages[0].contains(QStringLiteral("поврежден")));
    // The refused file is not shown as loaded: the configuration is a new, untitled one.
    EXPECT_EQ(p->Document().ConfigName(), QString::fromUtf16(kNewConfigName));
    EXPECT_TRUE(p->Document().Untitled());
    EXPECT_EQ(p->Model().pointCount, 0);
    EXPECT_EQ(p->Model().typeCount, 1);
    EXPECT_NE(p->Server(), nullptr);
}

TEST_F(Program, UnreadableStartUpFileIsReportedAndStartUpGoesOn) {
    ASSERT_TRUE(QDir(dir_.path()).mkdir(QStringLiteral("adir.cfg")));
    auto p = Start({QStringLiteral("-f:") + Path("adir.cfg")});
    EXPECT_EQ(prompt_.errors.size(), 1);
    EXPECT_EQ(p->Model().typeCount, 1);
    EXPECT_NE(p->Server(), nullptr);
}

TEST_F(Program, ExitWithAClientAsksAndNoLeavesTheServerRunning) {
    WriteConfig(Path("plant.cfg"));
    auto p = Start({QStringLiteral("-f:") + Path("plant.cfg")});
    p->StartInitThread();
    p->WaitForInitThread();
    ASSERT_TRUE(p->Server()->impl().Registered());
    p->Server()->GBOnCreateInstance(nullptr);  // a client instance
    prompt_.answer = false;
    p->FileExitExecute();
    ASSERT_EQ(prompt_.questions.size(), 1);
    EXPECT_TRUE(prompt_.questions[0].contains(QStringLiteral("Сервер используется клиентом.\nЗавершить работу сервера?")));
    EXPECT_TRUE(p->Server()->impl().Registered());
    EXPECT_TRUE(p->Server()->impl().ShutdownReason().empty());

    prompt_.answer = true;
    p->FileExitExecute();
    EXPECT_FALSE(p->Server()->impl().Registered());
    EXPECT_EQ(p->Server()->impl().ShutdownReason(), std::u16string(COPCServer::kShutdownReason));
    p->Server()->GBOnDestroyInstance(nullptr);
}

TEST_F(Program, TerminationRunsTheShutdownSequenceWithoutQuestions) {
    auto p = Start({});
    p->StartInitThread();
    p->Server()->GBOnCreateInstance(nullptr);
    p->Terminate(15);
    EXPECT_TRUE(prompt_.questions.isEmpty());
    EXPECT_FALSE(p->Server()->impl().Registered());
    EXPECT_EQ(p->Server()->impl().ShutdownReason(), std::u16string(COPCServer::kShutdownReason));
    p->Server()->GBOnDestroyInstance(nullptr);
}

TEST_F(Program, SessionEndQueryShutsTheServerDownButKeepsPolling) {
    WriteConfig(Path("plant.cfg"));
    auto p = Start({QStringLiteral("-f:") + Path("plant.cfg")});
    p->StartInitThread();
    p->WMQueryEndSession();
    EXPECT_FALSE(p->Server()->impl().Registered());
    EXPECT_TRUE(p->Window().OPCTimer()->isActive());
}

TEST_F(Program, ExitEndsTheMessageLoopWhileTheWindowIsShown) {
    auto p = std::make_unique<TProgram>(QStringList{}, false, lock_, Ini(), &prompt_);
    p->FormCreate();
    p->StartInitThread();
    ASSERT_TRUE(p->Window().isVisible());
    QTimer::singleShot(0, [&] { p->FileExitExecute(); });
    // A loop that the exit did not end is ended by this guard with another code.
    QTimer::singleShot(10000, [] { QCoreApplication::exit(99); });
    EXPECT_EQ(QApplication::exec(), 0);
    EXPECT_FALSE(p->Server()->impl().Registered());
}

namespace {

// Loads cfg/plant.cfg, adds a second point (unsaved) and removes the folder, so that the save the
// operator asks for fails.
void EditAndRemoveFolder(TProgram& p, const QString& folder) {
    ASSERT_EQ(AppendPoint(p.Model(), u"Адаптер_2", "NOPORT2", 1.0f, true), ModelResult::Ok);
    p.Document().SetUnsaved();
    ASSERT_TRUE(QDir(folder).removeRecursively());
}

}  // namespace

TEST_F(Program, ExitAndSessionEndStopWhenTheAskedSaveFails) {
    ASSERT_TRUE(QDir(dir_.path()).mkdir(QStringLiteral("cfg")));
    WriteConfig(Path("cfg/plant.cfg"));
    auto p = Start({QStringLiteral("-f:") + Path("cfg/plant.cfg")});
    p->StartInitThread();
    p->WaitForInitThread();
    p->Server()->GBOnCreateInstance(nullptr);  // a client: the in-use question would come next
    EditAndRemoveFolder(*p, Path("cfg"));
    prompt_.answer = true;
    p->FileExitExecute();
    p->WMQueryEndSession();
    // Only the save question each time, never the in-use one, and each failure told.
    ASSERT_EQ(prompt_.questions.size(), 2);
    for (const QString& q : prompt_.questions) EXPECT_TRUE(q.contains(QStringLiteral("не сохранена"))) << q.toStdString();
    ASSERT_EQ(prompt_.errors.size(), 2);
    for (const QString& e : prompt_.errors)
        EXPECT_TRUE(e.startsWith(QStringLiteral("Не удалось создать файл \"") + Path("cfg/plant.cfg"))) << e.toStdString();
    EXPECT_TRUE(p->Server()->impl().Registered());
    EXPECT_TRUE(p->Server()->impl().ShutdownReason().empty());
    EXPECT_EQ(p->Model().pointCount, 2);
    EXPECT_TRUE(p->Document().Unsaved());
    EXPECT_EQ(p->Document().ConfigName(), QStringLiteral("plant"));
    p->Server()->GBOnDestroyInstance(nullptr);
}

TEST_F(Program, RestartStopsWhenTheAskedSaveFails) {
    ASSERT_TRUE(QDir(dir_.path()).mkdir(QStringLiteral("cfg")));
    WriteConfig(Path("cfg/plant.cfg"));
    // The lock's directory comes from XDG_RUNTIME_DIR, set for this test.
    TSingleInstance lock("qora-program-restart-test");
    ASSERT_TRUE(lock.Acquire());
    auto p = std::make_unique<TProgram>(QStringList{QStringLiteral("-f:") + Path("cfg/plant.cfg")}, true, lock, Ini(),
                                        &prompt_);
    p->FormCreate();
    EditAndRemoveFolder(*p, Path("cfg"));
    prompt_.answer = true;
    p->RestartExecute();
    ASSERT_EQ(prompt_.errors.size(), 1);
    // The lock is kept (no new process could start) and nothing was ended.
    EXPECT_TRUE(lock.Held());
    EXPECT_EQ(p->Model().pointCount, 2);
    EXPECT_TRUE(p->Document().Unsaved());
}

TEST_F(Program, StartUpConfigurationThatCannotBeRecordedIsToldOnceAndStartUpGoesOn) {
    ASSERT_TRUE(QDir(dir_.path()).mkdir(QStringLiteral("cfg")));
    WriteConfig(Path("cfg/plant.cfg"));
    const QByteArray iniBefore = [&] {
        QFile f(Ini());
        return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
    }();
    // qora.ini lies in a folder the program cannot write into; the configurations do not.
    test::TReadOnlyDirectory readOnly(dir_.path());
    ASSERT_TRUE(readOnly.Ok());
    auto p = Start({QStringLiteral("-f:") + Path("cfg/plant.cfg")});
    ASSERT_EQ(prompt_.errors.size(), 1);
    EXPECT_TRUE(prompt_.errors[0].contains(QStringLiteral("не записан в файл настроек"))) << prompt_.errors[0].toStdString();
    EXPECT_TRUE(prompt_.errors[0].contains(QStringLiteral("Не удалось создать файл \"") + Ini() +
                                           QStringLiteral("\". Отказано в доступе")))
        << prompt_.errors[0].toStdString();
    EXPECT_EQ(p->Model().pointCount, 1);
    EXPECT_EQ(p->Model().typeCount, 1);
    EXPECT_NE(p->Server(), nullptr);

    // A save records again and fails the same way: told once per run.
    ASSERT_EQ(AppendPoint(p->Model(), u"Адаптер_2", "NOPORT2", 1.0f, true), ModelResult::Ok);
    p->Document().SetUnsaved();
    p->Document().FileSave();
    EXPECT_EQ(prompt_.errors.size(), 1);
    EXPECT_FALSE(p->Document().Unsaved());
    QFile f(Ini());
    ASSERT_TRUE(f.open(QIODevice::ReadOnly));
    EXPECT_EQ(f.readAll(), iniBefore);
}

TEST_F(Program, CreateTellsClientsThatEveryItemLostItsSlotWhilePollingStaysStopped) {
    WriteConfig(Path("plant.cfg"));
    auto p = Start({QStringLiteral("-f:") + Path("plant.cfg")});
    p->StartInitThread();
    p->WaitForInitThread();
    COPCServer& server = *p->Server();
    ASSERT_EQ(server.ItemCount(), 2);
    TDevice& d = p->Model().points[0].devices[0];
    for (int k = 0; k < 2; ++k) {
        StoreValue(d, k, 1.5f);
        StoreQuality(d, k, kQualityGood);
    }
    server.PushAll(p->Model());
    const uint32_t h = server.ItemHandle(0);
    qora::ua::ItemSample s;
    server.GBBackend().ReadCache(&h, 1, &s);
    ASSERT_EQ(s.quality, kQualityGood);

    p->Document().FileNew();  // polling stops and stays stopped until the first change
    EXPECT_FALSE(p->Window().OPCTimer()->isActive());
    QElapsedTimer waited;
    waited.start();
    while (!server.ItemOrphaned(0) && waited.elapsed() < 5000) QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
    EXPECT_TRUE(server.ItemOrphaned(0));
    EXPECT_TRUE(server.ItemOrphaned(1));
    server.GBBackend().ReadCache(&h, 1, &s);
    EXPECT_EQ(s.quality, kQualityNotConnected);
    EXPECT_EQ(s.value, kNoValue);
}

int main(int argc, char** argv) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
