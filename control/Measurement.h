#pragma once
#include "control/Types.h"

#include <QMetaType>
#include <QString>

namespace norvale::control
{

// One reading: Value x 10^Prefix in the unit Unit; UnitString is the meter's
// own unit or range text ("uR/h", "500 uR/h").
class Measurement {
public:
    double Value = 0;
    TYPE_UNITS Unit = unitUnknown;
    TYPE_PREFIX Prefix = prefixOne;
    QString UnitString;

    // Rescales Value in place to another prefix and returns this reading.
    Measurement &ToPrefix(TYPE_PREFIX prefix);

    bool operator==(const Measurement &) const = default;
};

} // namespace norvale::control

Q_DECLARE_METATYPE(norvale::control::Measurement)
