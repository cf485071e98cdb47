// kest721 download: the meter's data log through the Assistant.
#include "assistant_events_interface.h"
#include "assistant_interface.h"
#include "host/kest721/Commands.h"
#include "host/kest721/MeterJob.h"
#include "host/kest721/Rows.h"
#include "platform/AutomationError.h"

namespace norvale::host
{

using platform::AutomationError;

int runDownload(const Options &o, const StopSignals &stops)
{
    // The Assistant reads its settings when it is created.
    StoredSettings stored(o);
    TableWriters rows = openWriters(o, QStringLiteral("Download"));
    rows.header(downloadHeader());
    ProgressLine progress(ProgressLine::wanted(rowsToStdout(o)));
    AssistantSession session(o.save, stops);
    Connection connection(session, &progress);
    stored.release();
    warnIfCalibrationOverdue(session.controlProperty(QStringLiteral("SerialNumber")).toString());
    session.setRunInfo(o.location.value_or(QString()), o.note.value_or(QString()),
                       o.operatorName.value_or(QString()));

    int records = 0;
    bool done = false;
    bool failed = false;
    std::optional<OutputError> writeError;
    AssistantEventsInterface &events = session.events();
    QObject::connect(
        &events, &AssistantEventsInterface::DataDownload,
        [&](double degreesC, const control::Measurement &measured) {
            ++records;
            try {
                rows.download(
                    {records, degreesC, measured.Value, unitOfInstrumentUnits(measured.Unit)});
            } catch (const OutputError &e) {
                writeError.emplace(e);
            }
            progress.show(QStringLiteral("%1 record%2").arg(records).arg(records == 1 ? "" : "s"));
        });
    QObject::connect(&events, &AssistantEventsInterface::DataDownLoadComplete,
                     [&] { done = true; });
    QObject::connect(&events, &AssistantEventsInterface::DataDownloadError,
                     [&] { done = failed = true; });

    if (stops.count() == 0) {
        progress.show(QStringLiteral("Downloading the data log..."));
        session.call(&AssistantInterface::DownloadLog);
        session.waitUntil([&] { return done || writeError || stops.count() > 0; });
    }
    progress.finish();
    finishRows(rows, writeError);
    // A download has no stop: releasing the Assistant ends an unfinished one,
    // so Disconnect is only for a meter that has finished sending.
    if (done)
        connection.disconnect();
    session.release();
    if (writeError)
        throw *writeError;
    if (failed)
        throw AutomationError(
            1, program, QStringLiteral("The log download failed after %1 records.").arg(records));
    return stoppedStatus(stops);
}

} // namespace norvale::host
