// The push's observer that keeps the local history: every pushed item whose value or quality
// changed goes to the store with the push's time; an item that lost its slot stores nothing.
// Runs on the window thread and never waits for the disk (the store queues).
#pragma once

#include <memory>
#include <mutex>

#include "history/history_store.h"
#include "mqtt/replay_source.h"
#include "opc/push_observer.h"
#include "opc/toolkit/gb_data_access.h"

namespace qora {

class THistoryRecorder : public IPushObserver {
  public:
    explicit THistoryRecorder(std::unique_ptr<history::Store> store) : store_(std::move(store)) {}
    void Pushed(const COPCServer& server, const TPushReport& report) override;
    history::Store& Store() { return *store_; }

  private:
    std::unique_ptr<history::Store> store_;
    std::vector<history::Sample> batch_;
};

// The history as the MQTT publisher's replay source: items by their item number (the store keys
// them by toolkit handle). A read that reaches past what was last made sure of first waits for
// the store to commit what it queued, so the values of the outage's last second are there.
class THistoryReplaySource : public IReplaySource {
  public:
    THistoryReplaySource(history::Store& store, const COPCServer& server) : store_(store), server_(server) {}
    std::vector<TReplayValue> Read(uint32_t item, uint64_t start, uint64_t end, size_t max) override;

  private:
    history::Store& store_;
    const COPCServer& server_;
    std::mutex mutex_;
    uint64_t flushedUpTo_ = 0;  // every value before this was committed when it was asked for
};
// What the endpoint's HistoryRead reads: the store's values by toolkit handle, forwards or (start
// after end) backwards. The store must outlive the provider's installation.
gb::GBHistoryProvider HistoryReadProvider(history::Store& store);

}  // namespace qora
