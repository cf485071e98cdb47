#include "host/kest721/RunTimes.h"

#include "assistant/Settings.h"
#include "host/common/Numbers.h"

#include <QStringList>

namespace norvale::host
{

namespace
{
const QString lessThanOne = QStringLiteral("Cannot enter a value less than 1.");
} // namespace

std::optional<QString> parseInterval(const QString &text, int32_t *seconds)
{
    const std::optional<Duration> d = readDuration(text);
    if (!d || d->unitGiven)
        return QStringLiteral("The sample time must be a number. (--interval takes whole "
                              "seconds, e.g. 5, not '%1')")
            .arg(text);
    if (d->count < 1)
        return lessThanOne;
    // Anything this long fails the check against the total time.
    *seconds =
        int32_t(qMin<int64_t>(d->count, norvale::assistant::settings::LongestTimerLength + 1));
    return std::nullopt;
}

std::optional<QString> parseLength(const QString &text, int32_t *seconds)
{
    if (text.trimmed().toLower() == u"until-stopped") {
        *seconds = norvale::assistant::settings::LongestTimerLength;
        return std::nullopt;
    }
    const std::optional<Duration> d = readDuration(text);
    // A number without its unit is refused too, but 0 is told why first.
    if (d && d->count < 1)
        return lessThanOne;
    if (!d || !d->unitGiven)
        return QStringLiteral("The total time must be a number. (--length takes a number with "
                              "s, m, h or d, e.g. 90s, 10m, 2h, 1d, or until-stopped, not '%1')")
            .arg(text);
    const std::optional<int64_t> s = d->seconds(norvale::assistant::settings::LongestTimerLength);
    if (!s)
        return QStringLiteral("The total time is too long. A logging run lasts 24 days at most.");
    *seconds = int32_t(*s);
    return std::nullopt;
}

std::optional<QString> checkRunTimes(int32_t intervalSeconds, int32_t lengthSeconds)
{
    if (!(intervalSeconds < lengthSeconds))
        return QStringLiteral("The sample time must be less than the total time.");
    return std::nullopt;
}

bool untilStopped(int64_t lengthSeconds)
{
    return lengthSeconds <= 0 || lengthSeconds >= norvale::assistant::settings::LongestTimerLength;
}

QString lengthText(int64_t seconds)
{
    if (untilStopped(seconds))
        return QStringLiteral("until stopped");
    QStringList parts;
    const std::pair<int64_t, const char *> units[] = {{86400, "d"}, {3600, "h"}, {60, "min"}};
    for (const auto &[size, name] : units) {
        if (seconds >= size) {
            parts << QStringLiteral("%1 %2").arg(seconds / size).arg(QLatin1String(name));
            seconds %= size;
        }
    }
    if (seconds > 0 || parts.isEmpty())
        parts << QStringLiteral("%1 s").arg(seconds);
    return parts.join(u' ');
}

} // namespace norvale::host
