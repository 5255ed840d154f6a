// Inner state of the toolkit, one class per lock: the item store (its own shared mutex), the
// diagnostics providers (their own mutex), the history provider (its own mutex), the client side
// over them (qora::ua::Backend, no lock) and the endpoint's life (an EndpointLife with its own lock),
// destroyed first.
#pragma once

#include "opc/toolkit/gb_backend.h"
#include "opc/toolkit/gb_data_access.h"
#include "opc/toolkit/gb_diagnostics.h"
#include "opc/toolkit/gb_endpoint_life.h"
#include "opc/toolkit/gb_item_store.h"

namespace gb {

struct GBOPCDataAccessBase::Impl {
    explicit Impl(GBOPCDataAccessBase& owner)
        : backend(owner, store, diagnostics, history), life(owner, backend) {}
    ~Impl() { life.StopEndpoint(); }
    Impl(const Impl&) = delete;
    Impl& operator=(const Impl&) = delete;

    ItemStore store;
    DiagnosticsProviders diagnostics;
    HistoryProviderSlot history;
    BackendAdapter backend;
    EndpointLife life;
};

}  // namespace gb
