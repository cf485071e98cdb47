// kest721: drives the 721 Assistant as a spreadsheet would, for people without
// one and for scripts. Creates a kest721Assistant object, connects to the
// meter, does one job (a logging run, a log download or a status report),
// writes its rows as CSV or xlsx, disconnects and releases the object.
//
// main parses the options, looks the subcommand up in the table of
// Commands.cpp and runs it; each subcommand lives in a file of its own.
#include "host/common/ExitStatus.h"
#include "host/common/StopSignals.h"
#include "host/kest721/Commands.h"
#include "host/kest721/MeterJob.h"
#include "host/kest721/Options.h"
#include "host/kest721/ReportCommand.h"
#include "platform/AutomationError.h"

#include <QApplication>
#include <QCoreApplication>
#include <csignal>
#include <memory>

using namespace norvale::host;
using norvale::platform::AutomationError;

namespace
{

const char helpIntro[] =
    "Usage: kest721 [--port N] COMMAND [OPTIONS]\n"
    "Drives the 721 Assistant (kest721xl.kest721Assistant on the session bus) as a\n"
    "spreadsheet would: connects to the 721 meter, does one job, disconnects.\n"
    "\n"
    "Commands:\n";

const char helpEnd[] =
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

// Where the summaries of the commands start in --help.
constexpr int helpColumn = 39;

} // namespace

int main(int argc, char **argv)
{
    // A report draws its chart with widgets' graphics, offscreen: it never
    // shows a window, and needs no display.
    const bool gui = needsGui(argc, argv);
    if (gui)
        qputenv("QT_QPA_PLATFORM", "offscreen");
    std::unique_ptr<QCoreApplication> app(gui ? new QApplication(argc, argv)
                                              : new QCoreApplication(argc, argv));
    QCoreApplication::setApplicationName(program);

    // Publishing has options of its own: everything after its name is its own.
    const QStringList all = QCoreApplication::arguments();
    if (all.size() > 1)
        if (const Kest721Command *c = findSubcommand(kest721Commands(), all.at(1));
            c && c->runWithArguments)
            return c->runWithArguments(all.mid(2));

    Options options;
    try {
        bool help = false;
        options = parseArguments(all, &help);
        if (help) {
            out() << helpIntro << subcommandHelp(subcommandList(kest721Commands()), helpColumn)
                  << helpEnd;
            return exitstatus::done;
        }
        if (options.version) {
            out() << program << ' ' << NORVALE_VERSION << '\n';
            return exitstatus::done;
        }
    } catch (const UsageError &e) {
        err() << "kest721: " << e.message << "\nTry 'kest721 --help' for more information.\n";
        return exitstatus::usage;
    }

    StopSignals stops;
    // Standard output closed early (a pipe into head) is a write error that
    // ends the job properly, not a signal that kills the program mid-file.
    std::signal(SIGPIPE, SIG_IGN);
    try {
        return findSubcommand(kest721Commands(), options.command)->run(options, stops);
    } catch (const AutomationError &e) {
        out().flush();
        err() << "error " << e.number() << " (" << e.source() << "): " << e.description() << '\n';
    } catch (const BoxError &e) {
        out().flush();
        err() << "error (" << e.title()
              << "): " << QString(e.text()).replace(QStringLiteral("\r\n"), QStringLiteral(" "))
              << '\n';
    } catch (const OutputError &e) {
        err() << "kest721: " << e.what() << '\n';
    } catch (const Aborted &) {
        err() << "kest721: stopped\n";
        return stoppedStatus(stops);
    }
    return exitstatus::failed;
}
