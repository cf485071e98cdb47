#include "host/kest721/Commands.h"

#include "host/kest721/CalibrationCommand.h"
#include "host/kest721/PublishCommand.h"
#include "host/kest721/ReportCommand.h"

namespace norvale::host
{

std::span<const Kest721Command> kest721Commands()
{
    static const Kest721Command table[] = {
        {{"log",
          {"log [--csv FILE] [--xlsx FILE] [--reconnect [--reconnect-every S]]\n"
           "      [--interval S] [--length DURATION] [--location TEXT] [--note TEXT]\n"
           "      [--operator NAME] [--report FILE.pdf]",
           "a logging run: one row per reading the\n"
           "Assistant reports (time, value, unit, alarm\n"
           "colour) until the run ends; its sampling\n"
           "interval and length are the Assistant's\n"
           "settings (TimerInterval, TimerLength), which\n"
           "--interval and --length store"}},
         runLog},
        {{"download",
          {"download [--csv FILE] [--xlsx FILE]", "the meter's internal data log, one row per\n"
                                                  "record (record, degrees C, value, unit)"}},
         runDownload},
        {{"status",
          {"status", "whether the meter connects, its serial\n"
                     "number, model and units"}},
         runStatus},
        {{"journal",
          {"journal list", "the runs and downloads kept in the journal\n"
                           "of every reading the Assistant relayed"},
          {"journal export RUN [--csv FILE] [--xlsx FILE]",
           "one of them again, as log or download did"}},
         runJournal},
        {{"report",
          {"report RUN|latest [--pdf FILE] [--html FILE] [--paper a4|letter]",
           "the survey record of a run or download of\n"
           "the journal: its details, the meter's\n"
           "calibration, a summary with alarm episodes\n"
           "and gaps, a chart and every reading; as\n"
           "text on standard output without a file"}},
         [](const Options &o, const StopSignals &) { return runReport(o.report); }},
        {{"calibration",
          {"calibration SERIAL [--due YYYY-MM-DD [--certificate TEXT]]",
           "when the meter with this serial number is\n"
           "due for calibration (shown by status and on\n"
           "every report; an overdue meter still works)"}},
         [](const Options &o, const StopSignals &) { return runCalibration(o.calibration); }},
        {{"ports",
          {"ports [--rule DEVICE --port N]", "the serial devices present (their names\n"
                                             "in /dev/serial/by-id and what they lead to)\n"
                                             "and the com<n> links of the ports folder;\n"
                                             "with --rule, the udev rule line that links\n"
                                             "the USB serial adapter DEVICE (a by-id name\n"
                                             "or path) as port N"}},
         runPorts},
        {{"publish",
          {"publish set|show|off|test [OPTIONS]", "publishing every reading to an MQTT broker\n"
                                                  "('kest721 publish --help')"}},
         nullptr,
         runPublishCommand},
        {{"watch",
          {"watch [--broker URL] [--serial N] [--json]",
           "the meters a broker knows, as they publish\n"
           "('kest721 watch --help')"}},
         nullptr,
         runWatchCommand},
    };
    return table;
}

} // namespace norvale::host
