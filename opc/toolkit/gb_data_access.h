// The OPC toolkit: a server class hierarchy with operations and virtual callbacks.
// Clients reach it through the OPC UA endpoint (ua/), which calls the client-side
// operations (the qora::ua::Backend that GBBackend returns) on the toolkit's own threads;
// those operations invoke the virtual callbacks below.
//
// Item handles are opaque and never 0. An item's canonical type is the type of its initial
// VARIANT; GBSetItem values are converted to it. GBSetItem calls between GBBeginUpdate and
// the matching GBEndUpdate (per calling thread, nesting allowed) become visible to clients
// together when the outermost block ends; outside a block a GBSetItem is visible at once.
// GBSetItems writes many items under one hold of the store's lock, without staging them.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "opc/toolkit/gb_item_writer.h"
#include "opc/toolkit/gb_types.h"
#include "ua/net/server.h"

namespace gb {

class GBTestView;

inline constexpr GUID IID_IUnknown{0x00000000u, 0x0000u, 0x0000u, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};
inline constexpr GUID IID_IClassFactory{0x00000001u, 0x0000u, 0x0000u, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};

// Results the read and write callbacks of the server return. The toolkit does not examine them;
// they tell a reader of the code which way a read was answered.
inline constexpr HRESULT GB_READ_CACHE_UPDATED =
    1;  // GBOnReadItems without values: answered through GBSetItem
inline constexpr HRESULT GB_READ_VALUES_FILLED = 2;  // GBOnReadItems with values: the arrays were filled
inline constexpr HRESULT GB_WRITE_ACCEPTED = 1;      // GBOnWriteItems: accepted (and ignored)

// GBEndUpdate flags as the server uses them; the toolkit only counts the ended blocks by flag.
inline constexpr int32_t GB_END_UPDATE_PUSH = 0;  // the periodic push and the check of the items
inline constexpr int32_t GB_END_UPDATE_ONE_OFF =
    1;  // the empty block of the OPC start, a read through the cache

// Where an item hangs in the address space: its connection point and device, by position in
// the configuration and by display name. Items created without one hang under Objects.
struct GBItemPlacement {
    int32_t point = -1;
    int32_t device = -1;
    const char16_t* pointName = nullptr;   // taken from the first item of the point
    const char16_t* deviceName = nullptr;  // taken from the first item of the device
    uint16_t metadata = 0;                 // n > 0: entry n - 1 of GBSetItemMetadata's table
};

// Diagnostics of a point / a device (positions as in GBItemPlacement), asked for on the
// endpoint's thread whenever a client reads or samples a counter; false when there are none.
using GBPointDiagnosticsProvider = std::function<bool(int32_t point, qora::ua::PointDiagnostics& out)>;
using GBDeviceDiagnosticsProvider =
    std::function<bool(int32_t point, int32_t device, qora::ua::DeviceDiagnostics& out)>;

// Where the endpoint reads the values kept of an item (HistoryRead): the arguments and the answer
// of qora::ua::Backend::ReadHistoryRaw. Called on the endpoint's thread.
using GBHistoryProvider = std::function<bool(uint32_t handle, uint64_t start, uint64_t end, size_t maxValues,
                                             std::vector<qora::ua::HistorySample>& out)>;

class GBClassFactory {
  public:
    GBClassFactory();
    virtual ~GBClassFactory();
    GBClassFactory(const GBClassFactory&) = delete;
    GBClassFactory& operator=(const GBClassFactory&) = delete;

    // Virtual operations in slot order.
    virtual HRESULT QueryInterface(const GUID& iid, void** out);
    virtual uint32_t AddRef();
    // Never deletes: the object belongs to whoever created it.
    virtual uint32_t Release();
    // Default: E_NOTIMPL. GBOPCDataAccessBase: GBOnBeforeCreateInstance, then (if it returned
    // success) GBOnCreateInstance; *out := the server object.
    virtual HRESULT CreateInstance(void* outer, const GUID& iid, void** out);
    // Default: S_OK. GBOPCDataAccessBase: GBOnLock for a non-zero lock, GBOnUnLock for 0.
    virtual HRESULT LockServer(int32_t lock);
    // Called after the endpoint has started accepting clients / after it stopped.
    virtual void GBClassObjectAdd();
    virtual void GBClassObjectRemove();

  protected:
    std::atomic<uint32_t> refCount_{1};
};

// Where the endpoint's point and device diagnostics come from (the application's counters).
// Called on the toolkit's threads; false (or an empty function) when there is nothing to tell.
struct GBDiagnosticsProvider {
    GBPointDiagnosticsProvider point;
    GBDeviceDiagnosticsProvider device;
};

class GBOPCDataAccessBase : public GBClassFactory {
  public:
    GBOPCDataAccessBase();
    ~GBOPCDataAccessBase() override;

    HRESULT CreateInstance(void* outer, const GUID& iid, void** out) override;
    HRESULT LockServer(int32_t lock) override;

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
    // The endpoint registered by GBRegisterClassObject cannot listen (state.listening false,
    // told at the first failed attempt; it keeps trying in the background until it listens or
    // the class object is revoked), or listens after failed attempts (state.listening true).
    // Runs on the toolkit's network thread. Default: nothing.
    virtual void GBOnListenStateChanged(const qora::ua::ListenState& state);

    // Operations. placement (optional): where the item hangs in the address space.
    HRESULT GBCreateItem(uint32_t* outHandle, int32_t itemNumber, const char16_t* itemId,
                         uint32_t accessRights, int32_t reserved, const VARIANT* initialValue,
                         OPCEUTYPE euType, const VARIANT* euInfo, const GBItemPlacement* placement = nullptr);
    // Who answers the diagnostics counters of points and devices (either may be empty: no
    // diagnostics). May be called at any time; the endpoint asks the providers set last.
    void GBSetDiagnosticsProvider(GBPointDiagnosticsProvider points, GBDeviceDiagnosticsProvider devices);
    // Who answers HistoryRead (empty: nobody, the default). Set before GBRegisterClassObject for
    // the items to be Historizing. Replacing or clearing it waits for a read in progress, so what
    // the old one reads from may go once this returns.
    void GBSetHistoryProvider(GBHistoryProvider provider);
    // Units and ranges the items' placements refer to (set before the items are created).
    void GBSetItemMetadata(std::vector<qora::ua::ItemMetadata> table);
    HRESULT GBBeginUpdate();
    HRESULT GBEndUpdate(int32_t flag);
    HRESULT GBSetItem(uint32_t handle, const VARIANT* value, uint16_t quality, FILETIME timestamp,
                      int32_t reserved);
    // fill calls writer.Set for each item, all with this timestamp. They become visible to
    // clients together when fill returns, whether or not an update block is open on this thread
    // (the block's staged GBSetItem calls still wait for its end). Nothing is staged: a push of
    // every item costs no copy of them. fill must not call the toolkit (its lock is held).
    void GBSetItems(FILETIME timestamp, const std::function<void(GBItemWriter&)>& fill);
    HRESULT GBDisconnectClients();
    HRESULT GBShutdown(const char16_t* reason);
    // True when the item of handle was created with the ID id; false for an unknown handle.
    bool GBItemIdIs(uint32_t handle, std::u16string_view id) const;
    // The item ID of handle as the store keeps it (UTF-8; the text never moves during the
    // run); empty for an unknown handle.
    std::string_view GBItemIdUtf8(uint32_t handle) const;

    // The client side: what the OPC UA endpoint calls (tests call it too). Each operation
    // invokes the callbacks above on the calling thread.
    qora::ua::Backend& GBBackend();
    // Both providers at once.
    void GBSetDiagnosticsProvider(GBDiagnosticsProvider provider);

    // Stops the endpoint: no more client calls arrive once this returns (its threads are
    // joined). Idempotent. A subclass whose callbacks use its own members calls it first
    // thing in its destructor, since the endpoint would otherwise call into a half-destroyed
    // object; the base destructor calls it as well.
    void GBStopEndpoint();

    // What tests observe: the item store's state and the endpoint's life (the view is
    // declared in opc/toolkit/gb_test_view.h).
    GBTestView ForTests();

  protected:
    struct Impl;  // opc/toolkit/gb_impl.h
    std::unique_ptr<Impl> impl_;
};

// A registration file that could not be written or removed.
struct GBFileFailure {
    enum class Kind { Unit, DesktopEntry };
    Kind kind;
    std::string path;
    int error;  // errno
};

// The exit status with which the server asks the service manager to start it again (its
// restart when the registered unit started it); the unit restarts the service on it.
inline constexpr int kServiceRestartExitStatus = 75;

class GBDataAccess : public GBOPCDataAccessBase {
  public:
    GBDataAccess();
    ~GBDataAccess() override;

    // Registration on this platform: a systemd user unit that starts the executable with
    // -Embedding ($XDG_CONFIG_HOME/systemd/user/opcda-<clsid>.service) and an XDG desktop entry
    // ($XDG_DATA_HOME/applications/opcda-<clsid>.desktop), both carrying CLSID, ProgID, vendor,
    // description and version. executable: absolute path; null = this process (/proc/self/exe).
    // Files are written to a temporary name and renamed; each is tried even when the other
    // fails. E_INVALIDARG for missing texts or no usable executable path, E_FAIL when a file
    // cannot be written. failures (optional) receives each file that was not written, and why.
    static HRESULT GBRegisterServer(const GUID& clsid, const char16_t* vendor, const char16_t* description,
                                    const char16_t* progId, const char16_t* version,
                                    const char16_t* executable = nullptr,
                                    std::vector<GBFileFailure>* failures = nullptr);
    // Removes both files; S_FALSE when there was nothing to remove, E_FAIL when a file could
    // not be removed (failures, optional, says which and why).
    static HRESULT GBUnregisterServer(const GUID& clsid, std::vector<GBFileFailure>* failures = nullptr);
    // Where the two registration files of clsid go (from the environment at call time).
    static std::string GBUnitFilePath(const GUID& clsid);
    static std::string GBDesktopFilePath(const GUID& clsid);

    HRESULT GBInitialize(const GUID& clsid, uint32_t n1, uint32_t n2, uint32_t n3, uint32_t n4, uint32_t n5,
                         uint32_t n6, uint32_t n7, const char16_t* vendor);
    // Endpoint settings (host, port, limits) used by GBRegisterClassObject; call before it.
    // The vendor text of GBInitialize becomes the endpoint's manufacturer name.
    void GBSetEndpointConfig(const qora::ua::ServerConfig& config);
    // Creates and starts the endpoint (S_OK), S_FALSE when it is already registered. An
    // endpoint that cannot listen yet counts as registered: S_OK, GBOnListenStateChanged tells
    // why, and it keeps trying in the background. E_FAIL when the endpoint cannot run at all
    // (or cannot listen and the configuration allows no retry). Never waits for a retry.
    HRESULT GBRegisterClassObject();
    // Stops listening (and retrying); channels already open stay until GBDisconnectClients.
    // S_FALSE when not registered.
    HRESULT GBRevokeClassObject();
};

}  // namespace gb
