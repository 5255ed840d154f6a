#include "mqtt/mqtt_settings.h"

#include <gtest/gtest.h>

#include <QFile>
#include <QTemporaryDir>

#include "config/ini_file.h"

using namespace qora;

namespace {

class MqttSettingsTest : public ::testing::Test {
  protected:
    TMqttSettingsResult Read(const QByteArray& section) {
        const QString path = dir_.filePath(QStringLiteral("qora.ini"));
        QFile f(path);
        EXPECT_TRUE(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
        f.write("[OPCUA]\nPort=4840\n\n[mqtt]\n" + section);
        f.close();
        TIniFile ini(path);
        return ReadMqttSettings(ini, QStringLiteral("plant-7"));
    }
    QTemporaryDir dir_;
};

TEST_F(MqttSettingsTest, AbsentOrDisabledSectionLeavesPublishingOffWithoutComplaint) {
    for (const QByteArray& text : {QByteArray(), QByteArray("Enabled=0\nPort=banana\n")}) {
        const TMqttSettingsResult r = Read(text);
        EXPECT_FALSE(r.settings.enabled);
        EXPECT_TRUE(r.errors.isEmpty()) << r.errors.join(u'\n').toStdString();
    }
}

TEST_F(MqttSettingsTest, DefaultsFollowTheHostName) {
    const TMqttSettingsResult r = Read("Enabled=1\nHost=broker.local\n");
    ASSERT_TRUE(r.errors.isEmpty()) << r.errors.join(u'\n').toStdString();
    const TMqttSettings& s = r.settings;
    EXPECT_TRUE(s.enabled);
    EXPECT_EQ(s.host, "broker.local");
    EXPECT_EQ(s.port, 1883);
    EXPECT_EQ(s.clientId, "qora-plant-7");
    EXPECT_EQ(s.topicPrefix, "qora/plant-7");
    EXPECT_EQ(s.qos, 1);
    EXPECT_EQ(s.keepAlive, 60);
    EXPECT_TRUE(s.retain);
    EXPECT_EQ(s.replayRate, kDefaultMqttReplayRate);
    EXPECT_FALSE(s.insecure);
    EXPECT_TRUE(s.username.empty());
    EXPECT_TRUE(s.caFile.empty());
}

TEST_F(MqttSettingsTest, EveryKeyIsRead) {
    const QString ca = dir_.filePath(QStringLiteral("ca.crt"));
    QFile f(ca);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    f.close();
    const TMqttSettingsResult r = Read(
        "enabled=1\nHOST=10.0.0.5\nPort=0x22B3\nClientId=Котельная-1\nTopicPrefix=завод/корпус 2\n"
        "Username=qora\nPassword=\"p w\"\nCAFile=" +
        ca.toUtf8() + "\nInsecure=1\nQoS=0\nKeepAlive=5\nRetain=0\nReplayRate=0\n");
    ASSERT_TRUE(r.errors.isEmpty()) << r.errors.join(u'\n').toStdString();
    const TMqttSettings& s = r.settings;
    EXPECT_EQ(s.host, "10.0.0.5");
    EXPECT_EQ(s.port, 8883);
    EXPECT_EQ(s.clientId, "Котельная-1");
    EXPECT_EQ(s.topicPrefix, "завод/корпус 2");
    EXPECT_EQ(s.username, "qora");
    EXPECT_EQ(s.password, "p w");
    EXPECT_EQ(s.caFile, ca.toStdString());
    EXPECT_TRUE(s.insecure);
    EXPECT_EQ(s.qos, 0);
    EXPECT_EQ(s.keepAlive, 5);
    EXPECT_FALSE(s.retain);
    EXPECT_EQ(s.replayRate, 0);
}

TEST_F(MqttSettingsTest, BadValuesAreEachReportedAndPublishingStaysOff) {
    const struct {
        const char* section;
        const char* mentions;
    } cases[] = {
        {"Enabled=yes\n", "MQTT/Enabled"},
        {"Enabled=1\n", "MQTT/Host"},
        {"Enabled=1\nHost=a b\n", "MQTT/Host"},
        {"Enabled=1\nHost=h\nPort=0\n", "MQTT/Port"},
        {"Enabled=1\nHost=h\nPort=65536\n", "MQTT/Port"},
        {"Enabled=1\nHost=h\nPort=18x\n", "MQTT/Port"},
        {"Enabled=1\nHost=h\nQoS=2\n", "MQTT/QoS"},
        {"Enabled=1\nHost=h\nKeepAlive=4\n", "MQTT/KeepAlive"},
        {"Enabled=1\nHost=h\nKeepAlive=65536\n", "MQTT/KeepAlive"},
        {"Enabled=1\nHost=h\nRetain=2\n", "MQTT/Retain"},
        {"Enabled=1\nHost=h\nReplayRate=-1\n", "MQTT/ReplayRate"},
        {"Enabled=1\nHost=h\nReplayRate=100001\n", "MQTT/ReplayRate"},
        {"Enabled=1\nHost=h\nInsecure=-1\n", "MQTT/Insecure"},
        {"Enabled=1\nHost=h\nTopicPrefix=a/+/b\n", "MQTT/TopicPrefix"},
        {"Enabled=1\nHost=h\nTopicPrefix=a/#\n", "MQTT/TopicPrefix"},
        {"Enabled=1\nHost=h\nTopicPrefix=$SYS/x\n", "MQTT/TopicPrefix"},
        {"Enabled=1\nHost=h\nTopicPrefix=a/\n", "MQTT/TopicPrefix"},
        {"Enabled=1\nHost=h\nTopicPrefix=/a\n", "MQTT/TopicPrefix"},
        {"Enabled=1\nHost=h\nTopicPrefix=a//b\n", "MQTT/TopicPrefix"},
        {"Enabled=1\nHost=h\nTopicPrefix=a\tb\n", "MQTT/TopicPrefix"},
        {"Enabled=1\nHost=h\nTopicPrefix=\"\"\n", "MQTT/TopicPrefix"},
        {"Enabled=1\nHost=h\nClientId=\"\"\n", "MQTT/ClientId"},
        {"Enabled=1\nHost=h\nPassword=secret\n", "MQTT/Password"},
        {"Enabled=1\nHost=h\nCAFile=/nonexistent/ca.crt\n", "MQTT/CAFile"},
    };
    for (const auto& c : cases) {
        const TMqttSettingsResult r = Read(c.section);
        EXPECT_FALSE(r.settings.enabled) << c.section;
        ASSERT_FALSE(r.errors.isEmpty()) << c.section;
        EXPECT_TRUE(r.errors.join(u'\n').contains(QString::fromLatin1(c.mentions)))
            << r.errors.join(u'\n').toStdString();
    }
}

TEST_F(MqttSettingsTest, SeveralFaultsGiveSeveralTexts) {
    const TMqttSettingsResult r = Read("Enabled=1\nPort=x\nQoS=5\n");
    EXPECT_FALSE(r.settings.enabled);
    EXPECT_EQ(r.errors.size(), 3);  // Host, Port, QoS
}

TEST_F(MqttSettingsTest, APrefixLongerThanItsLimitIsRefused) {
    const TMqttSettingsResult r =
        Read("Enabled=1\nHost=h\nTopicPrefix=" + QByteArray(kMaxTopicPrefixBytes + 1, 'a') + "\n");
    EXPECT_FALSE(r.settings.enabled);
    EXPECT_TRUE(r.errors.join(u'\n').contains(QStringLiteral("TopicPrefix")));
}

}  // namespace
