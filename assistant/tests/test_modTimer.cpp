#include "platform/AutomationError.h"
#include "assistant/modTimer.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <gtest/gtest.h>
#include <map>
#include <stdexcept>

using namespace norvale::assistant::modTimer;

namespace
{

// A wall clock and tick count that move only when the test says so.
struct FakeClock : ClockSource {
    QDateTime now;
    uint32_t tick;
    FakeClock(QDateTime t, uint32_t k) : now(std::move(t)), tick(k) {}
    uint32_t tickCount() override { return tick; }
    QDateTime currentDateTime() override { return now; }
    void sleep(int ms) override { advance(ms); }
    void advance(int ms) { now = now.addMSecs(ms), tick += uint32_t(ms); }
};

// Timers that tick when the test advances time.
struct FakeTimers : TimerSource {
    std::map<int, std::function<void()>> running;
    int next = 7, period = 0, started = 0;
    int startTimer(int periodMs, std::function<void()> tick) override
    {
        period = periodMs, ++started;
        running.emplace(next, std::move(tick));
        return next++;
    }
    void killTimer(int id) override { running.erase(id); }
    QList<int> skips; // what the clock said it need not be woken for
    void skipTicks(int, int ms) override { skips << ms; }
    void fire()
    {
        for (auto &[id, tick] : decltype(running)(running))
            tick();
    }
};

// Notes the wall-clock time of every sample; a failing one throws after noting.
struct Owner : ClockOwner {
    FakeClock *clock;
    QStringList instants;
    bool failing = false;
    explicit Owner(FakeClock *c) : clock(c) {}
    void RaiseLiveData() override
    {
        instants << clock->now.toString("hh:mm:ss.zzz");
        if (failing)
            throw std::runtime_error("host went away");
    }
};

QDateTime at(const char *time)
{
    return QDateTime(QDate(2026, 3, 14),
                     QTime::fromString(QString::fromLatin1(time), "hh:mm:ss.zzz"), Qt::UTC);
}

// A sampling clock on the fake clock and timers, with an owner that records.
struct Rig {
    FakeClock clock;
    FakeTimers timers;
    SamplingClock sc{&clock, &timers};
    Owner owner{&clock};
    Rig(const char *time, uint32_t tick) : clock(at(time), tick) {}
    // Lets the clock run for `ms` milliseconds of 100 ms ticks.
    void run(int ms)
    {
        for (int t = 0; t < ms; t += SamplingClock::TickPeriodMs) {
            clock.advance(SamplingClock::TickPeriodMs);
            timers.fire();
        }
    }
};

} // namespace

TEST(ModTimer, StartsOnTheNextWholeSecondAndSamplesOncePerInterval)
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
        Rig r("12:00:00.750", 1000);
        r.sc.SetTimerInterval(c.intervalSeconds);
        r.sc.RestartTimer(&r.owner, true);
        EXPECT_EQ(r.clock.now, at("12:00:01.000")) << c.legend << ": starts on a whole second";
        EXPECT_EQ(r.timers.period, 100) << c.legend;
        r.run(c.runMs);
        EXPECT_EQ(r.owner.instants, c.expected) << c.legend;
    }
}

TEST(ModTimer, ALaterRunSamplesAtOnceWhenAnIntervalHasPassed)
{
    Rig r("08:30:00.000", 1000);
    r.sc.SetTimerInterval(2);
    r.sc.RestartTimer(&r.owner, true);
    r.run(4000);
    ASSERT_EQ(r.owner.instants.size(), 2);
    r.sc.StopTimer();
    r.run(5000);
    EXPECT_EQ(r.owner.instants.size(), 2) << "a stopped clock sampled";
    r.sc.RestartTimer(&r.owner, true);
    r.run(100);
    EXPECT_EQ(r.owner.instants.size(), 3) << "the first tick of a later run samples at once";
}

TEST(ModTimer, AResumedRunStartsOnAWholeSecondAndKeepsItsLengthFromItsStart)
{
    Rig r("09:00:00.000", 5000);
    r.sc.SetTimerInterval(1);
    r.sc.SetTimerDuration(10);
    r.sc.RestartTimer(&r.owner, true);
    r.run(3000);
    r.sc.StopTimer(); // the link is lost
    r.clock.advance(4450);
    const QStringList before = r.owner.instants;
    r.sc.ResumeTimer(&r.owner);
    EXPECT_EQ(r.clock.now, at("09:00:09.000"));
    EXPECT_EQ(r.timers.running.size(), 1u);
    r.run(2000);
    // The first tick samples at once: an interval has long passed.
    const QStringList after{"09:00:09.100", "09:00:10.000", "09:00:11.000"};
    EXPECT_EQ(r.owner.instants, before + after);
    EXPECT_FALSE(r.sc.DurationElapsed());
    r.run(1100);
    EXPECT_TRUE(r.sc.DurationElapsed()) << "the gap counts in the run's length";
}

TEST(ModTimer, RunLengthIsStrictlyExceededAcrossTheWrap)
{
    struct Case {
        const char *legend;
        uint32_t startTick;
        int32_t lengthSeconds;
        int advanceMs;
        bool elapsed;
    };
    const Case cases[] = {
        {"exactly the length is not past it", 123456, 60, 60000, false},
        {"a millisecond more is", 123456, 60, 60001, true},
        {"across the 32-bit wrap, not yet", 0xFFFFFC18u, 2, 1500, false},
        {"across the 32-bit wrap, past", 0xFFFFFC18u, 1, 1500, true},
        {"across the signed overflow, not yet", 0x7FFFFF00u, 60, 30000, false},
        {"across the signed overflow, past", 0x7FFFFF00u, 20, 30000, true},
        {"length of 24 days", 0xF0000000u, 24 * 86400, 24 * 86400 * 1000, false},
    };
    for (const Case &c : cases) {
        Rig r("00:00:00.000", c.startTick);
        r.sc.SetTimerDuration(c.lengthSeconds);
        r.sc.SetTimerInterval(1);
        r.sc.RestartTimer();
        EXPECT_EQ(r.timers.started, 0) << c.legend << ": a restart without the start flag";
        r.clock.advance(c.advanceMs);
        EXPECT_EQ(r.sc.DurationElapsed(), c.elapsed) << c.legend;
        EXPECT_TRUE(r.sc.IntervalElapsed()) << c.legend;
    }
}

TEST(ModTimer, IntervalElapsedRestartsItsInterval)
{
    Rig r("00:00:00.000", 0xFFFFFF00u);
    r.sc.SetTimerInterval(1);
    EXPECT_FALSE(r.sc.IntervalElapsed()) << "the first call only notes the time";
    for (const bool e : {false, false, true, false, false, true}) {
        r.clock.advance(400);
        EXPECT_EQ(r.sc.IntervalElapsed(), e);
    }
    r.sc.SetTimerInterval(0);
    EXPECT_TRUE(r.sc.IntervalElapsed()) << "an interval of 0 has always passed";
}

TEST(ModTimer, SecondsAndTicksAsUnsignedNumbers)
{
    struct Case {
        int32_t ticks;
        int64_t unsignedTicks;
    };
    const Case cases[] = {{1000, 1000}, {INT32_MIN, 2147483648LL}, {-1, 4294967295LL}};
    for (const Case &c : cases)
        EXPECT_EQ(SamplingClock::UnsignedTicks(c.ticks), c.unsignedTicks) << c.ticks;

    Rig r("00:00:00.000", 0xFFFFFFFFu);
    EXPECT_EQ(r.sc.TickSeconds(), 4294967);
    r.clock.advance(1001);
    EXPECT_EQ(r.sc.TickSeconds(), 1);
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
        {61, "1 minute 1 second "},
        {7200, "2 hours "},
        {90061, "1 day 1 hour 1 minute 1 second "},
        {2 * 86400 + 2 * 3600 + 2 * 60 + 2, "2 days 2 hours 2 minutes 2 seconds "},
        {INT32_MAX, "24855 days 3 hours 14 minutes 7 seconds "},
    };
    for (const Case &c : cases)
        EXPECT_EQ(SamplingClock::DurationText(c.seconds), QString::fromLatin1(c.text)) << c.seconds;
}

TEST(ModTimer, SettersRefuseWhatCannotBeCountedInMilliseconds)
{
    SamplingClock c;
    c.SetTimerInterval(5);
    EXPECT_NO_THROW(c.SetTimerDuration(2147483)) << "the longest that can";
    try {
        c.SetTimerInterval(2147484);
        ADD_FAILURE() << "no overflow";
    } catch (const norvale::platform::AutomationError &e) {
        EXPECT_EQ(e.number(), 6);
    }
    EXPECT_EQ(c.GetTimerInterval(), 5) << "a refused value changed the interval";
}

TEST(ModTimer, StoppingTwiceAndRestartingLeaveOneTimer)
{
    Rig r("09:00:00.500", 1);
    r.sc.RestartTimer(&r.owner, true);
    r.sc.RestartTimer(&r.owner, true); // a second StartLog during a run
    EXPECT_EQ(r.timers.running.size(), 1u);
    r.sc.RestartTimer(nullptr, false);
    EXPECT_EQ(r.timers.running.size(), 1u) << "a restart without the start flag stopped the timer";
    EXPECT_EQ(r.sc.owner(), &r.owner) << "no owner given keeps the owner";
    r.sc.StopTimer();
    EXPECT_EQ(r.sc.timerId(), 0);
    r.sc.StopTimer();
    EXPECT_EQ(r.timers.running.size(), 0u);
}

TEST(ModTimer, AFailingOrVanishedOwnerDoesNotStopTheClock)
{
    Rig r("09:00:00.000", 1);
    r.sc.SetTimerInterval(1);
    {
        Owner failing(&r.clock);
        failing.failing = true;
        r.sc.RestartTimer(&failing, true);
        r.run(2000);
        EXPECT_EQ(failing.instants.size(), 2);
    }
    EXPECT_EQ(r.sc.owner(), nullptr);
    r.run(2000); // ticks with no owner
    r.sc.RestartTimer(&r.owner, false);
    r.run(1000);
    EXPECT_EQ(r.owner.instants.size(), 1);
}

TEST(ModTimer, AWallClockSetBackDoesNotStopSampling)
{
    Rig r("09:00:00.000", 1);
    r.sc.SetTimerInterval(1);
    r.sc.RestartTimer(&r.owner, true);
    r.run(2000);
    ASSERT_EQ(r.owner.instants.size(), 2);
    r.clock.now = at("08:00:00.000");
    r.run(3000);
    EXPECT_EQ(r.owner.instants.size(), 5);
}

TEST(ModTimer, TheProcessClockTicksOnARealTimer)
{
    FakeClock clock(at("09:00:00.950"), 1);
    setClockSources(&clock, nullptr);
    Owner owner(&clock);
    SetTimerInterval(0);
    RestartTimer(&owner, true);
    EXPECT_NE(norvale::assistant::modTimer::clock().timerId(), 0);
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

TEST(ModTimer, TicksBeforeTheNextWholeSecondAreNotWanted)
{
    const struct {
        const char *legend;
        int32_t intervalSeconds;
        QList<int> skips;
    } cases[] = {
        {"one second", 1, {900, 800, 1000, 900}},
        {"five seconds", 5, {900, 800, 1000, 900}},
        {"zero: every tick samples", 0, {}},
    };
    for (const auto &c : cases) {
        Rig r("12:00:00.750", 1000); // starts at 12:00:01.000
        r.sc.SetTimerInterval(c.intervalSeconds);
        r.sc.RestartTimer(&r.owner, true);
        for (const char *when : {"12:00:01.100", "12:00:01.200", "12:00:02.000", "12:00:02.100"}) {
            r.clock.now = at(when);
            r.timers.fire();
        }
        EXPECT_EQ(r.timers.skips, c.skips) << c.legend;
    }
    // A shorter interval set during a run may sample before the next second.
    Rig r("12:00:00.750", 1000);
    r.sc.SetTimerInterval(5);
    r.sc.RestartTimer(&r.owner, true);
    r.run(100);
    r.sc.SetTimerInterval(0);
    r.sc.RestartTimer(&r.owner);
    EXPECT_EQ(r.timers.skips, (QList<int>{900, 0}));
}

TEST(ModTimer, QtTimersSleepThroughTheTicksSkippedAndKeepTheOthers)
{
    QtTimerSource timers;
    QElapsedTimer clock;
    clock.start();
    QList<qint64> at;
    int id = 0;
    int skipMs = 450;
    id = timers.startTimer(100, [&] {
        at << clock.elapsed();
        timers.skipTicks(id, skipMs);
    });
    const auto waitForTicks = [&](int n) {
        QElapsedTimer guard;
        guard.start();
        while (at.size() < n && guard.elapsed() < 20000)
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
        return at.size() >= n;
    };
    ASSERT_TRUE(waitForTicks(3));
    for (int i = 1; i < at.size(); ++i)
        EXPECT_GE(at[i] - at[i - 1], 450) << "tick " << i << " came within the ticks skipped";
    // Told between ticks that the next ones are wanted after all, it wakes
    // long before the hour it was told to skip.
    skipMs = 3600 * 1000;
    ASSERT_TRUE(waitForTicks(4));
    timers.skipTicks(id, 0);
    ASSERT_TRUE(waitForTicks(5));
    timers.killTimer(id);
}
