#pragma once
// Lets GoogleTest print Qt's strings in failure messages. Force-included into
// every test binary by norvale_add_gtest().
#include <QByteArray>
#include <QString>
#include <QStringList>
#include <ostream>

inline std::ostream &operator<<(std::ostream &os, const QString &s)
{
    return os << '"' << s.toStdString() << '"';
}
inline std::ostream &operator<<(std::ostream &os, const QByteArray &b)
{
    return os << '"' << b.toStdString() << '"';
}
inline void PrintTo(const QString &s, std::ostream *os) { *os << s; }
inline void PrintTo(const QByteArray &b, std::ostream *os) { *os << b; }
inline void PrintTo(const QStringList &list, std::ostream *os)
{
    *os << '{';
    for (qsizetype i = 0; i < list.size(); ++i)
        *os << (i ? ", " : "") << list[i];
    *os << '}';
}
