// sim721: the 721 meter on a pseudo-terminal, in the foreground, until
// SIGINT, SIGTERM or the end of standard input.
#include "simulator/Meter.h"
#include "platform/PortProbe.h"
#include "platform/SerialLink.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QRegularExpression>
#include <variant>

#include <csignal>
#include <cstdio>
#include <poll.h>
#include <sys/signalfd.h>
#include <unistd.h>

namespace
{

// What the command line asks of the simulator.
struct SimulatorOptions {
    norvale::simulator::Options meter;
    bool portGiven = false; // --port named: never move to another number
    QStringList faults;
    bool noStdin = false;
};

struct UsageError {
    QString message;
};

std::variant<SimulatorOptions, UsageError> parseOptions(QCommandLineParser &parser,
                                                        const QStringList &arguments)
{
    parser.setApplicationDescription(QStringLiteral(
        "Plays the 721 survey meter on a pseudo-terminal. Prints the slave path and the link "
        "path, one line each, and runs until SIGINT, SIGTERM or the end of standard input."));
    parser.addHelpOption();
    parser.addVersionOption();
    const QCommandLineOption model({QStringLiteral("model")}, QStringLiteral("Model K or M (K)."),
                                   QStringLiteral("K|M"), QStringLiteral("K"));
    const QCommandLineOption units({QStringLiteral("units")}, QStringLiteral("Units R or Sv (R)."),
                                   QStringLiteral("R|Sv"), QStringLiteral("R"));
    const QCommandLineOption port(
        {QStringLiteral("port")},
        QStringLiteral("Port number: the link is com<N>. Without it, com1 or the first free "
                       "number after it; a port that another simulator holds is refused."),
        QStringLiteral("N"), QStringLiteral("1"));
    const QCommandLineOption portsDir(
        {QStringLiteral("ports-dir")},
        QStringLiteral("Folder of the port links (the host's: $NORVALE_PORTS, else "
                       "$XDG_CONFIG_HOME/norvale/ports)."),
        QStringLiteral("DIR"));
    const QCommandLineOption fast({QStringLiteral("fast")},
                                  QStringLiteral("50 us per character instead of 1200 baud."));
    const QCommandLineOption charUs({QStringLiteral("char-us")},
                                    QStringLiteral("Microseconds per character (8333.3)."),
                                    QStringLiteral("N"));
    const QCommandLineOption interval({QStringLiteral("interval-ms")},
                                      QStringLiteral("Milliseconds between readings (1000)."),
                                      QStringLiteral("N"), QStringLiteral("1000"));
    const QCommandLineOption doseRate({QStringLiteral("dose-rate")},
                                      QStringLiteral("Dose rate in uR/h or uSv/h (background)."),
                                      QStringLiteral("X"));
    const QCommandLineOption pageD({QStringLiteral("settings-on-page-d")},
                                   QStringLiteral("M model: settings on page D, page 9 marked."));
    const QCommandLineOption streaming({QStringLiteral("streaming")},
                                       QStringLiteral("The meter is found streaming."));
    const QCommandLineOption records({QStringLiteral("log-records")},
                                     QStringLiteral("Records in the data log (5)."),
                                     QStringLiteral("N"), QStringLiteral("5"));
    const QCommandLineOption serial({QStringLiteral("serial")},
                                    QStringLiteral("Serial number, four digits (1234)."),
                                    QStringLiteral("NNNN"), QStringLiteral("1234"));
    const QCommandLineOption fault(
        {QStringLiteral("fault")},
        QStringLiteral("Fault, repeatable: silent, garbage, cut (100 ms pause), nocr, nodump, "
                       "nopause."),
        QStringLiteral("NAME"));
    const QCommandLineOption noStdin(
        {QStringLiteral("no-stdin")},
        QStringLiteral("Ignore standard input (run in the background until a signal)."));
    parser.addOptions({model, units, port, portsDir, fast, charUs, interval, doseRate, pageD,
                       streaming, records, serial, fault, noStdin});
    if (!parser.parse(arguments))
        return UsageError{parser.errorText()};
    if (!parser.positionalArguments().isEmpty())
        return UsageError{QStringLiteral("unexpected argument '%1'")
                              .arg(parser.positionalArguments().constFirst())};

    SimulatorOptions so;
    norvale::simulator::Options &opt = so.meter;
    const QString m = parser.value(model).toUpper();
    if (m != QLatin1String("K") && m != QLatin1String("M"))
        return UsageError{QStringLiteral("--model must be K or M")};
    opt.model =
        m == QLatin1String("K") ? norvale::simulator::Model::K720 : norvale::simulator::Model::M720;
    const QString u = parser.value(units).toLower();
    if (u != QLatin1String("r") && u != QLatin1String("sv"))
        return UsageError{QStringLiteral("--units must be R or Sv")};
    opt.units =
        u == QLatin1String("r") ? norvale::simulator::Units::R : norvale::simulator::Units::Sv;
    bool ok = false;
    opt.portNumber = parser.value(port).toInt(&ok);
    if (!ok || opt.portNumber < 1 || opt.portNumber > INT16_MAX)
        return UsageError{QStringLiteral("--port must be a number from 1 to %1").arg(INT16_MAX)};
    so.portGiven = parser.isSet(port);
    opt.portsFolder =
        parser.isSet(portsDir) ? parser.value(portsDir) : norvale::platform::portsFolder();
    if (parser.isSet(fast))
        opt.charMicros = 50;
    if (parser.isSet(charUs)) {
        opt.charMicros = parser.value(charUs).toDouble(&ok);
        if (!ok || opt.charMicros < 0)
            return UsageError{QStringLiteral("--char-us must be a number")};
    }
    opt.readingIntervalMs = parser.value(interval).toInt(&ok);
    if (!ok || opt.readingIntervalMs < 1)
        return UsageError{QStringLiteral("--interval-ms must be a positive number")};
    if (parser.isSet(doseRate)) {
        opt.doseRate = parser.value(doseRate).toDouble(&ok);
        if (!ok || opt.doseRate < 0)
            return UsageError{QStringLiteral("--dose-rate must be a number from 0")};
    }
    opt.settingsOnPageD = parser.isSet(pageD);
    opt.startStreaming = parser.isSet(streaming);
    opt.logRecords = parser.value(records).toInt(&ok);
    if (!ok || opt.logRecords < 0)
        return UsageError{QStringLiteral("--log-records must be a number from 0")};
    static const QRegularExpression fourDigits(QStringLiteral("^[0-9]{4}$"));
    opt.serialNumber = parser.value(serial);
    if (!fourDigits.match(opt.serialNumber).hasMatch())
        return UsageError{
            QStringLiteral("--serial must be four digits, not '%1'").arg(opt.serialNumber)};
    static const QStringList known = {QStringLiteral("silent"), QStringLiteral("garbage"),
                                      QStringLiteral("cut"),    QStringLiteral("nocr"),
                                      QStringLiteral("nodump"), QStringLiteral("nopause")};
    for (const QString &f : parser.values(fault))
        if (!known.contains(f))
            return UsageError{QStringLiteral("unknown fault '%1'").arg(f)};
    so.faults = parser.values(fault);
    so.noStdin = parser.isSet(noStdin);
    return so;
}

// Another simulator's link: com<n> naming a pseudo-terminal whose master is
// still open. Taking it over would leave that meter unreachable.
QString linkInUse(const QString &folder, int n)
{
    const QString link = QDir(folder).filePath(QStringLiteral("com%1").arg(n));
    const QFileInfo info(link);
    if (!info.isSymLink())
        return {};
    const QString target = info.symLinkTarget();
    const norvale::platform::PortHolder master = norvale::platform::findPtyMaster(target);
    if (!master.pid)
        return {}; // a stale link from a simulator that did not end cleanly
    return QStringLiteral("com%1 is already linked to %2 by process %3 (%4)")
        .arg(n)
        .arg(target)
        .arg(master.pid)
        .arg(master.name);
}

int usageError(const QString &message)
{
    std::fprintf(stderr, "sim721: %s\nTry 'sim721 --help'.\n", qPrintable(message));
    return 2;
}

} // namespace

int main(int argc, char **argv)
{
    // Block the stop signals before any thread starts, so that only the signalfd sees them.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("sim721"));
    QCoreApplication::setApplicationVersion(QString::fromLatin1(NORVALE_VERSION));
    QCommandLineParser parser;
    const auto parsed = parseOptions(parser, QCoreApplication::arguments());
    if (const auto *bad = std::get_if<UsageError>(&parsed))
        return usageError(bad->message);
    if (parser.isSet(QStringLiteral("help")))
        parser.showHelp(0);
    if (parser.isSet(QStringLiteral("version")))
        parser.showVersion();
    SimulatorOptions so = std::get<SimulatorOptions>(parsed);
    norvale::simulator::Options &opt = so.meter;

    if (!opt.portsFolder.isEmpty()) {
        QString taken = linkInUse(opt.portsFolder, opt.portNumber);
        if (!taken.isEmpty() && so.portGiven) {
            std::fprintf(stderr, "sim721: %s\n", qPrintable(taken));
            return 1;
        }
        if (!taken.isEmpty()) {
            while (!linkInUse(opt.portsFolder, opt.portNumber).isEmpty())
                ++opt.portNumber;
            std::fprintf(stderr, "sim721: %s; using com%d\n", qPrintable(taken), opt.portNumber);
        }
    }

    norvale::simulator::Meter meter(opt);
    for (const QString &f : so.faults) {
        if (f == QLatin1String("silent"))
            meter.setSilent(true);
        else if (f == QLatin1String("garbage"))
            meter.setGarbage(true);
        else if (f == QLatin1String("cut"))
            meter.setCutReplies(100);
        else if (f == QLatin1String("nocr"))
            meter.setNoCR(true);
        else if (f == QLatin1String("nodump"))
            meter.setNoDumpLine(true);
        else
            meter.setStreamWithoutPause(true);
    }
    QString error;
    if (!meter.start(&error)) {
        std::fprintf(stderr, "sim721: %s\n", qPrintable(error));
        return 1;
    }
    std::printf("%s\n%s\n", qPrintable(meter.slavePath()), qPrintable(meter.linkPath()));
    std::fflush(stdout);

    const int sfd = signalfd(-1, &stopSignals, SFD_CLOEXEC);
    pollfd fds[2] = {{sfd, POLLIN, 0}, {STDIN_FILENO, POLLIN, 0}};
    const nfds_t n = so.noStdin ? 1 : 2;
    for (;;) {
        if (::poll(fds, n, -1) < 0)
            continue;
        if (fds[0].revents & POLLIN)
            break;
        if (n == 2 && (fds[1].revents & (POLLIN | POLLHUP))) {
            char buf[256];
            if (::read(STDIN_FILENO, buf, sizeof buf) <= 0)
                break;
        }
    }
    ::close(sfd);
    meter.stop();
    return 0;
}
