// Which slot serves each item of this run: the run's marker in the records' item number fields,
// the parameter slot each item was created for, the location (point, device, slot) of the slot
// that serves it as the last verification found it, whether it has lost its slot (orphaned),
// and the edit generation that verification saw. Sized once by the OPC start; locations, orphan
// flags and the generation are atomics that the toolkit's threads read while the window thread
// verifies.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>

#include "config/records.h"

namespace qora {

class TItemBindings {
  public:
    static constexpr int kItemBits = 18;  // 2^18 > 50 x 128 x 32 items
    static constexpr uint32_t kNoLocation = 0xFFFFFFFFu;
    static_assert(kMaxPoints * kMaxDevicesPerPoint * kParamsPerDevice <= 1 << kItemBits);

    struct Location {
        int point = 0, device = 0, slot = 0;
    };

    TItemBindings();  // draws this run's marker

    // count items, none placed nor orphaned.
    void Reset(int count);
    int Count() const { return count_; }

    // The record field value for item n in this run, and back: false for a field of another
    // run (or none) and for an item created for another slot than k.
    int32_t Encode(int n) const { return static_cast<int32_t>((runMarker_ << kItemBits) | uint32_t(n)); }
    bool Decode(int32_t field, int k, int* n) const;

    void SetCreatedSlot(int n, int k) { createdSlot_[n] = static_cast<uint8_t>(k); }
    int CreatedSlot(int n) const { return createdSlot_[n]; }

    static uint32_t Pack(int p, int d, int k) {
        return uint32_t(p) << (kDeviceBits + kSlotBits) | uint32_t(d) << kSlotBits | uint32_t(k);
    }
    static Location Unpack(uint32_t packed) {
        return {int(packed >> (kDeviceBits + kSlotBits)),
                int((packed >> kSlotBits) & ((1u << kDeviceBits) - 1)),
                int(packed & ((1u << kSlotBits) - 1))};
    }
    uint32_t Packed(int n) const { return locations_[n].load(std::memory_order_relaxed); }
    void Place(int n, int p, int d, int k) { locations_[n].store(Pack(p, d, k), std::memory_order_relaxed); }

    bool Orphaned(int n) const { return orphaned_[n].load(std::memory_order_acquire) != 0; }
    // True when n was not orphaned before.
    bool MarkOrphaned(int n) { return orphaned_[n].exchange(1, std::memory_order_acq_rel) == 0; }
    void ClearOrphan(int n) { orphaned_[n].store(0, std::memory_order_release); }

    // The edit generation the last verification outside an edit saw.
    uint64_t VerifiedAt() const { return verifiedAt_.load(std::memory_order_acquire); }
    void SetVerifiedAt(uint64_t generation) { verifiedAt_.store(generation, std::memory_order_release); }

  private:
    static constexpr int kSlotBits = 5;
    static constexpr int kDeviceBits = 7;
    static_assert(kParamsPerDevice <= 1 << kSlotBits && kMaxDevicesPerPoint <= 1 << kDeviceBits);

    // 13 bits, never 0, so fields stay positive and a zeroed record never matches.
    const uint32_t runMarker_;
    int count_ = 0;
    std::unique_ptr<uint8_t[]> createdSlot_;
    std::unique_ptr<std::atomic<uint32_t>[]> locations_;
    std::unique_ptr<std::atomic<uint8_t>[]> orphaned_;
    std::atomic<uint64_t> verifiedAt_{0};
};

}  // namespace qora
