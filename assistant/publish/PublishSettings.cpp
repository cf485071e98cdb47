#include "assistant/publish/PublishSettings.h"

#include "platform/registry/RegistryData.h"
#include "platform/registry/RegistryStore.h"

#include <QFile>
#include <QRegularExpression>
#include <QUrl>
#include <cstring>
#include <sys/stat.h>
#include <unistd.h>

namespace norvale::assistant
{

namespace
{
QString key()
{
    return QString::fromLatin1(SectionKey);
}

// A value as the store keeps it, or nothing when it is missing or unreadable.
std::optional<QString> readText(const platform::Key &k, const char *name)
{
    uint32_t type = 0;
    QByteArray data;
    if (!k.isOpen() ||
        platform::readValue(k, QString::fromLatin1(name), &type, &data) != platform::ERROR_SUCCESS)
        return std::nullopt;
    if (type == platform::REG_SZ || type == platform::REG_EXPAND_SZ)
        return platform::dataText(type, data);
    if (type == platform::REG_DWORD && data.size() == 4) {
        int32_t v = 0;
        std::memcpy(&v, data.constData(), 4);
        return QString::number(v);
    }
    return std::nullopt;
}

// A switch: 0 or 1 as a number or a text; anything else is the default.
bool readSwitch(const platform::Key &k, const char *name, int fallback)
{
    const std::optional<QString> v = readText(k, name);
    if (v && (v->trimmed() == u"0" || v->trimmed() == u"1"))
        return v->trimmed() == u"1";
    return fallback != 0;
}
} // namespace

QString defaultClientId()
{
    char name[256] = {};
    ::gethostname(name, sizeof name - 1);
    QString host = QString::fromLocal8Bit(name);
    host.replace(QRegularExpression(QStringLiteral("[^A-Za-z0-9_-]")), QStringLiteral("-"));
    // MQTT 3.1.1 brokers must accept 23 characters; most accept far more.
    return QStringLiteral("kest721-") + host.left(48);
}

QString effectiveClientId(const Settings &s)
{
    return s.clientId.isEmpty() ? defaultClientId() : s.clientId;
}

std::optional<BrokerUrl> parseBrokerUrl(const QString &text, QString *why)
{
    const QString t = text.trimmed();
    if (t.isEmpty()) {
        *why = QStringLiteral("No broker is set (a URL such as mqtt://broker.example:1883).");
        return std::nullopt;
    }
    const QUrl url(t, QUrl::StrictMode);
    // A password must never reach the store; checked before anything else so
    // that no later message repeats the URL.
    if (!url.password().isEmpty() || !url.userName().isEmpty() || t.contains(u'@')) {
        *why = QStringLiteral("The broker URL must not hold a user name or password; give the "
                              "user name with --username and the password in a file "
                              "(--password-file).");
        return std::nullopt;
    }
    if (!url.isValid() || url.host().isEmpty()) {
        *why = QStringLiteral("'%1' is not a broker URL (mqtt://host[:port] or "
                              "mqtts://host[:port]).")
                   .arg(t);
        return std::nullopt;
    }
    BrokerUrl b;
    const QString scheme = url.scheme().toLower();
    if (scheme == u"mqtts")
        b.tls = true;
    else if (scheme != u"mqtt") {
        *why =
            QStringLiteral("The broker URL must begin with mqtt:// or mqtts://, not '%1'.").arg(t);
        return std::nullopt;
    }
    if (!url.path().isEmpty() && url.path() != u"/") {
        *why = QStringLiteral("The broker URL has no path: mqtt://host[:port], not '%1'.").arg(t);
        return std::nullopt;
    }
    if (url.hasQuery() || url.hasFragment()) {
        *why = QStringLiteral("The broker URL takes no query or fragment: '%1'.").arg(t);
        return std::nullopt;
    }
    b.host = url.host();
    b.port = url.port(b.tls ? DefaultTlsPort : DefaultPlainPort);
    if (b.port < 1 || b.port > 65535) {
        *why = QStringLiteral("The broker's port must be from 1 to 65535.");
        return std::nullopt;
    }
    return b;
}

std::optional<QString> readPasswordFile(const QString &path, QString *why)
{
    struct stat st {
    };
    const QByteArray native = QFile::encodeName(path);
    if (::stat(native.constData(), &st) != 0 || !S_ISREG(st.st_mode)) {
        *why = QStringLiteral("The password file %1 does not exist or is not a file.").arg(path);
        return std::nullopt;
    }
    if (st.st_uid != ::getuid() || (st.st_mode & (S_IRWXG | S_IRWXO)) != 0) {
        *why = QStringLiteral("The password file %1 may be read by others; it must belong to you "
                              "and be readable by you alone (chmod 600 %1).")
                   .arg(path);
        return std::nullopt;
    }
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly)) {
        *why =
            QStringLiteral("The password file %1 cannot be read: %2.").arg(path, f.errorString());
        return std::nullopt;
    }
    QByteArray line = f.readLine(4096);
    while (line.endsWith('\n') || line.endsWith('\r'))
        line.chop(1);
    return QString::fromUtf8(line);
}

Settings load()
{
    Settings s;
    platform::Key k;
    platform::openKey(platform::HKEY_CURRENT_USER, key(), platform::KEY_QUERY_VALUE, k);
    s.enabled = readSwitch(k, Enabled, DefaultEnabled);
    s.homeAssistant = readSwitch(k, HomeAssistant, DefaultHomeAssistant);
    auto text = [&](const char *name, QString fallback = {}) {
        return readText(k, name).value_or(fallback).trimmed();
    };
    s.broker = text(Broker);
    s.topicPrefix = text(TopicPrefix, QString::fromLatin1(DefaultTopicPrefix));
    s.clientId = text(ClientId);
    s.username = text(Username);
    s.passwordFile = text(PasswordFile);
    s.caFile = text(CaFile);
    s.certFile = text(CertFile);
    s.keyFile = text(KeyFile);
    return s;
}

bool save(const Settings &s, QString *why)
{
    // A URL with a password is refused before anything is written.
    if (!s.broker.isEmpty() && !parseBrokerUrl(s.broker, why))
        return false;
    platform::Key k;
    platform::Result r =
        platform::createKey(platform::HKEY_CURRENT_USER, key(), platform::KEY_WRITE, k);
    auto dword = [&](const char *name, bool v) {
        if (r != platform::ERROR_SUCCESS)
            return;
        QByteArray d(4, '\0');
        d[0] = v ? 1 : 0;
        r = platform::setValue(k, QString::fromLatin1(name), platform::REG_DWORD, d);
    };
    auto text = [&](const char *name, const QString &v) {
        if (r != platform::ERROR_SUCCESS)
            return;
        QByteArray d;
        platform::parseData(platform::REG_SZ, v, &d);
        r = platform::setValue(k, QString::fromLatin1(name), platform::REG_SZ, d);
    };
    dword(Enabled, s.enabled);
    text(Broker, s.broker);
    text(TopicPrefix, s.topicPrefix);
    text(ClientId, s.clientId);
    text(Username, s.username);
    text(PasswordFile, s.passwordFile);
    text(CaFile, s.caFile);
    text(CertFile, s.certFile);
    text(KeyFile, s.keyFile);
    dword(HomeAssistant, s.homeAssistant);
    if (r != platform::ERROR_SUCCESS) {
        *why = QStringLiteral("The settings cannot be written: %1").arg(platform::resultText(r));
        return false;
    }
    return true;
}

QString check(const Settings &s)
{
    QString why;
    if (!parseBrokerUrl(s.broker, &why))
        return why;
    if (s.topicPrefix.isEmpty() || s.topicPrefix.contains(u'#') || s.topicPrefix.contains(u'+') ||
        s.topicPrefix.startsWith(u'/') || s.topicPrefix.endsWith(u'/'))
        return QStringLiteral("The topic prefix '%1' cannot be used: it needs at least one "
                              "character, no + or #, and no / at either end.")
            .arg(s.topicPrefix);
    if (!s.passwordFile.isEmpty() && !readPasswordFile(s.passwordFile, &why))
        return why;
    if (!s.passwordFile.isEmpty() && s.username.isEmpty())
        return QStringLiteral("A password file needs a user name (--username).");
    if (s.certFile.isEmpty() != s.keyFile.isEmpty())
        return QStringLiteral("A client certificate needs its key, and a key its certificate.");
    for (const QString &f : {s.caFile, s.certFile, s.keyFile})
        if (!f.isEmpty() && !QFile::exists(f))
            return QStringLiteral("The file %1 does not exist.").arg(f);
    return {};
}

} // namespace norvale::assistant
