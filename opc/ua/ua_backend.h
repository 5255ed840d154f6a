// What the OPC UA endpoint needs from the toolkit. The toolkit implements this
// interface; the endpoint calls it from its own threads only.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace qora::ua {

struct ItemInfo {
    uint32_t handle = 0;        // toolkit item handle, never 0
    std::string itemId;         // UTF-8 item ID
    uint32_t accessRights = 1;  // 1 = readable
};

struct ItemSample {
    float value = 0.0f;
    uint16_t quality = 0;     // OPC DA quality (192, 8, 24, ...)
    uint64_t sourceTime = 0;  // FILETIME, UTC, 100 ns since 1601
    bool valid = false;       // false: unknown handle
};

class Backend {
  public:
    virtual ~Backend() = default;

    // All items, in creation order. Items are only added before the endpoint starts
    // listening; the list is stable afterwards.
    virtual std::vector<ItemInfo> ListItems() = 0;
    // Increments whenever an update block ends (GBEndUpdate): lets subscriptions skip
    // sampling when nothing changed.
    virtual uint64_t CacheGeneration() = 0;
    // Latest values from the toolkit's cache.
    virtual void ReadCache(const uint32_t* handles, size_t count, ItemSample* out) = 0;
    // A read that must come from the device (MaxAge 0): GBOnReadItems with arrays; positions
    // the server leaves unanswered fall back to the cache.
    virtual void ReadDevice(const uint32_t* handles, size_t count, ItemSample* out) = 0;
    // A refresh the toolkit needs from the device: GBOnReadItems with null values (the server
    // answers through GBSetItem into the cache).
    virtual void RefreshFromDevice(const uint32_t* handles, size_t count) = 0;
    // A client write: GBOnWriteItems; the endpoint answers BadNotWritable afterwards.
    virtual void Write(const uint32_t* handles, size_t count) = 0;

    // Client life.
    virtual void SessionCreated() = 0;  // GBOnBeforeCreateInstance, GBOnCreateInstance
    virtual void SessionClosed() = 0;   // GBOnDestroyInstance
    virtual void ChannelOpened() = 0;   // GBOnLock
    virtual void ChannelClosed() = 0;   // GBOnUnLock
    virtual void ItemsActivated(const uint32_t* handles, size_t count) = 0;    // GBOnActivate
    virtual void ItemsDeactivated(const uint32_t* handles, size_t count) = 0;  // GBOnDeactivate
    // Locale IDs (LCIDs) from GBOnQueryLocales, for LocaleIdArray.
    virtual std::vector<uint32_t> Locales() = 0;
};

}  // namespace qora::ua
