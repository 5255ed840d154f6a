// The start-up sequence and the ways out of the composition root, offscreen, with a recorded
// operator prompt and an OPC UA endpoint on a free loopback port.
#include "app/program.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QAction>
#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>
#include <QTimer>
#include <QTreeWidget>
#include <chrono>
#include <cstdio>
#include <stdexcept>

#include "../config/read_only_dir.h"
#include "app/application.h"
#include "app/periodic_push.h"
#include "app/single_instance.h"
#include "comm/poll_cycle.h"
#include "config/config_document.h"
#include "config/config_file.h"
#include "opc/opc_server.h"
#include "opc/toolkit/gb_test_view.h"
#include "ui/event_log.h"
#include "ui/main_form.h"

using namespace qora;

namespace {

class TRecordingPrompt : public IOperatorPrompt {
  public:
    bool AskYesNo(const QString& title, const QString& text) override {
        questions << title + "|" + text;
        return answer;
    }
    TAnswer AskYesNoCancel(const QString& title, const QString& text) override {
        questions << title + "|" + text;
        if (cancel) return TAnswer::Cancel;
        return answer ? TAnswer::Yes : TAnswer::No;
    }
    void ShowMessage(const QString& title, const QString& text) override { messages << title + "|" + text; }
    void ShowError(const QString& text) override { errors << text; }
    std::optional<QString> ChooseFileToOpen(const QString&, const QString&) override { return std::nullopt; }
    std::optional<QString> ChooseFileToSave(const QString&, const QString&) override { return std::nullopt; }
    QStringList questions, messages, errors;
    bool answer = false;
    bool cancel = false;  // AskYesNoCancel answers Cancel
};

class Program : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(dir_.isValid());
        qputenv("XDG_RUNTIME_DIR", dir_.path().toUtf8());
        WriteIni(QString());
    }
    void WriteIni(const QString& mainCfg, int port = 0) {
        QFile f(Ini());
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        f.write(QStringLiteral(
                    "[GENERAL]\nMAIN_CFG=%1\n[DEVICES]\nD0=Т\n[D_P]\nP0=3\n[PARAMETERS]\nP0=Темп\nP1=Давл\n"
                    "[OPCUA]\nHost=127.0.0.1\nPort=%2\n")
                    .arg(mainCfg)
                    .arg(port)
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
    // Named per process: ctest runs tests of this fixture in parallel processes.
    TSingleInstance lock_{"qora-program-test-" + std::to_string(::getpid())};
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
    EXPECT_EQ(p->Window().Actions().restart->isEnabled(), false);
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
    WriteConfig(Path("plant.cfg"));
    WriteIni(Path("plant.cfg"));
    auto p = Start({QStringLiteral("-f:") + Path("junk.cfg")});
    // The next start (a service above all) loads plant.cfg again.
    EXPECT_EQ(MainCfg(), Path("plant.cfg"));
    ASSERT_EQ(prompt_.messages.size(), 1);
    EXPECT_TRUE(prompt_.messages[0].contains(QStringLiteral("поврежден")));
    // The refused file is not shown as loaded: the configuration is a new, untitled one.
    EXPECT_EQ(p->Document().ConfigName(), QString::fromUtf16(kNewConfigName));
    EXPECT_TRUE(p->Document().Untitled());
    EXPECT_EQ(p->Model().pointCount, 0);
    EXPECT_EQ(p->Model().typeCount, 1);
    EXPECT_NE(p->Server(), nullptr);
}

// Bad values of the catalogue and of the endpoint settings are told like the other bad settings:
// an error box (standard error headless) and the event log; start-up goes on with the reading
// taken.
TEST_F(Program, BadMasksAndPortInTheSettingsAreReportedAndStartUpGoesOn) {
    QFile f(Ini());
    ASSERT_TRUE(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
    f.write(
        "[DEVICES]\nD0=A\nD1=B\nD2=C\n[D_P]\nP0=zzz\nP1=0x1G\nP2=-5\n[OPCUA]\nHost=127.0.0.1\nPort=abc\n");
    f.close();
    auto p = Start({});
    const QString all = prompt_.errors.join(u'|');
    for (const char* bad : {"[D_P] P0=zzz", "[D_P] P1=0x1G", "[D_P] P2=-5", "[OPCUA] Port=abc"})
        EXPECT_TRUE(all.contains(QString::fromUtf8(bad))) << bad << ": " << all.toStdString();
    p->Window().EventLog()->Flush();
    QStringList events;
    for (int i = 0; i < p->Window().EventLog()->rowCount(); ++i) events << p->Window().EventLog()->line(i);
    EXPECT_EQ(events.filter(QStringLiteral("[D_P] P")).size(), 3) << events.join(u'|').toStdString();
    EXPECT_EQ(events.filter(QStringLiteral("[OPCUA] Port=abc")).size(), 1) << events.join(u'|').toStdString();
    EXPECT_EQ(p->Model().typeCount, 3);
    EXPECT_EQ(p->Model().typeMasks[2], 0xFFFFFFFBu);
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
    ASSERT_TRUE(p->Server()->ForTests().Registered());
    p->Server()->GBOnCreateInstance(nullptr);  // a client instance
    prompt_.answer = false;
    p->FileExitExecute();
    ASSERT_EQ(prompt_.questions.size(), 1);
    EXPECT_TRUE(prompt_.questions[0].contains(
        QStringLiteral("Сервер используется клиентом.\nЗавершить работу сервера?")));
    EXPECT_TRUE(p->Server()->ForTests().Registered());
    EXPECT_TRUE(p->Server()->ForTests().ShutdownReason().empty());

    prompt_.answer = true;
    p->FileExitExecute();
    EXPECT_FALSE(p->Server()->ForTests().Registered());
    EXPECT_EQ(p->Server()->ForTests().ShutdownReason(), std::u16string(COPCServer::kShutdownReason));
    p->Server()->GBOnDestroyInstance(nullptr);
}

TEST_F(Program, TerminationRunsTheShutdownSequenceWithoutQuestions) {
    auto p = Start({});
    p->StartInitThread();
    p->Server()->GBOnCreateInstance(nullptr);
    p->Terminate(15);
    EXPECT_TRUE(prompt_.questions.isEmpty());
    EXPECT_FALSE(p->Server()->ForTests().Registered());
    EXPECT_EQ(p->Server()->ForTests().ShutdownReason(), std::u16string(COPCServer::kShutdownReason));
    p->Server()->GBOnDestroyInstance(nullptr);
}

TEST_F(Program, SessionEndQueryShutsTheServerDownButKeepsPolling) {
    WriteConfig(Path("plant.cfg"));
    auto p = Start({QStringLiteral("-f:") + Path("plant.cfg")});
    p->StartInitThread();
    EXPECT_TRUE(p->WMQueryEndSession());
    EXPECT_FALSE(p->Server()->ForTests().Registered());
    EXPECT_TRUE(p->Push().OPCTimer()->isActive());
}

TEST_F(Program, SessionEndQueryAsksToCancelTheLogOffWhenTheServerStaysUp) {
    WriteConfig(Path("plant.cfg"));
    auto p = Start({QStringLiteral("-f:") + Path("plant.cfg")});
    p->StartInitThread();
    p->WaitForInitThread();
    p->Server()->GBOnCreateInstance(nullptr);  // a client: the in-use question comes
    prompt_.answer = false;                    // keep the server running
    EXPECT_FALSE(p->WMQueryEndSession());
    EXPECT_TRUE(p->Server()->ForTests().Registered());
    p->Server()->GBOnDestroyInstance(nullptr);
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
    EXPECT_FALSE(p->Server()->ForTests().Registered());
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
    EXPECT_FALSE(p->WMQueryEndSession());
    // Only the save question each time, never the in-use one, and each failure told.
    ASSERT_EQ(prompt_.questions.size(), 2);
    for (const QString& q : prompt_.questions)
        EXPECT_TRUE(q.contains(QStringLiteral("не сохранена"))) << q.toStdString();
    ASSERT_EQ(prompt_.errors.size(), 2);
    for (const QString& e : prompt_.errors)
        EXPECT_TRUE(e.startsWith(QStringLiteral("Не удалось создать файл \"") + Path("cfg/plant.cfg")))
            << e.toStdString();
    EXPECT_TRUE(p->Server()->ForTests().Registered());
    EXPECT_TRUE(p->Server()->ForTests().ShutdownReason().empty());
    EXPECT_EQ(p->Model().pointCount, 2);
    EXPECT_TRUE(p->Document().Unsaved());
    EXPECT_EQ(p->Document().ConfigName(), QStringLiteral("plant"));
    p->Server()->GBOnDestroyInstance(nullptr);
}

// Отмена on the save question keeps the program as it is, whichever way out asked.
TEST_F(Program, CancelledSaveQuestionStopsExitSessionEndAndRestart) {
    WriteConfig(Path("plant.cfg"));
    TSingleInstance lock("qora-program-cancel-test-" + std::to_string(::getpid()));
    ASSERT_TRUE(lock.Acquire());
    auto p = std::make_unique<TProgram>(QStringList{QStringLiteral("-f:") + Path("plant.cfg")}, true, lock,
                                        Ini(), &prompt_);
    p->FormCreate();
    p->StartInitThread();
    p->WaitForInitThread();
    ASSERT_EQ(AppendPoint(p->Model(), u"Адаптер_2", "NOPORT2", 1.0f, true), ModelResult::Ok);
    p->Document().SetUnsaved();
    prompt_.cancel = true;
    p->FileExitExecute();
    EXPECT_FALSE(p->WMQueryEndSession());
    p->RestartExecute();
    ASSERT_EQ(prompt_.questions.size(), 3);
    for (const QString& q : prompt_.questions)
        EXPECT_TRUE(q.contains(QStringLiteral("не сохранена"))) << q.toStdString();
    EXPECT_TRUE(p->Server()->ForTests().Registered());
    EXPECT_TRUE(p->Server()->ForTests().ShutdownReason().empty());
    EXPECT_TRUE(lock.Held());
    EXPECT_EQ(p->Model().pointCount, 2);
    EXPECT_TRUE(p->Document().Unsaved());
}

TEST_F(Program, RestartStopsWhenTheAskedSaveFails) {
    ASSERT_TRUE(QDir(dir_.path()).mkdir(QStringLiteral("cfg")));
    WriteConfig(Path("cfg/plant.cfg"));
    // The lock's directory comes from XDG_RUNTIME_DIR, set for this test.
    TSingleInstance lock("qora-program-restart-test-" + std::to_string(::getpid()));
    ASSERT_TRUE(lock.Acquire());
    auto p = std::make_unique<TProgram>(QStringList{QStringLiteral("-f:") + Path("cfg/plant.cfg")}, true,
                                        lock, Ini(), &prompt_);
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
    // A first run makes the certificate folder beside the settings, which the read-only folder
    // would prevent (told apart; see the test below).
    Start({}).reset();
    const QByteArray iniBefore = [&] {
        QFile f(Ini());
        return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
    }();
    // qora.ini lies in a folder the program cannot write into; the configurations do not.
    test::TReadOnlyDirectory readOnly(dir_.path());
    ASSERT_TRUE(readOnly.Ok());
    auto p = Start({QStringLiteral("-f:") + Path("cfg/plant.cfg")});
    ASSERT_EQ(prompt_.errors.size(), 1);
    EXPECT_TRUE(prompt_.errors[0].contains(QStringLiteral("не записан в файл настроек")))
        << prompt_.errors[0].toStdString();
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
    EXPECT_FALSE(p->Push().OPCTimer()->isActive());
    QElapsedTimer waited;
    waited.start();
    while (!server.ItemOrphaned(0) && waited.elapsed() < 5000)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
    EXPECT_TRUE(server.ItemOrphaned(0));
    EXPECT_TRUE(server.ItemOrphaned(1));
    server.GBBackend().ReadCache(&h, 1, &s);
    EXPECT_EQ(s.quality, kQualityNotConnected);
    EXPECT_EQ(s.value, kNoValue);

    // Открыть of the same file: its slots are those of the items again, and live values reach
    // the clients without a restart.
    ASSERT_EQ(p->Document().LoadConfiguration(Path("plant.cfg")), TConfigDocument::LoadOutcome::Loaded);
    TDevice& again = p->Model().points[0].devices[0];
    StoreValue(again, 0, 2.5f);
    StoreQuality(again, 0, kQualityGood);
    p->Push().Push();
    EXPECT_FALSE(server.ItemOrphaned(0));
    EXPECT_EQ(server.SlotItemNumber(again, 0), 0);
    server.GBBackend().ReadCache(&h, 1, &s);
    EXPECT_EQ(s.quality, kQualityGood);
    EXPECT_EQ(s.value, 2.5f);
}

// The push has its own object: its timer (1 s) pushes to the server, whose observers (the MQTT
// bridge) are told by the push itself; the window only refreshes on the push's signal.
TEST_F(Program, ThePushRunsApartFromTheWindowWhichRefreshesOnItsSignal) {
    WriteConfig(Path("plant.cfg"));
    auto p = Start({QStringLiteral("-f:") + Path("plant.cfg")});
    p->StartInitThread();
    p->WaitForInitThread();
    TPeriodicPush& push = p->Push();
    EXPECT_EQ(push.OPCTimer()->interval(), 1000);
    EXPECT_EQ(push.OPCTimer()->objectName(), QStringLiteral("OPCTimer"));
    EXPECT_EQ(p->Window().findChild<QTimer*>(QStringLiteral("OPCTimer")), nullptr);
    struct Counter : IPushObserver {
        void Pushed(const COPCServer&, const TPushReport& r) override {
            ++reports;
            items = r.items.size();
        }
        int reports = 0;
        size_t items = 0;
    } counter;
    p->Server()->AddPushObserver(&counter);
    int refreshes = 0;
    QObject::connect(&push, &TPeriodicPush::Pushed, [&] { ++refreshes; });
    push.Push();
    EXPECT_EQ(counter.reports, 1);
    EXPECT_EQ(counter.items, size_t(p->Server()->ItemCount()));
    EXPECT_EQ(refreshes, 1);
    p->Server()->RemovePushObserver(&counter);
}

TEST_F(Program, PollingStoppedAndStartedReachTheWindowTimerAndTheServerEditBracket) {
    WriteConfig(Path("plant.cfg"));
    auto p = Start({QStringLiteral("-f:") + Path("plant.cfg")});
    p->StartInitThread();
    p->WaitForInitThread();
    COPCServer& server = *p->Server();
    EXPECT_TRUE(p->Push().OPCTimer()->isActive());
    EXPECT_FALSE(server.ModelEditing());
    for (int round = 0; round < 2; ++round) {
        p->Window().StopPolling();
        EXPECT_FALSE(p->Push().OPCTimer()->isActive()) << round;
        EXPECT_TRUE(server.ModelEditing()) << round;
        p->Window().StartPolling();
        EXPECT_TRUE(p->Push().OPCTimer()->isActive()) << round;
        EXPECT_FALSE(server.ModelEditing()) << round;
    }
}

// A listening socket on a free loopback port: another server on that port.
class PortHolder {
  public:
    PortHolder() {
        fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (::bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || ::listen(fd_, 1) != 0)
            std::abort();
        socklen_t len = sizeof a;
        ::getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &len);
        port_ = ntohs(a.sin_port);
    }
    ~PortHolder() { Release(); }
    void Release() {
        if (fd_ >= 0) ::close(fd_);
        fd_ = -1;
    }
    int Port() const { return port_; }

  private:
    int fd_ = -1;
    int port_ = 0;
};

// Runs the event loop until pred holds, at most timeoutMs.
bool PumpUntil(const std::function<bool()>& pred, int timeoutMs) {
    QElapsedTimer t;
    t.start();
    while (!pred()) {
        if (t.elapsed() > timeoutMs) return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    }
    return true;
}

bool LogHas(TMainForm& w, const QString& text) {
    w.EventLog()->Flush();
    for (int i = 0; i < w.EventLog()->rowCount(); ++i)
        if (w.EventLog()->line(i).contains(text)) return true;
    return false;
}

TEST_F(Program, EndpointThatCannotListenIsReportedOnceAndItsLaterSuccessIsLogged) {
    PortHolder holder;
    WriteIni(QString(), holder.Port());
    auto p = Start({});
    QElapsedTimer started;
    started.start();
    p->StartInitThread();
    const QString where = QStringLiteral("127.0.0.1:%1").arg(holder.Port());
    // Told at the first failed attempt (once: see below); the bound only ends a hang, since the
    // start itself (the server's key) takes its time on a loaded machine or under a sanitizer.
    ASSERT_TRUE(PumpUntil([&] { return !prompt_.errors.isEmpty(); }, 30000)) << "no report";
    std::printf("failure reported after %lld ms\n", (long long)started.elapsed());
    const QString failure =
        QStringLiteral("Сервер OPC UA не может принимать подключения на ") + where + QStringLiteral(": ");
    EXPECT_TRUE(prompt_.errors[0].startsWith(failure)) << prompt_.errors[0].toStdString();
    EXPECT_TRUE(prompt_.errors[0].endsWith(QStringLiteral(". Повторные попытки продолжаются.")))
        << prompt_.errors[0].toStdString();
    EXPECT_TRUE(LogHas(p->Window(), failure));
    EXPECT_TRUE(p->Server()->ForTests().Registered());

    holder.Release();
    ASSERT_TRUE(PumpUntil(
        [&] {
            return LogHas(p->Window(), QStringLiteral("Сервер OPC UA принимает подключения на ") + where);
        },
        5000));
    EXPECT_EQ(prompt_.errors.size(), 1) << "the failure is told once";
    EXPECT_TRUE(p->Server()->ForTests().Endpoint()->Listening());
}

TEST_F(Program, TerminationAndDestructionDoNotWaitForABindRetry) {
    PortHolder holder;
    WriteIni(QString(), holder.Port());
    auto p = Start({});
    p->StartInitThread();
    ASSERT_TRUE(PumpUntil([&] { return !prompt_.errors.isEmpty(); }, 2000));
    QElapsedTimer t;
    t.start();
    p->Terminate(15);
    p.reset();
    EXPECT_LT(t.elapsed(), 1000) << "termination took " << t.elapsed() << " ms";
}

TEST_F(Program, RestartThatCannotStartTheNewProcessIsReportedAndThisOneGoesOn) {
    ASSERT_TRUE(lock_.Acquire());
    auto p = Start({});
    p->StartInitThread();
    p->WaitForInitThread();
    ASSERT_TRUE(p->Server()->ForTests().Registered());
    p->SetRestartPath(RestartPath::Detached);
    p->SetRestartProgram(Path("no-such-program"));
    int loopCode = -1;
    QTimer::singleShot(0, [&] { p->RestartExecute(); });
    // The restart must not end the loop: this guard ends it.
    QTimer::singleShot(300, [] { QCoreApplication::exit(7); });
    loopCode = QApplication::exec();
    EXPECT_EQ(loopCode, 7) << "the message loop was ended";
    ASSERT_EQ(prompt_.errors.size(), 1);
    EXPECT_TRUE(prompt_.errors[0].startsWith(QStringLiteral("Не удалось запустить новый процесс сервера (") +
                                             Path("no-such-program")))
        << prompt_.errors[0].toStdString();
    EXPECT_TRUE(prompt_.errors[0].endsWith(QStringLiteral("Сервер продолжает работу.")));
    EXPECT_TRUE(lock_.Held()) << "the single-instance lock was not taken back";
    EXPECT_TRUE(p->Server()->ForTests().Registered()) << "the endpoint was not registered again";
    EXPECT_TRUE(p->Server()->ForTests().Endpoint()->Listening());
    lock_.Release();
}

TEST_F(Program, RestartUnderTheServiceManagerEndsWithTheRestartStatusAndStartsNothing) {
    ASSERT_TRUE(lock_.Acquire());
    auto p = Start({});
    p->StartInitThread();
    p->SetRestartPath(RestartPath::ServiceManager);
    p->SetRestartProgram(Path("must-not-run"));
    QTimer::singleShot(0, [&] { p->RestartExecute(); });
    QTimer::singleShot(10000, [] { QCoreApplication::exit(99); });
    EXPECT_EQ(QApplication::exec(), gb::kServiceRestartExitStatus);
    EXPECT_FALSE(lock_.Held()) << "the new process needs the lock";
    EXPECT_TRUE(prompt_.errors.isEmpty());
}

TEST(Application, ExceptionOfAnEventHandlerIsShownInTheErrorBoxAndTheLoopGoesOn) {
    auto* app = TApplication::Instance();
    ASSERT_NE(app, nullptr);
    QStringList shown;
    app->SetErrorBox([&](const QString& text) { shown << text; });
    QObject target;
    bool afterwards = false;
    QTimer::singleShot(0, &target, [] { throw std::runtime_error("Ошибка в обработчике"); });
    QTimer::singleShot(0, &target, [] { throw 42; });
    QTimer::singleShot(20, &target, [&] { afterwards = true; });
    QTimer::singleShot(50, [] { QCoreApplication::exit(0); });
    EXPECT_EQ(QApplication::exec(), 0);
    EXPECT_TRUE(afterwards);
    EXPECT_EQ(shown,
              (QStringList{QStringLiteral("Ошибка в обработчике"), QStringLiteral("Неизвестная ошибка.")}));
    // The entry point's guard: shown while the application exists, and 0 returned.
    shown.clear();
    EXPECT_EQ(app->RunGuarded([]() -> int { throw std::runtime_error("Сбой запуска"); }), 0);
    EXPECT_EQ(shown, QStringList{QStringLiteral("Сбой запуска")});
    EXPECT_EQ(app->RunGuarded([] { return 75; }), 75);
    app->SetErrorBox({});
}

int main(int argc, char** argv) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    TApplication app(argc, argv, false);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}

TEST_F(Program, CertificateFolderThatCannotBeCreatedIsToldAndStartUpGoesOn) {
    test::TReadOnlyDirectory readOnly(dir_.path());
    ASSERT_TRUE(readOnly.Ok());
    auto p = Start({});
    ASSERT_EQ(prompt_.errors.size(), 1);
    EXPECT_TRUE(prompt_.errors[0].contains(QStringLiteral("только с политикой безопасности None")))
        << prompt_.errors[0].toStdString();
    EXPECT_NE(p->Server(), nullptr);
}

TEST_F(Program, InvalidSecuritySettingsAreToldWithTheReadingUsed) {
    QFile f(Ini());
    ASSERT_TRUE(f.open(QIODevice::Append));
    f.write("SecurityPolicies=Basic128Rsa15\nAllowAnonymous=perhaps\n");
    f.close();
    auto p = Start({});
    ASSERT_EQ(prompt_.errors.size(), 1);
    const QString& e = prompt_.errors[0];
    EXPECT_TRUE(e.contains(QStringLiteral("Basic128Rsa15"))) << e.toStdString();
    EXPECT_TRUE(e.contains(QStringLiteral("без None"))) << e.toStdString();
    EXPECT_TRUE(e.contains(QStringLiteral("AllowAnonymous=perhaps"))) << e.toStdString();
    EXPECT_TRUE(QFile::exists(Path("pki/own/private/qora-opc-server.pem")));
}
