// Screenshots of a running program: its main window, and its device dialog.
//
// Usage: qora-ui-screenshot INSTALL_DIR OUTPUT_DIR [SECONDS]
// INSTALL_DIR holds qora.ini and demo.cfg (as scripts/demo-files.sh and qora-cfg write them)
// with its simulated lines running. The program is started as usual on that installation and
// polls for SECONDS (default 7); then OUTPUT_DIR/main-window.png is taken with a point node
// selected, and OUTPUT_DIR/device-dialog.png with the edit dialog of that point's first device
// open. The pictures are read back from the display server when it has one (X11 under Xvfb),
// so they show what the server shows; otherwise the widgets are rendered.
// QORA_SHOT_POINT_SIZE (environment) gives the window, and so its dialogs, a larger face.
// QORA_SHOT_EXTRAS=1 adds a point whose port this computer lacks, and takes
// OUTPUT_DIR/point-fault.png (its red node with the reason in the tool tip, the event log below)
// and OUTPUT_DIR/save-question.png (the save question after an edit).
#include <unistd.h>

#include <QAction>
#include <QApplication>
#include <QDialog>
#include <QDir>
#include <QEventLoop>
#include <QMessageBox>
#include <QPixmap>
#include <QScreen>
#include <QTimer>
#include <QToolTip>
#include <QTreeWidget>
#include <cstdio>

#include "app/program.h"
#include "app/single_instance.h"
#include "config/config_document.h"
#include "ui/main_form.h"
#include "ui/message_box.h"

namespace {

bool Save(QWidget* w, const QString& path) {
    QPixmap picture;
    if (QApplication::platformName() == QLatin1String("xcb") && w->screen() != nullptr)
        picture = w->screen()->grabWindow(w->winId());
    if (picture.isNull()) picture = w->grab();
    const bool saved = picture.save(path, "PNG");
    std::fprintf(stderr, "%s %s (%dx%d)\n", saved ? "wrote" : "could not write", qPrintable(path),
                 picture.width(), picture.height());
    return saved;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: %s INSTALL_DIR OUTPUT_DIR [SECONDS]\n", argv[0]);
        return 2;
    }
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM") && qEnvironmentVariableIsEmpty("DISPLAY"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("QORA OPC Server"));
    QApplication::setQuitOnLastWindowClosed(false);
    qora::InstallQtRussianTranslation();
    const QDir dir(QString::fromLocal8Bit(argv[1]));
    const QDir output(QString::fromLocal8Bit(argv[2]));
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
    qora::TMainForm& form = program.Window();
    if (const int points = qEnvironmentVariableIntValue("QORA_SHOT_POINT_SIZE"); points > 0) {
        QFont face = form.font();
        face.setPointSize(points);
        form.setFont(face);
    }
    const bool extras = qEnvironmentVariableIntValue("QORA_SHOT_EXTRAS") == 1;
    if (extras) {
        form.StopPolling();
        qora::AppendPoint(program.Model(), u"Резервная_линия", "SIM9", 1.0f, true);
        qora::AppendDevice(program.Model(), program.Model().pointCount - 1, u"Насос_3", 0, 20, 1u);
        form.StartPolling();
    }
    program.StartInitThread();  // shows the window
    // The metering point shows good values next to a device that never answers.
    const int point = form.Tree()->topLevelItemCount() > 2 ? 2 : 0;
    form.RebuildTree(point, -1);
    form.Tree()->expandAll();
    form.Tree()->setFocus();

    int rc = 0;
    QTimer::singleShot(seconds * 1000, &app, [&] {
        if (!Save(&form, output.filePath(QStringLiteral("main-window.png")))) rc = 1;
        // The device dialog, as Enter on a device node opens it.
        QTimer* wait = new QTimer(&app);
        int ticks = 0;
        QObject::connect(wait, &QTimer::timeout, &app, [&, wait] {
            auto* dialog = qobject_cast<QDialog*>(QApplication::activeModalWidget());
            if (dialog == nullptr || ++ticks < 10) return;  // shown and painted
            wait->stop();
            if (!Save(dialog, output.filePath(QStringLiteral("device-dialog.png")))) rc = 1;
            dialog->reject();
        });
        wait->start(50);
        form.RebuildTree(point, 0);
        form.Actions().devEdit->trigger();  // returns when the dialog is closed
        wait->deleteLater();
        if (extras) {
            // The red node's tool tip, taken from the whole screen (the tip is a window of its own).
            const int last = form.Tree()->topLevelItemCount() - 1;
            form.RebuildTree(last, -1);
            QTreeWidgetItem* node = form.Tree()->topLevelItem(last);
            const QRect r = form.Tree()->visualItemRect(node);
            QToolTip::showText(form.Tree()->viewport()->mapToGlobal(r.center()), node->toolTip(0),
                               form.Tree());
            QEventLoop settle;
            QTimer::singleShot(700, &settle, &QEventLoop::quit);
            settle.exec();
            QPixmap screen = form.screen()->grabWindow(0);
            screen.copy(form.frameGeometry().adjusted(0, 0, 200, 0))
                .save(output.filePath("point-fault.png"), "PNG");
            std::fprintf(stderr, "wrote %s\n", qPrintable(output.filePath("point-fault.png")));
            QToolTip::hideText();
            // The save question after an edit; Esc answers it (Отмена).
            program.Document().SetUnsaved();
            QTimer* ask = new QTimer(&app);
            int asked = 0;
            QObject::connect(ask, &QTimer::timeout, &app, [&, ask] {
                auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
                if (box == nullptr || ++asked < 10) return;
                ask->stop();
                if (!Save(box, output.filePath(QStringLiteral("save-question.png")))) rc = 1;
                box->reject();
            });
            ask->start(50);
            const auto outcome = program.Document().SaveQuestion();
            std::fprintf(
                stderr, "save question: %s\n",
                outcome == qora::TConfigDocument::SaveQuestionOutcome::Cancelled ? "Отмена" : "other");
            ask->deleteLater();
        }
        program.Terminate(0);
    });
    QApplication::exec();
    return rc;
}
