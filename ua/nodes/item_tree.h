// The items of the address space and where they hang: connection points, their devices, the
// devices' items, and the diagnostics counters of each point and device. Sized for a few hundred
// thousand items: an item costs a fixed-size record and a slot of the NodeId hash table; names of
// points and devices are stored once each, the parameter part of item IDs once per distinct text,
// and the children of a node are ranges of tables, not stored reference lists.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "ua/nodes/backend.h"

namespace qora::ua {

inline constexpr uint32_t kNoDevice = 0xFFFFFFFFu;

struct ItemNode {
    uint32_t handle = 0;
    uint32_t device = kNoDevice;  // position in the device table; kNoDevice: under Objects
    uint32_t tail = 0;            // interned text: the item ID after its device prefix (or all of it)
    uint16_t duplicate = 0;       // n > 0: the NodeId carries "#n" after the item ID
    uint16_t metadata = 0;        // as ItemInfo::metadata
    uint8_t accessRights = 1;
    bool prefixed = false;  // the item ID is its device's prefix followed by the tail
};

struct PointNode {
    int32_t position = 0;  // in the configuration
    uint32_t nameOffset = 0, nameLength = 0;
    uint32_t firstDevice = 0, deviceCount = 0;
};

struct DeviceNode {
    int32_t position = 0;  // within its point, in the configuration
    uint32_t point = 0;    // position in the point table
    // "<point name>.<device name>." in the name store; the device name starts at nameStart.
    uint32_t prefixOffset = 0, prefixLength = 0, nameStart = 0, nameLength = 0;
    uint32_t firstChild = 0, childCount = 0;  // range of ItemTree::ChildAt
};

// A diagnostics variable: its browse name and data type (namespace 0 numeric id).
struct CounterInfo {
    const char* name;
    uint32_t dataType;
};
enum PointCounter : uint8_t {
    PortOpen,
    PointRequestsSent,
    BytesSent,
    BytesReceived,
    FramesReceived,
    FramesDroppedOnChecksum,
    BytesDiscarded,
    WriteTimeouts,
    OpenFailures,
    LastOpenError,
    kPointCounterCount
};
enum DeviceCounter : uint8_t {
    DeviceRequestsSent,
    GoodReplies,
    RejectedReplies,
    ConsecutiveUnanswered,
    LastGoodReply,
    LastReplyTimeMs,
    kDeviceCounterCount
};
const CounterInfo& PointCounterInfo(uint8_t counter);
const CounterInfo& DeviceCounterInfo(uint8_t counter);
inline constexpr const char* kDiagnosticsName = "Diagnostics";

// What a namespace 1 string NodeId names other than an item.
struct PlacementNode {
    enum class Kind : uint8_t {
        Point,
        Device,
        PointDiagnostics,
        DeviceDiagnostics,
        PointCounter,
        DeviceCounter
    };
    Kind kind = Kind::Point;
    uint32_t index = 0;  // point table (Point*) or device table (Device*)
    uint8_t counter = 0;
};

class ItemTree {
  public:
    // Items keep their order; duplicates of an ID get "#2", "#3" ... (the first suffix that is
    // no other item's ID) appended to their NodeId.
    void Build(const std::vector<ItemInfo>& items);

    size_t ItemCount() const { return items_.size(); }
    const ItemNode& Item(uint32_t i) const { return items_[i]; }
    const std::vector<PointNode>& Points() const { return points_; }
    const std::vector<DeviceNode>& Devices() const { return devices_; }
    // Items under Objects (without placement), in order.
    size_t LooseCount() const { return loose_.size(); }
    uint32_t LooseAt(size_t i) const { return loose_[i]; }
    // Item of the k-th child slot of a device (DeviceNode::firstChild + k).
    uint32_t ChildAt(uint32_t slot) const { return children_.empty() ? slot : children_[slot]; }

    // Item by its NodeId text.
    std::optional<uint32_t> FindItem(std::string_view text) const;
    // Point, device or diagnostics node by its NodeId text ("Point:<p>/Device:<d>/...").
    std::optional<PlacementNode> FindPlacement(std::string_view text) const;

    std::string ItemNodeText(uint32_t i) const;
    std::string ItemId(uint32_t i) const;               // without the "#n" of a duplicate
    std::string_view ItemBrowseName(uint32_t i) const;  // the parameter part of the ID
    std::string_view PointName(uint32_t p) const;
    std::string_view DeviceName(uint32_t d) const;
    std::string PlacementText(const PlacementNode& n) const;

    // Heap bytes held (for the memory benchmark).
    size_t HeapBytes() const;

  private:
    std::string_view Tail(uint32_t t) const;
    std::string_view Prefix(const ItemNode& n) const;
    uint64_t HashOf(const ItemNode& n) const;
    bool TextEquals(const ItemNode& n, std::string_view text) const;
    // Slot of the table holding an item with this text, or of the empty slot where it would go.
    size_t Probe(std::string_view text, uint64_t hash) const;
    size_t ProbeItem(const ItemNode& n, uint64_t hash) const;
    static constexpr uint32_t kTaggedIndexMask = (1u << 24) - 1;
    // Bits of the hash kept in the upper byte of a slot (none when the index needs them).
    uint32_t Tag(uint64_t hash) const { return static_cast<uint32_t>(hash >> 32) & ~indexMask_; }
    const PointNode* PointAt(int32_t position) const;

    std::string names_;  // point names, device prefixes, interned tails
    std::vector<uint32_t> tailOffsets_, tailLengths_;
    std::vector<ItemNode> items_;
    std::vector<PointNode> points_;
    std::vector<DeviceNode> devices_;
    std::vector<uint32_t> loose_;
    std::vector<uint32_t> children_;     // empty when each device's items are already contiguous
    std::vector<uint32_t> slots_;        // open addressing: item index + 1 (and a tag), 0 = empty
    uint32_t indexMask_ = ~uint32_t{0};  // bits of a slot that hold the index
};

}  // namespace qora::ua
