// kest720-cli: a command-line client of the instrument control server, and
// a worked example of its bus contract. Creates one kest720 object, opens the
// port, initialises the meter, does one job and prints the result.
#include "kest720Proxy.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QTextStream>
#include <QTimer>
#include <cstdio>
#include <optional>

using norvale::AutomationError;

namespace
{

QTextStream out(stdout);
QTextStream err(stderr);

const char *unitName(TYPE_UNITS u)
{
    switch (u) {
    case unitR:
        return "R";
    case unitSv:
        return "Sv";
    case unitUnknown:
        break;
    }
    return "unknown";
}

const char *modelName(TYPE_MODEL m)
{
    switch (m) {
    case model720K:
        return "720K";
    case model720M:
        return "720M";
    case modelUnknown:
        break;
    }
    return "unknown";
}

QString csv(const QString &text)
{
    if (!text.contains(u',') && !text.contains(u'"'))
        return text;
    return u'"' + QString(text).replace(QStringLiteral("\""), QStringLiteral("\"\"")) + u'"';
}

QString csvMeasurement(const Measurement &m)
{
    return QStringLiteral("%1,%2,%3,%4")
        .arg(m.Value, 0, 'g', 10)
        .arg(QString::fromLatin1(unitName(m.Unit)))
        .arg(static_cast<int>(m.Prefix))
        .arg(csv(m.UnitString));
}

// Runs the event loop until `done` is set or `ms` have passed (ms < 0: no limit).
void runUntil(const bool &done, int ms)
{
    QEventLoop loop;
    QElapsedTimer clock;
    clock.start();
    while (!done && (ms < 0 || clock.elapsed() < ms))
        loop.processEvents(QEventLoop::WaitForMoreEvents, 50);
}

void info(kest720Proxy &k, qint64 startupMs)
{
    static const char *const modeButton[] = {"disabled", "integrate", "freeze"};
    const ::Ranges ranges = k.Ranges();
    const int alarmRange = k.AlarmRange();
    const int mode = k.ModeButton();
    out << "Model: " << modelName(k.Model()) << '\n';
    out << "Serial number: " << k.SerialNumber() << '\n';
    out << "Units: " << unitName(k.Units()) << (k.Units() == unitSv ? " (sievert)" : " (roentgen)")
        << '\n';
    out << "Blink alarm: " << k.AlarmPercent() << "% of range " << alarmRange;
    if (alarmRange >= 1 && alarmRange <= ranges.Count())
        out << " (" << ranges.Item(alarmRange).Display << ')';
    out << '\n';
    out << "Data-log interval (sample rate): " << k.SampleRate() << '\n';
    out << "Clear log: "
        << (k.ClearLogSetting() == clearlogIntegrateReset ? "on integrate reset" : "at turn-on only")
        << '\n';
    out << "Mode button: " << (mode >= 0 && mode <= 2 ? modeButton[mode] : "unknown") << '\n';
    out << "Ranges: " << ranges.Count() << '\n';
    int i = 1;
    for (const Range &r : ranges)
        out << "  " << i++ << ": " << r.Display << " (command " << r.CommandIndex << ", full scale "
            << r.ScaleNumber << ' ' << r.ScaleUnits << ")\n";
    out << "Start-up took: " << QString::number(startupMs / 1000.0, 'f', 2) << " s\n";
}

void stream(kest720Proxy &k, int seconds)
{
    QElapsedTimer clock;
    bool failed = false;
    out << "seconds,value,unit,prefix,unit_string\n";
    QObject::connect(&k, &kest720Proxy::LiveData, [&](const Measurement &m) {
        out << QString::number(clock.elapsed() / 1000.0, 'f', 3) << ',' << csvMeasurement(m)
            << '\n';
        out.flush();
    });
    QObject::connect(&k, &kest720Proxy::LiveDataError, [&] { failed = true; });
    clock.start();
    k.StartLog();
    runUntil(failed, seconds * 1000);
    k.StopLog();
    if (failed)
        throw AutomationError(1, QStringLiteral("kest720-cli"),
                              QStringLiteral("The meter stopped sending readings."));
}

void download(kest720Proxy &k)
{
    bool done = false;
    bool failed = false;
    int record = 0;
    out << "record,degrees_c,value,unit,prefix,unit_string\n";
    QObject::connect(&k, &kest720Proxy::DataDownload, [&](float degreesC, const Measurement &m) {
        out << ++record << ',' << degreesC << ',' << csvMeasurement(m) << '\n';
    });
    QObject::connect(&k, &kest720Proxy::DataDownloadComplete, [&] { done = true; });
    QObject::connect(&k, &kest720Proxy::DataDownloadError, [&] { done = failed = true; });
    k.StartLogDownload();
    runUntil(done, -1);
    if (failed)
        throw AutomationError(
            1, QStringLiteral("kest720-cli"),
            QStringLiteral("The log download failed after %1 records.").arg(record));
}

void dose(kest720Proxy &k, int seconds)
{
    const TYPE_UNITS units = k.Units();
    k.StartIntegrate();
    const bool never = false;
    runUntil(never, seconds * 1000);
    const double d = k.GetDose();
    out << "dose," << d << ',' << (units == unitSv ? "uSv" : "mR") << '\n';
}

std::optional<int> parseInt(const QString &text)
{
    bool ok = false;
    const int v = text.toInt(&ok);
    return ok ? std::optional<int>(v) : std::nullopt;
}

void set(kest720Proxy &k, const QString &name, const QString &value)
{
    auto number = [&](int lo, int hi) {
        const std::optional<int> v = parseInt(value);
        if (!v || *v < lo || *v > hi)
            throw AutomationError(
                5, QStringLiteral("kest720-cli"),
                QStringLiteral("%1 needs a whole number, not \"%2\"").arg(name, value));
        return *v;
    };
    if (name == u"AlarmRange")
        k.setAlarmRange(static_cast<int16_t>(number(INT16_MIN, INT16_MAX)));
    else if (name == u"AlarmPercent")
        k.setAlarmPercent(static_cast<int16_t>(number(INT16_MIN, INT16_MAX)));
    else if (name == u"SampleRate")
        k.setSampleRate(static_cast<int16_t>(number(INT16_MIN, INT16_MAX)));
    else if (name == u"Units")
        k.setUnits(value == u"R"    ? unitR
                   : value == u"Sv" ? unitSv
                                    : static_cast<TYPE_UNITS>(number(INT32_MIN, INT32_MAX)));
    else if (name == u"ClearLogSetting")
        k.setClearLogSetting(static_cast<TYPE_CLEARLOG>(number(INT32_MIN, INT32_MAX)));
    else if (name == u"ModeButton")
        k.setModeButton(static_cast<TYPE_MODEBUTTON>(number(INT32_MIN, INT32_MAX)));
    else
        throw AutomationError(5, QStringLiteral("kest720-cli"),
                              QStringLiteral("Unknown setting \"%1\"; one of AlarmRange, "
                                             "AlarmPercent, SampleRate, Units, "
                                             "ClearLogSetting, ModeButton")
                                  .arg(name));
    // Stored in the meter's non-volatile memory at once, so the change
    // survives a power cycle whatever the meter does with the final "E".
    k.WriteToEEPROM();
    out << name << " set to " << value << '\n';
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("kest720-cli"));
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
        "Talks to a 721 meter through the instrument control server (Norvale720.kest720).\n"
        "Commands:\n"
        "  info               model, serial number, settings and range table\n"
        "  stream SECONDS     live readings for SECONDS, as CSV\n"
        "  download           the meter's internal data log, as CSV\n"
        "  dose SECONDS       integrate for SECONDS, then print the dose (mR or uSv)\n"
        "  set NAME VALUE     change a setting and keep it in the meter: AlarmRange (1-6),\n"
        "                     AlarmPercent (0-99), SampleRate (1-255), Units (R or Sv),\n"
        "                     ClearLogSetting (0 or 1), ModeButton (0-2)"));
    parser.addHelpOption();
    QCommandLineOption port(QStringLiteral("port"), QStringLiteral("Serial port number N."),
                            QStringLiteral("N"));
    parser.addOption(port);
    parser.addPositionalArgument(QStringLiteral("command"),
                                 QStringLiteral("info, stream, download, dose or set."));
    parser.process(app);

    const QStringList args = parser.positionalArguments();
    const QString command = args.value(0);
    const std::optional<int> portNumber = parseInt(parser.value(port));
    const std::optional<int> seconds = parseInt(args.value(1));
    const bool argsOk =
        portNumber && *portNumber >= 1 && *portNumber <= INT16_MAX &&
        ((command == u"info" && args.size() == 1) || (command == u"download" && args.size() == 1) ||
         ((command == u"stream" || command == u"dose") && args.size() == 2 && seconds &&
          *seconds >= 0) ||
         (command == u"set" && args.size() == 3));
    if (!argsOk) {
        err << parser.helpText();
        return 2;
    }

    try {
        kest720Proxy k;
        k.setPort(static_cast<int16_t>(*portNumber));
        k.OpenPort();
        QElapsedTimer startup;
        startup.start();
        k.Initialize();
        const qint64 startupMs = startup.elapsed();
        if (command == u"info")
            info(k, startupMs);
        else if (command == u"stream")
            stream(k, *seconds);
        else if (command == u"download")
            download(k);
        else if (command == u"dose")
            dose(k, *seconds);
        else
            set(k, args.at(1), args.at(2));
        out.flush();
        // Leave the meter measuring again; only "set" keeps its change.
        try {
            k.Disconnect(command == u"set");
        } catch (const AutomationError &) {
        }
        k.ClosePort();
    } catch (const AutomationError &e) {
        out.flush();
        err << "error " << e.number() << " (" << e.source() << "): " << e.description() << '\n';
        return 1;
    }
    return 0;
}
