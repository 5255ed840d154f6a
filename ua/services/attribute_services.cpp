// Attribute services: Read and Write, the values of the item and non-item nodes.
#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>

#include "ua/engine/engine.h"
#include "ua/nodes/standard_nodes.h"

namespace qora::ua {

namespace {

// Bit of AccessLevel: the current value is readable.
constexpr uint8_t kAccessCurrentRead = 0x01;
constexpr std::string_view kDefaultBinaryEncoding = "Default Binary";
constexpr size_t kKeptReadResponseBytes = 1 << 20;

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
    std::vector<size_t>& missing = readScratch_.missing;
    std::vector<uint32_t>& again = readScratch_.again;
    missing.clear();
    again.clear();
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
            for (size_t i : missing) again.push_back(handles[i]);
            backend_.RefreshFromDevice(again.data(), again.size());
            again.clear();
        }
    }
    if (missing.empty()) return;
    for (size_t i : missing) again.push_back(handles[i]);
    std::vector<ItemSample>& fresh = readScratch_.fresh;
    fresh.assign(again.size(), ItemSample{});
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

size_t ItemDataValueBytes(const ItemSample& sample, uint32_t timestamps, int64_t now, char* out) {
    size_t n = 0;
    auto put32 = [&](uint32_t v) {
        if constexpr (std::endian::native == std::endian::little) {
            std::memcpy(out + n, &v, 4);
            n += 4;
        } else {
            for (int i = 0; i < 4; ++i) out[n++] = static_cast<char>(v >> (8 * i));
        }
    };
    auto put64 = [&](uint64_t v) {
        put32(static_cast<uint32_t>(v));
        put32(static_cast<uint32_t>(v >> 32));
    };
    if (!sample.valid) {
        out[n++] = 0x02;
        put32(status::Bad);
        return n;
    }
    const StatusCode st = QualityToStatus(sample.quality);
    const bool source = (timestamps == TsSource || timestamps == TsBoth) && sample.sourceTime != 0;
    const bool server = timestamps == TsServer || timestamps == TsBoth;
    out[n++] =
        static_cast<char>(0x01 | (st != status::Good ? 0x02 : 0) | (source ? 0x04 : 0) | (server ? 0x08 : 0));
    out[n++] = static_cast<char>(BuiltinType::Float);
    uint32_t bits;
    std::memcpy(&bits, &sample.value, 4);
    put32(bits);
    if (st != status::Good) put32(st);
    if (source) put64(sample.sourceTime);
    if (server) put64(static_cast<uint64_t>(now));
    return n;
}

void EncodeItemDataValue(Encoder& e, const ItemSample& sample, uint32_t timestamps, int64_t now) {
    char b[kItemDataValueMaxBytes];
    e.Raw(b, ItemDataValueBytes(sample, timestamps, now, b));
}

StatusCode Engine::ReadFault(size_t operations, double maxAge, uint32_t timestamps) {
    StatusCode fault = OperationCountFault(operations, kOperationLimits.maxNodesPerRead);
    if (fault == status::Good && !(maxAge >= 0))
        fault = status::BadMaxAgeInvalid;  // also NaN
    else if (fault == status::Good && timestamps > TsNeither)
        fault = status::BadTimestampsToReturnInvalid;
    return fault;
}

void Engine::PlanRead(uint32_t timestamps, int64_t now) {
    ReadScratch& s = readScratch_;
    using Slot = ReadScratch::Slot;
    s.slots.resize(s.ops.size());
    s.handles.clear();
    s.others.clear();
    for (size_t i = 0; i < s.ops.size(); ++i) {
        const ReadOperation& v = s.ops[i];
        Slot& slot = s.slots[i];
        slot.kind = Slot::Status;
        const auto node = space_.Find(v.node);
        if (!node) {
            slot.status = status::BadNodeIdUnknown;
            continue;
        }
        if (!v.encoding.empty() && (v.attributeId != AttrValue || v.encoding != kDefaultBinaryEncoding)) {
            slot.status = v.attributeId != AttrValue ? status::BadDataEncodingInvalid
                                                     : status::BadDataEncodingUnsupported;
            continue;
        }
        if (v.hasIndexRange) {
            slot.status = status::BadIndexRangeNoData;
            continue;
        }
        if (node->item && v.attributeId == AttrValue) {
            const ItemNode& item = space_.Item(node->index);
            if (!(item.accessRights & kAccessCurrentRead)) {
                slot.status = status::BadNotReadable;
                continue;
            }
            slot.kind = Slot::Item;
            slot.index = static_cast<uint32_t>(s.handles.size());
            s.handles.push_back(item.handle);
            continue;
        }
        slot.kind = Slot::Other;
        slot.index = static_cast<uint32_t>(s.others.size());
        s.others.push_back(ReadNonItem(*node, v.attributeId, timestamps, now));
    }
}

Reply<ReadResponse> Engine::ServiceRead(ServiceContext&, const ReadRequest& r) {
    if (const StatusCode fault = ReadFault(r.nodes.size(), r.maxAge, r.timestamps))
        return ServiceFault{fault};
    const int64_t now = UaNow();
    ReadScratch& s = readScratch_;
    s.ops.clear();
    for (const ReadValueId& v : r.nodes) s.ops.push_back(OperationOf(v));
    PlanRead(r.timestamps, now);
    ReadItems(s.handles, r.maxAge, s.samples);
    ReadResponse out;
    out.results.resize(s.slots.size());
    for (size_t i = 0; i < s.slots.size(); ++i) {
        const ReadScratch::Slot& slot = s.slots[i];
        if (slot.kind == ReadScratch::Slot::Item)
            out.results[i] = MakeItemDataValue(s.samples[slot.index], r.timestamps, now);
        else if (slot.kind == ReadScratch::Slot::Other)
            out.results[i] = std::move(s.others[slot.index]);
        else
            out.results[i] = StatusOnly(slot.status);
    }
    s.ops.clear();  // they view r
    s.others.clear();
    return out;
}

void Engine::ServeRead(ServiceContext& ctx, Decoder& d) {
    ReadScratch& s = readScratch_;
    double maxAge = 0;
    uint32_t timestamps = 0;
    DecodeRead(d, maxAge, timestamps, s.ops);
    const StatusCode fault = ReadFault(s.ops.size(), maxAge, timestamps);
    CountReply(id::Read, fault);
    if (fault != status::Good) {
        SendServiceFault(ctx.channel.id, ctx.requestId, ctx.header.requestHandle, fault);
        return;
    }
    const int64_t now = UaNow();
    PlanRead(timestamps, now);
    ReadItems(s.handles, maxAge, s.samples);
    std::string& out = s.response;
    out.clear();
    out.reserve(64 + s.slots.size() * 26);
    Encoder e(out);
    EncodeResponseHeader(e, ctx.header.requestHandle, status::Good);
    e.ArrayLength(static_cast<int32_t>(s.slots.size()));
    for (const ReadScratch::Slot& slot : s.slots) {
        if (slot.kind == ReadScratch::Slot::Item) {
            EncodeItemDataValue(e, s.samples[slot.index], timestamps, now);
        } else if (slot.kind == ReadScratch::Slot::Other) {
            e.Data(s.others[slot.index]);
        } else {
            e.Byte(0x02);
            e.Status(slot.status);
        }
    }
    e.ArrayLength(0);  // diagnostic infos
    s.ops.clear();     // they view the request's bytes
    s.others.clear();
    SendResponse(ctx.channel.id, ctx.requestId, id::ResponseOf(id::Read), out, ctx.header.requestHandle);
    // A buffer grown by one huge Read is not kept for the process's life.
    if (out.capacity() > kKeptReadResponseBytes) std::string().swap(out);
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
