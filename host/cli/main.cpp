// kest721: drives the 721 Assistant as a spreadsheet would, for people without
// one and for scripts. Creates a kest721Assistant object, connects to the
// meter, does one job (a logging run, a log download or a status report),
// writes its rows as CSV or xlsx, disconnects and releases the object.
#include "AssistantSession.h"
#include "HostSettings.h"
#include "Journal.h"
#include "Rows.h"
#include "StopSignals.h"
#include "TableWriter.h"
#include "assistant_events_interface.h"
#include "assistant_interface.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QTextStream>
#include <QTimer>
#include <csignal>
#include <algorithm>
#include <optional>
#include <unistd.h>

using kest721host::AssistantSession;
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
    "  log [--csv FILE] [--xlsx FILE]       a logging run: one row per reading the\n"
    "                                       Assistant reports (time, value, unit, alarm\n"
    "                                       colour) until the run ends; its sampling\n"
    "                                       interval and length are the Assistant's\n"
    "                                       settings (TimerInterval, TimerLength)\n"
    "  download [--csv FILE] [--xlsx FILE]  the meter's internal data log, one row per\n"
    "                                       record (record, degrees C, value, unit)\n"
    "  status                               whether the meter connects, its serial\n"
    "                                       number, model and units\n"
    "  journal list                         the runs and downloads kept in the journal\n"
    "                                       of every reading the Assistant relayed\n"
    "  journal export RUN [--csv FILE] [--xlsx FILE]\n"
    "                                       one of them again, as log or download did\n"
    "\n"
    "Options:\n"
    "  --port N        serial port number N (1-32767), stored in the Assistant's\n"
    "                  settings before it starts; without --port the stored setting\n"
    "                  (ComPort) is used\n"
    "  --csv FILE      write the rows to FILE as CSV; FILE - is standard output,\n"
    "                  where CSV also goes without --csv and --xlsx\n"
    "  --xlsx FILE     write the rows to FILE as an xlsx workbook: times as date cells,\n"
    "                  each value cell filled with its alarm colour\n"
    "  --save yes|no   the answer to the Assistant's question on disconnecting,\n"
    "                  whether to keep setting changes in the meter (default: ask on\n"
    "                  the terminal, or no when standard input is not a terminal)\n"
    "  -h, --help      show this help\n"
    "\n"
    "CSV rows are written and flushed as they arrive. Ctrl-C (or SIGTERM) ends a\n"
    "logging run through StopLog, keeps every row received and closes the files\n"
    "properly; a second one leaves at once, still closing the files. A progress line\n"
    "goes to standard error when it is a terminal.\n"
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
    kest721host::SaveAnswer save = kest721host::SaveAnswer::Ask;
};

struct UsageError {
    QString message;
};

Options parseArguments(const QStringList &arguments, bool *help)
{
    QCommandLineParser parser;
    parser.setSingleDashWordOptionMode(QCommandLineParser::ParseAsLongOptions);
    const QCommandLineOption helpOption(QStringList{QStringLiteral("h"), QStringLiteral("help")});
    const QCommandLineOption portOption(QStringLiteral("port"), QString(), QStringLiteral("N"));
    const QCommandLineOption csvOption(QStringLiteral("csv"), QString(), QStringLiteral("FILE"));
    const QCommandLineOption xlsxOption(QStringLiteral("xlsx"), QString(), QStringLiteral("FILE"));
    const QCommandLineOption saveOption(QStringLiteral("save"), QString(),
                                        QStringLiteral("yes|no"));
    parser.addOptions({helpOption, portOption, csvOption, xlsxOption, saveOption});
    if (!parser.parse(arguments))
        throw UsageError{parser.errorText()};
    *help = parser.isSet(helpOption);
    Options o;
    if (*help)
        return o;

    const QStringList args = parser.positionalArguments();
    if (args.isEmpty())
        throw UsageError{QStringLiteral("missing command (log, download or status)")};
    o.command = args.first();
    if (o.command != u"log" && o.command != u"download" && o.command != u"status" &&
        o.command != u"journal")
        throw UsageError{QStringLiteral("unknown command '%1'").arg(o.command)};
    qsizetype used = 1;
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

    for (const QCommandLineOption *single : {&portOption, &csvOption, &xlsxOption, &saveOption})
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
            o.save = kest721host::SaveAnswer::Yes;
        else if (v == u"no")
            o.save = kest721host::SaveAnswer::No;
        else
            throw UsageError{
                QStringLiteral("--save takes yes or no, not '%1'").arg(parser.value(saveOption))};
    }
    o.csv = parser.value(csvOption);
    o.xlsx = parser.value(xlsxOption);
    if ((o.command == u"status" || o.journalCommand == u"list") &&
        (parser.isSet(csvOption) || parser.isSet(xlsxOption)))
        throw UsageError{QStringLiteral("status writes no file; --csv and --xlsx are for log "
                                        "and download")};
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
kest721host::TableWriters openWriters(const Options &o, const QString &sheetName)
{
    kest721host::TableWriters writers;
    if (!o.csv.isEmpty() || o.xlsx.isEmpty())
        writers.add(kest721host::openCsv(o.csv == u"-" ? QString() : o.csv));
    if (!o.xlsx.isEmpty())
        writers.add(kest721host::openXlsx(o.xlsx, sheetName));
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
    explicit Connection(AssistantSession &s) : m_session(s)
    {
        m_session.call(&AssistantInterface::Connect);
        // Every failure of Connect opens a box; this catches any other way
        // of not getting there.
        if (!m_session.Initialized())
            throw AutomationError(1, program, QStringLiteral("The 721 is not connected."));
        m_connected = true;
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

int stoppedStatus(const kest721host::StopSignals &stops)
{
    return stops.count() > 0 ? 128 + stops.lastSignal() : 0;
}

QString unitOfMeter(AssistantSession &s)
{
    const int units = s.controlProperty(QStringLiteral("Units")).toInt();
    const QString unit = kest721host::unitOfInstrumentUnits(units);
    if (unit.isEmpty())
        throw AutomationError(1, program,
                              QStringLiteral("The 721 reports unknown units (%1).").arg(units));
    return unit;
}

// Closes the files; after a failed write, that failure is the one reported.
void finishRows(kest721host::TableWriters &rows,
                std::optional<kest721host::OutputError> &writeError)
{
    try {
        rows.close();
    } catch (const kest721host::OutputError &e) {
        if (!writeError)
            writeError.emplace(e);
    }
}

int runLog(const Options &o, const kest721host::StopSignals &stops)
{
    kest721host::TableWriters rows = openWriters(o, QStringLiteral("Log"));
    rows.header(kest721host::liveHeader());
    Progress progress(rowsToStdout(o));
    AssistantSession session(o.save, stops);
    Connection connection(session);
    const QString unit = unitOfMeter(session);
    const int runLength = kest721host::storedTimerLength();

    int readings = 0;
    bool stopped = false;
    bool failed = false;
    std::optional<kest721host::OutputError> writeError;
    QElapsedTimer sinceFirst;
    auto showProgress = [&] {
        if (!sinceFirst.isValid()) {
            progress.show(QStringLiteral("Waiting for the first reading..."));
            return;
        }
        const qint64 left = qMax<qint64>(0, runLength - sinceFirst.elapsed() / 1000);
        progress.show(QStringLiteral("%1 reading%2, about %3 s left")
                          .arg(readings)
                          .arg(readings == 1 ? "" : "s")
                          .arg(left));
    };
    AssistantEventsInterface &events = session.events();
    QObject::connect(&events, &AssistantEventsInterface::LiveData,
                     [&](double measured, int alarmColor, double timeStamp) {
                         // No exception may pass through Qt's dispatch of a signal.
                         try {
                             rows.live({timeStamp, measured, unit, alarmColor});
                         } catch (const kest721host::OutputError &e) {
                             writeError.emplace(e);
                         }
                         if (!sinceFirst.isValid())
                             sinceFirst.start();
                         ++readings;
                         showProgress();
                     });
    QObject::connect(&events, &AssistantEventsInterface::LogStopped, [&] { stopped = true; });
    QObject::connect(&events, &AssistantEventsInterface::LiveDataError, [&] { failed = true; });
    QTimer ticker;
    QObject::connect(&ticker, &QTimer::timeout, showProgress);

    if (stops.count() == 0) {
        session.call(&AssistantInterface::StartLog);
        showProgress();
        ticker.start(1000);
        session.waitUntil([&] { return stopped || failed || writeError || stops.count() > 0; });
        ticker.stop();
        // The run goes on in the Assistant until it is told otherwise.
        if (!stopped)
            session.call(&AssistantInterface::StopLog);
    }
    progress.finish();
    finishRows(rows, writeError);
    connection.disconnect();
    session.release();
    if (writeError)
        throw *writeError;
    if (failed)
        throw AutomationError(
            1, program,
            QStringLiteral("The 721 stopped sending readings after %1 rows.").arg(readings));
    return stoppedStatus(stops);
}

int runDownload(const Options &o, const kest721host::StopSignals &stops)
{
    kest721host::TableWriters rows = openWriters(o, QStringLiteral("Download"));
    rows.header(kest721host::downloadHeader());
    Progress progress(rowsToStdout(o));
    AssistantSession session(o.save, stops);
    Connection connection(session);

    int records = 0;
    bool done = false;
    bool failed = false;
    std::optional<kest721host::OutputError> writeError;
    AssistantEventsInterface &events = session.events();
    QObject::connect(
        &events, &AssistantEventsInterface::DataDownload,
        [&](double degreesC, const Measurement &measured) {
            ++records;
            try {
                rows.download({records, degreesC, measured.Value,
                               kest721host::unitOfInstrumentUnits(measured.Unit)});
            } catch (const kest721host::OutputError &e) {
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

int runStatus(const Options &o, const kest721host::StopSignals &stops)
{
    AssistantSession session(o.save, stops);
    std::optional<Connection> connection;
    try {
        connection.emplace(session);
    } catch (const kest721host::BoxError &) {
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
    connection->disconnect();
    session.release();
    return stoppedStatus(stops);
}

// The journal's runs, or one of them as the command that made it wrote it.
int runJournal(const Options &o)
{
    norvale::Journal journal;
    if (!journal.isOpen())
        throw AutomationError(1, program, QStringLiteral("The journal cannot be read: %1")
                                              .arg(journal.lastError()));
    const QList<norvale::Journal::Run> runs = journal.runs();
    if (o.journalCommand == u"list") {
        out << kest721host::csvLine({QStringLiteral("run"), QStringLiteral("kind"),
                                     QStringLiteral("started"), QStringLiteral("serial_number"),
                                     QStringLiteral("rows")})
            << '\n';
        for (const auto &r : runs)
            out << kest721host::csvLine(
                       {QString::number(r.id),
                        r.kind == norvale::Journal::Kind::Log ? QStringLiteral("log")
                                                              : QStringLiteral("download"),
                        kest721host::isoTimeStamp(r.started), r.serialNumber,
                        QString::number(r.rows)})
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
    kest721host::TableWriters rows =
        openWriters(o, log ? QStringLiteral("Log") : QStringLiteral("Download"));
    rows.header(log ? kest721host::liveHeader() : kest721host::downloadHeader());
    for (const auto &r : journal.rows(o.journalRun)) {
        if (log)
            rows.live({r.stamp, r.value, r.unit, r.alarmColor.value_or(0)});
        else
            rows.download({int(r.seq), r.degreesC.value_or(0), r.value, r.unit});
    }
    rows.close();
    return 0;
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(program);

    Options options;
    try {
        bool help = false;
        options = parseArguments(QCoreApplication::arguments(), &help);
        if (help) {
            out << helpText;
            return 0;
        }
    } catch (const UsageError &e) {
        err << "kest721: " << e.message << "\nTry 'kest721 --help' for more information.\n";
        return 2;
    }

    kest721host::StopSignals stops;
    // Standard output closed early (a pipe into head) is a write error that
    // ends the job properly, not a signal that kills the program mid-file.
    std::signal(SIGPIPE, SIG_IGN);
    try {
        if (options.command == u"journal")
            return runJournal(options);
        // The Assistant reads its settings when it is created.
        if (options.port)
            kest721host::storeComPort(*options.port);
        if (options.command == u"log")
            return runLog(options, stops);
        if (options.command == u"download")
            return runDownload(options, stops);
        return runStatus(options, stops);
    } catch (const AutomationError &e) {
        out.flush();
        err << "error " << e.number() << " (" << e.source() << "): " << e.description() << '\n';
    } catch (const kest721host::BoxError &e) {
        out.flush();
        err << "error (" << e.title()
            << "): " << QString(e.text()).replace(QStringLiteral("\r\n"), QStringLiteral(" "))
            << '\n';
    } catch (const kest721host::OutputError &e) {
        err << "kest721: " << e.what() << '\n';
    } catch (const kest721host::Aborted &) {
        err << "kest721: stopped\n";
        return stoppedStatus(stops);
    }
    return 1;
}
