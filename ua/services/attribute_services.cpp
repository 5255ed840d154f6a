// Attribute services: Read and Write, the values of the item and non-item nodes.
#include <algorithm>
#include <cmath>

#include "ua/engine/engine.h"
#include "ua/nodes/standard_nodes.h"

namespace qora::ua {

namespace {

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

DataValue StatusOnly(StatusCode st) {
    DataValue dv;
    dv.hasStatus = true;
    dv.status = st;
    return dv;
}

}  // namespace

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
        e.DateTime(BuildDate());
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
            return Variant::DateTime(BuildDate());
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
        case kAccessHistoryDataCapabilityId:
            return Variant::Boolean(space_.Historizing());
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

}  // namespace qora::ua
