#pragma once
// The command line of kest721: every option, checked in full (and against
// the subcommand it is given with) before the Assistant is started.
#include "host/kest721/AssistantSession.h"
#include "host/kest721/CalibrationCommand.h"
#include "host/kest721/ReportCommand.h"
#include "host/kest721/RunTimes.h"
#include "host/kest721/TableWriter.h"

#include <QString>
#include <QStringList>
#include <optional>

namespace norvale::host
{

struct Options {
    QString command;
    QString journalCommand; // list or export
    qint64 journalRun = 0;
    std::optional<int16_t> port;
    QString csv;
    QString xlsx;
    // kest721 changes no setting of the meter: there is nothing to keep.
    SaveAnswer save = SaveAnswer::No;
    bool version = false;
    bool reconnect = false;
    int reconnectEverySeconds = 5;
    QString ruleDevice;
    RunTimes runTimes;
    std::optional<QString> location;
    std::optional<QString> note;
    std::optional<QString> operatorName;
    QString reportPdf; // log --report
    ReportRequest report;
    CalibrationRequest calibration;
};

struct UsageError {
    QString message;
};

// The options and the subcommand; throws UsageError. `help` is set when
// --help was asked for, and nothing else is checked then.
Options parseArguments(const QStringList &arguments, bool *help);

// Whether the rows go to standard output (no file, or --csv -).
bool rowsToStdout(const Options &o);

// The rows' destinations: the files asked for, else CSV on standard output.
TableWriters openWriters(const Options &o, const QString &sheetName);

} // namespace norvale::host
