// Typed data of the settings store: whatever bytes a value holds can be shown,
// and every text the store accepts for a type reads back as the same data.
#include "platform/registry/RegistryData.h"
#include "platform/registry/RegistryStore.h"

#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *bytes, size_t size)
{
    using namespace norvale::platform;
    if (size == 0)
        return 0;
    static const uint32_t types[] = {
        REG_NONE, REG_SZ,       REG_EXPAND_SZ, REG_BINARY,  REG_DWORD,  REG_DWORD_BIG_ENDIAN,
        REG_LINK, REG_MULTI_SZ, REG_QWORD,     0x7FFFFFFFu, 0xFFFFFFFFu};
    const uint32_t type = types[bytes[0] % (sizeof types / sizeof *types)];
    const QByteArray raw(reinterpret_cast<const char *>(bytes + 1),
                         static_cast<qsizetype>(size - 1));
    const QString name = typeName(type);
    const bool known = !name.startsWith(QLatin1String("REG_TYPE_"));
    uint32_t named = 0;
    if (parseType(name, &named) != known || (known && named != type))
        std::abort(); // a type's name reads back as the type

    // Stored bytes as the store hands them out.
    dataText(type, raw);

    // The same bytes as a text typed by a user.
    const QString text = QString::fromUtf8(raw);
    QByteArray data;
    if (!parseData(type, text, &data))
        return 0;
    switch (type) {
    case REG_SZ:
    case REG_EXPAND_SZ:
    case REG_LINK:
        if (dataText(type, data) != text)
            std::abort();
        break;
    case REG_DWORD:
    case REG_DWORD_BIG_ENDIAN:
    case REG_QWORD: {
        if (data.size() != (type == REG_QWORD ? 8 : 4))
            std::abort(); // the store refuses numbers of another size
        // "0x0000002a (42)": the hexadecimal part reads back as the same number.
        QByteArray again;
        if (!parseData(type, dataText(type, data).section(QLatin1Char(' '), 0, 0), &again) ||
            again != data)
            std::abort();
        break;
    }
    case REG_MULTI_SZ:
        if (!data.endsWith(QByteArray(2, '\0')))
            std::abort(); // the list ends with an empty text
        break;
    default: {
        QByteArray again;
        if (!parseData(type, dataText(type, data), &again) || again != data)
            std::abort();
    }
    }
    return 0;
}
