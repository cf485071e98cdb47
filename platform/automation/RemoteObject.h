#pragma once
// The client side of one automation object: creation through the class
// factory of a server, calls and property access with time-outs that fit the
// slowest member, errors rebuilt as AutomationError, and Release.
#include "platform/automation/Automation.h"

#include <QDBusConnection>
#include <QString>
#include <QVariant>

namespace norvale::platform
{

class RemoteObject
{
public:
    // Asks the server named `serviceName` (started by the bus if needed) for a
    // new object. Throws AutomationError when that fails.
    // `mode` is how a call waits: QDBus::Block runs nothing else meanwhile;
    // BlockWithGui runs the event loop (needed when the server is in the same
    // thread, and lets events arrive during a call).
    static RemoteObject create(QDBusConnection connection, const QString &serviceName,
                               int timeoutMs = callTimeoutMs, QDBus::CallMode mode = QDBus::Block);

    RemoteObject(QDBusConnection connection, QString service, QString path,
                 int timeoutMs = callTimeoutMs, QDBus::CallMode mode = QDBus::Block);

    // The unique bus name of the server process that holds the object: calls
    // go there, so that a server that has gone is reported as gone rather than
    // started afresh without the object.
    const QString &service() const { return m_service; }
    const QString &path() const { return m_path; }
    QDBusConnection connection() const { return m_connection; }
    int timeoutMs() const { return m_timeoutMs; }
    QDBus::CallMode callMode() const { return m_mode; }

    // Each throws AutomationError with the server's error, or with an error
    // of source "D-Bus" when the bus could not deliver the call.
    QVariantList call(const QString &interface, const QString &member,
                      const QVariantList &args = {}) const;
    QVariant property(const QString &interface, const QString &name) const;
    void setProperty(const QString &interface, const QString &name, const QVariant &value) const;
    void release() const;

private:
    QDBusConnection m_connection;
    QString m_service;
    QString m_path;
    int m_timeoutMs;
    QDBus::CallMode m_mode;
};

// The arguments of a reply, or its error thrown as AutomationError.
QVariantList replyArguments(const QDBusMessage &reply);

} // namespace norvale::platform
