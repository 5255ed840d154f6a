#include "comm/poll_cycle.h"

#include <QTimer>
#include <climits>
#include <cmath>

#include "comm/instrument_lines.h"
#include "comm/serial/com_port.h"
#include "comm/serial/enum_com_ports.h"

namespace qora {

int PollIntervalMs(float periodSeconds) {
    const long double ms = static_cast<long double>(periodSeconds) * 1000.0L;
    if (!(ms >= 1.0L)) return 0;  // zero, negative, NaN: no ticks
    if (ms >= static_cast<long double>(INT_MAX)) return INT_MAX;
    return static_cast<int>(ms);  // truncation toward zero
}

TPollCycle::TPollCycle(TConfigModel& model, TInstrumentLines& lines, const std::vector<TComPort*>& ports,
                       QObject* parent)
    : QObject(parent), model_(model), lines_(lines), ports_(ports) {}

TPollCycle::~TPollCycle() {
    // Timers are children of this object; make sure no record keeps a dangling reference.
    for (auto& p : model_.points) {
        if (p.pollTimer != nullptr && p.pollTimer->parent() == this) p.pollTimer = nullptr;
    }
}

void TPollCycle::SendRequest(uint8_t point, uint8_t device) {
    if (sink_) {
        sink_(point, device);
    } else {
        lines_.SendRequest(point, device);
    }
}

void TPollCycle::StartPolling() {
    const int count = std::min<int>(model_.pointCount, kMaxPoints);
    // The counters tell about this run of polling only.
    TLineDiagnostics& diagnostics = lines_.Diagnostics();
    diagnostics.Reset();
    for (int i = 0; i < count; ++i) {
        TConnectionPoint& p = model_.points[i];
        // A start without a stop before it replaces the old timer rather than leave two running.
        delete p.pollTimer;
        auto* timer = new QTimer(this);
        timer->setTimerType(Qt::PreciseTimer);
        const int interval = PollIntervalMs(p.pollPeriod);
        timer->setInterval(interval);
        connect(timer, &QTimer::timeout, this, [this, i] { PollTimerTimer(i); });
        p.pollTimer = timer;

        p.serialPort = nullptr;
        const int devices = std::min<int>(p.deviceCount, kMaxDevicesPerPoint);
        for (int j = 0; j < devices; ++j) {
            TDevice& d = p.devices[j];
            d.replied = 0;
            for (int k = 0; k < kParamsPerDevice; ++k) {
                StoreValue(d, k, kNoValue);
                StoreQuality(d, k, kQualityNotConnected);
            }
        }

        const std::string wanted = PortNameUpper(PortNameView(p.portName));
        for (TComPort* port : ports_) {
            if (port == nullptr || PortNameUpper(port->PortName()) != wanted) continue;
            p.serialPort = port;
            port->SetTag(p.index);
            diagnostics.SetPortOpen(i, port->Connected());
            p.currentDevice = 0;
            if (devices > 0) SendRequest(static_cast<uint8_t>(i), 0);
            // A zero interval would fire continuously: such a point gets no ticks.
            if (interval > 0) timer->start();
            break;
        }
    }
    polling_ = true;
    emit PollingChanged(true);
}

void TPollCycle::StopPolling() {
    const int count = std::min<int>(model_.pointCount, kMaxPoints);
    for (int i = 0; i < count; ++i) {
        TConnectionPoint& p = model_.points[i];
        if (p.pollTimer != nullptr) {
            p.pollTimer->stop();
            delete p.pollTimer;
            p.pollTimer = nullptr;
        }
        if (p.serialPort != nullptr) p.serialPort->SetConnected(false);
    }
    polling_ = false;
    emit PollingChanged(false);
}

void TPollCycle::PollTimerTimer(int point) {
    if (point < 0 || point >= model_.pointCount || point >= kMaxPoints) return;
    TConnectionPoint& p = model_.points[point];
    const int devices = std::min<int>(p.deviceCount, kMaxDevicesPerPoint);
    if (devices == 0) return;
    int current = p.currentDevice + 1;
    if (current >= devices) current = 0;
    p.currentDevice = static_cast<uint8_t>(current);
    TDevice& d = p.devices[current];
    d.unanswered = static_cast<uint8_t>(d.unanswered + 1);
    lines_.Diagnostics().PollWithoutReply(point, current);
    if (d.unanswered >= kSilentAfterPolls) {
        const uint16_t q = d.replied == 1 ? kQualityCommFailure : kQualityNotConnected;
        for (int k = 0; k < kParamsPerDevice; ++k) StoreQuality(d, k, q);
    }
    SendRequest(static_cast<uint8_t>(point), static_cast<uint8_t>(current));
}

}  // namespace qora
