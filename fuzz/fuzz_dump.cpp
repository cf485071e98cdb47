// The memory monitor's dump reply; the first four bytes are the address.
#include "platform/AutomationError.h"
#include "control/Protocol.h"

#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 4)
        return 0;
    const QString address = QString::fromLatin1(reinterpret_cast<const char *>(data), 4);
    const QString reply = QString::fromLatin1(reinterpret_cast<const char *>(data + 4), static_cast<qsizetype>(size - 4));
    QStringList bytes{QString()};
    proto::ParseMemoryDump(address, reply, bytes);
    for (const QString &b : bytes) {
        try {
            proto::HexToInt(b);
        } catch (const norvale::platform::AutomationError &) {
        }
    }
    return 0;
}
