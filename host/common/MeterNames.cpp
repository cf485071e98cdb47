#include "host/common/MeterNames.h"

#include "control/Types.h"

namespace norvale::host
{

QString modelName(int model)
{
    switch (model) {
    case control::model720K:
        return QStringLiteral("720K");
    case control::model720M:
        return QStringLiteral("720M");
    default:
        break;
    }
    return {};
}

} // namespace norvale::host
