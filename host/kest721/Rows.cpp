#include "host/kest721/Rows.h"

#include <charconv>
#include <cmath>
#include <iterator>

namespace norvale::host
{

namespace
{
constexpr qint64 secondsPerDay = 86400;
const QDate spreadsheetEpoch(1899, 12, 30);
} // namespace

QDateTime localTimeOfSpreadsheetDate(double days)
{
    if (!std::isfinite(days))
        return {};
    // Whole seconds are counted from the epoch in one number so that a
    // fraction a hair below the next day rounds into that day.
    const auto seconds = static_cast<qint64>(std::llround(days * double(secondsPerDay)));
    qint64 wholeDays = seconds / secondsPerDay;
    qint64 secondOfDay = seconds % secondsPerDay;
    if (secondOfDay < 0) {
        secondOfDay += secondsPerDay;
        --wholeDays;
    }
    return QDateTime(spreadsheetEpoch.addDays(wholeDays),
                     QTime(0, 0).addSecs(static_cast<int>(secondOfDay)), Qt::LocalTime);
}

QString isoTimeStamp(double days)
{
    const QDateTime t = localTimeOfSpreadsheetDate(days);
    if (!t.isValid())
        return {};
    return t.date().toString(QStringLiteral("yyyy-MM-dd")) + u'T' +
           t.time().toString(QStringLiteral("HH:mm:ss"));
}

QString alarmColorName(int32_t oleColor)
{
    switch (static_cast<uint32_t>(oleColor)) {
    case 0x000000:
        return QStringLiteral("black");
    case 0x0000FF:
        return QStringLiteral("red");
    case 0x00FFFF:
        return QStringLiteral("yellow");
    case 0xFF0000:
        return QStringLiteral("blue");
    case 0x00FF00:
        return QStringLiteral("green");
    default:
        break;
    }
    return QStringLiteral("0x") + QStringLiteral("%1")
                                      .arg(static_cast<uint32_t>(oleColor), 8, 16, QLatin1Char('0'))
                                      .toUpper();
}

std::optional<uint32_t> rgbOfOleColor(int32_t oleColor)
{
    const auto ole = static_cast<uint32_t>(oleColor);
    if (ole & 0x80000000u)
        return std::nullopt;
    const uint32_t r = ole & 0xFF;
    const uint32_t g = (ole >> 8) & 0xFF;
    const uint32_t b = (ole >> 16) & 0xFF;
    return (r << 16) | (g << 8) | b;
}

QString unitOfInstrumentUnits(int units)
{
    switch (units) {
    case 1:
        return QStringLiteral("mR/h");
    case 2:
        return QStringLiteral("uSv/h");
    default:
        break;
    }
    return {};
}

QString numberText(double value)
{
    // Fifteen significant digits, as a spreadsheet keeps a number: a reading
    // rescaled to mR/h shows as 0.0153, not as its binary 0.015300000000000001.
    return QString::number(value, 'g', 15);
}

QString singleText(double value)
{
    const auto single = static_cast<float>(value);
    if (!std::isfinite(value) || static_cast<double>(single) != value)
        return numberText(value);
    char text[32];
    const auto end = std::to_chars(std::begin(text), std::end(text), single).ptr;
    return QString::fromLatin1(text, end - text);
}

QStringList liveHeader()
{
    return {QStringLiteral("time"), QStringLiteral("value"), QStringLiteral("unit"),
            QStringLiteral("alarm_color")};
}

QStringList liveFields(const LiveRow &row)
{
    return {isoTimeStamp(row.timeStamp), numberText(row.value), row.unit,
            alarmColorName(row.alarmColor)};
}

QStringList downloadHeader()
{
    return {QStringLiteral("record"), QStringLiteral("degrees_c"), QStringLiteral("value"),
            QStringLiteral("unit")};
}

QStringList downloadFields(const DownloadRow &row)
{
    return {QString::number(row.record), singleText(row.degreesC), numberText(row.value), row.unit};
}

} // namespace norvale::host
