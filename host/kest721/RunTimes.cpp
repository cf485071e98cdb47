#include "host/kest721/RunTimes.h"

#include "assistant/Settings.h"

#include <QRegularExpression>

namespace norvale::host
{

namespace
{
const QString lessThanOne = QStringLiteral("Cannot enter a value less than 1.");

// A whole number of at most 18 digits (beyond that it is too long anyway).
std::optional<int64_t> wholeNumber(const QString &digits)
{
    bool ok = false;
    const qint64 n = digits.left(18).toLongLong(&ok);
    if (!ok)
        return std::nullopt;
    return digits.size() > 18 ? INT64_MAX / 1000 : n;
}
} // namespace

std::optional<QString> parseInterval(const QString &text, int32_t *seconds)
{
    static const QRegularExpression form(QStringLiteral("^\\d+$"));
    const QString t = text.trimmed();
    if (!form.match(t).hasMatch())
        return QStringLiteral("The sample time must be a number. (--interval takes whole "
                              "seconds, e.g. 5, not '%1')")
            .arg(text);
    const int64_t n = *wholeNumber(t);
    if (n < 1)
        return lessThanOne;
    // Anything this long fails the check against the total time.
    *seconds = int32_t(qMin<int64_t>(n, norvale::settings::LongestTimerLength + 1));
    return std::nullopt;
}

std::optional<QString> parseLength(const QString &text, int32_t *seconds)
{
    const QString t = text.trimmed().toLower();
    if (t == u"until-stopped") {
        *seconds = norvale::settings::LongestTimerLength;
        return std::nullopt;
    }
    static const QRegularExpression form(QStringLiteral("^(\\d+)\\s*([smhd]?)$"));
    const QRegularExpressionMatch m = form.match(t);
    // A number without its unit is refused too, but 0 is told why first.
    if (m.hasMatch() && *wholeNumber(m.captured(1)) < 1)
        return lessThanOne;
    if (!m.hasMatch() || m.captured(2).isEmpty())
        return QStringLiteral("The total time must be a number. (--length takes a number with "
                              "s, m, h or d, e.g. 90s, 10m, 2h, 1d, or until-stopped, not '%1')")
            .arg(text);
    const int64_t n = *wholeNumber(m.captured(1));
    if (n < 1)
        return lessThanOne;
    const QChar unit = m.captured(2).at(0);
    const int64_t factor = unit == u's' ? 1 : unit == u'm' ? 60 : unit == u'h' ? 3600 : 86400;
    if (n > norvale::settings::LongestTimerLength / factor)
        return QStringLiteral("The total time is too long. A logging run lasts 24 days at most.");
    *seconds = int32_t(n * factor);
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
    return lengthSeconds <= 0 || lengthSeconds >= norvale::settings::LongestTimerLength;
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
