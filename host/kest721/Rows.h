#pragma once
// What a row of kest721's output holds and how its fields are written: the
// spreadsheet's date number as local time, OLE colours by name, the reading's
// unit, CSV quoting. Pure functions, so that tests need no bus and no meter.
#include <QDateTime>
#include <QString>
#include <QStringList>
#include <cstdint>
#include <optional>

namespace norvale::host
{

// One LiveData event of a logging run.
struct LiveRow {
    double timeStamp = 0; // spreadsheet date number, local time
    double value = 0;     // mR/h or uSv/h
    QString unit;
    int32_t alarmColor = 0; // OLE colour 0x00BBGGRR
};

// One DataDownload event of a log download.
struct DownloadRow {
    int record = 0; // 1 for the first record received
    double degreesC = 0;
    double value = 0;
    QString unit;
};

// The local date and time of a spreadsheet date number (days since
// 1899-12-30 00:00 local time, the time of day as the fraction), to the
// nearest whole second.
QDateTime localTimeOfSpreadsheetDate(double days);
// The same instant as ISO 8601 text without a zone: "2026-12-07T01:24:38".
QString isoTimeStamp(double days);

// black, red, yellow, blue, green; any other OLE colour as "0x00BBGGRR".
QString alarmColorName(int32_t oleColor);
// The colour as 0xRRGGBB for a cell fill; none for a system colour (top bit
// set), which has no fixed value outside the desktop that defines it.
std::optional<uint32_t> rgbOfOleColor(int32_t oleColor);

// The unit of the readings the Assistant reports for the instrument's Units
// (1 roentgen, 2 sievert): "mR/h" or "uSv/h"; an empty text for any other.
QString unitOfInstrumentUnits(int units);

// A number to the 15 significant digits that a spreadsheet keeps.
QString numberText(double value);

// A value that travelled as a single-precision number (the meter's
// temperature) in its shortest single-precision text: 21.1, not 21.100000381.
QString singleText(double value);

QStringList liveHeader();
QStringList liveFields(const LiveRow &row);
QStringList downloadHeader();
QStringList downloadFields(const DownloadRow &row);

} // namespace norvale::host
