// The composition root of a running program: builds the core objects in the order of the
// start-up sequence, hands them to the main window, and runs the ways out (exit, restart,
// session end, termination signal) and the destruction.
#pragma once

#include <QObject>
#include <QStringList>
#include <memory>
#include <vector>

#include "app/console_prompt.h"
#include "app/restart_path.h"
#include "config/config_document.h"
#include "config/records.h"
#include "ua/net/server.h"

class QGuiApplication;

namespace qora {

class TComPort;
class COPCServer;
class TConfigDocument;
class TInitThread;
class TInstrumentLines;
class TMainForm;
class THistoryRecorder;
class TMqttBridge;
class TMqttPublisher;
class TPeriodicPush;
class TPollCycle;
class TSettings;
class TSignalWatcher;
class TSingleInstance;

// IDocumentHost: polling and MAIN_CFG for the file actions (the window shows their results).
class TProgram : public QObject, public IDocumentHost {
    Q_OBJECT
  public:
    // arguments: the command line after the program name. headless: no display (the window
    // stays hidden and no question is asked). lock: the single-instance lock held by main.
    // prompt: replaces the operator's side (tests); null = the window's, or the console when
    // headless.
    TProgram(QStringList arguments, bool headless, TSingleInstance& lock, QString iniPath = QString(),
             IOperatorPrompt* prompt = nullptr);
    // FormDestroy: serial ports, then the settings, then the server object.
    ~TProgram() override;

    // The start-up of the main window, in its order (settings, command line, configuration,
    // catalogue, serial port table, hint handler, tree, server object, polling).
    void FormCreate();
    // The process's requests: termination signals end the program, SIGHUP restarts it, the
    // session manager's log-off asks the shutdown questions.
    void ConnectProcess(TSignalWatcher& watcher, QGuiApplication& app);
    // Shows the window (or leaves it hidden when started by COM or headless) and starts the
    // OPC start on its own thread.
    void StartInitThread();
    // Waits until the OPC start has run (tests, and the shutdown sequence).
    void WaitForInitThread();

    // Ways out.
    void FileExitExecute();
    // Session manager's query at log-off: save question, in-use question, shutdown sequence;
    // the program goes on running. False when the server was not shut down (a save the operator
    // asked for failed, or the operator kept the server running): the log-off is to be cancelled.
    bool WMQueryEndSession();
    // The save question, then the new process: started detached (the port and the
    // single-instance lock are freed for it first), or, when the service unit started this
    // process, by the service manager after this process ends with the restart status. A new
    // process that cannot be started is reported, and this one goes on running.
    void RestartExecute();
    // SIGTERM/SIGINT: the shutdown sequence without questions, then the loop ends.
    void Terminate(int signalNumber);

    TMainForm& Window() { return *window_; }
    TConfigModel& Model() { return *model_; }
    COPCServer* Server() { return opc_.get(); }
    TMqttPublisher* Mqtt() { return mqtt_.get(); }
    TPeriodicPush& Push() { return *push_; }
    TConfigDocument& Document() { return *document_; }

    // Tests: the executable the detached restart starts (default: this program) and the
    // restart path (default: from the environment, CurrentRestartPath).
    void SetRestartProgram(QString path) { restartProgram_ = std::move(path); }
    void SetRestartPath(RestartPath path) {
        restartPathOverride_ = path;
        hasRestartPathOverride_ = true;
    }

    // IDocumentHost.
    void StopPolling() override;
    void StartPolling() override;
    bool RecordStartupConfiguration(const QString& path, QString* error) override;

  private:
    // The save question, then, when clients are connected, whether to end the server. False when
    // a save the operator asked for failed, or the answer was No.
    bool SaveAndConfirmShutdown();
    void ShutdownSequence();
    void EndMessageLoop(int exitCode = 0);
    // On the window thread: the endpoint's listening state, to the event log, and a failure
    // to the operator (error box, or standard error headless).
    void ReportListenState(const ua::ListenState& state);
    IOperatorPrompt& Prompt();
    void ListSerialPorts();
    // Section OPCUA of the settings into the server object's endpoint configuration, with the
    // certificate folder and the users file; bad values and an unusable certificate folder are
    // reported.
    void ConfigureEndpoint();
    // A line about the endpoint or MQTT for the event log (and standard error headless); any
    // thread.
    void ReportEndpointEvent(const QString& text);
    // Section MQTT of the settings: the publisher when enabled; bad values are reported.
    void StartMqtt();
    // The local history when [HISTORY] Enabled=1; a store that cannot open is reported and left off.
    void StartHistory();

    QStringList arguments_;
    bool headless_;
    TSingleInstance& lock_;
    QString iniPath_;
    IOperatorPrompt* promptOverride_;
    bool shutDown_ = false;
    QString restartProgram_;
    RestartPath restartPathOverride_ = RestartPath::Detached;
    bool hasRestartPathOverride_ = false;

    std::unique_ptr<TConfigModel, ModelDeleter> model_;
    std::unique_ptr<TSettings> settings_;
    std::vector<std::unique_ptr<TComPort>> portObjects_;
    std::vector<TComPort*> ports_;
    std::unique_ptr<TInstrumentLines> lines_;
    std::unique_ptr<TPollCycle> poll_;
    std::unique_ptr<COPCServer> opc_;
    std::unique_ptr<TMainForm> window_;
    TConsolePrompt consolePrompt_;
    std::unique_ptr<TSwitchingPrompt> prompt_;
    std::unique_ptr<TConfigDocument> document_;
    std::unique_ptr<TInitThread> initThread_;
    TPeriodicPush* push_ = nullptr;
    std::unique_ptr<TMqttPublisher> mqtt_;
    std::unique_ptr<TMqttBridge> mqttBridge_;
    std::unique_ptr<THistoryRecorder> history_;
};

}  // namespace qora
