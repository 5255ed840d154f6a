// Compact storage of the toolkit's items: fixed-size records in chunks of kChunkItems (a record
// never moves once created, and growing never copies the records made before), and the item IDs
// as UTF-8 in an arena of large blocks (no allocation and no string header per item).
//
// Not thread-safe by itself: the toolkit guards it with its store mutex.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string_view>
#include <vector>

#include "opc/toolkit/gb_types.h"

namespace gb {

class ItemStore {
  public:
    static constexpr size_t kChunkItems = 4096;
    static constexpr size_t kArenaBlockBytes = 64 * 1024;

    struct Record {
        const char* id = nullptr;  // UTF-8, not terminated; lives in the arena
        uint32_t idLength = 0;
        int32_t itemNumber = 0;  // the server's number, as passed to GBCreateItem
        uint32_t accessRights = 0;
        uint16_t canonicalType = VT_EMPTY;
        uint16_t quality = 0;
        OPCEUTYPE euType = OPC_NOENUM;
        VARIANT value;
        uint64_t timestamp = 0;

        std::string_view Id() const { return {id, idLength}; }
    };

    ItemStore() = default;
    ItemStore(const ItemStore&) = delete;
    ItemStore& operator=(const ItemStore&) = delete;

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

}  // namespace gb
