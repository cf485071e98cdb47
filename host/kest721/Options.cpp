#include "host/kest721/Options.h"

#include "assistant/Calibration.h"
#include "host/kest721/Commands.h"
#include "host/kest721/HostSettings.h"

#include <QCommandLineParser>

namespace norvale::host
{

namespace
{

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
        if (const auto why = parseInterval(value("interval"), &seconds))
            throw UsageError{QStringLiteral("--interval: %1").arg(*why)};
        o.runTimes.intervalSeconds = seconds;
    }
    if (isSet("length")) {
        int32_t seconds = 0;
        if (const auto why = parseLength(value("length"), &seconds))
            throw UsageError{QStringLiteral("--length: %1").arg(*why)};
        o.runTimes.lengthSeconds = seconds;
    }
    if (o.runTimes.intervalSeconds || o.runTimes.lengthSeconds) {
        // The value not given is the one the Assistant will read.
        const int32_t interval = o.runTimes.intervalSeconds.value_or(storedTimerInterval());
        const int32_t length = o.runTimes.lengthSeconds.value_or(storedTimerLength());
        if (const auto why = checkRunTimes(interval, length))
            throw UsageError{QStringLiteral("--interval %1 with --length %2: %3")
                                 .arg(interval)
                                 .arg(lengthText(length), *why)};
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
            o.report.paper = paper == u"a4" ? Paper::A4 : Paper::Letter;
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
            if (!norvale::assistant::parseDueDate(value("due")))
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

} // namespace

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
    const auto table = kest721Commands();
    if (args.isEmpty())
        throw UsageError{
            QStringLiteral("missing command (%1)").arg(subcommandNames(subcommandList(table)))};
    o.command = args.first();
    // A command with options of its own comes first, before any of these.
    const Kest721Command *command = findSubcommand(table, o.command);
    if (!command || command->runWithArguments)
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
            o.save = SaveAnswer::Yes;
        else if (v == u"no")
            o.save = SaveAnswer::No;
        else if (v == u"ask")
            o.save = SaveAnswer::Ask;
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
TableWriters openWriters(const Options &o, const QString &sheetName)
{
    TableWriters writers;
    if (!o.csv.isEmpty() || o.xlsx.isEmpty())
        writers.add(openCsv(o.csv == u"-" ? QString() : o.csv));
    if (!o.xlsx.isEmpty())
        writers.add(openXlsx(o.xlsx, sheetName));
    return writers;
}

} // namespace norvale::host
