#pragma once
// What the hosts call the meter's models, as the instrument reports them
// (TYPE_MODEL: 1 for the 720K, 2 for the 720M).
#include <QString>

namespace norvale::host
{

// "720K" or "720M"; empty for a model this program does not know.
QString modelName(int model);

} // namespace norvale::host
