// The range report and the dose line of the reply to "R".
#include "control/Protocol.h"

#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QString reply = QString::fromLatin1(reinterpret_cast<const char *>(data), static_cast<qsizetype>(size));
    if (const auto table = norvale::control::ParseRangeReport(reply)) {
        for (const norvale::control::Range &r : *table)
            if (r.CommandIndex < 0 || r.CommandIndex > 9)
                std::abort(); // the index is one digit
    }
    norvale::control::ParseDose(reply);
    return 0;
}
