// Entry point: registration commands, single instance, the application and its message loop.
#include <QApplication>
#include <cstdio>
#include <exception>
#include <string>
#include <vector>

#include "app/application.h"
#include "app/command_line.h"
#include "app/headless.h"
#include "app/program.h"
#include "app/program_texts.h"
#include "app/signal_watcher.h"
#include "app/single_instance.h"
#include "opc/opc_server.h"
#include "ui/message_box.h"

namespace {

constexpr char kApplicationTitle[] = "QORA OPC Server";

void PrintLine(const QString& text) {
    std::fprintf(stderr, "qora-opc-server: %s\n", text.toUtf8().constData());
}

// The registration commands end with 0 whatever happened; what failed is written out.
void Register(bool registering) {
    std::vector<gb::GBFileFailure> failures;
    const gb::HRESULT result = registering ? qora::COPCServer::RegisterServer(nullptr, &failures)
                                           : qora::COPCServer::UnregisterServer(&failures);
    for (const QString& line : qora::RegistrationFailureLines(registering, result, failures)) PrintLine(line);
}

// The program with its window and message loop; returns the loop's exit code.
int RunProgram(qora::TApplication& app, const std::vector<std::string>& args, bool headless,
               qora::TSingleInstance& lock) {
    QApplication::setApplicationName(QString::fromUtf8(kApplicationTitle));
    QApplication::setQuitOnLastWindowClosed(false);
    // Standard buttons read "Да", "Нет", "Отмена" whatever the system language.
    qora::InstallQtRussianTranslation();

    QStringList arguments;
    for (const std::string& a : args) arguments << QString::fromLocal8Bit(a.c_str());
    // Before the start-up, which can take a while (the first start makes the server's key): a
    // termination signal meanwhile waits for the message loop instead of killing the process.
    qora::TSignalWatcher watcher;
    qora::TProgram program(arguments, headless, lock);
    program.FormCreate();

    program.ConnectProcess(watcher, app);

    program.StartInitThread();
    if (headless)
        std::fprintf(stderr, "qora-opc-server: running without a display; stop with SIGTERM or Ctrl+C\n");
    return QApplication::exec();
}

int Run(int argc, char** argv) {
    const std::vector<std::string> args(argv + 1, argv + argc);
    switch (qora::ParseEntryCommand(qora::JoinArguments(args))) {
        case qora::EntryCommand::Register:
            Register(true);
            return 0;
        case qora::EntryCommand::Unregister:
            Register(false);
            return 0;
        case qora::EntryCommand::Run:
            break;
    }

    // Before the lock: the lock file lies in the runtime directory.
    qora::PrepareRuntimeDirectory();
    qora::TSingleInstance lock(qora::kInstanceMutexName);
    if (!lock.Acquire()) {
        // Another instance runs: end at once, silently.
        if (lock.Error().empty()) return 0;
        std::fprintf(stderr, "qora-opc-server: single-instance lock unavailable (%s); running anyway\n",
                     lock.Error().c_str());
    }

    const bool headless = qora::PrepareHeadlessPlatform();
    qora::TApplication app(argc, argv, headless);
    // An exception that leaves the program's steps is shown while the application still
    // exists; the exit code is 0 then, as on every other path but the service restart.
    const int code = app.RunGuarded([&] { return RunProgram(app, args, headless, lock); });
    lock.Release();
    return code == gb::kServiceRestartExitStatus ? code : 0;
}

}  // namespace

int main(int argc, char** argv) {
    try {
        return Run(argc, argv);
    } catch (const std::exception& e) {
        // Before the application object exists (or after it is gone): standard error only.
        std::fprintf(stderr, "qora-opc-server: %s\n", e.what());
    } catch (...) {
        std::fprintf(stderr, "qora-opc-server: exception\n");
    }
    return 0;
}
