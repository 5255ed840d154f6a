#include "mqtt/mqtt_publisher.h"

#include <mosquitto.h>

#include <algorithm>
#include <mutex>

#include "base/file_time.h"
#include "mqtt/mqtt_payload.h"

namespace qora {

namespace {

constexpr char kOnline[] = "online";
constexpr char kOffline[] = "offline";
constexpr int kStateQos = 1;

void InitLibraryOnce() {
    static std::once_flag once;
    std::call_once(once, [] { mosquitto_lib_init(); });
}

int64_t NowUnixMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

QString UtcText(uint64_t fileTime) {
    return QString::fromStdString(FormatUtcMs(FileTimeToUnixMs(fileTime)));
}

QString ErrorText(int rc) {
    return rc == MOSQ_ERR_ERRNO ? QString::fromLocal8Bit(strerror(errno))
                                : QString::fromUtf8(mosquitto_strerror(rc));
}

}  // namespace

TMqttPublisher::TMqttPublisher(TMqttSettings settings, Clock clock)
    : settings_(std::move(settings)), clock_(std::move(clock)) {}

TMqttPublisher::~TMqttPublisher() {
    Stop();
    if (mosq_) mosquitto_destroy(mosq_);
}

void TMqttPublisher::SetEventSink(EventSink sink) {
    std::lock_guard lock(sinkMutex_);
    sink_ = std::move(sink);
}

void TMqttPublisher::Emit(const QString& line) {
    std::lock_guard lock(sinkMutex_);
    if (sink_) sink_(line);
}

QString TMqttPublisher::NoteState(const std::string& key, const QString& line) {
    if (!pending_ && told_ && key == toldKey_) return {};
    const TimePoint now = clock_();
    if (told_ && now < toldAt_ + kReportSpacing) {
        pending_ = true;
        pendingKey_ = key;
        pendingLine_ = line;
        wake_.notify_all();
        return {};
    }
    pending_ = false;
    told_ = true;
    toldKey_ = key;
    toldAt_ = now;
    return line;
}

QString TMqttPublisher::DueReport() {
    if (!pending_ || clock_() < toldAt_ + kReportSpacing) return {};
    pending_ = false;
    if (pendingKey_ == toldKey_) return {};  // back to what was told
    toldKey_ = pendingKey_;
    toldAt_ = clock_();
    return pendingLine_;
}

QString TMqttPublisher::NoteFailure(const QString& reason) {
    return NoteState("failed:" + reason.toStdString(),
                     QStringLiteral("MQTT: нет соединения с брокером %1: %2").arg(BrokerText(), reason));
}

QString TMqttPublisher::BrokerText() const {
    return QStringLiteral("%1:%2").arg(QString::fromStdString(settings_.host)).arg(settings_.port);
}

bool TMqttPublisher::Start(QString* error) {
    InitLibraryOnce();
    const auto fail = [&](const QString& what, int rc) {
        if (error) *error = QStringLiteral("MQTT: %1: %2").arg(what, ErrorText(rc));
        return false;
    };
    mosq_ = mosquitto_new(settings_.clientId.c_str(), true, this);
    if (!mosq_) return fail(QStringLiteral("не удалось создать клиент"), MOSQ_ERR_NOMEM);
    mosquitto_connect_callback_set(mosq_, &OnConnect);
    mosquitto_disconnect_callback_set(mosq_, &OnDisconnect);
    mosquitto_publish_callback_set(mosq_, &OnPublish);
    mosquitto_log_callback_set(mosq_, &OnLog);
    mosquitto_max_inflight_messages_set(mosq_, static_cast<unsigned>(kWindow));
    mosquitto_reconnect_delay_set(mosq_, kReconnectDelayMin, kReconnectDelayMax, true);
    const std::string state = StateTopic();
    int rc = mosquitto_will_set(mosq_, state.c_str(), int(sizeof kOffline - 1), kOffline, kStateQos, true);
    if (rc != MOSQ_ERR_SUCCESS) return fail(QStringLiteral("последняя воля"), rc);
    if (!settings_.username.empty()) {
        rc = mosquitto_username_pw_set(mosq_, settings_.username.c_str(),
                                       settings_.password.empty() ? nullptr : settings_.password.c_str());
        if (rc != MOSQ_ERR_SUCCESS) return fail(QStringLiteral("имя пользователя"), rc);
    }
    if (!settings_.caFile.empty()) {
        rc = mosquitto_tls_set(mosq_, settings_.caFile.c_str(), nullptr, nullptr, nullptr, nullptr);
        if (rc != MOSQ_ERR_SUCCESS) return fail(QStringLiteral("TLS"), rc);
        mosquitto_tls_insecure_set(mosq_, settings_.insecure);
    }
    rc = mosquitto_connect_async(mosq_, settings_.host.c_str(), settings_.port, settings_.keepAlive);
    if (rc == MOSQ_ERR_INVAL) return fail(QStringLiteral("соединение с %1").arg(BrokerText()), rc);
    // A broker that is not there yet is no error. But libmosquitto's network thread only takes
    // over once a first connect attempt has got under way, so the sender thread repeats that
    // attempt, with back-off, until one does.
    firstConnectPending_ = rc != MOSQ_ERR_SUCCESS;
    QString failure;
    if (firstConnectPending_) {
        const QString reason = ErrorText(rc);
        std::lock_guard lock(mutex_);
        failure = NoteFailure(reason);
    }
    nextConnectAttempt_ = clock_() + std::chrono::seconds(kReconnectDelayMin);
    rc = mosquitto_loop_start(mosq_);
    if (rc != MOSQ_ERR_SUCCESS) return fail(QStringLiteral("поток сети"), rc);
    loopStarted_ = true;
    Emit(QStringLiteral("MQTT: публикация на брокер %1, темы %2/…")
             .arg(BrokerText(), QString::fromStdString(settings_.topicPrefix)));
    if (!failure.isEmpty()) Emit(failure);
    sender_ = std::thread([this] { SenderMain(); });
    return true;
}

void TMqttPublisher::Stop() {
    {
        std::lock_guard lock(mutex_);
        if (stop_) return;
        stop_ = true;
    }
    wake_.notify_all();
    if (sender_.joinable()) sender_.join();
    if (!loopStarted_) return;

    bool connected;
    {
        std::lock_guard lock(mutex_);
        connected = connected_;
    }
    if (connected) {
        // Left behind retained, like the will, but as a clean goodbye.
        int mid = -1;
        const std::string state = StateTopic();
        const int rc = mosquitto_publish(mosq_, &mid, state.c_str(), int(sizeof kOffline - 1), kOffline,
                                         kStateQos, true);
        std::unique_lock lock(mutex_);
        if (rc == MOSQ_ERR_SUCCESS) {
            offlineMid_ = mid;
            if (early_.erase(mid)) offlineDone_ = true;
            wake_.wait_for(lock, kStopWait, [this] { return offlineDone_ || !connected_; });
        }
    }
    mosquitto_disconnect(mosq_);
    // Not connected: the network thread may be inside a connect attempt that only a cancel ends.
    mosquitto_loop_stop(mosq_, !connected);
    loopStarted_ = false;
}

std::string TMqttMetaTable::Payload(const TMqttItem& item) const {
    if (item.metaNames < 0 || size_t(item.metaNames) >= names.size() ||
        item.metaParameter >= parameters.size())
        return {};
    const Names& n = names[size_t(item.metaNames)];
    TMqttItemMeta meta{{}, false, 0, 0, n.point, n.device, parameters[item.metaParameter]};
    if (item.metaUnit >= 0 && size_t(item.metaUnit) < units.size()) {
        const Unit& u = units[size_t(item.metaUnit)];
        meta.unit = u.unit;
        meta.hasRange = u.hasRange;
        meta.low = u.low;
        meta.high = u.high;
    }
    return BuildMqttMetaPayload(item.itemId, meta);
}

void TMqttPublisher::SetItems(std::vector<TMqttItem> items, std::shared_ptr<const TMqttMetaTable> meta) {
    const size_t n = items.size();
    {
        std::lock_guard lock(mutex_);
        items_ = std::make_shared<const std::vector<TMqttItem>>(std::move(items));
        metaTable_ = std::move(meta);
        store_ = std::make_unique<TLatestValueStore>(n);
        metaNext_ = 0;
    }
    wake_.notify_one();
}

void TMqttPublisher::SetReplaySource(std::shared_ptr<IReplaySource> source) {
    std::lock_guard lock(mutex_);
    replaySource_ = std::move(source);
}

void TMqttPublisher::Update(const std::vector<TItemUpdate>& changes) {
    if (changes.empty()) return;
    {
        std::lock_guard lock(mutex_);
        if (!store_) return;
        for (const TItemUpdate& u : changes)
            if (store_->Put(u)) ++stats_.dropped;
    }
    wake_.notify_one();
}

TMqttPublisher::TStats TMqttPublisher::Stats() const {
    std::lock_guard lock(mutex_);
    TStats s = stats_;
    s.connected = connected_;
    s.waiting = store_ ? store_->WaitingCount() : 0;
    s.outstanding = outstanding_.size();
    s.oldOutstanding = oldOutstanding_;
    s.replaying = replayActive_;
    return s;
}

void TMqttPublisher::OnConnect(mosquitto*, void* self, int rc) {
    static_cast<TMqttPublisher*>(self)->HandleConnect(rc);
}
void TMqttPublisher::OnDisconnect(mosquitto*, void* self, int rc) {
    static_cast<TMqttPublisher*>(self)->HandleDisconnect(rc);
}
void TMqttPublisher::OnPublish(mosquitto*, void* self, int mid) {
    static_cast<TMqttPublisher*>(self)->HandlePublish(mid);
}
void TMqttPublisher::OnLog(mosquitto*, void* self, int level, const char* text) {
    if (level != MOSQ_LOG_ERR || !text) return;
    auto* p = static_cast<TMqttPublisher*>(self);
    QString line;
    {
        std::lock_guard lock(p->mutex_);
        p->lastLogError_ = QString::fromUtf8(text);
        // A TLS handshake that fails says so only here.
        if (!p->connected_) line = p->NoteFailure(p->lastLogError_);
    }
    if (!line.isEmpty()) p->Emit(line);
}

void TMqttPublisher::HandleConnect(int rc) {
    if (rc != 0) {
        QString line;
        {
            std::lock_guard lock(mutex_);
            line = NoteState("refused:" + std::to_string(rc),
                             QStringLiteral("MQTT: брокер %1 отказал в соединении: %2")
                                 .arg(BrokerText(), QString::fromUtf8(mosquitto_connack_string(rc))));
        }
        if (!line.isEmpty()) Emit(line);
        return;
    }
    // Called on the network thread, before libmosquitto resends what was left unacknowledged.
    int mid = -1;
    const std::string state = StateTopic();
    const int prc =
        mosquitto_publish(mosq_, &mid, state.c_str(), int(sizeof kOnline - 1), kOnline, kStateQos, true);
    QString line, replayLine;
    {
        std::lock_guard lock(mutex_);
        connected_ = true;
        lastLogError_.clear();
        line = NoteState("connected",
                         QStringLiteral("MQTT: соединение с брокером %1 установлено").arg(BrokerText()));
        const int64_t nowMs = NowUnixMs();
        if (stats_.connects > 0)
            replayLine = StartReplay(nowMs);
        else if (confirmedMs_ < 0)
            confirmedMs_ = nowMs;
        metaNext_ = 0;
        ++stats_.connects;
        ++generation_;
        oldOutstanding_ = outstanding_.size();
        if (prc == MOSQ_ERR_SUCCESS) outstanding_[mid] = {Kind::State, uint8_t(kStateQos), generation_};
        snapshotPending_ = true;
        resendDeadline_ = clock_() + kResendWait;
    }
    wake_.notify_all();
    if (!line.isEmpty()) Emit(line);
    if (!replayLine.isEmpty()) Emit(replayLine);
}

QString TMqttPublisher::StartReplay(int64_t nowMs) {
    if (!replaySource_ || settings_.replayRate <= 0 || !items_ || confirmedMs_ < 0) return {};
    const uint64_t from = UnixMsToFileTime(confirmedMs_);
    const uint64_t to = UnixMsToFileTime(nowMs);
    if (from >= to) return {};
    replayFrom_.resize(items_->size(), kNoReplay);
    for (uint64_t& f : replayFrom_) f = std::min(f, from);
    replayStart_ = replayActive_ ? std::min(replayStart_, from) : from;
    if (!replayActive_) replayCount_ = 0;
    replayActive_ = true;
    replayEnd_ = to;
    replayItem_ = 0;
    ++replayWindow_;
    replayTokens_ = 0;
    replayRefill_ = clock_();
    return NoteReplayLine(QStringLiteral("MQTT: повтор значений из истории с %1 по %2 (UTC)")
                              .arg(UtcText(replayStart_), UtcText(replayEnd_)));
}

QString TMqttPublisher::NoteReplayLine(const QString& line) {
    const TimePoint now = clock_();
    if (replayLine_.told && now < replayLine_.toldAt + kReportSpacing) {
        replayLine_.pending = true;
        replayLine_.line = line;
        wake_.notify_all();
        return {};
    }
    replayLine_.pending = false;
    replayLine_.told = true;
    replayLine_.toldAt = now;
    return line;
}

QString TMqttPublisher::DueReplayLine() {
    if (!replayLine_.pending || clock_() < replayLine_.toldAt + kReportSpacing) return {};
    replayLine_.pending = false;
    replayLine_.toldAt = clock_();
    return replayLine_.line;
}

void TMqttPublisher::Acknowledged(const TOutstanding& o) {
    switch (o.kind) {
        case Kind::Value:
            ++stats_.sent;
            confirmedMs_ = std::max(confirmedMs_, o.unixMs);
            break;
        case Kind::Meta:
            ++stats_.meta;
            break;
        case Kind::Replay:
            ++stats_.replayed;
            break;
        case Kind::State:
            break;
    }
}

void TMqttPublisher::HandleDisconnect(int rc) {
    bool was;
    QString line;
    const QString reason = ErrorText(rc);
    {
        std::lock_guard lock(mutex_);
        was = connected_;
        if (rc != 0 && was) {
            line = NoteState(
                "lost",
                QStringLiteral("MQTT: соединение с брокером %1 потеряно: %2").arg(BrokerText(), reason));
        } else if (rc != 0) {
            // A connect attempt that failed after it got under way (a TLS handshake, a host
            // that does not answer).
            line = NoteFailure(
                lastLogError_.isEmpty() ? reason : reason + QStringLiteral(" (") + lastLogError_ + u')');
        }
        connected_ = false;
        snapshotPending_ = false;
        // QoS 0 messages still queued are discarded at the reconnect without a callback;
        // QoS 1 ones are resent by libmosquitto and stay outstanding.
        for (auto it = outstanding_.begin(); it != outstanding_.end();) {
            if (it->second.qos == 0) {
                if (it->second.kind == Kind::Value) ++stats_.dropped;
                it = outstanding_.erase(it);
            } else {
                ++it;
            }
        }
    }
    wake_.notify_all();
    if (!line.isEmpty())
        Emit(line);
    else if (was && rc == 0)
        Emit(QStringLiteral("MQTT: соединение с брокером %1 закрыто").arg(BrokerText()));
}

void TMqttPublisher::HandlePublish(int mid) {
    {
        std::lock_guard lock(mutex_);
        const auto it = outstanding_.find(mid);
        if (it != outstanding_.end()) {
            Acknowledged(it->second);
            if (it->second.generation < generation_ && oldOutstanding_ > 0) --oldOutstanding_;
            outstanding_.erase(it);
        } else if (mid == offlineMid_) {
            offlineDone_ = true;
        } else {
            early_.insert(mid);
        }
    }
    wake_.notify_all();
}

bool TMqttPublisher::CanSend() const {
    return connected_ && !snapshotPending_ && store_ && store_->WaitingCount() > 0 &&
           outstanding_.size() < kWindow;
}

bool TMqttPublisher::MetaDue() const {
    return connected_ && !snapshotPending_ && items_ && metaNext_ < items_->size() &&
           outstanding_.size() < kWindow;
}

void TMqttPublisher::SenderMain() {
    std::vector<TItemUpdate> batch;
    batch.reserve(kBatch);
    struct TSent {
        uint32_t item;
        int mid;
        bool ok;
        int64_t unixMs;
    };
    std::vector<TSent> results;
    results.reserve(kBatch);
    std::vector<uint32_t> metaBatch;
    metaBatch.reserve(kBatch);
    // The values of the item being replayed, read ahead from the source, and what of them is sent.
    std::vector<TReplayValue> replay;
    size_t replayPos = 0;
    uint32_t replayOf = 0;
    bool replayMore = false;  // the source may hold more of that item than the read gave
    uint64_t replayReadIn = 0;
    const int qos = settings_.qos;
    const double rate = settings_.replayRate;
    const double tokenCap = std::max(1.0, rate / 10);

    std::unique_lock lock(mutex_);
    std::chrono::seconds connectDelay(kReconnectDelayMin);
    // A bound for waits while a line (state or replay) waits for its time.
    const auto reportWait = [this](std::chrono::steady_clock::duration d) {
        if (pending_) d = std::min(d, toldAt_ + kReportSpacing - clock_());
        if (replayLine_.pending) d = std::min(d, replayLine_.toldAt + kReportSpacing - clock_());
        return d;
    };
    const auto tell = [&](const QString& line) {
        lock.unlock();
        Emit(line);
        lock.lock();
    };
    // Hands over what publish built, one message per entry of results, and records it.
    const auto record = [&](Kind kind, uint64_t generation) {
        for (const TSent& r : results) {
            if (!r.ok) continue;
            const TOutstanding o{kind, uint8_t(qos), generation, r.unixMs};
            if (early_.erase(r.mid)) {
                Acknowledged(o);
            } else {
                outstanding_[r.mid] = o;
                if (generation < generation_) ++oldOutstanding_;  // a reconnect came in between
            }
        }
    };
    while (!stop_) {
        if (const QString line = DueReport(); !line.isEmpty()) {
            tell(line);
            continue;
        }
        if (const QString line = DueReplayLine(); !line.isEmpty()) {
            tell(line);
            continue;
        }
        if (firstConnectPending_) {
            if (clock_() < nextConnectAttempt_) {
                wake_.wait_for(lock, reportWait(nextConnectAttempt_ - clock_()));
                continue;
            }
            lock.unlock();
            const int rc = mosquitto_reconnect_async(mosq_);
            const QString reason = rc == MOSQ_ERR_SUCCESS ? QString() : ErrorText(rc);
            lock.lock();
            if (rc == MOSQ_ERR_SUCCESS) {
                firstConnectPending_ = false;
            } else {
                connectDelay = std::min(connectDelay * 2, std::chrono::seconds(kReconnectDelayMax));
                nextConnectAttempt_ = clock_() + connectDelay;
                if (const QString line = NoteFailure(reason); !line.isEmpty()) tell(line);
            }
            continue;
        }
        if (snapshotPending_ && connected_) {
            // The snapshot follows the resent messages, so none of those lands after it.
            if (oldOutstanding_ == 0 || clock_() >= resendDeadline_) {
                snapshotPending_ = false;
                if (store_) store_->RequeueAll();
            } else {
                wake_.wait_for(lock, reportWait(resendDeadline_ - clock_()));
                continue;
            }
        }
        if (MetaDue()) {
            // Before any value of this connection.
            const std::shared_ptr<const std::vector<TMqttItem>> items = items_;
            const std::shared_ptr<const TMqttMetaTable> table = metaTable_;
            const size_t room = std::min(kBatch, kWindow - outstanding_.size());
            metaBatch.clear();
            while (metaNext_ < items->size() && metaBatch.size() < room) {
                const TMqttItem& item = (*items)[metaNext_];
                if (table && !item.topic.empty() && item.metaNames >= 0)
                    metaBatch.push_back(uint32_t(metaNext_));
                ++metaNext_;
            }
            const uint64_t generation = generation_;
            lock.unlock();
            results.clear();
            for (const uint32_t n : metaBatch) {
                const TMqttItem& item = (*items)[n];
                const std::string topic = MetaTopic(item.topic);
                const std::string payload = table->Payload(item);
                int mid = -1;
                const int rc = mosquitto_publish(mosq_, &mid, topic.c_str(), int(payload.size()),
                                                 payload.data(), qos, true);
                // Refused: the connection is going, and the next one sends every item's again.
                results.push_back({n, mid, rc == MOSQ_ERR_SUCCESS, 0});
            }
            lock.lock();
            record(Kind::Meta, generation);
            continue;
        }
        if (CanSend()) {
            batch.clear();
            store_->Take(std::min(kBatch, kWindow - outstanding_.size()), batch);
            const std::shared_ptr<const std::vector<TMqttItem>> items = items_;
            const uint64_t generation = generation_;
            lock.unlock();

            results.clear();
            for (const TItemUpdate& u : batch) {
                const TMqttItem& item = (*items)[u.item];
                if (item.topic.empty()) continue;
                const std::string payload = BuildMqttPayload(item.itemId, u.value.value, u.value.quality,
                                                             u.value.unixMs, u.value.seq);
                int mid = -1;
                const int rc = mosquitto_publish(mosq_, &mid, item.topic.c_str(), int(payload.size()),
                                                 payload.data(), qos, settings_.retain);
                // Without a connection a QoS 1 message is still queued, and libmosquitto sends it after
                // the reconnect: it is outstanding like any other, so that the snapshot waits for it
                // (sent again from the store, it could arrive after a newer value and replace it).
                const bool queued = rc == MOSQ_ERR_SUCCESS || (qos > 0 && rc == MOSQ_ERR_NO_CONN && mid > 0);
                results.push_back({u.item, mid, queued, u.value.unixMs});
            }

            lock.lock();
            bool failed = false;
            for (const TSent& r : results)
                if (!r.ok) {
                    store_->Requeue(r.item);
                    failed = true;
                }
            record(Kind::Value, generation);
            // Refused (the connection is going): try again once the state has settled.
            if (failed) wake_.wait_for(lock, std::chrono::milliseconds(100));
            continue;
        }
        const auto busy = [this] {
            return stop_ || CanSend() || MetaDue() || (snapshotPending_ && connected_);
        };
        if (replayActive_ && connected_ && outstanding_.size() < kReplayWindow) {
            if (replayReadIn != replayWindow_) {  // the window changed: read again where it stands
                replay.clear();
                replayPos = 0;
                replayReadIn = replayWindow_;
            }
            if (replayPos == replay.size()) {
                if (!replay.empty() && !replayMore) replayFrom_[replayOf] = kNoReplay;
                replay.clear();
                replayPos = 0;
                while (replayItem_ < replayFrom_.size() && replayFrom_[replayItem_] >= replayEnd_)
                    ++replayItem_;
                if (replayItem_ == replayFrom_.size()) {
                    replayActive_ = false;
                    if (const QString line = NoteReplayLine(
                            QStringLiteral("MQTT: повтор значений из истории с %1 по %2 (UTC) окончен: %3")
                                .arg(UtcText(replayStart_), UtcText(replayEnd_))
                                .arg(replayCount_));
                        !line.isEmpty())
                        tell(line);
                    continue;
                }
                const std::shared_ptr<IReplaySource> source = replaySource_;
                const uint32_t item = uint32_t(replayItem_);
                const uint64_t from = replayFrom_[item], end = replayEnd_, window = replayWindow_;
                lock.unlock();
                std::vector<TReplayValue> values = source->Read(item, from, end, kBatch);
                lock.lock();
                if (window != replayWindow_) continue;
                if (values.empty()) {
                    replayFrom_[item] = kNoReplay;
                    continue;
                }
                replayMore = values.size() == kBatch;
                replay = std::move(values);
                replayOf = item;
                continue;  // live values first, should any have come meanwhile
            }
            const TimePoint now = clock_();
            replayTokens_ = std::min(
                tokenCap, replayTokens_ + std::chrono::duration<double>(now - replayRefill_).count() * rate);
            replayRefill_ = now;
            if (replayTokens_ < 1) {
                const auto wait = std::chrono::duration<double>((1 - replayTokens_) / rate);
                wake_.wait_for(lock,
                               reportWait(std::clamp<std::chrono::steady_clock::duration>(
                                   std::chrono::duration_cast<std::chrono::steady_clock::duration>(wait),
                                   std::chrono::milliseconds(1), std::chrono::seconds(1))),
                               busy);
                continue;
            }
            const size_t n = std::min({size_t(replayTokens_), replay.size() - replayPos,
                                       kReplayWindow - outstanding_.size(), kBatch});
            const std::shared_ptr<const std::vector<TMqttItem>> items = items_;
            const uint64_t generation = generation_, window = replayWindow_;
            const uint32_t item = replayOf;
            const size_t first = replayPos;
            lock.unlock();
            results.clear();
            const TMqttItem& target = (*items)[item];
            for (size_t i = first; i < first + n; ++i) {
                const TReplayValue& v = replay[i];
                if (target.topic.empty()) {
                    results.push_back({item, -1, true, 0});
                    continue;
                }
                const std::string payload =
                    BuildReplayedMqttPayload(target.itemId, v.value, v.quality, FileTimeToUnixMs(v.fileTime));
                int mid = -1;
                const int rc = mosquitto_publish(mosq_, &mid, target.topic.c_str(), int(payload.size()),
                                                 payload.data(), qos, false);
                const bool queued = rc == MOSQ_ERR_SUCCESS || (qos > 0 && rc == MOSQ_ERR_NO_CONN && mid > 0);
                results.push_back({item, mid, queued, 0});
                if (!queued) break;
            }
            lock.lock();
            size_t done = 0;
            while (done < results.size() && results[done].ok) ++done;
            if (target.topic.empty()) results.clear();
            record(Kind::Replay, generation);
            replayTokens_ -= double(done);
            replayCount_ += done;
            if (window == replayWindow_) {
                replayPos = first + done;
                if (done > 0) replayFrom_[item] = replay[replayPos - 1].fileTime + 1;
            }
            if (done < results.size()) wake_.wait_for(lock, std::chrono::milliseconds(100));
            continue;
        }
        const auto ready = [&] {
            return busy() || (replayActive_ && connected_ && outstanding_.size() < kReplayWindow);
        };
        if (pending_ || replayLine_.pending)
            wake_.wait_for(lock, reportWait(kReportSpacing), ready);
        else
            wake_.wait(lock, ready);
    }
}

}  // namespace qora
