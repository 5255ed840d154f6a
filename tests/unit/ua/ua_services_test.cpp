// The service handlers called directly with typed requests, without bytes: per-operation
// statuses, operation limits, continuation points, subscription bookkeeping; and the service
// table itself.
#include <gtest/gtest.h>

#include <deque>
#include <set>

#include "tests/unit/ua/ua_fakes.h"
#include "ua/engine/engine.h"

using namespace qora::ua;
using namespace qora::ua::testing;

namespace {

NodeId Item(const std::string& s) {
    return NodeId::String(kItemNamespace, s);
}

BrowseDescription BrowseOf(const NodeId& node) {
    BrowseDescription b;
    b.node = node;
    return b;
}

class ServicesTest : public ::testing::Test {
  protected:
    void SetUp() override {
        for (int i = 0; i < 30; ++i) backend.AddItem("item" + std::to_string(i), static_cast<float>(i));
        engine = std::make_unique<Engine>(backend, config, transport);
        engine->Build();
        ASSERT_TRUE(engine->Accept(kConn, now));
        channel = engine->FindConnection(kConn);
        // A session through the session services themselves.
        ServiceContext ctx = Context(nullptr);
        auto created = engine->ServiceCreateSession(ctx, CreateSessionRequest{"", "test", 60000, {}, {}, {}});
        ASSERT_FALSE(created.IsFault());
        header.authenticationToken = created.body.authenticationToken;
        ServiceContext activate = Context(nullptr);
        ASSERT_FALSE(engine->ServiceActivateSession(activate, ActivateSessionRequest{}).IsFault());
        session = engine->FindSession(header.authenticationToken);
        ASSERT_NE(session, nullptr);
        ASSERT_TRUE(session->activated);
    }
    ServiceContext Context(Session* s) { return ServiceContext{*channel, s, 7, header, now, {}}; }
    ServiceContext Context() { return Context(session); }

    uint32_t CreateSubscription() {
        ServiceContext ctx = Context();
        CreateSubscriptionRequest r;
        r.params.publishingInterval = 100;
        auto reply = engine->ServiceCreateSubscription(ctx, r);
        EXPECT_FALSE(reply.IsFault());
        return reply.body.subscriptionId;
    }

    static constexpr uint64_t kConn = 1;
    FakeBackend backend;
    ServerConfig config;
    FakeTransport transport;
    std::unique_ptr<Engine> engine;
    Connection* channel = nullptr;
    Session* session = nullptr;
    RequestHeader header;
    Millis now = 100000;
};

TEST(ServiceTable, EveryRequestIdHasOneRowAndOnlySessionServicesGoWithout) {
    std::set<uint32_t> ids;
    const std::set<uint32_t> withoutSession = {id::GetEndpoints, id::FindServers, id::CreateSession,
                                               id::ActivateSession, id::CloseSession};
    for (const ServiceEntry& s : Engine::ServiceTable()) {
        EXPECT_TRUE(ids.insert(s.requestTypeId).second) << s.name;
        EXPECT_NE(s.run, nullptr) << s.name;
        EXPECT_EQ(s.needsSession, !withoutSession.count(s.requestTypeId)) << s.name;
    }
    EXPECT_EQ(ids.size(), 24u);
}

TEST_F(ServicesTest, ReadGivesEachUnknownNodeItsOwnStatusAndReadsTheOthers) {
    ServiceContext ctx = Context();
    ReadRequest r;
    r.timestamps = TsBoth;
    r.nodes = {{Item("item3"), AttrValue, {}, {}},
               {Item("nope"), AttrValue, {}, {}},
               {NodeId(0, id::Server), AttrBrowseName, {}, {}},
               {Item("item4"), AttrValue, UaString("1:2"), {}}};
    auto reply = engine->ServiceRead(ctx, r);
    ASSERT_FALSE(reply.IsFault());
    ASSERT_EQ(reply.body.results.size(), 4u);
    EXPECT_TRUE(reply.body.results[0].hasValue);
    EXPECT_EQ(std::get<float>(reply.body.results[0].value.scalar), 3.0f);
    EXPECT_TRUE(reply.body.results[0].hasSourceTimestamp);
    EXPECT_EQ(reply.body.results[1].status, status::BadNodeIdUnknown);
    EXPECT_FALSE(reply.body.results[1].hasValue);
    EXPECT_TRUE(reply.body.results[2].hasValue);
    EXPECT_EQ(reply.body.results[3].status, status::BadIndexRangeNoData);
}

TEST_F(ServicesTest, ArrayLimitsAreTheOperationLimitsTheServerPublishes) {
    ServiceContext ctx = Context();
    // The OperationLimits nodes read back the numbers the services enforce.
    for (const OperationLimitNode& node : kOperationLimitNodes) {
        const Variant v = engine->DynamicValue(node.nodeId);
        EXPECT_EQ(std::get<uint64_t>(v.scalar), node.value) << node.nodeId;
    }
    ReadRequest read;
    read.nodes.assign(kOperationLimits.maxNodesPerRead, {Item("item0"), AttrValue, {}, {}});
    EXPECT_FALSE(engine->ServiceRead(ctx, read).IsFault());
    read.nodes.push_back(read.nodes.back());
    EXPECT_EQ(engine->ServiceRead(ctx, read).fault, status::BadTooManyOperations);
    read.nodes.clear();
    EXPECT_EQ(engine->ServiceRead(ctx, read).fault, status::BadNothingToDo);

    BrowseRequest browse;
    browse.nodes.assign(kOperationLimits.maxNodesPerBrowse + 1, BrowseOf(NodeId(0, id::ObjectsFolder)));
    EXPECT_EQ(engine->ServiceBrowse(ctx, browse).fault, status::BadTooManyOperations);
    browse.view = NodeId(0, 1234);  // the view is checked before the count
    EXPECT_EQ(engine->ServiceBrowse(ctx, browse).fault, status::BadViewIdUnknown);

    TranslateRequest translate;
    translate.paths.resize(kOperationLimits.maxNodesPerTranslate + 1);
    EXPECT_EQ(engine->ServiceTranslate(ctx, translate).fault, status::BadTooManyOperations);

    NodesRequest reg;
    reg.nodes.assign(kOperationLimits.maxNodesPerRegisterNodes + 1, Item("item0"));
    EXPECT_EQ(engine->ServiceRegisterNodes(ctx, reg).fault, status::BadTooManyOperations);
    EXPECT_EQ(engine->ServiceUnregisterNodes(ctx, reg).fault, status::BadTooManyOperations);

    WriteRequest write;
    write.nodes.assign(kOperationLimits.maxNodesPerWrite + 1, WriteValue{Item("item0"), AttrValue});
    EXPECT_EQ(engine->ServiceWrite(ctx, write).fault, status::BadTooManyOperations);
    EXPECT_EQ(backend.calls["Write"], 0);  // a refused Write reaches nobody
}

TEST_F(ServicesTest, WriteAnswersPerNodeAndTellsTheToolkitOfItemValuesOnly) {
    ServiceContext ctx = Context();
    WriteRequest r;
    r.nodes = {{Item("item2"), AttrValue},
               {Item("nope"), AttrValue},
               {Item("item2"), 99},
               {Item("item2"), AttrDisplayName}};
    auto reply = engine->ServiceWrite(ctx, r);
    ASSERT_FALSE(reply.IsFault());
    EXPECT_EQ(reply.body.results,
              (std::vector<StatusCode>{status::BadNotWritable, status::BadNodeIdUnknown,
                                       status::BadAttributeIdInvalid, status::BadNotWritable}));
    EXPECT_EQ(backend.written, (std::vector<uint32_t>{102}));
}

TEST_F(ServicesTest, BrowseHandsOutContinuationPointsThatBrowseNextFollowsToTheEnd) {
    ServiceContext ctx = Context();
    BrowseRequest r;
    r.requestedMaxReferencesPerNode = 7;
    BrowseDescription objects;
    objects.node = NodeId(0, id::ObjectsFolder);
    objects.direction = BrowseForward;
    objects.resultMask = 0x3F;
    r.nodes = {objects};
    auto first = engine->ServiceBrowse(ctx, r);
    ASSERT_FALSE(first.IsFault());
    ASSERT_EQ(first.body.results.size(), 1u);
    EXPECT_EQ(first.body.results[0].references.size(), 7u);
    ASSERT_FALSE(first.body.results[0].continuationPoint.isNull);

    std::set<std::string> names;
    for (const auto& ref : first.body.results[0].references) names.insert(ref.browseName.name.value);
    std::string cp = first.body.results[0].continuationPoint.value;
    int pages = 1;
    while (!cp.empty()) {
        auto next = engine->ServiceBrowseNext(ctx, BrowseNextRequest{false, {cp}});
        ASSERT_FALSE(next.IsFault());
        ASSERT_EQ(next.body.results[0].status, status::Good);
        for (const auto& ref : next.body.results[0].references) names.insert(ref.browseName.name.value);
        cp =
            next.body.results[0].continuationPoint.isNull ? "" : next.body.results[0].continuationPoint.value;
        ++pages;
        ASSERT_LT(pages, 100);
    }
    for (int i = 0; i < 30; ++i) EXPECT_TRUE(names.count("item" + std::to_string(i))) << i;
    EXPECT_TRUE(session->continuationPoints.empty());
    // A used continuation point is gone.
    auto stale = engine->ServiceBrowseNext(
        ctx, BrowseNextRequest{false, {first.body.results[0].continuationPoint.value}});
    EXPECT_EQ(stale.body.results[0].status, status::BadContinuationPointInvalid);
    EXPECT_EQ(engine->ServiceBrowseNext(ctx, BrowseNextRequest{}).fault, status::BadNothingToDo);
}

TEST_F(ServicesTest, BrowseRunsOutOfContinuationPointsPerSessionAndReleaseFreesThem) {
    ServiceContext ctx = Context();
    BrowseRequest r;
    r.requestedMaxReferencesPerNode = 1;
    r.nodes.assign(kMaxContinuationPoints + 1, BrowseOf(NodeId(0, id::ObjectsFolder)));
    auto reply = engine->ServiceBrowse(ctx, r);
    ASSERT_FALSE(reply.IsFault());
    std::vector<std::string> cps;
    for (size_t i = 0; i < kMaxContinuationPoints; ++i) {
        EXPECT_EQ(reply.body.results[i].status, status::Good);
        cps.push_back(reply.body.results[i].continuationPoint.value);
    }
    EXPECT_EQ(reply.body.results.back().status, status::BadNoContinuationPoints);
    auto released = engine->ServiceBrowseNext(ctx, BrowseNextRequest{true, cps});
    for (const BrowseResult& b : released.body.results) {
        EXPECT_EQ(b.status, status::Good);
        EXPECT_TRUE(b.references.empty());
        EXPECT_TRUE(b.continuationPoint.isNull);
    }
    EXPECT_TRUE(session->continuationPoints.empty());
}

TEST_F(ServicesTest, IdListServicesRefuseAnEmptyListAndAnswerEachIdOtherwise) {
    ServiceContext ctx = Context();
    const uint32_t sub = CreateSubscription();
    EXPECT_EQ(engine->ServiceSetPublishingMode(ctx, SetPublishingModeRequest{false, {}}).fault,
              status::BadNothingToDo);
    auto mode = engine->ServiceSetPublishingMode(ctx, SetPublishingModeRequest{false, {sub, sub + 1000}});
    EXPECT_EQ(mode.body.results, (std::vector<StatusCode>{status::Good, status::BadSubscriptionIdInvalid}));
    EXPECT_FALSE(session->FindSubscription(sub)->publishingEnabled);

    CreateMonitoredItemsRequest create;
    create.subscriptionId = sub;
    create.items.resize(2);
    create.items[0].node = Item("item1");
    create.items[0].attributeId = AttrValue;
    create.items[0].mode = 2;
    create.items[1].node = Item("missing");
    create.items[1].attributeId = AttrValue;
    auto created = engine->ServiceCreateMonitoredItems(ctx, create);
    ASSERT_FALSE(created.IsFault());
    EXPECT_EQ(created.body.results[0].status, status::Good);
    EXPECT_EQ(created.body.results[1].status, status::BadNodeIdUnknown);
    EXPECT_EQ(backend.active, 1);
    const uint32_t item = created.body.results[0].monitoredItemId;

    EXPECT_EQ(engine->ServiceSetMonitoringMode(ctx, SetMonitoringModeRequest{sub, 0, {}}).fault,
              status::BadNothingToDo);
    EXPECT_EQ(engine->ServiceSetMonitoringMode(ctx, SetMonitoringModeRequest{sub, 3, {item}}).fault,
              status::BadMonitoringModeInvalid);
    auto disabled = engine->ServiceSetMonitoringMode(ctx, SetMonitoringModeRequest{sub, 0, {item, 999}});
    EXPECT_EQ(disabled.body.results,
              (std::vector<StatusCode>{status::Good, status::BadMonitoredItemIdInvalid}));
    EXPECT_EQ(backend.active, 0);

    EXPECT_EQ(engine->ServiceDeleteMonitoredItems(ctx, DeleteMonitoredItemsRequest{sub + 1000, {item}}).fault,
              status::BadSubscriptionIdInvalid);
    auto deleted = engine->ServiceDeleteMonitoredItems(ctx, DeleteMonitoredItemsRequest{sub, {999, item}});
    EXPECT_EQ(deleted.body.results,
              (std::vector<StatusCode>{status::BadMonitoredItemIdInvalid, status::Good}));
    EXPECT_EQ(engine->MonitoredItemCount(), 0u);

    EXPECT_EQ(engine->ServiceDeleteSubscriptions(ctx, DeleteSubscriptionsRequest{}).fault,
              status::BadNothingToDo);
    auto gone = engine->ServiceDeleteSubscriptions(ctx, DeleteSubscriptionsRequest{{sub, sub}});
    EXPECT_EQ(gone.body.results, (std::vector<StatusCode>{status::Good, status::BadSubscriptionIdInvalid}));
    EXPECT_EQ(engine->SubscriptionCount(), 0u);
}

TEST_F(ServicesTest, PublishIsDeferredAndAcknowledgementsAreAnsweredPerSubscription) {
    ServiceContext ctx = Context();
    EXPECT_EQ(engine->ServicePublish(ctx, PublishRequest{}).fault, status::BadNoSubscription);
    const uint32_t sub = CreateSubscription();
    auto reply = engine->ServicePublish(ctx, PublishRequest{{{sub, 5}, {sub + 1000, 1}}});
    EXPECT_TRUE(reply.deferred);
    ASSERT_EQ(session->publishQueue.size(), 1u);
    EXPECT_EQ(session->publishQueue.front().ackResults,
              (std::vector<StatusCode>{status::BadSequenceNumberUnknown, status::BadSubscriptionIdInvalid}));
    EXPECT_EQ(engine->ServiceRepublish(ctx, RepublishRequest{sub, 1}).fault, status::BadMessageNotAvailable);
}

TEST_F(ServicesTest, CreateSubscriptionRevisesItsCounts) {
    ServiceContext ctx = Context();
    CreateSubscriptionRequest r;
    r.params.publishingInterval = 1;  // below the minimum
    r.params.maxKeepAliveCount = 0;   // the default
    r.params.lifetimeCount = 1;       // below three keep-alives
    auto reply = engine->ServiceCreateSubscription(ctx, r);
    ASSERT_FALSE(reply.IsFault());
    EXPECT_EQ(reply.body.revisedPublishingInterval, kMinPublishingIntervalMs);
    EXPECT_EQ(reply.body.revisedMaxKeepAliveCount, 10u);
    EXPECT_EQ(reply.body.revisedLifetimeCount, 30u);
    EXPECT_EQ(
        engine->ServiceModifySubscription(ctx, ModifySubscriptionRequest{reply.body.subscriptionId + 1, {}})
            .fault,
        status::BadSubscriptionIdInvalid);
}

TEST_F(ServicesTest, CloseSessionFromAnotherChannelIsRefusedAndFromItsOwnEndsIt) {
    ASSERT_TRUE(engine->Accept(2, now));
    ServiceContext other{*engine->FindConnection(2), nullptr, 8, header, now, {}};
    EXPECT_EQ(engine->ServiceCloseSession(other, CloseSessionRequest{}).fault,
              status::BadSecureChannelIdInvalid);
    EXPECT_EQ(engine->SessionCount(), 1u);
    ServiceContext own = Context(nullptr);
    EXPECT_FALSE(engine->ServiceCloseSession(own, CloseSessionRequest{}).IsFault());
    EXPECT_EQ(engine->SessionCount(), 0u);
    EXPECT_EQ(engine->ServiceCloseSession(own, CloseSessionRequest{}).fault, status::BadSessionIdInvalid);
}

}  // namespace

// The Read path builds item DataValues and decodes requests without the general types: its
// bytes must be those of the general encoder, and its views must never reach past the request.
TEST(ReadWirePath, ItemDataValueBytesEqualTheGeneralEncoding) {
    const int64_t now = 133000000000000000;
    for (const bool valid : {true, false})
        for (const uint16_t quality : {192, 8, 24, 0})
            for (const uint64_t sourceTime : {uint64_t{0}, uint64_t{132999999999990000}})
                for (const uint32_t ts : {TsSource, TsServer, TsBoth, TsNeither}) {
                    const ItemSample sample{-1.5f, quality, sourceTime, valid};
                    std::string general, direct;
                    Encoder(general).Data(MakeItemDataValue(sample, ts, now));
                    Encoder d(direct);
                    EncodeItemDataValue(d, sample, ts, now);
                    EXPECT_EQ(direct, general) << valid << " " << quality << " " << sourceTime << " " << ts;
                }
}

TEST(ReadWirePath, DecodesWhatTheGeneralDecoderDoesAndRefusesEveryTruncation) {
    std::string body;
    Encoder e(body);
    e.Double(250);
    e.UInt32(TsBoth);
    const NodeId guid = [] {
        NodeId n;
        n.ns = 3;
        n.kind = NodeId::Kind::Guid;
        n.guid.data1 = 0x01020304;
        n.guid.data4[7] = 9;
        return n;
    }();
    NodeId opaque = NodeId::String(2, std::string("op\0aq", 5));
    opaque.kind = NodeId::Kind::Opaque;
    const std::vector<ReadValueId> nodes = {
        {NodeId::String(kItemNamespace, "P.D.item10"),
         AttrValue,
         UaString("1:2"),
         {0, UaString("Default Binary")}},
        {NodeId(0, 2259), AttrDisplayName, UaString(), {}},
        {NodeId(7, 70000), AttrValue, UaString(""), {0, UaString("")}},
        {guid, AttrNodeId, UaString(), {}},
        {opaque, AttrValue, UaString(), {1, UaString("x")}},
    };
    e.ArrayLength(static_cast<int32_t>(nodes.size()));
    for (const ReadValueId& v : nodes) {
        e.Node(v.node);
        e.UInt32(v.attributeId);
        e.String(v.indexRange);
        e.Qualified(v.encoding);
    }
    ReadRequest general;
    {
        Decoder d(body);
        Decode(d, general);
    }
    std::vector<ReadOperation> ops;
    double maxAge = 0;
    uint32_t ts = 0;
    {
        Decoder d(body);
        DecodeRead(d, maxAge, ts, ops);
        EXPECT_EQ(d.Remaining(), 0u);
    }
    EXPECT_EQ(maxAge, general.maxAge);
    EXPECT_EQ(ts, general.timestamps);
    ASSERT_EQ(ops.size(), general.nodes.size());
    for (size_t i = 0; i < ops.size(); ++i) {
        const ReadOperation want = OperationOf(general.nodes[i]);
        EXPECT_EQ(ops[i].node.ToNodeId(), general.nodes[i].node) << i;
        EXPECT_EQ(ops[i].attributeId, want.attributeId) << i;
        EXPECT_EQ(ops[i].hasIndexRange, want.hasIndexRange) << i;
        EXPECT_EQ(ops[i].encoding, want.encoding) << i;
    }
    // Every cut of the request is refused; the copy's end is the buffer's end, so a view past it
    // shows under the address sanitizer.
    for (size_t cut = 0; cut < body.size(); ++cut) {
        const std::string part = body.substr(0, cut);
        Decoder d(part);
        EXPECT_THROW(DecodeRead(d, maxAge, ts, ops), DecodeError) << cut;
    }
}

TEST(ReadWirePath, NotificationQueueKeepsTheOrderOfADequeThroughGrowthAndWrapping) {
    NotificationQueue q;
    std::deque<std::string> model;
    const std::string longValue(40, 'L');  // beyond the inline bytes
    for (int step = 0; step < 400; ++step) {
        const int op = (step * 7 + step / 13) % 5;
        if (op < 3 || model.empty()) {
            const std::string v = step % 11 == 0 ? longValue + std::to_string(step) : std::to_string(step);
            q.push_back(EncodedValue(v));
            model.push_back(v);
        } else if (op == 3) {
            q.pop_front();
            model.pop_front();
        } else {
            q.pop_back();
            model.pop_back();
        }
        ASSERT_EQ(q.size(), model.size()) << step;
        if (!model.empty()) {
            ASSERT_EQ(q.front().Bytes(), model.front()) << step;
        }
        if (step % 97 == 96) {
            q.clear();
            model.clear();
        }
    }
}
