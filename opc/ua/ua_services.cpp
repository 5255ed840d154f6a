// Discovery, attribute and view services: GetEndpoints, FindServers, Read, Write, Browse,
// BrowseNext, TranslateBrowsePathsToNodeIds, RegisterNodes, UnregisterNodes.
#include <algorithm>
#include <cmath>

#include "opc/ua/ua_engine.h"

namespace qora::ua {

namespace {

constexpr const char* kSecurityPolicyNone = "http://opcfoundation.org/UA/SecurityPolicy#None";
constexpr const char* kTransportProfile = "http://opcfoundation.org/UA-Profile/Transport/uatcp-uasc-uabinary";
constexpr const char* kAnonymousPolicyId = "anonymous";
constexpr uint32_t kMaxReferencesPerResult = 10000;  // bounds one Browse result whatever is requested

enum Timestamps : uint32_t { TsSource = 0, TsServer = 1, TsBoth = 2, TsNeither = 3 };

const char* LocaleName(uint32_t lcid) {
    switch (lcid) {
        case 0x0009: return "en";
        case 0x0409: return "en-US";
        case 0x0809: return "en-GB";
        case 0x0019: return "ru";
        case 0x0419: return "ru-RU";
        case 0x0007: return "de";
        case 0x0407: return "de-DE";
        case 0x000C: return "fr";
        case 0x040C: return "fr-FR";
        default: return nullptr;  // neutral, system and user default have no name
    }
}

struct ReadValueId {
    NodeId node;
    uint32_t attributeId = 0;
    UaString indexRange;
    QualifiedName encoding;
};

ReadValueId DecodeReadValueId(Decoder& d) {
    ReadValueId r;
    r.node = d.Node();
    r.attributeId = d.UInt32();
    r.indexRange = d.String();
    r.encoding = d.Qualified();
    return r;
}

void EncodeDiagnosticsNone(Encoder& e) { e.ArrayLength(0); }

}  // namespace

std::string Engine::EndpointUrlFor(const Connection& c, const std::string& requested) const {
    if (!requested.empty()) return requested;
    if (!c.endpointUrl.empty()) return c.endpointUrl;
    return "opc.tcp://" + (config_.host.empty() ? std::string("localhost") : config_.host) + ":" +
           std::to_string(port_);
}

void Engine::EncodeApplicationDescription(Encoder& e, const std::string& url) {
    e.String(std::string_view(config_.applicationUri));
    e.String(std::string_view(config_.productUri));
    LocalizedText name;
    name.text = UaString(config_.applicationName);
    e.Text(name);
    e.UInt32(0);  // Server
    e.NullString();
    e.NullString();
    e.ArrayLength(1);
    e.String(std::string_view(url));
}

void Engine::EncodeEndpoint(Encoder& e, const std::string& url) {
    e.String(std::string_view(url));
    EncodeApplicationDescription(e, url);
    e.NullString();  // server certificate
    e.UInt32(1);     // MessageSecurityMode None
    e.String(std::string_view(kSecurityPolicyNone));
    e.ArrayLength(1);
    e.String(std::string_view(kAnonymousPolicyId));
    e.UInt32(0);  // UserTokenType Anonymous
    e.NullString();
    e.NullString();
    e.NullString();
    e.String(std::string_view(kTransportProfile));
    e.Byte(0);  // security level
}

void Engine::ServiceGetEndpoints(Connection& c, uint32_t rid, const RequestHeader& h, Decoder& d) {
    const std::string url = d.StringValue();
    for (size_t i = 0, n = d.ArrayCount(4, 32); i < n; ++i) d.String();
    bool profileMatches = true;
    const size_t profiles = d.ArrayCount(4, 32);
    if (profiles > 0) profileMatches = false;
    for (size_t i = 0; i < profiles; ++i)
        if (d.StringValue() == kTransportProfile) profileMatches = true;
    std::string out;
    Encoder e(out);
    EncodeResponseHeader(e, h.requestHandle, status::Good);
    if (profileMatches) {
        e.ArrayLength(1);
        EncodeEndpoint(e, EndpointUrlFor(c, url));
    } else {
        e.ArrayLength(0);
    }
    SendResponse(c.id, rid, id::ResponseOf(id::GetEndpoints), out, h.requestHandle);
}

void Engine::ServiceFindServers(Connection& c, uint32_t rid, const RequestHeader& h, Decoder& d) {
    const std::string url = d.StringValue();
    for (size_t i = 0, n = d.ArrayCount(4, 32); i < n; ++i) d.String();
    bool uriMatches = true;
    const size_t uris = d.ArrayCount(4, 32);
    if (uris > 0) uriMatches = false;
    for (size_t i = 0; i < uris; ++i)
        if (d.StringValue() == config_.applicationUri) uriMatches = true;
    std::string out;
    Encoder e(out);
    EncodeResponseHeader(e, h.requestHandle, status::Good);
    if (uriMatches) {
        e.ArrayLength(1);
        EncodeApplicationDescription(e, EndpointUrlFor(c, url));
    } else {
        e.ArrayLength(0);
    }
    SendResponse(c.id, rid, id::ResponseOf(id::FindServers), out, h.requestHandle);
}

Variant Engine::DynamicValue(uint32_t nodeId) const {
    auto text = [](const std::string& s) {
        LocalizedText t;
        t.text = UaString(s);
        return t;
    };
    auto buildInfo = [&](Encoder& e) {
        e.String(std::string_view(config_.productUri));
        e.String(std::string_view(config_.manufacturerName));
        e.String(std::string_view(config_.applicationName));
        e.String(std::string_view(config_.softwareVersion));
        e.String(std::string_view(config_.softwareVersion));
        e.DateTime(serverState_.startTime);
    };
    switch (nodeId) {
        case id::ServerArray:
            return Variant::Array(BuiltinType::String, {UaString(config_.applicationUri)});
        case id::NamespaceArray:
            return Variant::Array(BuiltinType::String,
                                  {UaString("http://opcfoundation.org/UA/"), UaString(config_.applicationUri)});
        case id::ServerStatus:
            return Variant::Extension(MakeExtension(id::ServerStatusDataTypeEncoding, [&](Encoder& e) {
                e.DateTime(serverState_.startTime);
                e.DateTime(UaNow());
                e.Int32(serverState_.state);
                buildInfo(e);
                e.UInt32(0);
                e.Text(text(serverState_.shutdownReason));
            }));
        case id::StartTime: return Variant::DateTime(serverState_.startTime);
        case id::CurrentTime: return Variant::DateTime(UaNow());
        case id::State: return Variant::Int32(serverState_.state);
        case id::BuildInfoVar: return Variant::Extension(MakeExtension(id::BuildInfoEncoding, buildInfo));
        case id::ProductUri: return Variant::String(config_.productUri);
        case id::ManufacturerName: return Variant::String(config_.manufacturerName);
        case id::ProductName: return Variant::String(config_.applicationName);
        case id::SoftwareVersion: return Variant::String(config_.softwareVersion);
        case id::BuildNumber: return Variant::String(config_.softwareVersion);
        case id::BuildDate: return Variant::DateTime(serverState_.startTime);
        case id::SecondsTillShutdown: return Variant::UInt32(0);
        case id::ShutdownReason: return Variant::Text(text(serverState_.shutdownReason));
        case id::LocaleIdArray: {
            std::vector<VariantScalar> names;
            for (uint32_t lcid : backend_.Locales())
                if (const char* n = LocaleName(lcid)) names.push_back(UaString(n));
            return Variant::Array(BuiltinType::String, std::move(names));
        }
        case id::MaxBrowseContinuationPoints: return Variant::UInt16(static_cast<uint16_t>(kMaxContinuationPoints));
        case id::MaxNodesPerRead: return Variant::UInt32(kMaxNodesPerRead);
        case id::MaxNodesPerWrite: return Variant::UInt32(kMaxNodesPerWrite);
        case id::MaxNodesPerBrowse: return Variant::UInt32(kMaxNodesPerBrowse);
        case id::MaxNodesPerRegisterNodes: return Variant::UInt32(kMaxNodesPerRegister);
        case id::MaxNodesPerTranslate: return Variant::UInt32(kMaxNodesPerTranslate);
        case id::MaxMonitoredItemsPerCall: return Variant::UInt32(kMaxMonitoredItemsPerCall);
        default: return Variant{};
    }
}

void Engine::ReadItems(const std::vector<uint32_t>& handles, double maxAge, std::vector<ItemSample>& out) {
    out.assign(handles.size(), ItemSample{});
    if (handles.empty()) return;
    std::vector<size_t> missing;
    if (maxAge <= 0) {
        backend_.ReadDevice(handles.data(), handles.size(), out.data());
        for (size_t i = 0; i < out.size(); ++i)
            if (!out[i].valid) missing.push_back(i);
    } else {
        backend_.ReadCache(handles.data(), handles.size(), out.data());
        // Entries older than MaxAge are refreshed from the device, then read again.
        const int64_t now = UaNow();
        const double maxAge100ns = maxAge * 10000.0;
        for (size_t i = 0; i < out.size(); ++i)
            if (out[i].valid && static_cast<double>(now - static_cast<int64_t>(out[i].sourceTime)) > maxAge100ns)
                missing.push_back(i);
        if (!missing.empty()) {
            std::vector<uint32_t> stale;
            for (size_t i : missing) stale.push_back(handles[i]);
            backend_.RefreshFromDevice(stale.data(), stale.size());
        }
    }
    if (missing.empty()) return;
    std::vector<uint32_t> again;
    for (size_t i : missing) again.push_back(handles[i]);
    std::vector<ItemSample> fresh(again.size());
    backend_.ReadCache(again.data(), again.size(), fresh.data());
    for (size_t k = 0; k < missing.size(); ++k) out[missing[k]] = fresh[k];
}

DataValue Engine::ReadNonItem(NodeRef node, uint32_t attributeId, uint32_t timestamps, int64_t now) const {
    DataValue dv;
    const StdNode* s = space_.Std(node);
    Variant v;
    StatusCode st;
    if (attributeId == AttrValue && s && s->dynamic) {
        v = DynamicValue(s->id);
        st = status::Good;
    } else {
        st = space_.ReadAttribute(node, attributeId, v);
    }
    if (IsBad(st)) {
        dv.hasStatus = true;
        dv.status = st;
        return dv;
    }
    dv.hasValue = true;
    dv.value = std::move(v);
    if (attributeId == AttrValue) {
        if (timestamps == TsSource || timestamps == TsBoth) {
            dv.hasSourceTimestamp = true;
            dv.sourceTimestamp = now;
        }
        if (timestamps == TsServer || timestamps == TsBoth) {
            dv.hasServerTimestamp = true;
            dv.serverTimestamp = now;
        }
    }
    return dv;
}

static DataValue ItemDataValue(const ItemSample& sample, uint32_t timestamps, int64_t now) {
    DataValue dv;
    if (!sample.valid) {
        dv.hasStatus = true;
        dv.status = status::Bad;
        return dv;
    }
    dv.hasValue = true;
    dv.value = Variant::Float(sample.value);
    const StatusCode st = QualityToStatus(sample.quality);
    if (st != status::Good) {
        dv.hasStatus = true;
        dv.status = st;
    }
    if ((timestamps == TsSource || timestamps == TsBoth) && sample.sourceTime != 0) {
        dv.hasSourceTimestamp = true;
        dv.sourceTimestamp = static_cast<int64_t>(sample.sourceTime);
    }
    if (timestamps == TsServer || timestamps == TsBoth) {
        dv.hasServerTimestamp = true;
        dv.serverTimestamp = now;
    }
    return dv;
}

DataValue MakeItemDataValue(const ItemSample& sample, uint32_t timestamps, int64_t now) {
    return ItemDataValue(sample, timestamps, now);
}

void Engine::ServiceRead(Connection& c, uint32_t rid, const RequestHeader& h, Decoder& d, Millis) {
    const double maxAge = d.Double();
    const uint32_t timestamps = d.UInt32();
    const size_t n = d.ArrayCount(16, sizeof(ReadValueId));
    std::vector<ReadValueId> nodes;
    nodes.reserve(n);
    for (size_t i = 0; i < n; ++i) nodes.push_back(DecodeReadValueId(d));

    StatusCode fault = status::Good;
    if (n == 0) fault = status::BadNothingToDo;
    else if (n > kMaxNodesPerRead) fault = status::BadTooManyOperations;
    else if (!(maxAge >= 0)) fault = status::BadMaxAgeInvalid;  // also NaN
    else if (timestamps > TsNeither) fault = status::BadTimestampsToReturnInvalid;
    if (fault != status::Good) {
        SendServiceFault(c.id, rid, h.requestHandle, fault);
        return;
    }

    const int64_t now = UaNow();
    std::vector<DataValue> results(n);
    std::vector<uint32_t> handles;
    std::vector<size_t> positions;
    for (size_t i = 0; i < n; ++i) {
        const ReadValueId& r = nodes[i];
        DataValue& dv = results[i];
        const auto node = space_.Find(r.node);
        if (!node) {
            dv.hasStatus = true;
            dv.status = status::BadNodeIdUnknown;
            continue;
        }
        if (!r.encoding.name.isNull && !r.encoding.name.value.empty() &&
            (r.attributeId != AttrValue || r.encoding.name.value != "Default Binary")) {
            dv.hasStatus = true;
            dv.status = r.attributeId != AttrValue ? status::BadDataEncodingInvalid : status::BadDataEncodingUnsupported;
            continue;
        }
        if (!r.indexRange.isNull && !r.indexRange.value.empty()) {
            dv.hasStatus = true;
            dv.status = status::BadIndexRangeNoData;
            continue;
        }
        if (node->item && r.attributeId == AttrValue) {
            const ItemNode& item = space_.Item(node->index);
            if (!(item.accessRights & 1)) {
                dv.hasStatus = true;
                dv.status = status::BadNotReadable;
                continue;
            }
            handles.push_back(item.handle);
            positions.push_back(i);
            continue;
        }
        dv = ReadNonItem(*node, r.attributeId, timestamps, now);
    }
    std::vector<ItemSample> samples;
    ReadItems(handles, maxAge, samples);
    for (size_t k = 0; k < positions.size(); ++k) results[positions[k]] = ItemDataValue(samples[k], timestamps, now);

    std::string out;
    out.reserve(64 + n * 24);
    Encoder e(out);
    EncodeResponseHeader(e, h.requestHandle, status::Good);
    e.ArrayLength(static_cast<int32_t>(n));
    for (const DataValue& dv : results) e.Data(dv);
    EncodeDiagnosticsNone(e);
    SendResponse(c.id, rid, id::ResponseOf(id::Read), out, h.requestHandle);
}

void Engine::ServiceWrite(Connection& c, uint32_t rid, const RequestHeader& h, Decoder& d) {
    const size_t n = d.ArrayCount(11, sizeof(NodeId) + 64);
    std::vector<StatusCode> results(n, status::BadNotWritable);
    std::vector<uint32_t> handles;
    for (size_t i = 0; i < n; ++i) {
        const NodeId node = d.Node();
        const uint32_t attributeId = d.UInt32();
        d.String();
        d.Data();
        const auto ref = space_.Find(node);
        if (!ref) {
            results[i] = status::BadNodeIdUnknown;
        } else if (attributeId < AttrNodeId || attributeId > AttrAccessLevelEx) {
            results[i] = status::BadAttributeIdInvalid;
        } else if (ref->item && attributeId == AttrValue) {
            handles.push_back(space_.Item(ref->index).handle);
        }
    }
    if (n == 0 || n > kMaxNodesPerWrite) {
        SendServiceFault(c.id, rid, h.requestHandle, n == 0 ? status::BadNothingToDo : status::BadTooManyOperations);
        return;
    }
    // The toolkit hears of the write; the items stay read-only.
    if (!handles.empty()) backend_.Write(handles.data(), handles.size());
    std::string out;
    Encoder e(out);
    EncodeResponseHeader(e, h.requestHandle, status::Good);
    e.ArrayLength(static_cast<int32_t>(n));
    for (StatusCode s : results) e.Status(s);
    EncodeDiagnosticsNone(e);
    SendResponse(c.id, rid, id::ResponseOf(id::Write), out, h.requestHandle);
}

namespace {

// Encodes one BrowseResult continuing at cp.position; updates cp.position to the next matching
// reference or to the end.
bool BrowseMatches(const AddressSpace& space, const ContinuationPoint& cp, const ReferenceDescription& r) {
    if (cp.direction == 0 && !r.isForward) return false;
    if (cp.direction == 1 && r.isForward) return false;
    if (cp.referenceType != 0 && !space.IsSubtype(r.referenceType, cp.referenceType, cp.includeSubtypes))
        return false;
    if (cp.nodeClassMask != 0 && !(static_cast<uint32_t>(space.ClassOf(r.target)) & cp.nodeClassMask)) return false;
    return true;
}

void EncodeReference(Encoder& e, const AddressSpace& space, const ReferenceDescription& r, uint32_t mask) {
    e.Node((mask & 0x01) ? NodeId(0, r.referenceType) : NodeId());
    e.Boolean(r.isForward);
    ExpandedNodeId target;
    target.nodeId = space.IdOf(r.target);
    e.ExpandedNode(target);
    e.Qualified((mask & 0x08) ? space.BrowseNameOf(r.target) : QualifiedName{});
    e.Text((mask & 0x10) ? space.DisplayNameOf(r.target) : LocalizedText{});
    e.UInt32((mask & 0x04) ? static_cast<uint32_t>(space.ClassOf(r.target)) : 0);
    ExpandedNodeId type;
    if (mask & 0x20) type.nodeId = space.TypeDefinitionOf(r.target);
    e.ExpandedNode(type);
}

}  // namespace

// Browses from cp.position; returns true when references remain (cp.position then points at the
// next one).
static bool BrowseInto(const AddressSpace& space, ContinuationPoint& cp, Encoder& refs, int32_t& count) {
    const size_t total = space.ReferenceCount(cp.node);
    count = 0;
    size_t i = cp.position;
    for (; i < total; ++i) {
        const ReferenceDescription r = space.ReferenceAt(cp.node, i);
        if (!BrowseMatches(space, cp, r)) continue;
        if (static_cast<uint32_t>(count) >= cp.maxReferences) {
            cp.position = i;
            return true;
        }
        EncodeReference(refs, space, r, cp.resultMask);
        ++count;
    }
    cp.position = total;
    return false;
}

void Engine::ServiceBrowse(Session& s, Connection& c, uint32_t rid, const RequestHeader& h, Decoder& d) {
    const NodeId view = d.Node();
    d.DateTime();
    d.UInt32();
    const uint32_t requestedMax = d.UInt32();
    const size_t n = d.ArrayCount(17, sizeof(ContinuationPoint));
    struct Desc {
        NodeId node;
        uint32_t direction;
        NodeId refType;
        bool includeSubtypes;
        uint32_t classMask;
        uint32_t resultMask;
    };
    std::vector<Desc> descs;
    descs.reserve(n);
    for (size_t i = 0; i < n; ++i) {
        Desc ds;
        ds.node = d.Node();
        ds.direction = d.UInt32();
        ds.refType = d.Node();
        ds.includeSubtypes = d.Boolean();
        ds.classMask = d.UInt32();
        ds.resultMask = d.UInt32();
        descs.push_back(std::move(ds));
    }
    StatusCode fault = status::Good;
    if (!view.IsNull()) fault = status::BadViewIdUnknown;
    else if (n == 0) fault = status::BadNothingToDo;
    else if (n > kMaxNodesPerBrowse) fault = status::BadTooManyOperations;
    if (fault != status::Good) {
        SendServiceFault(c.id, rid, h.requestHandle, fault);
        return;
    }
    const uint32_t maxRefs =
        requestedMax == 0 ? kDefaultMaxReferencesPerNode : std::min(requestedMax, kMaxReferencesPerResult);

    std::string out;
    Encoder e(out);
    EncodeResponseHeader(e, h.requestHandle, status::Good);
    e.ArrayLength(static_cast<int32_t>(n));
    for (const Desc& ds : descs) {
        const auto node = space_.Find(ds.node);
        StatusCode st = status::Good;
        if (!node) st = status::BadNodeIdUnknown;
        else if (ds.direction > 2) st = status::BadBrowseDirectionInvalid;
        else if (!ds.refType.IsNull() && !space_.IsReferenceType(ds.refType)) st = status::BadReferenceTypeIdInvalid;
        if (st != status::Good) {
            e.Status(st);
            e.NullString();
            e.ArrayLength(0);
            continue;
        }
        ContinuationPoint cp;
        cp.node = *node;
        cp.maxReferences = maxRefs;
        cp.direction = ds.direction;
        cp.referenceType = ds.refType.IsNull() ? 0 : ds.refType.numeric;
        cp.includeSubtypes = ds.includeSubtypes;
        cp.nodeClassMask = ds.classMask;
        cp.resultMask = ds.resultMask;
        std::string refs;
        Encoder re(refs);
        int32_t count = 0;
        const bool more = BrowseInto(space_, cp, re, count);
        if (more && s.continuationPoints.size() >= kMaxContinuationPoints) {
            e.Status(status::BadNoContinuationPoints);
            e.NullString();
            e.ArrayLength(0);
            continue;
        }
        e.Status(status::Good);
        if (more) {
            cp.id = std::to_string(nextContinuationId_++) + ":" + RandomBytes(8);
            e.ByteString(cp.id);
            s.continuationPoints.push_back(std::move(cp));
        } else {
            e.NullString();
        }
        e.ArrayLength(count);
        e.Raw(refs.data(), refs.size());
    }
    EncodeDiagnosticsNone(e);
    SendResponse(c.id, rid, id::ResponseOf(id::Browse), out, h.requestHandle);
}

void Engine::ServiceBrowseNext(Session& s, Connection& c, uint32_t rid, const RequestHeader& h, Decoder& d) {
    const bool release = d.Boolean();
    const size_t n = d.ArrayCount(4, 32);
    std::vector<std::string> ids;
    ids.reserve(n);
    for (size_t i = 0; i < n; ++i) ids.push_back(d.StringValue());
    if (n == 0 || n > kMaxNodesPerBrowse) {
        SendServiceFault(c.id, rid, h.requestHandle, n == 0 ? status::BadNothingToDo : status::BadTooManyOperations);
        return;
    }
    std::string out;
    Encoder e(out);
    EncodeResponseHeader(e, h.requestHandle, status::Good);
    e.ArrayLength(static_cast<int32_t>(n));
    for (const std::string& cpId : ids) {
        auto it = std::find_if(s.continuationPoints.begin(), s.continuationPoints.end(),
                               [&](const ContinuationPoint& p) { return p.id == cpId; });
        if (it == s.continuationPoints.end()) {
            e.Status(status::BadContinuationPointInvalid);
            e.NullString();
            e.ArrayLength(0);
            continue;
        }
        ContinuationPoint cp = std::move(*it);
        s.continuationPoints.erase(it);
        e.Status(status::Good);
        if (release) {
            e.NullString();
            e.ArrayLength(0);
            continue;
        }
        std::string refs;
        Encoder re(refs);
        int32_t count = 0;
        const bool more = BrowseInto(space_, cp, re, count);
        if (more) {
            e.ByteString(cp.id);
            s.continuationPoints.push_back(std::move(cp));
        } else {
            e.NullString();
        }
        e.ArrayLength(count);
        e.Raw(refs.data(), refs.size());
    }
    EncodeDiagnosticsNone(e);
    SendResponse(c.id, rid, id::ResponseOf(id::BrowseNext), out, h.requestHandle);
}

void Engine::ServiceTranslate(Connection& c, uint32_t rid, const RequestHeader& h, Decoder& d) {
    struct Element {
        NodeId refType;
        bool inverse;
        bool includeSubtypes;
        QualifiedName name;
    };
    struct Path {
        NodeId start;
        std::vector<Element> elements;
    };
    const size_t n = d.ArrayCount(6, sizeof(Path));
    std::vector<Path> paths(n);
    for (size_t i = 0; i < n; ++i) {
        paths[i].start = d.Node();
        const size_t m = d.ArrayCount(10, sizeof(Element));
        for (size_t k = 0; k < m; ++k) {
            Element el;
            el.refType = d.Node();
            el.inverse = d.Boolean();
            el.includeSubtypes = d.Boolean();
            el.name = d.Qualified();
            paths[i].elements.push_back(std::move(el));
        }
    }
    if (n == 0 || n > kMaxNodesPerTranslate) {
        SendServiceFault(c.id, rid, h.requestHandle, n == 0 ? status::BadNothingToDo : status::BadTooManyOperations);
        return;
    }
    std::string out;
    Encoder e(out);
    EncodeResponseHeader(e, h.requestHandle, status::Good);
    e.ArrayLength(static_cast<int32_t>(n));
    for (const Path& p : paths) {
        const auto start = space_.Find(p.start);
        StatusCode st = status::Good;
        std::vector<NodeRef> current;
        if (!start) st = status::BadNodeIdUnknown;
        else if (p.elements.empty()) st = status::BadNothingToDo;
        else current.push_back(*start);
        for (size_t k = 0; st == status::Good && k < p.elements.size(); ++k) {
            const Element& el = p.elements[k];
            if (el.name.name.isNull || el.name.name.value.empty()) {
                st = status::BadBrowseNameInvalid;
                break;
            }
            std::vector<NodeRef> next;
            for (const NodeRef& from : current) {
                const size_t total = space_.ReferenceCount(from);
                for (size_t r = 0; r < total; ++r) {
                    const ReferenceDescription ref = space_.ReferenceAt(from, r);
                    if (ref.isForward == el.inverse) continue;
                    if (!el.refType.IsNull() &&
                        !space_.IsSubtype(ref.referenceType, el.refType.numeric, el.includeSubtypes))
                        continue;
                    if (space_.BrowseNameOf(ref.target) == el.name &&
                        std::find(next.begin(), next.end(), ref.target) == next.end())
                        next.push_back(ref.target);
                }
            }
            current = std::move(next);
            if (current.empty()) st = status::BadNoMatch;
        }
        e.Status(st);
        if (st != status::Good) {
            e.ArrayLength(0);
            continue;
        }
        e.ArrayLength(static_cast<int32_t>(current.size()));
        for (const NodeRef& t : current) {
            ExpandedNodeId target;
            target.nodeId = space_.IdOf(t);
            e.ExpandedNode(target);
            e.UInt32(0xFFFFFFFF);
        }
    }
    EncodeDiagnosticsNone(e);
    SendResponse(c.id, rid, id::ResponseOf(id::TranslateBrowsePaths), out, h.requestHandle);
}

void Engine::ServiceRegisterNodes(Connection& c, uint32_t rid, const RequestHeader& h, Decoder& d) {
    const size_t n = d.ArrayCount(2, sizeof(NodeId));
    std::vector<NodeId> nodes;
    nodes.reserve(n);
    for (size_t i = 0; i < n; ++i) nodes.push_back(d.Node());
    if (n == 0 || n > kMaxNodesPerRegister) {
        SendServiceFault(c.id, rid, h.requestHandle, n == 0 ? status::BadNothingToDo : status::BadTooManyOperations);
        return;
    }
    // Lookups are already direct, so registered ids are the ids themselves.
    std::string out;
    Encoder e(out);
    EncodeResponseHeader(e, h.requestHandle, status::Good);
    e.ArrayLength(static_cast<int32_t>(n));
    for (const NodeId& node : nodes) e.Node(node);
    SendResponse(c.id, rid, id::ResponseOf(id::RegisterNodes), out, h.requestHandle);
}

void Engine::ServiceUnregisterNodes(Connection& c, uint32_t rid, const RequestHeader& h, Decoder& d) {
    const size_t n = d.ArrayCount(2, sizeof(NodeId));
    for (size_t i = 0; i < n; ++i) d.Node();
    if (n == 0 || n > kMaxNodesPerRegister) {
        SendServiceFault(c.id, rid, h.requestHandle, n == 0 ? status::BadNothingToDo : status::BadTooManyOperations);
        return;
    }
    std::string out;
    Encoder e(out);
    EncodeResponseHeader(e, h.requestHandle, status::Good);
    SendResponse(c.id, rid, id::ResponseOf(id::UnregisterNodes), out, h.requestHandle);
}

}  // namespace qora::ua
