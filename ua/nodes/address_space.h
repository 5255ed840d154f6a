// The endpoint's address space: the standard namespace 0 nodes a generic client expects, and in
// namespace 1 one object per connection point under Objects, one per device under its point, the
// device's items (Float variables, ns=1;s=<item ID>) under the device, and a Diagnostics object
// with counters under each point and device. Items without a point hang under Objects.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "ua/encoding/types.h"
#include "ua/nodes/backend.h"
#include "ua/nodes/item_tree.h"

namespace qora::ua {

inline constexpr uint16_t kItemNamespace = 1;

// A node of the address space: a namespace 0 node (by numeric id), an item (by index), or a
// point, device or diagnostics node (placement kind + 1, table index, counter).
struct NodeRef {
    bool item = false;
    uint32_t index = 0;  // ns0: numeric id; item: position in the item table; placed: table index
    uint8_t placed = 0;  // 0: ns0 node or item; otherwise PlacementNode::Kind + 1
    uint8_t counter = 0;
    bool operator==(const NodeRef&) const = default;

    static NodeRef Standard(uint32_t id) { return {false, id, 0, 0}; }
    static NodeRef Item(uint32_t i) { return {true, i, 0, 0}; }
    static NodeRef Placed(PlacementNode::Kind kind, uint32_t index, uint8_t counter = 0) {
        return {false, index, static_cast<uint8_t>(static_cast<uint8_t>(kind) + 1), counter};
    }
    static NodeRef Placed(const PlacementNode& p) { return Placed(p.kind, p.index, p.counter); }
    // A property of item i (made on demand, ns=1;s=<item NodeId>/<property name>).
    static NodeRef Property(uint32_t i, uint8_t property) {
        return {false, i, static_cast<uint8_t>(kPropertyTag + property), 0};
    }
    bool IsPlaced() const { return placed != 0 && placed < kPropertyTag; }
    bool IsProperty() const { return placed >= kPropertyTag; }
    uint8_t PropertyIndex() const { return static_cast<uint8_t>(placed - kPropertyTag); }
    static constexpr uint8_t kPropertyTag = 0x80;
    PlacementNode::Kind Kind() const { return static_cast<PlacementNode::Kind>(placed - 1); }
};

// Properties of items with metadata.
enum ItemProperty : uint8_t { EngineeringUnits, EURange, kItemPropertyCount };

// The unit's id in the UNECE common code as OPC UA packs it (the code's characters, one byte each,
// the first highest); -1 for a text without a known code.
int32_t UnitIdOf(std::string_view unit);
inline constexpr const char* kUnitNamespaceUri = "http://www.opcfoundation.org/UA/units/un/cefact";

struct ReferenceDescription {
    uint32_t referenceType = 0;
    bool isForward = true;
    NodeRef target;
};

struct StdNode {
    uint32_t id = 0;
    NodeClass nodeClass = NodeClass::Object;
    std::string browseName;
    std::string inverseName;  // reference types
    bool isAbstract = false;
    bool symmetric = false;
    uint8_t eventNotifier = 0;
    uint32_t dataType = 0;  // variables and variable types
    int32_t valueRank = -1;
    uint32_t typeDefinition = 0;
    bool dynamic = false;  // value computed by the server at read time
    Variant value;
    std::vector<ReferenceDescription> refs;
};

class AddressSpace {
  public:
    // Builds namespace 0 and the item nodes. Items with an ID seen before get "#2", "#3" ...
    // appended to their NodeId (the first free suffix), never to their names. An item's
    // BrowseName is the part of its ID after "<point name>.<device name>." (its parameter; the
    // whole ID when it has no point or does not start so); its DisplayName is its whole ID.
    // metadata: the entries ItemInfo::metadata refers to. Items with a unit are AnalogItemType
    // with an EngineeringUnits property, items with a range an EURange property; their DisplayName
    // is the BrowseName and their Description names the point, device and parameter.
    void Build(const std::vector<ItemInfo>& items, std::vector<ItemMetadata> metadata = {});
    // MinimumSamplingInterval of the items.
    void SetItemSamplingInterval(double ms) { itemSamplingMs_ = ms; }
    // Whether item values are kept: items are then Historizing, with HistoryRead access.
    void SetHistorizing(bool on) { historizing_ = on; }
    bool Historizing() const { return historizing_; }
    // Metadata of item i, or null.
    const ItemMetadata* MetadataOf(uint32_t item) const;
    bool HasProperty(uint32_t item, uint8_t property) const;

    std::optional<NodeRef> Find(const NodeIdView& id) const;
    NodeId IdOf(NodeRef n) const;
    NodeClass ClassOf(NodeRef n) const;
    QualifiedName BrowseNameOf(NodeRef n) const;
    LocalizedText DisplayNameOf(NodeRef n) const;
    NodeId TypeDefinitionOf(NodeRef n) const;  // null for types
    const StdNode* Std(NodeRef n) const;       // null for items and placed nodes
    const ItemNode& Item(uint32_t index) const { return tree_.Item(index); }
    size_t ItemCount() const { return tree_.ItemCount(); }
    const ItemTree& Tree() const { return tree_; }
    // Data type (ns0 numeric id) of a diagnostics counter node; 0 for other nodes.
    uint32_t CounterDataType(NodeRef n) const;

    // References of a node: the static list, then (for the Objects folder) one Organizes per
    // point and per item without a point; those of items and placed nodes come from the tables.
    size_t ReferenceCount(NodeRef n) const;
    ReferenceDescription ReferenceAt(NodeRef n, size_t i) const;

    // Whether reference type `sub` is `super` or (withSubtypes) derives from it.
    bool IsSubtype(uint32_t sub, uint32_t super, bool withSubtypes) const;
    bool IsReferenceType(const NodeId& id) const;

    // Reads a non-Value attribute, or the Value of a static namespace 0 node. For dynamic nodes
    // and items the caller supplies the value. Returns false with a status when the attribute is
    // invalid for the node.
    StatusCode ReadAttribute(NodeRef n, uint32_t attributeId, Variant& out) const;

  private:
    StdNode& Add(uint32_t id, NodeClass cls, std::string name, uint32_t parent, uint32_t refType,
                 uint32_t typeDef);
    void AddRef(uint32_t from, uint32_t refType, uint32_t to);
    size_t PlacedReferenceCount(NodeRef n) const;
    ReferenceDescription PlacedReferenceAt(NodeRef n, size_t i) const;
    Variant PropertyValue(NodeRef n) const;
    LocalizedText DescriptionOf(NodeRef n) const;

    std::unordered_map<uint32_t, StdNode> std_;
    std::unordered_map<uint32_t, uint32_t> superType_;  // reference type → its supertype
    ItemTree tree_;
    std::vector<ItemMetadata> metadata_;
    double itemSamplingMs_ = 1000;
    bool historizing_ = false;
};

}  // namespace qora::ua
