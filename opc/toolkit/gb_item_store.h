// The toolkit's items: their records, placements, metadata and published state, the update
// blocks that stage GBSetItem calls, and the cache generation. ItemStore is the only holder of
// item state; its one shared mutex guards all of it (the update blocks are per thread and need
// no lock).
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <shared_mutex>
#include <string>
#include <string_view>
#include <vector>

#include "opc/toolkit/gb_item_writer.h"
#include "opc/toolkit/gb_types.h"
#include "ua/nodes/backend.h"

namespace gb {

struct GBItemPlacement;

// Handles are the item's position plus this base: opaque to callers, never 0.
inline constexpr uint32_t kFirstItemHandle = 0x1001;

// Compact storage of the records: fixed-size records in chunks of kChunkItems (a record never
// moves once created, and growing never copies the records made before), and the item IDs as
// UTF-8 in an arena of large blocks (no allocation and no string header per item).
// Not thread-safe by itself: ItemStore guards it.
class ItemRecords {
  public:
    static constexpr size_t kChunkItems = 4096;
    static constexpr size_t kArenaBlockBytes = 64 * 1024;

    // 40 bytes (the largest configuration has 204 800): the value is its type and 8 bytes, and
    // the access rights (OPC_READABLE | OPC_WRITEABLE) and EU type (0..2) are bytes.
    struct Record {
        const char* id = nullptr;  // UTF-8, not terminated; lives in the arena
        uint64_t timestamp = 0;
        int64_t valueBits = 0;   // the VARIANT's value bytes
        int32_t itemNumber = 0;  // the server's number, as passed to GBCreateItem
        uint32_t idLength = 0;
        uint16_t canonicalType = VT_EMPTY;
        uint16_t valueType = VT_EMPTY;
        uint16_t quality = 0;
        uint8_t accessRights = 0;
        int8_t euType = OPC_NOENUM;

        VARIANT Value() const {
            VARIANT v;
            v.vt = valueType;
            v.llVal = valueBits;
            return v;
        }
        void SetValue(const VARIANT& v) {
            valueType = v.vt;
            valueBits = v.llVal;
        }
        std::string_view Id() const { return {id, idLength}; }
    };

    ItemRecords() = default;
    ItemRecords(const ItemRecords&) = delete;
    ItemRecords& operator=(const ItemRecords&) = delete;

    size_t Size() const { return size_; }
    Record& operator[](size_t i) { return chunks_[i / kChunkItems][i % kChunkItems]; }
    const Record& operator[](size_t i) const { return chunks_[i / kChunkItems][i % kChunkItems]; }
    // Appends a record whose ID is a copy of idUtf8; returns it (its position is Size() - 1).
    Record& Append(std::string_view idUtf8);

    // Bytes held by the records and the arena (capacity, not use).
    size_t Footprint() const;

  private:
    const char* CopyId(std::string_view text);

    std::vector<std::unique_ptr<Record[]>> chunks_;
    size_t size_ = 0;
    std::vector<std::unique_ptr<char[]>> blocks_;
    size_t blockBytes_ = 0;  // bytes of the arena's blocks, for Footprint
    char* blockNext_ = nullptr;
    size_t blockLeft_ = 0;
};

// A copy of one item, published state included.
struct ItemCopy {
    uint32_t handle = 0;
    int32_t itemNumber = 0;  // the server's number, as passed to GBCreateItem
    std::u16string id;
    std::string idUtf8;
    uint32_t accessRights = OPC_READABLE;
    uint16_t canonicalType = VT_R4;
    OPCEUTYPE euType = OPC_NOENUM;
    VARIANT value;
    uint16_t quality = OPC_QUALITY_WAITING_FOR_INITIAL_DATA;
    uint64_t timestamp = 0;
};

class ItemStore {
  public:
    // One staged GBSetItem, 16 bytes (a push of the largest configuration stages 204 800):
    // the VARIANT's type and its 8 value bytes; the timestamp is kept apart, once per run of
    // entries that share it (a push gives all its items one time).
    struct Staged {
        uint32_t handle;
        uint16_t quality;
        uint16_t vt;
        int64_t bits;
        VARIANT Value() const {
            VARIANT v;
            v.vt = vt;
            v.llVal = bits;
            return v;
        }
    };
    // Entries from `first` on carry `time`, up to the next run's first.
    struct StagedTime {
        size_t first;
        uint64_t time;
    };

    ItemStore();
    ItemStore(const ItemStore&) = delete;
    ItemStore& operator=(const ItemStore&) = delete;

    // The operations behind GBCreateItem, GBSetItemMetadata, GBBeginUpdate, GBEndUpdate, GBSetItem.
    HRESULT Create(uint32_t* outHandle, int32_t itemNumber, const char16_t* itemId, uint32_t accessRights,
                   const VARIANT* initialValue, OPCEUTYPE euType, const GBItemPlacement* placement);
    void SetMetadata(std::vector<qora::ua::ItemMetadata> table);
    HRESULT BeginUpdate();
    HRESULT EndUpdate(int32_t flag);
    HRESULT SetItem(uint32_t handle, const VARIANT* value, uint16_t quality, FILETIME timestamp);
    // The operation behind GBSetItems: fill runs with the exclusive lock held.
    void SetItems(FILETIME timestamp, const std::function<void(GBItemWriter&)>& fill);

    uint32_t Count() const { return count_.load(std::memory_order_acquire); }
    bool ValidHandle(uint32_t handle) const {
        return handle >= kFirstItemHandle && handle - kFirstItemHandle < Count();
    }
    // True when the item of handle was created with the ID id (compared as UTF-8).
    bool IdIs(uint32_t handle, std::u16string_view id) const;
    std::string_view IdUtf8(uint32_t handle) const;
    // A copy of one item; false for an unknown handle.
    bool Get(uint32_t handle, ItemCopy* out) const;

    // What the client side reads: the items with their placements, the metadata table, the
    // generation (incremented whenever published state changes) and the cached samples
    // (ItemSample{} for an unknown handle).
    std::vector<qora::ua::ItemInfo> List() const;
    std::vector<qora::ua::ItemMetadata> Metadata() const;
    uint64_t Generation() const { return generation_.load(std::memory_order_acquire); }
    void ReadCache(const uint32_t* handles, size_t count, qora::ua::ItemSample* out) const;

    // Bytes the records and IDs hold.
    size_t Footprint() const;
    // Number of outermost update blocks that have ended, by flag (0 / non-zero).
    uint64_t EndedBlocks(bool flagged) const;

  private:
    void Apply(const Staged* entries, size_t count, const StagedTime* times, size_t timeCount);
    // Why value cannot be set on handle (S_OK when it can): GBSetItem's and GBSetItems' checks.
    HRESULT CheckSettable(uint32_t handle, const VARIANT& value) const;
    // Converts value to the item's type and sets it (mutex_ held); false for an unknown handle
    // or a value that does not convert.
    bool Store(uint32_t handle, const VARIANT& value, uint16_t quality, uint64_t time);

    const uint64_t serial_;  // tells this store's update blocks apart from another's

    mutable std::shared_mutex mutex_;  // everything below but the atomics
    ItemRecords records_;
    // Placement of each item (parallel to records_, empty while no item has one); the names of
    // points and devices are kept once each (UTF-8), by position.
    struct Placement {
        int16_t point = -1, device = -1;
        uint16_t metadata = 0;
    };
    std::vector<Placement> placements_;
    std::vector<std::string> pointNames_;
    std::vector<std::vector<std::string>> deviceNames_;
    std::vector<qora::ua::ItemMetadata> metadata_;

    std::atomic<uint32_t> count_{0};
    std::atomic<uint64_t> generation_{0};
    std::atomic<uint64_t> endedBlocks_[2] = {};
};

}  // namespace gb
