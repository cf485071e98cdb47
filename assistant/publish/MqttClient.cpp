#include "assistant/publish/MqttClient.h"

#include <QByteArray>
#include <QDeadlineTimer>
#include <QFile>
#include <QLoggingCategory>
#include <QMutex>
#include <cerrno>
#include <cstring>
#include <mosquitto.h>
#include <mutex>

Q_LOGGING_CATEGORY(lcMqtt, "norvale.publish.mqtt")

namespace norvale::assistant
{

void initLibrary()
{
    static std::once_flag once;
    std::call_once(once, [] { mosquitto_lib_init(); });
}

void ClientDeleter::operator()(mosquitto *m) const
{
    mosquitto_destroy(m);
}

namespace
{
QString where(const BrokerUrl &url)
{
    return QStringLiteral("%1:%2").arg(url.host).arg(url.port);
}
} // namespace

ClientHandle makeClient(const Settings &s, const QString &clientId, const Message *will,
                        void *userdata, QString *why)
{
    initLibrary();
    const std::optional<BrokerUrl> url = parseBrokerUrl(s.broker, why);
    if (!url)
        return {};
    ClientHandle m(mosquitto_new(clientId.toUtf8().constData(), true, userdata));
    if (!m) {
        *why = QStringLiteral("The MQTT client cannot be created (%1).")
                   .arg(QString::fromLocal8Bit(std::strerror(errno)));
        return {};
    }
    mosquitto_int_option(m.get(), MOSQ_OPT_PROTOCOL_VERSION, MQTT_PROTOCOL_V311);
    if (!s.username.isEmpty()) {
        std::optional<QString> password;
        if (!s.passwordFile.isEmpty() && !(password = readPasswordFile(s.passwordFile, why)))
            return {};
        const QByteArray pw = password ? password->toUtf8() : QByteArray();
        mosquitto_username_pw_set(m.get(), s.username.toUtf8().constData(),
                                  password ? pw.constData() : nullptr);
    }
    if (url->tls) {
        const QByteArray ca = QFile::encodeName(s.caFile);
        const QByteArray cert = QFile::encodeName(s.certFile);
        const QByteArray key = QFile::encodeName(s.keyFile);
        // Without a CA file the system's trusted authorities vouch for the broker.
        const int rc = mosquitto_tls_set(m.get(), ca.isEmpty() ? nullptr : ca.constData(),
                                         ca.isEmpty() ? "/etc/ssl/certs" : nullptr,
                                         cert.isEmpty() ? nullptr : cert.constData(),
                                         key.isEmpty() ? nullptr : key.constData(), nullptr);
        if (rc != MOSQ_ERR_SUCCESS) {
            *why = QStringLiteral("The TLS files cannot be used: %1.")
                       .arg(QString::fromUtf8(mosquitto_strerror(rc)));
            return {};
        }
    }
    if (will) {
        const QByteArray t = will->topic.toUtf8();
        mosquitto_will_set(m.get(), t.constData(), int(will->payload.size()),
                           will->payload.constData(), will->qos, will->retain);
    }
    return m;
}

QString refusal(const BrokerUrl &url, int connackCode)
{
    QString reason;
    switch (connackCode) {
    case 1:
        reason = QStringLiteral("it does not speak this version of MQTT (3.1.1)");
        break;
    case 2:
        reason = QStringLiteral("it rejects the client identifier");
        break;
    case 3:
        reason = QStringLiteral("the broker is unavailable");
        break;
    case 4:
        reason = QStringLiteral("the user name or password is wrong");
        break;
    case 5:
        reason = QStringLiteral("not authorised (check the user name and the password file)");
        break;
    default:
        reason = QStringLiteral("code %1").arg(connackCode);
    }
    return QStringLiteral("The broker at %1 refused the connection: %2.").arg(where(url), reason);
}

QString connectFailure(const BrokerUrl &url, int mosqResult, int errnoValue,
                       const QString &libraryLog)
{
    switch (mosqResult) {
    case MOSQ_ERR_EAI:
        return QStringLiteral("The broker's name '%1' cannot be resolved.").arg(url.host);
    case MOSQ_ERR_TLS:
        if (libraryLog.contains(QLatin1String("certificate verify failed")) ||
            libraryLog.contains(QLatin1String("certificate")))
            return QStringLiteral("The broker's certificate is not trusted: it is not signed by "
                                  "the CA given, or it is made for another name than '%1'.")
                .arg(url.host);
        return QStringLiteral("The TLS handshake with the broker at %1 failed%2.")
            .arg(where(url),
                 libraryLog.isEmpty() ? QString() : QStringLiteral(" (%1)").arg(libraryLog));
    case MOSQ_ERR_ERRNO:
        if (errnoValue == ECONNREFUSED)
            return QStringLiteral("Nothing accepts connections at %1: is the broker running?")
                .arg(where(url));
        if (errnoValue == ETIMEDOUT)
            return QStringLiteral("The broker at %1 did not answer in time.").arg(where(url));
        return QStringLiteral("The connection to %1 failed: %2.")
            .arg(where(url), QString::fromLocal8Bit(std::strerror(errnoValue)));
    case MOSQ_ERR_CONN_LOST:
    case MOSQ_ERR_NO_CONN:
        return QStringLiteral("The broker at %1 closed the connection.").arg(where(url));
    case MOSQ_ERR_KEEPALIVE:
        return QStringLiteral("The broker at %1 stopped answering.").arg(where(url));
    default:
        return QStringLiteral("The connection to %1 failed: %2.")
            .arg(where(url), QString::fromUtf8(mosquitto_strerror(mosqResult)));
    }
}

namespace
{
struct ProbeState {
    QMutex mutex;
    int connack = -1;
    QString lastError;
};

// The library's own error texts (the TLS library's reason among them) are the
// best account of a failed handshake; they never hold the password.
void onLog(mosquitto *, void *userdata, int level, const char *text)
{
    auto *p = static_cast<ProbeState *>(userdata);
    qCDebug(lcMqtt) << text;
    if (level & (MOSQ_LOG_ERR | MOSQ_LOG_WARNING)) {
        QMutexLocker lock(&p->mutex);
        p->lastError = QString::fromUtf8(text);
    }
}

void onConnect(mosquitto *, void *userdata, int rc)
{
    auto *p = static_cast<ProbeState *>(userdata);
    QMutexLocker lock(&p->mutex);
    p->connack = rc;
}
} // namespace

ProbeResult probe(const Settings &s, int timeoutMs)
{
    QString why = check(s);
    if (!why.isEmpty())
        return {ProbeOutcome::Invalid, why};
    const BrokerUrl url = *parseBrokerUrl(s.broker, &why);
    ProbeState state;
    ClientHandle m =
        makeClient(s, effectiveClientId(s) + QStringLiteral("-test"), nullptr, &state, &why);
    if (!m)
        return {ProbeOutcome::Invalid, why};
    mosquitto_log_callback_set(m.get(), onLog);
    mosquitto_connect_callback_set(m.get(), onConnect);
    const QDeadlineTimer deadline(timeoutMs);
    errno = 0;
    int rc = mosquitto_connect_async(m.get(), url.host.toUtf8().constData(), url.port, 30);
    while (rc == MOSQ_ERR_SUCCESS && !deadline.hasExpired()) {
        {
            QMutexLocker lock(&state.mutex);
            if (state.connack >= 0)
                break;
        }
        errno = 0;
        rc = mosquitto_loop(m.get(), 50, 1);
    }
    const int err = errno;
    QMutexLocker lock(&state.mutex);
    if (state.connack == 0) {
        mosquitto_disconnect(m.get());
        return {
            ProbeOutcome::Connected,
            QStringLiteral("Connected to the broker at %1:%2%3.")
                .arg(url.host)
                .arg(url.port)
                .arg(s.username.isEmpty() ? QString() : QStringLiteral(" as %1").arg(s.username))};
    }
    if (state.connack > 0)
        return {ProbeOutcome::Refused, refusal(url, state.connack)};
    if (rc == MOSQ_ERR_SUCCESS)
        return {ProbeOutcome::TimedOut,
                QStringLiteral("The broker at %1:%2 did not answer within %3 s.")
                    .arg(url.host)
                    .arg(url.port)
                    .arg(timeoutMs / 1000.0)};
    const QString sentence = connectFailure(url, rc, err, state.lastError);
    const ProbeOutcome outcome = rc == MOSQ_ERR_EAI ? ProbeOutcome::NotResolved
                                 : rc == MOSQ_ERR_TLS && sentence.contains(QLatin1String("trusted"))
                                     ? ProbeOutcome::NotTrusted
                                     : ProbeOutcome::Failed;
    return {outcome, sentence};
}

} // namespace norvale::assistant
