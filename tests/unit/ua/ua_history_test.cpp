// HistoryRead against a toolkit that keeps values: time domains forwards and backwards, bounds,
// continuation points and their limits, timestamps, and the nodes and requests it refuses.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>

#include "tests/unit/ua/ua_fakes.h"
#include "ua/engine/engine.h"
#include "ua/nodes/standard_nodes.h"

using namespace qora::ua;
using namespace qora::ua::testing;

namespace {

constexpr int64_t kBase = 132000000000000000;  // "5:00"
constexpr int64_t kMinute = 600000000;

int64_t At(int minute) {
    return kBase + minute * kMinute;
}

// Keeps values per handle, and reads them as the toolkit's provider does.
class HistoryBackend : public FakeBackend {
  public:
    using FakeBackend::FakeBackend;
    bool HistoryEnabled() override { return enabled; }
    bool ReadHistoryRaw(uint32_t handle, uint64_t start, uint64_t end, size_t maxValues,
                        std::vector<HistorySample>& out) override {
        out.clear();
        ++reads;
        const std::vector<HistorySample>& v = kept[handle];
        if (start < end) {
            for (const HistorySample& s : v)
                if (s.time >= start && s.time < end && out.size() < maxValues) out.push_back(s);
        } else if (start > end) {
            for (auto it = v.rbegin(); it != v.rend(); ++it)
                if (it->time <= start && it->time > end && out.size() < maxValues) out.push_back(*it);
        }
        return enabled;
    }
    bool enabled = true;
    int reads = 0;
    std::map<uint32_t, std::vector<HistorySample>> kept;
};

class HistoryTest : public ::testing::Test {
  protected:
    void SetUp() override {
        backend.AddItem("plain");  // handle 100: the classic domain
        backend.AddItem("same");   // handle 101: three values at one time
        backend.AddItem("many");   // handle 102: more than one response holds
        for (int m : {0, 2, 3, 5, 6})
            backend.kept[100].push_back({static_cast<uint64_t>(At(m)), static_cast<float>(m), 192});
        backend.kept[100][1].quality = 24;
        for (float v : {1.0f, 2.0f, 3.0f})
            backend.kept[101].push_back({static_cast<uint64_t>(At(1)), v, 192});
        for (uint64_t i = 0; i < 25000; ++i)
            backend.kept[102].push_back({static_cast<uint64_t>(kBase) + i * 10000000, 0.0f, 192});
        Start();
    }
    void Start() {
        engine = std::make_unique<Engine>(backend, config, transport);
        engine->Build();
        ASSERT_TRUE(engine->Accept(kConn, now));
        channel = engine->FindConnection(kConn);
        ServiceContext ctx{*channel, nullptr, 7, header, now, {}};
        auto created = engine->ServiceCreateSession(ctx, CreateSessionRequest{"", "test", 60000, {}, {}, {}});
        ASSERT_FALSE(created.IsFault());
        header.authenticationToken = created.body.authenticationToken;
        ServiceContext activate{*channel, nullptr, 7, header, now, {}};
        ASSERT_FALSE(engine->ServiceActivateSession(activate, ActivateSessionRequest{}).IsFault());
        session = engine->FindSession(header.authenticationToken);
        ASSERT_NE(session, nullptr);
    }

    static HistoryReadRequest Raw(int64_t start, int64_t end, uint32_t count, bool bounds,
                                  const std::string& item = "plain") {
        HistoryReadRequest r;
        r.details = MakeExtension(kReadRawModifiedDetailsEncoding, [&](Encoder& e) {
            e.Boolean(false);
            e.DateTime(start);
            e.DateTime(end);
            e.UInt32(count);
            e.Boolean(bounds);
        });
        r.nodes.push_back({NodeId::String(kItemNamespace, item), {}, {}, {}});
        return r;
    }
    Reply<HistoryReadResponse> Call(const HistoryReadRequest& r) {
        ServiceContext ctx{*channel, session, 7, header, now, {}};
        return engine->ServiceHistoryRead(ctx, r);
    }
    // One node's values as minutes after 5:00; a missing bound as "B<minute>" or "B-".
    static std::string Minutes(const HistoryReadResult& h) {
        std::string s;
        for (const DataValue& dv : h.values) {
            if (!s.empty()) s += ' ';
            const std::string t =
                dv.hasSourceTimestamp ? std::to_string((dv.sourceTimestamp - kBase) / kMinute) : "-";
            s += dv.hasStatus && dv.status == status::BadBoundNotFound ? "B" + t : t;
        }
        return s;
    }

    static constexpr uint64_t kConn = 1;
    HistoryBackend backend;
    ServerConfig config;
    FakeTransport transport;
    std::unique_ptr<Engine> engine;
    Connection* channel = nullptr;
    Session* session = nullptr;
    RequestHeader header;
    Millis now = 100000;
};

constexpr int64_t kNull = 0;

// Values kept at 5:00, 5:02, 5:03, 5:05, 5:06; the end of a domain is outside it, bounds are the
// values at or beyond the ends (or a missing bound), counts include bounds.
TEST_F(HistoryTest, RawReadsTheDomainInTimeOrderWithItsBounds) {
    struct Case {
        int64_t start, end;
        uint32_t count;
        bool bounds;
        const char* expected;
        StatusCode status;
    };
    const Case cases[] = {
        {At(0), At(5), 0, true, "0 2 3 5", status::Good},
        {At(0), At(5), 0, false, "0 2 3", status::Good},
        {At(1), At(4), 0, true, "0 2 3 5", status::Good},
        {At(1), At(4), 0, false, "2 3", status::Good},
        {At(5), At(0), 0, true, "5 3 2 0", status::Good},
        {At(5), At(0), 0, false, "5 3 2", status::Good},
        {At(4), At(1), 0, true, "5 3 2 0", status::Good},
        {At(4), At(1), 0, false, "3 2", status::Good},
        {At(-1), At(5), 0, true, "B-1 0 2 3 5", status::Good},
        {At(-1), At(5), 0, false, "0 2 3", status::Good},
        {At(4), At(9), 0, true, "3 5 6 B9", status::Good},
        {At(1), kNull, 3, true, "0 2 3", status::Good},
        {At(1), kNull, 3, false, "2 3 5", status::Good},
        {At(0), kNull, 6, true, "0 2 3 5 6 B-", status::Good},
        {kNull, At(6), 3, false, "5 3 2", status::Good},
        {kNull, At(6), 3, true, "6 5 3", status::Good},
        {kNull, At(9), 3, true, "B9 6 5", status::Good},
        {kNull, At(1), 5, true, "2 0 B-", status::Good},
        {At(3), At(3), 0, true, "3", status::Good},
        {At(4), At(4), 0, true, "3 5", status::Good},
        {At(4), At(4), 0, false, "", status::GoodNoData},
        {At(7), At(9), 0, false, "", status::GoodNoData},
    };
    for (const Case& c : cases) {
        auto reply = Call(Raw(c.start, c.end, c.count, c.bounds));
        ASSERT_FALSE(reply.IsFault());
        ASSERT_EQ(reply.body.results.size(), 1u);
        const HistoryReadResult& h = reply.body.results[0];
        const std::string label = std::to_string((c.start - kBase) / kMinute) + ".." +
                                  std::to_string((c.end - kBase) / kMinute) +
                                  " n=" + std::to_string(c.count) + (c.bounds ? " bounds" : "");
        EXPECT_EQ(Minutes(h), c.expected) << label;
        EXPECT_EQ(h.status, c.status) << label;
        EXPECT_TRUE(h.continuationPoint.empty()) << label;
    }
    // The quality of a kept value becomes its status, as in Read.
    auto reply = Call(Raw(At(2), At(3), 0, false));
    ASSERT_EQ(reply.body.results[0].values.size(), 1u);
    EXPECT_EQ(reply.body.results[0].values[0].status, status::BadNoCommunication);
    EXPECT_FLOAT_EQ(std::get<float>(reply.body.results[0].values[0].value.scalar), 2.0f);
}

// Pages follow each other without a gap or a repeat, also between values kept at one time;
// released or pushed-out points are invalid afterwards.
TEST_F(HistoryTest, ContinuationPointsPageThroughTheDomainAndAreBoundedPerSession) {
    struct Case {
        HistoryReadRequest request;
        std::vector<std::string> pages;
    };
    const Case cases[] = {
        {Raw(At(0), At(9), 2, true), {"0 2", "3 5", "6 B9"}},
        {Raw(At(9), At(0), 2, false), {"6 5", "3 2"}},
        {Raw(At(1), At(9), 1, true, "same"), {"1", "1", "1", "B9"}},
        {Raw(At(0), At(9), 2, false, "same"), {"1 1", "1"}},
    };
    for (const Case& c : cases) {
        HistoryReadRequest r = c.request;
        std::vector<std::string> pages;
        std::vector<float> values;
        for (int guard = 0; guard < 10; ++guard) {
            auto reply = Call(r);
            ASSERT_FALSE(reply.IsFault());
            const HistoryReadResult& h = reply.body.results[0];
            pages.push_back(Minutes(h));
            for (const DataValue& dv : h.values)
                if (dv.hasValue) values.push_back(std::get<float>(dv.value.scalar));
            if (h.continuationPoint.empty()) break;
            r.nodes[0].continuationPoint = h.continuationPoint;
        }
        EXPECT_EQ(pages, c.pages);
        if (c.request.nodes[0].node.text == "same") {
            EXPECT_EQ(values, (std::vector<float>{1, 2, 3}));
        }
        EXPECT_TRUE(session->historyContinuations.empty());
    }

    // More than one response holds: our limit per node, then the rest.
    HistoryReadRequest r = Raw(kBase, At(1000), 0, false, "many");
    size_t total = 0, calls = 0;
    for (;;) {
        auto reply = Call(r);
        ++calls;
        const HistoryReadResult& h = reply.body.results[0];
        EXPECT_LE(h.values.size(), kMaxHistoryValuesPerResponse);
        total += h.values.size();
        if (h.continuationPoint.empty()) break;
        r.nodes[0].continuationPoint = h.continuationPoint;
    }
    EXPECT_EQ(total, 25000u);
    EXPECT_EQ(calls, 3u);

    // One call over more nodes than the session holds points for: every value it may hand out,
    // then BadNoContinuationPoints.
    HistoryReadRequest wide = Raw(kBase, At(1000), 0, false, "many");
    wide.nodes.resize(kMaxHistoryContinuationPoints + 1, wide.nodes[0]);
    auto wideReply = Call(wide);
    total = 0;
    for (size_t i = 0; i < kMaxHistoryContinuationPoints; ++i) {
        total += wideReply.body.results[i].values.size();
        EXPECT_FALSE(wideReply.body.results[i].continuationPoint.empty()) << i;
    }
    EXPECT_EQ(total, std::min<size_t>(kMaxHistoryValuesPerCall,
                                      kMaxHistoryContinuationPoints * kMaxHistoryValuesPerResponse));
    EXPECT_EQ(wideReply.body.results.back().status, status::BadNoContinuationPoints);

    // Released points are gone; beyond the limit the oldest of an earlier call goes.
    std::vector<std::string> points;
    for (size_t i = 0; i <= kMaxHistoryContinuationPoints; ++i)
        points.push_back(Call(Raw(At(0), At(9), 1, false)).body.results[0].continuationPoint);
    EXPECT_EQ(session->historyContinuations.size(), kMaxHistoryContinuationPoints);
    HistoryReadRequest release = Raw(At(0), At(9), 1, false);
    release.releaseContinuationPoints = true;
    release.nodes[0].continuationPoint = points[1];
    auto released = Call(release);
    EXPECT_EQ(released.body.results[0].status, status::Good);
    EXPECT_TRUE(released.body.results[0].values.empty());
    EXPECT_EQ(session->historyContinuations.size(), kMaxHistoryContinuationPoints - 1);
    for (size_t k : {size_t{0}, size_t{1}}) {
        HistoryReadRequest again = Raw(At(0), At(9), 1, false);
        again.nodes[0].continuationPoint = points[k];
        EXPECT_EQ(Call(again).body.results[0].status, status::BadContinuationPointInvalid) << k;
    }
    // A point of one item does not continue another.
    HistoryReadRequest other = Raw(At(0), At(9), 1, false, "same");
    other.nodes[0].continuationPoint = points[2];
    EXPECT_EQ(Call(other).body.results[0].status, status::BadContinuationPointInvalid);
}

TEST_F(HistoryTest, TimestampsAreThoseAskedForAndNeitherIsRefused) {
    struct Case {
        uint32_t timestamps;
        bool source, server;
        StatusCode fault;
    };
    const Case cases[] = {
        {TsSource, true, false, status::Good},
        {TsServer, false, true, status::Good},
        {TsBoth, true, true, status::Good},
        {TsNeither, false, false, status::BadTimestampsToReturnInvalid},
        {4, false, false, status::BadTimestampsToReturnInvalid},
    };
    for (const Case& c : cases) {
        HistoryReadRequest r = Raw(At(-1), At(1), 0, true);
        r.timestamps = c.timestamps;
        auto reply = Call(r);
        EXPECT_EQ(reply.fault, c.fault) << c.timestamps;
        if (reply.IsFault()) continue;
        ASSERT_EQ(reply.body.results[0].values.size(), 3u);  // a missing bound, 5:00, 5:02
        for (const DataValue& dv : reply.body.results[0].values) {
            EXPECT_EQ(dv.hasSourceTimestamp, c.source) << c.timestamps;
            EXPECT_EQ(dv.hasServerTimestamp, c.server) << c.timestamps;
        }
    }
}

TEST_F(HistoryTest, RequestsAndNodesWithoutRawHistoryAreRefused) {
    // Per node: unknown, not an item, an encoding other than the default.
    HistoryReadRequest r = Raw(At(0), At(9), 0, false);
    r.nodes.push_back({NodeId::String(kItemNamespace, "nope"), {}, {}, {}});
    r.nodes.push_back({NodeId(0, id::Server), {}, {}, {}});
    r.nodes.push_back(
        {NodeId::String(kItemNamespace, "plain"), {}, QualifiedName{0, UaString("Default XML")}, {}});
    auto reply = Call(r);
    ASSERT_FALSE(reply.IsFault());
    ASSERT_EQ(reply.body.results.size(), 4u);
    const StatusCode expected[] = {status::Good, status::BadNodeIdUnknown,
                                   status::BadHistoryOperationUnsupported,
                                   status::BadDataEncodingUnsupported};
    for (size_t i = 0; i < 4; ++i) EXPECT_EQ(reply.body.results[i].status, expected[i]) << i;

    // For the whole request: no domain, modified values, other details, no nodes, too many nodes.
    struct Case {
        HistoryReadRequest request;
        StatusCode fault;
    };
    HistoryReadRequest modified = Raw(At(0), At(9), 0, false);
    modified.details.body[0] = 1;
    HistoryReadRequest processed = Raw(At(0), At(9), 0, false);
    processed.details.typeId = NodeId(0, kReadProcessedDetailsEncoding);
    HistoryReadRequest none = Raw(At(0), At(9), 0, false);
    none.nodes.clear();
    HistoryReadRequest tooMany = Raw(At(0), At(9), 0, false);
    tooMany.nodes.resize(kMaxHistoryNodesPerRead + 1, tooMany.nodes[0]);
    const Case cases[] = {
        {Raw(kNull, kNull, 5, false), status::BadHistoryOperationInvalid},
        {Raw(At(0), kNull, 0, false), status::BadHistoryOperationInvalid},
        {modified, status::BadHistoryOperationUnsupported},
        {processed, status::BadHistoryOperationUnsupported},
        {none, status::BadNothingToDo},
        {tooMany, status::BadTooManyOperations},
    };
    for (const Case& c : cases) EXPECT_EQ(Call(c.request).fault, c.fault);

    // Without history, items are not Historizing and their history cannot be read.
    Variant v;
    auto item = engine->Space().Find(NodeId::String(kItemNamespace, "plain"));
    ASSERT_TRUE(item);
    ASSERT_EQ(engine->Space().ReadAttribute(*item, AttrHistorizing, v), status::Good);
    EXPECT_TRUE(std::get<bool>(v.scalar));
    ASSERT_EQ(engine->Space().ReadAttribute(*item, AttrAccessLevel, v), status::Good);
    EXPECT_EQ(std::get<uint64_t>(v.scalar), 0x05u);
    EXPECT_TRUE(std::get<bool>(engine->DynamicValue(kAccessHistoryDataCapabilityId).scalar));
    backend.enabled = false;
    Start();
    item = engine->Space().Find(NodeId::String(kItemNamespace, "plain"));
    EXPECT_EQ(Call(Raw(At(0), At(9), 0, false)).body.results[0].status,
              status::BadHistoryOperationUnsupported);
    ASSERT_EQ(engine->Space().ReadAttribute(*item, AttrHistorizing, v), status::Good);
    EXPECT_FALSE(std::get<bool>(v.scalar));
    ASSERT_EQ(engine->Space().ReadAttribute(*item, AttrAccessLevel, v), status::Good);
    EXPECT_EQ(std::get<uint64_t>(v.scalar), 0x01u);
    EXPECT_FALSE(std::get<bool>(engine->DynamicValue(kAccessHistoryDataCapabilityId).scalar));
}

}  // namespace
