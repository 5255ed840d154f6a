#include "ua/nodes/standard_nodes.h"

#include <array>

#include "ua/limits.h"
#include "ua/nodes/server_diagnostics.h"

namespace qora::ua {

namespace {

using NC = NodeClass;

// Built-in data type ids the table names by number.
enum : uint32_t { kBoolean = 1, kByte = 3, kUInt16 = 5, kUInt32 = 7, kString = 12, kLocalizedText = 21 };

constexpr StandardNode Folder(uint32_t nodeId, const char* name, uint32_t parent) {
    return {.id = nodeId,
            .nodeClass = NC::Object,
            .name = name,
            .parent = parent,
            .refType = id::Organizes,
            .typeDefinition = id::FolderType};
}
constexpr StandardNode Object(uint32_t nodeId, const char* name, uint32_t parent, uint32_t refType,
                              uint32_t typeDef, uint8_t eventNotifier = 0) {
    return {.id = nodeId,
            .nodeClass = NC::Object,
            .name = name,
            .parent = parent,
            .refType = refType,
            .typeDefinition = typeDef,
            .eventNotifier = eventNotifier};
}
// A type under its supertype, or (super 0) organized in its types folder.
constexpr StandardNode Type(NC cls, uint32_t nodeId, const char* name, uint32_t super, uint32_t folder,
                            bool abstract) {
    return {.id = nodeId,
            .nodeClass = cls,
            .name = name,
            .parent = super ? super : folder,
            .refType = super ? id::HasSubtype : id::Organizes,
            .isAbstract = abstract};
}
constexpr StandardNode RefType(uint32_t nodeId, const char* name, uint32_t super, const char* inverse,
                               bool abstract, bool symmetric = false) {
    StandardNode n = Type(NC::ReferenceType, nodeId, name, super, id::ReferenceTypesFolder, abstract);
    n.inverseName = inverse;
    n.symmetric = symmetric;
    return n;
}
constexpr StandardNode ObjectType(uint32_t nodeId, const char* name, uint32_t super) {
    return Type(NC::ObjectType, nodeId, name, super, id::ObjectTypesFolder, false);
}
constexpr StandardNode VariableType(uint32_t nodeId, const char* name, uint32_t super, uint32_t dataType,
                                    bool abstract = false) {
    StandardNode n = Type(NC::VariableType, nodeId, name, super, id::VariableTypesFolder, abstract);
    n.dataType = dataType;
    n.valueRank = -2;
    return n;
}
constexpr StandardNode DataType(uint32_t nodeId, const char* name, uint32_t super, bool abstract = false) {
    return Type(NC::DataType, nodeId, name, super, id::DataTypesFolder, abstract);
}
// A variable (dynamic: its value is computed at read time, the static one is a placeholder); without a type
// definition a property is a PropertyType, a component a BaseDataVariableType.
constexpr StandardNode Var(uint32_t nodeId, const char* name, uint32_t parent, uint32_t refType,
                           uint32_t dataType, int32_t valueRank, Variant (*value)(), bool dynamic,
                           uint32_t typeDef = 0) {
    return {.id = nodeId,
            .nodeClass = NC::Variable,
            .name = name,
            .parent = parent,
            .refType = refType,
            .typeDefinition = typeDef                      ? typeDef
                              : refType == id::HasProperty ? id::PropertyType
                                                           : id::BaseDataVariableType,
            .dataType = dataType,
            .valueRank = valueRank,
            .dynamic = dynamic,
            .value = value};
}
constexpr StandardNode Prop(uint32_t nodeId, const char* name, uint32_t parent, uint32_t dataType,
                            int32_t valueRank = -1, Variant (*value)() = nullptr) {
    return Var(nodeId, name, parent, id::HasProperty, dataType, valueRank, value, value == nullptr);
}
constexpr StandardNode Comp(uint32_t nodeId, const char* name, uint32_t parent, uint32_t dataType,
                            uint32_t typeDef = 0) {
    return Var(nodeId, name, parent, id::HasComponent, dataType, -1, nullptr, true, typeDef);
}

Variant NoStrings() {
    return Variant::Array(BuiltinType::String, {});
}
Variant False() {
    return Variant::Boolean(false);
}
Variant True() {
    return Variant::Boolean(true);
}
Variant ServerProfiles() {
    return Variant::Array(BuiltinType::String,
                          {UaString("http://opcfoundation.org/UA-Profile/Server/MicroEmbeddedDevice")});
}
Variant MinSampleRate() {
    return Variant::Double(50.0);
}
Variant MaxArrayLength() {
    return Variant::UInt32(kMaxArrayLength);
}
Variant MaxStringLength() {
    return Variant::UInt32(kMaxStringLength);
}
Variant MaxReturnDataValues() {
    return Variant::UInt32(kMaxHistoryValuesPerResponse);
}
Variant Zero() {
    return Variant::UInt32(0);
}
Variant NoRedundancy() {
    return Variant::Int32(0);
}

constexpr std::array kNodes{
    // Folders.
    Object(id::RootFolder, "Root", 0, 0, id::FolderType),
    Folder(id::ObjectsFolder, "Objects", id::RootFolder),
    Folder(id::TypesFolder, "Types", id::RootFolder),
    Folder(id::ViewsFolder, "Views", id::RootFolder),
    Folder(id::ObjectTypesFolder, "ObjectTypes", id::TypesFolder),
    Folder(id::VariableTypesFolder, "VariableTypes", id::TypesFolder),
    Folder(id::DataTypesFolder, "DataTypes", id::TypesFolder),
    Folder(id::ReferenceTypesFolder, "ReferenceTypes", id::TypesFolder),

    // Reference types.
    RefType(id::References, "References", 0, "", true, true),
    RefType(id::HierarchicalReferences, "HierarchicalReferences", id::References, "", true),
    RefType(id::NonHierarchicalReferences, "NonHierarchicalReferences", id::References, "", true),
    RefType(id::HasChild, "HasChild", id::HierarchicalReferences, "ChildOf", true),
    RefType(id::Organizes, "Organizes", id::HierarchicalReferences, "OrganizedBy", false),
    RefType(id::HasEventSource, "HasEventSource", id::HierarchicalReferences, "EventSourceOf", false),
    RefType(id::HasNotifier, "HasNotifier", id::HasEventSource, "NotifierOf", false),
    RefType(id::Aggregates, "Aggregates", id::HasChild, "AggregatedBy", true),
    RefType(id::HasSubtype, "HasSubtype", id::HasChild, "SubtypeOf", false),
    RefType(id::HasComponent, "HasComponent", id::Aggregates, "ComponentOf", false),
    RefType(id::HasProperty, "HasProperty", id::Aggregates, "PropertyOf", false),
    RefType(id::HasTypeDefinition, "HasTypeDefinition", id::NonHierarchicalReferences, "TypeDefinitionOf",
            false),
    RefType(id::HasModellingRule, "HasModellingRule", id::NonHierarchicalReferences, "ModellingRuleOf",
            false),
    RefType(id::HasEncoding, "HasEncoding", id::NonHierarchicalReferences, "EncodingOf", false),

    // Object types.
    ObjectType(id::BaseObjectType, "BaseObjectType", 0),
    ObjectType(id::FolderType, "FolderType", id::BaseObjectType),
    ObjectType(id::ServerType, "ServerType", id::BaseObjectType),
    ObjectType(id::ServerCapabilitiesType, "ServerCapabilitiesType", id::BaseObjectType),
    ObjectType(id::OperationLimitsType, "OperationLimitsType", id::FolderType),
    ObjectType(id::ServerDiagnosticsType, "ServerDiagnosticsType", id::BaseObjectType),
    ObjectType(id::ServerRedundancyType, "ServerRedundancyType", id::BaseObjectType),
    ObjectType(kHistoryServerCapabilitiesTypeId, "HistoryServerCapabilitiesType", id::BaseObjectType),

    // Variable types.
    VariableType(id::BaseVariableType, "BaseVariableType", 0, id::BaseDataType, true),
    VariableType(id::BaseDataVariableType, "BaseDataVariableType", id::BaseVariableType, id::BaseDataType),
    VariableType(kDataItemTypeId, "DataItemType", id::BaseDataVariableType, id::BaseDataType),
    VariableType(kAnalogItemTypeId, "AnalogItemType", kDataItemTypeId, id::Number),
    VariableType(id::PropertyType, "PropertyType", id::BaseVariableType, id::BaseDataType),
    VariableType(id::ServerStatusType, "ServerStatusType", id::BaseDataVariableType,
                 id::ServerStatusDataType),
    VariableType(id::BuildInfoType, "BuildInfoType", id::BaseDataVariableType, id::BuildInfo),
    VariableType(id::ServerDiagnosticsSummaryType, "ServerDiagnosticsSummaryType", id::BaseDataVariableType,
                 id::ServerDiagnosticsSummaryDataType),

    // Data types.
    DataType(id::BaseDataType, "BaseDataType", 0, true),
    DataType(kBoolean, "Boolean", id::BaseDataType),
    DataType(id::Number, "Number", id::BaseDataType, true),
    DataType(id::Integer, "Integer", id::Number, true),
    DataType(id::UInteger, "UInteger", id::Number, true),
    DataType(kByte, "Byte", id::UInteger),
    DataType(kUInt16, "UInt16", id::UInteger),
    DataType(6, "Int32", id::Integer),
    DataType(kUInt32, "UInt32", id::UInteger),
    DataType(id::UInt64Type, "UInt64", id::UInteger),
    DataType(10, "Float", id::Number),
    DataType(11, "Double", id::Number),
    DataType(id::Duration, "Duration", 11),
    DataType(kString, "String", id::BaseDataType),
    DataType(id::LocaleId, "LocaleId", kString),
    DataType(13, "DateTime", id::BaseDataType),
    DataType(id::UtcTime, "UtcTime", 13),
    DataType(15, "ByteString", id::BaseDataType),
    DataType(17, "NodeId", id::BaseDataType),
    DataType(19, "StatusCode", id::BaseDataType),
    DataType(20, "QualifiedName", id::BaseDataType),
    DataType(kLocalizedText, "LocalizedText", id::BaseDataType),
    DataType(id::Structure, "Structure", id::BaseDataType, true),
    DataType(id::ServerStatusDataType, "ServerStatusDataType", id::Structure),
    DataType(id::BuildInfo, "BuildInfo", id::Structure),
    DataType(kRangeTypeId, "Range", id::Structure),
    DataType(kEUInformationTypeId, "EUInformation", id::Structure),
    DataType(id::ServerDiagnosticsSummaryDataType, "ServerDiagnosticsSummaryDataType", id::Structure),
    DataType(id::RedundancySupport, "RedundancySupport", id::Enumeration),
    DataType(id::Enumeration, "Enumeration", id::BaseDataType, true),
    DataType(id::ServerState, "ServerState", id::Enumeration),

    // The Server object; SubscribeToEvents (events are refused per monitored item).
    Object(id::Server, "Server", id::ObjectsFolder, id::Organizes, id::ServerType, 1),
    Var(id::ServerArray, "ServerArray", id::Server, id::HasProperty, kString, 1, NoStrings, true),
    Var(id::NamespaceArray, "NamespaceArray", id::Server, id::HasProperty, kString, 1, NoStrings, true),
    Prop(id::ServiceLevel, "ServiceLevel", id::Server, kByte),
    Prop(id::Auditing, "Auditing", id::Server, kBoolean, -1, False),
    Comp(id::ServerStatus, "ServerStatus", id::Server, id::ServerStatusDataType, id::ServerStatusType),
    Comp(id::StartTime, "StartTime", id::ServerStatus, id::UtcTime),
    Comp(id::CurrentTime, "CurrentTime", id::ServerStatus, id::UtcTime),
    Comp(id::State, "State", id::ServerStatus, id::ServerState),
    Comp(id::BuildInfoVar, "BuildInfo", id::ServerStatus, id::BuildInfo, id::BuildInfoType),
    Comp(id::ProductUri, "ProductUri", id::BuildInfoVar, kString),
    Comp(id::ManufacturerName, "ManufacturerName", id::BuildInfoVar, kString),
    Comp(id::ProductName, "ProductName", id::BuildInfoVar, kString),
    Comp(id::SoftwareVersion, "SoftwareVersion", id::BuildInfoVar, kString),
    Comp(id::BuildNumber, "BuildNumber", id::BuildInfoVar, kString),
    Comp(id::BuildDate, "BuildDate", id::BuildInfoVar, id::UtcTime),
    Comp(id::SecondsTillShutdown, "SecondsTillShutdown", id::ServerStatus, kUInt32),
    Comp(id::ShutdownReason, "ShutdownReason", id::ServerStatus, kLocalizedText),

    Object(id::ServerCapabilities, "ServerCapabilities", id::Server, id::HasComponent,
           id::ServerCapabilitiesType),
    Prop(id::ServerProfileArray, "ServerProfileArray", id::ServerCapabilities, kString, 1, ServerProfiles),
    Var(id::LocaleIdArray, "LocaleIdArray", id::ServerCapabilities, id::HasProperty, id::LocaleId, 1,
        NoStrings, true),
    Prop(id::MinSupportedSampleRate, "MinSupportedSampleRate", id::ServerCapabilities, id::Duration, -1,
         MinSampleRate),
    Prop(id::MaxBrowseContinuationPoints, "MaxBrowseContinuationPoints", id::ServerCapabilities, kUInt16),
    Prop(id::MaxArrayLength, "MaxArrayLength", id::ServerCapabilities, kUInt32, -1, MaxArrayLength),
    Prop(id::MaxStringLength, "MaxStringLength", id::ServerCapabilities, kUInt32, -1, MaxStringLength),
    Object(id::OperationLimits, "OperationLimits", id::ServerCapabilities, id::HasComponent,
           id::OperationLimitsType),
    Prop(id::MaxNodesPerRead, "MaxNodesPerRead", id::OperationLimits, kUInt32),
    Prop(id::MaxNodesPerWrite, "MaxNodesPerWrite", id::OperationLimits, kUInt32),
    Prop(id::MaxNodesPerBrowse, "MaxNodesPerBrowse", id::OperationLimits, kUInt32),
    Prop(id::MaxNodesPerRegisterNodes, "MaxNodesPerRegisterNodes", id::OperationLimits, kUInt32),
    Prop(id::MaxNodesPerTranslate, "MaxNodesPerTranslateBrowsePathsToNodeIds", id::OperationLimits, kUInt32),
    Prop(id::MaxMonitoredItemsPerCall, "MaxMonitoredItemsPerCall", id::OperationLimits, kUInt32),
    Prop(id::MaxNodesPerMethodCall, "MaxNodesPerMethodCall", id::OperationLimits, kUInt32),
    Prop(kMaxNodesPerHistoryReadDataId, "MaxNodesPerHistoryReadData", id::OperationLimits, kUInt32),
    // History: raw values of items may be read, nothing else.
    Object(kHistoryServerCapabilitiesId, "HistoryServerCapabilities", id::ServerCapabilities,
           id::HasComponent, kHistoryServerCapabilitiesTypeId),
    Prop(kAccessHistoryDataCapabilityId, "AccessHistoryDataCapability", kHistoryServerCapabilitiesId,
         kBoolean),
    Prop(kAccessHistoryEventsCapabilityId, "AccessHistoryEventsCapability", kHistoryServerCapabilitiesId,
         kBoolean, -1, False),
    Prop(kMaxReturnDataValuesId, "MaxReturnDataValues", kHistoryServerCapabilitiesId, kUInt32, -1,
         MaxReturnDataValues),
    Prop(kMaxReturnEventValuesId, "MaxReturnEventValues", kHistoryServerCapabilitiesId, kUInt32, -1, Zero),
    Prop(kInsertDataCapabilityId, "InsertDataCapability", kHistoryServerCapabilitiesId, kBoolean, -1, False),
    Prop(kReplaceDataCapabilityId, "ReplaceDataCapability", kHistoryServerCapabilitiesId, kBoolean, -1,
         False),
    Prop(kUpdateDataCapabilityId, "UpdateDataCapability", kHistoryServerCapabilitiesId, kBoolean, -1, False),
    Prop(kDeleteRawCapabilityId, "DeleteRawCapability", kHistoryServerCapabilitiesId, kBoolean, -1, False),
    Prop(kDeleteAtTimeCapabilityId, "DeleteAtTimeCapability", kHistoryServerCapabilitiesId, kBoolean, -1,
         False),
    Prop(kInsertEventCapabilityId, "InsertEventCapability", kHistoryServerCapabilitiesId, kBoolean, -1,
         False),
    Prop(kReplaceEventCapabilityId, "ReplaceEventCapability", kHistoryServerCapabilitiesId, kBoolean, -1,
         False),
    Prop(kUpdateEventCapabilityId, "UpdateEventCapability", kHistoryServerCapabilitiesId, kBoolean, -1,
         False),
    Prop(kInsertAnnotationCapabilityId, "InsertAnnotationCapability", kHistoryServerCapabilitiesId, kBoolean,
         -1, False),
    Object(kAggregateFunctionsId, "AggregateFunctions", kHistoryServerCapabilitiesId, id::HasComponent,
           id::FolderType),

    // The server's diagnostics and redundancy.
    Object(id::ServerDiagnostics, "ServerDiagnostics", id::Server, id::HasComponent,
           id::ServerDiagnosticsType),
    Comp(id::ServerDiagnosticsSummary, "ServerDiagnosticsSummary", id::ServerDiagnostics,
         id::ServerDiagnosticsSummaryDataType, id::ServerDiagnosticsSummaryType),
    Comp(id::ServerViewCount, "ServerViewCount", id::ServerDiagnosticsSummary, kUInt32),
    Comp(id::CurrentSessionCount, "CurrentSessionCount", id::ServerDiagnosticsSummary, kUInt32),
    Comp(id::CumulatedSessionCount, "CumulatedSessionCount", id::ServerDiagnosticsSummary, kUInt32),
    Comp(id::SecurityRejectedSessionCount, "SecurityRejectedSessionCount", id::ServerDiagnosticsSummary,
         kUInt32),
    Comp(id::RejectedSessionCount, "RejectedSessionCount", id::ServerDiagnosticsSummary, kUInt32),
    Comp(id::SessionTimeoutCount, "SessionTimeoutCount", id::ServerDiagnosticsSummary, kUInt32),
    Comp(id::SessionAbortCount, "SessionAbortCount", id::ServerDiagnosticsSummary, kUInt32),
    Comp(id::CurrentSubscriptionCount, "CurrentSubscriptionCount", id::ServerDiagnosticsSummary, kUInt32),
    Comp(id::CumulatedSubscriptionCount, "CumulatedSubscriptionCount", id::ServerDiagnosticsSummary, kUInt32),
    Comp(id::PublishingIntervalCount, "PublishingIntervalCount", id::ServerDiagnosticsSummary, kUInt32),
    Comp(id::SecurityRejectedRequestsCount, "SecurityRejectedRequestsCount", id::ServerDiagnosticsSummary,
         kUInt32),
    Comp(id::RejectedRequestsCount, "RejectedRequestsCount", id::ServerDiagnosticsSummary, kUInt32),
    Prop(id::EnabledFlag, "EnabledFlag", id::ServerDiagnostics, kBoolean, -1, True),
    Object(id::ServerRedundancy, "ServerRedundancy", id::Server, id::HasComponent, id::ServerRedundancyType),
    Prop(id::RedundancySupportVar, "RedundancySupport", id::ServerRedundancy, id::RedundancySupport, -1,
         NoRedundancy),
};

}  // namespace

std::span<const StandardNode> StandardNodes() {
    return kNodes;
}

}  // namespace qora::ua
