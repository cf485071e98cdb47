#pragma once
// The one wait of the tests: the event loop runs while a test waits for
// something to happen, up to a bound far beyond any expected wait (a fault,
// not a measure of speed).
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QTimer>
#include <functional>

namespace testsupport
{

// Runs the event loop until `done` holds; false if it never does within
// `limitMs`. The loop sleeps until an event comes; a condition that another
// thread changes (the simulated meter's) sends no event here, so a coarse
// timer looks again every few milliseconds.
inline bool waitFor(const std::function<bool()> &done, int limitMs = 30000)
{
    if (done())
        return true;
    QElapsedTimer clock;
    clock.start();
    QTimer look;
    look.start(5);
    while (!done()) {
        if (clock.elapsed() > limitMs)
            return false;
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    }
    return true;
}

// Runs the event loop for `ms` milliseconds.
inline void runFor(int ms)
{
    waitFor([] { return false; }, ms);
}

} // namespace testsupport
