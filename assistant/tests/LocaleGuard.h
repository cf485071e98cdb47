#pragma once
// Sets the locale that conversions "with the user's locale" use, for one scope.
#include <QLocale>

class LocaleGuard
{
public:
    explicit LocaleGuard(const QLocale &locale) : m_saved(QLocale())
    {
        QLocale::setDefault(locale);
    }
    ~LocaleGuard() { QLocale::setDefault(m_saved); }
    LocaleGuard(const LocaleGuard &) = delete;
    LocaleGuard &operator=(const LocaleGuard &) = delete;

private:
    QLocale m_saved;
};

inline QLocale germanLocale()
{
    return QLocale(QLocale::German, QLocale::Germany);
}

inline QLocale englishLocale()
{
    return QLocale(QLocale::English, QLocale::UnitedStates);
}
