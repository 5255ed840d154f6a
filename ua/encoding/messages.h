// Requests and responses of the services the endpoint offers, as typed structs, each decoded and
// encoded once here. A request is decoded whole before its service runs; a response body is
// encoded after the response header. Fields the endpoint does not use are decoded and dropped.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "ua/encoding/binary.h"
#include "ua/encoding/types.h"

namespace qora::ua {

// TimestampsToReturn.
enum Timestamps : uint32_t { TsSource = 0, TsServer = 1, TsBoth = 2, TsNeither = 3 };
// BrowseDirection.
enum BrowseDirection : uint32_t { BrowseForward = 0, BrowseInverse = 1, BrowseBoth = 2 };
// MonitoringMode values on the wire: Disabled 0, Sampling 1, Reporting 2.
inline constexpr uint32_t kMaxMonitoringModeValue = 2;

struct RequestHeader {
    NodeId authenticationToken;
    int64_t timestamp = 0;
    uint32_t requestHandle = 0;
    uint32_t returnDiagnostics = 0;
    uint32_t timeoutHint = 0;
};
RequestHeader DecodeRequestHeader(Decoder& d);
// Response header with the time of now; no diagnostics, no additional header.
void EncodeResponseHeader(Encoder& e, uint32_t requestHandle, StatusCode result);

// ---------------------------------------------------------------- shared parts

struct ApplicationDescription {
    std::string applicationUri;
    std::string productUri;
    std::string applicationName;
    std::vector<std::string> discoveryUrls;
};
// UserTokenType values on the wire.
enum UserTokenType : uint32_t { UserTokenAnonymous = 0, UserTokenUserName = 1 };
struct UserTokenPolicy {
    std::string policyId;
    uint32_t tokenType = UserTokenAnonymous;
    std::string securityPolicyUri;  // empty: the endpoint's policy encrypts the secret
};
// One (policy, mode) the endpoint offers. Left at its defaults: SecurityPolicy None with the
// anonymous identity only.
struct EndpointDescription {
    std::string endpointUrl;
    ApplicationDescription server;
    std::string serverCertificate;
    uint32_t securityMode = 1;
    std::string securityPolicyUri = "http://opcfoundation.org/UA/SecurityPolicy#None";
    std::vector<UserTokenPolicy> userTokens{{"anonymous", UserTokenAnonymous, {}}};
    uint8_t securityLevel = 0;
};
struct SignatureData {
    std::string algorithm;
    std::string signature;
};
// Per-operation status codes and empty diagnostics (Write, SetPublishingMode, DeleteSubscriptions,
// SetMonitoringMode, DeleteMonitoredItems).
struct StatusListResponse {
    std::vector<StatusCode> results;
};
void Encode(Encoder& e, const StatusListResponse& r);

// ---------------------------------------------------------------- secure channel

// SecurityTokenRequestType.
enum TokenRequestType : uint32_t { TokenIssue = 0, TokenRenew = 1 };
// The body of an OpenSecureChannel request and response, after their headers.
struct OpenSecureChannelRequest {
    uint32_t clientProtocolVersion = 0;
    uint32_t requestType = TokenIssue;
    uint32_t securityMode = 0;
    std::string clientNonce;
    uint32_t requestedLifetime = 0;
};
struct OpenSecureChannelResponse {
    uint32_t serverProtocolVersion = 0;
    // ChannelSecurityToken
    uint32_t channelId = 0;
    uint32_t tokenId = 0;
    int64_t createdAt = 0;
    uint32_t revisedLifetime = 0;
    std::string serverNonce;
};
void Decode(Decoder& d, OpenSecureChannelRequest& r);
void Encode(Encoder& e, const OpenSecureChannelResponse& r);

// ---------------------------------------------------------------- discovery

// The one transport profile offered (UA TCP, binary encoding).
const char* TransportProfileUri();

struct GetEndpointsRequest {
    std::string endpointUrl;
    std::vector<std::string> localeIds;
    std::vector<std::string> profileUris;
};
struct GetEndpointsResponse {
    std::vector<EndpointDescription> endpoints;
};
void Decode(Decoder& d, GetEndpointsRequest& r);
void Encode(Encoder& e, const GetEndpointsResponse& r);

struct FindServersRequest {
    std::string endpointUrl;
    std::vector<std::string> localeIds;
    std::vector<std::string> serverUris;
};
struct FindServersResponse {
    std::vector<ApplicationDescription> servers;
};
void Decode(Decoder& d, FindServersRequest& r);
void Encode(Encoder& e, const FindServersResponse& r);

// ---------------------------------------------------------------- session

struct CreateSessionRequest {
    std::string endpointUrl;
    std::string sessionName;
    double requestedSessionTimeout = 0;
    std::string applicationUri;  // of the client's description
    std::string clientNonce;
    std::string clientCertificate;
};
struct CreateSessionResponse {
    NodeId sessionId;
    NodeId authenticationToken;
    double revisedSessionTimeout = 0;
    std::string serverNonce;
    std::string serverCertificate;
    std::vector<EndpointDescription> endpoints;
    SignatureData serverSignature;
    uint32_t maxRequestMessageSize = 0;
};
void Decode(Decoder& d, CreateSessionRequest& r);
void Encode(Encoder& e, const CreateSessionResponse& r);

struct ActivateSessionRequest {
    SignatureData clientSignature;
    ExtensionObject userIdentityToken;
};
// UserNameIdentityToken's body.
struct UserNameToken {
    std::string policyId;
    std::string userName;
    std::string password;  // the encrypted secret, or the clear password
    std::string encryptionAlgorithm;
};
void Decode(Decoder& d, UserNameToken& t);
struct ActivateSessionResponse {
    std::string serverNonce;
};
void Decode(Decoder& d, ActivateSessionRequest& r);
void Encode(Encoder& e, const ActivateSessionResponse& r);

struct CloseSessionRequest {
    bool deleteSubscriptions = true;
};
struct EmptyResponse {};
void Decode(Decoder& d, CloseSessionRequest& r);
inline void Encode(Encoder&, const EmptyResponse&) {}

struct CancelRequest {
    uint32_t requestHandle = 0;
};
struct CancelResponse {
    uint32_t cancelCount = 0;
};
void Decode(Decoder& d, CancelRequest& r);
void Encode(Encoder& e, const CancelResponse& r);

// ---------------------------------------------------------------- attribute

struct ReadValueId {
    NodeId node;
    uint32_t attributeId = 0;
    UaString indexRange;
    QualifiedName encoding;
};
struct ReadRequest {
    double maxAge = 0;
    uint32_t timestamps = TsSource;
    std::vector<ReadValueId> nodes;
};
struct ReadResponse {
    std::vector<DataValue> results;
};
void Decode(Decoder& d, ReadRequest& r);
void Encode(Encoder& e, const ReadResponse& r);

// One operation of a Read as the service needs it, viewing the bytes of the request (or the
// strings of a ReadValueId) it was taken from.
struct ReadOperation {
    NodeIdView node;
    uint32_t attributeId = 0;
    bool hasIndexRange = false;  // a non-empty IndexRange
    std::string_view encoding;   // DataEncoding name; empty when null or empty
};
ReadOperation OperationOf(const ReadValueId& v);
// A ReadRequest decoded without a copy of its strings: the operations view d's bytes. The
// memory charged to the decoder is that of the ReadRequest (same refusals as Decode).
void DecodeRead(Decoder& d, double& maxAge, uint32_t& timestamps, std::vector<ReadOperation>& ops);

struct WriteValue {
    NodeId node;
    uint32_t attributeId = 0;
};
struct WriteRequest {
    std::vector<WriteValue> nodes;
};
void Decode(Decoder& d, WriteRequest& r);

// ---------------------------------------------------------------- view

struct BrowseDescription {
    NodeId node;
    uint32_t direction = BrowseForward;
    NodeId referenceType;
    bool includeSubtypes = true;
    uint32_t nodeClassMask = 0;
    uint32_t resultMask = 0;
};
struct BrowseRequest {
    NodeId view;
    uint32_t requestedMaxReferencesPerNode = 0;
    std::vector<BrowseDescription> nodes;
};
struct BrowseReference {
    NodeId referenceType;
    bool isForward = true;
    ExpandedNodeId target;
    QualifiedName browseName;
    LocalizedText displayName;
    uint32_t nodeClass = 0;
    ExpandedNodeId typeDefinition;
};
struct BrowseResult {
    StatusCode status = status::Good;
    UaString continuationPoint;
    std::vector<BrowseReference> references;
};
struct BrowseResponse {
    std::vector<BrowseResult> results;
};
void Decode(Decoder& d, BrowseRequest& r);
void Encode(Encoder& e, const BrowseResponse& r);

struct BrowseNextRequest {
    bool releaseContinuationPoints = false;
    std::vector<std::string> continuationPoints;
};
void Decode(Decoder& d, BrowseNextRequest& r);

struct RelativePathElement {
    NodeId referenceType;
    bool isInverse = false;
    bool includeSubtypes = true;
    QualifiedName targetName;
};
struct BrowsePath {
    NodeId start;
    std::vector<RelativePathElement> elements;
};
struct TranslateRequest {
    std::vector<BrowsePath> paths;
};
struct BrowsePathResult {
    StatusCode status = status::Good;
    std::vector<NodeId> targets;
};
struct TranslateResponse {
    std::vector<BrowsePathResult> results;
};
void Decode(Decoder& d, TranslateRequest& r);
void Encode(Encoder& e, const TranslateResponse& r);

struct NodesRequest {  // RegisterNodes and UnregisterNodes
    std::vector<NodeId> nodes;
};
struct RegisterNodesResponse {
    std::vector<NodeId> registered;
};
void Decode(Decoder& d, NodesRequest& r);
void Encode(Encoder& e, const RegisterNodesResponse& r);

// ---------------------------------------------------------------- subscription

struct SubscriptionParameters {
    double publishingInterval = 0;
    uint32_t lifetimeCount = 0;
    uint32_t maxKeepAliveCount = 0;
    uint32_t maxNotificationsPerPublish = 0;
    uint8_t priority = 0;
};
struct CreateSubscriptionRequest {
    SubscriptionParameters params;
    bool publishingEnabled = true;
};
struct CreateSubscriptionResponse {
    uint32_t subscriptionId = 0;
    double revisedPublishingInterval = 0;
    uint32_t revisedLifetimeCount = 0;
    uint32_t revisedMaxKeepAliveCount = 0;
};
void Decode(Decoder& d, CreateSubscriptionRequest& r);
void Encode(Encoder& e, const CreateSubscriptionResponse& r);

struct ModifySubscriptionRequest {
    uint32_t subscriptionId = 0;
    SubscriptionParameters params;
};
struct ModifySubscriptionResponse {
    double revisedPublishingInterval = 0;
    uint32_t revisedLifetimeCount = 0;
    uint32_t revisedMaxKeepAliveCount = 0;
};
void Decode(Decoder& d, ModifySubscriptionRequest& r);
void Encode(Encoder& e, const ModifySubscriptionResponse& r);

struct SetPublishingModeRequest {
    bool publishingEnabled = true;
    std::vector<uint32_t> subscriptionIds;
};
void Decode(Decoder& d, SetPublishingModeRequest& r);

struct DeleteSubscriptionsRequest {
    std::vector<uint32_t> subscriptionIds;
};
void Decode(Decoder& d, DeleteSubscriptionsRequest& r);

struct SubscriptionAcknowledgement {
    uint32_t subscriptionId = 0;
    uint32_t sequenceNumber = 0;
};
struct PublishRequest {
    std::vector<SubscriptionAcknowledgement> acknowledgements;
};
// The NotificationMessage travels encoded: it is kept so for Republish.
struct PublishResponse {
    uint32_t subscriptionId = 0;
    std::vector<uint32_t> availableSequenceNumbers;
    bool moreNotifications = false;
    std::string notificationMessage;
    std::vector<StatusCode> results;
};
void Decode(Decoder& d, PublishRequest& r);
void Encode(Encoder& e, const PublishResponse& r);

struct RepublishRequest {
    uint32_t subscriptionId = 0;
    uint32_t retransmitSequenceNumber = 0;
};
struct RepublishResponse {
    std::string notificationMessage;  // encoded
};
void Decode(Decoder& d, RepublishRequest& r);
void Encode(Encoder& e, const RepublishResponse& r);

// ---------------------------------------------------------------- monitored items

struct MonitoringParameters {
    uint32_t clientHandle = 0;
    double samplingInterval = 0;
    ExtensionObject filter;
    uint32_t queueSize = 0;
    bool discardOldest = true;
};
struct MonitoredItemCreateRequest {
    NodeId node;
    uint32_t attributeId = 0;
    UaString indexRange;
    uint32_t mode = 0;
    MonitoringParameters params;
};
struct CreateMonitoredItemsRequest {
    uint32_t subscriptionId = 0;
    uint32_t timestamps = TsSource;
    std::vector<MonitoredItemCreateRequest> items;
};
struct MonitoredItemCreateResult {
    StatusCode status = status::Good;
    uint32_t monitoredItemId = 0;
    double revisedSamplingInterval = 0;
    uint32_t revisedQueueSize = 0;
};
struct CreateMonitoredItemsResponse {
    std::vector<MonitoredItemCreateResult> results;
};
void Decode(Decoder& d, CreateMonitoredItemsRequest& r);
void Encode(Encoder& e, const CreateMonitoredItemsResponse& r);

struct MonitoredItemModifyRequest {
    uint32_t monitoredItemId = 0;
    MonitoringParameters params;
};
struct ModifyMonitoredItemsRequest {
    uint32_t subscriptionId = 0;
    uint32_t timestamps = TsSource;
    std::vector<MonitoredItemModifyRequest> items;
};
struct MonitoredItemModifyResult {
    StatusCode status = status::Good;
    double revisedSamplingInterval = 0;
    uint32_t revisedQueueSize = 0;
};
struct ModifyMonitoredItemsResponse {
    std::vector<MonitoredItemModifyResult> results;
};
void Decode(Decoder& d, ModifyMonitoredItemsRequest& r);
void Encode(Encoder& e, const ModifyMonitoredItemsResponse& r);

struct SetMonitoringModeRequest {
    uint32_t subscriptionId = 0;
    uint32_t mode = 0;
    std::vector<uint32_t> monitoredItemIds;
};
void Decode(Decoder& d, SetMonitoringModeRequest& r);

struct DeleteMonitoredItemsRequest {
    uint32_t subscriptionId = 0;
    std::vector<uint32_t> monitoredItemIds;
};
void Decode(Decoder& d, DeleteMonitoredItemsRequest& r);

// ---------------------------------------------------------------- history

// Encoding ids of the history structures.
inline constexpr uint32_t kReadEventDetailsEncoding = 646, kReadRawModifiedDetailsEncoding = 649,
                          kReadProcessedDetailsEncoding = 652, kReadAtTimeDetailsEncoding = 655,
                          kHistoryDataEncoding = 658;

struct HistoryReadValueId {
    NodeId node;
    UaString indexRange;
    QualifiedName encoding;
    std::string continuationPoint;  // empty: none
};
struct HistoryReadRequest {
    ExtensionObject details;
    uint32_t timestamps = TsSource;
    bool releaseContinuationPoints = false;
    std::vector<HistoryReadValueId> nodes;
};
// The body of a ReadRawModifiedDetails (times are DateTime; 0 = not given).
struct ReadRawDetails {
    bool isReadModified = false;
    int64_t startTime = 0;
    int64_t endTime = 0;
    uint32_t numValuesPerNode = 0;
    bool returnBounds = false;
};
struct HistoryReadResult {
    StatusCode status = status::Good;
    std::string continuationPoint;  // empty: none (encoded null)
    bool hasData = false;           // false: no HistoryData body
    std::vector<DataValue> values;  // HistoryData.dataValues
};
struct HistoryReadResponse {
    std::vector<HistoryReadResult> results;
};
void Decode(Decoder& d, HistoryReadRequest& r);
void Decode(Decoder& d, ReadRawDetails& r);
void Encode(Encoder& e, const HistoryReadResponse& r);

}  // namespace qora::ua
