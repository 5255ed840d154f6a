// The push's observer that keeps the local history: every pushed item whose value or quality
// changed goes to the store with the push's time; an item that lost its slot stores nothing.
// Runs on the window thread and never waits for the disk (the store queues).
#pragma once

#include <memory>

#include "history/history_store.h"
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

// What the endpoint's HistoryRead reads: the store's values by toolkit handle, forwards or (start
// after end) backwards. The store must outlive the provider's installation.
gb::GBHistoryProvider HistoryReadProvider(history::Store& store);

}  // namespace qora
