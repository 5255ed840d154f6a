#include "mqtt/mqtt_payload.h"

#include <gtest/gtest.h>

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <bit>
#include <cmath>
#include <limits>

using namespace qora;

namespace {

TEST(MqttPayload, ValueTextReadsBackAsTheSameFloat) {
    const float values[] = {21.5f,         0.1f,      9999999.0f,  -0.0f,     1e-45f,     1.17549435e-38f,
                            3.4028235e38f, -123.456f, 16777216.0f, 85.39844f, 1.0f / 3.0f};
    for (const float v : values) {
        const std::string text = FormatMqttValue(v);
        EXPECT_EQ(std::bit_cast<uint32_t>(std::strtof(text.c_str(), nullptr)), std::bit_cast<uint32_t>(v))
            << text;
        // And as JSON, through a double.
        const QJsonDocument doc = QJsonDocument::fromJson(QByteArray::fromStdString("[" + text + "]"));
        ASSERT_TRUE(doc.isArray()) << text;
        EXPECT_EQ(float(doc.array().at(0).toDouble()), v) << text;
    }
    EXPECT_EQ(FormatMqttValue(21.5f), "21.5");
    EXPECT_EQ(FormatMqttValue(9999999.0f), "9999999");
    EXPECT_EQ(FormatMqttValue(0.1f), "0.1");
}

TEST(MqttPayload, NanAndInfinityAreNull) {
    EXPECT_EQ(FormatMqttValue(std::numeric_limits<float>::quiet_NaN()), "null");
    EXPECT_EQ(FormatMqttValue(std::numeric_limits<float>::infinity()), "null");
    EXPECT_EQ(FormatMqttValue(-std::numeric_limits<float>::infinity()), "null");
}

TEST(MqttPayload, StatusFollowsTheQuality) {
    const struct {
        uint16_t quality;
        const char* status;
    } cases[] = {{192, "Good"}, {8, "BadNotConnected"}, {24, "BadNoCommunication"},
                 {0, "Bad"},    {216, "Bad"},           {193, "Bad"}};
    for (const auto& c : cases) EXPECT_STREQ(MqttStatusText(c.quality), c.status) << c.quality;
}

TEST(MqttPayload, SourceTimeIsUtcWithMilliseconds) {
    EXPECT_EQ(FormatUtcMs(0), "1970-01-01T00:00:00.000Z");
    EXPECT_EQ(FormatUtcMs(1796723740123), "2026-12-08T09:55:40.123Z");
    EXPECT_EQ(FormatUtcMs(951782400999), "2000-02-29T00:00:00.999Z");
    EXPECT_EQ(FormatUtcMs(-1), "1969-12-31T23:59:59.999Z");
}

TEST(MqttPayload, IsOneJsonObjectWithEveryField) {
    const std::string id = "Котельная(SIM1).Котёл_1(Термометр \"ТМ\\2\" №1).Темп\x01";
    const std::string payload = BuildMqttPayload(id, 21.5f, 192, 1796723740123, 4000000000u);
    QJsonParseError err;
    const QJsonObject o = QJsonDocument::fromJson(QByteArray::fromStdString(payload), &err).object();
    ASSERT_EQ(err.error, QJsonParseError::NoError) << payload;
    EXPECT_EQ(o.value("id").toString().toStdString(), id);
    EXPECT_EQ(o.value("nodeId").toString().toStdString(), "ns=1;s=" + id);
    EXPECT_EQ(o.value("value").toDouble(), 21.5);
    EXPECT_EQ(o.value("quality").toInt(), 192);
    EXPECT_EQ(o.value("status").toString(), QStringLiteral("Good"));
    EXPECT_EQ(o.value("sourceTime").toString(), QStringLiteral("2026-12-08T09:55:40.123Z"));
    EXPECT_EQ(o.value("seq").toDouble(), 4000000000.0);
    EXPECT_EQ(o.size(), 7);
}

// Only a Good value is a number; any other quality publishes null (the status says why), so the
// no-value marker or a stale reading never shows as a measurement.
TEST(MqttPayload, TheValueIsNullUnlessTheQualityIsGood) {
    const struct {
        float value;
        uint16_t quality;
        bool number;
    } cases[] = {{21.5f, 192, true}, {0.0f, 192, true}, {std::nanf(""), 192, false}, {9999999.0f, 8, false},
                 {21.5f, 24, false}, {21.5f, 0, false}, {21.5f, 216, false}};
    for (const auto& c : cases) {
        const std::string payload = BuildMqttPayload("x", c.value, c.quality, 0, 1);
        const QJsonObject o = QJsonDocument::fromJson(QByteArray::fromStdString(payload)).object();
        ASSERT_FALSE(o.isEmpty()) << payload;
        EXPECT_EQ(o.value("value").isDouble(), c.number) << payload;
        EXPECT_EQ(o.value("value").isNull(), !c.number) << payload;
        EXPECT_EQ(o.value("quality").toInt(), c.quality) << payload;
    }
}

// A replayed value has the live fields but no sequence number, and says it is replayed; the
// metadata has null for what an item lacks, and every text escaped.
TEST(MqttPayload, ReplayedValuesAndMetadataAreJsonObjectsWithTheirFields) {
    const struct {
        std::string payload;
        const char* json;
    } cases[] = {
        {BuildReplayedMqttPayload("a\"b", 21.5f, 192, 1796723740123),
         R"j({"id":"a\"b","nodeId":"ns=1;s=a\"b","value":21.5,"quality":192,"status":"Good",)j"
         R"j("sourceTime":"2026-12-08T09:55:40.123Z","replayed":true})j"},
        {BuildReplayedMqttPayload("x", 3, 24, 0),
         R"j({"id":"x","nodeId":"ns=1;s=x","value":null,"quality":24,"status":"BadNoCommunication",)j"
         R"j("sourceTime":"1970-01-01T00:00:00.000Z","replayed":true})j"},
        {BuildMqttMetaPayload("x", {"°C", true, -40, 150.5, "Линия(ttyS0)", "Котёл(Т №1)", "Т\\"}),
         R"j({"id":"x","nodeId":"ns=1;s=x","unit":"°C","range":{"low":-40,"high":150.5},)j"
         R"j("description":{"point":"Линия(ttyS0)","device":"Котёл(Т №1)","parameter":"Т\\"}})j"},
        {BuildMqttMetaPayload("x", {"", false, 0, 0, "p", "d", "k"}),
         R"j({"id":"x","nodeId":"ns=1;s=x","unit":null,"range":null,)j"
         R"j("description":{"point":"p","device":"d","parameter":"k"}})j"},
        {BuildMqttMetaPayload("x", {"", true, 0.1, std::numeric_limits<double>::infinity(), "p", "d", "k"}),
         R"j({"id":"x","nodeId":"ns=1;s=x","unit":null,"range":{"low":0.1,"high":null},)j"
         R"j("description":{"point":"p","device":"d","parameter":"k"}})j"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(c.payload, c.json);
        QJsonParseError err;
        QJsonDocument::fromJson(QByteArray::fromStdString(c.payload), &err);
        EXPECT_EQ(err.error, QJsonParseError::NoError) << c.payload;
    }
}

}  // namespace
