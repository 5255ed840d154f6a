// Discovery, attribute and view services: GetEndpoints, FindServers, Read, Write, Browse,
// BrowseNext, TranslateBrowsePathsToNodeIds, RegisterNodes, UnregisterNodes.
#include <algorithm>
#include <cmath>

#include "opc/ua/ua_engine.h"

namespace qora::ua {

namespace {

// Bits of a Browse result mask: which fields of a reference are filled in.
enum ResultMask : uint32_t {
    ResultReferenceType = 0x01,
    ResultNodeClass = 0x04,
    ResultBrowseName = 0x08,
    ResultDisplayName = 0x10,
    ResultTypeDefinition = 0x20,
};
// Bit of AccessLevel: the current value is readable.
constexpr uint8_t kAccessCurrentRead = 0x01;
constexpr const char* kDefaultBinaryEncoding = "Default Binary";

const char* LocaleName(uint32_t lcid) {
    switch (lcid) {
        case 0x0009:
            return "en";
        case 0x0409:
            return "en-US";
        case 0x0809:
            return "en-GB";
        case 0x0019:
            return "ru";
        case 0x0419:
            return "ru-RU";
        case 0x0007:
            return "de";
        case 0x0407:
            return "de-DE";
        case 0x000C:
            return "fr";
        case 0x040C:
            return "fr-FR";
        default:
            return nullptr;  // neutral, system and user default have no name
    }
}

bool BrowseMatches(const AddressSpace& space, const ContinuationPoint& cp, const ReferenceDescription& r) {
    if (cp.direction == BrowseForward && !r.isForward) return false;
    if (cp.direction == BrowseInverse && r.isForward) return false;
    if (cp.referenceType != 0 && !space.IsSubtype(r.referenceType, cp.referenceType, cp.includeSubtypes))
        return false;
    if (cp.nodeClassMask != 0 && !(static_cast<uint32_t>(space.ClassOf(r.target)) & cp.nodeClassMask))
        return false;
    return true;
}

BrowseReference MakeReference(const AddressSpace& space, const ReferenceDescription& r, uint32_t mask) {
    BrowseReference out;
    if (mask & ResultReferenceType) out.referenceType = NodeId(0, r.referenceType);
    out.isForward = r.isForward;
    out.target.nodeId = space.IdOf(r.target);
    if (mask & ResultBrowseName) out.browseName = space.BrowseNameOf(r.target);
    if (mask & ResultDisplayName) out.displayName = space.DisplayNameOf(r.target);
    if (mask & ResultNodeClass) out.nodeClass = static_cast<uint32_t>(space.ClassOf(r.target));
    if (mask & ResultTypeDefinition) out.typeDefinition.nodeId = space.TypeDefinitionOf(r.target);
    return out;
}

BrowseResult FailedBrowse(StatusCode st) {
    BrowseResult b;
    b.status = st;
    return b;
}

DataValue StatusOnly(StatusCode st) {
    DataValue dv;
    dv.hasStatus = true;
    dv.status = st;
    return dv;
}

}  // namespace

// ---------------------------------------------------------------- discovery

std::string Engine::EndpointUrlFor(const Connection& c, const std::string& requested) const {
    if (!requested.empty()) return requested;
    if (!c.endpointUrl.empty()) return c.endpointUrl;
    return "opc.tcp://" + (config_.host.empty() ? std::string("localhost") : config_.host) + ":" +
           std::to_string(port_);
}

ApplicationDescription Engine::Application(const std::string& url) const {
    return {config_.applicationUri, config_.productUri, config_.applicationName, {url}};
}

Reply<GetEndpointsResponse> Engine::ServiceGetEndpoints(ServiceContext& ctx, const GetEndpointsRequest& r) {
    const bool profileMatches =
        r.profileUris.empty() ||
        std::find(r.profileUris.begin(), r.profileUris.end(), TransportProfileUri()) != r.profileUris.end();
    GetEndpointsResponse out;
    if (profileMatches) out.endpoints = Endpoints(EndpointUrlFor(ctx.channel, r.endpointUrl));
    return out;
}

Reply<FindServersResponse> Engine::ServiceFindServers(ServiceContext& ctx, const FindServersRequest& r) {
    const bool uriMatches = r.serverUris.empty() || std::find(r.serverUris.begin(), r.serverUris.end(),
                                                              config_.applicationUri) != r.serverUris.end();
    FindServersResponse out;
    if (uriMatches) out.servers.push_back(Application(EndpointUrlFor(ctx.channel, r.endpointUrl)));
    return out;
}

// ---------------------------------------------------------------- attribute

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
        e.DateTime(lifecycle_.startTime);
    };
    switch (nodeId) {
        case id::ServerArray:
            return Variant::Array(BuiltinType::String, {UaString(config_.applicationUri)});
        case id::NamespaceArray:
            return Variant::Array(BuiltinType::String, {UaString("http://opcfoundation.org/UA/"),
                                                        UaString(config_.applicationUri)});
        case id::ServerStatus:
            return Variant::Extension(MakeExtension(id::ServerStatusDataTypeEncoding, [&](Encoder& e) {
                e.DateTime(lifecycle_.startTime);
                e.DateTime(UaNow());
                e.Int32(static_cast<int32_t>(lifecycle_.state));
                buildInfo(e);
                e.UInt32(0);
                e.Text(text(lifecycle_.shutdownReason));
            }));
        case id::StartTime:
            return Variant::DateTime(lifecycle_.startTime);
        case id::CurrentTime:
            return Variant::DateTime(UaNow());
        case id::State:
            return Variant::Int32(static_cast<int32_t>(lifecycle_.state));
        case id::BuildInfoVar:
            return Variant::Extension(MakeExtension(id::BuildInfoEncoding, buildInfo));
        case id::ProductUri:
            return Variant::String(config_.productUri);
        case id::ManufacturerName:
            return Variant::String(config_.manufacturerName);
        case id::ProductName:
            return Variant::String(config_.applicationName);
        case id::SoftwareVersion:
            return Variant::String(config_.softwareVersion);
        case id::BuildNumber:
            return Variant::String(config_.softwareVersion);
        case id::BuildDate:
            return Variant::DateTime(lifecycle_.startTime);
        case id::SecondsTillShutdown:
            return Variant::UInt32(0);
        case id::ShutdownReason:
            return Variant::Text(text(lifecycle_.shutdownReason));
        case id::LocaleIdArray: {
            std::vector<VariantScalar> names;
            for (uint32_t lcid : backend_.Locales())
                if (const char* n = LocaleName(lcid)) names.push_back(UaString(n));
            return Variant::Array(BuiltinType::String, std::move(names));
        }
        case id::MaxBrowseContinuationPoints:
            return Variant::UInt16(static_cast<uint16_t>(kMaxContinuationPoints));
        case id::ServiceLevel:
        case id::ServerDiagnosticsSummary:
            return DiagnosticsValue(nodeId);
        default:
            if (Variant v = DiagnosticsValue(nodeId); v.type != BuiltinType::Null) return v;
            for (const OperationLimitNode& limit : kOperationLimitNodes)
                if (limit.nodeId == nodeId) return Variant::UInt32(limit.value);
            return Variant{};
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
        const double maxAge100ns = maxAge * kDateTimeUnitsPerMs;
        for (size_t i = 0; i < out.size(); ++i)
            if (out[i].valid &&
                static_cast<double>(now - static_cast<int64_t>(out[i].sourceTime)) > maxAge100ns)
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
    if (attributeId == AttrValue && space_.CounterDataType(node) != 0) {
        st = CounterValue(node, v);
    } else if (attributeId == AttrValue && s && s->dynamic) {
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

DataValue MakeItemDataValue(const ItemSample& sample, uint32_t timestamps, int64_t now) {
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

Reply<ReadResponse> Engine::ServiceRead(ServiceContext&, const ReadRequest& r) {
    StatusCode fault = OperationCountFault(r.nodes.size(), kOperationLimits.maxNodesPerRead);
    if (fault == status::Good && !(r.maxAge >= 0))
        fault = status::BadMaxAgeInvalid;  // also NaN
    else if (fault == status::Good && r.timestamps > TsNeither)
        fault = status::BadTimestampsToReturnInvalid;
    if (fault != status::Good) return ServiceFault{fault};

    const size_t n = r.nodes.size();
    const int64_t now = UaNow();
    ReadResponse out;
    out.results.resize(n);
    std::vector<uint32_t> handles;
    std::vector<size_t> positions;
    for (size_t i = 0; i < n; ++i) {
        const ReadValueId& v = r.nodes[i];
        DataValue& dv = out.results[i];
        const auto node = space_.Find(v.node);
        if (!node) {
            dv = StatusOnly(status::BadNodeIdUnknown);
            continue;
        }
        if (!v.encoding.name.isNull && !v.encoding.name.value.empty() &&
            (v.attributeId != AttrValue || v.encoding.name.value != kDefaultBinaryEncoding)) {
            dv = StatusOnly(v.attributeId != AttrValue ? status::BadDataEncodingInvalid
                                                       : status::BadDataEncodingUnsupported);
            continue;
        }
        if (!v.indexRange.isNull && !v.indexRange.value.empty()) {
            dv = StatusOnly(status::BadIndexRangeNoData);
            continue;
        }
        if (node->item && v.attributeId == AttrValue) {
            const ItemNode& item = space_.Item(node->index);
            if (!(item.accessRights & kAccessCurrentRead)) {
                dv = StatusOnly(status::BadNotReadable);
                continue;
            }
            handles.push_back(item.handle);
            positions.push_back(i);
            continue;
        }
        dv = ReadNonItem(*node, v.attributeId, r.timestamps, now);
    }
    std::vector<ItemSample> samples;
    ReadItems(handles, r.maxAge, samples);
    for (size_t k = 0; k < positions.size(); ++k)
        out.results[positions[k]] = MakeItemDataValue(samples[k], r.timestamps, now);
    return out;
}

Reply<StatusListResponse> Engine::ServiceWrite(ServiceContext&, const WriteRequest& r) {
    std::vector<uint32_t> handles;
    auto reply = ForEachId(
        r.nodes,
        [&](const WriteValue& w) {
            const auto ref = space_.Find(w.node);
            if (!ref) return status::BadNodeIdUnknown;
            if (w.attributeId < AttrNodeId || w.attributeId > AttrAccessLevelEx)
                return status::BadAttributeIdInvalid;
            if (ref->item && w.attributeId == AttrValue) handles.push_back(space_.Item(ref->index).handle);
            return status::BadNotWritable;
        },
        kOperationLimits.maxNodesPerWrite);
    // The toolkit hears of the write; the items stay read-only.
    if (!reply.IsFault() && !handles.empty()) backend_.Write(handles.data(), handles.size());
    return reply;
}

// ---------------------------------------------------------------- view

bool Engine::BrowseInto(ContinuationPoint& cp, std::vector<BrowseReference>& refs) const {
    const size_t total = space_.ReferenceCount(cp.node);
    for (size_t i = cp.position; i < total; ++i) {
        const ReferenceDescription r = space_.ReferenceAt(cp.node, i);
        if (!BrowseMatches(space_, cp, r)) continue;
        if (refs.size() >= cp.maxReferences) {
            cp.position = i;
            return true;
        }
        refs.push_back(MakeReference(space_, r, cp.resultMask));
    }
    cp.position = total;
    return false;
}

Reply<BrowseResponse> Engine::ServiceBrowse(ServiceContext& ctx, const BrowseRequest& r) {
    StatusCode fault = status::Good;
    if (!r.view.IsNull())
        fault = status::BadViewIdUnknown;
    else
        fault = OperationCountFault(r.nodes.size(), kOperationLimits.maxNodesPerBrowse);
    if (fault != status::Good) return ServiceFault{fault};
    const uint32_t maxRefs = r.requestedMaxReferencesPerNode == 0
                                 ? kDefaultMaxReferencesPerNode
                                 : std::min(r.requestedMaxReferencesPerNode, kMaxReferencesPerResult);
    Session& s = *ctx.session;
    BrowseResponse out;
    out.results.reserve(r.nodes.size());
    for (const BrowseDescription& ds : r.nodes) {
        const auto node = space_.Find(ds.node);
        StatusCode st = status::Good;
        if (!node)
            st = status::BadNodeIdUnknown;
        else if (ds.direction > BrowseBoth)
            st = status::BadBrowseDirectionInvalid;
        else if (!ds.referenceType.IsNull() && !space_.IsReferenceType(ds.referenceType))
            st = status::BadReferenceTypeIdInvalid;
        if (st != status::Good) {
            out.results.push_back(FailedBrowse(st));
            continue;
        }
        ContinuationPoint cp;
        cp.node = *node;
        cp.maxReferences = maxRefs;
        cp.direction = ds.direction;
        cp.referenceType = ds.referenceType.IsNull() ? 0 : ds.referenceType.numeric;
        cp.includeSubtypes = ds.includeSubtypes;
        cp.nodeClassMask = ds.nodeClassMask;
        cp.resultMask = ds.resultMask;
        BrowseResult result;
        const bool more = BrowseInto(cp, result.references);
        if (more && s.continuationPoints.size() >= kMaxContinuationPoints) {
            out.results.push_back(FailedBrowse(status::BadNoContinuationPoints));
            continue;
        }
        if (more) {
            cp.id = std::to_string(sessions_.NewContinuationId()) + ":" + sessions_.RandomBytes(8);
            result.continuationPoint = UaString(cp.id);
            s.continuationPoints.push_back(std::move(cp));
        }
        out.results.push_back(std::move(result));
    }
    return out;
}

Reply<BrowseResponse> Engine::ServiceBrowseNext(ServiceContext& ctx, const BrowseNextRequest& r) {
    if (const StatusCode fault =
            OperationCountFault(r.continuationPoints.size(), kOperationLimits.maxNodesPerBrowse))
        return ServiceFault{fault};
    Session& s = *ctx.session;
    BrowseResponse out;
    out.results.reserve(r.continuationPoints.size());
    for (const std::string& cpId : r.continuationPoints) {
        ContinuationPoint cp;
        if (!s.TakeContinuationPoint(cpId, cp)) {
            out.results.push_back(FailedBrowse(status::BadContinuationPointInvalid));
            continue;
        }
        BrowseResult result;
        if (!r.releaseContinuationPoints && BrowseInto(cp, result.references)) {
            result.continuationPoint = UaString(cp.id);
            s.continuationPoints.push_back(std::move(cp));
        }
        out.results.push_back(std::move(result));
    }
    return out;
}

Reply<TranslateResponse> Engine::ServiceTranslate(ServiceContext&, const TranslateRequest& r) {
    if (const StatusCode fault = OperationCountFault(r.paths.size(), kOperationLimits.maxNodesPerTranslate))
        return ServiceFault{fault};
    TranslateResponse out;
    out.results.reserve(r.paths.size());
    for (const BrowsePath& p : r.paths) {
        const auto start = space_.Find(p.start);
        StatusCode st = status::Good;
        std::vector<NodeRef> current;
        if (!start)
            st = status::BadNodeIdUnknown;
        else if (p.elements.empty())
            st = status::BadNothingToDo;
        else
            current.push_back(*start);
        for (size_t k = 0; st == status::Good && k < p.elements.size(); ++k) {
            const RelativePathElement& el = p.elements[k];
            if (el.targetName.name.isNull || el.targetName.name.value.empty()) {
                st = status::BadBrowseNameInvalid;
                break;
            }
            std::vector<NodeRef> next;
            for (const NodeRef& from : current) {
                const size_t total = space_.ReferenceCount(from);
                for (size_t i = 0; i < total; ++i) {
                    const ReferenceDescription ref = space_.ReferenceAt(from, i);
                    if (ref.isForward == el.isInverse) continue;
                    if (!el.referenceType.IsNull() &&
                        !space_.IsSubtype(ref.referenceType, el.referenceType.numeric, el.includeSubtypes))
                        continue;
                    if (space_.BrowseNameOf(ref.target) == el.targetName &&
                        std::find(next.begin(), next.end(), ref.target) == next.end())
                        next.push_back(ref.target);
                }
            }
            current = std::move(next);
            if (current.empty()) st = status::BadNoMatch;
        }
        BrowsePathResult result;
        result.status = st;
        if (st == status::Good)
            for (const NodeRef& t : current) result.targets.push_back(space_.IdOf(t));
        out.results.push_back(std::move(result));
    }
    return out;
}

Reply<RegisterNodesResponse> Engine::ServiceRegisterNodes(ServiceContext&, const NodesRequest& r) {
    if (const StatusCode fault =
            OperationCountFault(r.nodes.size(), kOperationLimits.maxNodesPerRegisterNodes))
        return ServiceFault{fault};
    // Lookups are already direct, so registered ids are the ids themselves.
    return RegisterNodesResponse{r.nodes};
}

Reply<EmptyResponse> Engine::ServiceUnregisterNodes(ServiceContext&, const NodesRequest& r) {
    if (const StatusCode fault =
            OperationCountFault(r.nodes.size(), kOperationLimits.maxNodesPerRegisterNodes))
        return ServiceFault{fault};
    return EmptyResponse{};
}

}  // namespace qora::ua
