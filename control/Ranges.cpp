#include "control/Ranges.h"

#include "platform/AutomationError.h"

namespace {
[[noreturn]] void subscriptOutOfRange()
{
    throw norvale::platform::AutomationError(9, QStringLiteral("kest720"),
                                             QStringLiteral("Subscript out of range"));
}
} // namespace

Range &Ranges::Add(const QString &ScaleUnits, float ScaleNumber, int16_t CommandIndex,
                   const QString &Display, const QString &sKey)
{
    if (!sKey.isEmpty() && m_keys.contains(sKey))
        throw norvale::platform::AutomationError(
            457, QStringLiteral("kest720"),
            QStringLiteral("This key is already associated with an "
                           "element of this collection"));
    m_items.append(Range{Display, CommandIndex, ScaleNumber, ScaleUnits});
    m_keys.append(sKey);
    return m_items.last();
}

int Ranges::indexOf(const QVariant &vntIndexKey) const
{
    if (vntIndexKey.typeId() == QMetaType::QString) {
        const QString key = vntIndexKey.toString();
        const int i = key.isEmpty() ? -1 : static_cast<int>(m_keys.indexOf(key));
        if (i < 0)
            subscriptOutOfRange();
        return i;
    }
    bool ok = false;
    const int position = vntIndexKey.toInt(&ok);
    if (!ok || position < 1 || position > m_items.size())
        subscriptOutOfRange();
    return position - 1;
}

Range &Ranges::Item(int position) { return m_items[indexOf(position)]; }
const Range &Ranges::Item(int position) const { return m_items[indexOf(position)]; }
Range &Ranges::Item(const QString &key) { return m_items[indexOf(key)]; }
Range &Ranges::Item(const QVariant &vntIndexKey) { return m_items[indexOf(vntIndexKey)]; }

void Ranges::Remove(const QVariant &vntIndexKey)
{
    const int i = indexOf(vntIndexKey);
    m_items.removeAt(i);
    m_keys.removeAt(i);
}

void Ranges::Clear()
{
    m_items.clear();
    m_keys.clear();
}
