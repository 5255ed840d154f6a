#include "ua/nodes/address_space.h"

#include <cstring>

#include "ua/encoding/binary.h"
#include "ua/limits.h"
#include "ua/nodes/server_diagnostics.h"
#include "ua/nodes/standard_nodes.h"

namespace qora::ua {

namespace {
// Types of analog items and their properties.
constexpr uint32_t kAnalogItemType = kAnalogItemTypeId, kRangeType = kRangeTypeId,
                   kEUInformationType = kEUInformationTypeId, kRangeEncoding = 886,
                   kEUInformationEncoding = 889;
constexpr const char* kPropertyNames[kItemPropertyCount] = {"EngineeringUnits", "EURange"};

// Unit texts and their UNECE common codes.
struct UnitCode {
    const char* text;
    const char* code;
};
constexpr UnitCode kUnitCodes[] = {
    {"\u00B0C", "CEL"}, {"K", "KEL"},       {"Pa", "PAL"},      {"kPa", "KPA"},       {"MPa", "MPA"},
    {"bar", "BAR"},     {"mbar", "MBR"},    {"%", "P1"},        {"m\u00B3/h", "MQH"}, {"m3/h", "MQH"},
    {"l/min", "L2"},    {"l/h", "L1"},      {"m/s", "MTS"},     {"V", "VLT"},         {"mV", "2Z"},
    {"A", "AMP"},       {"mA", "4K"},       {"W", "WTT"},       {"kW", "KWT"},        {"MW", "MAW"},
    {"kWh", "KWH"},     {"Hz", "HTZ"},      {"mm", "MMT"},      {"cm", "CMT"},        {"m", "MTR"},
    {"kg", "KGM"},      {"g", "GRM"},       {"t", "TNE"},       {"s", "SEC"},         {"min", "MIN"},
    {"h", "HUR"},       {"rpm", "RPM"},     {"\u00B0F", "FAH"}, {"ppm", "59"},        {"t/h", "E18"},
    {"kg/h", "E93"},    {"m\u00B3", "MTQ"}, {"l", "LTR"},
};
}  // namespace

int32_t UnitIdOf(std::string_view unit) {
    for (const UnitCode& u : kUnitCodes) {
        if (unit != u.text) continue;
        int32_t id = 0;
        for (const char* c = u.code; *c; ++c) id = (id << 8) | static_cast<unsigned char>(*c);
        return id;
    }
    return -1;
}

namespace {
// Bits of AccessLevel: the current value and the history are readable.
constexpr uint8_t kAccessCurrentRead = 0x01, kAccessHistoryRead = 0x04;
}  // namespace

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

void AddressSpace::Build(const std::vector<ItemInfo>& items, std::vector<ItemMetadata> metadata) {
    metadata_ = std::move(metadata);
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

std::optional<NodeRef> AddressSpace::Find(const NodeIdView& nodeId) const {
    if (nodeId.ns == 0 && nodeId.kind == NodeId::Kind::Numeric) {
        if (std_.count(nodeId.numeric)) return NodeRef::Standard(nodeId.numeric);
        return std::nullopt;
    }
    if (nodeId.ns == kItemNamespace && nodeId.kind == NodeId::Kind::String) {
        if (auto item = tree_.FindItem(nodeId.text)) return NodeRef::Item(*item);
        if (auto placed = tree_.FindPlacement(nodeId.text)) return NodeRef::Placed(*placed);
        const std::string_view text(nodeId.text);
        for (uint8_t p = 0; p < kItemPropertyCount; ++p) {
            const size_t len = std::strlen(kPropertyNames[p]);
            if (text.size() <= len + 1 || text.substr(text.size() - len) != kPropertyNames[p] ||
                text[text.size() - len - 1] != '/')
                continue;
            if (auto item = tree_.FindItem(text.substr(0, text.size() - len - 1));
                item && HasProperty(*item, p))
                return NodeRef::Property(*item, p);
        }
    }
    return std::nullopt;
}

const ItemMetadata* AddressSpace::MetadataOf(uint32_t item) const {
    const uint16_t m = tree_.Item(item).metadata;
    return m > 0 && m <= metadata_.size() ? &metadata_[m - 1] : nullptr;
}

bool AddressSpace::HasProperty(uint32_t item, uint8_t property) const {
    const ItemMetadata* m = MetadataOf(item);
    if (!m) return false;
    return property == EngineeringUnits ? !m->unit.empty() : property == EURange && m->hasRange;
}

const StdNode* AddressSpace::Std(NodeRef n) const {
    if (n.item || n.placed != 0) return nullptr;
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
    if (n.IsProperty())
        return NodeId::String(kItemNamespace,
                              tree_.ItemNodeText(n.index) + "/" + kPropertyNames[n.PropertyIndex()]);
    if (n.IsPlaced())
        return NodeId::String(kItemNamespace, tree_.PlacementText({n.Kind(), n.index, n.counter}));
    return NodeId(0, n.index);
}

NodeClass AddressSpace::ClassOf(NodeRef n) const {
    if (n.item || IsCounter(n) || n.IsProperty()) return NodeClass::Variable;
    if (n.IsPlaced()) return NodeClass::Object;
    const StdNode* s = Std(n);
    return s ? s->nodeClass : NodeClass::Unspecified;
}

QualifiedName AddressSpace::BrowseNameOf(NodeRef n) const {
    if (n.item) return {kItemNamespace, UaString(std::string(tree_.ItemBrowseName(n.index)))};
    if (n.IsProperty()) return {0, UaString(kPropertyNames[n.PropertyIndex()])};
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
    t.text = BrowseNameOf(n).name;
    return t;
}

// Items: "<parameter> of device <device> on point <point>" (the names as in the item ID).
LocalizedText AddressSpace::DescriptionOf(NodeRef n) const {
    LocalizedText t;
    std::string text;
    if (n.item) {
        const ItemNode& item = tree_.Item(n.index);
        text = std::string(tree_.ItemBrowseName(n.index));
        if (item.device != kNoDevice) {
            const DeviceNode& d = tree_.Devices()[item.device];
            text += " of device " + std::string(tree_.DeviceName(item.device)) + " on point " +
                    std::string(tree_.PointName(d.point));
        }
    }
    t.text = UaString(std::move(text));
    return t;
}

Variant AddressSpace::PropertyValue(NodeRef n) const {
    const ItemMetadata* m = MetadataOf(n.index);
    if (!m) return Variant{};
    if (n.PropertyIndex() == EURange)
        return Variant::Extension(MakeExtension(kRangeEncoding, [&](Encoder& e) {
            e.Double(m->low);
            e.Double(m->high);
        }));
    const int32_t unitId = UnitIdOf(m->unit);
    return Variant::Extension(MakeExtension(kEUInformationEncoding, [&](Encoder& e) {
        e.String(std::string_view(kUnitNamespaceUri));
        e.Int32(unitId);
        LocalizedText text;
        text.text = UaString(m->unit);
        e.Text(text);
        e.Text(text);
    }));
}

NodeId AddressSpace::TypeDefinitionOf(NodeRef n) const {
    if (n.IsProperty()) return NodeId(0, id::PropertyType);
    if (n.item)
        return NodeId(0, HasProperty(n.index, EngineeringUnits) ? kAnalogItemType : id::BaseDataVariableType);
    if (IsCounter(n)) return NodeId(0, id::BaseDataVariableType);
    if (n.IsPlaced()) return NodeId(0, n.Kind() == Kind::Point ? id::FolderType : id::BaseObjectType);
    const StdNode* s = Std(n);
    if (!s || s->typeDefinition == 0) return NodeId();
    return NodeId(0, s->typeDefinition);
}

// References of items and placed nodes, computed from the tables: the type definition, the
// parent (inverse), then the children.
size_t AddressSpace::PlacedReferenceCount(NodeRef n) const {
    if (n.item) {
        size_t count = 2;
        for (uint8_t p = 0; p < kItemPropertyCount; ++p) count += HasProperty(n.index, p);
        return count;
    }
    if (n.IsProperty()) return 2;
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
    if (n.IsProperty()) return {id::HasProperty, false, NodeRef::Item(n.index)};
    if (n.item) {
        if (i >= 2) {
            uint8_t p = 0;
            for (size_t k = i - 2;; ++p)
                if (HasProperty(n.index, p) && k-- == 0) break;
            return {id::HasProperty, true, NodeRef::Property(n.index, p)};
        }
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
    if (n.item || n.placed != 0) return PlacedReferenceCount(n);
    const StdNode* s = Std(n);
    if (!s) return 0;
    if (n.index != id::ObjectsFolder) return s->refs.size();
    return s->refs.size() + tree_.Points().size() + tree_.LooseCount();
}

ReferenceDescription AddressSpace::ReferenceAt(NodeRef n, size_t i) const {
    if (n.item || n.placed != 0) return PlacedReferenceAt(n, i);
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
        case AttrDescription:
            out = Variant::Text(DescriptionOf(n));
            return status::Good;
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
            if (n.IsProperty()) {
                out = PropertyValue(n);
                return status::Good;
            }
            if (!s || s->dynamic) return status::BadInternalError;  // caller supplies
            if (cls == NodeClass::VariableType) break;
            out = s->value;
            return status::Good;
        case AttrDataType:
            if (!isVar) break;
            if (n.IsProperty()) {
                out =
                    Variant::Node(NodeId(0, n.PropertyIndex() == EURange ? kRangeType : kEUInformationType));
                return status::Good;
            }
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
            out = Variant::Byte(n.item && historizing_ ? kAccessCurrentRead | kAccessHistoryRead
                                                       : kAccessCurrentRead);
            return status::Good;
        case AttrAccessLevelEx:
            if (cls != NodeClass::Variable) break;
            out = Variant::UInt32(n.item && historizing_ ? kAccessCurrentRead | kAccessHistoryRead
                                                         : kAccessCurrentRead);
            return status::Good;
        case AttrMinimumSamplingInterval:
            if (cls != NodeClass::Variable) break;
            // Items change once per push; counters move at least once a second.
            out = Variant::Double(n.item ? itemSamplingMs_ : IsCounter(n) ? 1000.0 : 0.0);
            return status::Good;
        case AttrHistorizing:
            if (cls != NodeClass::Variable) break;
            out = Variant::Boolean(n.item && historizing_);
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
