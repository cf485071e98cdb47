#include "assistant/dbus/Kest721DBusTypes.h"

#include "control/dbus/Kest720DBusTypes.h"

#include <QDBusMetaType>

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

void norvale::assistant::registerTypes()
{
    norvale::control::registerTypes();
    qDBusRegisterMetaType<ControlReference>();
    qDBusRegisterMetaType<PromptInfo>();
    qDBusRegisterMetaType<PromptList>();
}
