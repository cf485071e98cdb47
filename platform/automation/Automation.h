#pragma once
// Automation on the D-Bus session bus: the names every server and client
// share, and the mapping between AutomationError and D-Bus errors.
//
// A server program owns a well-known name (its programmatic identifier) and
// serves a class factory at "/". Each created object lives at a path of its
// own, belongs to the client that created it, and ends on Release() or when
// that client leaves the bus.
#include "platform/AutomationError.h"

#include <QDBusError>
#include <QDBusMessage>
#include <QString>

namespace norvale::platform
{

inline const QString errorName = QStringLiteral("Norvale.Automation.Error");
inline const QString factoryInterface = QStringLiteral("Norvale.Automation.ClassFactory");
inline const QString objectInterface = QStringLiteral("Norvale.Automation.Object");
inline const QString propertiesInterface = QStringLiteral("org.freedesktop.DBus.Properties");

// Client calls wait this long: the slowest member (Initialize at 1200 baud
// with retries, or a StopLog that has to end a stream) takes well under it.
inline constexpr int callTimeoutMs = 120000;

// Errors that the automation layer raises itself, with the numbers an
// automation client knows them by.
namespace error
{
inline constexpr int32_t typeMismatch = 13;
inline constexpr int32_t permissionDenied = 70;
inline constexpr int32_t notSupported = 438;
inline constexpr int32_t readOnly = 383;
inline constexpr int32_t wrongArguments = 450;
inline constexpr int32_t serverGone = 462;
inline constexpr int32_t automationError = 440;
inline constexpr int32_t callTimedOut = 8300;
// Source of the errors that the bus itself reports to a client.
inline const QString busSource = QStringLiteral("D-Bus");
} // namespace error

// The reply that carries `e` back to the caller of `call`.
QDBusMessage errorReply(const QDBusMessage &call, const AutomationError &e);

// Rebuilds the error a server raised, or turns an error of the bus (server
// gone, no reply, unknown object) into an AutomationError of source "D-Bus".
AutomationError fromDBusError(const QDBusError &e);
AutomationError fromDBusError(const QString &name, const QString &message);

} // namespace norvale::platform
