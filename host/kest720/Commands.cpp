#include "host/kest720/Commands.h"

#include "host/common/Numbers.h"

namespace norvale::host
{

std::span<const Kest720Command> kest720Commands()
{
    static const Kest720Command table[] = {
        {{"info", {"info", "model, serial number, settings and range table"}},
         0,
         "",
         nullptr,
         runInfo,
         false},
        {{"stream",
          {"stream SECONDS", "live readings as CSV, for SECONDS counted from the first\n"
                             "reading (the meter takes about two seconds to send it)"}},
         1,
         "SECONDS",
         parseSeconds,
         runStream,
         false},
        {{"download",
          {"download", "the meter's internal data log as CSV, each record as it\n"
                       "arrives; progress on standard error when it is a terminal"}},
         0,
         "",
         nullptr,
         runDownload,
         false},
        {{"dose", {"dose SECONDS", "integrate for SECONDS, then print the dose (mR or uSv)"}},
         1,
         "SECONDS",
         parseSeconds,
         runDose,
         false},
        {{"set",
          {"set NAME VALUE", "change a setting and keep it in the meter:\n"
                             "  AlarmRange       1 to 6 (6: no blink alarm)\n"
                             "  AlarmPercent     0 to 99\n"
                             "  SampleRate       1 to 255 (seconds between log records)\n"
                             "  Units            R or Sv (or 1, 2)\n"
                             "  ClearLogSetting  turn-on or integrate-reset (or 0, 1)\n"
                             "  ModeButton       disabled, integrate or freeze (or 0, 1, 2)"}},
         2,
         "NAME and VALUE",
         parseSetting,
         runSet,
         true},
    };
    return table;
}

} // namespace norvale::host

namespace norvale::host
{

std::optional<QString> parseSeconds(const QStringList &arguments, Request &request)
{
    // Durations are kept in 64-bit milliseconds; a year is a generous ceiling
    // that still catches a mistyped number.
    constexpr qint64 maxSeconds = 365LL * 24 * 3600;
    const std::optional<int64_t> s = wholeNumber(arguments.at(0));
    if (!s || *s < 1 || *s > maxSeconds)
        return QStringLiteral("SECONDS must be a whole number from 1 to %1, not '%2'")
            .arg(maxSeconds)
            .arg(arguments.at(0));
    request.seconds = *s;
    return std::nullopt;
}

} // namespace norvale::host
