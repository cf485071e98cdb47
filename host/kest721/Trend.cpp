#include "host/kest721/Trend.h"

#include <algorithm>
#include <cmath>

namespace norvale::host
{

void Trend::add(qint64 ms, double value)
{
    m_readings.emplace_back(ms, value);
    while (!m_readings.empty() && m_readings.front().first <= ms - m_windowMs)
        m_readings.pop_front();
}

QString Trend::text() const
{
    static const char16_t blocks[] = u"\u2581\u2582\u2583\u2584\u2585\u2586\u2587\u2588";
    const size_t n = std::min(m_readings.size(), size_t(m_width));
    if (n == 0)
        return {};
    const auto first = m_readings.end() - std::ptrdiff_t(n);
    double lo = first->second, hi = first->second;
    for (auto it = first; it != m_readings.end(); ++it) {
        lo = std::min(lo, it->second);
        hi = std::max(hi, it->second);
    }
    QString text;
    for (auto it = first; it != m_readings.end(); ++it) {
        // A flat minute sits on the lowest step.
        const int step = hi > lo ? int(std::lround((it->second - lo) / (hi - lo) * 7.0)) : 0;
        text += QChar(blocks[std::clamp(step, 0, 7)]);
    }
    return text;
}

} // namespace norvale::host
