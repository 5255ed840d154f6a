#include "opc/item_bindings.h"

#include <unistd.h>

#include <chrono>
#include <random>

namespace qora {

namespace {

uint32_t NewRunMarker() {
    std::random_device rd;
    uint64_t seed = (uint64_t(rd()) << 32) ^ rd();
    seed ^= uint64_t(std::chrono::steady_clock::now().time_since_epoch().count());
    seed ^= uint64_t(::getpid()) << 17;
    std::mt19937_64 gen(seed);
    return 1 + uint32_t(gen() % 8191);  // 1 .. 8191: 13 bits above the item number
}

}  // namespace

TItemBindings::TItemBindings() : runMarker_(NewRunMarker()) {}

void TItemBindings::Reset(int count) {
    count_ = count;
    createdSlot_.reset(new uint8_t[size_t(count) + 1]());
    locations_.reset(new std::atomic<uint32_t>[size_t(count) + 1]);
    orphaned_.reset(new std::atomic<uint8_t>[size_t(count) + 1]);
    for (int i = 0; i <= count; ++i) {
        locations_[i].store(kNoLocation, std::memory_order_relaxed);
        orphaned_[i].store(0, std::memory_order_relaxed);
    }
}

bool TItemBindings::Decode(int32_t field, int k, int* n) const {
    if (field <= 0) return false;
    const uint32_t u = static_cast<uint32_t>(field);
    if ((u >> kItemBits) != runMarker_) return false;
    const int item = static_cast<int>(u & ((1u << kItemBits) - 1));
    if (item >= count_ || createdSlot_[item] != k) return false;
    *n = item;
    return true;
}

}  // namespace qora
