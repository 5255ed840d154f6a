// The client side of the toolkit: the qora::ua::Backend the OPC UA endpoint calls on its own
// threads. It reads the item store, the diagnostics providers and the history provider and turns client
// actions into the server's callbacks; it holds no lock of its own. A new endpoint hook is one more override
// here, forwarding to a callback or a provider.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <vector>

#include "opc/toolkit/gb_data_access.h"
#include "opc/toolkit/gb_diagnostics.h"
#include "opc/toolkit/gb_item_store.h"
#include "ua/nodes/backend.h"

namespace gb {

// At most this many entries of the server's locale table are taken.
inline constexpr uint32_t kMaxLocales = 1024;

// Who answers HistoryRead, under a lock of its own held through a read, so that a provider
// cleared or replaced is no longer called once Set returns.
class HistoryProviderSlot {
  public:
    void Set(GBHistoryProvider provider) {
        std::lock_guard lock(mutex_);
        provider_ = std::move(provider);
    }
    bool Enabled() {
        std::lock_guard lock(mutex_);
        return static_cast<bool>(provider_);
    }
    bool Read(uint32_t handle, uint64_t start, uint64_t end, size_t maxValues,
              std::vector<qora::ua::HistorySample>& out) {
        std::lock_guard lock(mutex_);
        return provider_ && provider_(handle, start, end, maxValues, out);
    }

  private:
    std::mutex mutex_;
    GBHistoryProvider provider_;
};

class BackendAdapter final : public qora::ua::Backend {
  public:
    BackendAdapter(GBOPCDataAccessBase& owner, ItemStore& store, DiagnosticsProviders& diagnostics,
                   HistoryProviderSlot& history);

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
    // The known handles among handles, as the callbacks take them (position i as the client index).
    std::vector<GBItemID> KnownItems(const uint32_t* handles, size_t count) const;

    GBOPCDataAccessBase& owner_;
    ItemStore& store_;
    DiagnosticsProviders& diagnostics_;
    HistoryProviderSlot& history_;
    std::atomic<int32_t> clientRefs_{0};
};

}  // namespace gb
