// kest721: drives the 721 Assistant as a spreadsheet would, for people without
// one and for scripts. Creates a kest721Assistant object, connects to the
// meter, does one job (a logging run, a log download or a status report),
// writes its rows as CSV or xlsx, disconnects and releases the object.
#include "host/kest721/AssistantSession.h"
#include "host/kest721/HostSettings.h"
#include "assistant/Journal.h"
#include "host/kest721/Ports.h"
#include "host/kest721/PublishCommand.h"
#include "host/kest721/ReportCommand.h"
#include "host/kest721/Rows.h"
#include "host/kest721/RunTimes.h"
#include "platform/SerialLink.h"
#include "host/common/StopSignals.h"
#include "host/kest721/TableWriter.h"
#include "host/kest721/Trend.h"
#include "assistant_events_interface.h"
#include "assistant_interface.h"

#include <QApplication>
#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDateTime>
#include <QElapsedTimer>
#include <QTextStream>
#include <QTimer>
#include <algorithm>
#include <csignal>
#include <memory>
#include <optional>
#include <unistd.h>

using norvale::host::AssistantSession;
using norvale::AutomationError;

namespace
{

QTextStream out(stdout);
QTextStream err(stderr);

const QString program = QStringLiteral("kest721");

const char helpText[] =
    "Usage: kest721 [--port N] COMMAND [OPTIONS]\n"
    "Drives the 721 Assistant (kest721xl.kest721Assistant on the session bus) as a\n"
    "spreadsheet would: connects to the 721 meter, does one job, disconnects.\n"
    "\n"
    "Commands:\n"
    "  log [--csv FILE] [--xlsx FILE] [--reconnect [--reconnect-every S]]\n"
    "      [--interval S] [--length DURATION] [--location TEXT] [--note TEXT]\n"
    "      [--operator NAME] [--report FILE.pdf]\n"
    "                                       a logging run: one row per reading the\n"
    "                                       Assistant reports (time, value, unit, alarm\n"
    "                                       colour) until the run ends; its sampling\n"
    "                                       interval and length are the Assistant's\n"
    "                                       settings (TimerInterval, TimerLength), which\n"
    "                                       --interval and --length store\n"
    "  download [--csv FILE] [--xlsx FILE]  the meter's internal data log, one row per\n"
    "                                       record (record, degrees C, value, unit)\n"
    "  status                               whether the meter connects, its serial\n"
    "                                       number, model and units\n"
    "  journal list                         the runs and downloads kept in the journal\n"
    "                                       of every reading the Assistant relayed\n"
    "  journal export RUN [--csv FILE] [--xlsx FILE]\n"
    "                                       one of them again, as log or download did\n"
    "  report RUN|latest [--pdf FILE] [--html FILE] [--paper a4|letter]\n"
    "                                       the survey record of a run or download of\n"
    "                                       the journal: its details, the meter's\n"
    "                                       calibration, a summary with alarm episodes\n"
    "                                       and gaps, a chart and every reading; as\n"
    "                                       text on standard output without a file\n"
    "  calibration SERIAL [--due YYYY-MM-DD [--certificate TEXT]]\n"
    "                                       when the meter with this serial number is\n"
    "                                       due for calibration (shown by status and on\n"
    "                                       every report; an overdue meter still works)\n"
    "  ports [--rule DEVICE --port N]       the serial devices present (their names\n"
    "                                       in /dev/serial/by-id and what they lead to)\n"
    "                                       and the com<n> links of the ports folder;\n"
    "                                       with --rule, the udev rule line that links\n"
    "                                       the USB serial adapter DEVICE (a by-id name\n"
    "                                       or path) as port N\n"
    "  publish set|show|off|test [OPTIONS]  publishing every reading to an MQTT broker\n"
    "                                       ('kest721 publish --help')\n"
    "  watch [--broker URL] [--serial N] [--json]\n"
    "                                       the meters a broker knows, as they publish\n"
    "                                       ('kest721 watch --help')\n"
    "\n"
    "Options:\n"
    "  --port N        serial port number N (1-32767), stored in the Assistant's\n"
    "                  settings before it starts; without --port the stored setting\n"
    "                  (ComPort) is used; for ports, the number in the rule (not\n"
    "                  stored)\n"
    "  --csv FILE      write the rows to FILE as CSV; FILE - is standard output,\n"
    "                  where CSV also goes without --csv and --xlsx\n"
    "  --xlsx FILE     write the rows to FILE as an xlsx workbook: times as date cells,\n"
    "                  each value cell filled with its alarm colour\n"
    "  --save yes|no|ask\n"
    "                  the answer to the Assistant's question on disconnecting,\n"
    "                  whether to keep setting changes in the meter; kest721 changes\n"
    "                  none, so the default is no; ask puts the question on the\n"
    "                  terminal (no when standard input is not a terminal)\n"
    "  --reconnect     when the link to the meter is lost during a logging run,\n"
    "                  keep trying to reconnect and go on with the same run, files\n"
    "                  and journal run once the meter answers again (without it\n"
    "                  the run ends there, exit status 1)\n"
    "  --reconnect-every S\n"
    "                  seconds between two tries (1-3600, default 5)\n"
    "  --rule DEVICE   see ports\n"
    "  --interval S    log: seconds between two readings, stored as TimerInterval,\n"
    "                  e.g. --interval 5\n"
    "  --length DURATION\n"
    "                  log: how long the run lasts, a number with s, m, h or d, or\n"
    "                  until-stopped (24 days at most), stored as TimerLength, e.g.\n"
    "                  --length 90s, --length 10m, --length 2h, --length 1d\n"
    "  --location TEXT log, download: where the survey is made, kept with the run,\n"
    "                  e.g. --location \"Lab 2, fume hood 3\"\n"
    "  --note TEXT     log, download: why, kept with the run, e.g.\n"
    "                  --note \"after the source change\"\n"
    "  --operator NAME log, download: who (default: your login name), e.g.\n"
    "                  --operator \"J. Smith\"\n"
    "  --report FILE.pdf\n"
    "                  log: write the run's survey record when it ends (Ctrl-C\n"
    "                  included), e.g. --report survey.pdf\n"
    "  --pdf FILE, --html FILE\n"
    "                  report: write the record as PDF or HTML\n"
    "  --paper a4|letter\n"
    "                  report: the PDF's paper (default: by the locale)\n"
    "  --due YYYY-MM-DD, --certificate TEXT\n"
    "                  calibration: the date the meter is due and its certificate\n"
    "  -h, --help      show this help\n"
    "  --version       show the version\n"
    "\n"
    "CSV rows are written and flushed as they arrive. Ctrl-C (or SIGTERM) ends a\n"
    "logging run through StopLog, keeps every row received and closes the files\n"
    "properly; a second one leaves at once, still closing the files. A progress line\n"
    "goes to standard error when it is a terminal; while the link is lost it shows\n"
    "since when, the tries so far and when the next one comes.\n"
    "\n"
    "Environment: NORVALE_PORTS, the ports folder (else\n"
    "$XDG_CONFIG_HOME/norvale/ports); NORVALE_SERIAL_BY_ID, the folder of the\n"
    "serial devices' stable names (else /dev/serial/by-id).\n"
    "\n"
    "Files: the journal, $XDG_DATA_HOME/norvale/journal.sqlite (else\n"
    "~/.local/share/norvale/journal.sqlite), keeps every reading and record the\n"
    "Assistant relayed; the Assistant's settings are in the settings store\n"
    "(norvale-reg list 'HKCU\\Software\\Norvale\\721').\n"
    "\n"
    "Exit status: 0 done, 1 failed (\"error NUMBER (SOURCE): DESCRIPTION\" or the\n"
    "Assistant's message), 2 wrong usage, 128+N stopped by signal N.\n";

struct Options {
    QString command;
    QString journalCommand; // list or export
    qint64 journalRun = 0;
    std::optional<int16_t> port;
    QString csv;
    QString xlsx;
    // kest721 changes no setting of the meter: there is nothing to keep.
    norvale::host::SaveAnswer save = norvale::host::SaveAnswer::No;
    bool version = false;
    bool reconnect = false;
    int reconnectEverySeconds = 5;
    QString ruleDevice;
    norvale::host::RunTimes runTimes;
    std::optional<QString> location;
    std::optional<QString> note;
    std::optional<QString> operatorName;
    QString reportPdf; // log --report
    norvale::host::ReportRequest report;
    norvale::host::CalibrationRequest calibration;
};

struct UsageError {
    QString message;
};

// The options of a run's details, of report and of calibration, and the
// arguments of the last two.
void parseSurveyOptions(const QCommandLineParser &parser, const QStringList &args, Options &o,
                        qsizetype *used)
{
    const auto isSet = [&](const char *name) { return parser.isSet(QString::fromLatin1(name)); };
    const auto value = [&](const char *name) { return parser.value(QString::fromLatin1(name)); };
    const auto onlyFor = [&](std::initializer_list<const char *> names, bool allowed,
                             const char *commands) {
        for (const char *name : names)
            if (isSet(name) && !allowed)
                throw UsageError{QStringLiteral("--%1 is for %2")
                                     .arg(QLatin1String(name), QLatin1String(commands))};
    };
    const bool log = o.command == u"log";
    onlyFor({"interval", "length", "report"}, log, "log");
    onlyFor({"location", "note", "operator"}, log || o.command == u"download", "log and download");
    onlyFor({"pdf", "html", "paper"}, o.command == u"report", "report");
    onlyFor({"due", "certificate"}, o.command == u"calibration", "calibration");

    if (isSet("interval")) {
        int32_t seconds = 0;
        if (const auto why = norvale::host::parseInterval(value("interval"), &seconds))
            throw UsageError{QStringLiteral("--interval: %1").arg(*why)};
        o.runTimes.intervalSeconds = seconds;
    }
    if (isSet("length")) {
        int32_t seconds = 0;
        if (const auto why = norvale::host::parseLength(value("length"), &seconds))
            throw UsageError{QStringLiteral("--length: %1").arg(*why)};
        o.runTimes.lengthSeconds = seconds;
    }
    if (o.runTimes.intervalSeconds || o.runTimes.lengthSeconds) {
        // The value not given is the one the Assistant will read.
        const int32_t interval =
            o.runTimes.intervalSeconds.value_or(norvale::host::storedTimerInterval());
        const int32_t length = o.runTimes.lengthSeconds.value_or(norvale::host::storedTimerLength());
        if (const auto why = norvale::host::checkRunTimes(interval, length))
            throw UsageError{QStringLiteral("--interval %1 with --length %2: %3")
                                 .arg(interval)
                                 .arg(norvale::host::lengthText(length), *why)};
    }
    if (isSet("location"))
        o.location = value("location");
    if (isSet("note"))
        o.note = value("note");
    if (isSet("operator"))
        o.operatorName = value("operator");
    o.reportPdf = value("report");
    if (isSet("report") && o.reportPdf.isEmpty())
        throw UsageError{QStringLiteral("--report needs a file name")};

    if (o.command == u"report") {
        if (args.size() < 2)
            throw UsageError{QStringLiteral("report needs a run number from 'kest721 journal "
                                            "list', or latest")};
        bool ok = false;
        const qint64 run = args.at(1).toLongLong(&ok);
        if (args.at(1) != u"latest" && (!ok || run < 1))
            throw UsageError{QStringLiteral("report needs a run number from 'kest721 journal "
                                            "list', or latest, not '%1'")
                                 .arg(args.at(1))};
        o.report.run = args.at(1);
        o.report.pdf = value("pdf");
        o.report.html = value("html");
        if ((isSet("pdf") && o.report.pdf.isEmpty()) || (isSet("html") && o.report.html.isEmpty()))
            throw UsageError{QStringLiteral("--pdf and --html need a file name")};
        if (isSet("paper")) {
            const QString paper = value("paper").toLower();
            if (paper != u"a4" && paper != u"letter")
                throw UsageError{
                    QStringLiteral("--paper takes a4 or letter, not '%1'").arg(value("paper"))};
            o.report.paper = paper == u"a4" ? norvale::host::Paper::A4 : norvale::host::Paper::Letter;
        }
        *used = 2;
    }
    if (o.command == u"calibration") {
        if (args.size() < 2 || args.at(1).trimmed().isEmpty())
            throw UsageError{QStringLiteral("calibration needs the meter's serial number (as "
                                            "'kest721 status' shows it)")};
        o.calibration.serialNumber = args.at(1).trimmed();
        // The serial number is a key of the settings store.
        if (o.calibration.serialNumber.contains(u'\\'))
            throw UsageError{QStringLiteral("a serial number has no backslash: '%1'")
                                 .arg(o.calibration.serialNumber)};
        if (isSet("certificate") && !isSet("due"))
            throw UsageError{QStringLiteral("--certificate goes with --due")};
        if (isSet("due")) {
            if (!norvale::parseDueDate(value("due")))
                throw UsageError{QStringLiteral("--due needs a date as YYYY-MM-DD, e.g. "
                                                "2027-03-31, not '%1'")
                                     .arg(value("due"))};
            o.calibration.due = value("due").trimmed();
        }
        if (isSet("certificate"))
            o.calibration.certificate = value("certificate");
        *used = 2;
    }
}

Options parseArguments(const QStringList &arguments, bool *help)
{
    QCommandLineParser parser;
    parser.setSingleDashWordOptionMode(QCommandLineParser::ParseAsLongOptions);
    const QCommandLineOption helpOption(QStringList{QStringLiteral("h"), QStringLiteral("help")});
    const QCommandLineOption versionOption(QStringLiteral("version"));
    const QCommandLineOption portOption(QStringLiteral("port"), QString(), QStringLiteral("N"));
    const QCommandLineOption csvOption(QStringLiteral("csv"), QString(), QStringLiteral("FILE"));
    const QCommandLineOption xlsxOption(QStringLiteral("xlsx"), QString(), QStringLiteral("FILE"));
    const QCommandLineOption saveOption(QStringLiteral("save"), QString(),
                                        QStringLiteral("yes|no|ask"));
    const QCommandLineOption reconnectOption(QStringLiteral("reconnect"));
    const QCommandLineOption everyOption(QStringLiteral("reconnect-every"), QString(),
                                         QStringLiteral("S"));
    const QCommandLineOption ruleOption(QStringLiteral("rule"), QString(),
                                        QStringLiteral("DEVICE"));
    const auto valueOption = [](const char *name, const char *value) {
        return QCommandLineOption(QString::fromLatin1(name), QString(), QString::fromLatin1(value));
    };
    const QCommandLineOption intervalOption = valueOption("interval", "S");
    const QCommandLineOption lengthOption = valueOption("length", "DURATION");
    const QCommandLineOption locationOption = valueOption("location", "TEXT");
    const QCommandLineOption noteOption = valueOption("note", "TEXT");
    const QCommandLineOption operatorOption = valueOption("operator", "NAME");
    const QCommandLineOption reportOption = valueOption("report", "FILE");
    const QCommandLineOption pdfOption = valueOption("pdf", "FILE");
    const QCommandLineOption htmlOption = valueOption("html", "FILE");
    const QCommandLineOption paperOption = valueOption("paper", "a4|letter");
    const QCommandLineOption dueOption = valueOption("due", "YYYY-MM-DD");
    const QCommandLineOption certificateOption = valueOption("certificate", "TEXT");
    parser.addOptions({helpOption, versionOption,  portOption,      csvOption,
                       xlsxOption, saveOption,     reconnectOption, everyOption,
                       ruleOption, intervalOption, lengthOption,    locationOption,
                       noteOption, operatorOption, reportOption,    pdfOption,
                       htmlOption, paperOption,    dueOption,       certificateOption});
    if (!parser.parse(arguments))
        throw UsageError{parser.errorText()};
    *help = parser.isSet(helpOption);
    Options o;
    o.version = parser.isSet(versionOption);
    if (*help || o.version)
        return o;

    const QStringList args = parser.positionalArguments();
    if (args.isEmpty())
        throw UsageError{QStringLiteral("missing command (log, download, status, journal, "
                                        "report, calibration, ports, publish or watch)")};
    o.command = args.first();
    if (o.command != u"log" && o.command != u"download" && o.command != u"status" &&
        o.command != u"journal" && o.command != u"ports" && o.command != u"report" &&
        o.command != u"calibration")
        throw UsageError{QStringLiteral("unknown command '%1'").arg(o.command)};
    qsizetype used = 1;
    parseSurveyOptions(parser, args, o, &used);
    if (o.command == u"journal") {
        if (args.size() < 2 || (args.at(1) != u"list" && args.at(1) != u"export"))
            throw UsageError{QStringLiteral("journal needs list or export RUN")};
        o.journalCommand = args.at(1);
        used = 2;
        if (o.journalCommand == u"export") {
            bool ok = false;
            o.journalRun = args.size() > 2 ? args.at(2).toLongLong(&ok) : 0;
            if (!ok || o.journalRun < 1)
                throw UsageError{QStringLiteral("journal export needs a run number from "
                                                "'kest721 journal list'")};
            used = 3;
        }
    }
    if (args.size() > used)
        throw UsageError{QStringLiteral("unexpected argument '%1'").arg(args.at(used))};

    for (const QCommandLineOption *single :
         {&portOption, &csvOption, &xlsxOption, &saveOption, &everyOption, &ruleOption,
          &intervalOption, &lengthOption, &locationOption, &noteOption, &operatorOption,
          &reportOption, &pdfOption, &htmlOption, &paperOption, &dueOption, &certificateOption})
        if (parser.values(*single).size() > 1)
            throw UsageError{
                QStringLiteral("--%1 given more than once").arg(single->names().first())};
    if (parser.isSet(portOption)) {
        bool ok = false;
        const int n = parser.value(portOption).toInt(&ok);
        if (!ok || n < 1 || n > INT16_MAX)
            throw UsageError{QStringLiteral("--port needs a number from 1 to %1, not '%2'")
                                 .arg(INT16_MAX)
                                 .arg(parser.value(portOption))};
        o.port = static_cast<int16_t>(n);
    }
    if (parser.isSet(saveOption)) {
        const QString v = parser.value(saveOption).toLower();
        if (v == u"yes")
            o.save = norvale::host::SaveAnswer::Yes;
        else if (v == u"no")
            o.save = norvale::host::SaveAnswer::No;
        else if (v == u"ask")
            o.save = norvale::host::SaveAnswer::Ask;
        else
            throw UsageError{QStringLiteral("--save takes yes, no or ask, not '%1'")
                                 .arg(parser.value(saveOption))};
    }
    o.reconnect = parser.isSet(reconnectOption);
    if ((o.reconnect || parser.isSet(everyOption)) && o.command != u"log")
        throw UsageError{QStringLiteral("--reconnect is for log")};
    if (parser.isSet(everyOption)) {
        if (!o.reconnect)
            throw UsageError{QStringLiteral("--reconnect-every goes with --reconnect")};
        bool ok = false;
        o.reconnectEverySeconds = parser.value(everyOption).toInt(&ok);
        if (!ok || o.reconnectEverySeconds < 1 || o.reconnectEverySeconds > 3600)
            throw UsageError{QStringLiteral("--reconnect-every needs seconds from 1 to 3600, "
                                            "not '%1'")
                                 .arg(parser.value(everyOption))};
    }
    o.ruleDevice = parser.value(ruleOption);
    if (parser.isSet(ruleOption) && o.command != u"ports")
        throw UsageError{QStringLiteral("--rule is for ports")};
    if (o.command == u"ports" && parser.isSet(ruleOption) != o.port.has_value())
        throw UsageError{QStringLiteral("ports --rule DEVICE needs --port N, and --port N "
                                        "needs --rule DEVICE")};
    if (o.command == u"ports" && parser.isSet(ruleOption) && o.ruleDevice.isEmpty())
        throw UsageError{QStringLiteral("--rule needs a device")};
    o.csv = parser.value(csvOption);
    o.xlsx = parser.value(xlsxOption);
    if ((o.command == u"status" || o.command == u"ports" || o.journalCommand == u"list" ||
         o.command == u"report" || o.command == u"calibration") &&
        (parser.isSet(csvOption) || parser.isSet(xlsxOption)))
        throw UsageError{QStringLiteral("%1 writes no file; --csv and --xlsx are for log "
                                        "and download")
                             .arg(o.command)};
    if ((parser.isSet(csvOption) && o.csv.isEmpty()) ||
        (parser.isSet(xlsxOption) && o.xlsx.isEmpty()))
        throw UsageError{QStringLiteral("--csv and --xlsx need a file name")};
    return o;
}

bool rowsToStdout(const Options &o)
{
    return o.csv == u"-" || (o.csv.isEmpty() && o.xlsx.isEmpty());
}

// The rows' destinations: the files asked for, else CSV on standard output.
norvale::host::TableWriters openWriters(const Options &o, const QString &sheetName)
{
    norvale::host::TableWriters writers;
    if (!o.csv.isEmpty() || o.xlsx.isEmpty())
        writers.add(norvale::host::openCsv(o.csv == u"-" ? QString() : o.csv));
    if (!o.xlsx.isEmpty())
        writers.add(norvale::host::openXlsx(o.xlsx, sheetName));
    return writers;
}

// One line on standard error, rewritten in place, while that is a terminal
// of its own (rows written to the same terminal would tear it apart).
class Progress
{
public:
    explicit Progress(bool rowsToStdout)
        : m_enabled(::isatty(STDERR_FILENO) && !(rowsToStdout && ::isatty(STDOUT_FILENO)))
    {
    }
    ~Progress() { finish(); }
    void show(const QString &text)
    {
        if (!m_enabled)
            return;
        err << '\r' << text << "\x1b[K";
        err.flush();
        m_shown = true;
    }
    void finish()
    {
        if (!m_shown)
            return;
        err << '\n';
        err.flush();
        m_shown = false;
    }

private:
    bool m_enabled;
    bool m_shown = false;
};

// Disconnects the meter on the way out, also when a step failed after the
// connection was made, so that the meter is left measuring on its own.
class Connection
{
public:
    explicit Connection(AssistantSession &s, Progress *progress = nullptr) : m_session(s)
    {
        // The port as the Assistant will find it: --port has been stored already.
        const int16_t port = norvale::host::storedComPort();
        const QString path = norvale::resolvePortPath(port);
        const QString where = QStringLiteral("port %1 (%2)")
                                  .arg(port)
                                  .arg(path.isEmpty() ? QStringLiteral("no device") : path);
        if (progress)
            progress->show(QStringLiteral("Connecting to the 721 on %1...").arg(where));
        m_session.call(&AssistantInterface::Connect);
        // Every failure of Connect opens a box; this catches any other way
        // of not getting there.
        if (!m_session.Initialized())
            throw AutomationError(1, program, QStringLiteral("The 721 is not connected."));
        m_connected = true;
        // A line that stays: which port the run's readings come from.
        if (progress) {
            progress->show(QStringLiteral("Connected to the 721 on %1.").arg(where));
            progress->finish();
        }
    }
    ~Connection()
    {
        try {
            disconnect();
        } catch (const std::exception &) {
            // Already leaving through an error; the Assistant closes the
            // port when it is released.
        }
    }
    void disconnect()
    {
        if (!m_connected)
            return;
        m_connected = false;
        m_session.call(&AssistantInterface::Disconnect);
    }

private:
    AssistantSession &m_session;
    bool m_connected = false;
};

int stoppedStatus(const norvale::host::StopSignals &stops)
{
    return stops.count() > 0 ? 128 + stops.lastSignal() : 0;
}

QString unitOfMeter(AssistantSession &s)
{
    const int units = s.controlProperty(QStringLiteral("Units")).toInt();
    const QString unit = norvale::host::unitOfInstrumentUnits(units);
    if (unit.isEmpty())
        throw AutomationError(1, program,
                              QStringLiteral("The 721 reports unknown units (%1).").arg(units));
    return unit;
}

// Closes the files; after a failed write, that failure is the one reported.
void finishRows(norvale::host::TableWriters &rows,
                std::optional<norvale::host::OutputError> &writeError)
{
    try {
        rows.close();
    } catch (const norvale::host::OutputError &e) {
        if (!writeError)
            writeError.emplace(e);
    }
}

void warnIfCalibrationOverdue(const QString &serial)
{
    const std::optional<norvale::Calibration> c = norvale::storedCalibration(serial);
    if (c && c->overdueOn(QDate::currentDate())) {
        err << "kest721: warning: the 721 (serial number " << serial
            << ") was due for calibration on " << c->due.toString(Qt::ISODate) << '\n';
        err.flush();
    }
}

// log --report: the record of the run just made; a failure is told, and the
// run's own outcome stays the program's.
void writeRunReport(const Options &o, const QString &serial, qint64 runBefore)
{
    try {
        const qint64 run = norvale::host::journalRunAfter(runBefore, serial);
        if (run == 0)
            throw AutomationError(1, program,
                                  QStringLiteral("The journal has no run of this log: no report "
                                                 "written."));
        norvale::host::runReport({QString::number(run), o.reportPdf, QString(), std::nullopt});
        err << "kest721: the report of run " << run << " is in " << o.reportPdf << '\n';
    } catch (const AutomationError &e) {
        err << "error " << e.number() << " (" << e.source() << "): " << e.description() << '\n';
    }
    err.flush();
}

// Where a logging run stands while its link is lost and kest721 tries again.
struct LinkLoss {
    QDateTime since;
    int attempts = 0;
    QElapsedTimer sinceLastTry;
    QString lastFailure;
};

int runLog(const Options &o, const norvale::host::StopSignals &stops)
{
    norvale::host::TableWriters rows = openWriters(o, QStringLiteral("Log"));
    rows.header(norvale::host::liveHeader());
    Progress progress(rowsToStdout(o));
    AssistantSession session(o.save, stops);
    Connection connection(session, &progress);
    const QString unit = unitOfMeter(session);
    const int runLength = norvale::host::storedTimerLength();
    const int retryMs = o.reconnectEverySeconds * 1000;
    const QString serial = session.controlProperty(QStringLiteral("SerialNumber")).toString();
    warnIfCalibrationOverdue(serial);
    session.setRunInfo(o.location.value_or(QString()), o.note.value_or(QString()),
                       o.operatorName.value_or(QString()));
    const qint64 runBefore = o.reportPdf.isEmpty() ? 0 : norvale::host::newestJournalRun();
    norvale::host::Trend trend;
    QElapsedTimer sinceStart;
    sinceStart.start();

    int readings = 0;
    bool stopped = false;
    bool failed = false;
    bool lengthPassed = false;
    std::optional<LinkLoss> loss;
    std::optional<norvale::host::OutputError> writeError;
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
                          .arg(norvale::host::untilStopped(runLength)
                                   ? QStringLiteral("until stopped")
                                   : QStringLiteral("about %1 s left").arg(left),
                               trend.text()));
    };
    // A line of its own, also when standard error is no terminal.
    auto notice = [&](const QString &text) {
        progress.finish();
        err << "kest721: " << text << '\n';
        err.flush();
    };
    AssistantEventsInterface &events = session.events();
    QObject::connect(&events, &AssistantEventsInterface::LiveData,
                     [&](double measured, int alarmColor, double timeStamp) {
                         // No exception may pass through Qt's dispatch of a signal.
                         try {
                             rows.live({timeStamp, measured, unit, alarmColor});
                         } catch (const norvale::host::OutputError &e) {
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
            } catch (const norvale::host::BoxError &e) {
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

int runDownload(const Options &o, const norvale::host::StopSignals &stops)
{
    norvale::host::TableWriters rows = openWriters(o, QStringLiteral("Download"));
    rows.header(norvale::host::downloadHeader());
    Progress progress(rowsToStdout(o));
    AssistantSession session(o.save, stops);
    Connection connection(session, &progress);
    warnIfCalibrationOverdue(session.controlProperty(QStringLiteral("SerialNumber")).toString());
    session.setRunInfo(o.location.value_or(QString()), o.note.value_or(QString()),
                       o.operatorName.value_or(QString()));

    int records = 0;
    bool done = false;
    bool failed = false;
    std::optional<norvale::host::OutputError> writeError;
    AssistantEventsInterface &events = session.events();
    QObject::connect(
        &events, &AssistantEventsInterface::DataDownload,
        [&](double degreesC, const Measurement &measured) {
            ++records;
            try {
                rows.download({records, degreesC, measured.Value,
                               norvale::host::unitOfInstrumentUnits(measured.Unit)});
            } catch (const norvale::host::OutputError &e) {
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

QString modelName(int model)
{
    switch (model) {
    case 1:
        return QStringLiteral("720K");
    case 2:
        return QStringLiteral("720M");
    default:
        break;
    }
    return QStringLiteral("unknown (%1)").arg(model);
}

int runStatus(const Options &o, const norvale::host::StopSignals &stops)
{
    AssistantSession session(o.save, stops);
    std::optional<Connection> connection;
    try {
        connection.emplace(session);
    } catch (const norvale::host::BoxError &) {
        out << "Connected: no\n";
        out.flush();
        throw;
    }
    const int units = session.controlProperty(QStringLiteral("Units")).toInt();
    out << "Connected: yes\n";
    out << "Serial number: " << session.controlProperty(QStringLiteral("SerialNumber")).toString()
        << '\n';
    out << "Model: " << modelName(session.controlProperty(QStringLiteral("Model")).toInt()) << '\n';
    out << "Units: "
        << (units == 1   ? "roentgen (mR/h)"
            : units == 2 ? "sievert (uSv/h)"
                         : "unknown")
        << '\n';
    out << "Initialized: " << (session.Initialized() ? "true" : "false") << '\n';
    out.flush();
    norvale::host::printCalibration(
        session.controlProperty(QStringLiteral("SerialNumber")).toString());
    connection->disconnect();
    // Read last: the server has had the time to try its broker.
    out << norvale::host::publishingStatusLine() << '\n';
    out.flush();
    session.release();
    return stoppedStatus(stops);
}

// The journal's runs, or one of them as the command that made it wrote it.
int runJournal(const Options &o)
{
    norvale::Journal journal;
    if (!journal.isOpen())
        throw AutomationError(
            1, program, QStringLiteral("The journal cannot be read: %1").arg(journal.lastError()));
    const QList<norvale::Journal::Run> runs = journal.runs();
    if (o.journalCommand == u"list") {
        out << norvale::host::csvLine({QStringLiteral("run"), QStringLiteral("kind"),
                                     QStringLiteral("started"), QStringLiteral("serial_number"),
                                     QStringLiteral("rows"), QStringLiteral("location"),
                                     QStringLiteral("note"), QStringLiteral("operator")})
            << '\n';
        for (const auto &r : runs)
            out << norvale::host::csvLine(
                       {QString::number(r.id),
                        r.kind == norvale::Journal::Kind::Log ? QStringLiteral("log")
                                                              : QStringLiteral("download"),
                        norvale::host::isoTimeStamp(r.started), r.serialNumber,
                        QString::number(r.rows), r.info.location, r.info.note, r.info.operatorName})
                << '\n';
        out.flush();
        return 0;
    }
    const auto run = std::find_if(runs.cbegin(), runs.cend(),
                                  [&](const auto &r) { return r.id == o.journalRun; });
    if (run == runs.cend())
        throw AutomationError(1, program,
                              QStringLiteral("The journal has no run %1.").arg(o.journalRun));
    const bool log = run->kind == norvale::Journal::Kind::Log;
    norvale::host::TableWriters rows =
        openWriters(o, log ? QStringLiteral("Log") : QStringLiteral("Download"));
    rows.header(log ? norvale::host::liveHeader() : norvale::host::downloadHeader());
    for (const auto &r : journal.rows(o.journalRun)) {
        if (log)
            rows.live({r.stamp, r.value, r.unit, r.alarmColor.value_or(0)});
        else
            rows.download({int(r.seq), r.degreesC.value_or(0), r.value, r.unit});
    }
    // The run's details as a report gives them, in a sheet of their own.
    norvale::host::ReportInput details;
    details.run = *run;
    details.calibration = norvale::storedCalibration(run->serialNumber);
    details.madeAt = QDateTime::currentDateTime();
    QList<std::pair<QString, QString>> fields;
    for (const norvale::host::ReportField &f : norvale::host::detailFields(details))
        fields.append({f.label, f.value});
    rows.details(fields);
    rows.close();
    return 0;
}

// The serial devices, the port links, and a rule line for one adapter.
int runPorts(const Options &o)
{
    auto printLinks = [](const QString &title, const QString &folder,
                         const QList<norvale::host::PortLink> &links) {
        out << title << " (" << folder << "):\n";
        if (links.isEmpty())
            out << "  none\n";
        for (const auto &l : links)
            out << "  " << l.name << " -> "
                << (l.target.isEmpty() ? QStringLiteral("%1 (missing)").arg(l.link) : l.target)
                << '\n';
    };
    if (o.ruleDevice.isEmpty()) {
        printLinks(QStringLiteral("Serial devices"), norvale::host::byIdFolder(),
                   norvale::host::serialDevices());
        printLinks(QStringLiteral("Port links"), norvale::portsFolder(), norvale::host::portLinks());
        out.flush();
        return 0;
    }
    const norvale::host::AdapterSerial serial = norvale::host::adapterSerial(o.ruleDevice);
    if (serial.serial.isEmpty())
        throw AutomationError(1, program,
                              QStringLiteral("No serial number is known for %1: the rule needs a "
                                             "USB serial adapter's name in %2 (see 'kest721 "
                                             "ports').")
                                  .arg(o.ruleDevice, norvale::host::byIdFolder()));
    out << norvale::host::udevRuleLine(serial.serial, *o.port) << '\n';
    out.flush();
    if (serial.fromName)
        err << "kest721: the serial number " << serial.serial
            << " is read from the device's name; 'udevadm info --query=property --name=DEVICE' "
               "shows it as ID_SERIAL_SHORT\n";
    err << "kest721: put the line in /etc/udev/rules.d/59-norvale-721-adapter.rules (see "
           "README.udev)\n";
    return 0;
}

} // namespace

int main(int argc, char **argv)
{
    // A report draws its chart with widgets' graphics, offscreen: it never
    // shows a window, and needs no display.
    const bool gui = norvale::host::needsGui(argc, argv);
    if (gui)
        qputenv("QT_QPA_PLATFORM", "offscreen");
    std::unique_ptr<QCoreApplication> app(gui ? new QApplication(argc, argv)
                                              : new QCoreApplication(argc, argv));
    QCoreApplication::setApplicationName(program);

    // Publishing has options of its own: everything after its name is its own.
    if (const QStringList all = QCoreApplication::arguments(); all.size() > 1) {
        if (all.at(1) == u"publish")
            return norvale::host::runPublishCommand(all.mid(2));
        if (all.at(1) == u"watch")
            return norvale::host::runWatchCommand(all.mid(2));
    }

    Options options;
    try {
        bool help = false;
        options = parseArguments(QCoreApplication::arguments(), &help);
        if (help) {
            out << helpText;
            return 0;
        }
        if (options.version) {
            out << program << ' ' << NORVALE_VERSION << '\n';
            return 0;
        }
    } catch (const UsageError &e) {
        err << "kest721: " << e.message << "\nTry 'kest721 --help' for more information.\n";
        return 2;
    }

    norvale::host::StopSignals stops;
    // Standard output closed early (a pipe into head) is a write error that
    // ends the job properly, not a signal that kills the program mid-file.
    std::signal(SIGPIPE, SIG_IGN);
    try {
        if (options.command == u"journal")
            return runJournal(options);
        if (options.command == u"ports")
            return runPorts(options);
        if (options.command == u"report")
            return norvale::host::runReport(options.report);
        if (options.command == u"calibration")
            return norvale::host::runCalibration(options.calibration);
        // The Assistant reads its settings when it is created.
        if (options.port)
            norvale::host::storeComPort(*options.port);
        norvale::host::storeRunTimes(options.runTimes.intervalSeconds,
                                   options.runTimes.lengthSeconds);
        if (options.command == u"log")
            return runLog(options, stops);
        if (options.command == u"download")
            return runDownload(options, stops);
        return runStatus(options, stops);
    } catch (const AutomationError &e) {
        out.flush();
        err << "error " << e.number() << " (" << e.source() << "): " << e.description() << '\n';
    } catch (const norvale::host::BoxError &e) {
        out.flush();
        err << "error (" << e.title()
            << "): " << QString(e.text()).replace(QStringLiteral("\r\n"), QStringLiteral(" "))
            << '\n';
    } catch (const norvale::host::OutputError &e) {
        err << "kest721: " << e.what() << '\n';
    } catch (const norvale::host::Aborted &) {
        err << "kest721: stopped\n";
        return stoppedStatus(stops);
    }
    return 1;
}
