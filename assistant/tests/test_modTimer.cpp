#include "AutomationError.h"
#include "modTimer.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <gtest/gtest.h>
#include <map>
#include <stdexcept>

using namespace norvale::modTimer;

namespace
{

// A wall clock and tick count that move only when the test says so.
class FakeClock : public ClockSource
{
public:
    FakeClock(QDateTime now, uint32_t tick) : m_now(std::move(now)), m_tick(tick) {}
    uint32_t tickCount() override { return m_tick; }
    QDateTime currentDateTime() override { return m_now; }
    void sleep(int ms) override
    {
        slept += ms;
        advance(ms);
    }
    void advance(int ms)
    {
        m_now = m_now.addMSecs(ms);
        m_tick += uint32_t(ms);
    }
    void setWallClock(const QDateTime &t) { m_now = t; }
    const QDateTime &now() const { return m_now; }
    int slept = 0;

private:
    QDateTime m_now;
    uint32_t m_tick;
};

// Timers that tick when the test advances time.
class FakeTimers : public TimerSource
{
public:
    int startTimer(int periodMs, std::function<void()> tick) override
    {
        period = periodMs;
        m_running.emplace(m_next, std::move(tick));
        ++started;
        return m_next++;
    }
    void killTimer(int id) override { m_running.erase(id); }
    size_t running() const { return m_running.size(); }
    void fire()
    {
        auto copy = m_running;
        for (auto &[id, tick] : copy)
            tick();
    }
    int period = 0;
    int started = 0;

private:
    std::map<int, std::function<void()>> m_running;
    int m_next = 7;
};

class Owner : public ClockOwner
{
public:
    explicit Owner(FakeClock *clock) : m_clock(clock) {}
    ~Owner() override = default;
    void RaiseLiveData() override
    {
        instants << m_clock->now();
        if (failing)
            throw std::runtime_error("host went away");
    }
    QList<QDateTime> instants;
    bool failing = false;

private:
    FakeClock *m_clock;
};

QDateTime at(const char *time)
{
    return QDateTime(QDate(2026, 3, 14),
                     QTime::fromString(QString::fromLatin1(time), "hh:mm:ss.zzz"), Qt::UTC);
}

// Lets the clock run for `ms` milliseconds of 100 ms ticks.
void run(FakeClock &clock, FakeTimers &timers, int ms)
{
    for (int t = 0; t < ms; t += SamplingClock::TickPeriodMs) {
        clock.advance(SamplingClock::TickPeriodMs);
        timers.fire();
    }
}

QStringList times(const QList<QDateTime> &list)
{
    QStringList out;
    for (const QDateTime &t : list)
        out << t.toString("hh:mm:ss.zzz");
    return out;
}

} // namespace

TEST(ModTimer, StartsOnTheNextWholeSecond)
{
    FakeClock clock(at("12:00:00.400"), 5000);
    FakeTimers timers;
    SamplingClock c(&clock, &timers);
    Owner owner(&clock);
    c.RestartTimer(&owner, true);
    EXPECT_EQ(clock.now(), at("12:00:01.000"));
    EXPECT_EQ(timers.running(), 1u);
    EXPECT_EQ(timers.period, 100);
    EXPECT_NE(c.timerId(), 0);
    EXPECT_EQ(c.owner(), &owner);
}

TEST(ModTimer, SamplesOncePerIntervalOnWholeSeconds)
{
    struct Case {
        const char *legend;
        int32_t intervalSeconds;
        int runMs;
        QStringList expected;
    };
    const Case cases[] = {
        {"one second", 1, 3000, {"12:00:02.000", "12:00:03.000", "12:00:04.000"}},
        {"two seconds", 2, 5000, {"12:00:03.000", "12:00:05.000"}},
        {"zero: every tick after the first",
         0,
         500,
         {"12:00:01.200", "12:00:01.300", "12:00:01.400", "12:00:01.500"}},
        {"longer than the run", 10, 3000, {}},
    };
    for (const Case &c : cases) {
        FakeClock clock(at("12:00:00.750"), 1000);
        FakeTimers timers;
        SamplingClock sc(&clock, &timers);
        Owner owner(&clock);
        sc.SetTimerInterval(c.intervalSeconds);
        sc.RestartTimer(&owner, true);
        run(clock, timers, c.runMs);
        EXPECT_EQ(times(owner.instants), c.expected) << c.legend;
    }
}

TEST(ModTimer, ALaterRunSamplesAtOnceWhenAnIntervalHasPassed)
{
    FakeClock clock(at("08:30:00.000"), 1000);
    FakeTimers timers;
    SamplingClock c(&clock, &timers);
    Owner owner(&clock);
    c.SetTimerInterval(2);
    c.RestartTimer(&owner, true);
    run(clock, timers, 4000);
    ASSERT_EQ(owner.instants.size(), 2);
    c.StopTimer();
    EXPECT_EQ(timers.running(), 0u);
    run(clock, timers, 5000);
    EXPECT_EQ(owner.instants.size(), 2) << "a stopped clock sampled";
    c.RestartTimer(&owner, true);
    run(clock, timers, 100);
    EXPECT_EQ(owner.instants.size(), 3) << "the first tick of a later run samples at once";
}

TEST(ModTimer, RunLengthIsStrictlyExceeded)
{
    FakeClock clock(at("10:00:00.000"), 123456);
    FakeTimers timers;
    SamplingClock c(&clock, &timers);
    c.SetTimerDuration(60);
    c.RestartTimer();
    EXPECT_EQ(timers.started, 0) << "a restart without the start flag started a timer";
    clock.advance(60000);
    EXPECT_FALSE(c.DurationElapsed());
    clock.advance(1);
    EXPECT_TRUE(c.DurationElapsed());
}

TEST(ModTimer, TickDifferencesSurviveTheWrap)
{
    struct Case {
        const char *legend;
        uint32_t startTick;
        int32_t lengthSeconds;
        int advanceMs;
        bool elapsed;
    };
    const Case cases[] = {
        {"across the 32-bit wrap, not yet", 0xFFFFFC18u, 2, 1500, false},
        {"across the 32-bit wrap, past", 0xFFFFFC18u, 1, 1500, true},
        {"across the signed overflow, not yet", 0x7FFFFF00u, 60, 30000, false},
        {"across the signed overflow, past", 0x7FFFFF00u, 20, 30000, true},
        {"length of 24 days", 0xF0000000u, 24 * 86400, 24 * 86400 * 1000, false},
    };
    for (const Case &c : cases) {
        FakeClock clock(at("00:00:00.000"), c.startTick);
        FakeTimers timers;
        SamplingClock sc(&clock, &timers);
        sc.SetTimerDuration(c.lengthSeconds);
        sc.SetTimerInterval(1);
        sc.RestartTimer();
        clock.advance(c.advanceMs);
        EXPECT_EQ(sc.DurationElapsed(), c.elapsed) << c.legend;
        EXPECT_TRUE(sc.IntervalElapsed()) << c.legend;
    }
}

TEST(ModTimer, IntervalElapsedRestartsItsInterval)
{
    FakeClock clock(at("00:00:00.000"), 0xFFFFFF00u);
    FakeTimers timers;
    SamplingClock c(&clock, &timers);
    c.SetTimerInterval(1);
    EXPECT_FALSE(c.IntervalElapsed()) << "the first call only notes the time";
    const bool expected[] = {false, false, true, false, false, true};
    for (const bool e : expected) {
        clock.advance(400);
        EXPECT_EQ(c.IntervalElapsed(), e);
    }
    c.SetTimerInterval(0);
    EXPECT_TRUE(c.IntervalElapsed()) << "an interval of 0 has always passed";
}

TEST(ModTimer, SecondsAndTicksAsUnsignedNumbers)
{
    struct Case {
        int32_t ticks;
        int64_t unsignedTicks;
    };
    const Case cases[] = {{0, 0},
                          {1000, 1000},
                          {INT32_MAX, 2147483647LL},
                          {INT32_MIN, 2147483648LL},
                          {-1, 4294967295LL}};
    for (const Case &c : cases)
        EXPECT_EQ(SamplingClock::UnsignedTicks(c.ticks), c.unsignedTicks) << c.ticks;

    FakeClock clock(at("00:00:00.000"), 0xFFFFFFFFu);
    SamplingClock c(&clock, nullptr);
    EXPECT_EQ(c.TickSeconds(), 4294967);
    clock.advance(1001);
    EXPECT_EQ(c.TickSeconds(), 1);
}

TEST(ModTimer, DurationText)
{
    struct Case {
        int32_t seconds;
        const char *text;
    };
    const Case cases[] = {
        {0, ""},
        {-5, ""},
        {1, "1 second "},
        {30, "30 seconds "},
        {60, "1 minute "},
        {61, "1 minute 1 second "},
        {3600, "1 hour "},
        {3661, "1 hour 1 minute 1 second "},
        {7200, "2 hours "},
        {86400, "1 day "},
        {90061, "1 day 1 hour 1 minute 1 second "},
        {2 * 86400 + 2 * 3600 + 2 * 60 + 2, "2 days 2 hours 2 minutes 2 seconds "},
        {INT32_MAX, "24855 days 3 hours 14 minutes 7 seconds "},
    };
    for (const Case &c : cases)
        EXPECT_EQ(SamplingClock::DurationText(c.seconds), QString::fromLatin1(c.text)) << c.seconds;
}

TEST(ModTimer, SettersKeepWholeSecondsAndRefuseOverflow)
{
    SamplingClock c;
    c.SetTimerInterval(5);
    c.SetTimerDuration(2147483);
    EXPECT_EQ(c.GetTimerInterval(), 5);
    EXPECT_EQ(c.GetTimerDuration(), 2147483);
    try {
        c.SetTimerInterval(2147484);
        ADD_FAILURE() << "no overflow";
    } catch (const norvale::AutomationError &e) {
        EXPECT_EQ(e.number(), 6);
    }
    EXPECT_EQ(c.GetTimerInterval(), 5) << "a refused value changed the interval";
}

TEST(ModTimer, StoppingTwiceAndRestartingLeaveOneTimer)
{
    FakeClock clock(at("09:00:00.500"), 1);
    FakeTimers timers;
    SamplingClock c(&clock, &timers);
    Owner owner(&clock);
    c.RestartTimer(&owner, true);
    c.RestartTimer(&owner, true); // a second StartLog during a run
    EXPECT_EQ(timers.running(), 1u);
    c.RestartTimer(nullptr, false);
    EXPECT_EQ(timers.running(), 1u) << "a restart without the start flag stopped the timer";
    EXPECT_EQ(c.owner(), &owner) << "no owner given keeps the owner";
    c.StopTimer();
    EXPECT_EQ(c.timerId(), 0);
    c.StopTimer();
    EXPECT_EQ(timers.running(), 0u);
}

TEST(ModTimer, AFailingOrVanishedOwnerDoesNotStopTheClock)
{
    FakeClock clock(at("09:00:00.000"), 1);
    FakeTimers timers;
    SamplingClock c(&clock, &timers);
    c.SetTimerInterval(1);
    {
        Owner failing(&clock);
        failing.failing = true;
        c.RestartTimer(&failing, true);
        run(clock, timers, 2000);
        EXPECT_EQ(failing.instants.size(), 2);
    }
    EXPECT_EQ(c.owner(), nullptr);
    run(clock, timers, 2000); // ticks with no owner
    Owner next(&clock);
    c.RestartTimer(&next, false);
    run(clock, timers, 1000);
    EXPECT_EQ(next.instants.size(), 1);
}

TEST(ModTimer, AWallClockSetBackDoesNotStopSampling)
{
    FakeClock clock(at("09:00:00.000"), 1);
    FakeTimers timers;
    SamplingClock c(&clock, &timers);
    Owner owner(&clock);
    c.SetTimerInterval(1);
    c.RestartTimer(&owner, true);
    run(clock, timers, 2000);
    ASSERT_EQ(owner.instants.size(), 2);
    clock.setWallClock(at("08:00:00.000"));
    run(clock, timers, 3000);
    EXPECT_EQ(owner.instants.size(), 5);
}

TEST(ModTimer, TheProcessClockTicksOnARealTimer)
{
    FakeClock clock(at("09:00:00.950"), 1);
    setClockSources(&clock, nullptr);
    Owner owner(&clock);
    SetTimerInterval(0);
    RestartTimer(&owner, true);
    EXPECT_NE(norvale::modTimer::clock().timerId(), 0);
    // Real 100 ms ticks; the fake wall clock moves a second per tick.
    QElapsedTimer guard;
    guard.start();
    while (owner.instants.size() < 2 && guard.elapsed() < 10000) {
        clock.advance(1000);
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    }
    StopTimer();
    EXPECT_GE(owner.instants.size(), 2);
    setClockSources(nullptr, nullptr);
}
