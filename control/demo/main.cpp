// kest720-demo: runs the instrument start-up against a meter (or the built-in
// simulated meter) and shows what a user wants to see of it.
#include "AutomationError.h"
#include "Meter.h"
#include "Ticks.h"
#include "kest720.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QLoggingCategory>
#include <QTemporaryDir>
#include <QTimer>
#include <cstdio>
#include <memory>

namespace {

void out(const QString &text) { std::fputs(qPrintable(text + QLatin1Char('\n')), stdout); std::fflush(stdout); }

QString modelName(TYPE_MODEL m)
{
    return m == model720K ? QStringLiteral("720K") : m == model720M ? QStringLiteral("720M") : QStringLiteral("unknown");
}

bool runUntil(const std::function<bool()> &done, int timeoutMs)
{
    QElapsedTimer t;
    t.start();
    while (!done() && t.elapsed() < timeoutMs) {
        QCoreApplication::processEvents();
        norvale::sleepMs(5);
    }
    return done();
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("kest720-demo"));
    // The demo shows results, not the libraries' diagnostics (QT_LOGGING_RULES still wins).
    if (qEnvironmentVariableIsEmpty("QT_LOGGING_RULES"))
        QLoggingCategory::setFilterRules(QStringLiteral("norvale.*.debug=false\nnorvale.*.info=false"));
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
        "Connects to a 721 meter, runs the start-up and shows the meter's data, a few seconds of\n"
        "live readings, a short log download and a dose reading. Without --port it starts the\n"
        "built-in simulated meter at the real line rate."));
    parser.addHelpOption();
    parser.addOption({QStringLiteral("port"), QStringLiteral("Serial port number of a real meter."), QStringLiteral("N")});
    parser.addOption({QStringLiteral("fast"), QStringLiteral("Simulated meter at a fast line rate.")});
    parser.addOption({QStringLiteral("model"), QStringLiteral("Simulated model: K or M."), QStringLiteral("K|M"), QStringLiteral("K")});
    parser.addOption({QStringLiteral("units"), QStringLiteral("Simulated units: R or Sv."), QStringLiteral("R|Sv"), QStringLiteral("R")});
    parser.addOption({QStringLiteral("seconds"), QStringLiteral("Seconds of live readings."), QStringLiteral("S"), QStringLiteral("5")});
    parser.process(app);

    QTemporaryDir ports;
    std::unique_ptr<sim721::Meter> meter;
    int16_t port = 1;
    if (parser.isSet(QStringLiteral("port"))) {
        port = static_cast<int16_t>(parser.value(QStringLiteral("port")).toInt());
    } else {
        sim721::Options o;
        o.model = parser.value(QStringLiteral("model")).toUpper() == QLatin1String("M") ? sim721::Model::M720 : sim721::Model::K720;
        o.units = parser.value(QStringLiteral("units")).compare(QLatin1String("Sv"), Qt::CaseInsensitive) == 0 ? sim721::Units::Sv : sim721::Units::R;
        o.portsFolder = ports.path();
        o.portNumber = 1;
        if (parser.isSet(QStringLiteral("fast")))
            o.charMicros = 50;
        meter = std::make_unique<sim721::Meter>(o);
        QString error;
        if (!meter->start(&error)) {
            std::fprintf(stderr, "kest720-demo: cannot start the simulated meter: %s\n", qPrintable(error));
            return 1;
        }
        qputenv("NORVALE_PORTS", ports.path().toLocal8Bit());
        out(QStringLiteral("Simulated meter on %1 (port 1)").arg(meter->slavePath()));
    }

    kest720 k;
    k.setPort(port);
    k.OpenPort();
    QElapsedTimer timer;
    timer.start();
    try {
        k.Initialize();
    } catch (const norvale::AutomationError &e) {
        std::fprintf(stderr, "kest720-demo: start-up failed: %s (%d, %s)\n", qPrintable(e.description()),
                     e.number(), qPrintable(e.source()));
        return 2;
    }
    const qint64 ms = timer.elapsed();
    static const char *modeButton[] = {"disabled", "integrate", "freeze"};
    out(QStringLiteral("Model:            %1").arg(modelName(k.Model())));
    out(QStringLiteral("Units:            %1").arg(k.Units() == unitR ? "roentgen (R)" : "sievert (Sv)"));
    out(QStringLiteral("Serial number:    %1").arg(k.SerialNumber()));
    out(QStringLiteral("Ranges:"));
    for (int i = 1; i <= k.Ranges().Count(); ++i) {
        const Range &r = k.Ranges().Item(i);
        out(QStringLiteral("  %1. %2  (command index %3)").arg(i).arg(r.Display, -10).arg(r.CommandIndex));
    }
    const int alarmRange = k.AlarmRange();
    const QString alarmScale = alarmRange >= 1 && alarmRange <= k.Ranges().Count() ? k.Ranges().Item(alarmRange).Display : QStringLiteral("?");
    out(QStringLiteral("Blink alarm:      %1% of range %2 (%3)").arg(k.AlarmPercent()).arg(alarmRange).arg(alarmScale));
    out(QStringLiteral("Data-log interval: %1 (meter sample rate)").arg(k.SampleRate()));
    out(QStringLiteral("Clear log:        %1").arg(k.ClearLogSetting() == clearlogIntegrateReset ? "on integrate reset" : "at turn-on only"));
    const int mb = k.ModeButton();
    out(QStringLiteral("Mode button:      %1").arg(mb >= 0 && mb <= 2 ? modeButton[mb] : "?"));
    out(QStringLiteral("Start-up took:    %1 s").arg(ms / 1000.0, 0, 'f', 2));

    // A few seconds of live readings.
    const int seconds = parser.value(QStringLiteral("seconds")).toInt();
    out(QStringLiteral("\nLive readings for %1 s:").arg(seconds));
    bool idle = false;
    QObject::connect(&k, &kest720::LiveData, [](const Measurement &m) {
        out(QStringLiteral("  %1  %2").arg(m.Value).arg(m.UnitString));
    });
    QObject::connect(&k, &kest720::LiveDataError, [] { out(QStringLiteral("  the meter fell silent")); });
    auto onIdle = QObject::connect(&k, &kest720::idle, [&] { idle = true; });
    k.StartLog();
    QTimer::singleShot(seconds * 1000, &k, [&] { k.StopLog(); });
    runUntil([&] { return idle; }, (seconds + 30) * 1000);
    QObject::disconnect(onIdle);

    // The internal data log.
    if (meter)
        meter->setLog({{QStringLiteral("22.5"), 0, QStringLiteral("14.2")},
                       {QStringLiteral("22.6"), 0, QStringLiteral("15.0")},
                       {QStringLiteral("22.4"), 1, QStringLiteral("0.62")}});
    out(QStringLiteral("\nData log (degrees C, reading):"));
    bool downloaded = false;
    QObject::connect(&k, &kest720::DataDownload, [](float c, const Measurement &m) {
        out(QStringLiteral("  %1, %2 %3").arg(c, 0, 'f', 1).arg(m.Value).arg(m.UnitString));
    });
    QObject::connect(&k, &kest720::DataDownloadComplete, [&] { downloaded = true; out(QStringLiteral("  (complete)")); });
    QObject::connect(&k, &kest720::DataDownloadError, [&] { downloaded = true; out(QStringLiteral("  (the download failed)")); });
    k.StartLogDownload();
    runUntil([&] { return downloaded; }, 60000);

    // Dose over two seconds.
    try {
        k.StartIntegrate();
        runUntil([] { return false; }, 2000);
        const double dose = k.GetDose();
        out(QStringLiteral("\nDose over about 2 s: %1 %2").arg(dose).arg(k.Units() == unitR ? "mR" : "uSv"));
        k.Disconnect(false);
    } catch (const norvale::AutomationError &e) {
        out(QStringLiteral("Dose failed: %1").arg(e.description()));
    }
    k.ClosePort();
    return 0;
}
