#include "ua/encoding/binary.h"

#include <cstring>

namespace qora::ua {

namespace {

// Smallest encoded size of one element of each built-in type: lets the decoder refuse an array
// length that the remaining bytes cannot hold before it allocates anything.
size_t MinEncodedSize(BuiltinType t) {
    switch (t) {
        case BuiltinType::Boolean:
        case BuiltinType::SByte:
        case BuiltinType::Byte:
            return 1;
        case BuiltinType::Int16:
        case BuiltinType::UInt16:
            return 2;
        case BuiltinType::Int32:
        case BuiltinType::UInt32:
        case BuiltinType::Float:
        case BuiltinType::Status:
        case BuiltinType::String:
        case BuiltinType::ByteString:
        case BuiltinType::XmlElement:
            return 4;
        case BuiltinType::Int64:
        case BuiltinType::UInt64:
        case BuiltinType::Double:
        case BuiltinType::DateTime:
            return 8;
        case BuiltinType::Guid:
            return 16;
        case BuiltinType::NodeId:
        case BuiltinType::ExpandedNodeId:
            return 2;
        case BuiltinType::QualifiedName:
            return 6;
        case BuiltinType::ExtensionObject:
            return 3;
        default:
            return 1;
    }
}

constexpr uint8_t kNsUriFlag = 0x80;
constexpr uint8_t kServerIndexFlag = 0x40;

}  // namespace

// ---------------------------------------------------------------- Encoder

void Encoder::UInt16(uint16_t v) {
    char b[2] = {static_cast<char>(v), static_cast<char>(v >> 8)};
    out_.append(b, 2);
}

void Encoder::UInt32(uint32_t v) {
    char b[4] = {static_cast<char>(v), static_cast<char>(v >> 8), static_cast<char>(v >> 16),
                 static_cast<char>(v >> 24)};
    out_.append(b, 4);
}

void Encoder::UInt64(uint64_t v) {
    UInt32(static_cast<uint32_t>(v));
    UInt32(static_cast<uint32_t>(v >> 32));
}

void Encoder::Float(float v) {
    uint32_t u;
    std::memcpy(&u, &v, 4);
    UInt32(u);
}

void Encoder::Double(double v) {
    uint64_t u;
    std::memcpy(&u, &v, 8);
    UInt64(u);
}

void Encoder::String(std::string_view s) {
    Int32(static_cast<int32_t>(s.size()));
    out_.append(s.data(), s.size());
}

void Encoder::PatchUInt32(size_t pos, uint32_t v) {
    out_[pos] = static_cast<char>(v);
    out_[pos + 1] = static_cast<char>(v >> 8);
    out_[pos + 2] = static_cast<char>(v >> 16);
    out_[pos + 3] = static_cast<char>(v >> 24);
}

void Encoder::GuidValue(const Guid& g) {
    UInt32(g.data1);
    UInt16(g.data2);
    UInt16(g.data3);
    Raw(g.data4.data(), 8);
}

static void EncodeNodeBody(Encoder& e, const NodeId& n, uint8_t flags) {
    switch (n.kind) {
        case NodeId::Kind::Numeric:
            if (n.ns == 0 && n.numeric <= 0xFF) {
                e.Byte(0x00 | flags);
                e.Byte(static_cast<uint8_t>(n.numeric));
            } else if (n.ns <= 0xFF && n.numeric <= 0xFFFF) {
                e.Byte(0x01 | flags);
                e.Byte(static_cast<uint8_t>(n.ns));
                e.UInt16(static_cast<uint16_t>(n.numeric));
            } else {
                e.Byte(0x02 | flags);
                e.UInt16(n.ns);
                e.UInt32(n.numeric);
            }
            break;
        case NodeId::Kind::String:
            e.Byte(0x03 | flags);
            e.UInt16(n.ns);
            e.String(std::string_view(n.text));
            break;
        case NodeId::Kind::Guid:
            e.Byte(0x04 | flags);
            e.UInt16(n.ns);
            e.GuidValue(n.guid);
            break;
        case NodeId::Kind::Opaque:
            e.Byte(0x05 | flags);
            e.UInt16(n.ns);
            e.String(std::string_view(n.text));
            break;
    }
}

void Encoder::Node(const NodeId& n) {
    EncodeNodeBody(*this, n, 0);
}

void Encoder::ExpandedNode(const ExpandedNodeId& n) {
    uint8_t flags = 0;
    if (!n.namespaceUri.empty()) flags |= kNsUriFlag;
    if (n.serverIndex != 0) flags |= kServerIndexFlag;
    EncodeNodeBody(*this, n.nodeId, flags);
    if (flags & kNsUriFlag) String(std::string_view(n.namespaceUri));
    if (flags & kServerIndexFlag) UInt32(n.serverIndex);
}

void Encoder::Qualified(const QualifiedName& q) {
    UInt16(q.ns);
    String(q.name);
}

void Encoder::Text(const LocalizedText& t) {
    uint8_t mask = (t.locale.isNull ? 0 : 0x01) | (t.text.isNull ? 0 : 0x02);
    Byte(mask);
    if (mask & 0x01) String(t.locale);
    if (mask & 0x02) String(t.text);
}

void Encoder::Extension(const ExtensionObject& e) {
    Node(e.typeId);
    Byte(e.encoding);
    if (e.encoding != 0) String(std::string_view(e.body));
}

void Encoder::Scalar(BuiltinType t, const VariantScalar& s) {
    auto i64 = [&] { return std::holds_alternative<int64_t>(s) ? std::get<int64_t>(s) : int64_t{0}; };
    auto u64 = [&] { return std::holds_alternative<uint64_t>(s) ? std::get<uint64_t>(s) : uint64_t{0}; };
    switch (t) {
        case BuiltinType::Null:
            break;
        case BuiltinType::Boolean:
            Boolean(std::holds_alternative<bool>(s) && std::get<bool>(s));
            break;
        case BuiltinType::SByte:
            SByte(static_cast<int8_t>(i64()));
            break;
        case BuiltinType::Byte:
            Byte(static_cast<uint8_t>(u64()));
            break;
        case BuiltinType::Int16:
            Int16(static_cast<int16_t>(i64()));
            break;
        case BuiltinType::UInt16:
            UInt16(static_cast<uint16_t>(u64()));
            break;
        case BuiltinType::Int32:
            Int32(static_cast<int32_t>(i64()));
            break;
        case BuiltinType::UInt32:
        case BuiltinType::Status:
            UInt32(static_cast<uint32_t>(u64()));
            break;
        case BuiltinType::Int64:
        case BuiltinType::DateTime:
            Int64(i64());
            break;
        case BuiltinType::UInt64:
            UInt64(u64());
            break;
        case BuiltinType::Float:
            Float(std::holds_alternative<float>(s) ? std::get<float>(s) : 0.0f);
            break;
        case BuiltinType::Double:
            Double(std::holds_alternative<double>(s) ? std::get<double>(s) : 0.0);
            break;
        case BuiltinType::String:
        case BuiltinType::ByteString:
        case BuiltinType::XmlElement:
            if (std::holds_alternative<UaString>(s))
                String(std::get<UaString>(s));
            else
                NullString();
            break;
        case BuiltinType::Guid:
            GuidValue(std::holds_alternative<Guid>(s) ? std::get<Guid>(s) : Guid{});
            break;
        case BuiltinType::NodeId:
            Node(std::holds_alternative<NodeId>(s) ? std::get<NodeId>(s) : NodeId{});
            break;
        case BuiltinType::ExpandedNodeId:
            ExpandedNode(std::holds_alternative<ExpandedNodeId>(s) ? std::get<ExpandedNodeId>(s)
                                                                   : ExpandedNodeId{});
            break;
        case BuiltinType::QualifiedName:
            Qualified(std::holds_alternative<QualifiedName>(s) ? std::get<QualifiedName>(s)
                                                               : QualifiedName{});
            break;
        case BuiltinType::LocalizedText:
            Text(std::holds_alternative<LocalizedText>(s) ? std::get<LocalizedText>(s) : LocalizedText{});
            break;
        case BuiltinType::ExtensionObject:
            Extension(std::holds_alternative<ExtensionObject>(s) ? std::get<ExtensionObject>(s)
                                                                 : ExtensionObject{});
            break;
        case BuiltinType::DataValue: {
            auto* p = std::get_if<std::shared_ptr<DataValue>>(&s);
            Data(p && *p ? **p : DataValue{});
            break;
        }
        case BuiltinType::Variant: {
            auto* p = std::get_if<std::shared_ptr<Variant>>(&s);
            Value(p && *p ? **p : Variant{});
            break;
        }
        case BuiltinType::DiagnosticInfo: {
            auto* p = std::get_if<std::shared_ptr<DiagnosticInfo>>(&s);
            Diagnostic(p && *p ? **p : DiagnosticInfo{});
            break;
        }
    }
}

void Encoder::Value(const Variant& v) {
    if (v.type == BuiltinType::Null) {
        Byte(0);
        return;
    }
    uint8_t mask = static_cast<uint8_t>(v.type);
    if (v.isArray) {
        mask |= 0x80;
        if (v.hasDimensions) mask |= 0x40;
    }
    Byte(mask);
    if (!v.isArray) {
        Scalar(v.type, v.scalar);
        return;
    }
    if (v.arrayNull) {
        Int32(-1);
    } else {
        Int32(static_cast<int32_t>(v.array.size()));
        for (const auto& e : v.array) Scalar(v.type, e);
    }
    if (v.hasDimensions) {
        Int32(static_cast<int32_t>(v.dimensions.size()));
        for (int32_t d : v.dimensions) Int32(d);
    }
}

void Encoder::Data(const DataValue& d) {
    uint8_t mask = (d.hasValue ? 0x01 : 0) | (d.hasStatus ? 0x02 : 0) | (d.hasSourceTimestamp ? 0x04 : 0) |
                   (d.hasServerTimestamp ? 0x08 : 0) | (d.hasSourcePicoseconds ? 0x10 : 0) |
                   (d.hasServerPicoseconds ? 0x20 : 0);
    Byte(mask);
    if (d.hasValue) Value(d.value);
    if (d.hasStatus) Status(d.status);
    if (d.hasSourceTimestamp) DateTime(d.sourceTimestamp);
    if (d.hasSourcePicoseconds) UInt16(d.sourcePicoseconds);
    if (d.hasServerTimestamp) DateTime(d.serverTimestamp);
    if (d.hasServerPicoseconds) UInt16(d.serverPicoseconds);
}

void Encoder::Diagnostic(const DiagnosticInfo& d) {
    uint8_t mask = (d.hasSymbolicId ? 0x01 : 0) | (d.hasNamespaceUri ? 0x02 : 0) |
                   (d.hasLocalizedText ? 0x04 : 0) | (d.hasLocale ? 0x08 : 0) |
                   (d.hasAdditionalInfo ? 0x10 : 0) | (d.hasInnerStatusCode ? 0x20 : 0) |
                   (d.inner ? 0x40 : 0);
    Byte(mask);
    if (d.hasSymbolicId) Int32(d.symbolicId);
    if (d.hasNamespaceUri) Int32(d.namespaceUri);
    if (d.hasLocale) Int32(d.locale);
    if (d.hasLocalizedText) Int32(d.localizedText);
    if (d.hasAdditionalInfo) String(d.additionalInfo);
    if (d.hasInnerStatusCode) Status(d.innerStatusCode);
    if (d.inner) Diagnostic(*d.inner);
}

// ---------------------------------------------------------------- Decoder

void Decoder::Charge(size_t bytes) {
    if (bytes > budget_)
        throw DecodeError(status::BadEncodingLimitsExceeded, "memory budget of the message exceeded");
    budget_ -= bytes;
}

void Decoder::Skip(size_t n) {
    Need(n);
    pos_ += n;
}

void Decoder::Truncated() {
    throw DecodeError(status::BadDecodingError, "truncated");
}

float Decoder::Float() {
    uint32_t u = UInt32();
    float f;
    std::memcpy(&f, &u, 4);
    return f;
}

double Decoder::Double() {
    uint64_t u = UInt64();
    double d;
    std::memcpy(&d, &u, 8);
    return d;
}

UaString Decoder::String() {
    int32_t len = Int32();
    if (len < 0) return UaString{};  // null (any negative length counts as null)
    Need(static_cast<size_t>(len));
    Charge(static_cast<size_t>(len));
    UaString s(std::string(reinterpret_cast<const char*>(p_ + pos_), static_cast<size_t>(len)));
    pos_ += static_cast<size_t>(len);
    return s;
}

std::string_view Decoder::StringView(bool* isNull) {
    const int32_t len = Int32();
    if (isNull) *isNull = len < 0;
    if (len < 0) return {};
    Need(static_cast<size_t>(len));
    const std::string_view s(reinterpret_cast<const char*>(p_ + pos_), static_cast<size_t>(len));
    pos_ += static_cast<size_t>(len);
    return s;
}

Guid Decoder::GuidValue() {
    Guid g;
    g.data1 = UInt32();
    g.data2 = UInt16();
    g.data3 = UInt16();
    Need(8);
    std::memcpy(g.data4.data(), p_ + pos_, 8);
    pos_ += 8;
    return g;
}

static NodeId DecodeNodeBody(Decoder& d, uint8_t kind) {
    NodeId n;
    switch (kind) {
        case 0x00:
            n.numeric = d.Byte();
            break;
        case 0x01:
            n.ns = d.Byte();
            n.numeric = d.UInt16();
            break;
        case 0x02:
            n.ns = d.UInt16();
            n.numeric = d.UInt32();
            break;
        case 0x03:
            n.ns = d.UInt16();
            n.kind = NodeId::Kind::String;
            n.text = d.StringValue();
            break;
        case 0x04:
            n.ns = d.UInt16();
            n.kind = NodeId::Kind::Guid;
            n.guid = d.GuidValue();
            break;
        case 0x05:
            n.ns = d.UInt16();
            n.kind = NodeId::Kind::Opaque;
            n.text = d.StringValue();
            break;
        default:
            throw DecodeError(status::BadDecodingError, "invalid NodeId encoding");
    }
    return n;
}

NodeId Decoder::Node() {
    uint8_t b = Byte();
    if (b & (kNsUriFlag | kServerIndexFlag))
        throw DecodeError(status::BadDecodingError, "NodeId with expanded flags");
    return DecodeNodeBody(*this, b);
}

NodeIdView Decoder::NodeView() {
    const uint8_t b = Byte();
    NodeIdView n;
    switch (b) {
        case 0x00:
            n.numeric = Byte();
            break;
        case 0x01:
            n.ns = Byte();
            n.numeric = UInt16();
            break;
        case 0x02:
            n.ns = UInt16();
            n.numeric = UInt32();
            break;
        case 0x03:
        case 0x05:
            n.ns = UInt16();
            n.kind = b == 0x03 ? NodeId::Kind::String : NodeId::Kind::Opaque;
            n.text = StringView();
            break;
        case 0x04:
            n.ns = UInt16();
            n.kind = NodeId::Kind::Guid;
            n.guid = GuidValue();
            break;
        default:
            throw DecodeError(status::BadDecodingError, b & (kNsUriFlag | kServerIndexFlag)
                                                            ? "NodeId with expanded flags"
                                                            : "invalid NodeId encoding");
    }
    return n;
}

ExpandedNodeId Decoder::ExpandedNode() {
    uint8_t b = Byte();
    ExpandedNodeId e;
    e.nodeId = DecodeNodeBody(*this, b & 0x3F);
    if (b & kNsUriFlag) e.namespaceUri = StringValue();
    if (b & kServerIndexFlag) e.serverIndex = UInt32();
    return e;
}

QualifiedName Decoder::Qualified() {
    QualifiedName q;
    q.ns = UInt16();
    q.name = String();
    return q;
}

LocalizedText Decoder::Text() {
    uint8_t mask = Byte();
    LocalizedText t;
    if (mask & 0x01) t.locale = String();
    if (mask & 0x02) t.text = String();
    return t;
}

ExtensionObject Decoder::Extension() {
    DepthGuard guard(*this);
    ExtensionObject e;
    e.typeId = Node();
    e.encoding = Byte();
    if (e.encoding > 2) throw DecodeError(status::BadDecodingError, "invalid ExtensionObject encoding");
    if (e.encoding != 0) e.body = StringValue();
    return e;
}

VariantScalar Decoder::Scalar(BuiltinType t) {
    switch (t) {
        case BuiltinType::Boolean:
            return Boolean();
        case BuiltinType::SByte:
            return int64_t{SByte()};
        case BuiltinType::Byte:
            return uint64_t{Byte()};
        case BuiltinType::Int16:
            return int64_t{Int16()};
        case BuiltinType::UInt16:
            return uint64_t{UInt16()};
        case BuiltinType::Int32:
            return int64_t{Int32()};
        case BuiltinType::UInt32:
        case BuiltinType::Status:
            return uint64_t{UInt32()};
        case BuiltinType::Int64:
        case BuiltinType::DateTime:
            return Int64();
        case BuiltinType::UInt64:
            return UInt64();
        case BuiltinType::Float:
            return Float();
        case BuiltinType::Double:
            return Double();
        case BuiltinType::String:
        case BuiltinType::ByteString:
        case BuiltinType::XmlElement:
            return String();
        case BuiltinType::Guid:
            return GuidValue();
        case BuiltinType::NodeId:
            return Node();
        case BuiltinType::ExpandedNodeId:
            return ExpandedNode();
        case BuiltinType::QualifiedName:
            return Qualified();
        case BuiltinType::LocalizedText:
            return Text();
        case BuiltinType::ExtensionObject:
            return Extension();
        case BuiltinType::DataValue: {
            Charge(sizeof(DataValue));
            return std::make_shared<DataValue>(Data());
        }
        case BuiltinType::Variant: {
            Charge(sizeof(Variant));
            return std::make_shared<Variant>(Value());
        }
        case BuiltinType::DiagnosticInfo: {
            Charge(sizeof(DiagnosticInfo));
            return std::make_shared<DiagnosticInfo>(Diagnostic());
        }
        default:
            throw DecodeError(status::BadDecodingError, "invalid Variant type");
    }
}

Variant Decoder::Value() {
    DepthGuard guard(*this);
    uint8_t mask = Byte();
    uint8_t typeId = mask & 0x3F;
    if (typeId > static_cast<uint8_t>(BuiltinType::DiagnosticInfo))
        throw DecodeError(status::BadDecodingError, "invalid Variant type");
    Variant v;
    v.type = static_cast<BuiltinType>(typeId);
    if (v.type == BuiltinType::Null) {
        if (mask & 0xC0) throw DecodeError(status::BadDecodingError, "null Variant with array flags");
        return v;
    }
    if (!(mask & 0x80)) {
        if (mask & 0x40) throw DecodeError(status::BadDecodingError, "dimensions without array");
        v.scalar = Scalar(v.type);
        return v;
    }
    v.isArray = true;
    // A Variant array element cannot itself be a Variant array, but a Variant of type Variant can
    // nest: DepthGuard above bounds that recursion.
    int32_t n = ArrayLength(MinEncodedSize(v.type), sizeof(VariantScalar));
    if (n < 0) {
        v.arrayNull = true;
    } else {
        v.array.reserve(static_cast<size_t>(n));
        for (int32_t i = 0; i < n; ++i) v.array.push_back(Scalar(v.type));
    }
    if (mask & 0x40) {
        v.hasDimensions = true;
        int32_t nd = ArrayLength(4, sizeof(int32_t));
        if (nd > 0) {
            v.dimensions.reserve(static_cast<size_t>(nd));
            for (int32_t i = 0; i < nd; ++i) v.dimensions.push_back(Int32());
        }
    }
    return v;
}

DataValue Decoder::Data() {
    DepthGuard guard(*this);
    uint8_t mask = Byte();
    DataValue d;
    if (mask & 0x01) {
        d.hasValue = true;
        d.value = Value();
    }
    if (mask & 0x02) {
        d.hasStatus = true;
        d.status = Status();
    }
    if (mask & 0x04) {
        d.hasSourceTimestamp = true;
        d.sourceTimestamp = DateTime();
    }
    if (mask & 0x10) {
        d.hasSourcePicoseconds = true;
        d.sourcePicoseconds = UInt16();
    }
    if (mask & 0x08) {
        d.hasServerTimestamp = true;
        d.serverTimestamp = DateTime();
    }
    if (mask & 0x20) {
        d.hasServerPicoseconds = true;
        d.serverPicoseconds = UInt16();
    }
    return d;
}

DiagnosticInfo Decoder::Diagnostic() {
    DepthGuard guard(*this);
    uint8_t mask = Byte();
    DiagnosticInfo d;
    if (mask & 0x01) {
        d.hasSymbolicId = true;
        d.symbolicId = Int32();
    }
    if (mask & 0x02) {
        d.hasNamespaceUri = true;
        d.namespaceUri = Int32();
    }
    if (mask & 0x08) {
        d.hasLocale = true;
        d.locale = Int32();
    }
    if (mask & 0x04) {
        d.hasLocalizedText = true;
        d.localizedText = Int32();
    }
    if (mask & 0x10) {
        d.hasAdditionalInfo = true;
        d.additionalInfo = String();
    }
    if (mask & 0x20) {
        d.hasInnerStatusCode = true;
        d.innerStatusCode = Status();
    }
    if (mask & 0x40) {
        Charge(sizeof(DiagnosticInfo));
        d.inner = std::make_shared<DiagnosticInfo>(Diagnostic());
    }
    return d;
}

int32_t Decoder::ArrayLength(size_t minElementSize, size_t memoryPerElement) {
    int32_t n = Int32();
    if (n < 0) return -1;
    size_t count = static_cast<size_t>(n);
    if (minElementSize == 0) minElementSize = 1;
    if (count > Remaining() / minElementSize)
        throw DecodeError(status::BadDecodingError, "array length beyond the message");
    Charge(count * memoryPerElement);
    return n;
}

std::string NodeKey(const NodeId& n) {
    std::string k;
    NodeKeyInto(n, k);
    return k;
}

void NodeKeyInto(const NodeId& n, std::string& out) {
    out.clear();
    Encoder e(out);
    e.Node(n);
}

}  // namespace qora::ua
