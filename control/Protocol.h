#pragma once
// The meter's protocol as pure functions over text: no port, no timing. The
// instrument server feeds them what it collected from the line; tests and
// fuzzers call them directly.
#include "control/Measurement.h"
#include "control/Ranges.h"
#include "control/Types.h"

#include <QString>
#include <QStringList>
#include <functional>
#include <optional>

namespace norvale::control
{

// ---- Numbers -------------------------------------------------------------

// The leading number of a text: blanks skipped first, then an optional sign,
// digits with at most one point, an optional exponent. 0 when there is none.
double leadingNumber(const QString &text);
// True when the whole text (blanks around it allowed) is one such number.
bool isNumber(const QString &text);
// Whole-text conversion; nullopt when the text is not a number.
std::optional<double> toNumber(const QString &text);

// Two hexadecimal digits (blanks around them allowed) as an integer. Throws
// the conversion error (number 13, "Type mismatch") for empty or
// non-hexadecimal text.
int16_t HexToInt(const QString &text);

// ---- Text helpers --------------------------------------------------------

QString StripLineFeeds(const QString &text);
// Unit or range text to a prefix, ignoring letter case: "micro", then "m"
// (so "M" counts as milli), then "u", then "k", else prefixOne.
TYPE_PREFIX ParsePrefix(const QString &text);

// ---- Memory monitor ------------------------------------------------------

// The reply to "D address CR" holds the address twice: once as the echo and
// once at the start of the dump line. Appends one entry per 3-character group
// after the second occurrence; `bytes` arrives with one empty entry and leaves
// with one empty entry after the last group. Unchanged when the dump line is
// missing.
void ParseMemoryDump(const QString &address, const QString &response, QStringList &bytes);

// ---- Range report ("R") --------------------------------------------------

// Parses the reply to "R" into the meter's ranges (without the final
// "No Blink" entry). nullopt: the reply holds no CR at all (a bad response).
std::optional<QList<Range>> ParseRangeReport(const QString &reply);

// The number before "integrated" on its line, scaled to milliroentgen or
// microsievert. nullopt: the report has no "integrated".
std::optional<double> ParseDose(const QString &reply);

// ---- Live stream ("T") ---------------------------------------------------

bool IsUnitChar(QChar c);
// Keeps blanks, digits, ".", the unit letters and the characters of signed
// and exponent numbers; turns CR into a blank; drops everything else.
QString FilterLiveChars(const QString &text);

// One pass of the stream tokenizer over `buf`. It either sets `currentScale`
// from a range label, or hands one reading to `onReading` (only while
// `currentScale` is not empty), or drops one token that is not a number, and
// removes what it consumed. Returns false when the pass consumed nothing (the
// buffer waits for more data). `perChar` runs once per character scanned.
bool TokenizePass(QString &buf, QString &currentScale, const std::function<void(double)> &onReading,
                  const std::function<void()> &perChar = {});

// ---- Data log ("X") ------------------------------------------------------

struct LogRecord {
    float DegreesC = 0;
    int range = 0; // 0-based position in the range table
    double value = 0;
};
// One record line "temperature range value CR LF". nullopt: not a record.
std::optional<LogRecord> ParseDataDownload(const QString &line);
// True for the line that ends the log ("Cal" in any letter case).
bool IsLogEnd(const QString &line);

} // namespace norvale::control
