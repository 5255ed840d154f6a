// The OPC toolkit: a server class hierarchy with operations and virtual callbacks.
// Clients reach it through the OPC UA endpoint (opc/ua), which calls the client-side
// operations at the end of GBOPCDataAccessBase on the toolkit's own threads.
#pragma once

#include <cstdint>
#include <atomic>
#include <memory>
#include <string>

#include "opc/toolkit/gb_types.h"
#include "opc/ua/ua_server.h"

namespace gb {

class GBClassFactory {
public:
    GBClassFactory();
    virtual ~GBClassFactory();
    GBClassFactory(const GBClassFactory&) = delete;
    GBClassFactory& operator=(const GBClassFactory&) = delete;

    // Virtual operations in slot order.
    virtual HRESULT QueryInterface(const GUID& iid, void** out);
    virtual uint32_t AddRef();
    virtual uint32_t Release();
    virtual HRESULT CreateInstance(void* outer, const GUID& iid, void** out);
    virtual HRESULT LockServer(int32_t lock);
    virtual void GBClassObjectAdd();
    virtual void GBClassObjectRemove();

protected:
    std::atomic<uint32_t> refCount_{1};
};

class GBOPCDataAccessBase : public GBClassFactory {
public:
    GBOPCDataAccessBase();
    ~GBOPCDataAccessBase() override;

    // Callbacks, in slot order after the class factory's.
    virtual HRESULT GBOnBeforeCreateInstance(int32_t a, void* b);
    virtual void GBOnCreateInstance(void* instance);
    virtual void GBOnDestroyInstance(void* instance);
    virtual void GBOnLock();
    virtual void GBOnUnLock();
    virtual HRESULT GBOnServerReleased();
    virtual HRESULT GBOnWriteItems(uint32_t count, GBItemID* items, VARIANT* values, uint16_t* qualities,
                                   FILETIME* timestamps, HRESULT* errors, void* r1, void* r2, void* r3);
    virtual HRESULT GBOnReadItems(uint32_t count, GBItemID* items, VARIANT* values, uint16_t* qualities,
                                  FILETIME* timestamps, HRESULT* errors, void* r1, void* r2, void* r3,
                                  void* r4, void* r5);
    virtual HRESULT GBOnDataUpdate(uint32_t count, GBItemID* items);
    virtual void GBOnActivate(uint32_t count, GBItemID* items);
    virtual void GBOnDeactivate(uint32_t count, GBItemID* items);
    virtual HRESULT GBOnGetErrorString(HRESULT code, uint32_t locale, std::u16string* out);
    virtual HRESULT GBOnQueryLocales(uint32_t* count, const uint32_t** table);
    virtual HRESULT GBOnBrowseAccessPath(const char16_t* itemId, void* out);
    virtual HRESULT GBOnQueryItem(const char16_t* itemId, void* out);
    virtual HRESULT GBOnGetProperties(const char16_t* itemId, void* out);

    // Operations.
    HRESULT GBCreateItem(uint32_t* outHandle, int32_t itemNumber, const char16_t* itemId,
                         uint32_t accessRights, int32_t reserved, const VARIANT* initialValue,
                         OPCEUTYPE euType, const VARIANT* euInfo);
    HRESULT GBBeginUpdate();
    HRESULT GBEndUpdate(int32_t flag);
    HRESULT GBSetItem(uint32_t handle, const VARIANT* value, uint16_t quality, FILETIME timestamp,
                      int32_t reserved);
    HRESULT GBDisconnectClients();
    HRESULT GBShutdown(const char16_t* reason);

    struct Impl;
    // The toolkit's inner state (item store, update blocks, endpoint): used by the toolkit's
    // own files and by tests that play the client side.
    Impl& impl() { return *impl_; }

protected:
    std::unique_ptr<Impl> impl_;
};

class GBDataAccess : public GBOPCDataAccessBase {
public:
    GBDataAccess();
    ~GBDataAccess() override;

    static HRESULT GBRegisterServer(const GUID& clsid, const char16_t* vendor, const char16_t* description,
                                    const char16_t* progId, const char16_t* version, void* reserved);
    static HRESULT GBUnregisterServer(const GUID& clsid);

    HRESULT GBInitialize(const GUID& clsid, uint32_t n1, uint32_t n2, uint32_t n3, uint32_t n4, uint32_t n5,
                         uint32_t n6, uint32_t n7, const char16_t* vendor);
    // Endpoint settings (host, port, limits) used by GBRegisterClassObject; call before it.
    void GBSetEndpointConfig(const qora::ua::ServerConfig& config);
    HRESULT GBRegisterClassObject();
    HRESULT GBRevokeClassObject();
};

}  // namespace gb
