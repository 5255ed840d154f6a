// Section MQTT of the settings file: whether and where the items are published.
//
//   [MQTT] Enabled=0|1  Host=  Port=1883  ClientId=qora-<host name>  TopicPrefix=qora/<host name>
//          Username=  Password=  CAFile= (TLS when set)  Insecure=0|1  QoS=0|1  KeepAlive=60  Retain=0|1
//          ReplayRate=500 (values replayed from the history per second after an outage; 0: none)
//
// Only Enabled=1 turns publishing on. Then every key is checked; any bad value is reported
// (one text per fault) and publishing stays off.
#pragma once

#include <QString>
#include <QStringList>
#include <cstdint>
#include <string>

namespace qora {

class TIniFile;

inline constexpr uint16_t kDefaultMqttPort = 1883;
inline constexpr int kDefaultMqttKeepAlive = 60;
// libmosquitto refuses a keep-alive below 5 s; MQTT carries it in 16 bits.
inline constexpr int kMinMqttKeepAlive = 5;
inline constexpr int kMaxMqttKeepAlive = 65535;
// Keeps every topic (prefix + three names of at most 63 characters) far below MQTT's 65535 bytes.
inline constexpr int kMaxTopicPrefixBytes = 1024;
// Values replayed per second after an outage: enough to catch up on a long outage of a large
// plant within minutes, far below what a broker takes, and never before the live values.
inline constexpr int kDefaultMqttReplayRate = 500;
inline constexpr int kMaxMqttReplayRate = 100000;
// MQTT's string length field.
inline constexpr int kMaxMqttStringBytes = 65535;

struct TMqttSettings {
    bool enabled = false;
    std::string host;
    uint16_t port = kDefaultMqttPort;
    std::string clientId;     // UTF-8
    std::string topicPrefix;  // UTF-8, without a trailing '/'
    std::string username;
    std::string password;
    std::string caFile;     // TLS when not empty
    bool insecure = false;  // TLS without checking the broker's host name
    int qos = 1;
    int keepAlive = kDefaultMqttKeepAlive;
    bool retain = true;
    int replayRate = kDefaultMqttReplayRate;  // 0: no replay
};

struct TMqttSettingsResult {
    TMqttSettings settings;  // enabled only when Enabled=1 and errors is empty
    QStringList errors;      // Russian texts for the operator
};

// hostName: the machine's name, for the default client ID and topic prefix.
TMqttSettingsResult ReadMqttSettings(const TIniFile& ini, const QString& hostName);

}  // namespace qora
