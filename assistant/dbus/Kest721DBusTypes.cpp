#include "assistant/dbus/Kest721DBusTypes.h"

#include "control/dbus/Kest720DBusTypes.h"

#include <QDBusMetaType>

namespace norvale::assistant
{

QDBusArgument &operator<<(QDBusArgument &arg, const ControlReference &c)
{
    arg.beginStructure();
    arg << c.service << c.path;
    arg.endStructure();
    return arg;
}

const QDBusArgument &operator>>(const QDBusArgument &arg, ControlReference &c)
{
    arg.beginStructure();
    arg >> c.service >> c.path;
    arg.endStructure();
    return arg;
}

QDBusArgument &operator<<(QDBusArgument &arg, const PromptInfo &p)
{
    arg.beginStructure();
    arg << p.id << p.title << p.text << p.buttons;
    arg.endStructure();
    return arg;
}

const QDBusArgument &operator>>(const QDBusArgument &arg, PromptInfo &p)
{
    arg.beginStructure();
    arg >> p.id >> p.title >> p.text >> p.buttons;
    arg.endStructure();
    return arg;
}

void registerTypes()
{
    norvale::control::registerTypes();
    qDBusRegisterMetaType<ControlReference>();
    qDBusRegisterMetaType<PromptInfo>();
    qDBusRegisterMetaType<PromptList>();
}

} // namespace norvale::assistant
