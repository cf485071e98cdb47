// kest720-cli download: the meter's data log as CSV, with its progress on a
// terminal.
#include "host/common/ProgressLine.h"
#include "host/kest720/Commands.h"

#include "platform/automation/Automation.h"

#include <QElapsedTimer>

namespace norvale::host
{

using platform::AutomationError;

namespace
{

// At 1200 baud 8N1 the line carries 120 characters a second.
constexpr double lineCharsPerSecond = 120.0;

// How a record travels on the line ("23.5 2 0.123\r\n"), to set the transfer
// rate beside what 1200 baud allows.
qint64 recordChars(float degreesC, const control::Measurement &m)
{
    return QString::number(static_cast<double>(degreesC)).size() + 3 +
           QString::number(m.Value).size() + 2;
}

// The records so far and the transfer rate, drawn at most five times a second.
class DownloadProgress
{
public:
    DownloadProgress() : m_line(ProgressLine::wanted()) { m_clock.start(); }

    void record(qint64 chars)
    {
        ++m_records;
        m_chars += chars;
        if (!m_line.enabled() || m_clock.elapsed() - m_lastDrawMs < 200)
            return;
        draw();
    }

    void finish()
    {
        if (m_records > 0 && m_line.enabled())
            draw();
        m_line.finish();
    }

private:
    void draw()
    {
        m_lastDrawMs = m_clock.elapsed();
        const double s = std::max<double>(0.001, static_cast<double>(m_lastDrawMs) / 1000.0);
        m_line.show(QStringLiteral("%1 records, %2 s, about %3 chars/s of the line's %4")
                        .arg(m_records)
                        .arg(s, 0, 'f', 0)
                        .arg(static_cast<double>(m_chars) / s, 0, 'f', 0)
                        .arg(lineCharsPerSecond, 0, 'f', 0));
    }

    ProgressLine m_line;
    QElapsedTimer m_clock;
    qint64 m_lastDrawMs = 0;
    int m_records = 0;
    qint64 m_chars = 0;
};

} // namespace

Ending runDownload(const Job &job)
{
    control::kest720Proxy &k = job.meter;
    bool done = false;
    bool failed = false;
    int record = 0;
    DownloadProgress progress;
    emitLine(QStringLiteral("record,degrees_c,value,unit,prefix,unit_string"));
    QObject::connect(&k, &control::kest720Proxy::DataDownload,
                     [&](float degreesC, const control::Measurement &m) {
                         emitLine(QStringLiteral("%1,%2,%3")
                                      .arg(++record)
                                      .arg(static_cast<double>(degreesC))
                                      .arg(csvMeasurement(m)));
                         progress.record(recordChars(degreesC, m));
                     });
    Wait wait;
    QObject::connect(&k, &control::kest720Proxy::DataDownloadComplete, [&] {
        done = true;
        wait.finish();
    });
    QObject::connect(&k, &control::kest720Proxy::DataDownloadError, [&] {
        done = failed = true;
        wait.finish();
    });
    k.StartLogDownload();
    wait.run();
    progress.finish();
    if (!done) {
        // The meter's log dump cannot be called back: closing the port ends
        // the server's download loop at once, and the meter returns to its
        // prompt by itself when the dump is out.
        k.ClosePort();
        return Ending::Interrupted;
    }
    if (failed)
        throw AutomationError(
            1, programName,
            QStringLiteral("The log download failed after %1 records.").arg(record));
    return Ending::Done;
}

} // namespace norvale::host
