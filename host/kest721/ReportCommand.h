#pragma once
// kest721 report: the survey record of a journal run. Its failures are
// norvale::platform::AutomationError, printed by main as every other.
#include "host/kest721/ReportDocument.h"

#include <QString>
#include <optional>

namespace norvale::host
{

struct ReportRequest {
    QString run; // a run number, or "latest"
    QString pdf;
    QString html;
    std::optional<Paper> paper; // else by locale
};

// Writes the files asked for, else the record as text on standard output.
int runReport(const ReportRequest &request);

// The number of the newest run in the journal (0 when it has none or cannot
// be read), to find the run that a logging run is about to make.
qint64 newestJournalRun();

// The run after `before` of this meter, or 0.
qint64 journalRunAfter(qint64 before, const QString &serialNumber);

// Whether the program needs a QApplication (a report draws a chart), seen
// from its raw arguments before they are parsed.
bool needsGui(int argc, char **argv);

} // namespace norvale::host
