// Inner state of the toolkit: the item store with its published cache and update blocks (under
// storeMutex_), the diagnostics providers (under diagnosticsMutex_), the endpoint's life (an
// EndpointLife with its own lock), and the client-side operations (qora::ua::Backend) that
// invoke the server's callbacks.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <shared_mutex>
#include <string>
#include <vector>

#include "opc/toolkit/gb_data_access.h"
#include "opc/toolkit/gb_endpoint_life.h"
#include "opc/toolkit/gb_item_store.h"
#include "ua/net/server.h"
#include "ua/nodes/backend.h"

namespace gb {

// Handles are the item's position plus this base: opaque to callers, never 0.
inline constexpr uint32_t kFirstItemHandle = 0x1001;
// At most this many entries of the server's locale table are taken.
inline constexpr uint32_t kMaxLocales = 1024;

struct GBOPCDataAccessBase::Impl final : public qora::ua::Backend {
    explicit Impl(GBOPCDataAccessBase& owner);
    ~Impl() override;

    // A copy of one item, as GetItem returns it (the store keeps them compactly).
    struct Item {
        uint32_t handle = 0;
        int32_t itemNumber = 0;  // the server's number, as passed to GBCreateItem
        std::u16string id;
        std::string idUtf8;
        uint32_t accessRights = OPC_READABLE;
        uint16_t canonicalType = VT_R4;
        OPCEUTYPE euType = OPC_NOENUM;
        // Published state, guarded by storeMutex.
        VARIANT value;
        uint16_t quality = OPC_QUALITY_WAITING_FOR_INITIAL_DATA;
        uint64_t timestamp = 0;
    };

    // One staged GBSetItem.
    struct Pending {
        uint32_t handle;
        uint16_t quality;
        uint64_t timestamp;
        VARIANT value;
    };

    // Operations (called through the owner's public methods).
    HRESULT CreateItem(uint32_t* outHandle, int32_t itemNumber, const char16_t* itemId, uint32_t accessRights,
                       const VARIANT* initialValue, OPCEUTYPE euType,
                       const GBItemPlacement* placement = nullptr);
    void SetDiagnosticsProvider(GBPointDiagnosticsProvider points, GBDeviceDiagnosticsProvider devices);
    void SetItemMetadata(std::vector<qora::ua::ItemMetadata> table);
    void SetHistoryProvider(GBHistoryProvider provider);
    HRESULT BeginUpdate();
    HRESULT EndUpdate(int32_t flag);
    HRESULT SetItem(uint32_t handle, const VARIANT* value, uint16_t quality, FILETIME timestamp);
    // The endpoint's life: initialisation, registration, shutdown (its own lock).
    EndpointLife& Life() { return life_; }
    const EndpointLife& Life() const { return life_; }

    // State of the item store, for the owner and for tests.
    uint32_t ItemCount() const { return itemCount_.load(std::memory_order_acquire); }
    // A copy of one item (published state included); false for an unknown handle.
    bool GetItem(uint32_t handle, Item* out) const;
    // True when the item of handle was created with the ID id (compared as UTF-8).
    bool ItemIdIs(uint32_t handle, std::u16string_view id) const;
    std::string_view ItemIdUtf8(uint32_t handle) const;
    // Bytes the item store holds (records and IDs).
    size_t StoreFootprint() const;
    // Number of outermost update blocks that have ended, by flag (0 / non-zero).
    uint64_t EndedBlocks(bool flagged) const;

    // qora::ua::Backend.
    std::vector<qora::ua::ItemInfo> ListItems() override;
    uint64_t CacheGeneration() override;
    void ReadCache(const uint32_t* handles, size_t count, qora::ua::ItemSample* out) override;
    void ReadDevice(const uint32_t* handles, size_t count, qora::ua::ItemSample* out) override;
    void RefreshFromDevice(const uint32_t* handles, size_t count) override;
    void Write(const uint32_t* handles, size_t count) override;
    void SessionCreated() override;
    void SessionClosed() override;
    void ChannelOpened() override;
    void ChannelClosed() override;
    void ItemsActivated(const uint32_t* handles, size_t count) override;
    void ItemsDeactivated(const uint32_t* handles, size_t count) override;
    std::vector<uint32_t> Locales() override;
    std::vector<qora::ua::ItemMetadata> Metadata() override;
    bool ReadPointDiagnostics(int32_t point, qora::ua::PointDiagnostics& out) override;
    bool ReadDeviceDiagnostics(int32_t point, int32_t device, qora::ua::DeviceDiagnostics& out) override;
    bool HistoryEnabled() override;
    bool ReadHistoryRaw(uint32_t handle, uint64_t start, uint64_t end, size_t maxValues,
                        std::vector<qora::ua::HistorySample>& out) override;

    // Client references (instances + locks) the toolkit counts itself, to call
    // GBOnServerReleased when the last one goes.
    void ClientReferenceAdded();
    void ClientReferenceDropped();

  private:
    bool ValidHandle(uint32_t handle) const {
        return handle >= kFirstItemHandle && handle - kFirstItemHandle < ItemCount();
    }
    void Apply(const Pending* entries, size_t count);
    void FillSample(const ItemStore::Record& item, qora::ua::ItemSample* out) const;
    std::vector<GBItemID> KnownItems(const uint32_t* handles, size_t count,
                                     std::vector<size_t>* positions) const;

    GBOPCDataAccessBase& owner_;
    const uint64_t serial_;  // tells this store's update blocks apart from another's

    mutable std::shared_mutex storeMutex_;  // items_ structure and published state
    ItemStore items_;
    std::atomic<uint32_t> itemCount_{0};
    // Placement of each item (parallel to items_, empty while no item has one); the names of
    // points and devices are kept once each (UTF-8), by position.
    struct Placement {
        int16_t point = -1, device = -1;
        uint16_t metadata = 0;
    };
    std::vector<qora::ua::ItemMetadata> metadata_;  // under storeMutex_
    std::vector<Placement> placements_;
    std::vector<std::string> pointNames_;
    std::vector<std::vector<std::string>> deviceNames_;

    std::mutex diagnosticsMutex_;
    GBPointDiagnosticsProvider pointDiagnostics_;
    GBDeviceDiagnosticsProvider deviceDiagnostics_;
    // Held through a read, so that a provider cleared is no longer called.
    std::mutex historyMutex_;
    GBHistoryProvider history_;
    std::atomic<uint64_t> generation_{0};
    std::atomic<uint64_t> endedBlocks_[2] = {};

    EndpointLife life_;

    std::atomic<int32_t> clientRefs_{0};

    friend struct UpdateBlocks;
};

}  // namespace gb
