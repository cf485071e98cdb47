#include "host/common/Numbers.h"

#include <QRegularExpression>

namespace norvale::host
{

std::optional<int64_t> wholeNumber(const QString &text)
{
    static const QRegularExpression digits(QStringLiteral("^[+-]?[0-9]{1,18}$"));
    if (!digits.match(text).hasMatch())
        return std::nullopt;
    return text.toLongLong();
}

std::optional<int64_t> Duration::seconds(int64_t limit) const
{
    if (count > limit / unitSeconds)
        return std::nullopt;
    return count * unitSeconds;
}

std::optional<Duration> readDuration(const QString &text)
{
    static const QRegularExpression form(QStringLiteral("^([0-9]+)\\s*([smhd]?)$"));
    const QRegularExpressionMatch m = form.match(text.trimmed().toLower());
    if (!m.hasMatch())
        return std::nullopt;
    Duration d;
    // Beyond 18 digits a number is too long for anything it may count, but
    // it is still a number: the caller says that it is too long.
    const QString digits = m.captured(1);
    d.count = digits.size() > 18 ? INT64_MAX / 1000 : digits.toLongLong();
    const QString unit = m.captured(2);
    d.unitGiven = !unit.isEmpty();
    if (d.unitGiven)
        d.unitSeconds = unit == u"s" ? 1 : unit == u"m" ? 60 : unit == u"h" ? 3600 : 86400;
    return d;
}

} // namespace norvale::host
