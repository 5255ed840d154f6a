// Offscreen widget test support: one QApplication with Qt's Russian translation, and
// a bounded way to answer the modal dialogs an action opens.
#pragma once

#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QApplication>
#include <QDeadlineTimer>
#include <QDialog>
#include <QMessageBox>
#include <QPointer>
#include <QTest>
#include <QTimer>
#include <functional>
#include <memory>
#include <vector>

#include "../unit/ui/model_fixture.h"
#include "ui/message_box.h"

namespace qora::test {

inline QApplication* App() {
    static int argc = 1;
    static char name[] = "test_ui_widgets";
    static char* argv[] = {name, nullptr};
    static QApplication* app = [] {
        qputenv("QT_QPA_PLATFORM", "offscreen");
        auto* a = new QApplication(argc, argv);
        InstallQtRussianTranslation();
        return a;
    }();
    return app;
}

// Runs the event loop until done() holds or boundMs has passed; returns done().
inline bool WaitUntil(const std::function<bool()>& done, int boundMs = 5000) {
    QDeadlineTimer deadline(boundMs);
    while (!done() && !deadline.hasExpired()) QTest::qWait(5);
    return done();
}

// Runs the event loop for spanMs, false as soon as holds() breaks: a bounded check that
// something does NOT happen.
inline bool HoldsFor(const std::function<bool()>& holds, int spanMs) {
    QDeadlineTimer deadline(spanMs);
    while (!deadline.hasExpired()) {
        if (!holds()) return false;
        QTest::qWait(5);
    }
    return holds();
}

// Calls fn with the next modal widget that opens (other than the one active now, so that
// a message box inside a dialog can be answered from the dialog's handler). A modal that
// never comes is reported after 5 s, and any stray modal is then rejected, so a test never hangs.
inline std::vector<QPointer<QTimer>>& PendingModals() {
    static std::vector<QPointer<QTimer>> pending;
    return pending;
}

inline void OnModal(std::function<void(QWidget*)> fn) {
    auto* timer = new QTimer;
    PendingModals().push_back(timer);
    QWidget* before = QApplication::activeModalWidget();
    auto deadline = std::make_shared<QDeadlineTimer>(5000);
    QObject::connect(timer, &QTimer::timeout, [timer, before, deadline, fn]() {
        QWidget* w = QApplication::activeModalWidget();
        if (w != nullptr && w != before && w->isVisible()) {
            timer->stop();
            timer->setProperty("done", true);
            timer->deleteLater();
            fn(w);
            return;
        }
        if (deadline->hasExpired()) {
            timer->stop();
            timer->setProperty("done", true);
            timer->deleteLater();
            ADD_FAILURE() << "expected modal dialog did not open";
            if (auto* d = qobject_cast<QDialog*>(w)) d->reject();
        }
    });
    timer->start(5);
}

// Ends a test: a handler whose modal never opened is a failure, and must not answer
// the next test's dialogs.
inline void FinishModals() {
    for (QPointer<QTimer>& t : PendingModals()) {
        if (t.isNull()) continue;
        if (t->property("done").toBool()) {
            delete t.data();
            continue;
        }
        ADD_FAILURE() << "a modal handler was never used";
        t->stop();
        delete t.data();
    }
    PendingModals().clear();
}

// Text and buttons of a message box, then answers it with `answer`.
struct TBoxSeen {
    QString objectName;
    QString title;
    QString text;
    QMessageBox::Icon icon = QMessageBox::NoIcon;
    QStringList buttons;
};
inline void Answer(QWidget* w, QMessageBox::StandardButton answer, TBoxSeen* seen = nullptr) {
    auto* box = qobject_cast<QMessageBox*>(w);
    if (box == nullptr) {
        ADD_FAILURE() << "not a message box: " << w->objectName().toStdString();
        if (auto* d = qobject_cast<QDialog*>(w)) d->reject();
        return;
    }
    if (seen != nullptr) {
        seen->objectName = box->objectName();
        seen->title = box->windowTitle();
        seen->text = box->text();
        seen->icon = box->icon();
        for (QAbstractButton* b : box->buttons()) seen->buttons << b->text();
    }
    if (QAbstractButton* b = box->button(answer)) {
        b->click();
    } else {
        ADD_FAILURE() << "message box has no such button";
        box->reject();
    }
}

}  // namespace qora::test
