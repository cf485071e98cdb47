// kest721 journal list|export: the runs the journal keeps, and one of them
// again as the command that made it wrote it.
#include "assistant/Calibration.h"
#include "assistant/Journal.h"
#include "host/common/Csv.h"
#include "host/kest721/Commands.h"
#include "host/kest721/MeterJob.h"
#include "host/kest721/ReportDocument.h"
#include "host/kest721/Rows.h"
#include "platform/AutomationError.h"

#include <algorithm>

namespace norvale::host
{

using platform::AutomationError;

// The journal's runs, or one of them as the command that made it wrote it.
int runJournal(const Options &o, const StopSignals &)
{
    norvale::assistant::Journal journal;
    if (!journal.isOpen())
        throw AutomationError(
            1, program, QStringLiteral("The journal cannot be read: %1").arg(journal.lastError()));
    const QList<norvale::assistant::Journal::Run> runs = journal.runs();
    if (o.journalCommand == u"list") {
        out() << csvLine({QStringLiteral("run"), QStringLiteral("kind"), QStringLiteral("started"),
                          QStringLiteral("serial_number"), QStringLiteral("rows"),
                          QStringLiteral("location"), QStringLiteral("note"),
                          QStringLiteral("operator")})
              << '\n';
        for (const auto &r : runs)
            out() << csvLine({QString::number(r.id),
                              r.kind == norvale::assistant::Journal::Kind::Log
                                  ? QStringLiteral("log")
                                  : QStringLiteral("download"),
                              isoTimeStamp(r.started), r.serialNumber, QString::number(r.rows),
                              r.info.location, r.info.note, r.info.operatorName})
                  << '\n';
        out().flush();
        return 0;
    }
    const auto run = std::find_if(runs.cbegin(), runs.cend(),
                                  [&](const auto &r) { return r.id == o.journalRun; });
    if (run == runs.cend())
        throw AutomationError(1, program,
                              QStringLiteral("The journal has no run %1.").arg(o.journalRun));
    const bool log = run->kind == norvale::assistant::Journal::Kind::Log;
    TableWriters rows = openWriters(o, log ? QStringLiteral("Log") : QStringLiteral("Download"));
    rows.header(log ? liveHeader() : downloadHeader());
    for (const auto &r : journal.rows(o.journalRun)) {
        if (log)
            rows.live({r.stamp, r.value, r.unit, r.alarmColor.value_or(0)});
        else
            rows.download({int(r.seq), r.degreesC.value_or(0), r.value, r.unit});
    }
    // The run's details as a report gives them, in a sheet of their own.
    ReportInput details;
    details.run = *run;
    details.calibration = norvale::assistant::storedCalibration(run->serialNumber);
    details.madeAt = QDateTime::currentDateTime();
    QList<std::pair<QString, QString>> fields;
    for (const ReportField &f : detailFields(details))
        fields.append({f.label, f.value});
    rows.details(fields);
    rows.close();
    return 0;
}

} // namespace norvale::host
