// OPC UA built-in types as the endpoint holds them in memory, the status codes and the
// namespace 0 identifiers it uses.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace qora::ua {

using StatusCode = uint32_t;

namespace status {
inline constexpr StatusCode Good = 0x00000000;
inline constexpr StatusCode Bad = 0x80000000;
inline constexpr StatusCode BadInternalError = 0x80020000;
inline constexpr StatusCode BadOutOfMemory = 0x80030000;
inline constexpr StatusCode BadResourceUnavailable = 0x80040000;
inline constexpr StatusCode BadCommunicationError = 0x80050000;
inline constexpr StatusCode BadEncodingError = 0x80060000;
inline constexpr StatusCode BadDecodingError = 0x80070000;
inline constexpr StatusCode BadEncodingLimitsExceeded = 0x80080000;
inline constexpr StatusCode BadRequestTooLarge = 0x80B80000;
inline constexpr StatusCode BadResponseTooLarge = 0x80B90000;
inline constexpr StatusCode BadTimeout = 0x800A0000;
inline constexpr StatusCode BadServiceUnsupported = 0x800B0000;
inline constexpr StatusCode BadShutdown = 0x800C0000;
inline constexpr StatusCode BadServerHalted = 0x800E0000;
inline constexpr StatusCode BadNothingToDo = 0x800F0000;
inline constexpr StatusCode BadTooManyOperations = 0x80100000;
inline constexpr StatusCode BadSecurityChecksFailed = 0x80130000;
inline constexpr StatusCode BadCertificateInvalid = 0x80120000;
inline constexpr StatusCode BadCertificateTimeInvalid = 0x80140000;
inline constexpr StatusCode BadCertificateUriInvalid = 0x80170000;
inline constexpr StatusCode BadCertificateUseNotAllowed = 0x80180000;
inline constexpr StatusCode BadCertificateUntrusted = 0x801A0000;
inline constexpr StatusCode BadCertificateRevocationUnknown = 0x801B0000;
inline constexpr StatusCode BadUserAccessDenied = 0x801F0000;
inline constexpr StatusCode BadIdentityTokenRejected = 0x80210000;
inline constexpr StatusCode BadNonceInvalid = 0x80240000;
inline constexpr StatusCode BadApplicationSignatureInvalid = 0x80580000;
inline constexpr StatusCode BadIdentityTokenInvalid = 0x80200000;
inline constexpr StatusCode BadSecureChannelIdInvalid = 0x80220000;
inline constexpr StatusCode BadSessionIdInvalid = 0x80250000;
inline constexpr StatusCode BadSessionClosed = 0x80260000;
inline constexpr StatusCode BadSessionNotActivated = 0x80270000;
inline constexpr StatusCode BadSubscriptionIdInvalid = 0x80280000;
inline constexpr StatusCode BadTimestampsToReturnInvalid = 0x802B0000;
inline constexpr StatusCode BadNoCommunication = 0x80310000;
inline constexpr StatusCode BadNodeIdInvalid = 0x80330000;
inline constexpr StatusCode BadNodeIdUnknown = 0x80340000;
inline constexpr StatusCode BadAttributeIdInvalid = 0x80350000;
inline constexpr StatusCode BadIndexRangeInvalid = 0x80360000;
inline constexpr StatusCode BadIndexRangeNoData = 0x80370000;
inline constexpr StatusCode BadDataEncodingInvalid = 0x80380000;
inline constexpr StatusCode BadDataEncodingUnsupported = 0x80390000;
inline constexpr StatusCode BadNotWritable = 0x803B0000;
inline constexpr StatusCode BadNotReadable = 0x803A0000;
inline constexpr StatusCode BadNotSupported = 0x803D0000;
inline constexpr StatusCode BadMonitoringModeInvalid = 0x80410000;
inline constexpr StatusCode BadMonitoredItemIdInvalid = 0x80420000;
inline constexpr StatusCode BadMonitoredItemFilterInvalid = 0x80430000;
inline constexpr StatusCode BadMonitoredItemFilterUnsupported = 0x80440000;
inline constexpr StatusCode BadFilterNotAllowed = 0x80450000;
inline constexpr StatusCode BadDeadbandFilterInvalid = 0x808E0000;
inline constexpr StatusCode BadContinuationPointInvalid = 0x804A0000;
inline constexpr StatusCode BadNoContinuationPoints = 0x804B0000;
inline constexpr StatusCode BadReferenceTypeIdInvalid = 0x804C0000;
inline constexpr StatusCode BadBrowseDirectionInvalid = 0x804D0000;
inline constexpr StatusCode BadSecurityModeRejected = 0x80540000;
inline constexpr StatusCode BadSecurityPolicyRejected = 0x80550000;
inline constexpr StatusCode BadTooManySessions = 0x80560000;
inline constexpr StatusCode BadBrowseNameInvalid = 0x80600000;
inline constexpr StatusCode BadViewIdUnknown = 0x806B0000;
inline constexpr StatusCode BadNoMatch = 0x806F0000;
inline constexpr StatusCode BadMaxAgeInvalid = 0x80700000;
inline constexpr StatusCode BadTooManySubscriptions = 0x80770000;
inline constexpr StatusCode BadTooManyPublishRequests = 0x80780000;
inline constexpr StatusCode BadNoSubscription = 0x80790000;
inline constexpr StatusCode BadSequenceNumberUnknown = 0x807A0000;
inline constexpr StatusCode BadMessageNotAvailable = 0x807B0000;
inline constexpr StatusCode BadTcpServerTooBusy = 0x807D0000;
inline constexpr StatusCode BadTcpMessageTypeInvalid = 0x807E0000;
inline constexpr StatusCode BadTcpSecureChannelUnknown = 0x807F0000;
inline constexpr StatusCode BadTcpMessageTooLarge = 0x80800000;
inline constexpr StatusCode BadTcpNotEnoughResources = 0x80810000;
inline constexpr StatusCode BadTcpInternalError = 0x80820000;
inline constexpr StatusCode BadTcpEndpointUrlInvalid = 0x80830000;
inline constexpr StatusCode BadSecureChannelClosed = 0x80860000;
inline constexpr StatusCode BadSecureChannelTokenUnknown = 0x80870000;
inline constexpr StatusCode BadSequenceNumberInvalid = 0x80880000;
inline constexpr StatusCode BadNotConnected = 0x808A0000;
inline constexpr StatusCode BadInvalidArgument = 0x80AB0000;
inline constexpr StatusCode BadConnectionRejected = 0x80AC0000;
inline constexpr StatusCode BadInvalidState = 0x80AF0000;
inline constexpr StatusCode BadProtocolVersionUnsupported = 0x80BE0000;
inline constexpr StatusCode BadTooManyMonitoredItems = 0x80DB0000;
inline constexpr StatusCode BadHistoryOperationInvalid = 0x80710000;
inline constexpr StatusCode BadHistoryOperationUnsupported = 0x80720000;
inline constexpr StatusCode BadBoundNotFound = 0x80D70000;
inline constexpr StatusCode GoodNoData = 0x00A50000;
}  // namespace status

inline bool IsBad(StatusCode s) {
    return (s & 0x80000000u) != 0;
}

// Built-in type ids of the binary encoding.
enum class BuiltinType : uint8_t {
    Null = 0,
    Boolean = 1,
    SByte = 2,
    Byte = 3,
    Int16 = 4,
    UInt16 = 5,
    Int32 = 6,
    UInt32 = 7,
    Int64 = 8,
    UInt64 = 9,
    Float = 10,
    Double = 11,
    String = 12,
    DateTime = 13,
    Guid = 14,
    ByteString = 15,
    XmlElement = 16,
    NodeId = 17,
    ExpandedNodeId = 18,
    Status = 19,
    QualifiedName = 20,
    LocalizedText = 21,
    ExtensionObject = 22,
    DataValue = 23,
    Variant = 24,
    DiagnosticInfo = 25,
};

struct Guid {
    uint32_t data1 = 0;
    uint16_t data2 = 0;
    uint16_t data3 = 0;
    std::array<uint8_t, 8> data4{};
    bool operator==(const Guid&) const = default;
};

// A String or ByteString that keeps null (length -1) apart from empty.
struct UaString {
    std::string value;
    bool isNull = true;
    UaString() = default;
    UaString(std::string v) : value(std::move(v)), isNull(false) {}  // NOLINT: implicit on purpose
    UaString(const char* v) : value(v), isNull(false) {}             // NOLINT
    bool operator==(const UaString&) const = default;
};

struct NodeId {
    enum class Kind : uint8_t { Numeric, String, Guid, Opaque };
    uint16_t ns = 0;
    Kind kind = Kind::Numeric;
    uint32_t numeric = 0;
    std::string text;  // String (UTF-8) or Opaque bytes
    Guid guid;

    NodeId() = default;
    NodeId(uint16_t n, uint32_t id) : ns(n), numeric(id) {}
    static NodeId Numeric(uint16_t n, uint32_t id) { return NodeId(n, id); }
    static NodeId String(uint16_t n, std::string s) {
        NodeId r;
        r.ns = n;
        r.kind = Kind::String;
        r.text = std::move(s);
        return r;
    }
    bool IsNull() const { return ns == 0 && kind == Kind::Numeric && numeric == 0; }
    bool IsNs0(uint32_t id) const { return ns == 0 && kind == Kind::Numeric && numeric == id; }
    bool operator==(const NodeId&) const = default;
};

// A NodeId whose text views bytes held elsewhere (a request being decoded): looked up without a
// copy of its text.
struct NodeIdView {
    uint16_t ns = 0;
    NodeId::Kind kind = NodeId::Kind::Numeric;
    uint32_t numeric = 0;
    std::string_view text;
    Guid guid;

    NodeIdView() = default;
    NodeIdView(const NodeId& n)  // NOLINT: implicit on purpose, a NodeId views as itself
        : ns(n.ns), kind(n.kind), numeric(n.numeric), text(n.text), guid(n.guid) {}
    NodeId ToNodeId() const {
        NodeId n;
        n.ns = ns;
        n.kind = kind;
        n.numeric = numeric;
        n.text = std::string(text);
        n.guid = guid;
        return n;
    }
};

struct ExpandedNodeId {
    NodeId nodeId;
    std::string namespaceUri;  // empty: not present
    uint32_t serverIndex = 0;
    bool operator==(const ExpandedNodeId&) const = default;
};

struct QualifiedName {
    uint16_t ns = 0;
    UaString name;
    bool operator==(const QualifiedName&) const = default;
};

struct LocalizedText {
    UaString locale;  // null: not present
    UaString text;    // null: not present
    bool operator==(const LocalizedText&) const = default;
};

struct ExtensionObject {
    NodeId typeId;         // the encoding id
    uint8_t encoding = 0;  // 0 no body, 1 binary, 2 XML
    std::string body;
    bool operator==(const ExtensionObject&) const = default;
};

struct DataValue;
struct DiagnosticInfo;
struct Variant;

using VariantScalar =
    std::variant<std::monostate, bool, int64_t, uint64_t, float, double, UaString, Guid, NodeId,
                 ExpandedNodeId, QualifiedName, LocalizedText, ExtensionObject, std::shared_ptr<DataValue>,
                 std::shared_ptr<Variant>, std::shared_ptr<DiagnosticInfo>>;

// A Variant: a scalar, or an array whose elements are scalars of the same type.
// Integers of every width are held in int64_t (signed types) or uint64_t (unsigned types,
// StatusCode, DateTime as int64_t); the type tag says how they travel.
struct Variant {
    BuiltinType type = BuiltinType::Null;
    bool isArray = false;
    VariantScalar scalar;
    std::vector<VariantScalar> array;  // isArray: elements (an empty vector with arrayNull = null array)
    bool arrayNull = false;
    std::vector<int32_t> dimensions;
    bool hasDimensions = false;

    static Variant Float(float f) { return Make(BuiltinType::Float, f); }
    static Variant Double(double d) { return Make(BuiltinType::Double, d); }
    static Variant Boolean(bool b) { return Make(BuiltinType::Boolean, b); }
    static Variant Byte(uint8_t b) { return Make(BuiltinType::Byte, uint64_t{b}); }
    static Variant UInt16(uint16_t v) { return Make(BuiltinType::UInt16, uint64_t{v}); }
    static Variant Int32(int32_t v) { return Make(BuiltinType::Int32, int64_t{v}); }
    static Variant UInt32(uint32_t v) { return Make(BuiltinType::UInt32, uint64_t{v}); }
    static Variant DateTime(int64_t v) { return Make(BuiltinType::DateTime, v); }
    static Variant String(std::string s) { return Make(BuiltinType::String, UaString(std::move(s))); }
    static Variant Node(NodeId n) { return Make(BuiltinType::NodeId, std::move(n)); }
    static Variant Qualified(QualifiedName q) { return Make(BuiltinType::QualifiedName, std::move(q)); }
    static Variant Text(LocalizedText t) { return Make(BuiltinType::LocalizedText, std::move(t)); }
    static Variant Extension(ExtensionObject e) { return Make(BuiltinType::ExtensionObject, std::move(e)); }
    static Variant Make(BuiltinType t, VariantScalar s) {
        Variant v;
        v.type = t;
        v.scalar = std::move(s);
        return v;
    }
    static Variant Array(BuiltinType t, std::vector<VariantScalar> elems) {
        Variant v;
        v.type = t;
        v.isArray = true;
        v.array = std::move(elems);
        return v;
    }
};

struct DataValue {
    bool hasValue = false;
    Variant value;
    bool hasStatus = false;
    StatusCode status = 0;
    bool hasSourceTimestamp = false;
    int64_t sourceTimestamp = 0;
    bool hasSourcePicoseconds = false;
    uint16_t sourcePicoseconds = 0;
    bool hasServerTimestamp = false;
    int64_t serverTimestamp = 0;
    bool hasServerPicoseconds = false;
    uint16_t serverPicoseconds = 0;
};

struct DiagnosticInfo {
    bool hasSymbolicId = false;
    int32_t symbolicId = 0;
    bool hasNamespaceUri = false;
    int32_t namespaceUri = 0;
    bool hasLocalizedText = false;
    int32_t localizedText = 0;
    bool hasLocale = false;
    int32_t locale = 0;
    bool hasAdditionalInfo = false;
    UaString additionalInfo;
    bool hasInnerStatusCode = false;
    StatusCode innerStatusCode = 0;
    std::shared_ptr<DiagnosticInfo> inner;
};

// Namespace 0 numeric identifiers used by the endpoint.
namespace id {
// reference types
inline constexpr uint32_t References = 31, NonHierarchicalReferences = 32, HierarchicalReferences = 33,
                          HasChild = 34, Organizes = 35, HasEventSource = 36, HasModellingRule = 37,
                          HasEncoding = 38, HasTypeDefinition = 40, Aggregates = 44, HasSubtype = 45,
                          HasProperty = 46, HasComponent = 47, HasNotifier = 48;
// folders
inline constexpr uint32_t RootFolder = 84, ObjectsFolder = 85, TypesFolder = 86, ViewsFolder = 87,
                          ObjectTypesFolder = 88, VariableTypesFolder = 89, DataTypesFolder = 90,
                          ReferenceTypesFolder = 91;
// types
inline constexpr uint32_t BaseDataType = 24, Number = 26, Integer = 27, UInteger = 28, Enumeration = 29,
                          Structure = 22, BaseObjectType = 58, FolderType = 61, BaseVariableType = 62,
                          BaseDataVariableType = 63, PropertyType = 68, ServerType = 2004,
                          ServerCapabilitiesType = 2013, OperationLimitsType = 11564, ServerStatusType = 2138,
                          BuildInfoType = 3051, ServerState = 852, ServerStatusDataType = 862,
                          BuildInfo = 338, LocaleId = 295, UtcTime = 294, Duration = 290;
// the Server object
inline constexpr uint32_t Server = 2253, ServerArray = 2254, NamespaceArray = 2255, ServerStatus = 2256,
                          StartTime = 2257, CurrentTime = 2258, State = 2259, BuildInfoVar = 2260,
                          ProductName = 2261, ProductUri = 2262, ManufacturerName = 2263,
                          SoftwareVersion = 2264, BuildNumber = 2265, BuildDate = 2266, ServiceLevel = 2267,
                          ServerCapabilities = 2268, ServerProfileArray = 2269, LocaleIdArray = 2271,
                          MinSupportedSampleRate = 2272, MaxBrowseContinuationPoints = 2735,
                          SecondsTillShutdown = 2992, ShutdownReason = 2993, Auditing = 2994,
                          OperationLimits = 11704, MaxNodesPerRead = 11705, MaxNodesPerWrite = 11707,
                          MaxNodesPerBrowse = 11710, MaxNodesPerRegisterNodes = 11711,
                          MaxNodesPerTranslate = 11712, MaxMonitoredItemsPerCall = 11714;
// encodings
inline constexpr uint32_t AnonymousIdentityToken = 321, UserNameIdentityToken = 324, DataChangeFilter = 724,
                          EventFilter = 727, AggregateFilter = 730, DataChangeNotification = 811,
                          StatusChangeNotification = 820, ServerStatusDataTypeEncoding = 864,
                          BuildInfoEncoding = 340;
// services (binary encoding ids of the requests)
inline constexpr uint32_t ServiceFault = 397, FindServers = 422, GetEndpoints = 428, OpenSecureChannel = 446,
                          CloseSecureChannel = 452, CreateSession = 461, ActivateSession = 467,
                          CloseSession = 473, Cancel = 479, Browse = 527, BrowseNext = 533,
                          TranslateBrowsePaths = 554, RegisterNodes = 560, UnregisterNodes = 566, Read = 631,
                          Write = 673, CreateMonitoredItems = 751, ModifyMonitoredItems = 763,
                          SetMonitoringMode = 769, DeleteMonitoredItems = 781, CreateSubscription = 787,
                          ModifySubscription = 793, SetPublishingMode = 799, Publish = 826, Republish = 832,
                          DeleteSubscriptions = 847, HistoryRead = 664;
// Response id of a request id: every response encoding id above is the request's plus 3.
inline constexpr uint32_t ResponseOf(uint32_t requestId) {
    return requestId + 3;
}
}  // namespace id

enum class NodeClass : uint32_t {
    Unspecified = 0,
    Object = 1,
    Variable = 2,
    Method = 4,
    ObjectType = 8,
    VariableType = 16,
    ReferenceType = 32,
    DataType = 64,
    View = 128,
};

enum AttributeId : uint32_t {
    AttrNodeId = 1,
    AttrNodeClass = 2,
    AttrBrowseName = 3,
    AttrDisplayName = 4,
    AttrDescription = 5,
    AttrWriteMask = 6,
    AttrUserWriteMask = 7,
    AttrIsAbstract = 8,
    AttrSymmetric = 9,
    AttrInverseName = 10,
    AttrContainsNoLoops = 11,
    AttrEventNotifier = 12,
    AttrValue = 13,
    AttrDataType = 14,
    AttrValueRank = 15,
    AttrArrayDimensions = 16,
    AttrAccessLevel = 17,
    AttrUserAccessLevel = 18,
    AttrMinimumSamplingInterval = 19,
    AttrHistorizing = 20,
    AttrExecutable = 21,
    AttrUserExecutable = 22,
    AttrDataTypeDefinition = 23,
    AttrRolePermissions = 24,
    AttrUserRolePermissions = 25,
    AttrAccessRestrictions = 26,
    AttrAccessLevelEx = 27,
};

// OPC DA quality → StatusCode (the standard mapping of the qualities the system publishes).
inline StatusCode QualityToStatus(uint16_t quality) {
    switch (quality) {
        case 192:
            return status::Good;
        case 8:
            return status::BadNotConnected;
        case 24:
            return status::BadNoCommunication;
        default:
            return status::Bad;
    }
}

}  // namespace qora::ua
