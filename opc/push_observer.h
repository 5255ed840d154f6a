// What one push set on the items, for whoever follows the values beyond OPC UA (the MQTT
// bridge, a history): told once per push, on the window thread, after the update block ended.
//
// A report carries everything an observer needs, so none walks the records or builds item IDs
// again: one timestamp for the whole push, and per item its number, toolkit handle, value,
// quality, and whether value (bit for bit) or quality differ from what the previous report gave
// this item. The item's ID is COPCServer::ItemIdUtf8(item), kept once for the run (16 bytes an
// item here instead of 32: a report holds every item of the largest configuration).
#pragma once

#include <cstdint>
#include <span>

namespace qora {

class COPCServer;

struct TPushedItem {
    int32_t item;     // item number of this run: 0 .. COPCServer::ItemCount() - 1
    uint32_t handle;  // toolkit handle
    float value;
    uint16_t quality;
    bool changed;  // value or quality differs from the item's previous report (true the first time)
};

struct TPushReport {
    // The push's time: FILETIME (100 ns since 1601, UTC), the items' timestamp in the toolkit.
    uint64_t fileTime = 0;
    // Items that lost their slot since the last report first (quality 8, the no-value marker,
    // reported once), then every item the push set, in point, device, slot order. The item check
    // that runs while polling is stopped reports only the former.
    std::span<const TPushedItem> items;
};

class IPushObserver {
  public:
    virtual ~IPushObserver() = default;
    // server: what the items belong to (item count, handles, where each item's slot lies).
    virtual void Pushed(const COPCServer& server, const TPushReport& report) = 0;
};

}  // namespace qora
