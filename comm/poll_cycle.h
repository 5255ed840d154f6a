// Poll cycle: one timer per connection point, rotating over the point's
// devices, one request per tick, and the silence rule (the fourth poll in a
// row without a good reply marks every slot of the device 24, or 8 when the
// device has not replied since the start).
//
// Lives on the thread that runs the receiver (the window thread). The timers
// are QTimers owned by this object and stored in the points' pollTimer field.
#pragma once

#include <QObject>
#include <functional>
#include <vector>

#include "config/records.h"

class QTimer;

namespace qora {

class TComPort;
class TInstrumentLines;

// Timer interval of a poll period in seconds: period × 1000 formed in extended
// precision and truncated (4.2 s → 4199 ms). 0 for zero, negative and NaN
// periods (no ticks); at most the largest interval a timer takes.
int PollIntervalMs(float periodSeconds);

class TPollCycle : public QObject {
    Q_OBJECT
  public:
    using RequestSink = std::function<void(uint8_t point, uint8_t device)>;

    // ports: the serial port table of the composition root (objects not owned);
    // it may be filled after construction, the binding is computed at every start.
    TPollCycle(TConfigModel& model, TInstrumentLines& lines, const std::vector<TComPort*>& ports,
               QObject* parent = nullptr);
    ~TPollCycle() override;

    // Where requests go; TInstrumentLines::SendRequest unless replaced (tests).
    void SetRequestSink(RequestSink sink) { sink_ = std::move(sink); }
    // Sends through the instrument lines (the default sink).
    void SendRequest(uint8_t point, uint8_t device);

    void StartPolling();
    void StopPolling();
    // One tick of point `point`'s timer.
    void PollTimerTimer(int point);

    bool Polling() const { return polling_; }

  signals:
    // The one wire for "polling stopped/started": emitted at the end of StopPolling (false)
    // and of StartPolling (true), on the thread that called them. The composition root
    // connects the window's OPC timer and the server object's model-edit bracket: every
    // change of the records lies between a false and the next true.
    void PollingChanged(bool polling);

  private:
    TConfigModel& model_;
    TInstrumentLines& lines_;
    const std::vector<TComPort*>& ports_;
    RequestSink sink_;
    bool polling_ = false;
};

}  // namespace qora
