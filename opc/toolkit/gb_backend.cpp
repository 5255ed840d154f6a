#include "opc/toolkit/gb_backend.h"

#include <algorithm>

#include "base/file_time.h"

namespace gb {

BackendAdapter::BackendAdapter(GBOPCDataAccessBase& owner, ItemStore& store,
                               DiagnosticsProviders& diagnostics, HistoryProviderSlot& history)
    : owner_(owner), store_(store), diagnostics_(diagnostics), history_(history) {}

std::vector<qora::ua::ItemInfo> BackendAdapter::ListItems() {
    return store_.List();
}

uint64_t BackendAdapter::CacheGeneration() {
    return store_.Generation();
}

void BackendAdapter::ReadCache(const uint32_t* handles, size_t count, qora::ua::ItemSample* out) {
    store_.ReadCache(handles, count, out);
}

std::vector<GBItemID> BackendAdapter::KnownItems(const uint32_t* handles, size_t count) const {
    std::vector<GBItemID> items;
    items.reserve(count);
    for (size_t i = 0; i < count; ++i)
        if (store_.ValidHandle(handles[i]))
            items.push_back(GBItemID{handles[i], static_cast<uint32_t>(i), 0});
    return items;
}

namespace {

// Arrays of one device read, kept per endpoint thread between reads: a client reading many items
// many times a second would otherwise allocate and free six arrays per read.
struct DeviceReadScratch {
    std::vector<size_t> positions;
    std::vector<GBItemID> items;
    std::vector<VARIANT> values;
    std::vector<uint16_t> qualities;
    std::vector<FILETIME> timestamps;
    std::vector<HRESULT> errors;

    // Gives back what one unusually large read took.
    void Trim() {
        constexpr size_t kKeptItems = 4096;
        if (items.capacity() <= kKeptItems) return;
        positions = {};
        items = {};
        values = {};
        qualities = {};
        timestamps = {};
        errors = {};
    }
};

}  // namespace

void BackendAdapter::ReadDevice(const uint32_t* handles, size_t count, qora::ua::ItemSample* out) {
    thread_local DeviceReadScratch scratch;
    std::vector<size_t>& positions = scratch.positions;
    std::vector<GBItemID>& items = scratch.items;
    positions.clear();
    items.clear();
    positions.reserve(count);
    items.reserve(count);
    for (size_t i = 0; i < count; ++i) {
        if (!store_.ValidHandle(handles[i])) continue;
        items.push_back(GBItemID{handles[i], static_cast<uint32_t>(i), 0});
        positions.push_back(i);
    }
    if (items.empty()) {
        for (size_t i = 0; i < count; ++i) out[i] = qora::ua::ItemSample{};
        return;
    }
    const size_t n = items.size();
    scratch.values.assign(n, VARIANT{});
    scratch.qualities.assign(n, OPC_QUALITY_BAD);
    scratch.timestamps.assign(n, FILETIME{});
    scratch.errors.assign(n, E_FAIL);  // positions the server leaves alone stay failed
    owner_.GBOnReadItems(static_cast<uint32_t>(n), items.data(), scratch.values.data(),
                         scratch.qualities.data(), scratch.timestamps.data(), scratch.errors.data(), nullptr,
                         nullptr, nullptr, nullptr, nullptr);
    // The cache as the callback left it (unknown handles: ItemSample{}), then what the server
    // answered over it.
    store_.ReadCache(handles, count, out);
    for (size_t j = 0; j < n; ++j) {
        double d = 0;
        if (scratch.errors[j] != S_OK || !VariantToDouble(scratch.values[j], &d)) continue;
        qora::ua::ItemSample& s = out[positions[j]];
        s.value = static_cast<float>(d);
        s.quality = scratch.qualities[j];
        s.sourceTime = scratch.timestamps[j].ToU64();
        s.valid = true;
    }
    scratch.Trim();
}

void BackendAdapter::RefreshFromDevice(const uint32_t* handles, size_t count) {
    std::vector<GBItemID> items = KnownItems(handles, count);
    if (items.empty()) return;
    const size_t n = items.size();
    std::vector<uint16_t> qualities(n, OPC_QUALITY_BAD);
    std::vector<FILETIME> timestamps(n);
    std::vector<HRESULT> errors(n, E_FAIL);
    owner_.GBOnReadItems(static_cast<uint32_t>(n), items.data(), nullptr, qualities.data(), timestamps.data(),
                         errors.data(), nullptr, nullptr, nullptr, nullptr, nullptr);
}

void BackendAdapter::Write(const uint32_t* handles, size_t count) {
    std::vector<GBItemID> items = KnownItems(handles, count);
    if (items.empty()) return;
    const size_t n = items.size();
    std::vector<VARIANT> values(n);
    std::vector<uint16_t> qualities(n, OPC_QUALITY_GOOD);
    std::vector<FILETIME> timestamps(n, FILETIME::FromU64(qora::NowFileTime()));
    std::vector<HRESULT> errors(n, S_OK);
    owner_.GBOnWriteItems(static_cast<uint32_t>(n), items.data(), values.data(), qualities.data(),
                          timestamps.data(), errors.data(), nullptr, nullptr, nullptr);
}

void BackendAdapter::SessionCreated() {
    void* instance = nullptr;
    owner_.CreateInstance(nullptr, IID_IUnknown, &instance);
}

void BackendAdapter::SessionClosed() {
    owner_.GBOnDestroyInstance(&owner_);
    ClientReferenceDropped();
}

void BackendAdapter::ChannelOpened() {
    owner_.LockServer(1);
}

void BackendAdapter::ChannelClosed() {
    owner_.LockServer(0);
}

void BackendAdapter::ItemsActivated(const uint32_t* handles, size_t count) {
    std::vector<GBItemID> items = KnownItems(handles, count);
    if (!items.empty()) owner_.GBOnActivate(static_cast<uint32_t>(items.size()), items.data());
}

void BackendAdapter::ItemsDeactivated(const uint32_t* handles, size_t count) {
    std::vector<GBItemID> items = KnownItems(handles, count);
    if (!items.empty()) owner_.GBOnDeactivate(static_cast<uint32_t>(items.size()), items.data());
}

std::vector<uint32_t> BackendAdapter::Locales() {
    uint32_t count = 0;
    const uint32_t* table = nullptr;
    if (FAILED(owner_.GBOnQueryLocales(&count, &table)) || !table) return {};
    return std::vector<uint32_t>(table, table + std::min<uint32_t>(count, kMaxLocales));
}

std::vector<qora::ua::ItemMetadata> BackendAdapter::Metadata() {
    return store_.Metadata();
}

bool BackendAdapter::ReadPointDiagnostics(int32_t point, qora::ua::PointDiagnostics& out) {
    return diagnostics_.ReadPoint(point, out);
}

bool BackendAdapter::ReadDeviceDiagnostics(int32_t point, int32_t device, qora::ua::DeviceDiagnostics& out) {
    return diagnostics_.ReadDevice(point, device, out);
}

bool BackendAdapter::HistoryEnabled() {
    return history_.Enabled();
}

bool BackendAdapter::ReadHistoryRaw(uint32_t handle, uint64_t start, uint64_t end, size_t maxValues,
                                    std::vector<qora::ua::HistorySample>& out) {
    out.clear();
    return store_.ValidHandle(handle) && history_.Read(handle, start, end, maxValues, out);
}

void BackendAdapter::ClientReferenceAdded() {
    clientRefs_.fetch_add(1, std::memory_order_acq_rel);
}

void BackendAdapter::ClientReferenceDropped() {
    if (clientRefs_.fetch_sub(1, std::memory_order_acq_rel) == 1) owner_.GBOnServerReleased();
}

}  // namespace gb
