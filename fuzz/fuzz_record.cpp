// One line of the data log, as the download loop cuts it at each LF.
#include "control/Protocol.h"

#include <cmath>
#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QString text = QString::fromLatin1(reinterpret_cast<const char *>(data), static_cast<qsizetype>(size));
    for (const QString &line : text.split(QLatin1Char('\n'))) {
        const QString withLf = line + QLatin1Char('\n');
        norvale::control::IsLogEnd(withLf);
        if (const auto r = norvale::control::ParseDataDownload(withLf))
            if (!std::isfinite(r->value))
                std::abort(); // a record's value is always a finite number
    }
    return 0;
}
