#include "mqtt/mqtt_topic.h"

#include <gtest/gtest.h>
#include <mosquitto.h>

using namespace qora;

namespace {

// What the broker's library accepts as a topic to publish to.
bool BrokerAccepts(const std::string& topic) {
    return mosquitto_validate_utf8(topic.data(), int(topic.size())) == MOSQ_ERR_SUCCESS &&
           mosquitto_pub_topic_check2(topic.data(), topic.size()) == MOSQ_ERR_SUCCESS;
}

TEST(MqttTopicLevel, ReplacesWhatMqttReservesAndWhatBrokersRefuse) {
    const struct {
        std::u16string name;
        std::string level;
    } cases[] = {
        {u"Котёл_1", "Котёл_1"},
        {u"a/b", "a_b"},
        {u"+", "_"},
        {u"#x#", "_x_"},
        {std::u16string(u"a\0b", 3), "a_b"},
        {u"tab\there", "tab_here"},
        {u"del\u007F", "del_"},
        {u"c1\u0085", "c1_"},
        {u"nc\uFFFE\uFFFF\uFDD0", "nc___"},
        {u"", "_"},
        {u"$SYS", "$SYS"},                    // '$' only matters at the start of a whole topic
        {u"\U0001F600", "\xF0\x9F\x98\x80"},  // a surrogate pair becomes one 4-byte character
        {u"lone\xD800", "lone_"},
        {u"\xDC00lone", "_lone"},
        {u"№ 5 (T)", "№ 5 (T)"},
    };
    for (const auto& c : cases) {
        const std::string level = TopicLevel(c.name);
        EXPECT_EQ(level, c.level);
        EXPECT_TRUE(BrokerAccepts("qora/" + level)) << level;
    }
}

TEST(MqttTopicLevel, EveryUtf16UnitGivesATopicTheBrokerAccepts) {
    // In slices that keep each topic within MQTT's length limit.
    for (uint32_t start = 0; start <= 0xFFFF; start += 4096) {
        std::u16string slice;
        for (uint32_t u = start; u < start + 4096; ++u) slice.push_back(char16_t(u));
        const std::string level = TopicLevel(slice);
        EXPECT_TRUE(BrokerAccepts("p/" + level)) << start;
        EXPECT_EQ(level.find_first_of(std::string("+#/\0", 4)), std::string::npos);
    }
}

TEST(MqttTopicText, ChecksUtf8AndRefusedCharacters) {
    EXPECT_TRUE(IsMqttTopicText("qora/хост-1"));
    EXPECT_FALSE(IsMqttTopicText("a\x01"));
    EXPECT_FALSE(IsMqttTopicText("\xC0\xAF"));      // overlong '/'
    EXPECT_FALSE(IsMqttTopicText("\xED\xA0\x80"));  // surrogate
    EXPECT_FALSE(IsMqttTopicText("\xE2\x82"));      // cut short
    EXPECT_FALSE(IsMqttTopicText(std::string("a\0", 2)));
}

TEST(MqttTopicTable, EqualTopicsAreToldApartInTheOrderAsked) {
    TTopicTable t;
    EXPECT_EQ(t.Unique("p/a_b/x"), "p/a_b/x");
    EXPECT_EQ(t.Unique("p/a_b/x"), "p/a_b/x~2");      // e.g. "a/b" after "a_b"
    EXPECT_EQ(t.Unique("p/a_b/x~2"), "p/a_b/x~2~2");  // a real name that looks like a suffix
    EXPECT_EQ(t.Unique("p/a_b/x"), "p/a_b/x~3");
    EXPECT_EQ(t.Size(), 4u);
}

TEST(MqttTopicTable, ManyEqualTopicsStayUniqueAndNumberedInOrder) {
    TTopicTable t;
    for (int i = 0; i < 20000; ++i) {
        const std::string got = t.Unique("p/d/x");
        EXPECT_EQ(got, i == 0 ? std::string("p/d/x") : "p/d/x~" + std::to_string(i + 1));
    }
    EXPECT_EQ(t.Size(), 20000u);
}

TEST(MqttTopicTable, KeepsWithinTheTopicLimitWithoutCuttingACharacter) {
    TTopicTable t;
    std::string longTopic = "p/";
    while (longTopic.size() < kMaxTopicBytes + 10) longTopic += "ж";
    const std::string a = t.Unique(longTopic);
    const std::string b = t.Unique(longTopic);
    EXPECT_LE(a.size(), kMaxTopicBytes);
    EXPECT_LE(b.size(), kMaxTopicBytes);
    EXPECT_NE(a, b);
    EXPECT_TRUE(BrokerAccepts(a));
    EXPECT_TRUE(BrokerAccepts(b));
}

}  // namespace
