// libFuzzer target over the decoder. Selector byte 0..7: one built-in type decoded, re-encoded
// and decoded again (the second encoding must equal the first). Selector 8 + i: the rest is the
// body of service i after a valid request header, processed on an activated session.
#include <cstddef>
#include <cstdint>
#include <string>

#include "tests/fuzz/ua_fuzz_common.h"
#include "tests/unit/ua/ua_fakes.h"
#include "ua/engine/engine.h"

using namespace qora::ua;

namespace {

template <typename Decode, typename Encode>
void RoundTrip(const uint8_t* data, size_t size, Decode decode, Encode encode) {
    std::string first;
    try {
        Decoder d(data, size);
        auto v = decode(d);
        Encoder e(first);
        encode(e, v);
    } catch (const DecodeError&) {
        return;
    }
    // What we encoded must decode, and encode to the same bytes.
    std::string second;
    try {
        Decoder d(first);
        auto v = decode(d);
        Encoder e(second);
        encode(e, v);
    } catch (const DecodeError&) {
        __builtin_trap();
    }
    if (first != second) __builtin_trap();
}

void DecodeType(uint8_t selector, const uint8_t* data, size_t size) {
    switch (selector) {
        case 0:
            RoundTrip(
                data, size, [](Decoder& d) { return d.Value(); },
                [](Encoder& e, const Variant& v) { e.Value(v); });
            break;
        case 1:
            RoundTrip(
                data, size, [](Decoder& d) { return d.Data(); },
                [](Encoder& e, const DataValue& v) { e.Data(v); });
            break;
        case 2:
            RoundTrip(
                data, size, [](Decoder& d) { return d.Diagnostic(); },
                [](Encoder& e, const DiagnosticInfo& v) { e.Diagnostic(v); });
            break;
        case 3:
            RoundTrip(
                data, size, [](Decoder& d) { return d.Extension(); },
                [](Encoder& e, const ExtensionObject& v) { e.Extension(v); });
            break;
        case 4:
            RoundTrip(
                data, size, [](Decoder& d) { return d.Node(); },
                [](Encoder& e, const NodeId& v) { e.Node(v); });
            break;
        case 5:
            RoundTrip(
                data, size, [](Decoder& d) { return d.ExpandedNode(); },
                [](Encoder& e, const ExpandedNodeId& v) { e.ExpandedNode(v); });
            break;
        case 6:
            RoundTrip(
                data, size, [](Decoder& d) { return d.Text(); },
                [](Encoder& e, const LocalizedText& v) { e.Text(v); });
            break;
        default:
            RoundTrip(
                data, size, [](Decoder& d) { return d.Qualified(); },
                [](Encoder& e, const QualifiedName& v) { e.Qualified(v); });
            break;
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) return 0;
    const uint8_t selector = data[0];
    if (selector < fuzz::kFirstServiceSelector) {
        DecodeType(selector, data + 1, size - 1);
        return 0;
    }
    const uint32_t service = fuzz::kServices[(selector - fuzz::kFirstServiceSelector) % fuzz::kServiceCount];
    testing::FakeBackend backend;
    for (int i = 0; i < 20; ++i) backend.AddItem("item" + std::to_string(i), static_cast<float>(i));
    ServerConfig config;
    config.randomSeed = 1;
    config.memoryBudgetBytes = 64ull << 20;
    testing::FakeTransport transport;
    Engine engine(backend, config, transport);
    engine.Build();
    Millis now = 1000;
    testing::EngineClient client{engine, transport, 1, now, {}, {}};
    if (!client.OpenSession()) __builtin_trap();
    // A subscription with one item, so subscription services have something to act on.
    client.Call(id::CreateSubscription, [](Encoder& e) {
        e.Double(100);
        e.UInt32(30);
        e.UInt32(3);
        e.UInt32(0);
        e.Boolean(true);
        e.Byte(0);
    });
    std::string body;
    Encoder e(body);
    e.Node(NodeId(0, service));
    client.codec.Header(e);
    body.append(reinterpret_cast<const char*>(data + 1), size - 1);
    Connection* c = engine.FindConnection(1);
    if (!c) __builtin_trap();
    engine.ProcessRequest(*c, 99, body, now);
    for (int i = 0; i < 4; ++i) {
        now += 150;
        engine.Tick(now);
    }
    transport.out.clear();
    engine.CloseEverything();
    return 0;
}
