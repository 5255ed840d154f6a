// What tests and benchmarks observe of a toolkit object (GBOPCDataAccessBase::ForTests): the
// item store's state and the endpoint's life, read-only but for the running endpoint.
#pragma once

#include <array>
#include <cstdint>
#include <string>

#include "opc/toolkit/gb_endpoint_life.h"
#include "opc/toolkit/gb_item_store.h"

namespace gb {

class GBTestView {
  public:
    using Item = ItemCopy;

    GBTestView(const ItemStore& store, EndpointLife& life) : store_(store), life_(life) {}

    // The item store.
    uint32_t ItemCount() const { return store_.Count(); }
    bool GetItem(uint32_t handle, Item* out) const { return store_.Get(handle, out); }
    uint64_t EndedBlocks(bool flagged) const { return store_.EndedBlocks(flagged); }
    size_t StoreFootprint() const { return store_.Footprint(); }

    // The endpoint's life.
    bool Initialized() const { return life_.Initialized(); }
    bool Registered() const { return life_.Registered(); }
    GUID Clsid() const { return life_.Clsid(); }
    std::array<uint32_t, 7> InitNumbers() const { return life_.InitNumbers(); }
    std::u16string Vendor() const { return life_.Vendor(); }
    std::u16string ShutdownReason() const { return life_.ShutdownReason(); }
    bool ShutdownCalled() const { return life_.ShutdownCalled(); }
    int DisconnectCount() const { return life_.DisconnectCount(); }
    qora::ua::Server* Endpoint() const { return life_.Endpoint(); }
    std::string LastEndpointError() const { return life_.LastEndpointError(); }

  private:
    const ItemStore& store_;
    EndpointLife& life_;
};

}  // namespace gb
