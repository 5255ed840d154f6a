#include "opc/toolkit/gb_data_access.h"

#include <algorithm>

#include "base/file_time.h"
#include "opc/toolkit/gb_impl.h"

namespace gb {

namespace {

std::atomic<uint64_t> g_nextSerial{1};

// An update block of one thread on one item store. Blocks are per thread so that the
// window thread's push and a toolkit thread's refresh never publish each other's halves.
struct Block {
    uint64_t serial = 0;
    int depth = 0;
    std::vector<GBOPCDataAccessBase::Impl::Pending> pending;
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
            return b;
        }
    }
    t_blocks.emplace_back();
    t_blocks.back().serial = serial;
    return t_blocks.back();
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// Impl: item store and update blocks

GBOPCDataAccessBase::Impl::Impl(GBOPCDataAccessBase& owner)
    : owner_(owner), serial_(g_nextSerial.fetch_add(1, std::memory_order_relaxed)), life_(owner, *this) {}

GBOPCDataAccessBase::Impl::~Impl() {
    life_.StopEndpoint();
}

HRESULT GBOPCDataAccessBase::Impl::CreateItem(uint32_t* outHandle, int32_t itemNumber, const char16_t* itemId,
                                              uint32_t accessRights, const VARIANT* initialValue,
                                              OPCEUTYPE euType, const GBItemPlacement* placement) {
    if (!outHandle || !initialValue) return E_POINTER;
    if (!itemId || itemId[0] == 0) return E_INVALIDARG;
    const bool placed = placement && placement->point >= 0 && placement->device >= 0;
    if (placed && (placement->point > INT16_MAX || placement->device > INT16_MAX)) return E_INVALIDARG;
    if (!IsNumericVarType(initialValue->vt)) return OPC_E_BADTYPE;
    const std::string idUtf8 = Utf16ToUtf8(std::u16string_view(itemId, Utf16Length(itemId)));
    const uint64_t now = qora::NowFileTime();
    std::unique_lock lock(storeMutex_);
    ItemStore::Record& item = items_.Append(idUtf8);
    item.itemNumber = itemNumber;
    item.accessRights = accessRights;
    item.canonicalType = initialValue->vt;
    item.euType = euType;
    item.value = *initialValue;
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
        placements_.resize(items_.Size() - 1);
        placements_.push_back({static_cast<int16_t>(p), static_cast<int16_t>(d), placement->metadata});
    }
    itemCount_.store(static_cast<uint32_t>(items_.Size()), std::memory_order_release);
    *outHandle = kFirstItemHandle + static_cast<uint32_t>(items_.Size() - 1);
    return S_OK;
}

HRESULT GBOPCDataAccessBase::Impl::BeginUpdate() {
    ++OpenBlock(serial_).depth;
    return S_OK;
}

HRESULT GBOPCDataAccessBase::Impl::EndUpdate(int32_t flag) {
    Block* b = FindBlock(serial_);
    if (!b) return E_FAIL;  // no block open on this thread
    if (--b->depth > 0) return S_OK;
    Apply(b->pending.data(), b->pending.size());
    b->pending.clear();
    endedBlocks_[flag != 0 ? 1 : 0].fetch_add(1, std::memory_order_relaxed);
    return S_OK;
}

HRESULT GBOPCDataAccessBase::Impl::SetItem(uint32_t handle, const VARIANT* value, uint16_t quality,
                                           FILETIME timestamp) {
    if (!value) return E_POINTER;
    if (!ValidHandle(handle)) return OPC_E_INVALIDHANDLE;
    if (value->vt != VT_EMPTY && !IsNumericVarType(value->vt)) return OPC_E_BADTYPE;
    Pending p{handle, quality, timestamp.ToU64(), *value};
    if (Block* b = FindBlock(serial_)) {
        b->pending.push_back(p);
        return S_OK;
    }
    Apply(&p, 1);
    return S_OK;
}

void GBOPCDataAccessBase::Impl::Apply(const Pending* entries, size_t count) {
    {
        std::unique_lock lock(storeMutex_);
        for (size_t i = 0; i < count; ++i) {
            const Pending& e = entries[i];
            const size_t idx = e.handle - kFirstItemHandle;
            if (e.handle < kFirstItemHandle || idx >= items_.Size()) continue;
            ItemStore::Record& item = items_[idx];
            VARIANT converted;
            if (FAILED(VariantChangeType(&converted, &e.value, item.canonicalType))) continue;
            item.value = converted;
            item.quality = e.quality;
            item.timestamp = e.timestamp;
        }
    }
    generation_.fetch_add(1, std::memory_order_release);
}

bool GBOPCDataAccessBase::Impl::GetItem(uint32_t handle, Item* out) const {
    if (!ValidHandle(handle)) return false;
    std::shared_lock lock(storeMutex_);
    if (out) {
        const ItemStore::Record& r = items_[handle - kFirstItemHandle];
        out->handle = handle;
        out->itemNumber = r.itemNumber;
        out->idUtf8.assign(r.Id());
        out->id = Utf8ToUtf16(r.Id());
        out->accessRights = r.accessRights;
        out->canonicalType = r.canonicalType;
        out->euType = r.euType;
        out->value = r.value;
        out->quality = r.quality;
        out->timestamp = r.timestamp;
    }
    return true;
}

bool GBOPCDataAccessBase::Impl::ItemIdIs(uint32_t handle, std::u16string_view id) const {
    if (!ValidHandle(handle)) return false;
    thread_local std::string utf8;
    utf8 = Utf16ToUtf8(id);
    std::shared_lock lock(storeMutex_);
    return items_[handle - kFirstItemHandle].Id() == utf8;
}

std::string_view GBOPCDataAccessBase::Impl::ItemIdUtf8(uint32_t handle) const {
    if (!ValidHandle(handle)) return {};
    std::shared_lock lock(storeMutex_);
    return items_[handle - kFirstItemHandle].Id();
}

size_t GBOPCDataAccessBase::Impl::StoreFootprint() const {
    std::shared_lock lock(storeMutex_);
    return items_.Footprint();
}

uint64_t GBOPCDataAccessBase::Impl::EndedBlocks(bool flagged) const {
    return endedBlocks_[flagged ? 1 : 0].load(std::memory_order_relaxed);
}

void GBOPCDataAccessBase::Impl::FillSample(const ItemStore::Record& item, qora::ua::ItemSample* out) const {
    double d = 0;
    VariantToDouble(item.value, &d);
    out->value = static_cast<float>(d);
    out->quality = item.quality;
    out->sourceTime = item.timestamp;
    out->valid = true;
}

// ---------------------------------------------------------------------------------------------
// Impl: initialisation and the endpoint's life

// ---------------------------------------------------------------------------------------------
// Impl: the client side

std::vector<qora::ua::ItemInfo> GBOPCDataAccessBase::Impl::ListItems() {
    std::shared_lock lock(storeMutex_);
    std::vector<qora::ua::ItemInfo> out;
    out.reserve(items_.Size());
    for (size_t i = 0; i < items_.Size(); ++i) {
        const ItemStore::Record& item = items_[i];
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

void GBOPCDataAccessBase::Impl::SetItemMetadata(std::vector<qora::ua::ItemMetadata> table) {
    std::unique_lock lock(storeMutex_);
    metadata_ = std::move(table);
}

std::vector<qora::ua::ItemMetadata> GBOPCDataAccessBase::Impl::Metadata() {
    std::shared_lock lock(storeMutex_);
    return metadata_;
}

void GBOPCDataAccessBase::Impl::SetDiagnosticsProvider(GBPointDiagnosticsProvider points,
                                                       GBDeviceDiagnosticsProvider devices) {
    std::lock_guard lock(diagnosticsMutex_);
    pointDiagnostics_ = std::move(points);
    deviceDiagnostics_ = std::move(devices);
}

bool GBOPCDataAccessBase::Impl::ReadPointDiagnostics(int32_t point, qora::ua::PointDiagnostics& out) {
    std::lock_guard lock(diagnosticsMutex_);
    return pointDiagnostics_ && pointDiagnostics_(point, out);
}

bool GBOPCDataAccessBase::Impl::ReadDeviceDiagnostics(int32_t point, int32_t device,
                                                      qora::ua::DeviceDiagnostics& out) {
    std::lock_guard lock(diagnosticsMutex_);
    return deviceDiagnostics_ && deviceDiagnostics_(point, device, out);
}

void GBOPCDataAccessBase::Impl::SetHistoryProvider(GBHistoryProvider provider) {
    std::lock_guard lock(historyMutex_);
    history_ = std::move(provider);
}

bool GBOPCDataAccessBase::Impl::HistoryEnabled() {
    std::lock_guard lock(historyMutex_);
    return static_cast<bool>(history_);
}

bool GBOPCDataAccessBase::Impl::ReadHistoryRaw(uint32_t handle, uint64_t start, uint64_t end,
                                               size_t maxValues, std::vector<qora::ua::HistorySample>& out) {
    out.clear();
    std::lock_guard lock(historyMutex_);
    return history_ && ValidHandle(handle) && history_(handle, start, end, maxValues, out);
}

uint64_t GBOPCDataAccessBase::Impl::CacheGeneration() {
    return generation_.load(std::memory_order_acquire);
}

void GBOPCDataAccessBase::Impl::ReadCache(const uint32_t* handles, size_t count, qora::ua::ItemSample* out) {
    std::shared_lock lock(storeMutex_);
    for (size_t i = 0; i < count; ++i) {
        out[i] = qora::ua::ItemSample{};
        const uint32_t h = handles[i];
        if (h < kFirstItemHandle || h - kFirstItemHandle >= items_.Size()) continue;
        FillSample(items_[h - kFirstItemHandle], &out[i]);
    }
}

std::vector<GBItemID> GBOPCDataAccessBase::Impl::KnownItems(const uint32_t* handles, size_t count,
                                                            std::vector<size_t>* positions) const {
    std::vector<GBItemID> items;
    items.reserve(count);
    for (size_t i = 0; i < count; ++i) {
        if (!ValidHandle(handles[i])) continue;
        items.push_back(GBItemID{handles[i], static_cast<uint32_t>(i), 0});
        if (positions) positions->push_back(i);
    }
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

void GBOPCDataAccessBase::Impl::ReadDevice(const uint32_t* handles, size_t count, qora::ua::ItemSample* out) {
    for (size_t i = 0; i < count; ++i) out[i] = qora::ua::ItemSample{};
    thread_local DeviceReadScratch scratch;
    std::vector<size_t>& positions = scratch.positions;
    std::vector<GBItemID>& items = scratch.items;
    positions.clear();
    items.clear();
    positions.reserve(count);
    items.reserve(count);
    for (size_t i = 0; i < count; ++i) {
        if (!ValidHandle(handles[i])) continue;
        items.push_back(GBItemID{handles[i], static_cast<uint32_t>(i), 0});
        positions.push_back(i);
    }
    if (items.empty()) return;
    const size_t n = items.size();
    scratch.values.assign(n, VARIANT{});
    scratch.qualities.assign(n, OPC_QUALITY_BAD);
    scratch.timestamps.assign(n, FILETIME{});
    scratch.errors.assign(n, E_FAIL);  // positions the server leaves alone stay failed
    const std::vector<VARIANT>& values = scratch.values;
    const std::vector<uint16_t>& qualities = scratch.qualities;
    const std::vector<FILETIME>& timestamps = scratch.timestamps;
    const std::vector<HRESULT>& errors = scratch.errors;
    owner_.GBOnReadItems(static_cast<uint32_t>(n), items.data(), scratch.values.data(),
                         scratch.qualities.data(), scratch.timestamps.data(), scratch.errors.data(), nullptr,
                         nullptr, nullptr, nullptr, nullptr);
    {
        std::shared_lock lock(storeMutex_);
        for (size_t j = 0; j < n; ++j) {
            qora::ua::ItemSample& s = out[positions[j]];
            double d = 0;
            if (errors[j] == S_OK && VariantToDouble(values[j], &d)) {
                s.value = static_cast<float>(d);
                s.quality = qualities[j];
                s.sourceTime = timestamps[j].ToU64();
                s.valid = true;
            } else {
                FillSample(items_[items[j].hItem - kFirstItemHandle], &s);
            }
        }
    }
    scratch.Trim();
}

void GBOPCDataAccessBase::Impl::RefreshFromDevice(const uint32_t* handles, size_t count) {
    std::vector<GBItemID> items = KnownItems(handles, count, nullptr);
    if (items.empty()) return;
    const size_t n = items.size();
    std::vector<uint16_t> qualities(n, OPC_QUALITY_BAD);
    std::vector<FILETIME> timestamps(n);
    std::vector<HRESULT> errors(n, E_FAIL);
    owner_.GBOnReadItems(static_cast<uint32_t>(n), items.data(), nullptr, qualities.data(), timestamps.data(),
                         errors.data(), nullptr, nullptr, nullptr, nullptr, nullptr);
}

void GBOPCDataAccessBase::Impl::Write(const uint32_t* handles, size_t count) {
    std::vector<GBItemID> items = KnownItems(handles, count, nullptr);
    if (items.empty()) return;
    const size_t n = items.size();
    std::vector<VARIANT> values(n);
    std::vector<uint16_t> qualities(n, OPC_QUALITY_GOOD);
    std::vector<FILETIME> timestamps(n, FILETIME::FromU64(qora::NowFileTime()));
    std::vector<HRESULT> errors(n, S_OK);
    owner_.GBOnWriteItems(static_cast<uint32_t>(n), items.data(), values.data(), qualities.data(),
                          timestamps.data(), errors.data(), nullptr, nullptr, nullptr);
}

void GBOPCDataAccessBase::Impl::SessionCreated() {
    void* instance = nullptr;
    owner_.CreateInstance(nullptr, IID_IUnknown, &instance);
}

void GBOPCDataAccessBase::Impl::SessionClosed() {
    owner_.GBOnDestroyInstance(&owner_);
    ClientReferenceDropped();
}

void GBOPCDataAccessBase::Impl::ChannelOpened() {
    owner_.LockServer(1);
}
void GBOPCDataAccessBase::Impl::ChannelClosed() {
    owner_.LockServer(0);
}

void GBOPCDataAccessBase::Impl::ItemsActivated(const uint32_t* handles, size_t count) {
    std::vector<GBItemID> items = KnownItems(handles, count, nullptr);
    if (!items.empty()) owner_.GBOnActivate(static_cast<uint32_t>(items.size()), items.data());
}

void GBOPCDataAccessBase::Impl::ItemsDeactivated(const uint32_t* handles, size_t count) {
    std::vector<GBItemID> items = KnownItems(handles, count, nullptr);
    if (!items.empty()) owner_.GBOnDeactivate(static_cast<uint32_t>(items.size()), items.data());
}

std::vector<uint32_t> GBOPCDataAccessBase::Impl::Locales() {
    uint32_t count = 0;
    const uint32_t* table = nullptr;
    if (FAILED(owner_.GBOnQueryLocales(&count, &table)) || !table) return {};
    return std::vector<uint32_t>(table, table + std::min<uint32_t>(count, kMaxLocales));
}

void GBOPCDataAccessBase::Impl::ClientReferenceAdded() {
    clientRefs_.fetch_add(1, std::memory_order_acq_rel);
}

void GBOPCDataAccessBase::Impl::ClientReferenceDropped() {
    if (clientRefs_.fetch_sub(1, std::memory_order_acq_rel) == 1) owner_.GBOnServerReleased();
}

// ---------------------------------------------------------------------------------------------
// GBClassFactory

GBClassFactory::GBClassFactory() = default;
GBClassFactory::~GBClassFactory() = default;

HRESULT GBClassFactory::QueryInterface(const GUID& iid, void** out) {
    if (!out) return E_POINTER;
    if (iid == IID_IUnknown || iid == IID_IClassFactory) {
        *out = this;
        AddRef();
        return S_OK;
    }
    *out = nullptr;
    return E_NOINTERFACE;
}

uint32_t GBClassFactory::AddRef() {
    return refCount_.fetch_add(1, std::memory_order_relaxed) + 1;
}

uint32_t GBClassFactory::Release() {
    uint32_t cur = refCount_.load(std::memory_order_relaxed);
    while (cur > 0 && !refCount_.compare_exchange_weak(cur, cur - 1, std::memory_order_acq_rel)) {
    }
    return cur > 0 ? cur - 1 : 0;
}

HRESULT GBClassFactory::CreateInstance(void*, const GUID&, void** out) {
    if (out) *out = nullptr;
    return E_NOTIMPL;
}

HRESULT GBClassFactory::LockServer(int32_t) {
    return S_OK;
}
void GBClassFactory::GBClassObjectAdd() {}
void GBClassFactory::GBClassObjectRemove() {}

// ---------------------------------------------------------------------------------------------
// GBOPCDataAccessBase

GBOPCDataAccessBase::GBOPCDataAccessBase() : impl_(std::make_unique<Impl>(*this)) {}

GBOPCDataAccessBase::~GBOPCDataAccessBase() {
    GBStopEndpoint();
}

HRESULT GBOPCDataAccessBase::CreateInstance(void* outer, const GUID&, void** out) {
    if (out) *out = nullptr;
    if (outer) return static_cast<HRESULT>(0x80040110u);  // CLASS_E_NOAGGREGATION
    const HRESULT hr = GBOnBeforeCreateInstance(0, nullptr);
    if (FAILED(hr)) return hr;
    impl_->ClientReferenceAdded();
    GBOnCreateInstance(this);
    if (out) *out = this;
    return S_OK;
}

HRESULT GBOPCDataAccessBase::LockServer(int32_t lock) {
    if (lock) {
        impl_->ClientReferenceAdded();
        GBOnLock();
    } else {
        GBOnUnLock();
        impl_->ClientReferenceDropped();
    }
    return S_OK;
}

HRESULT GBOPCDataAccessBase::GBOnBeforeCreateInstance(int32_t, void*) {
    return S_OK;
}
void GBOPCDataAccessBase::GBOnCreateInstance(void*) {}
void GBOPCDataAccessBase::GBOnDestroyInstance(void*) {}
void GBOPCDataAccessBase::GBOnLock() {}
void GBOPCDataAccessBase::GBOnUnLock() {}
HRESULT GBOPCDataAccessBase::GBOnServerReleased() {
    return S_OK;
}
HRESULT GBOPCDataAccessBase::GBOnWriteItems(uint32_t, GBItemID*, VARIANT*, uint16_t*, FILETIME*, HRESULT*,
                                            void*, void*, void*) {
    return E_NOTIMPL;
}
HRESULT GBOPCDataAccessBase::GBOnReadItems(uint32_t, GBItemID*, VARIANT*, uint16_t*, FILETIME*, HRESULT*,
                                           void*, void*, void*, void*, void*) {
    return E_NOTIMPL;  // every position stays failed: the toolkit answers from its cache
}
HRESULT GBOPCDataAccessBase::GBOnDataUpdate(uint32_t, GBItemID*) {
    return S_OK;
}
void GBOPCDataAccessBase::GBOnActivate(uint32_t, GBItemID*) {}
void GBOPCDataAccessBase::GBOnDeactivate(uint32_t, GBItemID*) {}
HRESULT GBOPCDataAccessBase::GBOnGetErrorString(HRESULT, uint32_t, std::u16string*) {
    return E_NOTIMPL;
}
void GBOPCDataAccessBase::GBOnListenStateChanged(const qora::ua::ListenState&) {}

HRESULT GBOPCDataAccessBase::GBOnQueryLocales(uint32_t* count, const uint32_t** table) {
    if (count) *count = 0;
    if (table) *table = nullptr;
    return E_NOTIMPL;
}
HRESULT GBOPCDataAccessBase::GBOnBrowseAccessPath(const char16_t*, void*) {
    return E_NOTIMPL;
}
HRESULT GBOPCDataAccessBase::GBOnQueryItem(const char16_t*, void*) {
    return E_NOTIMPL;
}
HRESULT GBOPCDataAccessBase::GBOnGetProperties(const char16_t*, void*) {
    return E_NOTIMPL;
}

HRESULT GBOPCDataAccessBase::GBCreateItem(uint32_t* outHandle, int32_t itemNumber, const char16_t* itemId,
                                          uint32_t accessRights, int32_t, const VARIANT* initialValue,
                                          OPCEUTYPE euType, const VARIANT*,
                                          const GBItemPlacement* placement) {
    return impl_->CreateItem(outHandle, itemNumber, itemId, accessRights, initialValue, euType, placement);
}

void GBOPCDataAccessBase::GBSetItemMetadata(std::vector<qora::ua::ItemMetadata> table) {
    impl_->SetItemMetadata(std::move(table));
}

void GBOPCDataAccessBase::GBSetDiagnosticsProvider(GBPointDiagnosticsProvider points,
                                                   GBDeviceDiagnosticsProvider devices) {
    impl_->SetDiagnosticsProvider(std::move(points), std::move(devices));
}

void GBOPCDataAccessBase::GBSetHistoryProvider(GBHistoryProvider provider) {
    impl_->SetHistoryProvider(std::move(provider));
}

HRESULT GBOPCDataAccessBase::GBBeginUpdate() {
    return impl_->BeginUpdate();
}
HRESULT GBOPCDataAccessBase::GBEndUpdate(int32_t flag) {
    return impl_->EndUpdate(flag);
}

HRESULT GBOPCDataAccessBase::GBSetItem(uint32_t handle, const VARIANT* value, uint16_t quality,
                                       FILETIME timestamp, int32_t) {
    return impl_->SetItem(handle, value, quality, timestamp);
}

HRESULT GBOPCDataAccessBase::GBDisconnectClients() {
    return impl_->Life().DisconnectClients();
}
HRESULT GBOPCDataAccessBase::GBShutdown(const char16_t* reason) {
    return impl_->Life().Shutdown(reason);
}

bool GBOPCDataAccessBase::GBItemIdIs(uint32_t handle, std::u16string_view id) const {
    return impl_->ItemIdIs(handle, id);
}

std::string_view GBOPCDataAccessBase::GBItemIdUtf8(uint32_t handle) const {
    return impl_->ItemIdUtf8(handle);
}

qora::ua::Backend& GBOPCDataAccessBase::GBBackend() {
    return *impl_;
}

void GBOPCDataAccessBase::GBSetDiagnosticsProvider(GBDiagnosticsProvider provider) {
    impl_->SetDiagnosticsProvider(std::move(provider.point), std::move(provider.device));
}

void GBOPCDataAccessBase::GBStopEndpoint() {
    if (impl_) impl_->Life().StopEndpoint();
}

// ---------------------------------------------------------------------------------------------
// GBDataAccess

GBDataAccess::GBDataAccess() = default;
GBDataAccess::~GBDataAccess() {
    GBStopEndpoint();
}

HRESULT GBDataAccess::GBInitialize(const GUID& clsid, uint32_t n1, uint32_t n2, uint32_t n3, uint32_t n4,
                                   uint32_t n5, uint32_t n6, uint32_t n7, const char16_t* vendor) {
    return impl_->Life().Initialize(clsid, {n1, n2, n3, n4, n5, n6, n7}, vendor);
}

void GBDataAccess::GBSetEndpointConfig(const qora::ua::ServerConfig& config) {
    impl_->Life().SetEndpointConfig(config);
}
HRESULT GBDataAccess::GBRegisterClassObject() {
    return impl_->Life().RegisterClassObject();
}
HRESULT GBDataAccess::GBRevokeClassObject() {
    return impl_->Life().RevokeClassObject();
}

}  // namespace gb
