#include "mqtt/latest_value_store.h"

namespace qora {

namespace {
constexpr uint8_t kKnown = 1;
constexpr uint8_t kWaiting = 2;
}  // namespace

TLatestValueStore::TLatestValueStore(size_t itemCount)
    : values_(itemCount), flags_(itemCount, 0), ring_(itemCount, 0) {}

void TLatestValueStore::Enqueue(uint32_t item) {
    flags_[item] |= kWaiting;
    ring_[(head_ + count_) % ring_.size()] = item;
    ++count_;
}

bool TLatestValueStore::Put(const TItemUpdate& update) {
    if (update.item >= values_.size()) return false;
    const uint32_t seq = values_[update.item].seq + 1;
    values_[update.item] = update.value;
    values_[update.item].seq = seq;
    uint8_t& f = flags_[update.item];
    f |= kKnown;
    if (f & kWaiting) return true;
    Enqueue(update.item);
    return false;
}

size_t TLatestValueStore::Take(size_t max, std::vector<TItemUpdate>& out) {
    size_t n = 0;
    while (n < max && count_ > 0) {
        const uint32_t item = ring_[head_];
        head_ = (head_ + 1) % ring_.size();
        --count_;
        flags_[item] &= uint8_t(~kWaiting);
        out.push_back({item, values_[item]});
        ++n;
    }
    return n;
}

void TLatestValueStore::Requeue(uint32_t item) {
    if (item < values_.size() && (flags_[item] & kKnown) && !(flags_[item] & kWaiting)) Enqueue(item);
}

void TLatestValueStore::RequeueAll() {
    // Starts the queue afresh in item order, so the snapshot goes out in item order.
    head_ = 0;
    count_ = 0;
    for (size_t i = 0; i < values_.size(); ++i) {
        flags_[i] &= uint8_t(~kWaiting);
        if (flags_[i] & kKnown) Enqueue(static_cast<uint32_t>(i));
    }
}

}  // namespace qora
