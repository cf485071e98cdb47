#include "assistant/modCalc.h"

#include "assistant/RuntimeError.h"

#include <QLocale>
#include <cmath>

namespace norvale::assistant::modCalc
{

QString NumericPart(const QString &text)
{
    QString out;
    out.reserve(text.size());
    for (QChar c : text)
        out += (c.isDigit() && c.unicode() < 128) || c == QLatin1Char('.') || c == QLatin1Char(',')
                   ? c
                   : QLatin1Char(' ');
    return out.trimmed();
}

bool LocaleToDouble(const QString &text, double *value)
{
    bool ok = false;
    const double v = QLocale().toDouble(text, &ok);
    if (ok && value)
        *value = v;
    return ok;
}

namespace
{

double scaleToBaseUnit(double n, const QString &text)
{
    if (text.contains(QLatin1Char('m'), Qt::CaseInsensitive))
        return n / 1000.0;
    if (text.contains(QLatin1Char('u'), Qt::CaseInsensitive))
        return n / 1000000.0;
    return n;
}

} // namespace

double ParseScaleText(const QString &text)
{
    double n = 0;
    if (!LocaleToDouble(NumericPart(text), &n))
        raiseRuntimeError(errTypeMismatch);
    return scaleToBaseUnit(n, text);
}

double ParseScaleValue(const QString &text)
{
    return scaleToBaseUnit(LeadingNumber(NumericPart(text)), text);
}

double ToAlarmUnits(double value, const QString &unitText)
{
    if (value == 0)
        return 0;
    const bool micro = unitText.contains(QLatin1Char('u'), Qt::CaseInsensitive);
    const bool milli = unitText.contains(QLatin1Char('m'), Qt::CaseInsensitive);
    double factor = 1;
    if (!unitText.contains(QLatin1String("R/"), Qt::CaseInsensitive)) {
        // A bare sievert unit is converted like the others: Sv/h to uSv/h.
        factor = micro ? 1 : milli ? 1000 : 1000000;
    } else {
        factor = micro ? 0.001 : milli ? 1 : 1000;
    }
    return factor * value;
}

double LeadingNumber(QStringView text)
{
    QByteArray number;
    bool digits = false, point = false, exponent = false, expDigits = false;
    for (QChar c : text) {
        if (c == QLatin1Char(' ') || c == QLatin1Char('\t') || c == QLatin1Char('\n') ||
            c == QLatin1Char('\r'))
            continue;
        const char a = c.unicode() < 128 ? char(c.unicode()) : '\0';
        if (a >= '0' && a <= '9') {
            number += a;
            (exponent ? expDigits : digits) = true;
        } else if ((a == '+' || a == '-') &&
                   (number.isEmpty() ||
                    (exponent && !expDigits && (number.endsWith('e') || number.endsWith('E'))))) {
            number += a;
        } else if (a == '.' && !point && !exponent) {
            number += a;
            point = true;
        } else if ((a == 'e' || a == 'E' || a == 'd' || a == 'D') && digits && !exponent) {
            number += 'e';
            exponent = true;
        } else {
            break;
        }
    }
    // An exponent without digits does not belong to the number.
    if (exponent && !expDigits)
        number.truncate(number.indexOf('e'));
    if (!digits)
        return 0;
    bool ok = false;
    const double v = number.toDouble(&ok);
    if (!ok || !std::isfinite(v))
        raiseRuntimeError(errOverflow);
    return v;
}

QString NumberText(double value)
{
    QLocale locale;
    locale.setNumberOptions(QLocale::OmitGroupSeparator);
    const double a = std::fabs(value);
    // Plain digits for the magnitudes people read; exponent form beyond them.
    if (a == 0 || (a >= 1e-5 && a < 1e15))
        return locale.toString(value, 'f', QLocale::FloatingPointShortest);
    return locale.toString(value, 'e', QLocale::FloatingPointShortest);
}

} // namespace norvale::assistant::modCalc
