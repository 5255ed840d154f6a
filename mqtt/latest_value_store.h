// The latest value of every item, and which of them still wait to be published.
//
// Bounded by the item count whatever happens: one entry per item, and each item sits at most
// once in the waiting queue (a ring of item-count entries allocated up front). A value that
// arrives while the previous one of the same item still waits replaces it; the replaced one is
// counted as dropped. Items wait in the order they first changed.
//
// Not thread-safe: the publisher guards it with its own mutex.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace qora {

struct TItemValue {
    float value = 0;
    uint16_t quality = 0;
    int64_t unixMs = 0;
    // The item's sequence number, given by the store: 1 for its first value of the run, one
    // more for each later one, so a consumer sees from a gap that values were replaced unsent.
    uint32_t seq = 0;
};

struct TItemUpdate {
    uint32_t item;
    TItemValue value;
};

class TLatestValueStore {
  public:
    explicit TLatestValueStore(size_t itemCount);

    size_t ItemCount() const { return values_.size(); }
    size_t WaitingCount() const { return count_; }

    // Records the latest value of item with the item's next sequence number; returns true when
    // it replaced a value still waiting. Items outside the store are ignored.
    bool Put(const TItemUpdate& update);
    // Moves up to max waiting items, oldest first, to out (appended).
    size_t Take(size_t max, std::vector<TItemUpdate>& out);
    // Puts an item that has a value back in the queue (its publishing failed).
    void Requeue(uint32_t item);
    // Every item that has a value waits again (the snapshot after a connect).
    void RequeueAll();

  private:
    void Enqueue(uint32_t item);

    std::vector<TItemValue> values_;
    std::vector<uint8_t> flags_;  // kKnown | kWaiting
    std::vector<uint32_t> ring_;
    size_t head_ = 0;
    size_t count_ = 0;
};

}  // namespace qora
