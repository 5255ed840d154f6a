// The main window test fixture: a model, unopened serial ports, a poll cycle, the window and
// its configuration document.
#pragma once

#include <QAction>
#include <QTest>
#include <QTreeWidget>
#include <initializer_list>
#include <memory>
#include <utility>
#include <vector>

#include "../unit/ui/model_fixture.h"
#include "comm/instrument_lines.h"
#include "comm/poll_cycle.h"
#include "comm/serial/com_port.h"
#include "config/config_document.h"
#include "ui/main_form.h"
#include "ui_test_support.h"

namespace qora::test {

// The composition root's part of the file actions: polling; MAIN_CFG goes nowhere.
class PollingHost : public IDocumentHost {
  public:
    explicit PollingHost(TPollCycle& poll) : poll_(poll) {}
    void StopPolling() override { poll_.StopPolling(); }
    void StartPolling() override { poll_.StartPolling(); }
    bool RecordStartupConfiguration(const QString&, QString*) override { return true; }

  private:
    TPollCycle& poll_;
};

class MainWindow : public ::testing::Test {
  protected:
    void SetUp() override {
        test::App();
        QLocale::setDefault(QLocale(QLocale::Russian, QLocale::Russia));
    }
    void TearDown() override {
        test::FinishModals();
        form.reset();
        doc.reset();
        host.reset();
        poll.reset();
        lines.reset();
        portObjects.clear();
        QLocale::setDefault(QLocale::c());
    }

    // Serial port objects named `names`; never opened (requests go nowhere).
    void Ports(std::initializer_list<const char*> names) {
        for (const char* n : names) {
            portObjects.push_back(std::make_unique<TComPort>());
            portObjects.back()->SetPortName(n);
            ports.push_back(portObjects.back().get());
        }
    }

    void Build() {
        lines = std::make_unique<TInstrumentLines>(*m);
        poll = std::make_unique<TPollCycle>(*m, *lines, ports);
        poll->SetRequestSink([this](uint8_t p, uint8_t d) { requests.emplace_back(p, d); });
        TMainFormCore core;
        core.model = m.get();
        core.poll = poll.get();
        core.ports = &ports;
        form = std::make_unique<TMainForm>(std::move(core));
        QObject::connect(poll.get(), &TPollCycle::PollingChanged,
                         [this](bool started) { pollingEvents.push_back(started); });
        host = std::make_unique<PollingHost>(*poll);
        doc = std::make_unique<TConfigDocument>(*m, form->Prompt(), *form, *host);
        form->SetDocument(doc.get());
        form->SetTrayAvailable(true);  // the offscreen platform has no notification area
    }

    // An action by its objectName, as an operator's script would find it.
    QAction* A(const char* name) {
        QObject* list = form->findChild<QObject*>(QStringLiteral("ActionList"));
        return list ? list->findChild<QAction*>(QLatin1String(name), Qt::FindDirectChildrenOnly) : nullptr;
    }
    QTreeWidget* Tree() { return form->Tree(); }
    QTreeWidget* List() { return form->List(); }
    int ImageOf(QTreeWidgetItem* node) { return node->data(0, TMainForm::kImageRole).toInt(); }

    void ShowActive() {
        form->show();
        QApplication::setActiveWindow(form.get());
        form->activateWindow();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(form.get()));
        ASSERT_TRUE(QTest::qWaitForWindowActive(form.get()));
        Tree()->setFocus();
    }

    // A point L1 on COM3 with D1 (type T, address 5, parameters 0 and 5) and D2 (type U, 7, parameter 3).
    void TwoDevices(const char* port = "COM3") {
        test::AddPoint(*m, QStringLiteral("L1"), port);
        test::AddDevice(*m, 0, QStringLiteral("D1"), 0, 5, (1u << 0) | (1u << 5));
        test::AddDevice(*m, 0, QStringLiteral("D2"), 1, 7, 1u << 3);
    }

    test::ModelPtr m = test::MakeModel();
    std::vector<std::unique_ptr<TComPort>> portObjects;
    std::vector<TComPort*> ports;
    std::unique_ptr<TInstrumentLines> lines;
    std::unique_ptr<TPollCycle> poll;
    std::unique_ptr<TMainForm> form;
    std::unique_ptr<PollingHost> host;
    std::unique_ptr<TConfigDocument> doc;
    std::vector<std::pair<int, int>> requests;
    std::vector<bool> pollingEvents;
};

}  // namespace qora::test
