// What the OPC UA endpoint needs from the toolkit. The toolkit implements this
// interface; the endpoint calls it from its own threads only.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace qora::ua {

// What a value means, shared by the items of one parameter of a device type: the unit's text
// (e.g. "°C", empty: none) and the range of values the instrument gives.
struct ItemMetadata {
    std::string unit;
    bool hasRange = false;
    double low = 0, high = 0;
    bool operator==(const ItemMetadata&) const = default;
};

struct ItemInfo {
    ItemInfo() = default;
    ItemInfo(uint32_t h, std::string id, uint32_t rights = 1)
        : handle(h), itemId(std::move(id)), accessRights(rights) {}

    uint32_t handle = 0;        // toolkit item handle, never 0
    std::string itemId;         // UTF-8 item ID
    uint32_t accessRights = 1;  // 1 = readable
    // Where the item hangs in the address space: its connection point and device, by position
    // in the configuration and by display name (UTF-8). Items without a point hang under Objects.
    int32_t point = -1;
    int32_t device = -1;
    std::string pointName;
    std::string deviceName;
    uint16_t metadata = 0;  // n > 0: entry n - 1 of Backend::Metadata(); 0: none
};

// Counters of one connection point (serial line) since polling last started.
struct PointDiagnostics {
    bool portOpen = false;
    uint64_t requestsSent = 0;
    uint64_t bytesSent = 0;
    uint64_t bytesReceived = 0;
    uint64_t framesReceived = 0;
    uint64_t framesDroppedOnChecksum = 0;
    uint64_t bytesDiscarded = 0;  // before a start byte
    uint64_t writeTimeouts = 0;
    uint64_t openFailures = 0;
    std::string lastOpenError;  // UTF-8, empty when none
};

// Counters of one device since polling last started.
struct DeviceDiagnostics {
    uint64_t requestsSent = 0;
    uint64_t goodReplies = 0;
    uint64_t rejectedReplies = 0;  // refused reply code
    uint32_t consecutiveUnanswered = 0;
    uint64_t lastGoodReply = 0;    // FILETIME, UTC; 0 = never
    uint32_t lastReplyTimeMs = 0;  // request to the last byte of the last good reply
};

struct ItemSample {
    float value = 0.0f;
    uint16_t quality = 0;     // OPC DA quality (192, 8, 24, ...)
    uint64_t sourceTime = 0;  // FILETIME, UTC, 100 ns since 1601
    bool valid = false;       // false: unknown handle
};

// One kept value of an item's history.
struct HistorySample {
    uint64_t time = 0;  // FILETIME, UTC
    float value = 0.0f;
    uint16_t quality = 0;  // OPC DA quality
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

    // The metadata entries ItemInfo::metadata refers to; stable once the items are listed.
    virtual std::vector<ItemMetadata> Metadata() { return {}; }

    // Diagnostics of a point / a device (positions as in ItemInfo). False when there are none.
    virtual bool ReadPointDiagnostics(int32_t point, PointDiagnostics& out) {
        (void)point;
        (void)out;
        return false;
    }
    virtual bool ReadDeviceDiagnostics(int32_t point, int32_t device, DeviceDiagnostics& out) {
        (void)point;
        (void)device;
        (void)out;
        return false;
    }

    // Whether item values are kept for HistoryRead (asked once, when the address space is built).
    virtual bool HistoryEnabled() { return false; }
    // At most maxValues kept values of one item into out (cleared first). start < end: those with
    // start <= time < end, oldest first; start > end: those with end < time <= start, newest
    // first. False when no history can be read (none kept, or the store is gone).
    virtual bool ReadHistoryRaw(uint32_t handle, uint64_t start, uint64_t end, size_t maxValues,
                                std::vector<HistorySample>& out) {
        (void)handle;
        (void)start;
        (void)end;
        (void)maxValues;
        out.clear();
        return false;
    }
};

}  // namespace qora::ua
