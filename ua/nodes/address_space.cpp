#include "ua/nodes/address_space.h"

#include "ua/limits.h"
#include "ua/nodes/server_diagnostics.h"
#include "ua/nodes/standard_nodes.h"

namespace qora::ua {

namespace {
constexpr uint8_t kAccessCurrentRead = 0x01;
}

StdNode& AddressSpace::Add(uint32_t nodeId, NodeClass cls, std::string name, uint32_t parent,
                           uint32_t refType, uint32_t typeDef) {
    StdNode& n = std_[nodeId];
    n.id = nodeId;
    n.nodeClass = cls;
    n.browseName = std::move(name);
    n.typeDefinition = typeDef;
    if (parent != 0) AddRef(parent, refType, nodeId);
    if (typeDef != 0) n.refs.push_back({id::HasTypeDefinition, true, {false, typeDef}});
    return n;
}

void AddressSpace::AddRef(uint32_t from, uint32_t refType, uint32_t to) {
    std_[from].refs.push_back({refType, true, {false, to}});
    std_[to].refs.push_back({refType, false, {false, from}});
}

void AddressSpace::Build(const std::vector<ItemInfo>& items) {
    std_.clear();
    superType_.clear();
    for (const StandardNode& row : StandardNodes()) {
        StdNode& n = Add(row.id, row.nodeClass, row.name, row.parent, row.refType, row.typeDefinition);
        n.inverseName = row.inverseName;
        n.isAbstract = row.isAbstract;
        n.symmetric = row.symmetric;
        n.eventNotifier = row.eventNotifier;
        n.dataType = row.dataType;
        n.valueRank = row.valueRank;
        n.dynamic = row.dynamic;
        if (row.value) n.value = row.value();
        if (row.nodeClass == NodeClass::ReferenceType && row.refType == id::HasSubtype)
            superType_[row.id] = row.parent;
    }
    tree_.Build(items);
}

std::optional<NodeRef> AddressSpace::Find(const NodeId& nodeId) const {
    if (nodeId.ns == 0 && nodeId.kind == NodeId::Kind::Numeric) {
        if (std_.count(nodeId.numeric)) return NodeRef::Standard(nodeId.numeric);
        return std::nullopt;
    }
    if (nodeId.ns == kItemNamespace && nodeId.kind == NodeId::Kind::String) {
        if (auto item = tree_.FindItem(nodeId.text)) return NodeRef::Item(*item);
        if (auto placed = tree_.FindPlacement(nodeId.text)) return NodeRef::Placed(*placed);
    }
    return std::nullopt;
}

const StdNode* AddressSpace::Std(NodeRef n) const {
    if (n.item || n.IsPlaced()) return nullptr;
    auto it = std_.find(n.index);
    return it == std_.end() ? nullptr : &it->second;
}

namespace {
using Kind = PlacementNode::Kind;
bool IsCounter(NodeRef n) {
    return n.IsPlaced() && (n.Kind() == Kind::PointCounter || n.Kind() == Kind::DeviceCounter);
}
}  // namespace

uint32_t AddressSpace::CounterDataType(NodeRef n) const {
    if (!IsCounter(n)) return 0;
    return n.Kind() == Kind::PointCounter ? PointCounterInfo(n.counter).dataType
                                          : DeviceCounterInfo(n.counter).dataType;
}

NodeId AddressSpace::IdOf(NodeRef n) const {
    if (n.item) return NodeId::String(kItemNamespace, tree_.ItemNodeText(n.index));
    if (n.IsPlaced())
        return NodeId::String(kItemNamespace, tree_.PlacementText({n.Kind(), n.index, n.counter}));
    return NodeId(0, n.index);
}

NodeClass AddressSpace::ClassOf(NodeRef n) const {
    if (n.item || IsCounter(n)) return NodeClass::Variable;
    if (n.IsPlaced()) return NodeClass::Object;
    const StdNode* s = Std(n);
    return s ? s->nodeClass : NodeClass::Unspecified;
}

QualifiedName AddressSpace::BrowseNameOf(NodeRef n) const {
    if (n.item) return {kItemNamespace, UaString(std::string(tree_.ItemBrowseName(n.index)))};
    if (n.IsPlaced()) {
        std::string name;
        switch (n.Kind()) {
            case Kind::Point:
                name = tree_.PointName(n.index);
                break;
            case Kind::Device:
                name = tree_.DeviceName(n.index);
                break;
            case Kind::PointDiagnostics:
            case Kind::DeviceDiagnostics:
                name = kDiagnosticsName;
                break;
            case Kind::PointCounter:
                name = PointCounterInfo(n.counter).name;
                break;
            case Kind::DeviceCounter:
                name = DeviceCounterInfo(n.counter).name;
                break;
        }
        return {kItemNamespace, UaString(std::move(name))};
    }
    const StdNode* s = Std(n);
    return {0, UaString(s ? s->browseName : std::string())};
}

LocalizedText AddressSpace::DisplayNameOf(NodeRef n) const {
    LocalizedText t;
    if (n.item)
        t.text = UaString(tree_.ItemId(n.index));
    else
        t.text = BrowseNameOf(n).name;
    return t;
}

NodeId AddressSpace::TypeDefinitionOf(NodeRef n) const {
    if (n.item || IsCounter(n)) return NodeId(0, id::BaseDataVariableType);
    if (n.IsPlaced()) return NodeId(0, n.Kind() == Kind::Point ? id::FolderType : id::BaseObjectType);
    const StdNode* s = Std(n);
    if (!s || s->typeDefinition == 0) return NodeId();
    return NodeId(0, s->typeDefinition);
}

// References of items and placed nodes, computed from the tables: the type definition, the
// parent (inverse), then the children.
size_t AddressSpace::PlacedReferenceCount(NodeRef n) const {
    if (n.item) return 2;
    switch (n.Kind()) {
        case Kind::Point:
            return 3 + tree_.Points()[n.index].deviceCount;
        case Kind::Device:
            return 3 + tree_.Devices()[n.index].childCount;
        case Kind::PointDiagnostics:
            return 2 + kPointCounterCount;
        case Kind::DeviceDiagnostics:
            return 2 + kDeviceCounterCount;
        case Kind::PointCounter:
        case Kind::DeviceCounter:
            return 2;
    }
    return 0;
}

ReferenceDescription AddressSpace::PlacedReferenceAt(NodeRef n, size_t i) const {
    if (i == 0) return {id::HasTypeDefinition, true, NodeRef::Standard(TypeDefinitionOf(n).numeric)};
    if (n.item) {
        const uint32_t device = tree_.Item(n.index).device;
        if (device == kNoDevice) return {id::Organizes, false, NodeRef::Standard(id::ObjectsFolder)};
        return {id::HasComponent, false, NodeRef::Placed(Kind::Device, device)};
    }
    const auto child = static_cast<uint32_t>(i - 3);
    switch (n.Kind()) {
        case Kind::Point:
            if (i == 1) return {id::Organizes, false, NodeRef::Standard(id::ObjectsFolder)};
            if (i == 2) return {id::HasComponent, true, NodeRef::Placed(Kind::PointDiagnostics, n.index)};
            return {id::Organizes, true,
                    NodeRef::Placed(Kind::Device, tree_.Points()[n.index].firstDevice + child)};
        case Kind::Device: {
            const DeviceNode& d = tree_.Devices()[n.index];
            if (i == 1) return {id::Organizes, false, NodeRef::Placed(Kind::Point, d.point)};
            if (i == 2) return {id::HasComponent, true, NodeRef::Placed(Kind::DeviceDiagnostics, n.index)};
            return {id::HasComponent, true, NodeRef::Item(tree_.ChildAt(d.firstChild + child))};
        }
        case Kind::PointDiagnostics:
            if (i == 1) return {id::HasComponent, false, NodeRef::Placed(Kind::Point, n.index)};
            return {id::HasComponent, true,
                    NodeRef::Placed(Kind::PointCounter, n.index, static_cast<uint8_t>(i - 2))};
        case Kind::DeviceDiagnostics:
            if (i == 1) return {id::HasComponent, false, NodeRef::Placed(Kind::Device, n.index)};
            return {id::HasComponent, true,
                    NodeRef::Placed(Kind::DeviceCounter, n.index, static_cast<uint8_t>(i - 2))};
        case Kind::PointCounter:
            return {id::HasComponent, false, NodeRef::Placed(Kind::PointDiagnostics, n.index)};
        case Kind::DeviceCounter:
            return {id::HasComponent, false, NodeRef::Placed(Kind::DeviceDiagnostics, n.index)};
    }
    return {};
}

size_t AddressSpace::ReferenceCount(NodeRef n) const {
    if (n.item || n.IsPlaced()) return PlacedReferenceCount(n);
    const StdNode* s = Std(n);
    if (!s) return 0;
    if (n.index != id::ObjectsFolder) return s->refs.size();
    return s->refs.size() + tree_.Points().size() + tree_.LooseCount();
}

ReferenceDescription AddressSpace::ReferenceAt(NodeRef n, size_t i) const {
    if (n.item || n.IsPlaced()) return PlacedReferenceAt(n, i);
    const StdNode* s = Std(n);
    if (i < s->refs.size()) return s->refs[i];
    i -= s->refs.size();
    if (i < tree_.Points().size())
        return {id::Organizes, true, NodeRef::Placed(Kind::Point, static_cast<uint32_t>(i))};
    i -= tree_.Points().size();
    return {id::Organizes, true, NodeRef::Item(tree_.LooseAt(i))};
}

bool AddressSpace::IsSubtype(uint32_t sub, uint32_t super, bool withSubtypes) const {
    if (sub == super) return true;
    if (!withSubtypes) return false;
    for (int guard = 0; guard < 16; ++guard) {
        auto it = superType_.find(sub);
        if (it == superType_.end()) return false;
        sub = it->second;
        if (sub == super) return true;
    }
    return false;
}

bool AddressSpace::IsReferenceType(const NodeId& nodeId) const {
    if (nodeId.ns != 0 || nodeId.kind != NodeId::Kind::Numeric) return false;
    auto it = std_.find(nodeId.numeric);
    return it != std_.end() && it->second.nodeClass == NodeClass::ReferenceType;
}

StatusCode AddressSpace::ReadAttribute(NodeRef n, uint32_t attributeId, Variant& out) const {
    const NodeClass cls = ClassOf(n);
    const StdNode* s = Std(n);
    switch (attributeId) {
        case AttrNodeId:
            out = Variant::Node(IdOf(n));
            return status::Good;
        case AttrNodeClass:
            out = Variant::Int32(static_cast<int32_t>(cls));
            return status::Good;
        case AttrBrowseName:
            out = Variant::Qualified(BrowseNameOf(n));
            return status::Good;
        case AttrDisplayName:
            out = Variant::Text(DisplayNameOf(n));
            return status::Good;
        case AttrDescription: {
            LocalizedText empty;
            empty.text = UaString(std::string());
            out = Variant::Text(empty);
            return status::Good;
        }
        case AttrWriteMask:
        case AttrUserWriteMask:
            out = Variant::UInt32(0);
            return status::Good;
        default:
            break;
    }
    const bool isType = cls == NodeClass::ObjectType || cls == NodeClass::VariableType ||
                        cls == NodeClass::ReferenceType || cls == NodeClass::DataType;
    const bool isVar = cls == NodeClass::Variable || cls == NodeClass::VariableType;
    switch (attributeId) {
        case AttrIsAbstract:
            if (!isType) break;
            out = Variant::Boolean(s && s->isAbstract);
            return status::Good;
        case AttrSymmetric:
            if (cls != NodeClass::ReferenceType) break;
            out = Variant::Boolean(s->symmetric);
            return status::Good;
        case AttrInverseName: {
            if (cls != NodeClass::ReferenceType) break;
            LocalizedText t;
            if (!s->inverseName.empty()) t.text = UaString(s->inverseName);
            out = Variant::Text(t);
            return status::Good;
        }
        case AttrEventNotifier:
            if (cls != NodeClass::Object && cls != NodeClass::View) break;
            out = Variant::Byte(s ? s->eventNotifier : 0);
            return status::Good;
        case AttrValue:
            if (!isVar) break;
            if (!s || s->dynamic) return status::BadInternalError;  // caller supplies
            if (cls == NodeClass::VariableType) break;
            out = s->value;
            return status::Good;
        case AttrDataType:
            if (!isVar) break;
            out = Variant::Node(NodeId(0, n.item ? 10u : s ? s->dataType : CounterDataType(n)));
            return status::Good;
        case AttrValueRank:
            if (!isVar) break;
            out = Variant::Int32(s ? s->valueRank : -1);
            return status::Good;
        case AttrArrayDimensions: {
            if (!isVar) break;
            std::vector<VariantScalar> dims;
            if (s && s->valueRank == 1) dims.push_back(uint64_t{0});
            out = Variant::Array(BuiltinType::UInt32, std::move(dims));
            return status::Good;
        }
        case AttrAccessLevel:
        case AttrUserAccessLevel:
            if (cls != NodeClass::Variable) break;
            out = Variant::Byte(kAccessCurrentRead);
            return status::Good;
        case AttrAccessLevelEx:
            if (cls != NodeClass::Variable) break;
            out = Variant::UInt32(kAccessCurrentRead);
            return status::Good;
        case AttrMinimumSamplingInterval:
            if (cls != NodeClass::Variable) break;
            // Items follow the poll; counters move at least once a second.
            out = Variant::Double(n.item ? 50.0 : IsCounter(n) ? 1000.0 : 0.0);
            return status::Good;
        case AttrHistorizing:
            if (cls != NodeClass::Variable) break;
            out = Variant::Boolean(false);
            return status::Good;
        case AttrContainsNoLoops:
            if (cls != NodeClass::View) break;
            out = Variant::Boolean(true);
            return status::Good;
        default:
            break;
    }
    return status::BadAttributeIdInvalid;
}

}  // namespace qora::ua
