// OPC UA binary encoding: an appending encoder and a bounds-checked decoder for hostile input.
#pragma once

#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "ua/encoding/types.h"

namespace qora::ua {

// Nesting of Variant, ExtensionObject, DataValue and DiagnosticInfo: decoders must support at
// least 100 levels, and more is refused so a crafted message cannot exhaust the stack.
inline constexpr int kMaxNestingDepth = 100;

// Thrown by the decoder; carries BadDecodingError or BadEncodingLimitsExceeded.
class DecodeError : public std::runtime_error {
  public:
    explicit DecodeError(StatusCode code, const char* what = "decoding error")
        : std::runtime_error(what), status_(code) {}
    StatusCode status() const { return status_; }

  private:
    StatusCode status_;
};

class Encoder {
  public:
    explicit Encoder(std::string& out) : out_(out) {}

    void Boolean(bool v) { Byte(v ? 1 : 0); }
    void Byte(uint8_t v) { out_.push_back(static_cast<char>(v)); }
    void SByte(int8_t v) { Byte(static_cast<uint8_t>(v)); }
    void UInt16(uint16_t v);
    void Int16(int16_t v) { UInt16(static_cast<uint16_t>(v)); }
    void UInt32(uint32_t v);
    void Int32(int32_t v) { UInt32(static_cast<uint32_t>(v)); }
    void UInt64(uint64_t v);
    void Int64(int64_t v) { UInt64(static_cast<uint64_t>(v)); }
    void Float(float v);
    void Double(double v);
    void DateTime(int64_t v) { Int64(v); }
    void Status(StatusCode v) { UInt32(v); }
    void String(std::string_view s);
    void NullString() { Int32(-1); }
    void String(const UaString& s) {
        if (s.isNull)
            NullString();
        else
            String(std::string_view(s.value));
    }
    void ByteString(std::string_view s) { String(s); }
    void GuidValue(const Guid& g);
    void Node(const NodeId& n);
    void ExpandedNode(const ExpandedNodeId& n);
    void Qualified(const QualifiedName& q);
    void Text(const LocalizedText& t);
    void Extension(const ExtensionObject& e);
    void Value(const Variant& v);
    void Data(const DataValue& d);
    void Diagnostic(const DiagnosticInfo& d);
    // Array length prefix; -1 encodes a null array.
    void ArrayLength(int32_t n) { Int32(n); }
    void Raw(const void* p, size_t n) { out_.append(static_cast<const char*>(p), n); }

    size_t Size() const { return out_.size(); }
    std::string& Out() { return out_; }
    // Overwrites 4 bytes at pos (message sizes written after the body).
    void PatchUInt32(size_t pos, uint32_t v);

  private:
    void Scalar(BuiltinType t, const VariantScalar& s);
    std::string& out_;
};

class Decoder {
  public:
    // budget: bytes the decoded structures may allocate in memory (bounds what an attacker can
    // make the server allocate per message, whatever the array lengths claim).
    Decoder(const uint8_t* data, size_t size, size_t budget = 0)
        : p_(data), n_(size), budget_(budget ? budget : 32 * size + (1u << 20)) {}
    explicit Decoder(std::string_view s, size_t budget = 0)
        : Decoder(reinterpret_cast<const uint8_t*>(s.data()), s.size(), budget) {}
    explicit Decoder(const std::string& s, size_t budget = 0) : Decoder(std::string_view(s), budget) {}
    // The decoder views the bytes: a temporary would leave it dangling.
    Decoder(std::string&&, size_t = 0) = delete;

    bool Boolean() { return Byte() != 0; }
    uint8_t Byte() {
        Need(1);
        return p_[pos_++];
    }
    int8_t SByte() { return static_cast<int8_t>(Byte()); }
    uint16_t UInt16() {
        Need(2);
        const auto v = static_cast<uint16_t>(p_[pos_] | (p_[pos_ + 1] << 8));
        pos_ += 2;
        return v;
    }
    int16_t Int16() { return static_cast<int16_t>(UInt16()); }
    uint32_t UInt32() {
        Need(4);
        const uint32_t v = static_cast<uint32_t>(p_[pos_]) | (static_cast<uint32_t>(p_[pos_ + 1]) << 8) |
                           (static_cast<uint32_t>(p_[pos_ + 2]) << 16) |
                           (static_cast<uint32_t>(p_[pos_ + 3]) << 24);
        pos_ += 4;
        return v;
    }
    int32_t Int32() { return static_cast<int32_t>(UInt32()); }
    uint64_t UInt64() {
        const uint64_t lo = UInt32();
        return lo | (static_cast<uint64_t>(UInt32()) << 32);
    }
    int64_t Int64() { return static_cast<int64_t>(UInt64()); }
    float Float();
    double Double();
    int64_t DateTime() { return Int64(); }
    StatusCode Status() { return UInt32(); }
    UaString String();
    std::string StringValue() { return String().value; }
    UaString ByteString() { return String(); }
    // A String viewed in the decoded bytes (valid while they are); null gives an empty view and
    // sets *isNull. Nothing is allocated, so nothing is charged to the budget.
    std::string_view StringView(bool* isNull = nullptr);
    Guid GuidValue();
    NodeId Node();
    // A NodeId whose text (String and Opaque kinds) views the decoded bytes.
    NodeIdView NodeView();
    ExpandedNodeId ExpandedNode();
    QualifiedName Qualified();
    LocalizedText Text();
    ExtensionObject Extension();
    Variant Value();
    DataValue Data();
    DiagnosticInfo Diagnostic();
    // Array length: -1 (null) is returned as -1; the length is checked against the bytes that
    // remain (each element takes at least minElementSize bytes) and charged to the budget.
    int32_t ArrayLength(size_t minElementSize, size_t memoryPerElement);
    // Count of an array that may be null (treated as empty).
    size_t ArrayCount(size_t minElementSize, size_t memoryPerElement) {
        int32_t n = ArrayLength(minElementSize, memoryPerElement);
        return n < 0 ? 0 : static_cast<size_t>(n);
    }
    void Skip(size_t n);

    size_t Remaining() const { return n_ - pos_; }
    const uint8_t* Current() const { return p_ + pos_; }
    void Charge(size_t bytes);

  private:
    void Need(size_t n) const {
        if (n > n_ - pos_) [[unlikely]]
            Truncated();
    }
    [[noreturn]] static void Truncated();
    VariantScalar Scalar(BuiltinType t);
    struct DepthGuard {
        explicit DepthGuard(Decoder& d) : dec(d) {
            if (++dec.depth_ > kMaxNestingDepth)
                throw DecodeError(status::BadEncodingLimitsExceeded, "nesting too deep");
        }
        ~DepthGuard() { --dec.depth_; }
        Decoder& dec;
    };

    const uint8_t* p_;
    size_t n_;
    size_t pos_ = 0;
    int depth_ = 0;
    size_t budget_;
};

// Binary form of a NodeId: a unique key for maps (numeric ids always take their shortest form).
std::string NodeKey(const NodeId& n);
// The same key written into out (replacing what it held), for lookups that keep their buffer.
void NodeKeyInto(const NodeId& n, std::string& out);

// Body of an ExtensionObject from an encoder callback.
template <typename F>
ExtensionObject MakeExtension(uint32_t encodingId, F&& write) {
    ExtensionObject e;
    e.typeId = NodeId(0, encodingId);
    e.encoding = 1;
    Encoder enc(e.body);
    write(enc);
    return e;
}

}  // namespace qora::ua
