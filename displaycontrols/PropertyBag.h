#pragma once
// The persisted properties of a control in its host's form: named values,
// names matched without regard to case, a value equal to its default not
// stored. The text form is one "Name = value" line per property.
#include <QList>
#include <QString>
#include <QStringList>
#include <QVariant>
#include <utility>

namespace norvale::displaycontrols
{

class PropertyBag
{
public:
    // The stored value of name, or defaultValue when none is stored.
    QVariant ReadProperty(const QString &name, const QVariant &defaultValue = {}) const;
    // Stores value under name, unless it equals defaultValue: then any value
    // stored before is dropped, so that reading gives the default again.
    void WriteProperty(const QString &name, const QVariant &value,
                       const QVariant &defaultValue = {});

    bool contains(const QString &name) const;
    // Names in the order they were first stored.
    QStringList names() const;
    bool isEmpty() const { return m_items.isEmpty(); }

    // Whole numbers (decimal, or &H hexadecimal), decimals and quoted texts.
    QString toText() const;
    // Lines that are not "Name = value" are skipped; ok tells whether any were.
    static PropertyBag fromText(const QString &text, bool *ok = nullptr);

    // A 32-bit colour stored under name; a value that is no whole number in
    // the 32-bit range gives defaultValue.
    uint32_t readColor(const QString &name, uint32_t defaultValue) const;

private:
    qsizetype indexOf(const QString &name) const;
    QList<std::pair<QString, QVariant>> m_items;
};

} // namespace norvale::displaycontrols
