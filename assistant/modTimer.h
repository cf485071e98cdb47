#pragma once
// The Assistant's one clock: a 100 ms timer that paces a logging run (one
// RaiseLiveData on its owner per sampling interval), the run length, and the
// millisecond interval and duration tests of the dose integration.
//
// Time comes from a ClockSource and timers from a TimerSource, so that tests
// can drive the clock without waiting.
#include "platform/Clock.h"

#include <QDateTime>
#include <QString>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>

class QTimer;

namespace norvale::assistant::modTimer
{

// What the clock calls at each sampling instant (the Assistant).
class ClockOwner
{
public:
    virtual void RaiseLiveData() = 0;

protected:
    // A clock forgets an owner that goes away.
    virtual ~ClockOwner();
};

// The clock is the platform's; the names stay where the Assistant's code looks for them.
using ClockSource = norvale::platform::ClockSource;
using SystemClockSource = norvale::platform::SystemClockSource;

class TimerSource
{
public:
    virtual ~TimerSource() = default;
    // Starts a repeating timer on this thread; the identifier is never 0.
    virtual int startTimer(int periodMs, std::function<void()> tick) = 0;
    virtual void killTimer(int id) = 0;
    // The ticks of `id` that fall within `ms` from now are not wanted: a source
    // may sleep through them; the ticks after keep their places. By default
    // every tick comes.
    virtual void skipTicks(int id, int ms)
    {
        (void)id;
        (void)ms;
    }
};

// Repeating QTimers of the calling thread.
class QtTimerSource : public TimerSource
{
public:
    QtTimerSource();
    ~QtTimerSource() override;
    int startTimer(int periodMs, std::function<void()> tick) override;
    void killTimer(int id) override;
    void skipTicks(int id, int ms) override;

private:
    class Ticker;
    std::map<int, std::unique_ptr<Ticker>> m_timers;
    int m_nextId = 1;
};

class SamplingClock
{
public:
    static constexpr int TickPeriodMs = 100;

    // Null sources stand for the system's clock and Qt's timers.
    explicit SamplingClock(ClockSource *clock = nullptr, TimerSource *timers = nullptr);
    ~SamplingClock();
    SamplingClock(const SamplingClock &) = delete;
    SamplingClock &operator=(const SamplingClock &) = delete;

    // Whole seconds in, kept in milliseconds; more than fits raises Overflow.
    void SetTimerInterval(int32_t seconds);
    void SetTimerDuration(int32_t seconds);
    int32_t GetTimerInterval() const { return m_intervalMs / 1000; }
    int32_t GetTimerDuration() const { return m_lengthMs / 1000; }

    // Restarts the interval and duration references; with `start`, waits for
    // the next whole second of the wall clock and starts the 100 ms timer. A
    // timer that is already running is stopped first, so a run never has two.
    void RestartTimer(ClockOwner *owner = nullptr, bool start = false);
    // Starts the 100 ms timer again after the next whole second, keeping the
    // references: a run that resumes after a gap keeps its length from its start.
    void ResumeTimer(ClockOwner *owner);
    void StopTimer();
    // One tick of the timer: RaiseLiveData on the owner at a sampling instant.
    void TimerTick();
    // True at a sampling instant (the wall clock's whole seconds).
    bool SampleDue();
    // True when an interval has passed since the restart or since its last true result.
    bool IntervalElapsed();
    // True when strictly more than the run length has passed since the restart.
    bool DurationElapsed();
    // The tick count as an unsigned number of whole seconds.
    int32_t TickSeconds();

    static int64_t UnsignedTicks(int32_t ticks);
    // "1 day 2 hours 1 minute 30 seconds " and the like; empty for 0 and below.
    static QString DurationText(int32_t seconds);

    int timerId() const { return m_timerId; }
    ClockOwner *owner() const { return m_owner; }
    void forgetOwner(const ClockOwner *owner);
    void setSources(platform::ClockSource *clock, TimerSource *timers);

private:
    platform::ClockSource &clock() const;
    void startTicking();
    TimerSource &timers();

    platform::ClockSource *m_clock = nullptr;
    TimerSource *m_timers = nullptr;
    std::unique_ptr<TimerSource> m_ownTimers;
    int m_timerId = 0;
    ClockOwner *m_owner = nullptr;
    int32_t m_intervalMs = 0;
    int32_t m_lengthMs = 0;
    uint32_t m_startTick = 0;
    uint32_t m_lastTick = 0;
    bool m_haveLastTick = false;
    double m_sampleInterval = 0; // seconds
    QDateTime m_lastSample;      // null until the first sampling instant
};

// The process's clock, shared by the logging run and the dose integration.
SamplingClock &clock();
// Replaces the process clock's sources (null: the system's); for tests.
void setClockSources(platform::ClockSource *clockSource, TimerSource *timerSource);

void SetTimerInterval(int32_t seconds);
void SetTimerDuration(int32_t seconds);
int32_t GetTimerInterval();
int32_t GetTimerDuration();
void RestartTimer(ClockOwner *owner = nullptr, bool start = false);
void ResumeTimer(ClockOwner *owner);
void StopTimer();
void TimerTick();
bool SampleDue();
bool IntervalElapsed();
bool DurationElapsed();
int32_t TickSeconds();
int64_t UnsignedTicks(int32_t ticks);
QString DurationText(int32_t seconds);

} // namespace norvale::assistant::modTimer
