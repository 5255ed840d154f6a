// Golden bytes of the OPC UA binary encoding and the decoder's refusals of hostile input.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "ua/encoding/binary.h"

using namespace qora::ua;

namespace {

std::string Hex(const std::string& s) {
    static const char* d = "0123456789ABCDEF";
    std::string out;
    for (unsigned char c : s) {
        if (!out.empty()) out.push_back(' ');
        out.push_back(d[c >> 4]);
        out.push_back(d[c & 15]);
    }
    return out;
}

std::string Bytes(const std::string& hex) {
    std::string out;
    for (size_t i = 0; i < hex.size();) {
        if (hex[i] == ' ') {
            ++i;
            continue;
        }
        out.push_back(static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16)));
        i += 2;
    }
    return out;
}

Guid SampleGuid() {
    Guid g;
    g.data1 = 0x72962B91;
    g.data2 = 0xFA75;
    g.data3 = 0x4AE6;
    g.data4 = {0x8D, 0x28, 0xB4, 0x04, 0xDC, 0x7D, 0xAF, 0x63};
    return g;
}

struct Golden {
    const char* name;
    std::function<void(Encoder&)> encode;
    // Decodes and re-encodes: the bytes must come back unchanged.
    std::function<void(Decoder&, Encoder&)> roundTrip;
    const char* hex;
};

NodeId GuidNode() {
    NodeId n;
    n.ns = 4;
    n.kind = NodeId::Kind::Guid;
    n.guid = SampleGuid();
    return n;
}

NodeId OpaqueNode() {
    NodeId n;
    n.ns = 2;
    n.kind = NodeId::Kind::Opaque;
    n.text = std::string("\xDE\xAD", 2);
    return n;
}

auto NodeRT = [](Decoder& d, Encoder& e) { e.Node(d.Node()); };
auto VariantRT = [](Decoder& d, Encoder& e) { e.Value(d.Value()); };
auto DataValueRT = [](Decoder& d, Encoder& e) { e.Data(d.Data()); };
auto DiagRT = [](Decoder& d, Encoder& e) { e.Diagnostic(d.Diagnostic()); };
auto StringRT = [](Decoder& d, Encoder& e) { e.String(d.String()); };

const std::vector<Golden>& GoldenTable() {
    static const std::vector<Golden> table = {
        {"null string", [](Encoder& e) { e.String(UaString{}); }, StringRT, "FF FF FF FF"},
        {"empty string", [](Encoder& e) { e.String(std::string_view("")); }, StringRT, "00 00 00 00"},
        {"UTF-8 string",
         [](Encoder& e) {
             e.String(
                 std::string_view("\xE6\xB0\xB4"
                                  "Boy"));
         },
         StringRT, "06 00 00 00 E6 B0 B4 42 6F 79"},
        {"boolean and integers",
         [](Encoder& e) {
             e.Boolean(true);
             e.SByte(-2);
             e.Int16(-2);
             e.UInt32(0x01020304);
             e.Int64(-1);
         },
         [](Decoder& d, Encoder& e) {
             e.Boolean(d.Boolean());
             e.SByte(d.SByte());
             e.Int16(d.Int16());
             e.UInt32(d.UInt32());
             e.Int64(d.Int64());
         },
         "01 FE FE FF 04 03 02 01 FF FF FF FF FF FF FF FF"},
        {"float and double",
         [](Encoder& e) {
             e.Float(1.0f);
             e.Double(-2.0);
         },
         [](Decoder& d, Encoder& e) {
             e.Float(d.Float());
             e.Double(d.Double());
         },
         "00 00 80 3F 00 00 00 00 00 00 00 C0"},
        {"guid", [](Encoder& e) { e.GuidValue(SampleGuid()); },
         [](Decoder& d, Encoder& e) { e.GuidValue(d.GuidValue()); },
         "91 2B 96 72 75 FA E6 4A 8D 28 B4 04 DC 7D AF 63"},
        {"NodeId two-byte", [](Encoder& e) { e.Node(NodeId(0, 72)); }, NodeRT, "00 48"},
        {"NodeId four-byte", [](Encoder& e) { e.Node(NodeId(5, 1025)); }, NodeRT, "01 05 01 04"},
        {"NodeId numeric", [](Encoder& e) { e.Node(NodeId(1, 70000)); }, NodeRT, "02 01 00 70 11 01 00"},
        {"NodeId numeric above ns 255", [](Encoder& e) { e.Node(NodeId(256, 1)); }, NodeRT,
         "02 00 01 01 00 00 00"},
        {"NodeId string", [](Encoder& e) { e.Node(NodeId::String(1, "Hot\xE6\xB0\xB4")); }, NodeRT,
         "03 01 00 06 00 00 00 48 6F 74 E6 B0 B4"},
        {"NodeId guid", [](Encoder& e) { e.Node(GuidNode()); }, NodeRT,
         "04 04 00 91 2B 96 72 75 FA E6 4A 8D 28 B4 04 DC 7D AF 63"},
        {"NodeId opaque", [](Encoder& e) { e.Node(OpaqueNode()); }, NodeRT, "05 02 00 02 00 00 00 DE AD"},
        {"ExpandedNodeId with URI and server index",
         [](Encoder& e) {
             ExpandedNodeId x;
             x.nodeId = NodeId(0, 5);
             x.namespaceUri = "u";
             x.serverIndex = 2;
             e.ExpandedNode(x);
         },
         [](Decoder& d, Encoder& e) { e.ExpandedNode(d.ExpandedNode()); },
         "C0 05 01 00 00 00 75 02 00 00 00"},
        {"QualifiedName",
         [](Encoder& e) {
             e.Qualified({1, UaString("a")});
         },
         [](Decoder& d, Encoder& e) { e.Qualified(d.Qualified()); }, "01 00 01 00 00 00 61"},
        {"LocalizedText empty mask", [](Encoder& e) { e.Text(LocalizedText{}); },
         [](Decoder& d, Encoder& e) { e.Text(d.Text()); }, "00"},
        {"LocalizedText text only",
         [](Encoder& e) {
             LocalizedText t;
             t.text = UaString("x");
             e.Text(t);
         },
         [](Decoder& d, Encoder& e) { e.Text(d.Text()); }, "02 01 00 00 00 78"},
        {"LocalizedText locale and empty text",
         [](Encoder& e) {
             LocalizedText t;
             t.locale = UaString("ru");
             t.text = UaString("");
             e.Text(t);
         },
         [](Decoder& d, Encoder& e) { e.Text(d.Text()); }, "03 02 00 00 00 72 75 00 00 00 00"},
        {"ExtensionObject without body", [](Encoder& e) { e.Extension(ExtensionObject{}); },
         [](Decoder& d, Encoder& e) { e.Extension(d.Extension()); }, "00 00 00"},
        {"ExtensionObject binary body",
         [](Encoder& e) {
             e.Extension(MakeExtension(321, [](Encoder& b) { b.String(std::string_view("a")); }));
         },
         [](Decoder& d, Encoder& e) { e.Extension(d.Extension()); },
         "01 00 41 01 01 05 00 00 00 01 00 00 00 61"},
        {"Variant null", [](Encoder& e) { e.Value(Variant{}); }, VariantRT, "00"},
        {"Variant float", [](Encoder& e) { e.Value(Variant::Float(1.0f)); }, VariantRT, "0A 00 00 80 3F"},
        {"Variant null string", [](Encoder& e) { e.Value(Variant::Make(BuiltinType::String, UaString{})); },
         VariantRT, "0C FF FF FF FF"},
        {"Variant array",
         [](Encoder& e) {
             e.Value(Variant::Array(BuiltinType::Int32, {int64_t{1}, int64_t{2}}));
         },
         VariantRT, "86 02 00 00 00 01 00 00 00 02 00 00 00"},
        {"Variant empty array", [](Encoder& e) { e.Value(Variant::Array(BuiltinType::Int32, {})); },
         VariantRT, "86 00 00 00 00"},
        {"Variant null array",
         [](Encoder& e) {
             Variant v = Variant::Array(BuiltinType::String, {});
             v.arrayNull = true;
             e.Value(v);
         },
         VariantRT, "8C FF FF FF FF"},
        {"Variant array with dimensions",
         [](Encoder& e) {
             Variant v = Variant::Array(BuiltinType::Byte, {uint64_t{1}, uint64_t{2}});
             v.hasDimensions = true;
             v.dimensions = {2};
             e.Value(v);
         },
         VariantRT, "C3 02 00 00 00 01 02 01 00 00 00 02 00 00 00"},
        {"DataValue empty", [](Encoder& e) { e.Data(DataValue{}); }, DataValueRT, "00"},
        {"DataValue value status source time",
         [](Encoder& e) {
             DataValue d;
             d.hasValue = true;
             d.value = Variant::Float(2.0f);
             d.hasStatus = true;
             d.status = 0x808A0000;
             d.hasSourceTimestamp = true;
             d.sourceTimestamp = 1;
             e.Data(d);
         },
         DataValueRT, "07 0A 00 00 00 40 00 00 8A 80 01 00 00 00 00 00 00 00"},
        {"DataValue both timestamps and picoseconds",
         [](Encoder& e) {
             DataValue d;
             d.hasSourceTimestamp = true;
             d.sourceTimestamp = 2;
             d.hasSourcePicoseconds = true;
             d.sourcePicoseconds = 3;
             d.hasServerTimestamp = true;
             d.serverTimestamp = 4;
             d.hasServerPicoseconds = true;
             d.serverPicoseconds = 5;
             e.Data(d);
         },
         DataValueRT, "3C 02 00 00 00 00 00 00 00 03 00 04 00 00 00 00 00 00 00 05 00"},
        {"DiagnosticInfo empty", [](Encoder& e) { e.Diagnostic(DiagnosticInfo{}); }, DiagRT, "00"},
        {"DiagnosticInfo symbolic id, locale, localized text in wire order",
         [](Encoder& e) {
             DiagnosticInfo d;
             d.hasSymbolicId = true;
             d.symbolicId = 1;
             d.hasLocale = true;
             d.locale = 2;
             d.hasLocalizedText = true;
             d.localizedText = 3;
             e.Diagnostic(d);
         },
         DiagRT, "0D 01 00 00 00 02 00 00 00 03 00 00 00"},
        {"DiagnosticInfo inner status and inner info",
         [](Encoder& e) {
             DiagnosticInfo d;
             d.hasAdditionalInfo = true;
             d.additionalInfo = UaString("i");
             d.hasInnerStatusCode = true;
             d.innerStatusCode = 0x80000000;
             d.inner = std::make_shared<DiagnosticInfo>();
             e.Diagnostic(d);
         },
         DiagRT, "70 01 00 00 00 69 00 00 00 80 00"},
    };
    return table;
}

}  // namespace

TEST(UaBinary, EncodesEveryGoldenValueByteExact) {
    for (const Golden& g : GoldenTable()) {
        std::string out;
        Encoder e(out);
        g.encode(e);
        EXPECT_EQ(Hex(out), g.hex) << g.name;
    }
}

TEST(UaBinary, DecodesEveryGoldenValueBackToTheSameBytes) {
    for (const Golden& g : GoldenTable()) {
        const std::string in = Bytes(g.hex);
        Decoder d(in);
        std::string out;
        Encoder e(out);
        ASSERT_NO_THROW(g.roundTrip(d, e)) << g.name;
        EXPECT_EQ(d.Remaining(), 0u) << g.name;
        EXPECT_EQ(Hex(out), g.hex) << g.name;
    }
}

TEST(UaBinary, RefusesEveryTruncationOfEveryGoldenValue) {
    for (const Golden& g : GoldenTable()) {
        const std::string in = Bytes(g.hex);
        for (size_t n = 0; n < in.size(); ++n) {
            const std::string cut = in.substr(0, n);
            Decoder d(cut);
            std::string out;
            Encoder e(out);
            EXPECT_THROW(g.roundTrip(d, e), DecodeError) << g.name << " cut at " << n;
        }
    }
}

TEST(UaBinary, KeepsNullAndEmptyStringsApart) {
    const std::string nullBytes = Bytes("FF FF FF FF"), emptyBytes = Bytes("00 00 00 00");
    Decoder nullDec(nullBytes);
    EXPECT_TRUE(nullDec.String().isNull);
    Decoder emptyDec(emptyBytes);
    const UaString empty = emptyDec.String();
    EXPECT_FALSE(empty.isNull);
    EXPECT_TRUE(empty.value.empty());
    const std::string nullArrayBytes = Bytes("8C FF FF FF FF"), emptyArrayBytes = Bytes("8C 00 00 00 00");
    Decoder nullArray(nullArrayBytes);
    EXPECT_TRUE(nullArray.Value().arrayNull);
    Decoder emptyArray(emptyArrayBytes);
    const Variant v = emptyArray.Value();
    EXPECT_FALSE(v.arrayNull);
    EXPECT_TRUE(v.array.empty());
}

TEST(UaBinary, NodeKeyIsTheSameForEqualIdsWhateverTheirForm) {
    // The decoder accepts a non-shortest numeric form; the key must not depend on it.
    const std::string longForm = Bytes("02 00 00 55 00 00 00");
    Decoder d(longForm);
    EXPECT_EQ(NodeKey(d.Node()), NodeKey(NodeId(0, 85)));
    EXPECT_NE(NodeKey(NodeId(0, 85)), NodeKey(NodeId::String(0, "85")));
}

namespace {

struct Hostile {
    const char* name;
    std::string bytes;
    std::function<void(Decoder&)> decode;
    StatusCode expected;
};

std::string NestedVariants(int levels) {
    // levels - 1 Variants of type Variant around a null Variant.
    std::string s(static_cast<size_t>(levels - 1), '\x18');
    s.push_back('\0');
    return s;
}

std::string NestedDiagnostics(int levels) {
    std::string s(static_cast<size_t>(levels - 1), '\x40');
    s.push_back('\0');
    return s;
}

std::string NestedDataValues(int levels) {
    // DataValue{value: Variant(DataValue{...})}: two levels per wrapper.
    std::string s;
    for (int i = 0; i < levels; ++i) s += "\x01\x17";
    s.push_back('\0');
    return s;
}

}  // namespace

TEST(UaBinary, RefusesHostileInputWithTheRightStatus) {
    const std::vector<Hostile> table = {
        {"variant array length beyond message", Bytes("86 FF FF FF 7F 01 00 00 00"),
         [](Decoder& d) { d.Value(); }, status::BadDecodingError},
        {"string array length beyond message", Bytes("8C 00 00 10 00"), [](Decoder& d) { d.Value(); },
         status::BadDecodingError},
        {"string length beyond message", Bytes("10 00 00 00 61"), [](Decoder& d) { d.String(); },
         status::BadDecodingError},
        {"array of arrays of dimensions", Bytes("C6 00 00 00 00 FF FF FF 7F"), [](Decoder& d) { d.Value(); },
         status::BadDecodingError},
        {"variant nested 101 deep", NestedVariants(101), [](Decoder& d) { d.Value(); },
         status::BadEncodingLimitsExceeded},
        {"diagnostic info nested 101 deep", NestedDiagnostics(101), [](Decoder& d) { d.Diagnostic(); },
         status::BadEncodingLimitsExceeded},
        {"data values nested beyond 100", NestedDataValues(60), [](Decoder& d) { d.Data(); },
         status::BadEncodingLimitsExceeded},
        {"invalid variant type", Bytes("1F"), [](Decoder& d) { d.Value(); }, status::BadDecodingError},
        {"invalid NodeId encoding", Bytes("06 00"), [](Decoder& d) { d.Node(); }, status::BadDecodingError},
        {"NodeId with expanded flags", Bytes("80 00 00 00 00 00"), [](Decoder& d) { d.Node(); },
         status::BadDecodingError},
        {"ExtensionObject encoding 3", Bytes("00 00 03"), [](Decoder& d) { d.Extension(); },
         status::BadDecodingError},
        {"null variant with array flag", Bytes("80 00 00 00 00"), [](Decoder& d) { d.Value(); },
         status::BadDecodingError},
    };
    for (const Hostile& h : table) {
        Decoder d(h.bytes);
        try {
            h.decode(d);
            ADD_FAILURE() << h.name << ": accepted";
        } catch (const DecodeError& e) {
            EXPECT_EQ(e.status(), h.expected) << h.name;
        }
    }
}

TEST(UaBinary, AcceptsNestingOfExactlyOneHundred) {
    const std::string variants = NestedVariants(100), diagnostics = NestedDiagnostics(100);
    Decoder v(variants);
    EXPECT_NO_THROW(v.Value());
    Decoder g(diagnostics);
    EXPECT_NO_THROW(g.Diagnostic());
}

TEST(UaBinary, ChargesDecodedArraysToTheMessageBudget) {
    // 16 384 booleans fit in the bytes but not in a budget of 1000 bytes of memory.
    std::string s = Bytes("81 00 40 00 00");
    s.append(16384, '\x01');
    Decoder d(s, 1000);
    try {
        d.Value();
        ADD_FAILURE() << "accepted";
    } catch (const DecodeError& e) {
        EXPECT_EQ(e.status(), status::BadEncodingLimitsExceeded);
    }
}
