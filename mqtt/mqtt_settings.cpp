#include "mqtt/mqtt_settings.h"

#include <QFileInfo>

#include "config/ini_file.h"
#include "config/text_codec.h"
#include "mqtt/mqtt_topic.h"

namespace qora {

namespace {

constexpr char16_t kSection[] = u"MQTT";

QString Key(QStringView key) {
    return QStringLiteral("MQTT/") + key.toString();
}

class TReader {
  public:
    TReader(const TIniFile& ini, QStringList& errors) : ini_(ini), errors_(errors) {}

    QString Text(QStringView key, const QString& def = QString()) const {
        return ini_.ValueExists(kSection, key) ? ini_.ReadString(kSection, key) : def;
    }

    // An absent or empty value gives def; otherwise an integer within [lo, hi].
    int Integer(QStringView key, int def, int lo, int hi) {
        const QString text = ini_.ReadString(kSection, key);
        if (text.isEmpty()) return def;
        int32_t v = 0;
        if (!TIniFile::ParseInteger(text, v) || v < lo || v > hi) {
            errors_ << QStringLiteral("%1: недопустимое значение \"%2\" (ожидается целое число от %3 до %4)")
                           .arg(Key(key), text)
                           .arg(lo)
                           .arg(hi);
            return def;
        }
        return v;
    }

    bool Flag(QStringView key, bool def) { return Integer(key, def ? 1 : 0, 0, 1) != 0; }

    // Checks a UTF-8 text against MQTT's string rules; empty allowed unless required.
    std::string Utf8(QStringView key, const QString& text, bool required) {
        const QByteArray bytes = text.toUtf8();
        if (required && bytes.isEmpty()) {
            errors_ << QStringLiteral("%1: значение не задано").arg(Key(key));
        } else if (bytes.size() > kMaxMqttStringBytes || !IsValidUtf8(bytes) || bytes.contains('\0')) {
            errors_ << QStringLiteral("%1: недопустимое значение").arg(Key(key));
        }
        return bytes.toStdString();
    }

  private:
    const TIniFile& ini_;
    QStringList& errors_;
};

void CheckPrefix(const std::string& prefix, QStringList& errors) {
    const QString key = Key(u"TopicPrefix");
    if (prefix.empty()) {
        errors << QStringLiteral("%1: значение не задано").arg(key);
        return;
    }
    if (prefix.size() > size_t(kMaxTopicPrefixBytes))
        errors << QStringLiteral("%1: длиннее %2 байт").arg(key).arg(kMaxTopicPrefixBytes);
    if (prefix.find_first_of("+#") != std::string::npos)
        errors << QStringLiteral("%1: символы \"+\" и \"#\" недопустимы в имени темы").arg(key);
    if (prefix.front() == '$')
        errors << QStringLiteral("%1: темы, начинающиеся с \"$\", зарезервированы брокером").arg(key);
    if (prefix.front() == '/' || prefix.back() == '/' || prefix.find("//") != std::string::npos)
        errors << QStringLiteral("%1: пустой уровень темы (лишний \"/\")").arg(key);
    if (!IsMqttTopicText(prefix))
        errors << QStringLiteral("%1: недопустимые символы (управляющие или не UTF-8)").arg(key);
}

}  // namespace

TMqttSettingsResult ReadMqttSettings(const TIniFile& ini, const QString& hostName) {
    TMqttSettingsResult r;
    QStringList& errors = r.errors;
    TReader in(ini, errors);
    TMqttSettings& s = r.settings;

    const bool enabled = in.Flag(u"Enabled", false);
    if (!enabled) return r;  // nothing else is looked at unless asked for (a bad Enabled is reported)

    const std::string host = TopicLevel(hostName.toStdU16String());
    s.host = in.Text(u"Host").trimmed().toStdString();
    if (s.host.empty())
        errors << QStringLiteral("%1: не задан адрес брокера").arg(Key(u"Host"));
    else if (s.host.find_first_of(" \t") != std::string::npos)
        errors << QStringLiteral("%1: недопустимый адрес \"%2\"")
                      .arg(Key(u"Host"), QString::fromStdString(s.host));
    s.port = static_cast<uint16_t>(in.Integer(u"Port", kDefaultMqttPort, 1, 65535));
    s.clientId = in.Utf8(u"ClientId",
                         in.Text(u"ClientId", QStringLiteral("qora-") + QString::fromStdString(host)), true);
    s.topicPrefix =
        in.Utf8(u"TopicPrefix",
                in.Text(u"TopicPrefix", QStringLiteral("qora/") + QString::fromStdString(host)), true);
    CheckPrefix(s.topicPrefix, errors);
    s.username = in.Utf8(u"Username", in.Text(u"Username"), false);
    s.password = in.Utf8(u"Password", in.Text(u"Password"), false);
    if (s.username.empty() && !s.password.empty())
        errors << QStringLiteral("%1: пароль задан без имени пользователя").arg(Key(u"Password"));
    s.caFile = in.Text(u"CAFile").toStdString();
    if (!s.caFile.empty()) {
        const QFileInfo ca(QString::fromStdString(s.caFile));
        if (!ca.isFile() || !ca.isReadable())
            errors << QStringLiteral("%1: файл \"%2\" не найден или недоступен для чтения")
                          .arg(Key(u"CAFile"), QString::fromStdString(s.caFile));
    }
    s.insecure = in.Flag(u"Insecure", false);
    s.qos = in.Integer(u"QoS", 1, 0, 1);
    s.keepAlive = in.Integer(u"KeepAlive", kDefaultMqttKeepAlive, kMinMqttKeepAlive, kMaxMqttKeepAlive);
    s.retain = in.Flag(u"Retain", true);
    s.replayRate = in.Integer(u"ReplayRate", kDefaultMqttReplayRate, 0, kMaxMqttReplayRate);
    s.enabled = errors.isEmpty();
    return r;
}

}  // namespace qora
