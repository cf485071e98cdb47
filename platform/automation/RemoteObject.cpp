#include "platform/automation/RemoteObject.h"

#include <QDBusObjectPath>
#include <QDBusPendingCall>
#include <QDBusPendingCallWatcher>
#include <QDBusVariant>
#include <QEventLoop>

namespace norvale::platform
{

namespace
{
// QDBusConnection::call() in BlockWithGui mode checks for the reply and then
// waits for a signal that is never sent if the reply lands in between; with the
// reply gone, so is the bus's time-out, and the call never returns. A watcher
// made after the call is told of a reply that came first.
QDBusMessage callAndWait(const QDBusConnection &connection, const QDBusMessage &msg,
                         QDBus::CallMode mode, int timeoutMs)
{
    if (mode != QDBus::BlockWithGui)
        return connection.call(msg, mode, timeoutMs);
    QDBusPendingCall pending = connection.asyncCall(msg, timeoutMs);
    if (!pending.isFinished()) {
        QDBusPendingCallWatcher watcher(pending);
        QEventLoop loop;
        QObject::connect(&watcher, &QDBusPendingCallWatcher::finished, &loop, &QEventLoop::quit);
        loop.exec(QEventLoop::ExcludeUserInputEvents);
    }
    pending.waitForFinished();
    return pending.reply();
}
} // namespace

QVariantList replyArguments(const QDBusMessage &reply)
{
    if (reply.type() == QDBusMessage::ErrorMessage)
        throw fromDBusError(reply.errorName(), reply.errorMessage());
    if (reply.type() != QDBusMessage::ReplyMessage)
        throw fromDBusError(QStringLiteral("org.freedesktop.DBus.Error.NoReply"),
                            QStringLiteral("no reply"));
    return reply.arguments();
}

RemoteObject RemoteObject::create(QDBusConnection connection, const QString &serviceName,
                                  int timeoutMs, QDBus::CallMode mode)
{
    if (!connection.isConnected())
        throw fromDBusError(QStringLiteral("org.freedesktop.DBus.Error.Disconnected"),
                            QStringLiteral("not connected to the session bus"));
    QDBusMessage msg = QDBusMessage::createMethodCall(
        serviceName, QStringLiteral("/"), factoryInterface, QStringLiteral("CreateInstance"));
    const QDBusMessage reply = callAndWait(connection, msg, mode, timeoutMs);
    const QVariantList out = replyArguments(reply);
    if (out.size() != 1 || !out.at(0).canConvert<QDBusObjectPath>())
        throw AutomationError(error::automationError, error::busSource,
                              QStringLiteral("CreateInstance gave no object path"));
    return RemoteObject(connection, reply.service(), out.at(0).value<QDBusObjectPath>().path(),
                        timeoutMs, mode);
}

RemoteObject::RemoteObject(QDBusConnection connection, QString service, QString path, int timeoutMs,
                           QDBus::CallMode mode)
    : m_connection(std::move(connection)), m_service(std::move(service)), m_path(std::move(path)),
      m_timeoutMs(timeoutMs), m_mode(mode)
{
}

QVariantList RemoteObject::call(const QString &interface, const QString &member,
                                const QVariantList &args) const
{
    QDBusMessage msg = QDBusMessage::createMethodCall(m_service, m_path, interface, member);
    msg.setArguments(args);
    return replyArguments(callAndWait(m_connection, msg, m_mode, m_timeoutMs));
}

QVariant RemoteObject::property(const QString &interface, const QString &name) const
{
    const QVariantList out = call(propertiesInterface, QStringLiteral("Get"), {interface, name});
    if (out.size() != 1 || !out.at(0).canConvert<QDBusVariant>())
        throw AutomationError(error::automationError, error::busSource,
                              QStringLiteral("Property %1 came back without a value").arg(name));
    return out.at(0).value<QDBusVariant>().variant();
}

void RemoteObject::setProperty(const QString &interface, const QString &name,
                               const QVariant &value) const
{
    call(propertiesInterface, QStringLiteral("Set"),
         {interface, name, QVariant::fromValue(QDBusVariant(value))});
}

void RemoteObject::release() const
{
    call(objectInterface, QStringLiteral("Release"));
}

} // namespace norvale::platform
