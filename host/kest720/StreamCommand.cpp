// kest720-cli stream SECONDS: live readings as CSV.
#include "host/kest720/Commands.h"

#include "platform/automation/Automation.h"

#include <QElapsedTimer>
#include <QTimer>

namespace norvale::host
{

using platform::AutomationError;

// Readings are time-stamped from the first one, and the run lasts SECONDS from
// it: the meter needs about two seconds after "T" before its first reading, and
// counting from the start would cut short runs to nothing.
Ending runStream(const Job &job)
{
    control::kest720Proxy &k = job.meter;
    QElapsedTimer sinceFirst;
    bool failed = false;
    bool done = false;
    int readings = 0;
    qint64 lastMs = 0;
    qint64 interval = 1000; // the meter's rate, until two readings show it
    const qint64 windowMs = job.request.seconds * 1000;
    Wait wait;
    // The window is counted from the first reading; a timer's interval is an
    // int of milliseconds, so a longer window is waited in steps of a day.
    QTimer window;
    window.setSingleShot(true);
    const auto armWindow = [&] {
        const qint64 left = windowMs - sinceFirst.elapsed();
        if (left > 0) {
            window.start(static_cast<int>(std::min<qint64>(left, 24LL * 3600 * 1000)));
            return;
        }
        done = true;
        wait.finish();
    };
    QObject::connect(&window, &QTimer::timeout, armWindow);
    emitLine(QStringLiteral("seconds,value,unit,prefix,unit_string"));
    QObject::connect(&k, &control::kest720Proxy::LiveData, [&](const control::Measurement &m) {
        if (done)
            return;
        // The first reading is the run's zero, whatever arming the window costs.
        if (readings == 0)
            sinceFirst.start();
        const qint64 at = readings == 0 ? 0 : sinceFirst.elapsed();
        if (readings == 0)
            armWindow();
        if (readings == 1 || (readings > 1 && at - lastMs < interval))
            interval = std::max<qint64>(1, at - lastMs);
        // A reading that belongs to the next period (it comes half an interval
        // or less before the window closes) ends the run instead of adding a row.
        if (readings > 0 && at > windowMs - interval / 2) {
            done = true;
            wait.finish();
            return;
        }
        lastMs = at;
        ++readings;
        emitLine(QStringLiteral("%1,%2").arg(at / 1000.0, 0, 'f', 3).arg(csvMeasurement(m)));
    });
    QObject::connect(&k, &control::kest720Proxy::LiveDataError, [&] {
        failed = true;
        wait.finish();
    });
    k.StartLog();
    wait.run();
    if (failed) {
        // The meter fell silent: bring it back if it can be, but report the silence.
        try {
            k.StopLog(); // replies once the meter is at its prompt
        } catch (const AutomationError &) {
        }
        throw AutomationError(1, programName,
                              QStringLiteral("The meter stopped sending readings."));
    }
    k.StopLog(); // replies once the meter is at its prompt
    if (readings == 0)
        note(QStringLiteral("no reading arrived"));
    return Ending::Done;
}

} // namespace norvale::host
