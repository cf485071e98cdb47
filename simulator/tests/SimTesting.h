#pragma once
// What the tests against the simulated meter share: the meter at its fast
// rate, and a wait that runs the event loop meanwhile.
#include "Meter.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QThread>
#include <functional>

namespace sim721::testing
{

// A meter of `model` in `units` that characters cross at once and that reads
// every `readingIntervalMs`, reached as port `port` through `portsFolder`.
inline Options fast(const QString &portsFolder, int port = 1, Model model = Model::K720,
                    Units units = Units::R, int readingIntervalMs = 400)
{
    Options o;
    o.model = model;
    o.units = units;
    o.portNumber = port;
    o.portsFolder = portsFolder;
    o.charMicros = 50;
    o.readingIntervalMs = readingIntervalMs;
    return o;
}

// Runs the event loop until `done` holds; false if it never does within
// `limitMs`, a bound far beyond any expected wait (a fault, not a measure of speed).
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

} // namespace sim721::testing
