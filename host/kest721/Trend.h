#pragma once
// The one-line trend beside kest721 log's progress line: the readings of the
// last minute as Unicode block characters, lowest to highest. Pure, for tests.
#include <QList>
#include <QString>
#include <deque>

namespace norvale::host
{

class Trend
{
public:
    explicit Trend(qint64 windowMs = 60000, int width = 30) : m_windowMs(windowMs), m_width(width)
    {
    }
    // A reading at `ms` (any monotonic clock); older ones fall out of the window.
    void add(qint64 ms, double value);
    // At most `width` characters, one per reading (the newest when there are
    // more), each one of eight heights between the window's lowest and highest.
    QString text() const;

private:
    qint64 m_windowMs;
    int m_width;
    std::deque<std::pair<qint64, double>> m_readings;
};

} // namespace norvale::host
