#include "ua/encoding/messages.h"

#include "ua/encoding/time.h"

namespace qora::ua {

namespace {

constexpr const char* kTransportProfile = "http://opcfoundation.org/UA-Profile/Transport/uatcp-uasc-uabinary";
constexpr uint32_t kApplicationTypeServer = 0;

// Smallest encoded size of an array element: lets the decoder refuse a length the remaining
// bytes cannot hold before it allocates anything.
constexpr size_t kWireString = 4;
constexpr size_t kWireUInt32 = 4;
constexpr size_t kWireNodeId = 2;
constexpr size_t kWireSignedCertificate = 8;  // two ByteStrings
constexpr size_t kWireAcknowledgement = 8;    // two UInt32
constexpr size_t kWireReadValueId = 16;
constexpr size_t kWireWriteValue = 11;
constexpr size_t kWireBrowseDescription = 17;
constexpr size_t kWireBrowsePath = 6;
constexpr size_t kWireRelativePathElement = 10;
constexpr size_t kWireMonitoredItemCreate = 40;
constexpr size_t kWireMonitoredItemModify = 24;
// A WriteValue's DataValue is decoded and dropped; its memory is charged on top of the element.
constexpr size_t kWriteValueMemory = sizeof(NodeId) + 64;

// Decodes an array (null as empty); each element is charged to the message budget.
template <typename T, typename F>
std::vector<T> DecodeArray(Decoder& d, size_t minWireSize, F&& decodeOne,
                           size_t memoryPerElement = sizeof(T)) {
    const size_t n = d.ArrayCount(minWireSize, memoryPerElement);
    std::vector<T> out;
    out.reserve(n);
    for (size_t i = 0; i < n; ++i) out.push_back(decodeOne(d));
    return out;
}

std::vector<std::string> DecodeStrings(Decoder& d) {
    return DecodeArray<std::string>(d, kWireString, [](Decoder& x) { return x.StringValue(); });
}

std::vector<uint32_t> DecodeIds(Decoder& d) {
    return DecodeArray<uint32_t>(d, kWireUInt32, [](Decoder& x) { return x.UInt32(); });
}

template <typename T, typename F>
void EncodeArray(Encoder& e, const std::vector<T>& v, F&& encodeOne) {
    e.ArrayLength(static_cast<int32_t>(v.size()));
    for (const T& x : v) encodeOne(e, x);
}

void EncodeDiagnosticsNone(Encoder& e) {
    e.ArrayLength(0);
}

void EncodeApplication(Encoder& e, const ApplicationDescription& a) {
    e.String(std::string_view(a.applicationUri));
    e.String(std::string_view(a.productUri));
    LocalizedText name;
    name.text = UaString(a.applicationName);
    e.Text(name);
    e.UInt32(kApplicationTypeServer);
    e.NullString();  // gateway server URI
    e.NullString();  // discovery profile URI
    EncodeArray(e, a.discoveryUrls, [](Encoder& x, const std::string& u) { x.String(std::string_view(u)); });
}

void EncodeEndpoint(Encoder& e, const EndpointDescription& ep) {
    e.String(std::string_view(ep.endpointUrl));
    EncodeApplication(e, ep.server);
    if (ep.serverCertificate.empty())
        e.NullString();
    else
        e.ByteString(ep.serverCertificate);
    e.UInt32(ep.securityMode);
    e.String(std::string_view(ep.securityPolicyUri));
    EncodeArray(e, ep.userTokens, [](Encoder& x, const UserTokenPolicy& t) {
        x.String(std::string_view(t.policyId));
        x.UInt32(t.tokenType);
        x.NullString();  // issued token type
        x.NullString();  // issuer endpoint URL
        if (t.securityPolicyUri.empty())
            x.NullString();
        else
            x.String(std::string_view(t.securityPolicyUri));
    });
    e.String(std::string_view(kTransportProfile));
    e.Byte(ep.securityLevel);
}

void EncodeSignature(Encoder& e, const SignatureData& s) {
    if (s.algorithm.empty())
        e.NullString();
    else
        e.String(std::string_view(s.algorithm));
    if (s.signature.empty())
        e.NullString();
    else
        e.ByteString(s.signature);
}

MonitoringParameters DecodeParameters(Decoder& d) {
    MonitoringParameters p;
    p.clientHandle = d.UInt32();
    p.samplingInterval = d.Double();
    p.filter = d.Extension();
    p.queueSize = d.UInt32();
    p.discardOldest = d.Boolean();
    return p;
}

// The filter result of a monitored item: the endpoint sends none.
void EncodeNoFilterResult(Encoder& e) {
    e.Node(NodeId());
    e.Byte(0);
}

}  // namespace

const char* TransportProfileUri() {
    return kTransportProfile;
}

RequestHeader DecodeRequestHeader(Decoder& d) {
    RequestHeader h;
    h.authenticationToken = d.Node();
    h.timestamp = d.DateTime();
    h.requestHandle = d.UInt32();
    h.returnDiagnostics = d.UInt32();
    d.String();  // audit entry id
    h.timeoutHint = d.UInt32();
    d.Extension();  // additional header
    return h;
}

void EncodeResponseHeader(Encoder& e, uint32_t requestHandle, StatusCode result) {
    e.DateTime(UaNow());
    e.UInt32(requestHandle);
    e.Status(result);
    e.Byte(0);         // service diagnostics: empty
    e.ArrayLength(0);  // string table
    e.Node(NodeId());  // additional header: no body
    e.Byte(0);
}

void Encode(Encoder& e, const StatusListResponse& r) {
    EncodeArray(e, r.results, [](Encoder& x, StatusCode s) { x.Status(s); });
    EncodeDiagnosticsNone(e);
}

// ---------------------------------------------------------------- secure channel

void Decode(Decoder& d, OpenSecureChannelRequest& r) {
    r.clientProtocolVersion = d.UInt32();
    r.requestType = d.UInt32();
    r.securityMode = d.UInt32();
    r.clientNonce = d.StringValue();
    r.requestedLifetime = d.UInt32();
}

void Encode(Encoder& e, const OpenSecureChannelResponse& r) {
    e.UInt32(r.serverProtocolVersion);
    e.UInt32(r.channelId);
    e.UInt32(r.tokenId);
    e.DateTime(r.createdAt);
    e.UInt32(r.revisedLifetime);
    e.ByteString(r.serverNonce);
}

// ---------------------------------------------------------------- discovery

void Decode(Decoder& d, GetEndpointsRequest& r) {
    r.endpointUrl = d.StringValue();
    r.localeIds = DecodeStrings(d);
    r.profileUris = DecodeStrings(d);
}

void Encode(Encoder& e, const GetEndpointsResponse& r) {
    EncodeArray(e, r.endpoints, EncodeEndpoint);
}

void Decode(Decoder& d, FindServersRequest& r) {
    r.endpointUrl = d.StringValue();
    r.localeIds = DecodeStrings(d);
    r.serverUris = DecodeStrings(d);
}

void Encode(Encoder& e, const FindServersResponse& r) {
    EncodeArray(e, r.servers, EncodeApplication);
}

// ---------------------------------------------------------------- session

void Decode(Decoder& d, CreateSessionRequest& r) {
    // ClientDescription
    r.applicationUri = d.StringValue();
    d.String();        // product URI
    d.Text();          // application name
    d.UInt32();        // application type
    d.String();        // gateway server URI
    d.String();        // discovery profile URI
    DecodeStrings(d);  // discovery URLs
    d.String();        // server URI
    r.endpointUrl = d.StringValue();
    r.sessionName = d.StringValue();
    r.clientNonce = d.StringValue();
    r.clientCertificate = d.StringValue();
    r.requestedSessionTimeout = d.Double();
    d.UInt32();  // max response message size
}

void Encode(Encoder& e, const CreateSessionResponse& r) {
    e.Node(r.sessionId);
    e.Node(r.authenticationToken);
    e.Double(r.revisedSessionTimeout);
    e.ByteString(r.serverNonce);
    if (r.serverCertificate.empty())
        e.NullString();
    else
        e.ByteString(r.serverCertificate);
    EncodeArray(e, r.endpoints, EncodeEndpoint);
    e.ArrayLength(0);  // server software certificates
    EncodeSignature(e, r.serverSignature);
    e.UInt32(r.maxRequestMessageSize);
}

void Decode(Decoder& d, ActivateSessionRequest& r) {
    r.clientSignature.algorithm = d.StringValue();
    r.clientSignature.signature = d.StringValue();
    DecodeArray<std::pair<std::string, std::string>>(
        d, kWireSignedCertificate,
        [](Decoder& x) {
            x.ByteString();
            x.ByteString();
            return std::pair<std::string, std::string>();
        },
        64);
    DecodeStrings(d);  // locale ids
    r.userIdentityToken = d.Extension();
    d.String();  // user token signature
    d.ByteString();
}

void Decode(Decoder& d, UserNameToken& t) {
    t.policyId = d.StringValue();
    t.userName = d.StringValue();
    t.password = d.StringValue();
    t.encryptionAlgorithm = d.StringValue();
}

void Encode(Encoder& e, const ActivateSessionResponse& r) {
    e.ByteString(r.serverNonce);
    e.ArrayLength(0);  // results
    e.ArrayLength(0);  // diagnostic infos
}

void Decode(Decoder& d, CloseSessionRequest& r) {
    r.deleteSubscriptions = d.Boolean();
}

void Decode(Decoder& d, CancelRequest& r) {
    r.requestHandle = d.UInt32();
}

void Encode(Encoder& e, const CancelResponse& r) {
    e.UInt32(r.cancelCount);
}

// ---------------------------------------------------------------- attribute

void Decode(Decoder& d, ReadRequest& r) {
    r.maxAge = d.Double();
    r.timestamps = d.UInt32();
    r.nodes = DecodeArray<ReadValueId>(d, kWireReadValueId, [](Decoder& x) {
        ReadValueId v;
        v.node = x.Node();
        v.attributeId = x.UInt32();
        v.indexRange = x.String();
        v.encoding = x.Qualified();
        return v;
    });
}

ReadOperation OperationOf(const ReadValueId& v) {
    ReadOperation op;
    op.node = NodeIdView(v.node);
    op.attributeId = v.attributeId;
    op.hasIndexRange = !v.indexRange.isNull && !v.indexRange.value.empty();
    if (!v.encoding.name.isNull) op.encoding = v.encoding.name.value;
    return op;
}

void DecodeRead(Decoder& d, double& maxAge, uint32_t& timestamps, std::vector<ReadOperation>& ops) {
    maxAge = d.Double();
    timestamps = d.UInt32();
    const size_t n = d.ArrayCount(kWireReadValueId, sizeof(ReadValueId));
    ops.resize(n);
    for (ReadOperation& op : ops) {
        op.node = d.NodeView();
        d.Charge(op.node.text.size());
        op.attributeId = d.UInt32();
        const std::string_view range = d.StringView();
        d.Charge(range.size());
        op.hasIndexRange = !range.empty();
        d.UInt16();  // namespace of the DataEncoding name
        op.encoding = d.StringView();
        d.Charge(op.encoding.size());
    }
}

void Encode(Encoder& e, const ReadResponse& r) {
    e.Out().reserve(e.Size() + 32 + r.results.size() * 24);
    EncodeArray(e, r.results, [](Encoder& x, const DataValue& dv) { x.Data(dv); });
    EncodeDiagnosticsNone(e);
}

void Decode(Decoder& d, WriteRequest& r) {
    r.nodes = DecodeArray<WriteValue>(
        d, kWireWriteValue,
        [](Decoder& x) {
            WriteValue w;
            w.node = x.Node();
            w.attributeId = x.UInt32();
            x.String();  // index range
            x.Data();    // the value: items are read-only
            return w;
        },
        kWriteValueMemory);
}

// ---------------------------------------------------------------- view

void Decode(Decoder& d, BrowseRequest& r) {
    r.view = d.Node();
    d.DateTime();  // view timestamp
    d.UInt32();    // view version
    r.requestedMaxReferencesPerNode = d.UInt32();
    r.nodes = DecodeArray<BrowseDescription>(d, kWireBrowseDescription, [](Decoder& x) {
        BrowseDescription b;
        b.node = x.Node();
        b.direction = x.UInt32();
        b.referenceType = x.Node();
        b.includeSubtypes = x.Boolean();
        b.nodeClassMask = x.UInt32();
        b.resultMask = x.UInt32();
        return b;
    });
}

void Encode(Encoder& e, const BrowseResponse& r) {
    EncodeArray(e, r.results, [](Encoder& x, const BrowseResult& b) {
        x.Status(b.status);
        x.String(b.continuationPoint);
        EncodeArray(x, b.references, [](Encoder& y, const BrowseReference& ref) {
            y.Node(ref.referenceType);
            y.Boolean(ref.isForward);
            y.ExpandedNode(ref.target);
            y.Qualified(ref.browseName);
            y.Text(ref.displayName);
            y.UInt32(ref.nodeClass);
            y.ExpandedNode(ref.typeDefinition);
        });
    });
    EncodeDiagnosticsNone(e);
}

void Decode(Decoder& d, BrowseNextRequest& r) {
    r.releaseContinuationPoints = d.Boolean();
    r.continuationPoints = DecodeStrings(d);
}

void Decode(Decoder& d, TranslateRequest& r) {
    r.paths = DecodeArray<BrowsePath>(d, kWireBrowsePath, [](Decoder& x) {
        BrowsePath p;
        p.start = x.Node();
        p.elements = DecodeArray<RelativePathElement>(x, kWireRelativePathElement, [](Decoder& y) {
            RelativePathElement el;
            el.referenceType = y.Node();
            el.isInverse = y.Boolean();
            el.includeSubtypes = y.Boolean();
            el.targetName = y.Qualified();
            return el;
        });
        return p;
    });
}

void Encode(Encoder& e, const TranslateResponse& r) {
    constexpr uint32_t kRemainingPathIndexNone = 0xFFFFFFFF;
    EncodeArray(e, r.results, [](Encoder& x, const BrowsePathResult& p) {
        x.Status(p.status);
        EncodeArray(x, p.targets, [](Encoder& y, const NodeId& t) {
            ExpandedNodeId target;
            target.nodeId = t;
            y.ExpandedNode(target);
            y.UInt32(kRemainingPathIndexNone);
        });
    });
    EncodeDiagnosticsNone(e);
}

void Decode(Decoder& d, NodesRequest& r) {
    r.nodes = DecodeArray<NodeId>(d, kWireNodeId, [](Decoder& x) { return x.Node(); });
}

void Encode(Encoder& e, const RegisterNodesResponse& r) {
    EncodeArray(e, r.registered, [](Encoder& x, const NodeId& n) { x.Node(n); });
}

// ---------------------------------------------------------------- subscription

void Decode(Decoder& d, CreateSubscriptionRequest& r) {
    r.params.publishingInterval = d.Double();
    r.params.lifetimeCount = d.UInt32();
    r.params.maxKeepAliveCount = d.UInt32();
    r.params.maxNotificationsPerPublish = d.UInt32();
    r.publishingEnabled = d.Boolean();
    r.params.priority = d.Byte();
}

void Encode(Encoder& e, const CreateSubscriptionResponse& r) {
    e.UInt32(r.subscriptionId);
    e.Double(r.revisedPublishingInterval);
    e.UInt32(r.revisedLifetimeCount);
    e.UInt32(r.revisedMaxKeepAliveCount);
}

void Decode(Decoder& d, ModifySubscriptionRequest& r) {
    r.subscriptionId = d.UInt32();
    r.params.publishingInterval = d.Double();
    r.params.lifetimeCount = d.UInt32();
    r.params.maxKeepAliveCount = d.UInt32();
    r.params.maxNotificationsPerPublish = d.UInt32();
    r.params.priority = d.Byte();
}

void Encode(Encoder& e, const ModifySubscriptionResponse& r) {
    e.Double(r.revisedPublishingInterval);
    e.UInt32(r.revisedLifetimeCount);
    e.UInt32(r.revisedMaxKeepAliveCount);
}

void Decode(Decoder& d, SetPublishingModeRequest& r) {
    r.publishingEnabled = d.Boolean();
    r.subscriptionIds = DecodeIds(d);
}

void Decode(Decoder& d, DeleteSubscriptionsRequest& r) {
    r.subscriptionIds = DecodeIds(d);
}

void Decode(Decoder& d, PublishRequest& r) {
    r.acknowledgements = DecodeArray<SubscriptionAcknowledgement>(d, kWireAcknowledgement, [](Decoder& x) {
        SubscriptionAcknowledgement a;
        a.subscriptionId = x.UInt32();
        a.sequenceNumber = x.UInt32();
        return a;
    });
}

void Encode(Encoder& e, const PublishResponse& r) {
    e.Out().reserve(e.Size() + r.notificationMessage.size() + 64);
    e.UInt32(r.subscriptionId);
    EncodeArray(e, r.availableSequenceNumbers, [](Encoder& x, uint32_t s) { x.UInt32(s); });
    e.Boolean(r.moreNotifications);
    e.Raw(r.notificationMessage.data(), r.notificationMessage.size());
    EncodeArray(e, r.results, [](Encoder& x, StatusCode s) { x.Status(s); });
    EncodeDiagnosticsNone(e);
}

void Decode(Decoder& d, RepublishRequest& r) {
    r.subscriptionId = d.UInt32();
    r.retransmitSequenceNumber = d.UInt32();
}

void Encode(Encoder& e, const RepublishResponse& r) {
    e.Raw(r.notificationMessage.data(), r.notificationMessage.size());
}

// ---------------------------------------------------------------- monitored items

void Decode(Decoder& d, CreateMonitoredItemsRequest& r) {
    r.subscriptionId = d.UInt32();
    r.timestamps = d.UInt32();
    r.items = DecodeArray<MonitoredItemCreateRequest>(d, kWireMonitoredItemCreate, [](Decoder& x) {
        MonitoredItemCreateRequest m;
        m.node = x.Node();
        m.attributeId = x.UInt32();
        m.indexRange = x.String();
        x.Qualified();  // data encoding
        m.mode = x.UInt32();
        m.params = DecodeParameters(x);
        return m;
    });
}

void Encode(Encoder& e, const CreateMonitoredItemsResponse& r) {
    e.Out().reserve(e.Size() + 32 + r.results.size() * 32);
    EncodeArray(e, r.results, [](Encoder& x, const MonitoredItemCreateResult& m) {
        x.Status(m.status);
        x.UInt32(m.monitoredItemId);
        x.Double(m.revisedSamplingInterval);
        x.UInt32(m.revisedQueueSize);
        EncodeNoFilterResult(x);
    });
    EncodeDiagnosticsNone(e);
}

void Decode(Decoder& d, ModifyMonitoredItemsRequest& r) {
    r.subscriptionId = d.UInt32();
    r.timestamps = d.UInt32();
    r.items = DecodeArray<MonitoredItemModifyRequest>(d, kWireMonitoredItemModify, [](Decoder& x) {
        MonitoredItemModifyRequest m;
        m.monitoredItemId = x.UInt32();
        m.params = DecodeParameters(x);
        return m;
    });
}

void Encode(Encoder& e, const ModifyMonitoredItemsResponse& r) {
    EncodeArray(e, r.results, [](Encoder& x, const MonitoredItemModifyResult& m) {
        x.Status(m.status);
        x.Double(m.revisedSamplingInterval);
        x.UInt32(m.revisedQueueSize);
        EncodeNoFilterResult(x);
    });
    EncodeDiagnosticsNone(e);
}

void Decode(Decoder& d, SetMonitoringModeRequest& r) {
    r.subscriptionId = d.UInt32();
    r.mode = d.UInt32();
    r.monitoredItemIds = DecodeIds(d);
}

void Decode(Decoder& d, DeleteMonitoredItemsRequest& r) {
    r.subscriptionId = d.UInt32();
    r.monitoredItemIds = DecodeIds(d);
}

// ---------------------------------------------------------------- history

void Decode(Decoder& d, HistoryReadRequest& r) {
    constexpr size_t kWireHistoryReadValueId = 14;  // NodeId, String, QualifiedName, ByteString
    r.details = d.Extension();
    r.timestamps = d.UInt32();
    r.releaseContinuationPoints = d.Boolean();
    r.nodes = DecodeArray<HistoryReadValueId>(d, kWireHistoryReadValueId, [](Decoder& x) {
        HistoryReadValueId v;
        v.node = x.Node();
        v.indexRange = x.String();
        v.encoding = x.Qualified();
        v.continuationPoint = x.ByteString().value;
        return v;
    });
}

void Decode(Decoder& d, ReadRawDetails& r) {
    r.isReadModified = d.Boolean();
    r.startTime = d.DateTime();
    r.endTime = d.DateTime();
    r.numValuesPerNode = d.UInt32();
    r.returnBounds = d.Boolean();
}

void Encode(Encoder& e, const HistoryReadResponse& r) {
    size_t values = 0;
    for (const HistoryReadResult& h : r.results) values += h.values.size();
    e.Out().reserve(e.Size() + 32 + r.results.size() * 48 + values * 24);
    EncodeArray(e, r.results, [](Encoder& x, const HistoryReadResult& h) {
        x.Status(h.status);
        if (h.continuationPoint.empty())
            x.NullString();
        else
            x.ByteString(h.continuationPoint);
        if (!h.hasData) {
            x.Extension(ExtensionObject{});
            return;
        }
        // The HistoryData body is written in place: its length is patched in afterwards.
        x.Node(NodeId(0, kHistoryDataEncoding));
        x.Byte(1);
        const size_t lengthAt = x.Size();
        x.Int32(0);
        EncodeArray(x, h.values, [](Encoder& y, const DataValue& dv) { y.Data(dv); });
        x.PatchUInt32(lengthAt, static_cast<uint32_t>(x.Size() - lengthAt - 4));
    });
    EncodeDiagnosticsNone(e);
}

}  // namespace qora::ua
