// The tree of points, devices and items: browse references both ways, NodeIds that round-trip
// and never collide with item IDs, browse-path translation by names, diagnostics counters read
// through the backend, and the server's diagnostics summary.
#include <gtest/gtest.h>

#include <set>

#include "tests/unit/ua/ua_fakes.h"
#include "ua/engine/engine.h"

using namespace qora::ua;
using namespace qora::ua::testing;

namespace {

using Kind = PlacementNode::Kind;

ItemInfo Placed(uint32_t handle, int32_t point, int32_t device, const std::string& pointName,
                const std::string& deviceName, const std::string& param) {
    ItemInfo i(handle, pointName + "." + deviceName + "." + param);
    i.point = point;
    i.device = device;
    i.pointName = pointName;
    i.deviceName = deviceName;
    return i;
}

// Two points (configuration positions 0 and 3), three devices, items with Cyrillic names, a
// duplicate parameter and a name with dots and slashes, plus one item without placement.
std::vector<ItemInfo> SampleItems() {
    const std::string p0 = "Адаптер_1(COM1)", p3 = "Линия.2/x(ttyS3)";
    const std::string d0 = "Устройство(T №5)", d1 = "Котёл(K №7)", d2 = "Point:0(T №1)";
    return {
        Placed(1, 0, 0, p0, d0, "Температура"),  Placed(2, 0, 0, p0, d0, "Давление"),
        Placed(3, 0, 0, p0, d0, "Давление"),  // duplicate: NodeId "...#2"
        Placed(4, 0, 2, p0, d1, "T.1/a b"),      Placed(5, 3, 1, p3, d2, "Расход"),
        ItemInfo(6, "Point:0/Device:0(T №1).x"),  // without placement; reads like a NodeId prefix
    };
}

std::vector<ReferenceDescription> Refs(const AddressSpace& s, NodeRef n) {
    std::vector<ReferenceDescription> out;
    for (size_t i = 0; i < s.ReferenceCount(n); ++i) out.push_back(s.ReferenceAt(n, i));
    return out;
}

std::vector<std::string> ForwardNames(const AddressSpace& s, NodeRef n, uint32_t refType) {
    std::vector<std::string> out;
    for (const auto& r : Refs(s, n))
        if (r.isForward && r.referenceType == refType) out.push_back(s.BrowseNameOf(r.target).name.value);
    return out;
}

NodeRef Must(const AddressSpace& s, const std::string& text) {
    auto n = s.Find(NodeId::String(kItemNamespace, text));
    EXPECT_TRUE(n.has_value()) << text;
    return n.value_or(NodeRef{});
}

Variant Attr(const AddressSpace& s, NodeRef n, uint32_t attribute) {
    Variant v;
    EXPECT_EQ(s.ReadAttribute(n, attribute, v), status::Good) << attribute;
    return v;
}

std::string Bytes(const Variant& v) {
    return std::get<ExtensionObject>(v.scalar).body;
}

TEST(AddressTree, ItemsWithAUnitAreAnalogItemsWithEngineeringUnitsAndRangeMadeOnDemand) {
    AddressSpace s;
    auto items = SampleItems();
    items[0].metadata = 1;  // °C, 0..150
    items[1].metadata = 2;  // a range only
    items[4].metadata = 3;  // a unit without a code
    s.Build(items, {{"\u00B0C", true, 0, 150}, {"", true, -1, 1}, {"furlong", false, 0, 0}});
    s.SetItemSamplingInterval(1000);
    const NodeRef t = Must(s, items[0].itemId);
    EXPECT_EQ(s.TypeDefinitionOf(t), NodeId(0, 2368u));
    EXPECT_EQ(s.TypeDefinitionOf(Must(s, items[1].itemId)), NodeId(0, id::BaseDataVariableType));
    EXPECT_EQ(std::get<double>(Attr(s, t, AttrMinimumSamplingInterval).scalar), 1000.0);
    EXPECT_EQ(ForwardNames(s, t, id::HasProperty), (std::vector<std::string>{"EngineeringUnits", "EURange"}));
    EXPECT_EQ(ForwardNames(s, Must(s, items[1].itemId), id::HasProperty),
              (std::vector<std::string>{"EURange"}));
    EXPECT_FALSE(s.Find(NodeId::String(1, items[1].itemId + "/EngineeringUnits")).has_value());
    EXPECT_FALSE(s.Find(NodeId::String(1, items[2].itemId + "#2/EURange")).has_value());

    const NodeRef eu = Must(s, items[0].itemId + "/EngineeringUnits");
    EXPECT_EQ(s.IdOf(eu), NodeId::String(1, items[0].itemId + "/EngineeringUnits"));
    EXPECT_EQ(s.ClassOf(eu), NodeClass::Variable);
    EXPECT_EQ(s.TypeDefinitionOf(eu), NodeId(0, id::PropertyType));
    EXPECT_EQ(std::get<NodeId>(Attr(s, eu, AttrDataType).scalar), NodeId(0, 887u));
    const Variant euValue = Attr(s, eu, AttrValue);
    EXPECT_EQ(std::get<ExtensionObject>(euValue.scalar).typeId, NodeId(0, 889u));
    const std::string uri = "http://www.opcfoundation.org/UA/units/un/cefact";
    std::string want = std::string("\x2F\0\0\0", 4) + uri + std::string("\x4C\x45\x43\x00", 4);  // 0x0043454C
    const std::string text = std::string("\x02\x03\0\0\0", 5) + "\u00B0C";  // LocalizedText, text only
    EXPECT_EQ(Bytes(euValue), want + text + text);
    std::vector<ReferenceDescription> back = Refs(s, eu);
    ASSERT_EQ(back.size(), 2u);
    EXPECT_EQ(back[1].referenceType, id::HasProperty);
    EXPECT_FALSE(back[1].isForward);
    EXPECT_EQ(back[1].target, t);

    const NodeRef range = Must(s, items[0].itemId + "/EURange");
    EXPECT_EQ(std::get<NodeId>(Attr(s, range, AttrDataType).scalar), NodeId(0, 884u));
    const double bounds[2] = {0, 150};
    EXPECT_EQ(Bytes(Attr(s, range, AttrValue)), std::string(reinterpret_cast<const char*>(bounds), 16));

    EXPECT_EQ(
        Bytes(Attr(s, Must(s, items[4].itemId + "/EngineeringUnits"), AttrValue)).substr(4 + uri.size(), 4),
        std::string("\xFF\xFF\xFF\xFF", 4));
    for (const auto& [unit, id] : std::vector<std::pair<std::string, int32_t>>{
             {"%", 0x5031}, {"m\u00B3/h", 0x4D5148}, {"bar", 0x424152}, {"furlong", -1}})
        EXPECT_EQ(UnitIdOf(unit), id) << unit;
}

TEST(AddressTree, ObjectsOrganizesPointsAndLooseItemsOnly) {
    AddressSpace s;
    s.Build(SampleItems());
    const auto organized = ForwardNames(s, NodeRef::Standard(id::ObjectsFolder), id::Organizes);
    EXPECT_EQ(organized, (std::vector<std::string>{"Server", "Адаптер_1(COM1)", "Линия.2/x(ttyS3)",
                                                   "Point:0/Device:0(T №1).x"}));
    EXPECT_TRUE(Must(s, "Point:0/Device:0(T №1).x").item);
    EXPECT_TRUE(Must(s, "Point:0/Device:0").IsPlaced());
}

// Item IDs always carry " №", point and device NodeIds never do; should an item's ID still read
// exactly like one, the item keeps its NodeId (clients configured with it go on working).
TEST(AddressTree, AnItemIdThatEqualsAPointNodeIdStaysTheItems) {
    AddressSpace s;
    s.Build({Placed(1, 0, 0, "P", "D", "x"), ItemInfo(2, "Point:0")});
    EXPECT_TRUE(Must(s, "Point:0").item);
    EXPECT_TRUE(Must(s, "Point:0/Device:0").IsPlaced());
}

TEST(AddressTree, PointsDevicesAndItemsWithTheirReferencesBothWays) {
    AddressSpace s;
    s.Build(SampleItems());
    const NodeRef point = Must(s, "Point:3");
    ASSERT_TRUE(point.IsPlaced());
    EXPECT_EQ(s.ClassOf(point), NodeClass::Object);
    EXPECT_EQ(s.TypeDefinitionOf(point), NodeId(0, id::FolderType));
    EXPECT_EQ(ForwardNames(s, point, id::Organizes), (std::vector<std::string>{"Point:0(T №1)"}));
    EXPECT_EQ(ForwardNames(s, point, id::HasComponent), (std::vector<std::string>{"Diagnostics"}));

    const NodeRef dev = Must(s, "Point:0/Device:0");
    EXPECT_EQ(s.DisplayNameOf(dev).text.value, "Устройство(T №5)");
    EXPECT_EQ(ForwardNames(s, dev, id::HasComponent),
              (std::vector<std::string>{"Diagnostics", "Температура", "Давление", "Давление"}));
    // Device positions need not be dense: device 2 of point 0 exists, device 1 does not.
    EXPECT_TRUE(s.Find(NodeId::String(1, "Point:0/Device:2")).has_value());
    EXPECT_FALSE(s.Find(NodeId::String(1, "Point:0/Device:1")).has_value());

    // Every forward hierarchical reference has its inverse on the target, and every NodeId
    // round-trips through Find.
    std::vector<NodeRef> todo{NodeRef::Standard(id::ObjectsFolder)};
    std::set<std::string> seen;
    while (!todo.empty()) {
        const NodeRef n = todo.back();
        todo.pop_back();
        for (const auto& r : Refs(s, n)) {
            if (!r.isForward || r.referenceType == id::HasTypeDefinition) continue;
            if (!r.target.item && !r.target.IsPlaced()) continue;  // namespace 0 below Objects
            const NodeId target = s.IdOf(r.target);
            ASSERT_EQ(s.Find(target), r.target) << target.text;
            bool inverse = false;
            for (const auto& back : Refs(s, r.target))
                inverse |= !back.isForward && back.target == n && back.referenceType == r.referenceType;
            EXPECT_TRUE(inverse) << target.text;
            if (seen.insert(target.text).second) todo.push_back(r.target);
        }
    }
    // 2 points + 3 devices + 5 diagnostics objects + 2×10 + 3×6 counters + 6 items.
    EXPECT_EQ(seen.size(), 2u + 3u + 5u + 20u + 18u + 6u);
}

TEST(AddressTree, ItemsKeepTheirNodeIdsAndTakeTheParameterAsBrowseName) {
    AddressSpace s;
    const auto items = SampleItems();
    s.Build(items);
    const NodeRef dup = Must(s, items[2].itemId + "#2");
    EXPECT_EQ(s.Item(dup.index).handle, 3u);
    EXPECT_EQ(s.BrowseNameOf(dup), (QualifiedName{1, UaString("Давление")}));
    EXPECT_EQ(s.DisplayNameOf(dup).text.value, "Давление");
    EXPECT_EQ(std::get<LocalizedText>(Attr(s, dup, AttrDescription).scalar).text.value,
              "Давление of device Устройство(T №5) on point Адаптер_1(COM1)");
    EXPECT_EQ(s.BrowseNameOf(Must(s, items[3].itemId)).name.value, "T.1/a b");
    for (const ItemInfo& i : items) {
        if (i.handle == 3) continue;
        EXPECT_EQ(s.Item(Must(s, i.itemId).index).handle, i.handle) << i.itemId;
    }
    // An item whose ID does not start with its device's names keeps its whole ID as browse name.
    std::vector<ItemInfo> odd{Placed(9, 1, 1, "P", "D", "x")};
    odd[0].itemId = "other";
    s.Build(odd);
    EXPECT_EQ(s.BrowseNameOf(Must(s, "other")).name.value, "other");
    EXPECT_EQ(ForwardNames(s, Must(s, "Point:1/Device:1"), id::HasComponent),
              (std::vector<std::string>{"Diagnostics", "other"}));
}

TEST(AddressTree, DevicesWhoseItemsAreInterleavedStillListTheirOwnItems) {
    AddressSpace s;
    s.Build({Placed(1, 0, 0, "P", "A", "x"), Placed(2, 0, 1, "P", "B", "y"), Placed(3, 0, 0, "P", "A", "z")});
    EXPECT_EQ(ForwardNames(s, Must(s, "Point:0/Device:0"), id::HasComponent),
              (std::vector<std::string>{"Diagnostics", "x", "z"}));
    EXPECT_EQ(ForwardNames(s, Must(s, "Point:0/Device:1"), id::HasComponent),
              (std::vector<std::string>{"Diagnostics", "y"}));
}

TEST(AddressTree, PlacementNodeIdsAreCanonical) {
    AddressSpace s;
    s.Build(SampleItems());
    const struct {
        const char* text;
        bool found;
    } cases[] = {
        {"Point:3", true},
        {"Point:03", false},
        {"Point:+3", false},
        {"Point:3/", false},
        {"Point:1", false},
        {"Point:3/Device:1/Diagnostics", true},
        {"Point:3/Device:1/Diagnostics/", false},
        {"Point:3/Device:1/Diagnostics/ConsecutiveUnanswered", true},
        {"Point:3/Device:1/Diagnostics/PortOpen", false},  // a point's counter, not a device's
        {"Point:3/Diagnostics/PortOpen", true},
        {"Point:3/Diagnostics/LastOpenError", true},
        {"Point:3/Diagnostics/GoodReplies", false},
        {"Point:99999999999/Device:0", false},
        {"point:3", false},
    };
    for (const auto& c : cases) {
        const auto n = s.Find(NodeId::String(1, c.text));
        EXPECT_EQ(n.has_value(), c.found) << c.text;
        if (n) {
            EXPECT_EQ(s.IdOf(*n).text, c.text);
        }
    }
}

TEST(AddressTree, WithoutPlacementItemsHangUnderObjects) {
    AddressSpace s;
    s.Build({ItemInfo(1, "a"), ItemInfo(2, "b")});
    EXPECT_EQ(ForwardNames(s, NodeRef::Standard(id::ObjectsFolder), id::Organizes),
              (std::vector<std::string>{"Server", "a", "b"}));
    const auto back = Refs(s, Must(s, "b"));
    ASSERT_EQ(back.size(), 2u);
    EXPECT_EQ(back[1].target, NodeRef::Standard(id::ObjectsFolder));
    EXPECT_FALSE(back[1].isForward);
}

class PlacedBackend : public FakeBackend {
  public:
    bool ReadPointDiagnostics(int32_t point, PointDiagnostics& out) override {
        if (point != 0) return false;
        out = pointDiag;
        return true;
    }
    bool ReadDeviceDiagnostics(int32_t point, int32_t device, DeviceDiagnostics& out) override {
        if (point != 0 || device != 2) return false;
        out = deviceDiag;
        return true;
    }
    PointDiagnostics pointDiag;
    DeviceDiagnostics deviceDiag;
};

class TreeServices : public ::testing::Test {
  protected:
    void SetUp() override {
        backend.items = SampleItems();
        backend.samples.assign(backend.items.size(), ItemSample{1.0f, 192, 1, true});
        engine = std::make_unique<Engine>(backend, config, transport);
        engine->Build();
        ASSERT_TRUE(engine->Accept(1, 0));
        channel = engine->FindConnection(1);
        ServiceContext ctx{*channel, nullptr, 7, header, 0, {}};
        auto created = engine->ServiceCreateSession(ctx, CreateSessionRequest{"", "t", 60000, {}, {}, {}});
        ASSERT_FALSE(created.IsFault());
        header.authenticationToken = created.body.authenticationToken;
        ServiceContext act{*channel, nullptr, 7, header, 0, {}};
        ASSERT_FALSE(engine->ServiceActivateSession(act, ActivateSessionRequest{}).IsFault());
        session = engine->FindSession(header.authenticationToken);
    }
    ServiceContext Ctx() { return ServiceContext{*channel, session, 7, header, 0, {}}; }
    DataValue ReadValue(const NodeId& n) {
        ReadRequest r;
        r.nodes.resize(1);
        r.nodes[0].node = n;
        r.nodes[0].attributeId = AttrValue;
        r.maxAge = 1e9;
        ServiceContext ctx = Ctx();
        auto reply = engine->ServiceRead(ctx, r);
        EXPECT_FALSE(reply.IsFault());
        return reply.body.results.at(0);
    }
    BrowsePathResult Translate(std::vector<std::string> names, NodeId start = NodeId(0, id::ObjectsFolder)) {
        TranslateRequest r;
        r.paths.resize(1);
        r.paths[0].start = start;
        for (auto& n : names) {
            RelativePathElement e;
            e.referenceType = NodeId(0, id::HierarchicalReferences);
            e.targetName = {1, UaString(n)};
            r.paths[0].elements.push_back(e);
        }
        ServiceContext ctx = Ctx();
        return engine->ServiceTranslate(ctx, r).body.results.at(0);
    }

    PlacedBackend backend;
    ServerConfig config;
    FakeTransport transport;
    std::unique_ptr<Engine> engine;
    Connection* channel = nullptr;
    Session* session = nullptr;
    RequestHeader header;
};

TEST_F(TreeServices, TranslateFindsItemsByPointDeviceAndParameterNames) {
    const auto items = SampleItems();
    auto one = Translate({"Адаптер_1(COM1)", "Котёл(K №7)", "T.1/a b"});
    ASSERT_EQ(one.status, status::Good);
    EXPECT_EQ(one.targets, (std::vector<NodeId>{NodeId::String(1, items[3].itemId)}));
    // Both items named "Давление" under the device are targets.
    auto two = Translate({"Адаптер_1(COM1)", "Устройство(T №5)", "Давление"});
    ASSERT_EQ(two.status, status::Good);
    EXPECT_EQ(two.targets, (std::vector<NodeId>{NodeId::String(1, items[1].itemId),
                                                NodeId::String(1, items[2].itemId + "#2")}));
    auto diag = Translate({"Линия.2/x(ttyS3)", "Point:0(T №1)", "Diagnostics", "LastReplyTimeMs"});
    ASSERT_EQ(diag.status, status::Good);
    EXPECT_EQ(diag.targets,
              (std::vector<NodeId>{NodeId::String(1, "Point:3/Device:1/Diagnostics/LastReplyTimeMs")}));
    EXPECT_EQ(Translate({"Адаптер_1(COM1)", "Давление"}).status, status::BadNoMatch);
    // The item's browse name is in namespace 1: the namespace 0 name does not match.
    TranslateRequest r;
    r.paths.resize(1);
    r.paths[0].start = NodeId::String(1, "Point:0/Device:0");
    r.paths[0].elements.push_back({NodeId(), false, true, {0, UaString("Температура")}});
    ServiceContext ctx = Ctx();
    EXPECT_EQ(engine->ServiceTranslate(ctx, r).body.results.at(0).status, status::BadNoMatch);
}

TEST_F(TreeServices, CountersAreReadFromTheBackendAtEachRead) {
    backend.pointDiag.portOpen = true;
    backend.pointDiag.framesDroppedOnChecksum = 5;
    backend.pointDiag.lastOpenError = "нет порта";
    backend.deviceDiag.consecutiveUnanswered = 4;
    backend.deviceDiag.lastGoodReply = 133000000000000000ull;
    backend.deviceDiag.requestsSent = (1ull << 40) + 3;

    const struct {
        const char* node;
        BuiltinType type;
        uint64_t value;  // for numbers and booleans
    } cases[] = {
        {"Point:0/Diagnostics/PortOpen", BuiltinType::Boolean, 1},
        {"Point:0/Diagnostics/FramesDroppedOnChecksum", BuiltinType::UInt64, 5},
        {"Point:0/Device:2/Diagnostics/ConsecutiveUnanswered", BuiltinType::UInt32, 4},
        {"Point:0/Device:2/Diagnostics/RequestsSent", BuiltinType::UInt64, (1ull << 40) + 3},
        {"Point:0/Device:2/Diagnostics/LastGoodReply", BuiltinType::DateTime, 133000000000000000ull},
    };
    for (const auto& c : cases) {
        const DataValue dv = ReadValue(NodeId::String(1, c.node));
        ASSERT_TRUE(dv.hasValue) << c.node;
        EXPECT_EQ(dv.value.type, c.type) << c.node;
        const VariantScalar& v = dv.value.scalar;
        if (c.type == BuiltinType::Boolean)
            EXPECT_EQ(std::get<bool>(v), c.value != 0) << c.node;
        else if (c.type == BuiltinType::DateTime)
            EXPECT_EQ(static_cast<uint64_t>(std::get<int64_t>(v)), c.value) << c.node;
        else
            EXPECT_EQ(std::get<uint64_t>(v), c.value) << c.node;
    }
    const DataValue err = ReadValue(NodeId::String(1, "Point:0/Diagnostics/LastOpenError"));
    EXPECT_EQ(std::get<UaString>(err.value.scalar).value, "нет порта");

    backend.deviceDiag.consecutiveUnanswered = 5;
    EXPECT_EQ(
        std::get<uint64_t>(
            ReadValue(NodeId::String(1, "Point:0/Device:2/Diagnostics/ConsecutiveUnanswered")).value.scalar),
        5u);
    // A device the backend has no counters for: a bad status, no value.
    const DataValue none = ReadValue(NodeId::String(1, "Point:0/Device:0/Diagnostics/GoodReplies"));
    EXPECT_FALSE(none.hasValue);
    EXPECT_TRUE(IsBad(none.status));
}

TEST_F(TreeServices, ServerDiagnosticsSummaryCountsSessionsRejectionsAndSubscriptions) {
    // A second CreateSession over the limit is refused while the first is activated on a live
    // channel; a request without a session is refused.
    config.maxSessions = 1;
    engine = std::make_unique<Engine>(backend, config, transport);
    engine->Build();
    Millis now = 0;
    EngineClient client{*engine, transport, 2, now, {}, {}};
    ASSERT_TRUE(client.Connect());
    EXPECT_EQ(client.CreateSession(), status::Good);
    EXPECT_EQ(client.Activate(), status::Good);
    const NodeId activated = client.codec.authenticationToken;
    EXPECT_EQ(client.CreateSession(), status::BadTooManySessions);
    client.codec.authenticationToken = activated;
    client.codec.authenticationToken = NodeId(0, 12345);
    client.Call(id::Read, [](Encoder& e) {
        e.Double(0);
        e.UInt32(0);
        e.ArrayLength(0);
    });
    const ServerCounters& k = engine->Counters();
    EXPECT_EQ(k.cumulatedSessions, 1u);
    EXPECT_EQ(k.rejectedSessions, 1u);
    EXPECT_EQ(k.rejectedRequests, 2u);
    EXPECT_EQ(k.securityRejectedRequests, 1u);  // the unknown session

    const Variant summary = engine->DynamicValue(id::ServerDiagnosticsSummary);
    ASSERT_EQ(summary.type, BuiltinType::ExtensionObject);
    const auto& ext = std::get<ExtensionObject>(summary.scalar);
    EXPECT_EQ(ext.typeId, NodeId(0, id::ServerDiagnosticsSummaryEncoding));
    ASSERT_EQ(ext.body.size(), 12u * 4);
    auto field = [&](size_t i) {
        uint32_t v = 0;
        for (int b = 0; b < 4; ++b) v |= uint32_t(uint8_t(ext.body[i * 4 + b])) << (8 * b);
        return v;
    };
    EXPECT_EQ(field(1), 1u);   // current sessions
    EXPECT_EQ(field(2), 1u);   // cumulated
    EXPECT_EQ(field(4), 1u);   // rejected sessions
    EXPECT_EQ(field(11), 2u);  // rejected requests
    EXPECT_EQ(std::get<uint64_t>(engine->DynamicValue(id::RejectedRequestsCount).scalar), 2u);
}

TEST_F(TreeServices, ServiceLevelFollowsTheLinesAndTheShutdown) {
    backend.pointDiag.portOpen = true;
    // Point 3 reports nothing; point 0 is open: every line that reports is open.
    EXPECT_EQ(std::get<uint64_t>(engine->DynamicValue(id::ServiceLevel).scalar), 255u);
    backend.pointDiag.portOpen = false;
    EXPECT_EQ(std::get<uint64_t>(engine->DynamicValue(id::ServiceLevel).scalar), 1u);
    EXPECT_EQ(ServiceLevelOf(false, 4, 2), 199);
    EXPECT_EQ(ServiceLevelOf(true, 4, 4), 0);
    engine->BeginShutdown("x", 0);
    EXPECT_EQ(std::get<uint64_t>(engine->DynamicValue(id::ServiceLevel).scalar), 0u);
}

}  // namespace
