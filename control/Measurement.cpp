#include "control/Measurement.h"

#include <cmath>

namespace norvale::control
{

Measurement &Measurement::ToPrefix(TYPE_PREFIX prefix)
{
    const int32_t exponent = static_cast<int32_t>(Prefix) - static_cast<int32_t>(prefix);
    Value *= std::pow(10.0, exponent);
    Prefix = prefix;
    return *this;
}

} // namespace norvale::control
