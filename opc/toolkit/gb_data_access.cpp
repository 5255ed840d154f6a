#include "opc/toolkit/gb_data_access.h"

#include "opc/toolkit/gb_impl.h"
#include "opc/toolkit/gb_test_view.h"

namespace gb {

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
    impl_->backend.ClientReferenceAdded();
    GBOnCreateInstance(this);
    if (out) *out = this;
    return S_OK;
}

HRESULT GBOPCDataAccessBase::LockServer(int32_t lock) {
    if (lock) {
        impl_->backend.ClientReferenceAdded();
        GBOnLock();
    } else {
        GBOnUnLock();
        impl_->backend.ClientReferenceDropped();
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
    return impl_->store.Create(outHandle, itemNumber, itemId, accessRights, initialValue, euType, placement);
}

void GBOPCDataAccessBase::GBSetItemMetadata(std::vector<qora::ua::ItemMetadata> table) {
    impl_->store.SetMetadata(std::move(table));
}

void GBOPCDataAccessBase::GBSetDiagnosticsProvider(GBPointDiagnosticsProvider points,
                                                   GBDeviceDiagnosticsProvider devices) {
    impl_->diagnostics.Set(std::move(points), std::move(devices));
}

HRESULT GBOPCDataAccessBase::GBBeginUpdate() {
    return impl_->store.BeginUpdate();
}
HRESULT GBOPCDataAccessBase::GBEndUpdate(int32_t flag) {
    return impl_->store.EndUpdate(flag);
}

HRESULT GBOPCDataAccessBase::GBSetItem(uint32_t handle, const VARIANT* value, uint16_t quality,
                                       FILETIME timestamp, int32_t) {
    return impl_->store.SetItem(handle, value, quality, timestamp);
}

void GBOPCDataAccessBase::GBSetItems(FILETIME timestamp, const std::function<void(GBItemWriter&)>& fill) {
    impl_->store.SetItems(timestamp, fill);
}

HRESULT GBOPCDataAccessBase::GBDisconnectClients() {
    return impl_->life.DisconnectClients();
}
HRESULT GBOPCDataAccessBase::GBShutdown(const char16_t* reason) {
    return impl_->life.Shutdown(reason);
}

bool GBOPCDataAccessBase::GBItemIdIs(uint32_t handle, std::u16string_view id) const {
    return impl_->store.IdIs(handle, id);
}

std::string_view GBOPCDataAccessBase::GBItemIdUtf8(uint32_t handle) const {
    return impl_->store.IdUtf8(handle);
}

qora::ua::Backend& GBOPCDataAccessBase::GBBackend() {
    return impl_->backend;
}

GBTestView GBOPCDataAccessBase::ForTests() {
    return GBTestView(impl_->store, impl_->life);
}

void GBOPCDataAccessBase::GBSetDiagnosticsProvider(GBDiagnosticsProvider provider) {
    impl_->diagnostics.Set(std::move(provider.point), std::move(provider.device));
}

void GBOPCDataAccessBase::GBSetHistoryProvider(GBHistoryProvider provider) {
    impl_->history.Set(std::move(provider));
}

void GBOPCDataAccessBase::GBStopEndpoint() {
    if (impl_) impl_->life.StopEndpoint();
}

// ---------------------------------------------------------------------------------------------
// GBDataAccess

GBDataAccess::GBDataAccess() = default;
GBDataAccess::~GBDataAccess() {
    GBStopEndpoint();
}

HRESULT GBDataAccess::GBInitialize(const GUID& clsid, uint32_t n1, uint32_t n2, uint32_t n3, uint32_t n4,
                                   uint32_t n5, uint32_t n6, uint32_t n7, const char16_t* vendor) {
    return impl_->life.Initialize(clsid, {n1, n2, n3, n4, n5, n6, n7}, vendor);
}

void GBDataAccess::GBSetEndpointConfig(const qora::ua::ServerConfig& config) {
    impl_->life.SetEndpointConfig(config);
}
HRESULT GBDataAccess::GBRegisterClassObject() {
    return impl_->life.RegisterClassObject();
}
HRESULT GBDataAccess::GBRevokeClassObject() {
    return impl_->life.RevokeClassObject();
}

}  // namespace gb
