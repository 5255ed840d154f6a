// View services: Browse, BrowseNext, TranslateBrowsePathsToNodeIds, RegisterNodes,
// UnregisterNodes.
#include <algorithm>

#include "ua/engine/engine.h"

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

}  // namespace

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
            cp.id = std::to_string(sessions_.NewContinuationId()) + ":" + sessions_.RandomBytes(16);
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
