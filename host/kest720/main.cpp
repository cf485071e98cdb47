// kest720-cli: a command-line client of the instrument control server, and
// a worked example of its bus contract. Creates one kest720 object, opens the
// port, initialises the meter, does one job and prints the result.
//
// Arguments are checked in full before the meter is woken, rows are written
// the moment they arrive, and an interrupt (Ctrl-C) stops the job cleanly:
// the rows so far stay in the output and the meter is left at its prompt.
#include "platform/automation/Automation.h"
#include "platform/PortProbe.h"
#include "platform/SerialLink.h"
#include "control/dbus/kest720Proxy.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QRegularExpression>
#include <QSocketNotifier>
#include <QStringList>
#include <QTimer>

#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <optional>
#include <unistd.h>
#include <variant>

using norvale::AutomationError;

namespace
{

constexpr int exitFailure = 1;
constexpr int exitUsage = 2;
constexpr int exitInterrupted = 130; // as a shell reports a program ended by Ctrl-C

// Durations are kept in 64-bit milliseconds; a year is a generous ceiling
// that still catches a mistyped number.
constexpr qint64 maxSeconds = 365LL * 24 * 3600;
// At 1200 baud 8N1 the line carries 120 characters a second.
constexpr double lineCharsPerSecond = 120.0;
// Retries when the server is restarting or the port is still held by a job
// that is ending.
constexpr int retryForMs = 5000;
constexpr int retryPauseMs = 250;

const QString programName = QStringLiteral("kest720-cli");

const char *const helpText = R"(Usage: kest720-cli --port N COMMAND [ARGUMENTS]

Talks to a 721 meter through the instrument control server (Norvale720.kest720,
started by the session bus when needed).

Options:
  --port N          the meter's serial port number (required): the link com<N>
                    in the ports folder ($NORVALE_PORTS, else
                    $XDG_CONFIG_HOME/norvale/ports), else /dev/ttyS<N-1>
  -h, --help        this text
  --version         the version

Commands:
  info              model, serial number, settings and range table
  stream SECONDS    live readings as CSV, for SECONDS counted from the first
                    reading (the meter takes about two seconds to send it)
  download          the meter's internal data log as CSV, each record as it
                    arrives; progress on standard error when it is a terminal
  dose SECONDS      integrate for SECONDS, then print the dose (mR or uSv)
  set NAME VALUE    change a setting and keep it in the meter:
                      AlarmRange       1 to 6 (6: no blink alarm)
                      AlarmPercent     0 to 99
                      SampleRate       1 to 255 (seconds between log records)
                      Units            R or Sv (or 1, 2)
                      ClearLogSetting  turn-on or integrate-reset (or 0, 1)
                      ModeButton       disabled, integrate or freeze (or 0, 1, 2)

SECONDS is a whole number from 1 to 31536000 (a year).
Ctrl-C stops a job cleanly: the rows so far are kept and the meter is left
ready for the next command.

Exit status: 0 done, 1 the meter, the port or the server failed (the reason on
standard error), 2 wrong usage, 130 stopped by Ctrl-C.
)";

// ---- Output -----------------------------------------------------------------

// A wait sleeps in the event loop; the interrupt handler and a failed write
// wake it through this pipe (a write is all a signal handler may do).
int wakeFds[2] = {-1, -1};

void wakeWait()
{
    if (wakeFds[1] >= 0) {
        const char byte = 0;
        [[maybe_unused]] const ssize_t n = ::write(wakeFds[1], &byte, 1);
    }
}

// Rows go out through stdio and are flushed one by one, so that a reader of
// a pipe or a file sees each record as it arrives and an interrupt loses none.
bool outputBroken = false;

void emitLine(const QString &line)
{
    const QByteArray bytes = line.toLocal8Bit() + '\n';
    if (std::fwrite(bytes.constData(), 1, static_cast<size_t>(bytes.size()), stdout) !=
            static_cast<size_t>(bytes.size()) ||
        std::fflush(stdout) != 0) {
        outputBroken = true;
        wakeWait();
    }
}

void note(const QString &line)
{
    std::fprintf(stderr, "%s: %s\n", qPrintable(programName), qPrintable(line));
}

// ---- Interrupts -------------------------------------------------------------

volatile std::sig_atomic_t interrupts = 0;

void onInterrupt(int)
{
    // A second Ctrl-C while the first is being handled ends the program at
    // once; every row written so far has already been flushed.
    interrupts = interrupts + 1;
    if (interrupts >= 2)
        _exit(exitInterrupted);
    wakeWait();
}

void catchInterrupts()
{
    if (::pipe2(wakeFds, O_NONBLOCK | O_CLOEXEC) != 0)
        wakeFds[0] = wakeFds[1] = -1;
    struct sigaction sa {
    };
    sa.sa_handler = onInterrupt;
    sigemptyset(&sa.sa_mask);
    for (int s : {SIGINT, SIGTERM, SIGHUP})
        sigaction(s, &sa, nullptr);
    // A closed pipe (`| head`) is noticed by the failing write instead.
    std::signal(SIGPIPE, SIG_IGN);
}

bool stopAsked()
{
    return interrupts > 0 || outputBroken;
}

// One wait on the server: the event loop sleeps until finish() is called (by
// the event waited for), a stop is asked, or the time limit passes. Nothing
// polls, so a client that waits an hour for the meter uses no CPU meanwhile.
class Wait
{
public:
    void finish()
    {
        m_finished = true;
        m_loop.quit();
    }
    bool finished() const { return m_finished; }

    // Returns at once when already finished or stopped; ms < 0: no limit.
    void run(qint64 ms = -1)
    {
        if (m_finished || stopAsked())
            return;
        std::optional<QSocketNotifier> woken;
        if (wakeFds[0] >= 0) {
            woken.emplace(wakeFds[0], QSocketNotifier::Read);
            QObject::connect(&*woken, &QSocketNotifier::activated, &m_loop, [this] {
                char bytes[16];
                while (::read(wakeFds[0], bytes, sizeof bytes) > 0) {
                }
                if (stopAsked())
                    m_loop.quit();
            });
        }
        // A timer's interval is an int of milliseconds: a longer limit is
        // waited in steps of a day.
        QElapsedTimer clock;
        clock.start();
        QTimer limit;
        limit.setSingleShot(true);
        constexpr qint64 dayMs = 24LL * 3600 * 1000;
        QObject::connect(&limit, &QTimer::timeout, &m_loop, [&] {
            const qint64 left = ms - clock.elapsed();
            if (left <= 0)
                m_loop.quit();
            else
                limit.start(static_cast<int>(std::min(left, dayMs)));
        });
        if (ms >= 0)
            limit.start(static_cast<int>(std::min(ms, dayMs)));
        m_loop.exec();
    }

private:
    QEventLoop m_loop;
    bool m_finished = false;
};

// ---- Words and numbers ------------------------------------------------------

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

// What an error number means, named after the layer that raised it and put
// before the usual "error NUMBER (SOURCE): DESCRIPTION".
QString errorMeaning(int32_t number)
{
    namespace e = norvale::automation::error;
    namespace s = norvale::serialerror;
    if (number == norvale::vbObjectError + 1)
        return QStringLiteral("721 Control ");
    switch (number) {
    case s::invalidPortNumber:
    case s::portAlreadyOpen:
    case s::portNotOpen:
    case s::openFailed:
        return QStringLiteral("serial port ");
    case e::serverGone:
    case e::callTimedOut:
    case e::typeMismatch:
    case e::permissionDenied:
    case e::notSupported:
    case e::readOnly:
    case e::wrongArguments:
    case e::automationError:
        return QStringLiteral("bus ");
    default:
        return {};
    }
}

QString errorLine(const AutomationError &e)
{
    return QStringLiteral("%1error %2 (%3): %4")
        .arg(errorMeaning(e.number()))
        .arg(e.number())
        .arg(e.source(), e.description());
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

// ---- The command line -------------------------------------------------------

// One setting of `set`: the property, its value checked and converted.
struct Setting {
    QString name; // as the property is spelt
    int value = 0;
    QString typed; // as the user wrote the value
};

struct Request {
    int port = 0;
    QString command;
    qint64 seconds = 0;
    Setting setting;
};

struct UsageError {
    QString problem;
};
struct VersionWanted {
};

struct HelpWanted {
};

struct Word {
    const char *text;
    int value;
};

struct SettingRule {
    const char *name;
    int lo, hi;              // for numbers
    std::vector<Word> words; // the words `info` prints, with their numbers
    const char *allowed;     // how the refusal states what is allowed
};

const std::vector<SettingRule> &settingRules()
{
    static const std::vector<SettingRule> rules = {
        {"AlarmRange", 1, 6, {}, "1 to 6"},
        {"AlarmPercent", 0, 99, {}, "0 to 99"},
        {"SampleRate", 1, 255, {}, "1 to 255"},
        {"Units", 1, 2, {{"R", unitR}, {"Sv", unitSv}}, "R or Sv"},
        {"ClearLogSetting",
         0,
         1,
         {{"turn-on", clearlogTurnOnOnly}, {"integrate-reset", clearlogIntegrateReset}},
         "turn-on or integrate-reset"},
        {"ModeButton",
         0,
         2,
         {{"disabled", modebuttonDisabled},
          {"integrate", modebuttonIntegrate},
          {"freeze", modebuttonFreeze}},
         "disabled, integrate or freeze"},
    };
    return rules;
}

std::optional<qint64> wholeNumber(const QString &text)
{
    // Digits only, with an optional sign: "1e3", "0x10" and " 5" are not what a user means.
    static const QRegularExpression digits(QStringLiteral("^[+-]?[0-9]{1,18}$"));
    if (!digits.match(text).hasMatch())
        return std::nullopt;
    return text.toLongLong();
}

std::variant<Setting, UsageError> parseSetting(const QString &name, const QString &value)
{
    QStringList names;
    for (const SettingRule &rule : settingRules()) {
        names << QString::fromLatin1(rule.name);
        if (name.compare(QLatin1String(rule.name), Qt::CaseInsensitive) != 0)
            continue;
        const QString ruleName = QString::fromLatin1(rule.name);
        for (const Word &w : rule.words)
            if (value.compare(QLatin1String(w.text), Qt::CaseInsensitive) == 0)
                return Setting{ruleName, w.value, value};
        const std::optional<qint64> n = wholeNumber(value);
        if (n && *n >= rule.lo && *n <= rule.hi)
            return Setting{ruleName, static_cast<int>(*n), value};
        return UsageError{QStringLiteral("%1 must be %2, not '%3'")
                              .arg(ruleName, QLatin1String(rule.allowed), value)};
    }
    return UsageError{QStringLiteral("unknown setting '%1' (one of %2)")
                          .arg(name, names.join(QStringLiteral(", ")))};
}

std::variant<Request, UsageError, HelpWanted, VersionWanted>
parseCommandLine(const QStringList &arguments)
{
    std::optional<QString> portText;
    QStringList words;
    bool optionsEnded = false;
    static const QRegularExpression negativeNumber(QStringLiteral("^-[0-9]"));
    for (qsizetype i = 1; i < arguments.size(); ++i) {
        const QString &a = arguments.at(i);
        // A negative number is an argument, so that "stream -5" is refused
        // for what it is rather than as an unknown option.
        if (optionsEnded || !a.startsWith(u'-') || a == u"-" ||
            negativeNumber.match(a).hasMatch()) {
            words << a;
        } else if (a == u"--") {
            optionsEnded = true;
        } else if (a == u"-h" || a == u"--help" || a == u"-?" || a == u"--help-all") {
            return HelpWanted{};
        } else if (a == u"--version") {
            return VersionWanted{};
        } else if (a == u"--port" || a == u"-p") {
            if (i + 1 >= arguments.size())
                return UsageError{QStringLiteral("--port needs a number")};
            portText = arguments.at(++i);
        } else if (a.startsWith(QLatin1String("--port="))) {
            portText = a.mid(7);
        } else {
            return UsageError{QStringLiteral("unknown option '%1'").arg(a)};
        }
    }

    Request r;
    if (words.isEmpty())
        return UsageError{QStringLiteral("no command given (info, stream, download, dose or set)")};
    r.command = words.takeFirst();
    struct Shape {
        const char *command;
        int arguments;
        const char *names;
    };
    static const Shape shapes[] = {{"info", 0, ""},
                                   {"download", 0, ""},
                                   {"stream", 1, "SECONDS"},
                                   {"dose", 1, "SECONDS"},
                                   {"set", 2, "NAME and VALUE"}};
    const Shape *shape = nullptr;
    for (const Shape &s : shapes)
        if (r.command == QLatin1String(s.command))
            shape = &s;
    if (!shape)
        return UsageError{
            QStringLiteral("unknown command '%1' (info, stream, download, dose or set)")
                .arg(r.command)};
    if (words.size() < shape->arguments)
        return UsageError{
            QStringLiteral("%1 needs %2").arg(r.command, QLatin1String(shape->names))};
    if (words.size() > shape->arguments)
        return UsageError{QStringLiteral("%1 takes %2, not '%3'")
                              .arg(r.command,
                                   shape->arguments == 0 ? QStringLiteral("no arguments")
                                                         : QLatin1String(shape->names),
                                   words.mid(shape->arguments).join(u' '))};

    if (r.command == u"stream" || r.command == u"dose") {
        const std::optional<qint64> s = wholeNumber(words.at(0));
        if (!s || *s < 1 || *s > maxSeconds)
            return UsageError{
                QStringLiteral("SECONDS must be a whole number from 1 to %1, not '%2'")
                    .arg(maxSeconds)
                    .arg(words.at(0))};
        r.seconds = *s;
    } else if (r.command == u"set") {
        auto s = parseSetting(words.at(0), words.at(1));
        if (auto *bad = std::get_if<UsageError>(&s))
            return *bad;
        r.setting = std::get<Setting>(s);
    }

    if (!portText)
        return UsageError{QStringLiteral("--port N is required (the meter's serial port number)")};
    const std::optional<qint64> port = wholeNumber(*portText);
    if (!port || *port < 1 || *port > INT16_MAX)
        return UsageError{QStringLiteral("--port must be a whole number from 1 to %1, not '%2'")
                              .arg(INT16_MAX)
                              .arg(*portText)};
    r.port = static_cast<int>(*port);
    return r;
}

// ---- Jobs -------------------------------------------------------------------

void info(kest720Proxy &k, qint64 startupMs)
{
    static const char *const modeButton[] = {"disabled", "integrate", "freeze"};
    const ::Ranges ranges = k.Ranges();
    const int alarmRange = k.AlarmRange();
    const int mode = k.ModeButton();
    emitLine(QStringLiteral("Model: %1").arg(QLatin1String(modelName(k.Model()))));
    emitLine(QStringLiteral("Serial number: %1").arg(k.SerialNumber()));
    emitLine(QStringLiteral("Units: %1 (%2)")
                 .arg(QLatin1String(unitName(k.Units())), k.Units() == unitSv
                                                              ? QStringLiteral("sievert")
                                                              : QStringLiteral("roentgen")));
    QString alarm =
        QStringLiteral("Blink alarm: %1% of range %2").arg(k.AlarmPercent()).arg(alarmRange);
    if (alarmRange >= 1 && alarmRange <= ranges.Count())
        alarm += QStringLiteral(" (%1)").arg(ranges.Item(alarmRange).Display);
    emitLine(alarm);
    emitLine(QStringLiteral("Data-log interval (sample rate): %1 s").arg(k.SampleRate()));
    emitLine(QStringLiteral("Clear log: %1")
                 .arg(k.ClearLogSetting() == clearlogIntegrateReset
                          ? QStringLiteral("integrate-reset")
                          : QStringLiteral("turn-on")));
    emitLine(QStringLiteral("Mode button: %1")
                 .arg(QLatin1String(mode >= 0 && mode <= 2 ? modeButton[mode] : "unknown")));
    emitLine(QStringLiteral("Ranges: %1").arg(ranges.Count()));
    int i = 1;
    for (const Range &r : ranges) {
        // The last entry turns the blink alarm off and has no scale.
        if (r.ScaleNumber > 0)
            emitLine(QStringLiteral("  %1: %2 (command %3, full scale %4 %5)")
                         .arg(i)
                         .arg(r.Display)
                         .arg(r.CommandIndex)
                         .arg(static_cast<double>(r.ScaleNumber))
                         .arg(r.ScaleUnits));
        else
            emitLine(
                QStringLiteral("  %1: %2 (command %3)").arg(i).arg(r.Display).arg(r.CommandIndex));
        ++i;
    }
    emitLine(QStringLiteral("Start-up took: %1 s").arg(startupMs / 1000.0, 0, 'f', 2));
}

// Readings are time-stamped from the first one, and the run lasts SECONDS from
// it: the meter needs about two seconds after "T" before its first reading, and
// counting from the start would cut short runs to nothing.
void stream(kest720Proxy &k, qint64 seconds)
{
    QElapsedTimer sinceFirst;
    bool failed = false;
    bool done = false;
    int readings = 0;
    qint64 lastMs = 0;
    qint64 interval = 1000; // the meter's rate, until two readings show it
    const qint64 windowMs = seconds * 1000;
    Wait wait;
    // The window is counted from the first reading; a timer's interval is an
    // int of milliseconds, so a longer window is waited in steps of a day.
    QTimer window;
    window.setSingleShot(true);
    const auto armWindow = [&] {
        const qint64 left = windowMs - sinceFirst.elapsed();
        if (left > 0) {
            window.start(static_cast<int>(std::min<qint64>(left, 24LL * 3600 * 1000)));
            return;
        }
        done = true;
        wait.finish();
    };
    QObject::connect(&window, &QTimer::timeout, armWindow);
    emitLine(QStringLiteral("seconds,value,unit,prefix,unit_string"));
    QObject::connect(&k, &kest720Proxy::LiveData, [&](const Measurement &m) {
        if (done)
            return;
        // The first reading is the run's zero, whatever arming the window costs.
        if (readings == 0)
            sinceFirst.start();
        const qint64 at = readings == 0 ? 0 : sinceFirst.elapsed();
        if (readings == 0)
            armWindow();
        if (readings == 1 || (readings > 1 && at - lastMs < interval))
            interval = std::max<qint64>(1, at - lastMs);
        // A reading that belongs to the next period (it comes half an interval
        // or less before the window closes) ends the run instead of adding a row.
        if (readings > 0 && at > windowMs - interval / 2) {
            done = true;
            wait.finish();
            return;
        }
        lastMs = at;
        ++readings;
        emitLine(QStringLiteral("%1,%2").arg(at / 1000.0, 0, 'f', 3).arg(csvMeasurement(m)));
    });
    QObject::connect(&k, &kest720Proxy::LiveDataError, [&] {
        failed = true;
        wait.finish();
    });
    k.StartLog();
    wait.run();
    if (failed) {
        // The meter fell silent: bring it back if it can be, but report the silence.
        try {
            k.StopLog(); // replies once the meter is at its prompt
        } catch (const AutomationError &) {
        }
        throw AutomationError(1, programName,
                              QStringLiteral("The meter stopped sending readings."));
    }
    k.StopLog(); // replies once the meter is at its prompt
    if (readings == 0)
        note(QStringLiteral("no reading arrived"));
}

// How a record travels on the line ("23.5 2 0.123\r\n"), to set the transfer
// rate beside what 1200 baud allows.
qint64 recordChars(float degreesC, const Measurement &m)
{
    return QString::number(static_cast<double>(degreesC)).size() + 3 +
           QString::number(m.Value).size() + 2;
}

class Progress
{
public:
    Progress() : m_shown(::isatty(STDERR_FILENO) == 1) { m_clock.start(); }
    ~Progress() { finish(); }

    void record(qint64 chars)
    {
        ++m_records;
        m_chars += chars;
        if (!m_shown || m_clock.elapsed() - m_lastDrawMs < 200)
            return;
        draw();
    }

    void finish()
    {
        if (!m_shown || m_records == 0)
            return;
        draw();
        std::fputc('\n', stderr);
        m_shown = false;
    }

private:
    void draw()
    {
        m_lastDrawMs = m_clock.elapsed();
        const double s = std::max<double>(0.001, static_cast<double>(m_lastDrawMs) / 1000.0);
        std::fprintf(stderr, "\r%d records, %.0f s, about %.0f chars/s of the line's %.0f  ",
                     m_records, s, static_cast<double>(m_chars) / s, lineCharsPerSecond);
        std::fflush(stderr);
    }

    bool m_shown;
    QElapsedTimer m_clock;
    qint64 m_lastDrawMs = 0;
    int m_records = 0;
    qint64 m_chars = 0;
};

enum class Ending { Done, Interrupted };

Ending download(kest720Proxy &k)
{
    bool done = false;
    bool failed = false;
    int record = 0;
    Progress progress;
    emitLine(QStringLiteral("record,degrees_c,value,unit,prefix,unit_string"));
    QObject::connect(&k, &kest720Proxy::DataDownload, [&](float degreesC, const Measurement &m) {
        emitLine(QStringLiteral("%1,%2,%3")
                     .arg(++record)
                     .arg(static_cast<double>(degreesC))
                     .arg(csvMeasurement(m)));
        progress.record(recordChars(degreesC, m));
    });
    Wait wait;
    QObject::connect(&k, &kest720Proxy::DataDownloadComplete, [&] {
        done = true;
        wait.finish();
    });
    QObject::connect(&k, &kest720Proxy::DataDownloadError, [&] {
        done = failed = true;
        wait.finish();
    });
    k.StartLogDownload();
    wait.run();
    progress.finish();
    if (!done) {
        // The meter's log dump cannot be called back: closing the port ends
        // the server's download loop at once, and the meter returns to its
        // prompt by itself when the dump is out.
        k.ClosePort();
        return Ending::Interrupted;
    }
    if (failed)
        throw AutomationError(
            1, programName,
            QStringLiteral("The log download failed after %1 records.").arg(record));
    return Ending::Done;
}

void dose(kest720Proxy &k, qint64 seconds)
{
    const TYPE_UNITS units = k.Units();
    emitLine(QStringLiteral("seconds,dose,unit"));
    k.StartIntegrate();
    QElapsedTimer clock;
    clock.start();
    Wait().run(seconds * 1000);
    // Interrupted, it reports the dose integrated so far, over the time it ran.
    const double elapsed = static_cast<double>(clock.elapsed()) / 1000.0;
    const double d = k.GetDose();
    emitLine(
        QStringLiteral("%1,%2,%3")
            .arg(stopAsked() ? elapsed : static_cast<double>(seconds), 0, 'f', stopAsked() ? 1 : 0)
            .arg(d)
            .arg(units == unitSv ? QStringLiteral("uSv") : QStringLiteral("mR")));
}

void set(kest720Proxy &k, const Setting &s)
{
    if (s.name == u"AlarmRange")
        k.setAlarmRange(static_cast<int16_t>(s.value));
    else if (s.name == u"AlarmPercent")
        k.setAlarmPercent(static_cast<int16_t>(s.value));
    else if (s.name == u"SampleRate")
        k.setSampleRate(static_cast<int16_t>(s.value));
    else if (s.name == u"Units")
        k.setUnits(static_cast<TYPE_UNITS>(s.value));
    else if (s.name == u"ClearLogSetting")
        k.setClearLogSetting(static_cast<TYPE_CLEARLOG>(s.value));
    else if (s.name == u"ModeButton")
        k.setModeButton(static_cast<TYPE_MODEBUTTON>(s.value));
    // Stored in the meter's non-volatile memory at once, so the change
    // survives a power cycle whatever the meter does with the final "E".
    k.WriteToEEPROM();
    emitLine(QStringLiteral("%1 set to %2").arg(s.name, s.typed));
}

// ---- Connecting -------------------------------------------------------------

// A server that is ending (its last object gone) refuses new objects for a
// moment while the bus starts its successor: try again.
std::unique_ptr<kest720Proxy> createObject()
{
    QElapsedTimer clock;
    clock.start();
    bool told = false;
    for (;;) {
        try {
            return std::make_unique<kest720Proxy>();
        } catch (const AutomationError &e) {
            // The bus's own 462 (no such service) will not go away by waiting.
            if (e.number() != norvale::automation::error::serverGone ||
                e.source() == norvale::automation::error::busSource ||
                clock.elapsed() > retryForMs || stopAsked())
                throw;
            if (!std::exchange(told, true))
                note(QStringLiteral("the server is restarting, retrying"));
            usleep(retryPauseMs * 1000);
        }
    }
}

struct Failure {
    QString cause; // the first line, when more is known than the error says
    AutomationError error;
};

// Opens the port and starts the meter up. When the port cannot be used, finds
// out why: a port held by a job that is still ending is waited for briefly,
// anything else is reported with the operating system's reason.
void connectMeter(kest720Proxy &k, int port)
{
    QElapsedTimer clock;
    clock.start();
    bool toldBusy = false;
    for (;;) {
        k.setPort(static_cast<int16_t>(port));
        k.OpenPort();
        try {
            k.Initialize();
            return;
        } catch (const AutomationError &e) {
            if (e.number() != norvale::serialerror::portNotOpen)
                throw;
            const norvale::PortProbe probe = norvale::probePort(port);
            const QString cause = norvale::describePortProblem(probe);
            const bool busy = probe.holder.pid != 0;
            const bool again =
                (busy || cause.isEmpty()) && clock.elapsed() < retryForMs && !stopAsked();
            if (!again)
                throw Failure{cause, e};
            if (busy && !std::exchange(toldBusy, true))
                note(cause + QStringLiteral("; waiting for it"));
            usleep(retryPauseMs * 1000);
        }
    }
}

int run(const Request &r)
{
    std::unique_ptr<kest720Proxy> k = createObject();
    QElapsedTimer startup;
    startup.start();
    connectMeter(*k, r.port);
    const qint64 startupMs = startup.elapsed();
    Ending ending = Ending::Done;
    if (stopAsked())
        ending = Ending::Interrupted;
    else if (r.command == u"info")
        info(*k, startupMs);
    else if (r.command == u"stream")
        stream(*k, r.seconds);
    else if (r.command == u"download")
        ending = download(*k);
    else if (r.command == u"dose")
        dose(*k, r.seconds);
    else
        set(*k, r.setting);
    if (stopAsked())
        ending = Ending::Interrupted;
    // Leave the meter measuring again; only "set" keeps its change.
    if (ending == Ending::Done) {
        try {
            k->Disconnect(r.command == u"set");
        } catch (const AutomationError &) {
        }
    }
    k->ClosePort();
    k->Release();
    return ending == Ending::Interrupted ? exitInterrupted : 0;
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(programName);

    const auto parsed = parseCommandLine(QCoreApplication::arguments());
    if (std::holds_alternative<HelpWanted>(parsed)) {
        std::fputs(helpText, stdout);
        return 0;
    }
    if (std::holds_alternative<VersionWanted>(parsed)) {
        std::printf("%s %s\n", qPrintable(programName), NORVALE_VERSION);
        return 0;
    }
    if (const auto *bad = std::get_if<UsageError>(&parsed)) {
        note(bad->problem);
        std::fprintf(stderr, "Try '%s --help'.\n", qPrintable(programName));
        return exitUsage;
    }
    catchInterrupts();
    try {
        return run(std::get<Request>(parsed));
    } catch (const Failure &f) {
        // The server names the port and the reason itself when it knows them.
        if (!f.cause.isEmpty() && !f.error.description().contains(f.cause))
            note(f.cause);
        note(errorLine(f.error));
    } catch (const AutomationError &e) {
        note(errorLine(e));
    }
    return stopAsked() ? exitInterrupted : exitFailure;
}
