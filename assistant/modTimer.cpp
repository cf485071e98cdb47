#include "assistant/modTimer.h"

#include "assistant/RuntimeError.h"
#include "platform/Ticks.h"

#include <QElapsedTimer>
#include <QLoggingCategory>
#include <QTimer>
#include <algorithm>
#include <set>

Q_LOGGING_CATEGORY(lcTimer, "norvale.modTimer")

namespace norvale::assistant::modTimer
{

namespace
{

// Never destroyed, so that owners that outlive static destruction can still look.
std::set<SamplingClock *> &liveClocks()
{
    static auto *clocks = new std::set<SamplingClock *>;
    return *clocks;
}

int32_t toMilliseconds(int32_t seconds)
{
    const int64_t ms = int64_t(seconds) * 1000;
    if (ms > INT32_MAX || ms < INT32_MIN)
        raiseRuntimeError(errOverflow);
    return int32_t(ms);
}

} // namespace

ClockOwner::~ClockOwner()
{
    for (SamplingClock *c : liveClocks())
        c->forgetOwner(this);
}

// A repeating timer whose ticks fall on a fixed grid (start + n × period of
// the steady clock), armed one tick at a time so that it can sleep through
// ticks nobody wants without moving the ones after.
class QtTimerSource::Ticker : public QTimer
{
public:
    Ticker(int periodMs, std::function<void()> tick) : m_periodMs(periodMs), m_tick(std::move(tick))
    {
        setSingleShot(true);
        setTimerType(Qt::PreciseTimer);
        connect(this, &QTimer::timeout, this, [this] {
            m_fired = m_index;
            m_inTick = true;
            m_tick();
            m_inTick = false;
            if (!m_killed)
                armNext();
        });
        m_origin.start();
        armNext();
    }
    void kill()
    {
        m_killed = true;
        stop();
    }
    void skip(int ms)
    {
        m_notBeforeMs = m_origin.elapsed() + ms;
        // Asked between ticks, the tick armed is armed again.
        if (!m_inTick && !m_killed)
            armNext();
    }

private:
    void armNext()
    {
        const qint64 now = m_origin.elapsed();
        const auto firstAtOrAfter = [this](qint64 ms) {
            return (ms + m_periodMs - 1) / m_periodMs;
        };
        // Ticks missed while the thread was busy are not made up, as with a
        // repeating timer.
        m_index = std::max({m_fired + 1, firstAtOrAfter(now), firstAtOrAfter(m_notBeforeMs)});
        start(static_cast<int>(m_index * m_periodMs - now));
    }

    const qint64 m_periodMs;
    std::function<void()> m_tick;
    QElapsedTimer m_origin;
    qint64 m_index = 0; // of the tick armed, counted from the start
    qint64 m_fired = 0; // of the last tick that came
    qint64 m_notBeforeMs = 0;
    bool m_inTick = false;
    bool m_killed = false;
};

QtTimerSource::QtTimerSource() = default;
QtTimerSource::~QtTimerSource() = default;

int QtTimerSource::startTimer(int periodMs, std::function<void()> tick)
{
    const int id = m_nextId++;
    m_timers.emplace(id, std::make_unique<Ticker>(periodMs, std::move(tick)));
    return id;
}

void QtTimerSource::killTimer(int id)
{
    const auto it = m_timers.find(id);
    if (it == m_timers.end())
        return;
    it->second->kill();
    // The tick that asks to stop may be running inside this very timer's signal.
    it->second.release()->deleteLater();
    m_timers.erase(it);
}

void QtTimerSource::skipTicks(int id, int ms)
{
    const auto it = m_timers.find(id);
    if (it != m_timers.end())
        it->second->skip(ms);
}

SamplingClock::SamplingClock(ClockSource *clock, TimerSource *timers)
    : m_clock(clock), m_timers(timers)
{
    liveClocks().insert(this);
}

SamplingClock::~SamplingClock()
{
    StopTimer();
    liveClocks().erase(this);
}

void SamplingClock::setSources(ClockSource *clock, TimerSource *timers)
{
    StopTimer();
    m_clock = clock;
    m_timers = timers;
}

ClockSource &SamplingClock::clock() const
{
    return m_clock ? *m_clock : norvale::platform::systemClock();
}

TimerSource &SamplingClock::timers()
{
    if (m_timers)
        return *m_timers;
    if (!m_ownTimers)
        m_ownTimers = std::make_unique<QtTimerSource>();
    return *m_ownTimers;
}

void SamplingClock::forgetOwner(const ClockOwner *owner)
{
    if (m_owner == owner)
        m_owner = nullptr;
}

void SamplingClock::SetTimerInterval(int32_t seconds)
{
    m_intervalMs = toMilliseconds(seconds);
}

void SamplingClock::SetTimerDuration(int32_t seconds)
{
    m_lengthMs = toMilliseconds(seconds);
}

void SamplingClock::RestartTimer(ClockOwner *owner, bool start)
{
    if (owner)
        m_owner = owner;
    if (start)
        startTicking();
    m_sampleInterval = m_intervalMs / 1000.0;
    // A shorter interval may sample before the next whole second.
    if (!start && m_timerId != 0)
        timers().skipTicks(m_timerId, 0);
    m_startTick = m_lastTick = clock().tickCount();
    m_haveLastTick = true;
}

void SamplingClock::ResumeTimer(ClockOwner *owner)
{
    m_owner = owner;
    startTicking();
}

void SamplingClock::startTicking()
{
    // Sampling instants fall on whole seconds of the wall clock, so the
    // timer starts just after one.
    ClockSource &c = clock();
    const int second = c.currentDateTime().time().second();
    for (int waited = 0; waited < 1000;) {
        const QTime now = c.currentDateTime().time();
        if (now.second() != second)
            break;
        const int step = qBound(1, 1000 - now.msec(), 1000 - waited);
        c.sleep(step);
        waited += step;
    }
    // Decided: a start while the timer runs replaces it, so that a run
    // never raises its samples twice.
    StopTimer();
    m_timerId = timers().startTimer(TickPeriodMs, [this] { TimerTick(); });
}

void SamplingClock::StopTimer()
{
    if (m_timerId == 0)
        return;
    timers().killTimer(m_timerId);
    m_timerId = 0;
}

void SamplingClock::TimerTick()
{
    const int id = m_timerId;
    try {
        if (SampleDue() && m_owner)
            m_owner->RaiseLiveData();
    } catch (const std::exception &e) {
        // The tick must keep running whatever the owner's event handlers do.
        qCWarning(lcTimer) << "sampling tick failed:" << e.what();
    }
    // Samples fall on whole seconds of the wall clock: the ticks before the
    // next one cannot sample, and need not wake the program (nine in ten).
    // A wall clock set forward meanwhile is noticed at that tick.
    if (m_timerId == id && id != 0 && m_sampleInterval > 0)
        timers().skipTicks(id, 1000 - clock().currentDateTime().time().msec());
}

bool SamplingClock::SampleDue()
{
    QDateTime now = clock().currentDateTime();
    now = now.addMSecs(-now.time().msec()); // whole seconds
    if (m_lastSample.isNull()) {
        m_lastSample = now;
        return false;
    }
    const qint64 seconds = m_lastSample.secsTo(now);
    if (seconds < 0) {
        // The wall clock was set back: count from now rather than stop sampling.
        m_lastSample = now;
        return false;
    }
    if (double(seconds) >= m_sampleInterval) {
        m_lastSample = now;
        return true;
    }
    return false;
}

bool SamplingClock::IntervalElapsed()
{
    const uint32_t now = clock().tickCount();
    if (!m_haveLastTick) {
        m_lastTick = now;
        m_haveLastTick = true;
        return false;
    }
    // Unsigned differences stay right across the wrap of the tick count.
    if (int64_t(platform::ticksSince(m_lastTick, now)) >= m_intervalMs) {
        m_lastTick = now;
        return true;
    }
    return false;
}

bool SamplingClock::DurationElapsed()
{
    return int64_t(platform::ticksSince(m_startTick, clock().tickCount())) > m_lengthMs;
}

int32_t SamplingClock::TickSeconds()
{
    return int32_t(UnsignedTicks(int32_t(clock().tickCount())) / 1000);
}

int64_t SamplingClock::UnsignedTicks(int32_t ticks)
{
    return ticks >= 0 ? int64_t(ticks) : int64_t(ticks) + 4294967296LL;
}

QString SamplingClock::DurationText(int32_t seconds)
{
    QString text;
    int64_t n = seconds;
    const auto part = [&](int64_t unit, const char *one, const char *many) {
        const int64_t count = n / unit;
        if (count >= 1) {
            text += count == 1 ? QLatin1String(one) : QString::number(count) + QLatin1String(many);
            n -= count * unit;
        }
    };
    part(86400, "1 day ", " days ");
    part(3600, "1 hour ", " hours ");
    part(60, "1 minute ", " minutes ");
    part(1, "1 second ", " seconds ");
    return text;
}

namespace
{
std::unique_ptr<SamplingClock> &processClock()
{
    static std::unique_ptr<SamplingClock> c;
    return c;
}
} // namespace

SamplingClock &clock()
{
    auto &c = processClock();
    if (!c)
        c = std::make_unique<SamplingClock>();
    return *c;
}

void setClockSources(ClockSource *clockSource, TimerSource *timerSource)
{
    clock().setSources(clockSource, timerSource);
}

void SetTimerInterval(int32_t seconds)
{
    clock().SetTimerInterval(seconds);
}

void SetTimerDuration(int32_t seconds)
{
    clock().SetTimerDuration(seconds);
}

int32_t GetTimerInterval()
{
    return clock().GetTimerInterval();
}

int32_t GetTimerDuration()
{
    return clock().GetTimerDuration();
}

void RestartTimer(ClockOwner *owner, bool start)
{
    clock().RestartTimer(owner, start);
}

void ResumeTimer(ClockOwner *owner)
{
    clock().ResumeTimer(owner);
}

void StopTimer()
{
    clock().StopTimer();
}

void TimerTick()
{
    clock().TimerTick();
}

bool SampleDue()
{
    return clock().SampleDue();
}

bool IntervalElapsed()
{
    return clock().IntervalElapsed();
}

bool DurationElapsed()
{
    return clock().DurationElapsed();
}

int32_t TickSeconds()
{
    return clock().TickSeconds();
}

int64_t UnsignedTicks(int32_t ticks)
{
    return SamplingClock::UnsignedTicks(ticks);
}

QString DurationText(int32_t seconds)
{
    return SamplingClock::DurationText(seconds);
}

} // namespace norvale::assistant::modTimer
