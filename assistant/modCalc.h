#pragma once
// Range texts of the meter ("500 uR/h") and the alarm units (mR/h for roentgen,
// uSv/h for sievert): pure conversions between the two.
#include <QString>
#include <QStringView>

namespace norvale::assistant::modCalc
{

// The digits, points and commas of the text, every other character blanked, trimmed.
QString NumericPart(const QString &text);
// The text's number read with the user's locale, in the unit without prefix
// ("500 uR/h" gives 0.0005). A text without a number raises Type mismatch.
double ParseScaleText(const QString &text);
// As ParseScaleText, but the number is read by the leading-number rule
// (decimal point ".", blanks skipped, stops at a comma); no number gives 0.
double ParseScaleValue(const QString &text);
// A value in the unit of a range text converted to mR/h or uSv/h.
double ToAlarmUnits(double value, const QString &unitText);

// The number at the start of a text, read locale-independently: blanks are
// skipped wherever they stand, then an optional sign, digits, one decimal
// point and an exponent; reading stops at the first character that cannot
// continue the number. No number gives 0; a number beyond the range of a
// double raises Overflow.
double LeadingNumber(QStringView text);
// The shortest decimal text of a number in the user's locale, without group
// separators ("2,5" under a comma-decimal locale).
QString NumberText(double value);
// A text read as a number in the user's locale; false when it is not one.
bool LocaleToDouble(const QString &text, double *value);

} // namespace norvale::assistant::modCalc
