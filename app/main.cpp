// Entry point: registration commands, single instance, the application and its message loop.
#include <QApplication>
#include <QMessageBox>
#include <QSessionManager>
#include <cstdio>
#include <exception>
#include <string>
#include <vector>

#include "app/command_line.h"
#include "app/headless.h"
#include "app/program.h"
#include "app/signal_watcher.h"
#include "app/single_instance.h"
#include "opc/opc_server.h"
#include "ui/main_form.h"
#include "ui/message_box.h"

namespace {

constexpr char kApplicationTitle[] = "QORA OPC Server";

void ShowException(const char* text, bool headless) {
    std::fprintf(stderr, "qora-opc-server: %s\n", text);
    if (!headless && QApplication::instance() != nullptr)
        QMessageBox::critical(nullptr, QString::fromUtf8(kApplicationTitle), QString::fromUtf8(text));
}

int Run(int argc, char** argv, bool& headless) {
    const std::vector<std::string> args(argv + 1, argv + argc);
    switch (qora::ParseEntryCommand(qora::JoinArguments(args))) {
        case qora::EntryCommand::Register:
            qora::COPCServer::RegisterServer();  // result ignored: the command ends with 0
            return 0;
        case qora::EntryCommand::Unregister:
            qora::COPCServer::UnregisterServer();
            return 0;
        case qora::EntryCommand::Run:
            break;
    }

    qora::TSingleInstance lock(qora::kInstanceMutexName);
    if (!lock.Acquire()) {
        // Another instance runs: end at once, silently.
        if (lock.Error().empty()) return 0;
        std::fprintf(stderr, "qora-opc-server: single-instance lock unavailable (%s); running anyway\n",
                     lock.Error().c_str());
    }

    headless = qora::PrepareHeadlessPlatform();
    QApplication app(argc, argv);
    QApplication::setApplicationName(QString::fromUtf8(kApplicationTitle));
    QApplication::setQuitOnLastWindowClosed(false);
    // Standard buttons read "Да", "Нет", "Отмена" whatever the system language.
    qora::InstallQtRussianTranslation();

    QStringList arguments;
    for (const std::string& a : args) arguments << QString::fromLocal8Bit(a.c_str());
    qora::TProgram program(arguments, headless, lock);
    program.FormCreate();

    qora::TSignalWatcher watcher;
    QObject::connect(&watcher, &qora::TSignalWatcher::terminationRequested, &program,
                     [&program](int sig) { program.Terminate(sig); });
    // SIGHUP restarts the program, so a service reloads MAIN_CFG and the catalogue.
    QObject::connect(&watcher, &qora::TSignalWatcher::reloadRequested, &program,
                     [&program] { program.RestartExecute(); });
    QObject::connect(&app, &QGuiApplication::commitDataRequest, &program, [&program](QSessionManager&) {
        program.WMQueryEndSession();
    });
    QObject::connect(&program.Window(), &qora::TMainForm::FileExitRequested, &program,
                     [&program] { program.FileExitExecute(); });
    QObject::connect(&program.Window(), &qora::TMainForm::RestartRequested, &program,
                     [&program] { program.RestartExecute(); });

    program.StartInitThread();
    if (headless)
        std::fprintf(stderr, "qora-opc-server: running without a display; stop with SIGTERM or Ctrl+C\n");
    QApplication::exec();
    lock.Release();
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    bool headless = false;
    try {
        return Run(argc, argv, headless);
    } catch (const std::exception& e) {
        ShowException(e.what(), headless);
    } catch (...) {
        ShowException("", headless);
    }
    return 0;
}
