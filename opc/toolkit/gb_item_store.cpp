#include "opc/toolkit/gb_item_store.h"

#include <cstring>

namespace gb {

const char* ItemStore::CopyId(std::string_view text) {
    if (text.empty()) return nullptr;
    if (text.size() > blockLeft_) {
        // A new block; an ID longer than a block gets a block of its own size. What the old block
        // has left stays unused (under one ID's length).
        const size_t size = text.size() > kArenaBlockBytes ? text.size() : kArenaBlockBytes;
        blocks_.emplace_back(new char[size]);
        blockBytes_ += size;
        blockNext_ = blocks_.back().get();
        blockLeft_ = size;
    }
    char* at = blockNext_;
    std::memcpy(at, text.data(), text.size());
    blockNext_ += text.size();
    blockLeft_ -= text.size();
    return at;
}

ItemStore::Record& ItemStore::Append(std::string_view idUtf8) {
    if (size_ == chunks_.size() * kChunkItems) chunks_.emplace_back(new Record[kChunkItems]);
    Record& r = (*this)[size_];
    r = Record{};
    r.id = CopyId(idUtf8);
    r.idLength = static_cast<uint32_t>(idUtf8.size());
    ++size_;
    return r;
}

size_t ItemStore::Footprint() const {
    return chunks_.size() * kChunkItems * sizeof(Record) + blockBytes_ +
           chunks_.capacity() * sizeof(chunks_[0]) + blocks_.capacity() * sizeof(blocks_[0]);
}

}  // namespace gb
