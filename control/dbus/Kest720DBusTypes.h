#pragma once
// How the instrument's value types cross the bus: a Measurement as (diis),
// a Range as (snds), the range table as a(snds).
#include "control/Measurement.h"
#include "control/Ranges.h"

#include <QDBusArgument>
#include <QList>

namespace norvale::control
{
using RangeList = QList<Range>;

// In the namespace of the types they stream, where QtDBus finds them by
// argument-dependent lookup.
QDBusArgument &operator<<(QDBusArgument &arg, const Measurement &m);
const QDBusArgument &operator>>(const QDBusArgument &arg, Measurement &m);
QDBusArgument &operator<<(QDBusArgument &arg, const Range &r);
const QDBusArgument &operator>>(const QDBusArgument &arg, Range &r);

inline const QString serviceName = QStringLiteral("Norvale720.kest720");
inline const QString interfaceName = QStringLiteral("Norvale720._kest720");
inline const QString eventInterfaceName = QStringLiteral("Norvale720.__kest720");

// Registers the types with QtDBus; call before the first call or signal.
void registerTypes();
// The range table as it is sent, and rebuilt from what was received.
RangeList toList(const Ranges &ranges);
Ranges fromList(const RangeList &list);
} // namespace norvale::control
