#pragma once
// How fast the backlog goes out: a bucket of tokens filled at `ratePerSecond`
// up to `burst`, one token a row; and never so many rows at once that more
// than `window` messages wait for the broker's acknowledgement, so that a live
// reading queues behind at most that many. Pure: the caller gives the clock.
#include <algorithm>
#include <cstdint>

namespace norvale::assistant
{

class Pacer
{
public:
    Pacer(int ratePerSecond, int burst, int window)
        : m_rate(ratePerSecond), m_burst(burst), m_window(window), m_tokens(burst)
    {
    }
    // How many backlog rows may go out at nowMs with inFlight unacknowledged.
    int budget(int64_t nowMs, int inFlight)
    {
        if (m_lastMs >= 0 && nowMs > m_lastMs)
            m_tokens =
                std::min<double>(m_burst, m_tokens + double(nowMs - m_lastMs) * m_rate / 1000.0);
        m_lastMs = std::max(m_lastMs, nowMs);
        return std::max(0, std::min(int(m_tokens), m_window - inFlight));
    }
    void spend(int rows) { m_tokens = std::max(0.0, m_tokens - rows); }

private:
    int m_rate;
    int m_burst;
    int m_window;
    double m_tokens;
    int64_t m_lastMs = -1;
};

} // namespace norvale::assistant
