// The endpoint's address space: the standard namespace 0 nodes a generic client expects and one
// Float variable per toolkit item under the Objects folder (ns=1;s=<item ID>).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "opc/ua/ua_backend.h"
#include "opc/ua/ua_types.h"

namespace qora::ua {

inline constexpr uint16_t kItemNamespace = 1;

// A node of the address space: a namespace 0 node (by numeric id) or an item (by index).
struct NodeRef {
    bool item = false;
    uint32_t index = 0;  // ns0: numeric id; item: position in the item table
    bool operator==(const NodeRef&) const = default;
};

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

struct ItemNode {
    std::string nodeText;     // NodeId identifier: item ID, with "#n" for duplicates
    uint32_t nameLength = 0;  // the item ID is nodeText's first nameLength bytes
    uint32_t handle = 0;
    uint32_t accessRights = 1;
    std::string_view ItemId() const { return std::string_view(nodeText).substr(0, nameLength); }
};

class AddressSpace {
  public:
    // Builds namespace 0 and the item nodes. Items with an ID seen before get "#2", "#3" ...
    // appended to their NodeId (the first free suffix), never to their names.
    void Build(const std::vector<ItemInfo>& items);

    std::optional<NodeRef> Find(const NodeId& id) const;
    NodeId IdOf(NodeRef n) const;
    NodeClass ClassOf(NodeRef n) const;
    QualifiedName BrowseNameOf(NodeRef n) const;
    LocalizedText DisplayNameOf(NodeRef n) const;
    NodeId TypeDefinitionOf(NodeRef n) const;  // null for types
    const StdNode* Std(NodeRef n) const;       // null for items
    const ItemNode& Item(uint32_t index) const { return items_[index]; }
    size_t ItemCount() const { return items_.size(); }

    // References of a node: the static list, then (for the Objects folder) one Organizes per item.
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
    void Variable(uint32_t id, std::string name, uint32_t parent, uint32_t refType, uint32_t dataType,
                  int32_t valueRank, Variant value, bool dynamic = false, uint32_t typeDef = 0);

    std::unordered_map<uint32_t, StdNode> std_;
    std::unordered_map<uint32_t, uint32_t> superType_;  // reference type → its supertype
    std::vector<ItemNode> items_;
    std::unordered_map<std::string_view, uint32_t> itemIndex_;
};

}  // namespace qora::ua
