// kest720-cli: a command-line client of the instrument control server, and
// a worked example of its bus contract. Creates one kest720 object, opens the
// port, initialises the meter, does one job and prints the result.
//
// Arguments are checked in full before the meter is woken, rows are written
// the moment they arrive, and an interrupt (Ctrl-C) stops the job cleanly:
// the rows so far stay in the output and the meter is left at its prompt.
#include "host/common/ExitStatus.h"
#include "host/common/Numbers.h"
#include "host/common/StopSignals.h"
#include "host/kest720/Commands.h"
#include "host/kest720/MeterSession.h"

#include <QCoreApplication>
#include <QRegularExpression>
#include <QStringList>

#include <csignal>
#include <cstdio>
#include <optional>
#include <variant>

using namespace norvale::host;

namespace
{

const char *const helpIntro = R"(Usage: kest720-cli --port N COMMAND [ARGUMENTS]

Talks to a 721 meter through the instrument control server (Norvale720.kest720,
started by the session bus when needed).

Options:
  --port N          the meter's serial port number (required): the link com<N>
                    in the ports folder ($NORVALE_PORTS, else
                    $XDG_CONFIG_HOME/norvale/ports), else /dev/ttyS<N-1>
  -h, --help        this text
  --version         the version

Commands:
)";

const char *const helpEnd = R"(
SECONDS is a whole number from 1 to 31536000 (a year).
Ctrl-C stops a job cleanly: the rows so far are kept and the meter is left
ready for the next command.

Exit status: 0 done, 1 the meter, the port or the server failed (the reason on
standard error), 2 wrong usage, 130 stopped by Ctrl-C.
)";

// Where the summaries of the commands start in --help.
constexpr int helpColumn = 20;

struct UsageError {
    QString problem;
};
struct VersionWanted {
};
struct HelpWanted {
};
struct Parsed {
    const Kest720Command *command;
    Request request;
};

std::variant<Parsed, UsageError, HelpWanted, VersionWanted>
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

    const auto table = kest720Commands();
    const QString names = subcommandNames(subcommandList(table));
    if (words.isEmpty())
        return UsageError{QStringLiteral("no command given (%1)").arg(names)};
    Request r;
    r.command = words.takeFirst();
    const Kest720Command *command = findSubcommand(table, r.command);
    if (!command)
        return UsageError{QStringLiteral("unknown command '%1' (%2)").arg(r.command, names)};
    if (words.size() < command->arguments)
        return UsageError{
            QStringLiteral("%1 needs %2").arg(r.command, QLatin1String(command->argumentNames))};
    if (words.size() > command->arguments)
        return UsageError{QStringLiteral("%1 takes %2, not '%3'")
                              .arg(r.command,
                                   command->arguments == 0 ? QStringLiteral("no arguments")
                                                           : QLatin1String(command->argumentNames),
                                   words.mid(command->arguments).join(u' '))};
    if (command->parse)
        if (const std::optional<QString> problem = command->parse(words, r))
            return UsageError{*problem};

    if (!portText)
        return UsageError{QStringLiteral("--port N is required (the meter's serial port number)")};
    const std::optional<int64_t> port = wholeNumber(*portText);
    if (!port || *port < 1 || *port > INT16_MAX)
        return UsageError{QStringLiteral("--port must be a whole number from 1 to %1, not '%2'")
                              .arg(INT16_MAX)
                              .arg(*portText)};
    r.port = static_cast<int>(*port);
    return Parsed{command, r};
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(programName);

    const auto parsed = parseCommandLine(QCoreApplication::arguments());
    if (std::holds_alternative<HelpWanted>(parsed)) {
        const QString commands = subcommandHelp(subcommandList(kest720Commands()), helpColumn);
        std::fputs(helpIntro, stdout);
        std::fputs(commands.toLocal8Bit().constData(), stdout);
        std::fputs(helpEnd, stdout);
        return exitstatus::done;
    }
    if (std::holds_alternative<VersionWanted>(parsed)) {
        std::printf("%s %s\n", qPrintable(programName), NORVALE_VERSION);
        return exitstatus::done;
    }
    if (const auto *bad = std::get_if<UsageError>(&parsed)) {
        note(bad->problem);
        std::fprintf(stderr, "Try '%s --help'.\n", qPrintable(programName));
        return exitstatus::usage;
    }
    // A second Ctrl-C while the first is being handled ends the program at
    // once; every row written so far has already been flushed.
    const StopSignals stops({SIGINT, SIGTERM, SIGHUP}, exitstatus::interrupted);
    watchStops(stops);
    // A closed pipe (`| head`) is noticed by the failing write instead.
    std::signal(SIGPIPE, SIG_IGN);
    const Parsed &job = std::get<Parsed>(parsed);
    try {
        return runOnMeter(*job.command, job.request);
    } catch (const MeterFailure &f) {
        // The server names the port and the reason itself when it knows them.
        if (!f.cause.isEmpty() && !f.error.description().contains(f.cause))
            note(f.cause);
        note(errorLine(f.error));
    } catch (const norvale::platform::AutomationError &e) {
        note(errorLine(e));
    }
    return stopAsked() ? exitstatus::interrupted : exitstatus::failed;
}
