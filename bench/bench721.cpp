// bench721: the instrument server's speed against the simulated meter at the
// real line rate (1200 baud 8N1), beside what the protocol itself allows.
//   initialize  start-up time vs the protocol minimum
//   download    records per second of a 500-record log vs the wire limit
//   stream      CPU share of one core over a live stream
#include "simulator/Meter.h"
#include "cmake/TestWait.h"
#include "platform/Ticks.h"
#include "control/kest720.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QLoggingCategory>
#include <QTemporaryDir>
#include <QTimer>
#include <cstdio>
#include <ctime>
#include <memory>

namespace
{

constexpr double kCharMs = 10.0 * 1000.0 / 1200.0; // 10 bits a character at 1200 baud

// The wait itself must not spin, or it would count in the server's CPU share.
void runUntil(const std::function<bool()> &done, int timeoutMs)
{
    testsupport::waitFor(done, timeoutMs);
}

double threadCpuSeconds()
{
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts); // the server's thread, not the meter's
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

struct Rig {
    QTemporaryDir ports;
    std::unique_ptr<norvale::simulator::Meter> meter;
    kest720 k;
    bool start(norvale::simulator::Options o)
    {
        o.portsFolder = ports.path();
        o.portNumber = 1;
        meter = std::make_unique<norvale::simulator::Meter>(o);
        QString error;
        if (!meter->start(&error)) {
            std::fprintf(stderr, "bench721: %s\n", qPrintable(error));
            return false;
        }
        qputenv("NORVALE_PORTS", ports.path().toLocal8Bit());
        k.setPort(1);
        k.OpenPort();
        return true;
    }
};

int benchInitialize(int runs)
{
    std::printf("Initialize at 1200 baud (%d runs)\n", runs);
    for (const auto model : {norvale::simulator::Model::K720, norvale::simulator::Model::M720}) {
        Rig rig;
        norvale::simulator::Options o;
        o.model = model;
        if (!rig.start(o))
            return 1;
        for (int i = 0; i < runs; ++i) {
            rig.k.resetPacingStats();
            QElapsedTimer t;
            t.start();
            rig.k.Initialize();
            const double measured = static_cast<double>(t.elapsed());
            const auto &s = rig.k.pacingStats();
            const double wire = static_cast<double>(s.bytesReceived) * kCharMs;
            const double minimum = static_cast<double>(s.pauseMs) + 250.0 * s.waits + wire;
            std::printf(
                "  %s run %d: %.0f ms measured; minimum %.0f ms = pauses %lld + quiet %d x 250 "
                "+ wire %.0f (%lld bytes in, %lld out); ratio %.2f\n",
                model == norvale::simulator::Model::K720 ? "720K" : "720M", i + 1, measured,
                minimum, static_cast<long long>(s.pauseMs), s.waits, wire,
                static_cast<long long>(s.bytesReceived), static_cast<long long>(s.bytesSent),
                measured / minimum);
        }
    }
    return 0;
}

int benchDownload(int records)
{
    Rig rig;
    if (!rig.start({}))
        return 1;
    rig.k.Initialize();
    std::vector<norvale::simulator::LogRecord> log;
    for (int i = 0; i < records; ++i)
        log.push_back({QString::number(20 + (i % 50) * 0.1, 'f', 1), i % 5,
                       QString::number(0.01 * (i % 1000 + 1), 'f', 2)});
    rig.meter->setLog(log);
    int got = 0;
    bool done = false;
    QObject::connect(&rig.k, &kest720::DataDownload, [&](float, const Measurement &) { ++got; });
    QObject::connect(&rig.k, &kest720::DataDownloadComplete, [&] { done = true; });
    QObject::connect(&rig.k, &kest720::DataDownloadError, [&] { done = true; });
    rig.meter->clearSent();
    QElapsedTimer t;
    t.start();
    rig.k.StartLogDownload();
    runUntil([&] { return done; }, 600000);
    const double seconds = static_cast<double>(t.elapsed()) / 1000.0;
    const qsizetype bytes = rig.meter->sent().size();
    const double wireSeconds = static_cast<double>(bytes) * kCharMs / 1000.0;
    std::printf("Download of %d records at 1200 baud: %d arrived in %.1f s = %.2f records/s; wire "
                "limit for the %lld bytes of the reply %.1f s = %.2f records/s; ratio %.3f\n",
                records, got, seconds, got / seconds, static_cast<long long>(bytes), wireSeconds,
                records / wireSeconds, (got / seconds) / (records / wireSeconds));
    return got == records ? 0 : 1;
}

int benchStream(int seconds)
{
    Rig rig;
    if (!rig.start({}))
        return 1;
    rig.k.Initialize();
    int readings = 0;
    bool idle = false;
    QObject::connect(&rig.k, &kest720::LiveData, [&](const Measurement &) { ++readings; });
    QObject::connect(&rig.k, &kest720::idle, [&] { idle = true; });
    const double cpu0 = threadCpuSeconds();
    QElapsedTimer t;
    t.start();
    rig.k.StartLog();
    QTimer::singleShot(seconds * 1000, [&] { rig.k.StopLog(); });
    runUntil([&] { return idle; }, (seconds + 60) * 1000);
    const double wall = static_cast<double>(t.elapsed()) / 1000.0;
    const double cpu = threadCpuSeconds() - cpu0;
    std::printf(
        "Live stream for %.1f s at 1200 baud: %d readings; server thread CPU %.3f s = %.2f%% "
        "of one core\n",
        wall, readings, cpu, 100.0 * cpu / wall);
    return 0;
}

int usageError(const QString &message)
{
    std::fprintf(stderr, "bench721: %s\nTry 'bench721 --help'.\n", qPrintable(message));
    return 2;
}

// Reads option `name` as a whole number from lo to hi, or says what is wrong.
bool count(const QCommandLineParser &p, const QString &name, int lo, int hi, int *value)
{
    bool ok = false;
    *value = p.value(name).toInt(&ok);
    if (ok && *value >= lo && *value <= hi)
        return true;
    usageError(QStringLiteral("--%1 must be a whole number from %2 to %3, not '%4'")
                   .arg(name)
                   .arg(lo)
                   .arg(hi)
                   .arg(p.value(name)));
    return false;
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    QLoggingCategory::setFilterRules(QStringLiteral("norvale.*.debug=false\nnorvale.*.info=false"));
    QCommandLineParser p;
    p.setApplicationDescription(QStringLiteral(
        "Benchmarks of the instrument server against the simulated meter at the real line rate.\n"
        "Commands: initialize, download, stream."));
    p.addHelpOption();
    p.addPositionalArgument(QStringLiteral("command"),
                            QStringLiteral("initialize | download | stream"));
    p.addOption({QStringLiteral("runs"), QStringLiteral("Start-ups to time (1 to 1000)."),
                 QStringLiteral("N"), QStringLiteral("3")});
    p.addOption({QStringLiteral("records"),
                 QStringLiteral("Log records to download (1 to 100000)."), QStringLiteral("N"),
                 QStringLiteral("500")});
    p.addOption({QStringLiteral("seconds"), QStringLiteral("Seconds of streaming (1 to 86400)."),
                 QStringLiteral("S"), QStringLiteral("60")});
    if (!p.parse(QCoreApplication::arguments()))
        return usageError(p.errorText());
    if (p.isSet(QStringLiteral("help")))
        p.showHelp(0);
    const QStringList args = p.positionalArguments();
    const QString command = args.value(0);
    if (args.size() != 1)
        return usageError(args.isEmpty()
                              ? QStringLiteral("no command given")
                              : QStringLiteral("one command, not '%1'").arg(args.join(u' ')));
    // Each count is checked before any meter starts: a negative or huge number
    // would otherwise run for ever or overflow a timer.
    int value = 0;
    if (command == QLatin1String("initialize")) {
        if (!count(p, QStringLiteral("runs"), 1, 1000, &value))
            return 2;
        return benchInitialize(value);
    }
    if (command == QLatin1String("download")) {
        if (!count(p, QStringLiteral("records"), 1, 100000, &value))
            return 2;
        return benchDownload(value);
    }
    if (command == QLatin1String("stream")) {
        if (!count(p, QStringLiteral("seconds"), 1, 86400, &value))
            return 2;
        return benchStream(value);
    }
    return usageError(
        QStringLiteral("unknown command '%1' (initialize, download or stream)").arg(command));
}
