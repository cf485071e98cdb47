#pragma once
#include <QList>
#include <QMetaType>
#include <QString>
#include <QVariant>

namespace norvale::control
{

// One entry of the meter's range table.
struct Range {
    QString Display;      // "500 uR/h"; "No Blink" for the last entry
    int16_t CommandIndex = 0;
    float ScaleNumber = 0; // full scale in ScaleUnits
    QString ScaleUnits;   // "mR/h", "uSv/h", "No Blink"

    bool operator==(const Range &) const = default;
};

// The range table: ordered, addressed by 1-based position or by key.
// Item and Remove throw AutomationError (subscript out of range) for a
// position or key that is not there.
class Ranges {
public:
    Range &Add(const QString &ScaleUnits, float ScaleNumber, int16_t CommandIndex,
               const QString &Display, const QString &sKey = {});
    Range &Item(int position);
    const Range &Item(int position) const;
    Range &Item(const QString &key);
    Range &Item(const QVariant &vntIndexKey);
    int32_t Count() const { return static_cast<int32_t>(m_items.size()); }
    void Remove(const QVariant &vntIndexKey);
    void Clear();

    // For-each support.
    auto begin() const { return m_items.cbegin(); }
    auto end() const { return m_items.cend(); }
    const QList<Range> &items() const { return m_items; }
    QList<Range> &items() { return m_items; }

private:
    int indexOf(const QVariant &vntIndexKey) const;
    QList<Range> m_items;
    QList<QString> m_keys;
};

} // namespace norvale::control

Q_DECLARE_METATYPE(norvale::control::Range)
