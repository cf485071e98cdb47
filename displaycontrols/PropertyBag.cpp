#include "displaycontrols/PropertyBag.h"

#include <QLoggingCategory>
#include <QRegularExpression>

Q_LOGGING_CATEGORY(lcPropertyBag, "norvale.propertybag")

namespace norvale::displaycontrols
{

qsizetype PropertyBag::indexOf(const QString &name) const
{
    for (qsizetype i = 0; i < m_items.size(); ++i)
        if (m_items[i].first.compare(name, Qt::CaseInsensitive) == 0)
            return i;
    return -1;
}

QVariant PropertyBag::ReadProperty(const QString &name, const QVariant &defaultValue) const
{
    const qsizetype i = indexOf(name);
    return i < 0 ? defaultValue : m_items[i].second;
}

void PropertyBag::WriteProperty(const QString &name, const QVariant &value,
                                const QVariant &defaultValue)
{
    const qsizetype i = indexOf(name);
    if (defaultValue.isValid() && value == defaultValue) {
        if (i >= 0)
            m_items.removeAt(i);
        return;
    }
    if (i >= 0)
        m_items[i].second = value;
    else
        m_items.append({name, value});
}

bool PropertyBag::contains(const QString &name) const
{
    return indexOf(name) >= 0;
}

QStringList PropertyBag::names() const
{
    QStringList out;
    for (const auto &item : m_items)
        out << item.first;
    return out;
}

QString PropertyBag::toText() const
{
    QString out;
    for (const auto &[name, value] : m_items) {
        QString v;
        switch (value.typeId()) {
        case QMetaType::Int:
        case QMetaType::UInt:
        case QMetaType::LongLong:
        case QMetaType::ULongLong:
        case QMetaType::Bool:
            v = QString::number(value.toLongLong());
            break;
        case QMetaType::Double:
        case QMetaType::Float:
            v = QString::number(value.toDouble(), 'g', 17);
            if (!v.contains(QLatin1Char('.')) && !v.contains(QLatin1Char('e')))
                v += QStringLiteral(".0");
            break;
        default:
            v = QLatin1Char('"') +
                value.toString().replace(QLatin1Char('"'), QStringLiteral("\"\"")) +
                QLatin1Char('"');
        }
        out += name + QStringLiteral(" = ") + v + QLatin1Char('\n');
    }
    return out;
}

PropertyBag PropertyBag::fromText(const QString &text, bool *ok)
{
    static const QRegularExpression line(
        QStringLiteral(R"(^\s*([A-Za-z_][A-Za-z0-9_]*)\s*=\s*(.*?)\s*$)"));
    static const QRegularExpression hex(QStringLiteral(R"(^&H([0-9A-Fa-f]{1,8})&?$)"));
    PropertyBag bag;
    bool allRead = true;
    for (const QString &raw : text.split(QLatin1Char('\n'))) {
        if (raw.trimmed().isEmpty())
            continue;
        const auto m = line.match(raw);
        bool read = false;
        if (m.hasMatch()) {
            const QString name = m.captured(1), v = m.captured(2);
            bool num = false;
            if (v.size() >= 2 && v.startsWith(QLatin1Char('"')) && v.endsWith(QLatin1Char('"'))) {
                QString inner = v.mid(1, v.size() - 2);
                // A lone quote inside would have ended the text.
                if (!inner.replace(QStringLiteral("\"\""), QString()).contains(QLatin1Char('"'))) {
                    bag.WriteProperty(name,
                                      v.mid(1, v.size() - 2)
                                          .replace(QStringLiteral("\"\""), QStringLiteral("\"")));
                    read = true;
                }
            } else if (const auto h = hex.match(v); h.hasMatch()) {
                bag.WriteProperty(name, static_cast<qlonglong>(h.captured(1).toUInt(&num, 16)));
                read = num;
            } else if (const qlonglong n = v.toLongLong(&num); num) {
                bag.WriteProperty(name, n);
                read = true;
            } else if (const double d = v.toDouble(&num); num) {
                bag.WriteProperty(name, d);
                read = true;
            }
        }
        if (!read) {
            qCWarning(lcPropertyBag) << "skipped a property line that does not read:" << raw;
            allRead = false;
        }
    }
    if (ok)
        *ok = allRead;
    return bag;
}

uint32_t PropertyBag::readColor(const QString &name, uint32_t defaultValue) const
{
    const QVariant v = ReadProperty(name);
    if (!v.isValid())
        return defaultValue;
    bool ok = false;
    const qlonglong n = v.typeId() == QMetaType::QString ? 0 : v.toLongLong(&ok);
    // Colours are stored as signed or unsigned 32-bit numbers.
    if (!ok || n < INT32_MIN || n > UINT32_MAX) {
        qCWarning(lcPropertyBag) << "property" << name << "is not a colour:" << v;
        return defaultValue;
    }
    return static_cast<uint32_t>(n);
}

} // namespace norvale::displaycontrols
