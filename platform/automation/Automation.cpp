#include "platform/automation/Automation.h"

namespace norvale::platform
{

QDBusMessage errorReply(const QDBusMessage &call, const AutomationError &e)
{
    return call.createErrorReply(errorName, e.toMessage());
}

AutomationError fromDBusError(const QDBusError &e)
{
    return fromDBusError(e.name(), e.message());
}

AutomationError fromDBusError(const QString &name, const QString &message)
{
    if (name == errorName)
        return AutomationError::fromMessage(message, error::automationError, error::busSource);
    const QString text = message.isEmpty() ? name : message;
    if (name == QLatin1StringView("org.freedesktop.DBus.Error.NoReply") ||
        name == QLatin1StringView("org.freedesktop.DBus.Error.Timeout") ||
        name == QLatin1StringView("org.freedesktop.DBus.Error.TimedOut"))
        return AutomationError(error::callTimedOut, error::busSource,
                               QStringLiteral("The call timed out: %1").arg(text));
    if (name == QLatin1StringView("org.freedesktop.DBus.Error.ServiceUnknown") ||
        name == QLatin1StringView("org.freedesktop.DBus.Error.NameHasNoOwner") ||
        name == QLatin1StringView("org.freedesktop.DBus.Error.Disconnected") ||
        name == QLatin1StringView("org.freedesktop.DBus.Error.UnknownObject") ||
        name == QLatin1StringView("org.freedesktop.DBus.Error.Spawn.ChildExited") ||
        name == QLatin1StringView("org.freedesktop.DBus.Error.Spawn.ChildSignaled"))
        return AutomationError(
            error::serverGone, error::busSource,
            QStringLiteral("The automation server is not available: %1").arg(text));
    return AutomationError(error::automationError, error::busSource,
                           name.isEmpty() ? text : name + QStringLiteral(": ") + text);
}

} // namespace norvale::platform
