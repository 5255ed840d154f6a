// Publishes the latest value of every item to an MQTT broker.
//
// Threads:
//  - the window thread hands changed values over with Update: it takes the mutex for as long
//    as copying them into the latest-value store takes, and never waits on the network;
//  - libmosquitto's network thread (mosquitto_loop_start) connects, reconnects with back-off,
//    sends and receives; its callbacks only update the state below under the mutex;
//  - the sender thread takes waiting values out of the store, builds their payloads and hands
//    them to libmosquitto, never more than kWindow unacknowledged at a time, and only while
//    connected. So libmosquitto's own queue stays bounded during an outage, while the store
//    keeps just the latest value per item.
//
// After every (re)connect: a retained "online" on <prefix>/$state, then, once the messages
// libmosquitto resends from before the outage are acknowledged (so none of them can overwrite
// a newer retained value), the retained metadata of every item (<topic>/$meta),
// then the full snapshot. The last will is a retained "offline".
//
// Replay (with a replay source, ReplayRate > 0): after a reconnect that follows a loss, the
// values the source holds from the push of the newest value the broker confirmed before the
// loss until the reconnect go out again, item by item, oldest first, not retained, marked
// "replayed". Only when no live value or metadata waits, while fewer than kReplayWindow messages
// are unacknowledged, and at most ReplayRate a second (a bucket of a tenth of a second's worth,
// read on the clock). A loss during a replay widens what is left of it. Its start and end (with the count)
// are told like the connection's state, at most one line per kReportSpacing.
//
// The state of the connection goes to the event sink: the first failure to connect (refused,
// unknown host, TLS failure, refusal by the broker) and every change (connected, lost, another
// reason), at most one line per kReportSpacing; a change meanwhile is told when the spacing
// has passed, unless the state has gone back to what was told last.
#pragma once

#include <QString>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "mqtt/latest_value_store.h"
#include "mqtt/mqtt_settings.h"
#include "mqtt/replay_source.h"

struct mosquitto;

namespace qora {

struct TMqttItem {
    std::string topic;   // UTF-8, empty: not published
    std::string itemId;  // UTF-8
    // Its retained <topic>/$meta message, built when sent from the metadata table given with the
    // items: entries for its point and device names, its parameter, its unit and range.
    int32_t metaNames = -1;  // -1: no $meta message
    uint16_t metaParameter = 0;
    int16_t metaUnit = -1;  // -1: neither unit nor range
};

// The texts of the $meta messages, each kept once (a payload per item would hold some 50 MB for
// the largest configuration).
struct TMqttMetaTable {
    struct Names {
        std::string point, device;  // UTF-8
    };
    struct Unit {
        std::string unit;  // UTF-8, empty: none
        bool hasRange = false;
        double low = 0, high = 0;
    };
    std::vector<Names> names;
    std::vector<std::string> parameters;
    std::vector<Unit> units;
    // The payload of item's $meta message; empty when it has none.
    std::string Payload(const TMqttItem& item) const;
};

class TMqttPublisher {
  public:
    using EventSink = std::function<void(const QString&)>;
    using TimePoint = std::chrono::steady_clock::time_point;
    // Where the publisher's deadlines (connect back-off, resend wait, report spacing) read the
    // time; waits take the difference to the real clock's wait, so a clock must advance.
    using Clock = std::function<TimePoint()>;

    // Messages handed to libmosquitto and not yet acknowledged (QoS 1) or written (QoS 0).
    static constexpr size_t kWindow = 1024;
    // Replayed values go out only while fewer messages than this are unacknowledged, so that a
    // live value never queues behind many of them at the broker.
    static constexpr size_t kReplayWindow = 64;
    // Values taken out of the store per turn of the sender thread.
    static constexpr size_t kBatch = 256;
    // Reconnect back-off of libmosquitto: 1 s, growing to at most 10 s.
    static constexpr unsigned kReconnectDelayMin = 1;
    static constexpr unsigned kReconnectDelayMax = 10;
    // How long the snapshot waits for the acknowledgements of messages resent after a reconnect.
    static constexpr std::chrono::seconds kResendWait{10};
    // How long Stop waits for the "offline" message to be acknowledged.
    static constexpr std::chrono::milliseconds kStopWait{1500};
    // Least time between two lines about the connection's state.
    static constexpr std::chrono::seconds kReportSpacing{5};

    struct TStats {
        bool connected = false;
        uint64_t connects = 0;      // successful connects
        uint64_t sent = 0;          // value messages acknowledged (QoS 1) or written (QoS 0)
        uint64_t dropped = 0;       // values replaced before they could be sent, or lost with a connection
        size_t waiting = 0;         // values waiting in the store
        size_t outstanding = 0;     // messages handed to libmosquitto and not yet acknowledged
        size_t oldOutstanding = 0;  // of those, handed over before the current connection
        uint64_t meta = 0;          // metadata messages acknowledged (or written)
        uint64_t replayed = 0;      // replayed values acknowledged (or written)
        bool replaying = false;     // a replay has values left to hand over
    };

    explicit TMqttPublisher(
        TMqttSettings settings, Clock clock = [] { return std::chrono::steady_clock::now(); });
    ~TMqttPublisher();
    TMqttPublisher(const TMqttPublisher&) = delete;
    TMqttPublisher& operator=(const TMqttPublisher&) = delete;

    // Event-log lines (start, connect, failures, disconnect), called on libmosquitto's and the
    // sender's threads.
    void SetEventSink(EventSink sink);
    // Creates the client and starts connecting; false with the reason when libmosquitto refuses
    // the settings. Call once.
    bool Start(QString* error = nullptr);
    // Publishes "offline", disconnects and ends both threads (bounded by about kStopWait).
    void Stop();

    // The items, indexed by item number, and what their $meta messages are built from (none: no
    // $meta messages); once, before the first Update.
    void SetItems(std::vector<TMqttItem> items, std::shared_ptr<const TMqttMetaTable> meta = nullptr);
    // Where the values of an outage are replayed from (any time; none: no replay).
    void SetReplaySource(std::shared_ptr<IReplaySource> source);
    // The changed values of one push (window thread).
    void Update(const std::vector<TItemUpdate>& changes);

    TStats Stats() const;
    const TMqttSettings& Settings() const { return settings_; }
    std::string StateTopic() const { return settings_.topicPrefix + "/$state"; }
    static std::string MetaTopic(const std::string& itemTopic) { return itemTopic + "/$meta"; }

  private:
    enum class Kind : uint8_t { State, Value, Meta, Replay };
    struct TOutstanding {
        Kind kind;
        uint8_t qos;
        uint64_t generation;  // connection it was handed over in
        int64_t unixMs = 0;   // a value's source time
    };
    // One line told at most every kReportSpacing; a later one waits and replaces the waiting one.
    struct TSpacedLine {
        TimePoint toldAt{};
        bool told = false;
        bool pending = false;
        QString line;
    };
    static constexpr uint64_t kNoReplay = UINT64_MAX;

    static void OnConnect(mosquitto*, void* self, int rc);
    static void OnDisconnect(mosquitto*, void* self, int rc);
    static void OnPublish(mosquitto*, void* self, int mid);
    static void OnLog(mosquitto*, void* self, int level, const char* text);
    void HandleConnect(int rc);
    void HandleDisconnect(int rc);
    void HandlePublish(int mid);
    void Emit(const QString& line);
    // Mutex held: the connection's state is now key (line describes it). Returns the line when
    // it is to be told now; otherwise it waits for the spacing (or is dropped as told already).
    QString NoteState(const std::string& key, const QString& line);
    // Mutex held: the waiting line, when its time has come.
    QString DueReport();
    // Mutex held: a failure to connect with its reason.
    QString NoteFailure(const QString& reason);
    bool CanSend() const;  // mutex held
    bool MetaDue() const;  // mutex held
    // Mutex held: a reconnect after a loss; (re)starts the replay of what came since the newest
    // confirmed value. Returns the line to tell now, if any.
    QString StartReplay(int64_t nowMs);
    QString NoteReplayLine(const QString& line);  // mutex held
    QString DueReplayLine();                      // mutex held
    // Mutex held: the acknowledgement of a message handed over as kind.
    void Acknowledged(const TOutstanding& o);
    void SenderMain();
    QString BrokerText() const;

    const TMqttSettings settings_;
    const Clock clock_;
    mosquitto* mosq_ = nullptr;
    bool loopStarted_ = false;
    std::thread sender_;

    std::mutex sinkMutex_;
    EventSink sink_;

    mutable std::mutex mutex_;
    std::condition_variable wake_;
    bool stop_ = false;
    bool connected_ = false;
    bool firstConnectPending_ = false;
    TimePoint nextConnectAttempt_;
    bool snapshotPending_ = false;
    TimePoint resendDeadline_;
    uint64_t generation_ = 0;
    size_t oldOutstanding_ = 0;  // outstanding from before the current connection
    // The connection's state as told (key), when, and a change waiting for the spacing.
    std::string toldKey_;
    TimePoint toldAt_{};
    bool told_ = false;
    std::string pendingKey_;
    QString pendingLine_;
    bool pending_ = false;
    QString lastLogError_;  // libmosquitto's last error line (a TLS failure says why there)
    std::shared_ptr<const std::vector<TMqttItem>> items_;
    std::shared_ptr<const TMqttMetaTable> metaTable_;
    std::unique_ptr<TLatestValueStore> store_;
    std::unordered_map<int, TOutstanding> outstanding_;
    // The newest source time of a value the broker confirmed (before that: the first connect).
    int64_t confirmedMs_ = -1;
    size_t metaNext_ = 0;  // the next item whose metadata is due on this connection
    std::shared_ptr<IReplaySource> replaySource_;
    // Per item, the start of what is left to replay (FILETIME; kNoReplay: nothing), the end of
    // the window, the item at hand, and a number that changes whenever the window does.
    std::vector<uint64_t> replayFrom_;
    uint64_t replayEnd_ = 0;
    uint64_t replayStart_ = 0;  // earliest start of this replay (for its report)
    size_t replayItem_ = 0;
    uint64_t replayWindow_ = 0;
    bool replayActive_ = false;
    uint64_t replayCount_ = 0;  // values handed over in this replay
    double replayTokens_ = 0;
    TimePoint replayRefill_{};
    TSpacedLine replayLine_;
    std::unordered_set<int> early_;  // acknowledged before the sender recorded them
    int offlineMid_ = -1;
    bool offlineDone_ = false;
    TStats stats_;
};

}  // namespace qora
