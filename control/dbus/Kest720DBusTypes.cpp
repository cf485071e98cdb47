#include "control/dbus/Kest720DBusTypes.h"

#include <QDBusMetaType>

namespace norvale::control
{

QDBusArgument &operator<<(QDBusArgument &arg, const Measurement &m)
{
    arg.beginStructure();
    arg << m.Value << static_cast<int32_t>(m.Unit) << static_cast<int32_t>(m.Prefix)
        << m.UnitString;
    arg.endStructure();
    return arg;
}

const QDBusArgument &operator>>(const QDBusArgument &arg, Measurement &m)
{
    int32_t unit = 0;
    int32_t prefix = 0;
    arg.beginStructure();
    arg >> m.Value >> unit >> prefix >> m.UnitString;
    arg.endStructure();
    // Enumerations cross the bus as plain integers; an unknown value is kept as it came.
    m.Unit = static_cast<TYPE_UNITS>(unit);
    m.Prefix = static_cast<TYPE_PREFIX>(prefix);
    return arg;
}

QDBusArgument &operator<<(QDBusArgument &arg, const Range &r)
{
    arg.beginStructure();
    arg << r.Display << r.CommandIndex << static_cast<double>(r.ScaleNumber) << r.ScaleUnits;
    arg.endStructure();
    return arg;
}

const QDBusArgument &operator>>(const QDBusArgument &arg, Range &r)
{
    double scale = 0;
    arg.beginStructure();
    arg >> r.Display >> r.CommandIndex >> scale >> r.ScaleUnits;
    arg.endStructure();
    r.ScaleNumber = static_cast<float>(scale);
    return arg;
}

void registerTypes()
{
    qDBusRegisterMetaType<Measurement>();
    qDBusRegisterMetaType<Range>();
    qDBusRegisterMetaType<RangeList>();
}

RangeList toList(const Ranges &ranges)
{
    return ranges.items();
}

Ranges fromList(const RangeList &list)
{
    Ranges out;
    for (const Range &r : list)
        out.Add(r.ScaleUnits, r.ScaleNumber, r.CommandIndex, r.Display);
    return out;
}

} // namespace norvale::control
