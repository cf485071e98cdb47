#include "platform/registry/RegistryData.h"

#include "platform/registry/RegistryStore.h"

#include <QStringList>

namespace norvale::platform
{

namespace
{

struct TypeName {
    uint32_t type;
    const char *name;
};
constexpr TypeName kTypes[] = {
    {REG_NONE, "REG_NONE"},           {REG_SZ, "REG_SZ"},
    {REG_EXPAND_SZ, "REG_EXPAND_SZ"}, {REG_BINARY, "REG_BINARY"},
    {REG_DWORD, "REG_DWORD"},         {REG_DWORD_BIG_ENDIAN, "REG_DWORD_BIG_ENDIAN"},
    {REG_LINK, "REG_LINK"},           {REG_MULTI_SZ, "REG_MULTI_SZ"},
    {REG_QWORD, "REG_QWORD"},
};

bool isHexDigit(QChar c)
{
    const char16_t u = c.unicode();
    return (u >= u'0' && u <= u'9') || (u >= u'a' && u <= u'f') || (u >= u'A' && u <= u'F');
}

} // namespace

QString typeName(uint32_t type)
{
    for (const TypeName &t : kTypes)
        if (t.type == type)
            return QString::fromLatin1(t.name);
    return QStringLiteral("REG_TYPE_%1").arg(type);
}

bool parseType(const QString &text, uint32_t *type)
{
    for (const TypeName &t : kTypes)
        if (text.compare(QLatin1String(t.name), Qt::CaseInsensitive) == 0) {
            *type = t.type;
            return true;
        }
    return false;
}

namespace
{

QString hex(const QByteArray &data)
{
    return QString::fromLatin1(data.toHex(' '));
}

uint32_t le32(const QByteArray &d)
{
    uint32_t v = 0;
    for (int i = 3; i >= 0; --i)
        v = (v << 8) | uint8_t(d[i]);
    return v;
}

QString stripNul(const QByteArray &data)
{
    QByteArray d = data;
    if (d.endsWith('\0'))
        d.chop(1);
    return QString::fromUtf8(d);
}

} // namespace

QString dataText(uint32_t type, const QByteArray &data)
{
    switch (type) {
    case REG_SZ:
    case REG_EXPAND_SZ:
    case REG_LINK:
        return stripNul(data);
    case REG_MULTI_SZ: {
        QByteArray d = data;
        while (d.endsWith('\0'))
            d.chop(1);
        return QString::fromUtf8(d).replace(QChar(0), QLatin1String("\\0"));
    }
    case REG_DWORD:
    case REG_DWORD_BIG_ENDIAN:
        if (data.size() == 4) {
            uint32_t v = le32(data);
            if (type == REG_DWORD_BIG_ENDIAN)
                v = (v >> 24) | ((v >> 8) & 0xFF00) | ((v << 8) & 0xFF0000) | (v << 24);
            return QStringLiteral("0x%1 (%2)").arg(v, 8, 16, QLatin1Char('0')).arg(v);
        }
        return hex(data);
    case REG_QWORD:
        if (data.size() == 8) {
            const uint64_t v = uint64_t(le32(data)) | (uint64_t(le32(data.mid(4))) << 32);
            return QStringLiteral("0x%1 (%2)").arg(v, 16, 16, QLatin1Char('0')).arg(v);
        }
        return hex(data);
    default:
        return hex(data);
    }
}

bool parseData(uint32_t type, const QString &text, QByteArray *data)
{
    data->clear();
    switch (type) {
    case REG_SZ:
    case REG_EXPAND_SZ:
    case REG_LINK:
        *data = text.toUtf8();
        data->append('\0');
        return true;
    case REG_MULTI_SZ:
        for (const QString &item : text.split(QLatin1String("\\0"))) {
            data->append(item.toUtf8());
            data->append('\0');
        }
        data->append('\0');
        return true;
    case REG_DWORD:
    case REG_DWORD_BIG_ENDIAN:
    case REG_QWORD: {
        bool ok = false;
        const QString t = text.trimmed();
        qulonglong v = t.startsWith(QLatin1String("0x"), Qt::CaseInsensitive)
                           ? t.mid(2).toULongLong(&ok, 16)
                           : t.toULongLong(&ok, 10);
        if (!ok && !t.startsWith(QLatin1String("0x"), Qt::CaseInsensitive)) {
            const qlonglong s = t.toLongLong(&ok, 10);
            if (ok && type != REG_QWORD && s < INT32_MIN)
                ok = false;
            v = qulonglong(s);
            if (type != REG_QWORD)
                v &= 0xFFFFFFFFu;
        }
        if (!ok || (type != REG_QWORD && v > 0xFFFFFFFFu))
            return false;
        const int n = type == REG_QWORD ? 8 : 4;
        if (type == REG_DWORD_BIG_ENDIAN)
            for (int i = n - 1; i >= 0; --i)
                data->append(char((v >> (8 * i)) & 0xFF));
        else
            for (int i = 0; i < n; ++i)
                data->append(char((v >> (8 * i)) & 0xFF));
        return true;
    }
    default: {
        QString digits = text;
        digits.remove(QLatin1Char(' ')).remove(QLatin1Char(',')).remove(QLatin1Char(':'));
        if (digits.size() % 2 != 0)
            return false;
        for (QChar c : digits)
            if (!isHexDigit(c))
                return false;
        *data = QByteArray::fromHex(digits.toLatin1());
        return true;
    }
    }
}

} // namespace norvale::platform
