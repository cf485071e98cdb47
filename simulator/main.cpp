// sim721: the 721 meter on a pseudo-terminal, in the foreground, until
// SIGINT, SIGTERM or the end of standard input.
#include "Meter.h"
#include "SerialLink.h"

#include <QCommandLineParser>
#include <QCoreApplication>

#include <csignal>
#include <cstdio>
#include <poll.h>
#include <sys/signalfd.h>
#include <unistd.h>

namespace
{

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
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
        "Plays the 721 survey meter on a pseudo-terminal. Prints the slave path and the link "
        "path, one line each, and runs until SIGINT, SIGTERM or the end of standard input."));
    parser.addHelpOption();
    const QCommandLineOption model({QStringLiteral("model")}, QStringLiteral("Model K or M (K)."),
                                   QStringLiteral("K|M"), QStringLiteral("K"));
    const QCommandLineOption units({QStringLiteral("units")}, QStringLiteral("Units R or Sv (R)."),
                                   QStringLiteral("R|Sv"), QStringLiteral("R"));
    const QCommandLineOption port({QStringLiteral("port")},
                                  QStringLiteral("Port number: the link is com<N> (1)."),
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
    parser.process(app);

    sim721::Options opt;
    const QString m = parser.value(model).toUpper();
    if (m != QLatin1String("K") && m != QLatin1String("M"))
        return usageError(QStringLiteral("--model must be K or M"));
    opt.model = m == QLatin1String("K") ? sim721::Model::K720 : sim721::Model::M720;
    const QString u = parser.value(units).toLower();
    if (u != QLatin1String("r") && u != QLatin1String("sv"))
        return usageError(QStringLiteral("--units must be R or Sv"));
    opt.units = u == QLatin1String("r") ? sim721::Units::R : sim721::Units::Sv;
    bool ok = false;
    opt.portNumber = parser.value(port).toInt(&ok);
    if (!ok || opt.portNumber < 1)
        return usageError(QStringLiteral("--port must be a number from 1"));
    opt.portsFolder = parser.isSet(portsDir) ? parser.value(portsDir) : norvale::portsFolder();
    if (parser.isSet(fast))
        opt.charMicros = 50;
    if (parser.isSet(charUs)) {
        opt.charMicros = parser.value(charUs).toDouble(&ok);
        if (!ok || opt.charMicros < 0)
            return usageError(QStringLiteral("--char-us must be a number"));
    }
    opt.readingIntervalMs = parser.value(interval).toInt(&ok);
    if (!ok || opt.readingIntervalMs < 1)
        return usageError(QStringLiteral("--interval-ms must be a positive number"));
    if (parser.isSet(doseRate)) {
        opt.doseRate = parser.value(doseRate).toDouble(&ok);
        if (!ok || opt.doseRate < 0)
            return usageError(QStringLiteral("--dose-rate must be a number from 0"));
    }
    opt.settingsOnPageD = parser.isSet(pageD);
    opt.startStreaming = parser.isSet(streaming);
    opt.logRecords = parser.value(records).toInt(&ok);
    if (!ok || opt.logRecords < 0)
        return usageError(QStringLiteral("--log-records must be a number from 0"));
    opt.serialNumber = parser.value(serial);

    sim721::Meter meter(opt);
    for (const QString &f : parser.values(fault)) {
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
        else if (f == QLatin1String("nopause"))
            meter.setStreamWithoutPause(true);
        else
            return usageError(QStringLiteral("unknown fault %1").arg(f));
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
    const nfds_t n = parser.isSet(noStdin) ? 1 : 2;
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
