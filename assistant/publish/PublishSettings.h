#pragma once
// Publishing readings to an MQTT broker: the settings' one home (key, value
// names, defaults), reading and writing them, the broker URL and the password
// file. Pure apart from the settings store and the file system.
#include <QString>
#include <optional>

namespace norvale::assistant
{

inline constexpr char SectionKey[] = "Software\\Norvale\\721\\Publish";

inline constexpr char Enabled[] = "Enabled";
inline constexpr char Broker[] = "Broker";
inline constexpr char TopicPrefix[] = "TopicPrefix";
inline constexpr char ClientId[] = "ClientId";
inline constexpr char Username[] = "Username";
inline constexpr char PasswordFile[] = "PasswordFile";
inline constexpr char CaFile[] = "CaFile";
inline constexpr char CertFile[] = "CertFile";
inline constexpr char KeyFile[] = "KeyFile";
inline constexpr char HomeAssistant[] = "HomeAssistant";

inline constexpr int DefaultEnabled = 0;
inline constexpr char DefaultTopicPrefix[] = "norvale/721";
inline constexpr int DefaultHomeAssistant = 0;
inline constexpr int DefaultPlainPort = 1883;
inline constexpr int DefaultTlsPort = 8883;

struct Settings {
    bool enabled = DefaultEnabled != 0;
    QString broker; // the URL as stored
    QString topicPrefix = QString::fromLatin1(DefaultTopicPrefix);
    QString clientId; // empty: defaultClientId()
    QString username;
    QString passwordFile;
    QString caFile;
    QString certFile;
    QString keyFile;
    bool homeAssistant = DefaultHomeAssistant != 0;

    bool operator==(const Settings &) const = default;
};

// "kest721-" and this computer's host name, as MQTT client identifiers allow.
QString defaultClientId();
QString effectiveClientId(const Settings &s);

struct BrokerUrl {
    bool tls = false;
    QString host;
    int port = DefaultPlainPort;
};

// mqtt://host[:port] or mqtts://host[:port] (an IPv6 address in brackets).
// A URL with a user name or a password in it, another scheme, a path or a
// port out of range is refused with a sentence saying why.
std::optional<BrokerUrl> parseBrokerUrl(const QString &text, QString *why);

// The password in a file readable by its owner (this user) alone: its first
// line. Refused, with a sentence saying why, when others may read the file.
std::optional<QString> readPasswordFile(const QString &path, QString *why);

// Every setting, with the default for each value that is missing or unreadable.
Settings load();
// Writes every value; false with the reason when the store refuses.
bool save(const Settings &s, QString *why);
// Checks what load() gave before a connection is tried: a sentence for the
// first thing wrong, or an empty text.
QString check(const Settings &s);

} // namespace norvale::assistant
