#include "app/application.h"

#include <QMessageBox>
#include <cstdio>
#include <exception>

namespace qora {

namespace {
constexpr char kTitle[] = "QORA OPC Server";
// Shown for an exception that carries no text.
constexpr char kUnknownError[] = "Неизвестная ошибка.";
}  // namespace

TApplication::TApplication(int& argc, char** argv, bool headless)
    : QApplication(argc, argv), headless_(headless) {}

TApplication* TApplication::Instance() {
    return qobject_cast<TApplication*>(QCoreApplication::instance());
}

bool TApplication::notify(QObject* receiver, QEvent* event) {
    try {
        return QApplication::notify(receiver, event);
    } catch (...) {
        ShowCurrentException();
    }
    return false;
}

void TApplication::ShowCurrentException() {
    try {
        throw;
    } catch (const std::exception& e) {
        ShowException(QString::fromUtf8(e.what()));
    } catch (...) {
        ShowException(QString());
    }
}

void TApplication::ShowException(const QString& text) {
    const QString shown = text.isEmpty() ? QString::fromUtf8(kUnknownError) : text;
    std::fprintf(stderr, "qora-opc-server: %s\n", shown.toUtf8().constData());
    std::fflush(stderr);
    // One box at a time: the box runs its own loop, and an exception from an event handled
    // there is only written out.
    if (showing_) return;
    showing_ = true;
    try {
        if (box_) {
            box_(shown);
        } else if (!headless_) {
            QMessageBox box(QMessageBox::Critical, QString::fromUtf8(kTitle), shown, QMessageBox::Ok,
                            QApplication::activeWindow());
            box.setObjectName(QStringLiteral("ErrorBox"));
            box.exec();
        }
    } catch (...) {
        // The box itself failed: the text is on standard error already.
    }
    showing_ = false;
}

int TApplication::RunGuarded(const std::function<int()>& body) {
    try {
        return body();
    } catch (...) {
        ShowCurrentException();
    }
    return 0;
}

}  // namespace qora
