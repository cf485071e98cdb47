#pragma once
// The one wait of the tests: the event loop runs while a test waits for
// something to happen, up to a bound far beyond any expected wait (a fault,
// not a measure of speed).
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QThread>
#include <functional>

namespace testsupport
{

// Runs the event loop until `done` holds; false if it never does within `limitMs`.
inline bool waitFor(const std::function<bool()> &done, int limitMs = 30000)
{
    QElapsedTimer clock;
    clock.start();
    while (!done()) {
        if (clock.elapsed() > limitMs)
            return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        QThread::msleep(2);
    }
    return true;
}

// Runs the event loop for `ms` milliseconds.
inline void runFor(int ms)
{
    waitFor([] { return false; }, ms);
}

} // namespace testsupport
