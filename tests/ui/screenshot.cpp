// Renders the main window of a running program to a PNG file, offscreen.
//
// Usage: qora-ui-screenshot INSTALL_DIR OUTPUT.png [SECONDS]
// INSTALL_DIR holds qora.ini and demo.cfg (as scripts/demo-files.sh and qora-cfg write them)
// with its simulated lines running. The program is started as usual on that installation,
// polls for SECONDS (default 7), and the window is grabbed with a point node selected.
#include <QApplication>
#include <QDir>
#include <QTimer>
#include <QTreeWidget>
#include <cstdio>
#include <unistd.h>

#include "app/program.h"
#include "app/single_instance.h"
#include "ui/main_form.h"
#include "ui/message_box.h"

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: %s INSTALL_DIR OUTPUT.png [SECONDS]\n", argv[0]);
        return 2;
    }
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("QORA OPC Server"));
    QApplication::setQuitOnLastWindowClosed(false);
    qora::InstallQtRussianTranslation();
    const QDir dir(QString::fromLocal8Bit(argv[1]));
    const QString output = QString::fromLocal8Bit(argv[2]);
    const int seconds = argc > 3 ? std::atoi(argv[3]) : 7;

    // A lock of its own, so that a running program is not disturbed.
    qora::TSingleInstance lock("qora-ui-screenshot-" + std::to_string(getpid()));
    if (!lock.Acquire()) {
        std::fprintf(stderr, "cannot take the lock: %s\n", lock.Error().c_str());
        return 1;
    }
    qora::TProgram program({QStringLiteral("-f:") + dir.filePath(QStringLiteral("demo.cfg"))}, false, lock,
                           dir.filePath(QStringLiteral("qora.ini")));
    program.FormCreate();
    program.StartInitThread();
    qora::TMainForm& form = program.Window();
    form.Tree()->expandAll();
    // The metering point shows good values next to a device that never answers.
    const int point = form.Tree()->topLevelItemCount() > 2 ? 2 : 0;
    form.RebuildTree(point, -1);
    form.Tree()->expandAll();

    int rc = 1;
    QTimer::singleShot(seconds * 1000, &app, [&] {
        const bool saved = form.grab().save(output, "PNG");
        std::fprintf(stderr, "%s %s\n", saved ? "wrote" : "could not write", qPrintable(output));
        rc = saved ? 0 : 1;
        program.Terminate(0);
    });
    QApplication::exec();
    return rc;
}
