#include "app/program.h"

#include <QAction>
#include <QCoreApplication>
#include <QFileInfo>
#include <QGuiApplication>
#include <QProcess>
#include <QSessionManager>
#include <QSysInfo>
#include <cstdio>

#include "app/endpoint_security.h"
#include "app/history_recorder.h"
#include "app/line_diagnostics_provider.h"
#include "app/periodic_push.h"
#include "app/program_texts.h"
#include "app/signal_watcher.h"
#include "app/single_instance.h"
#include "comm/instrument_lines.h"
#include "comm/poll_cycle.h"
#include "comm/serial/com_port.h"
#include "comm/serial/ecomport.h"
#include "comm/serial/enum_com_ports.h"
#include "config/config_document.h"
#include "config/settings.h"
#include "mqtt/mqtt_bridge.h"
#include "mqtt/mqtt_publisher.h"
#include "mqtt/mqtt_settings.h"
#include "opc/opc_init.h"
#include "opc/opc_server.h"
#include "ui/main_form.h"

namespace qora {

namespace {

constexpr char16_t kInUseQuestion[] = u"Сервер используется клиентом.\nЗавершить работу сервера?";

ua::ServerConfig EndpointConfig(const TOpcUaSettings& s) {
    ua::ServerConfig c;
    // Application and namespace URI of this installation; the product URI stays the product's.
    c.applicationUri = ua::InstanceUri(QSysInfo::machineHostName().toStdString());
    c.host = s.host;
    c.port = s.port;
    c.softwareVersion = QORA_VERSION_STRING;
    c.itemSamplingIntervalMs = TPeriodicPush::kPushIntervalMs;  // values change once a push
    // The build's date (UTC, from the build system) as an OPC UA DateTime.
    const QDateTime built = QDateTime::fromString(QStringLiteral(QORA_BUILD_DATE), Qt::ISODate);
    if (built.isValid()) c.buildDate = (built.toMSecsSinceEpoch() + 11644473600000LL) * 10000;
    if (s.maxChannels) c.maxChannels = *s.maxChannels;
    if (s.maxSessions) c.maxSessions = *s.maxSessions;
    if (s.maxSubscriptionsPerSession) c.maxSubscriptionsPerSession = *s.maxSubscriptionsPerSession;
    if (s.maxMonitoredItemsPerSubscription)
        c.maxMonitoredItemsPerSubscription = *s.maxMonitoredItemsPerSubscription;
    if (s.maxPublishRequestsPerSession) c.maxPublishRequestsPerSession = *s.maxPublishRequestsPerSession;
    if (s.handshakeTimeoutMs) c.handshakeTimeoutMs = *s.handshakeTimeoutMs;
    if (s.maxMessageSize) c.maxMessageSize = *s.maxMessageSize;
    if (s.maxChunkCount) c.maxChunkCount = *s.maxChunkCount;
    if (s.memoryBudgetBytes) c.memoryBudgetBytes = *s.memoryBudgetBytes;
    return c;
}

}  // namespace

TProgram::TProgram(QStringList arguments, bool headless, TSingleInstance& lock, QString iniPath,
                   IOperatorPrompt* prompt)
    : arguments_(std::move(arguments)),
      headless_(headless),
      lock_(lock),
      iniPath_(iniPath.isEmpty() ? TSettings::DefaultPath() : std::move(iniPath)),
      promptOverride_(prompt),
      model_(CreateModel()) {}

TProgram::~TProgram() {
    // No report of the endpoint may be queued to this object any more.
    if (opc_) opc_->SetListenSink({});
    // The OPC start must not outlive the server and the model it works on.
    initThread_.reset();
    // MQTT first: "offline" goes out while everything else still stands.
    if (opc_ && mqttBridge_) opc_->RemovePushObserver(mqttBridge_.get());
    mqttBridge_.reset();
    mqtt_.reset();
    // The history stores what is queued as it closes; the endpoint reads it no more.
    if (opc_ && history_) {
        opc_->GBSetHistoryProvider({});
        opc_->RemovePushObserver(history_.get());
    }
    history_.reset();
    if (poll_) poll_->StopPolling();
    // FormDestroy: the serial port objects (closing them), the settings file, the server object.
    ports_.clear();
    portObjects_.clear();
    settings_.reset();
    opc_.reset();
    document_.reset();
    window_.reset();
    poll_.reset();
    lines_.reset();
}

void TProgram::FormCreate() {
    // The settings object comes before the window, which keeps a reference to it.
    settings_ = std::make_unique<TSettings>(iniPath_);
    lines_ = std::make_unique<TInstrumentLines>(*model_);
    poll_ = std::make_unique<TPollCycle>(*model_, *lines_, ports_);

    TMainFormCore core;
    core.model = model_.get();
    core.poll = poll_.get();
    core.ports = &ports_;
    core.diagnostics = &lines_->Diagnostics();
    core.showTrayIcon = !headless_;
    window_ = std::make_unique<TMainForm>(std::move(core));
    connect(window_.get(), &TMainForm::FileExitRequested, this, [this] { FileExitExecute(); });
    connect(window_.get(), &TMainForm::RestartRequested, this, [this] { RestartExecute(); });

    // The push follows "polling stopped/started" (on the window thread), and the window shows
    // what each push brought.
    push_ = new TPeriodicPush(*model_, this);
    connect(poll_.get(), &TPollCycle::PollingChanged, push_, &TPeriodicPush::FollowPolling);
    connect(push_, &TPeriodicPush::Pushed, window_.get(), &TMainForm::AfterPush);
    prompt_ = std::make_unique<TSwitchingPrompt>(window_->Prompt(), consolePrompt_, headless_);
    IOperatorPrompt& prompt = promptOverride_ != nullptr ? *promptOverride_ : *prompt_;
    document_ = std::make_unique<TConfigDocument>(*model_, prompt, *window_, *this);
    window_->SetDocument(document_.get());

    // Start-up, in this order. Restart is disabled until a change asks for it; the hidden and
    // first-paint flags are the window's initial state.
    window_->Actions().restart->setEnabled(false);
    model_->editedDeviceAddress = 0;
    model_->editedDevicePoint = 0;

    // The command line: a configuration to open (-f:path) and whether the registered unit started
    // the program (-Embedding).
    const TCommandLineOptions options = ParseCommandLine(arguments_);
    window_->SetStartedByCom(options.startedByCom || headless_);
    QString path = options.startupPath;
    // Else the configuration recorded at the last load or save.
    if (path.isEmpty()) path = settings_->ReadStartupPath();
    // Load it, or start a new configuration when there is none. A file that cannot be
    // opened is reported by the document and start-up goes on.
    document_->OpenAtStartUp(path);
    // The catalogue: device type names and parameter names from the settings file.
    QStringList catalogueProblems;
    settings_->ReadDeviceTypes(*model_, &catalogueProblems);
    settings_->ReadParameterNames(*model_);
    if (!catalogueProblems.isEmpty()) {
        for (const QString& line : catalogueProblems) window_->AddEventLine(line);
        Prompt().ShowError(QStringLiteral("Каталог типов устройств (файл %1):\n").arg(settings_->FileName()) +
                           catalogueProblems.join(u'\n'));
    }
    // The serial port table: the ports present and those the settings file declares.
    ListSerialPorts();
    // The tree (the window installed its hint handler when it was built).
    window_->RebuildTree(-1, -1);
    // The server object; its items are created afterwards, on a thread of their own (StartInitThread).
    opc_ = std::make_unique<COPCServer>();
    push_->SetServer(opc_.get());
    TMainForm* window = window_.get();
    opc_->SetEventSink([window](const QString& line) { window->AddEventLine(line); });
    // Told on the toolkit's thread; reported on the window thread.
    opc_->SetListenSink([this](const ua::ListenState& state) {
        QMetaObject::invokeMethod(
            this, [this, state] { ReportListenState(state); }, Qt::QueuedConnection);
    });
    ConfigureEndpoint();
    opc_->GBSetDiagnosticsProvider(LineDiagnosticsProvider(lines_->Diagnostics()));
    StartMqtt();
    StartHistory();
    // Polling starts last.
    window_->StartPolling();
}

void TProgram::ConnectProcess(TSignalWatcher& watcher, QGuiApplication& app) {
    connect(&watcher, &TSignalWatcher::terminationRequested, this, [this](int sig) { Terminate(sig); });
    // SIGHUP restarts the program, so a service reloads MAIN_CFG and the catalogue.
    connect(&watcher, &TSignalWatcher::reloadRequested, this, [this] { RestartExecute(); });
    connect(&app, &QGuiApplication::commitDataRequest, this, [this](QSessionManager& manager) {
        // Unsaved edits that could not be written, or a server the operator keeps running: ask
        // the session manager not to end the session.
        if (!WMQueryEndSession()) manager.cancel();
    });
}

void TProgram::StopPolling() {
    poll_->StopPolling();
}

void TProgram::StartPolling() {
    poll_->StartPolling();
}

bool TProgram::RecordStartupConfiguration(const QString& path, QString* error) {
    return settings_->RecordStartupConfiguration(path, error);
}

IOperatorPrompt& TProgram::Prompt() {
    return promptOverride_ != nullptr ? *promptOverride_ : *prompt_;
}

void TProgram::ListSerialPorts() {
    std::vector<TComPortEntry> entries;
    try {
        entries = EnumComPorts(settings_->DeclaredPorts());
    } catch (const std::exception& e) {
        // Reported; start-up goes on with an empty table.
        Prompt().ShowError(QString::fromUtf8(e.what()));
    }
    for (const TComPortEntry& entry : entries) {
        auto port = std::make_unique<TComPort>();
        port->SetPortName(entry.name);
        port->SetDevicePath(entry.path);
        port->SetBaudRate(TComPort::br19200);
        port->SetDataBits(TComPort::dbEight);
        port->SetParity(TComPort::prNone);
        port->SetStopBits(TComPort::sbTwoStopBits);
        lines_->AttachPort(port.get());
        ports_.push_back(port.get());
        portObjects_.push_back(std::move(port));
    }
}

void TProgram::ConfigureEndpoint() {
    const TOpcUaSettings settings = settings_->OpcUa();
    ua::ServerConfig config = EndpointConfig(settings);
    // Messages of the certificate folder come later from the endpoint's thread: to the event log
    // on the window thread.
    auto log = [this](const std::string& line) {
        QMetaObject::invokeMethod(
            this, [this, text = QString::fromStdString(line)] { ReportEndpointEvent(text); },
            Qt::QueuedConnection);
    };
    // Failed logins and refused certificates (already rate-limited by the endpoint): to the event
    // log and to standard error.
    config.securityEvent = [this](const std::string& line) {
        std::fprintf(stderr, "qora-opc-server: %s\n", line.c_str());
        std::fflush(stderr);
        QMetaObject::invokeMethod(
            this,
            [this, text = QString::fromStdString(line)] {
                if (window_) window_->AddEventLine(text);
            },
            Qt::QueuedConnection);
    };
    const TEndpointSecurityReport report =
        ApplyEndpointSecurity(settings, QFileInfo(settings_->FileName()).absolutePath(), config, log);
    for (const QString& line : report.events) ReportEndpointEvent(line);
    if (!report.problems.isEmpty()) {
        for (const QString& line : report.problems) window_->AddEventLine(line);
        Prompt().ShowError(QStringLiteral("Настройки безопасности OPC UA (раздел [OPCUA] файла %1):\n")
                               .arg(settings_->FileName()) +
                           report.problems.join(u'\n'));
    }
    TItemMetadataCatalogue metadata = settings_->ItemMetadata();
    for (const QString& line : metadata.problems) ReportEndpointEvent(line);
    opc_->SetItemMetadata(std::move(metadata));
    opc_->GBSetEndpointConfig(std::move(config));
}

void TProgram::ReportEndpointEvent(const QString& text) {
    if (window_) window_->AddEventLine(text);
    if (headless_) {
        std::fprintf(stderr, "qora-opc-server: %s\n", text.toUtf8().constData());
        std::fflush(stderr);
    }
}

void TProgram::StartMqtt() {
    TMqttSettingsResult read = ReadMqttSettings(settings_->Ini(), QSysInfo::machineHostName());
    if (!read.errors.isEmpty()) {
        Prompt().ShowError(QStringLiteral("Публикация MQTT отключена: ошибки в разделе [MQTT] файла %1:\n")
                               .arg(settings_->FileName()) +
                           read.errors.join(u'\n'));
        return;
    }
    if (!read.settings.enabled) return;
    auto publisher = std::make_unique<TMqttPublisher>(std::move(read.settings));
    // Told on libmosquitto's and the sender's threads.
    publisher->SetEventSink([this](const QString& line) { ReportEndpointEvent(line); });
    QString error;
    if (!publisher->Start(&error)) {
        Prompt().ShowError(QStringLiteral("Публикация MQTT отключена.\n") + error);
        return;
    }
    mqtt_ = std::move(publisher);
    mqttBridge_ = std::make_unique<TMqttBridge>(*mqtt_, *model_);
    opc_->AddPushObserver(mqttBridge_.get());
}

void TProgram::StartHistory() {
    const THistorySettings read = settings_->History();
    for (const QString& problem : read.problems) ReportEndpointEvent(problem);
    if (!read.enabled) return;
    history::StoreOptions options;
    options.file = read.file.toStdString();
    options.retentionDays = read.retentionDays;
    options.maxBytes = read.maxMegabytes << 20;
    // Told on the store's writer thread.
    options.message = [this](const std::string& text) { ReportEndpointEvent(QString::fromStdString(text)); };
    std::string error;
    auto store = history::Store::Open(std::move(options), error);
    if (!store) {
        Prompt().ShowError(QStringLiteral("История значений отключена.\n") + QString::fromStdString(error));
        return;
    }
    history_ = std::make_unique<THistoryRecorder>(std::move(store));
    opc_->AddPushObserver(history_.get());
    // Values that changed while the broker was away go out again from the history.
    if (mqtt_) mqtt_->SetReplaySource(std::make_shared<THistoryReplaySource>(history_->Store(), *opc_));
    // Before the endpoint starts, so that its items are Historizing.
    opc_->GBSetHistoryProvider(HistoryReadProvider(history_->Store()));
}

void TProgram::StartInitThread() {
    if (!headless_) window_->show();
    initThread_ = std::make_unique<TInitThread>(*opc_, *model_);
}

void TProgram::EndMessageLoop(int exitCode) {
    // exit, not quit: quit first asks every window to close, and the main window refuses (closing
    // only hides it), which would cancel the request whenever the window is shown.
    QCoreApplication::exit(exitCode);
}

void TProgram::ReportListenState(const ua::ListenState& state) {
    const QString text = ListenStateText(state);
    window_->AddEventLine(text);
    if (!state.listening) {
        Prompt().ShowError(text);
    } else if (headless_) {
        std::fprintf(stderr, "qora-opc-server: %s\n", text.toUtf8().constData());
        std::fflush(stderr);
    }
}

void TProgram::WaitForInitThread() {
    if (initThread_) initThread_->WaitFor();
}

void TProgram::ShutdownSequence() {
    if (shutDown_ || !opc_) return;
    shutDown_ = true;
    // The class object is registered by the OPC start; revoke only after it.
    WaitForInitThread();
    opc_->ShutdownOPC(COPCServer::kShutdownReason);
}

bool TProgram::SaveAndConfirmShutdown() {
    // A save the operator asked for that failed, or Отмена, keeps the program as it is.
    if (!TConfigDocument::ActionGoesOn(document_->SaveQuestion())) return false;
    return !(opc_ && opc_->InUse()) ||
           Prompt().AskYesNo(QString::fromUtf16(kWarningTitle), QString::fromUtf16(kInUseQuestion));
}

void TProgram::FileExitExecute() {
    if (!SaveAndConfirmShutdown()) return;
    ShutdownSequence();
    EndMessageLoop();
}

bool TProgram::WMQueryEndSession() {
    if (!SaveAndConfirmShutdown()) return false;
    ShutdownSequence();
    return true;
}

void TProgram::RestartExecute() {
    if (!TConfigDocument::ActionGoesOn(document_->SaveQuestion())) return;
    const RestartPath path = hasRestartPathOverride_ ? restartPathOverride_ : CurrentRestartPath();
    lock_.Release();
    if (path == RestartPath::ServiceManager) {
        // The unit starts the new process once this one has ended (a process started from
        // here would be stopped with the unit when this, its main process, ends).
        EndMessageLoop(gb::kServiceRestartExitStatus);
        return;
    }
    // The new process must find the port free, or it would report that it cannot listen.
    WaitForInitThread();
    if (opc_) opc_->GBRevokeClassObject();
    const QString program =
        restartProgram_.isEmpty() ? QCoreApplication::applicationFilePath() : restartProgram_;
    QProcess process;
    process.setProgram(program);
    process.setArguments({});
    if (process.startDetached()) {
        EndMessageLoop();
        return;
    }
    // The new process did not start: this one goes on serving.
    const QString reason = process.errorString();
    if (!lock_.Acquire() && !lock_.Error().empty())
        std::fprintf(stderr, "qora-opc-server: single-instance lock unavailable (%s)\n",
                     lock_.Error().c_str());
    if (opc_) opc_->GBRegisterClassObject();
    const QString text = RestartFailureText(program, reason);
    if (window_) window_->AddEventLine(text);
    Prompt().ShowError(text);
}

void TProgram::Terminate(int signalNumber) {
    std::fprintf(stderr, "qora-opc-server: signal %d, shutting down\n", signalNumber);
    ShutdownSequence();
    EndMessageLoop();
}

}  // namespace qora
