#include "opc/ua/ua_address_space.h"

#include <unordered_set>

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

void AddressSpace::Variable(uint32_t nodeId, std::string name, uint32_t parent, uint32_t refType,
                            uint32_t dataType, int32_t valueRank, Variant value, bool dynamic,
                            uint32_t typeDef) {
    if (typeDef == 0) typeDef = refType == id::HasProperty ? id::PropertyType : id::BaseDataVariableType;
    StdNode& n = Add(nodeId, NodeClass::Variable, std::move(name), parent, refType, typeDef);
    n.dataType = dataType;
    n.valueRank = valueRank;
    n.value = std::move(value);
    n.dynamic = dynamic;
}

void AddressSpace::Build(const std::vector<ItemInfo>& items) {
    using NC = NodeClass;
    std_.clear();
    superType_.clear();
    items_.clear();
    itemIndex_.clear();

    // Folders.
    Add(id::RootFolder, NC::Object, "Root", 0, 0, id::FolderType);
    Add(id::ObjectsFolder, NC::Object, "Objects", id::RootFolder, id::Organizes, id::FolderType);
    Add(id::TypesFolder, NC::Object, "Types", id::RootFolder, id::Organizes, id::FolderType);
    Add(id::ViewsFolder, NC::Object, "Views", id::RootFolder, id::Organizes, id::FolderType);
    Add(id::ObjectTypesFolder, NC::Object, "ObjectTypes", id::TypesFolder, id::Organizes, id::FolderType);
    Add(id::VariableTypesFolder, NC::Object, "VariableTypes", id::TypesFolder, id::Organizes, id::FolderType);
    Add(id::DataTypesFolder, NC::Object, "DataTypes", id::TypesFolder, id::Organizes, id::FolderType);
    Add(id::ReferenceTypesFolder, NC::Object, "ReferenceTypes", id::TypesFolder, id::Organizes,
        id::FolderType);

    // Reference types.
    struct RefType {
        uint32_t nodeId;
        const char* name;
        uint32_t super;
        const char* inverse;
        bool abstract, symmetric;
    };
    const RefType refTypes[] = {
        {id::References, "References", 0, "", true, true},
        {id::HierarchicalReferences, "HierarchicalReferences", id::References, "", true, false},
        {id::NonHierarchicalReferences, "NonHierarchicalReferences", id::References, "", true, false},
        {id::HasChild, "HasChild", id::HierarchicalReferences, "ChildOf", true, false},
        {id::Organizes, "Organizes", id::HierarchicalReferences, "OrganizedBy", false, false},
        {id::HasEventSource, "HasEventSource", id::HierarchicalReferences, "EventSourceOf", false, false},
        {id::HasNotifier, "HasNotifier", id::HasEventSource, "NotifierOf", false, false},
        {id::Aggregates, "Aggregates", id::HasChild, "AggregatedBy", true, false},
        {id::HasSubtype, "HasSubtype", id::HasChild, "SubtypeOf", false, false},
        {id::HasComponent, "HasComponent", id::Aggregates, "ComponentOf", false, false},
        {id::HasProperty, "HasProperty", id::Aggregates, "PropertyOf", false, false},
        {id::HasTypeDefinition, "HasTypeDefinition", id::NonHierarchicalReferences, "TypeDefinitionOf", false,
         false},
        {id::HasModellingRule, "HasModellingRule", id::NonHierarchicalReferences, "ModellingRuleOf", false,
         false},
        {id::HasEncoding, "HasEncoding", id::NonHierarchicalReferences, "EncodingOf", false, false},
    };
    for (const auto& r : refTypes) {
        StdNode& n = Add(r.nodeId, NC::ReferenceType, r.name, r.super ? r.super : id::ReferenceTypesFolder,
                         r.super ? id::HasSubtype : id::Organizes, 0);
        n.inverseName = r.inverse;
        n.isAbstract = r.abstract;
        n.symmetric = r.symmetric;
        if (r.super) superType_[r.nodeId] = r.super;
    }

    // Object types.
    Add(id::BaseObjectType, NC::ObjectType, "BaseObjectType", id::ObjectTypesFolder, id::Organizes, 0);
    Add(id::FolderType, NC::ObjectType, "FolderType", id::BaseObjectType, id::HasSubtype, 0);
    Add(id::ServerType, NC::ObjectType, "ServerType", id::BaseObjectType, id::HasSubtype, 0);
    Add(id::ServerCapabilitiesType, NC::ObjectType, "ServerCapabilitiesType", id::BaseObjectType,
        id::HasSubtype, 0);
    Add(id::OperationLimitsType, NC::ObjectType, "OperationLimitsType", id::FolderType, id::HasSubtype, 0);

    // Variable types.
    auto varType = [&](uint32_t nodeId, const char* name, uint32_t parent, uint32_t refType,
                       uint32_t dataType, bool abstract) {
        StdNode& n = Add(nodeId, NC::VariableType, name, parent, refType, 0);
        n.dataType = dataType;
        n.valueRank = -2;
        n.isAbstract = abstract;
    };
    varType(id::BaseVariableType, "BaseVariableType", id::VariableTypesFolder, id::Organizes,
            id::BaseDataType, true);
    varType(id::BaseDataVariableType, "BaseDataVariableType", id::BaseVariableType, id::HasSubtype,
            id::BaseDataType, false);
    varType(id::PropertyType, "PropertyType", id::BaseVariableType, id::HasSubtype, id::BaseDataType, false);
    varType(id::ServerStatusType, "ServerStatusType", id::BaseDataVariableType, id::HasSubtype,
            id::ServerStatusDataType, false);
    varType(id::BuildInfoType, "BuildInfoType", id::BaseDataVariableType, id::HasSubtype, id::BuildInfo,
            false);

    // Data types.
    struct DataType {
        uint32_t nodeId;
        const char* name;
        uint32_t super;
        bool abstract;
    };
    const DataType dataTypes[] = {
        {id::BaseDataType, "BaseDataType", 0, true},
        {1, "Boolean", id::BaseDataType, false},
        {id::Number, "Number", id::BaseDataType, true},
        {id::Integer, "Integer", id::Number, true},
        {id::UInteger, "UInteger", id::Number, true},
        {3, "Byte", id::UInteger, false},
        {5, "UInt16", id::UInteger, false},
        {6, "Int32", id::Integer, false},
        {7, "UInt32", id::UInteger, false},
        {10, "Float", id::Number, false},
        {11, "Double", id::Number, false},
        {id::Duration, "Duration", 11, false},
        {12, "String", id::BaseDataType, false},
        {id::LocaleId, "LocaleId", 12, false},
        {13, "DateTime", id::BaseDataType, false},
        {id::UtcTime, "UtcTime", 13, false},
        {15, "ByteString", id::BaseDataType, false},
        {17, "NodeId", id::BaseDataType, false},
        {19, "StatusCode", id::BaseDataType, false},
        {20, "QualifiedName", id::BaseDataType, false},
        {21, "LocalizedText", id::BaseDataType, false},
        {id::Structure, "Structure", id::BaseDataType, true},
        {id::ServerStatusDataType, "ServerStatusDataType", id::Structure, false},
        {id::BuildInfo, "BuildInfo", id::Structure, false},
        {id::Enumeration, "Enumeration", id::BaseDataType, true},
        {id::ServerState, "ServerState", id::Enumeration, false},
    };
    for (const auto& d : dataTypes) {
        StdNode& n = Add(d.nodeId, NC::DataType, d.name, d.super ? d.super : id::DataTypesFolder,
                         d.super ? id::HasSubtype : id::Organizes, 0);
        n.isAbstract = d.abstract;
    }

    // The Server object.
    StdNode& server = Add(id::Server, NC::Object, "Server", id::ObjectsFolder, id::Organizes, id::ServerType);
    server.eventNotifier = 1;  // SubscribeToEvents (events are refused per monitored item)
    const auto strArray = [] { return Variant::Array(BuiltinType::String, {}); };
    Variable(id::ServerArray, "ServerArray", id::Server, id::HasProperty, 12, 1, strArray(), true);
    Variable(id::NamespaceArray, "NamespaceArray", id::Server, id::HasProperty, 12, 1, strArray(), true);
    Variable(id::ServiceLevel, "ServiceLevel", id::Server, id::HasProperty, 3, -1, Variant::Byte(255));
    Variable(id::Auditing, "Auditing", id::Server, id::HasProperty, 1, -1, Variant::Boolean(false));
    Variable(id::ServerStatus, "ServerStatus", id::Server, id::HasComponent, id::ServerStatusDataType, -1, {},
             true, id::ServerStatusType);
    Variable(id::StartTime, "StartTime", id::ServerStatus, id::HasComponent, id::UtcTime, -1, {}, true);
    Variable(id::CurrentTime, "CurrentTime", id::ServerStatus, id::HasComponent, id::UtcTime, -1, {}, true);
    Variable(id::State, "State", id::ServerStatus, id::HasComponent, id::ServerState, -1, {}, true);
    Variable(id::BuildInfoVar, "BuildInfo", id::ServerStatus, id::HasComponent, id::BuildInfo, -1, {}, true,
             id::BuildInfoType);
    Variable(id::ProductUri, "ProductUri", id::BuildInfoVar, id::HasComponent, 12, -1, {}, true);
    Variable(id::ManufacturerName, "ManufacturerName", id::BuildInfoVar, id::HasComponent, 12, -1, {}, true);
    Variable(id::ProductName, "ProductName", id::BuildInfoVar, id::HasComponent, 12, -1, {}, true);
    Variable(id::SoftwareVersion, "SoftwareVersion", id::BuildInfoVar, id::HasComponent, 12, -1, {}, true);
    Variable(id::BuildNumber, "BuildNumber", id::BuildInfoVar, id::HasComponent, 12, -1, {}, true);
    Variable(id::BuildDate, "BuildDate", id::BuildInfoVar, id::HasComponent, id::UtcTime, -1, {}, true);
    Variable(id::SecondsTillShutdown, "SecondsTillShutdown", id::ServerStatus, id::HasComponent, 7, -1, {},
             true);
    Variable(id::ShutdownReason, "ShutdownReason", id::ServerStatus, id::HasComponent, 21, -1, {}, true);

    Add(id::ServerCapabilities, NC::Object, "ServerCapabilities", id::Server, id::HasComponent,
        id::ServerCapabilitiesType);
    Variable(id::ServerProfileArray, "ServerProfileArray", id::ServerCapabilities, id::HasProperty, 12, 1,
             Variant::Array(BuiltinType::String,
                            {UaString("http://opcfoundation.org/UA-Profile/Server/MicroEmbeddedDevice")}));
    Variable(id::LocaleIdArray, "LocaleIdArray", id::ServerCapabilities, id::HasProperty, id::LocaleId, 1,
             strArray(), true);
    Variable(id::MinSupportedSampleRate, "MinSupportedSampleRate", id::ServerCapabilities, id::HasProperty,
             id::Duration, -1, Variant::Double(50.0));
    Variable(id::MaxBrowseContinuationPoints, "MaxBrowseContinuationPoints", id::ServerCapabilities,
             id::HasProperty, 5, -1, {}, true);
    Add(id::OperationLimits, NC::Object, "OperationLimits", id::ServerCapabilities, id::HasComponent,
        id::OperationLimitsType);
    const struct {
        uint32_t nodeId;
        const char* name;
    } limits[] = {
        {id::MaxNodesPerRead, "MaxNodesPerRead"},
        {id::MaxNodesPerWrite, "MaxNodesPerWrite"},
        {id::MaxNodesPerBrowse, "MaxNodesPerBrowse"},
        {id::MaxNodesPerRegisterNodes, "MaxNodesPerRegisterNodes"},
        {id::MaxNodesPerTranslate, "MaxNodesPerTranslateBrowsePathsToNodeIds"},
        {id::MaxMonitoredItemsPerCall, "MaxMonitoredItemsPerCall"},
    };
    for (const auto& l : limits)
        Variable(l.nodeId, l.name, id::OperationLimits, id::HasProperty, 7, -1, {}, true);

    // Items.
    items_.reserve(items.size());
    itemIndex_.reserve(items.size() * 2);
    for (const ItemInfo& info : items) {
        ItemNode node;
        node.nodeText = info.itemId;
        node.nameLength = static_cast<uint32_t>(info.itemId.size());
        node.handle = info.handle;
        node.accessRights = info.accessRights;
        items_.push_back(std::move(node));
    }
    // An item whose own ID happens to read "X#2" keeps it: suffixes skip every original ID.
    std::unordered_set<std::string> originals;
    for (const ItemInfo& info : items) originals.insert(info.itemId);
    std::unordered_map<std::string, uint32_t> nextSuffix;
    std::unordered_set<std::string> used;
    for (uint32_t i = 0; i < items_.size(); ++i) {
        ItemNode& node = items_[i];
        if (used.insert(node.nodeText).second) continue;
        const std::string base = node.nodeText;
        uint32_t& n = nextSuffix.try_emplace(base, 2).first->second;
        for (;; ++n) {
            std::string candidate = base + "#" + std::to_string(n);
            if (!originals.count(candidate) && !used.count(candidate)) {
                node.nodeText = std::move(candidate);
                used.insert(node.nodeText);
                ++n;
                break;
            }
        }
    }
    // Index only after the vector has its final size: the keys view the stored strings.
    for (uint32_t i = 0; i < items_.size(); ++i) itemIndex_.emplace(std::string_view(items_[i].nodeText), i);
}

std::optional<NodeRef> AddressSpace::Find(const NodeId& nodeId) const {
    if (nodeId.ns == 0 && nodeId.kind == NodeId::Kind::Numeric) {
        if (std_.count(nodeId.numeric)) return NodeRef{false, nodeId.numeric};
        return std::nullopt;
    }
    if (nodeId.ns == kItemNamespace && nodeId.kind == NodeId::Kind::String) {
        auto it = itemIndex_.find(std::string_view(nodeId.text));
        if (it != itemIndex_.end()) return NodeRef{true, it->second};
    }
    return std::nullopt;
}

const StdNode* AddressSpace::Std(NodeRef n) const {
    if (n.item) return nullptr;
    auto it = std_.find(n.index);
    return it == std_.end() ? nullptr : &it->second;
}

NodeId AddressSpace::IdOf(NodeRef n) const {
    if (n.item) return NodeId::String(kItemNamespace, items_[n.index].nodeText);
    return NodeId(0, n.index);
}

NodeClass AddressSpace::ClassOf(NodeRef n) const {
    if (n.item) return NodeClass::Variable;
    const StdNode* s = Std(n);
    return s ? s->nodeClass : NodeClass::Unspecified;
}

QualifiedName AddressSpace::BrowseNameOf(NodeRef n) const {
    if (n.item) return {kItemNamespace, UaString(std::string(items_[n.index].ItemId()))};
    const StdNode* s = Std(n);
    return {0, UaString(s ? s->browseName : std::string())};
}

LocalizedText AddressSpace::DisplayNameOf(NodeRef n) const {
    LocalizedText t;
    if (n.item) {
        t.text = UaString(std::string(items_[n.index].ItemId()));
    } else {
        const StdNode* s = Std(n);
        t.text = UaString(s ? s->browseName : std::string());
    }
    return t;
}

NodeId AddressSpace::TypeDefinitionOf(NodeRef n) const {
    if (n.item) return NodeId(0, id::BaseDataVariableType);
    const StdNode* s = Std(n);
    if (!s || s->typeDefinition == 0) return NodeId();
    return NodeId(0, s->typeDefinition);
}

size_t AddressSpace::ReferenceCount(NodeRef n) const {
    if (n.item) return 2;
    const StdNode* s = Std(n);
    if (!s) return 0;
    return s->refs.size() + (n.index == id::ObjectsFolder ? items_.size() : 0);
}

ReferenceDescription AddressSpace::ReferenceAt(NodeRef n, size_t i) const {
    if (n.item) {
        if (i == 0) return {id::HasTypeDefinition, true, {false, id::BaseDataVariableType}};
        return {id::Organizes, false, {false, id::ObjectsFolder}};
    }
    const StdNode* s = Std(n);
    if (i < s->refs.size()) return s->refs[i];
    return {id::Organizes, true, {true, static_cast<uint32_t>(i - s->refs.size())}};
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
            if (n.item || (s && s->dynamic)) return status::BadInternalError;  // caller supplies
            if (cls == NodeClass::VariableType) break;
            out = s->value;
            return status::Good;
        case AttrDataType:
            if (!isVar) break;
            out = Variant::Node(NodeId(0, n.item ? 10u : s->dataType));
            return status::Good;
        case AttrValueRank:
            if (!isVar) break;
            out = Variant::Int32(n.item ? -1 : s->valueRank);
            return status::Good;
        case AttrArrayDimensions: {
            if (!isVar) break;
            std::vector<VariantScalar> dims;
            if (!n.item && s->valueRank == 1) dims.push_back(uint64_t{0});
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
            out = Variant::Double(n.item ? 50.0 : 0.0);
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
