// kest721 log: a logging run, its rows as they arrive, through a lost link
// when asked to, and its survey record when asked for.
#include "assistant_events_interface.h"
#include "assistant_interface.h"
#include "host/kest721/Commands.h"
#include "host/kest721/HostSettings.h"
#include "host/kest721/MeterJob.h"
#include "host/kest721/ReportCommand.h"
#include "host/kest721/Rows.h"
#include "host/kest721/RunTimes.h"
#include "host/kest721/Trend.h"
#include "platform/AutomationError.h"

#include <QDateTime>
#include <QElapsedTimer>
#include <QTimer>

namespace norvale::host
{

using platform::AutomationError;

namespace
{

// log --report: the record of the run just made; a failure is told, and the
// run's own outcome stays the program's.
void writeRunReport(const Options &o, const QString &serial, qint64 runBefore)
{
    try {
        const qint64 run = journalRunAfter(runBefore, serial);
        if (run == 0)
            throw AutomationError(1, program,
                                  QStringLiteral("The journal has no run of this log: no report "
                                                 "written."));
        runReport({QString::number(run), o.reportPdf, QString(), std::nullopt});
        err() << "kest721: the report of run " << run << " is in " << o.reportPdf << '\n';
    } catch (const AutomationError &e) {
        err() << "error " << e.number() << " (" << e.source() << "): " << e.description() << '\n';
    }
    err().flush();
}

// Where a logging run stands while its link is lost and kest721 tries again.
struct LinkLoss {
    QDateTime since;
    int attempts = 0;
    QElapsedTimer sinceLastTry;
    QString lastFailure;
};

} // namespace

int runLog(const Options &o, const StopSignals &stops)
{
    // The Assistant reads its settings when it is created.
    StoredSettings stored(o);
    TableWriters rows = openWriters(o, QStringLiteral("Log"));
    rows.header(liveHeader());
    ProgressLine progress(ProgressLine::wanted(rowsToStdout(o)));
    AssistantSession session(o.save, stops);
    Connection connection(session, &progress);
    const QString unit = unitOfMeter(session);
    const int runLength = storedTimerLength();
    stored.release();
    const int retryMs = o.reconnectEverySeconds * 1000;
    const QString serial = session.controlProperty(QStringLiteral("SerialNumber")).toString();
    warnIfCalibrationOverdue(serial);
    session.setRunInfo(o.location.value_or(QString()), o.note.value_or(QString()),
                       o.operatorName.value_or(QString()));
    const qint64 runBefore = o.reportPdf.isEmpty() ? 0 : newestJournalRun();
    Trend trend;
    QElapsedTimer sinceStart;
    sinceStart.start();

    int readings = 0;
    bool stopped = false;
    bool failed = false;
    bool lengthPassed = false;
    std::optional<LinkLoss> loss;
    std::optional<OutputError> writeError;
    QElapsedTimer sinceFirst;
    auto showProgress = [&] {
        if (loss) {
            const qint64 next =
                qMax<qint64>(0, (retryMs - loss->sinceLastTry.elapsed() + 999) / 1000);
            progress.show(QStringLiteral("%1 reading%2; connection lost since %3 (%4 s), "
                                         "%5 attempt%6, next in %7 s%8")
                              .arg(readings)
                              .arg(readings == 1 ? "" : "s")
                              .arg(loss->since.toString(QStringLiteral("HH:mm:ss")))
                              .arg(loss->since.secsTo(QDateTime::currentDateTime()))
                              .arg(loss->attempts)
                              .arg(loss->attempts == 1 ? "" : "s")
                              .arg(next)
                              .arg(loss->lastFailure.isEmpty()
                                       ? QString()
                                       : QStringLiteral(" (%1)").arg(loss->lastFailure)));
            return;
        }
        if (!sinceFirst.isValid()) {
            progress.show(QStringLiteral("Waiting for the first reading..."));
            return;
        }
        const qint64 left = qMax<qint64>(0, runLength - sinceFirst.elapsed() / 1000);
        progress.show(QStringLiteral("%1 reading%2, %3  %4")
                          .arg(readings)
                          .arg(readings == 1 ? "" : "s")
                          .arg(untilStopped(runLength)
                                   ? QStringLiteral("until stopped")
                                   : QStringLiteral("about %1 s left").arg(left),
                               trend.text()));
    };
    // A line of its own, also when standard error is no terminal.
    auto notice = [&](const QString &text) {
        progress.finish();
        err() << "kest721: " << text << '\n';
        err().flush();
    };
    AssistantEventsInterface &events = session.events();
    QObject::connect(&events, &AssistantEventsInterface::LiveData,
                     [&](double measured, int alarmColor, double timeStamp) {
                         // No exception may pass through Qt's dispatch of a signal.
                         try {
                             rows.live({timeStamp, measured, unit, alarmColor});
                         } catch (const OutputError &e) {
                             writeError.emplace(e);
                         }
                         if (!sinceFirst.isValid())
                             sinceFirst.start();
                         trend.add(sinceStart.elapsed(), measured);
                         ++readings;
                         showProgress();
                     });
    QObject::connect(&events, &AssistantEventsInterface::LogStopped, [&] { stopped = true; });
    QObject::connect(&events, &AssistantEventsInterface::LiveDataError, [&] {
        failed = true;
        if (!o.reconnect || loss)
            return;
        loss.emplace();
        loss->since = QDateTime::currentDateTime();
        loss->sinceLastTry.start();
        notice(QStringLiteral("connection lost at %1 after %2 readings; trying again every %3 s")
                   .arg(loss->since.toString(QStringLiteral("HH:mm:ss")))
                   .arg(readings)
                   .arg(o.reconnectEverySeconds));
        showProgress();
    });
    QTimer ticker;
    QObject::connect(&ticker, &QTimer::timeout, showProgress);

    if (stops.count() == 0) {
        session.call(&AssistantInterface::StartLog);
        showProgress();
        ticker.start(1000);
        for (;;) {
            session.waitUntil([&] {
                return stopped || writeError || stops.count() > 0 || (failed && !loss) ||
                       (loss && loss->sinceLastTry.elapsed() >= retryMs);
            });
            if (!loss || stopped || writeError || stops.count() > 0)
                break;
            // The run's length counts from its start, the gap included.
            if (sinceFirst.isValid() && sinceFirst.elapsed() / 1000 > runLength) {
                lengthPassed = true;
                break;
            }
            ++loss->attempts;
            loss->lastFailure.clear();
            showProgress();
            try {
                session.resumeLog();
                notice(QStringLiteral("connection back at %1 after %2 attempt%3")
                           .arg(QDateTime::currentDateTime().toString(QStringLiteral("HH:mm:ss")))
                           .arg(loss->attempts)
                           .arg(loss->attempts == 1 ? "" : "s"));
                loss.reset();
                failed = false;
            } catch (const AutomationError &e) {
                loss->lastFailure = e.description();
            } catch (const BoxError &e) {
                // A box the Assistant raised on the way has been answered: try again.
                loss->lastFailure = e.text();
            }
            if (loss)
                loss->sinceLastTry.start();
            showProgress();
        }
        ticker.stop();
        // The run goes on in the Assistant until it is told otherwise.
        if (!stopped)
            session.call(&AssistantInterface::StopLog);
    }
    progress.finish();
    finishRows(rows, writeError);
    connection.disconnect();
    session.release();
    if (!o.reportPdf.isEmpty())
        writeRunReport(o, serial, runBefore);
    if (writeError)
        throw *writeError;
    if (lengthPassed)
        throw AutomationError(1, program,
                              QStringLiteral("The run's length passed while the connection to "
                                             "the 721 was lost; %1 readings kept.")
                                  .arg(readings));
    // A stop asked for while the link was lost is a stop, not a failure.
    if (failed && stops.count() == 0)
        throw AutomationError(
            1, program,
            QStringLiteral("The connection to the 721 was lost after %1 readings; the file "
                           "keeps them (kest721 log --reconnect waits for the meter to come "
                           "back).")
                .arg(readings));
    return stoppedStatus(stops);
}

} // namespace norvale::host
