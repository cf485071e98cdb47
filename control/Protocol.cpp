#include "control/Protocol.h"

#include "platform/AutomationError.h"

#include <QRegularExpression>
#include <cmath>

namespace proto {

namespace {

// The length of the number at the start of `text` (from `from`), 0 if none:
// optional sign, digits with at most one point (at least one digit), optional
// exponent.
qsizetype numberLength(const QString &text, qsizetype from)
{
    qsizetype i = from;
    const qsizetype n = text.size();
    if (i < n && (text[i] == u'+' || text[i] == u'-'))
        ++i;
    qsizetype digits = 0;
    while (i < n && text[i].isDigit() && text[i].unicode() < 128) {
        ++i;
        ++digits;
    }
    if (i < n && text[i] == u'.') {
        ++i;
        while (i < n && text[i].isDigit() && text[i].unicode() < 128) {
            ++i;
            ++digits;
        }
    }
    if (digits == 0)
        return 0;
    if (i < n && (text[i] == u'e' || text[i] == u'E')) {
        qsizetype j = i + 1;
        if (j < n && (text[j] == u'+' || text[j] == u'-'))
            ++j;
        const qsizetype expStart = j;
        while (j < n && text[j].isDigit() && text[j].unicode() < 128)
            ++j;
        if (j > expStart)
            i = j;
    }
    return i - from;
}

double parseC(const QString &number)
{
    bool ok = false;
    const double v = number.toDouble(&ok); // QString::toDouble uses the C locale
    return ok ? v : 0.0;
}

bool containsCi(const QString &text, QLatin1StringView word)
{
    return text.contains(word, Qt::CaseInsensitive);
}

} // namespace

double leadingNumber(const QString &text)
{
    qsizetype i = 0;
    while (i < text.size() && (text[i] == u' ' || text[i] == u'\t'))
        ++i;
    const qsizetype len = numberLength(text, i);
    return len == 0 ? 0.0 : parseC(text.mid(i, len));
}

std::optional<double> toNumber(const QString &text)
{
    const QString t = text.trimmed();
    const qsizetype len = numberLength(t, 0);
    if (len == 0 || len != t.size())
        return std::nullopt;
    const double v = parseC(t);
    if (!std::isfinite(v))
        return std::nullopt;
    return v;
}

bool isNumber(const QString &text) { return toNumber(text).has_value(); }

int16_t HexToInt(const QString &text)
{
    // Only blanks are trimmed: a CR or other character left in the text makes
    // it a conversion error, as for any other non-hexadecimal text.
    qsizetype a = 0, b = text.size();
    while (a < b && text[a] == u' ')
        ++a;
    while (b > a && text[b - 1] == u' ')
        --b;
    const QString digits = text.mid(a, b - a);
    bool ok = !digits.isEmpty();
    for (const QChar c : digits)
        ok = ok && c.unicode() < 128 && std::isxdigit(static_cast<unsigned char>(c.unicode()));
    if (!ok)
        throw norvale::platform::AutomationError(13, QStringLiteral("kest720"),
                                                 QStringLiteral("Type mismatch"));
    if (digits.size() > 4)
        throw norvale::platform::AutomationError(6, QStringLiteral("kest720"),
                                                 QStringLiteral("Overflow"));
    return static_cast<int16_t>(digits.toUInt(nullptr, 16));
}

QString StripLineFeeds(const QString &text)
{
    QString out = text;
    out.remove(QLatin1Char('\n'));
    return out;
}

TYPE_PREFIX ParsePrefix(const QString &text)
{
    if (containsCi(text, QLatin1StringView("micro")))
        return prefixMicro;
    if (containsCi(text, QLatin1StringView("m")))
        return prefixMilli;
    if (containsCi(text, QLatin1StringView("u")))
        return prefixMicro;
    if (containsCi(text, QLatin1StringView("k")))
        return prefixKilo;
    return prefixOne;
}

void ParseMemoryDump(const QString &address, const QString &response, QStringList &bytes)
{
    if (address.isEmpty())
        return;
    const qsizetype echo = response.indexOf(address);
    if (echo < 0)
        return;
    const qsizetype line = response.indexOf(address, echo + 1);
    if (line < 0)
        return;
    if (bytes.isEmpty())
        bytes.append(QString());
    // The first byte follows the address and one separator. Each group is two
    // hexadecimal digits and a separator; the entry keeps the digits, so that
    // the last byte converts whether the meter ends the line with a blank or
    // with the CR straight away.
    bytes.removeLast();
    for (qsizetype p = line + address.size() + 1; p + 2 <= response.size(); p += 3)
        bytes.append(response.mid(p, 2));
    bytes.append(QString());
}

std::optional<QList<Range>> ParseRangeReport(const QString &reply)
{
    const qsizetype cr = reply.indexOf(QLatin1Char('\r'));
    if (cr < 0)
        return std::nullopt;
    // The echo line, its CR and the character after it (the LF) are dropped.
    const QString s = StripLineFeeds(reply.mid(cr + 2));
    const qsizetype n = s.size();
    QList<Range> out;
    qsizetype pos = 0;
    auto skipBlanks = [&](qsizetype &i) {
        while (i < n && s[i] == u' ')
            ++i;
    };
    while (pos < n) {
        const QChar first = s[pos];
        if (!(first.unicode() >= '0' && first.unicode() <= '9'))
            break;
        const int16_t index = static_cast<int16_t>(first.unicode() - '0');
        qsizetype i = pos + 1;
        skipBlanks(i);
        const qsizetype numberStart = i;
        while (i < n && s[i] != u' ' && s[i] != u'm')
            ++i;
        const QString number = s.mid(numberStart, i - numberStart);
        skipBlanks(i);
        const qsizetype unitStart = i;
        while (i < n && s[i] != u' ')
            ++i;
        QString unit = s.mid(unitStart, i - unitStart);
        skipBlanks(i);
        const qsizetype thirdStart = i;
        while (i < n && s[i] != u' ' && s[i] != u'\r')
            ++i;
        const QString third = s.mid(thirdStart, i - thirdStart);
        if (!isNumber(third))
            unit += third;
        const qsizetype nextCr = s.indexOf(QLatin1Char('\r'), i);
        // A line without its CR may be cut short: the table ends before it.
        if (nextCr < 0)
            break;
        pos = nextCr + 1;
        if (containsCi(number, QLatin1StringView("int")) ||
            containsCi(number, QLatin1StringView("micro")))
            continue;
        const std::optional<double> scale = toNumber(number);
        if (!scale)
            continue; // the line is skipped like any failing statement
        out.append(Range{number + QLatin1Char(' ') + unit, index, static_cast<float>(*scale), unit});
    }
    return out;
}

std::optional<double> ParseDose(const QString &reply)
{
    const qsizetype pos = reply.indexOf(QLatin1StringView("integrated"), 0, Qt::CaseInsensitive);
    if (pos < 0)
        return std::nullopt;
    const qsizetype lf = pos == 0 ? -1 : reply.lastIndexOf(QLatin1Char('\n'), pos - 1);
    if (lf < 0)
        return 0.0;
    const QString text = reply.mid(lf + 1, pos - lf - 1);
    double dose = leadingNumber(text);
    if (containsCi(text, QLatin1StringView("s")))
        dose *= 1000;
    if (containsCi(text, QLatin1StringView("m"))) {
        if (containsCi(text, QLatin1StringView("micro")))
            dose /= 1000;
    } else {
        dose *= 1000;
    }
    return dose;
}

bool IsUnitChar(QChar c)
{
    switch (c.unicode()) {
    case 'u': case 'U': case 'M': case 'm': case 'R': case 'r': case 'S': case 's':
    case 'V': case 'v': case '/': case 'H': case 'h':
        return true;
    default:
        return false;
    }
}

QString FilterLiveChars(const QString &text)
{
    QString out;
    out.reserve(text.size());
    for (const QChar c : text) {
        const char16_t u = c.unicode();
        if (u == '\r')
            out.append(QLatin1Char(' '));
        else if (u == ' ' || (u >= '0' && u <= '9') || u == '.' || IsUnitChar(c) ||
                 // Signs and exponents are kept so that such a reading is read
                 // whole or dropped, never read as a different number.
                 u == '+' || u == '-' || u == 'e' || u == 'E')
            out.append(c);
    }
    return out;
}

bool TokenizePass(QString &buf, QString &currentScale, const std::function<void(double)> &onReading,
                  const std::function<void()> &perChar)
{
    const qsizetype p = buf.indexOf(QLatin1Char(' ')) + 1; // 1-based, as the stream is described
    if (p == 0)
        return false;
    const QString rest = buf.mid(p);
    for (qsizetype i = 1; i <= rest.size(); ++i) {
        if (perChar)
            perChar();
        if (rest[i - 1] != u' ')
            continue;
        if (i == rest.size())
            return false; // the token is completed by later data
        if (IsUnitChar(rest[i])) {
            const qsizetype q = rest.indexOf(QLatin1Char(' '), i) + 1;
            if (q == 0)
                continue; // the label is completed by later data
            // A buffer that began mid-token (p > 1) cuts the label by p - 1
            // characters; where that would leave less than nothing, the label
            // is kept whole.
            currentScale = q - p >= 0 ? rest.left(q - p) : rest.left(q - 1);
            buf.remove(0, q);
            return true;
        }
        const QString tok = rest.left(i - 1);
        if (!currentScale.isEmpty()) {
            if (const auto value = toNumber(tok); value && !tok.contains(u' '))
                onReading(*value);
        }
        buf.remove(0, i);
        return true;
    }
    return false;
}

bool IsLogEnd(const QString &line) { return containsCi(line, QLatin1StringView("cal")); }

std::optional<LogRecord> ParseDataDownload(const QString &line)
{
    LogRecord r;
    const qsizetype blank = line.indexOf(QLatin1Char(' ')) + 1; // 1-based; 0 when none
    r.DegreesC = static_cast<float>(leadingNumber(line.left(blank)));
    QString rest = line.mid(blank);
    const double range = leadingNumber(rest.left(2));
    r.range = static_cast<int>(std::nearbyint(range));
    rest = rest.mid(1);
    const qsizetype q = rest.indexOf(QLatin1Char('\r'));
    if (q < 0)
        return std::nullopt;
    const std::optional<double> value = toNumber(rest.left(q));
    if (!value)
        return std::nullopt;
    r.value = *value;
    return r;
}

} // namespace proto
