#include "opc/toolkit/gb_item_store.h"

#include <algorithm>
#include <cstring>
#include <mutex>

#include "base/file_time.h"
#include "opc/toolkit/gb_data_access.h"

namespace gb {

static_assert(sizeof(ItemRecords::Record) <= 40, "a record per item: keep it small");

const char* ItemRecords::CopyId(std::string_view text) {
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

ItemRecords::Record& ItemRecords::Append(std::string_view idUtf8) {
    if (size_ == chunks_.size() * kChunkItems) chunks_.emplace_back(new Record[kChunkItems]);
    Record& r = (*this)[size_];
    r = Record{};
    r.id = CopyId(idUtf8);
    r.idLength = static_cast<uint32_t>(idUtf8.size());
    ++size_;
    return r;
}

size_t ItemRecords::Footprint() const {
    return chunks_.size() * kChunkItems * sizeof(Record) + blockBytes_ +
           chunks_.capacity() * sizeof(chunks_[0]) + blocks_.capacity() * sizeof(blocks_[0]);
}

// ---------------------------------------------------------------------------------------------
// ItemStore

namespace {

std::atomic<uint64_t> g_nextSerial{1};

// An update block of one thread on one item store. Blocks are per thread so that the
// window thread's push and a toolkit thread's refresh never publish each other's halves.
struct Block {
    uint64_t serial = 0;
    int depth = 0;
    std::vector<ItemStore::Staged> pending;
    std::vector<ItemStore::StagedTime> times;
};

thread_local std::vector<Block> t_blocks;

Block* FindBlock(uint64_t serial) {
    for (Block& b : t_blocks)
        if (b.serial == serial && b.depth > 0) return &b;
    return nullptr;
}

Block& OpenBlock(uint64_t serial) {
    if (Block* b = FindBlock(serial)) return *b;
    for (Block& b : t_blocks) {
        if (b.depth == 0) {  // reuse an ended block (keeps its capacity)
            b.serial = serial;
            b.pending.clear();
            b.times.clear();
            return b;
        }
    }
    t_blocks.emplace_back();
    t_blocks.back().serial = serial;
    return t_blocks.back();
}

void FillSample(const ItemRecords::Record& item, qora::ua::ItemSample* out) {
    double d = 0;
    VariantToDouble(item.Value(), &d);
    out->value = static_cast<float>(d);
    out->quality = item.quality;
    out->sourceTime = item.timestamp;
    out->valid = true;
}

}  // namespace

ItemStore::ItemStore() : serial_(g_nextSerial.fetch_add(1, std::memory_order_relaxed)) {}

HRESULT ItemStore::Create(uint32_t* outHandle, int32_t itemNumber, const char16_t* itemId,
                          uint32_t accessRights, const VARIANT* initialValue, OPCEUTYPE euType,
                          const GBItemPlacement* placement) {
    if (!outHandle || !initialValue) return E_POINTER;
    if (!itemId || itemId[0] == 0) return E_INVALIDARG;
    const bool placed = placement && placement->point >= 0 && placement->device >= 0;
    if (placed && (placement->point > INT16_MAX || placement->device > INT16_MAX)) return E_INVALIDARG;
    if (!IsNumericVarType(initialValue->vt)) return OPC_E_BADTYPE;
    if ((accessRights & ~(OPC_READABLE | OPC_WRITEABLE)) != 0 || euType < 0 || euType > 2)
        return E_INVALIDARG;
    const std::string idUtf8 = Utf16ToUtf8(std::u16string_view(itemId, Utf16Length(itemId)));
    const uint64_t now = qora::NowFileTime();
    std::unique_lock lock(mutex_);
    ItemRecords::Record& item = records_.Append(idUtf8);
    item.itemNumber = itemNumber;
    item.accessRights = static_cast<uint8_t>(accessRights);
    item.canonicalType = initialValue->vt;
    item.euType = static_cast<int8_t>(euType);
    item.SetValue(*initialValue);
    item.quality = OPC_QUALITY_WAITING_FOR_INITIAL_DATA;
    item.timestamp = now;
    if (placed) {
        const auto p = static_cast<size_t>(placement->point), d = static_cast<size_t>(placement->device);
        if (pointNames_.size() <= p) {
            pointNames_.resize(p + 1);
            deviceNames_.resize(p + 1);
        }
        if (pointNames_[p].empty() && placement->pointName)
            pointNames_[p] =
                Utf16ToUtf8(std::u16string(placement->pointName, Utf16Length(placement->pointName)));
        if (deviceNames_[p].size() <= d) deviceNames_[p].resize(d + 1);
        if (deviceNames_[p][d].empty() && placement->deviceName)
            deviceNames_[p][d] =
                Utf16ToUtf8(std::u16string(placement->deviceName, Utf16Length(placement->deviceName)));
        placements_.resize(records_.Size() - 1);
        placements_.push_back({static_cast<int16_t>(p), static_cast<int16_t>(d), placement->metadata});
    }
    count_.store(static_cast<uint32_t>(records_.Size()), std::memory_order_release);
    *outHandle = kFirstItemHandle + static_cast<uint32_t>(records_.Size() - 1);
    return S_OK;
}

void ItemStore::SetMetadata(std::vector<qora::ua::ItemMetadata> table) {
    std::unique_lock lock(mutex_);
    metadata_ = std::move(table);
}

HRESULT ItemStore::BeginUpdate() {
    ++OpenBlock(serial_).depth;
    return S_OK;
}

HRESULT ItemStore::EndUpdate(int32_t flag) {
    Block* b = FindBlock(serial_);
    if (!b) return E_FAIL;  // no block open on this thread
    if (--b->depth > 0) return S_OK;
    Apply(b->pending.data(), b->pending.size(), b->times.data(), b->times.size());
    b->pending.clear();
    b->times.clear();
    endedBlocks_[flag != 0 ? 1 : 0].fetch_add(1, std::memory_order_relaxed);
    return S_OK;
}

HRESULT ItemStore::SetItem(uint32_t handle, const VARIANT* value, uint16_t quality, FILETIME timestamp) {
    if (!value) return E_POINTER;
    if (const HRESULT hr = CheckSettable(handle, *value); hr != S_OK) return hr;
    const Staged p{handle, quality, value->vt, value->llVal};
    const uint64_t time = timestamp.ToU64();
    if (Block* b = FindBlock(serial_)) {
        // A push sets every item: grow to the item count at once rather than by doubling past it.
        if (b->pending.size() == b->pending.capacity())
            b->pending.reserve(std::max<size_t>(Count(), b->pending.capacity() * 2));
        if (b->times.empty() || b->times.back().time != time) b->times.push_back({b->pending.size(), time});
        b->pending.push_back(p);
        return S_OK;
    }
    const StagedTime t{0, time};
    Apply(&p, 1, &t, 1);
    return S_OK;
}

HRESULT ItemStore::CheckSettable(uint32_t handle, const VARIANT& value) const {
    if (!ValidHandle(handle)) return OPC_E_INVALIDHANDLE;
    if (value.vt != VT_EMPTY && !IsNumericVarType(value.vt)) return OPC_E_BADTYPE;
    return S_OK;
}

bool ItemStore::Store(uint32_t handle, const VARIANT& value, uint16_t quality, uint64_t time) {
    const size_t idx = handle - kFirstItemHandle;
    if (handle < kFirstItemHandle || idx >= records_.Size()) return false;
    ItemRecords::Record& item = records_[idx];
    VARIANT converted;
    if (FAILED(VariantChangeType(&converted, &value, item.canonicalType))) return false;
    item.SetValue(converted);
    item.quality = quality;
    item.timestamp = time;
    return true;
}

void ItemStore::Apply(const Staged* entries, size_t count, const StagedTime* times, size_t timeCount) {
    if (count == 0) return;  // nothing changed: the generation stays
    {
        std::unique_lock lock(mutex_);
        size_t run = 0;
        for (size_t i = 0; i < count; ++i) {
            while (run + 1 < timeCount && times[run + 1].first <= i) ++run;
            const Staged& e = entries[i];
            Store(e.handle, e.Value(), e.quality, times[run].time);
        }
    }
    generation_.fetch_add(1, std::memory_order_release);
}

void ItemStore::SetItems(FILETIME timestamp, const std::function<void(GBItemWriter&)>& fill) {
    struct Writer final : GBItemWriter {
        ItemStore& store;
        uint64_t time;
        Writer(ItemStore& s, uint64_t t) : store(s), time(t) {}
        HRESULT Set(uint32_t handle, const VARIANT& value, uint16_t quality) override {
            const HRESULT hr = store.CheckSettable(handle, value);
            if (hr == S_OK) store.Store(handle, value, quality, time);
            return hr;
        }
    };
    {
        std::unique_lock lock(mutex_);
        Writer writer(*this, timestamp.ToU64());
        fill(writer);
    }
    generation_.fetch_add(1, std::memory_order_release);
}

bool ItemStore::IdIs(uint32_t handle, std::u16string_view id) const {
    if (!ValidHandle(handle)) return false;
    thread_local std::string utf8;
    utf8 = Utf16ToUtf8(id);
    std::shared_lock lock(mutex_);
    return records_[handle - kFirstItemHandle].Id() == utf8;
}

std::string_view ItemStore::IdUtf8(uint32_t handle) const {
    if (!ValidHandle(handle)) return {};
    std::shared_lock lock(mutex_);
    return records_[handle - kFirstItemHandle].Id();
}

bool ItemStore::Get(uint32_t handle, ItemCopy* out) const {
    if (!ValidHandle(handle)) return false;
    std::shared_lock lock(mutex_);
    if (out) {
        const ItemRecords::Record& r = records_[handle - kFirstItemHandle];
        out->handle = handle;
        out->itemNumber = r.itemNumber;
        out->idUtf8.assign(r.Id());
        out->id = Utf8ToUtf16(r.Id());
        out->accessRights = r.accessRights;
        out->canonicalType = r.canonicalType;
        out->euType = r.euType;
        out->value = r.Value();
        out->quality = r.quality;
        out->timestamp = r.timestamp;
    }
    return true;
}

std::vector<qora::ua::ItemInfo> ItemStore::List() const {
    std::shared_lock lock(mutex_);
    std::vector<qora::ua::ItemInfo> out;
    out.reserve(records_.Size());
    for (size_t i = 0; i < records_.Size(); ++i) {
        const ItemRecords::Record& item = records_[i];
        qora::ua::ItemInfo info;
        info.handle = kFirstItemHandle + static_cast<uint32_t>(i);
        info.itemId.assign(item.Id());
        info.accessRights = item.accessRights;
        if (i < placements_.size() && placements_[i].point >= 0) {
            info.point = placements_[i].point;
            info.device = placements_[i].device;
            info.pointName = pointNames_[size_t(info.point)];
            info.deviceName = deviceNames_[size_t(info.point)][size_t(info.device)];
            info.metadata = placements_[i].metadata;
        }
        out.push_back(std::move(info));
    }
    return out;
}

std::vector<qora::ua::ItemMetadata> ItemStore::Metadata() const {
    std::shared_lock lock(mutex_);
    return metadata_;
}

void ItemStore::ReadCache(const uint32_t* handles, size_t count, qora::ua::ItemSample* out) const {
    std::shared_lock lock(mutex_);
    for (size_t i = 0; i < count; ++i) {
        out[i] = qora::ua::ItemSample{};
        const uint32_t h = handles[i];
        if (h < kFirstItemHandle || h - kFirstItemHandle >= records_.Size()) continue;
        FillSample(records_[h - kFirstItemHandle], &out[i]);
    }
}

size_t ItemStore::Footprint() const {
    std::shared_lock lock(mutex_);
    return records_.Footprint();
}

uint64_t ItemStore::EndedBlocks(bool flagged) const {
    return endedBlocks_[flagged ? 1 : 0].load(std::memory_order_relaxed);
}

}  // namespace gb
