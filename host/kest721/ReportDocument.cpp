#include "host/kest721/ReportDocument.h"

#include "assistant/modAlarm.h"
#include "host/kest721/Rows.h"
#include "host/kest721/RunTimes.h"

#include <QAbstractTextDocumentLayout>
#include <QBuffer>
#include <QCoreApplication>
#include <QGraphicsLayout>
#include <QGraphicsScene>
#include <QImage>
#include <QPageLayout>
#include <QPainter>
#include <QPdfWriter>
#include <QSaveFile>
#include <QTextBlock>
#include <QTextDocument>
#include <QTimeZone>
#include <QtCharts/QAreaSeries>
#include <QtCharts/QChart>
#include <QtCharts/QDateTimeAxis>
#include <QtCharts/QLegendMarker>
#include <QtCharts/QLineSeries>
#include <QtCharts/QLogValueAxis>
#include <QtCharts/QValueAxis>
#include <cmath>
#include <limits>

using norvale::assistant::Journal;

namespace norvale::host
{

namespace
{
const QColor alarmLineColor(0xd0, 0x00, 0x00);
const QColor episodeShade(0xff, 0x40, 0x40, 0x50);
const QColor gapShade(0x80, 0x80, 0x80, 0x50);
const QColor warningColor(0xc0, 0x00, 0x00);

bool isLog(const ReportInput &in)
{
    return in.run.kind == Journal::Kind::Log;
}

QTimeZone zoneOf(const ReportInput &in)
{
    const QTimeZone z(in.run.info.timeZone.toUtf8());
    return z.isValid() ? z : QTimeZone::systemTimeZone();
}

QString offsetText(int seconds)
{
    const int m = std::abs(seconds) / 60;
    return QStringLiteral("%1%2:%3")
        .arg(QLatin1Char(seconds < 0 ? '-' : '+'))
        .arg(m / 60, 2, 10, QLatin1Char('0'))
        .arg(m % 60, 2, 10, QLatin1Char('0'));
}

QDateTime localOf(const ReportInput &in, qint64 utc)
{
    return QDateTime::fromMSecsSinceEpoch(utc, zoneOf(in));
}

// "2026-12-07 10:55:29 +01:00": local to the run, with its offset.
QString localText(const ReportInput &in, qint64 utc)
{
    const QDateTime t = localOf(in, utc);
    return t.toString(QStringLiteral("yyyy-MM-dd HH:mm:ss ")) + offsetText(t.offsetFromUtc());
}

// Local times of many instants in order, fast: the zone's offset is looked
// up again only past the transition (daylight saving) where it changes.
class LocalClock
{
public:
    explicit LocalClock(const QTimeZone &zone) : m_zone(zone) {}
    qint64 localMs(qint64 utc)
    {
        if (utc < m_from || utc >= m_until) {
            const QDateTime at = QDateTime::fromMSecsSinceEpoch(utc, QTimeZone::utc());
            m_offsetMs = qint64(m_zone.offsetFromUtc(at)) * 1000;
            const QTimeZone::OffsetData before = m_zone.previousTransition(at.addMSecs(1));
            const QTimeZone::OffsetData after = m_zone.nextTransition(at);
            m_from = before.atUtc.isValid() ? before.atUtc.toMSecsSinceEpoch()
                                            : std::numeric_limits<qint64>::min();
            m_until = after.atUtc.isValid() ? after.atUtc.toMSecsSinceEpoch()
                                            : std::numeric_limits<qint64>::max();
        }
        return utc + m_offsetMs;
    }
    static qint64 day(qint64 localMs) { return floorDiv(localMs, 86400000); }
    // "HH:mm:ss", and with the date before it "yyyy-MM-dd HH:mm:ss".
    static QString text(qint64 localMs, bool withDate)
    {
        const qint64 s = floorDiv(localMs, 1000) - day(localMs) * 86400;
        const QString time =
            QString::asprintf("%02d:%02d:%02d", int(s / 3600), int(s / 60 % 60), int(s % 60));
        if (!withDate)
            return time;
        return QDate::fromJulianDay(2440588 + day(localMs)).toString(Qt::ISODate) + u' ' + time;
    }

private:
    static qint64 floorDiv(qint64 a, qint64 b)
    {
        return a / b - (a % b != 0 && (a < 0) != (b < 0));
    }
    QTimeZone m_zone;
    qint64 m_from = 1;
    qint64 m_until = 0;
    qint64 m_offsetMs = 0;
};

// The time of day alone when the date is the one of `day`.
QString shortLocalText(const ReportInput &in, qint64 utc, qint64 day)
{
    const QDateTime t = localOf(in, utc);
    if (t.date() == localOf(in, day).date())
        return t.toString(QStringLiteral("HH:mm:ss"));
    return localText(in, utc);
}

QString durationText(qint64 ms)
{
    return lengthText(std::max<qint64>(1, (ms + 500) / 1000));
}

QString valueText(double v)
{
    return QString::number(v, 'g', 6);
}

QString unitOf(const ReportInput &in)
{
    if (!in.run.info.units.isEmpty())
        return in.run.info.units;
    return in.rows.isEmpty() ? QString() : in.rows.first().unit;
}

QString stateName(const Journal::Row &r)
{
    switch (r.alarmState.value_or(norvale::assistant::modAlarm::StateUnknown)) {
    case norvale::assistant::modAlarm::AckNormal:
        return QStringLiteral("normal");
    case norvale::assistant::modAlarm::UnackAlarm:
        return QStringLiteral("ALARM");
    case norvale::assistant::modAlarm::AckAlarm:
        return QStringLiteral("ALARM (ack.)");
    case norvale::assistant::modAlarm::UnAckNormal:
        return QStringLiteral("was alarm (unack.)");
    default:
        break;
    }
    return r.alarmColor ? alarmColorName(*r.alarmColor) : QString();
}

QColor colorOfRow(const Journal::Row &r)
{
    const std::optional<uint32_t> rgb = r.alarmColor ? rgbOfOleColor(*r.alarmColor) : std::nullopt;
    return rgb ? QColor(QRgb(*rgb)) : QColor(Qt::transparent);
}

QString html(const QString &text)
{
    return text.toHtmlEscaped().replace(u'\n', QStringLiteral("<br>"));
}

QString fieldsHtml(const QList<ReportField> &fields)
{
    QString h = QStringLiteral("<table cellspacing=\"0\" cellpadding=\"2\">");
    for (const ReportField &f : fields) {
        h += QStringLiteral("<tr><td><b>%1</b></td><td>%2</td></tr>")
                 .arg(html(f.label),
                      f.warning ? QStringLiteral("<span style=\"color:%1;font-weight:bold\">%2"
                                                 "</span>")
                                      .arg(warningColor.name(), html(f.value))
                                : html(f.value));
    }
    return h + QStringLiteral("</table>");
}

// Rows of a small table: a heading and its lines.
struct Listing {
    QString title;
    QStringList columns;
    QList<QStringList> lines;
};

QList<Listing> listings(const ReportInput &in, const ReportSummary &s)
{
    QList<Listing> out;
    if (isLog(in) && s.alarmPoint) {
        Listing l{QStringLiteral("Alarm episodes"),
                  {QStringLiteral("#"), QStringLiteral("Start"), QStringLiteral("End"),
                   QStringLiteral("Peak"), QStringLiteral("Acknowledged at")},
                  {}};
        const qint64 day = s.firstUtc.value_or(0);
        for (qsizetype i = 0; i < s.episodes.size(); ++i) {
            const AlarmEpisode &e = s.episodes[i];
            l.lines.append({QString::number(i + 1), localText(in, e.startUtc),
                            e.endedInRun ? shortLocalText(in, e.endUtc, e.startUtc)
                                         : QStringLiteral("still in alarm at the last reading"),
                            QStringLiteral("%1 %2").arg(valueText(e.peak), unitOf(in)),
                            e.acknowledgedUtc ? shortLocalText(in, *e.acknowledgedUtc, day)
                                              : QStringLiteral("not acknowledged")});
        }
        out.append(l);
    }
    if (isLog(in)) {
        Listing l{QStringLiteral("Link to the meter lost"),
                  {QStringLiteral("#"), QStringLiteral("Lost at"), QStringLiteral("Back at"),
                   QStringLiteral("Gap")},
                  {}};
        for (qsizetype i = 0; i < s.gaps.size(); ++i) {
            const LinkGap &g = s.gaps[i];
            l.lines.append({QString::number(i + 1), localText(in, g.lostUtc),
                            g.restoredUtc ? shortLocalText(in, *g.restoredUtc, g.lostUtc)
                                          : QStringLiteral("not back before the run ended"),
                            g.restoredUtc ? durationText(*g.restoredUtc - g.lostUtc) : QString()});
        }
        out.append(l);
    } else {
        Listing l{QStringLiteral("Range changes"),
                  {QStringLiteral("Record"), QStringLiteral("Range")},
                  {}};
        if (!in.rows.isEmpty())
            l.lines.append({QString::number(in.rows.first().seq), in.rows.first().rangeLabel});
        for (const RangeChange &c : s.rangeChanges)
            l.lines.append({QString::number(c.record), c.range});
        out.append(l);
    }
    return out;
}

QString listingHtml(const Listing &l)
{
    QString h = QStringLiteral("<h3>%1</h3>").arg(html(l.title));
    if (l.lines.isEmpty())
        return h + QStringLiteral("<p>None.</p>");
    h += QStringLiteral("<table border=\"1\" cellspacing=\"0\" cellpadding=\"3\" "
                        "style=\"border-collapse:collapse\"><tr>");
    for (const QString &c : l.columns)
        h += QStringLiteral("<th>%1</th>").arg(html(c));
    h += QStringLiteral("</tr>");
    for (const QStringList &line : l.lines) {
        h += QStringLiteral("<tr>");
        for (const QString &cell : line)
            h += QStringLiteral("<td>%1</td>").arg(html(cell));
        h += QStringLiteral("</tr>");
    }
    return h + QStringLiteral("</table>");
}

// Header and summary; the chart and the table follow on the page.
QString summaryHtml(const ReportInput &in, const ReportSummary &s)
{
    QString h = QStringLiteral("<h1>%1</h1>").arg(html(reportTitle(in)));
    if (reportSoFar(in))
        h += QStringLiteral("<p style=\"color:%1\"><b>SO FAR: the run had not ended when this "
                            "report was made (%2).</b></p>")
                 .arg(warningColor.name(), html(localText(in, in.madeAt.toMSecsSinceEpoch())));
    h += QStringLiteral("<h2>Run details</h2>") + fieldsHtml(detailFields(in));
    h += QStringLiteral("<h2>Summary</h2>") + fieldsHtml(summaryFields(in, s));
    if (in.rows.isEmpty())
        return h + QStringLiteral("<p><b>This run has no readings.</b></p>");
    for (const Listing &l : listings(in, s))
        h += listingHtml(l);
    return h;
}

// ---- the chart ----------------------------------------------------------------------

struct Point {
    double x;
    double y;
};

// The chart's time axis shows the process's local time; its values are
// shifted so that it shows the run's own.
qint64 axisMs(const ReportInput &in, qint64 utc)
{
    const QDateTime at = QDateTime::fromMSecsSinceEpoch(utc, QTimeZone::utc());
    return utc + qint64(zoneOf(in).offsetFromUtc(at) - at.toLocalTime().offsetFromUtc()) * 1000;
}

// At most about 2 × `buckets` points, keeping each bucket's lowest and
// highest reading so that no peak is lost; a new segment starts after a gap.
QList<QList<Point>> chartSegments(const ReportInput &in, int buckets)
{
    QList<QList<Point>> segments;
    if (in.rows.isEmpty())
        return segments;
    const bool log = isLog(in);
    const auto xOf = [&](const Journal::Row &r) {
        return log ? double(axisMs(in, rowUtc(r))) : double(r.seq);
    };
    const double x0 = xOf(in.rows.first());
    const double span = std::max(1.0, xOf(in.rows.last()) - x0);
    // Readings further apart than this are not joined by a line.
    const double breakAfter =
        log ? 2500.0 * in.run.info.intervalSeconds.value_or(1) + 1000.0 : 1e300;
    std::optional<qint64> bucketOf;
    Point lo{0, 0}, hi{0, 0};
    double lastX = x0;
    segments.append(QList<Point>());
    const auto flush = [&] {
        if (!bucketOf)
            return;
        if (lo.x <= hi.x)
            segments.last() << lo << hi;
        else
            segments.last() << hi << lo;
    };
    for (const Journal::Row &r : in.rows) {
        const double x = xOf(r);
        const qint64 b = qint64((x - x0) / span * buckets);
        if (x - lastX > breakAfter) {
            flush();
            bucketOf.reset();
            segments.append(QList<Point>());
        }
        lastX = x;
        if (bucketOf != b) {
            flush();
            bucketOf = b;
            lo = hi = {x, r.value};
        } else {
            if (r.value < lo.y)
                lo = {x, r.value};
            if (r.value > hi.y)
                hi = {x, r.value};
        }
    }
    flush();
    for (QList<Point> &seg : segments) // a bucket of one reading gave it twice
        seg.erase(
            std::unique(seg.begin(), seg.end(),
                        [](const Point &a, const Point &b) { return a.x == b.x && a.y == b.y; }),
            seg.end());
    return segments;
}

// Built into `scene`, which owns it.
QChart *buildChart(QGraphicsScene &scene, const QSizeF &size, const ReportInput &in,
                   const ReportSummary &s)
{
    auto *chart = new QChart;
    scene.addItem(chart);
    chart->setGeometry(QRectF(QPointF(0, 0), size));
    chart->setBackgroundVisible(false);
    chart->setMargins(QMargins(4, 4, 4, 4));
    chart->legend()->setAlignment(Qt::AlignBottom);
    const bool log = isLog(in);
    const QString unit = unitOf(in);

    double yMax = s.maximum;
    if (s.alarmPoint)
        yMax = std::max(yMax, *s.alarmPoint);
    double minPositive = 0;
    for (const Journal::Row &r : in.rows)
        if (r.value > 0 && (minPositive == 0 || r.value < minPositive))
            minPositive = r.value;
    const bool logAxis = minPositive > 0 && yMax / minPositive > 100.0;
    double yLo = 0, yHi = yMax > 0 ? yMax * 1.1 : 1;
    if (logAxis) {
        yLo = std::pow(10.0, std::floor(std::log10(minPositive)));
        yHi = std::pow(10.0, std::ceil(std::log10(yMax * 1.01)));
    } else if (s.minimum < 0) {
        yLo = s.minimum * 1.1;
    }
    const auto plotted = [&](double v) { return logAxis ? std::max(v, yLo) : v; };

    QAbstractAxis *xAxis = nullptr;
    double xLo = 0, xHi = 1;
    if (log) {
        auto *axis = new QDateTimeAxis;
        xLo = double(axisMs(in, s.firstUtc.value_or(0)));
        xHi = double(axisMs(in, s.lastUtc.value_or(0)));
        if (xHi <= xLo)
            xHi = xLo + 1000;
        // Ticks on round times: the span widened to whole steps of the
        // shortest step that gives at most eight of them.
        static constexpr qint64 steps[] = {1000,     2000,     5000,     10000,     15000,
                                           30000,    60000,    120000,   300000,    600000,
                                           900000,   1800000,  3600000,  7200000,   10800000,
                                           21600000, 43200000, 86400000, 172800000, 604800000};
        const qint64 shown = qint64(QDateTime::fromMSecsSinceEpoch(qint64(xLo)).offsetFromUtc()) *
                             1000; // the axis's own local time
        qint64 step = steps[std::size(steps) - 1];
        for (const qint64 candidate : steps)
            if ((qint64(xHi) - qint64(xLo)) / candidate < 8) {
                step = candidate;
                break;
            }
        const auto floorTo = [&](qint64 ms) {
            const qint64 local = ms + shown;
            return local / step * step - (local % step < 0 ? step : 0) - shown;
        };
        const qint64 from = floorTo(qint64(xLo));
        const qint64 to = floorTo(qint64(xHi)) + (floorTo(qint64(xHi)) < qint64(xHi) ? step : 0);
        xLo = double(from);
        xHi = double(std::max(to, from + step));
        axis->setRange(QDateTime::fromMSecsSinceEpoch(qint64(xLo)),
                       QDateTime::fromMSecsSinceEpoch(qint64(xHi)));
        axis->setFormat(step >= 86400000    ? QStringLiteral("MM-dd")
                        : step % 60000 == 0 ? QStringLiteral("HH:mm")
                                            : QStringLiteral("HH:mm:ss"));
        axis->setTickCount(int((xHi - xLo) / double(step)) + 1);
        // The dates, which the labels leave out.
        const QDate first = localOf(in, *s.firstUtc).date();
        const QDate last = localOf(in, *s.lastUtc).date();
        axis->setTitleText(QStringLiteral("local time (%1), %2")
                               .arg(offsetText(localOf(in, *s.firstUtc).offsetFromUtc()),
                                    first == last ? first.toString(Qt::ISODate)
                                                  : QStringLiteral("%1 to %2")
                                                        .arg(first.toString(Qt::ISODate),
                                                             last.toString(Qt::ISODate))));
        xAxis = axis;
    } else {
        auto *axis = new QValueAxis;
        xLo = in.rows.isEmpty() ? 0 : double(in.rows.first().seq);
        xHi = in.rows.isEmpty() ? 1 : std::max(xLo + 1, double(in.rows.last().seq));
        axis->setRange(xLo, xHi);
        axis->setLabelFormat(QStringLiteral("%d"));
        axis->setTitleText(QStringLiteral("record"));
        xAxis = axis;
    }
    QAbstractAxis *yAxis = nullptr;
    if (logAxis) {
        auto *axis = new QLogValueAxis;
        axis->setBase(10);
        axis->setRange(yLo, yHi);
        axis->setLabelFormat(QStringLiteral("%g"));
        axis->setMinorTickCount(-1);
        yAxis = axis;
    } else {
        auto *axis = new QValueAxis;
        axis->setRange(yLo, yHi);
        axis->setLabelFormat(QStringLiteral("%g"));
        axis->applyNiceNumbers();
        yAxis = axis;
        yLo = axis->min();
        yHi = axis->max();
    }
    yAxis->setTitleText(log ? QStringLiteral("dose rate (%1)").arg(unit)
                            : QStringLiteral("reading (%1)").arg(unit));
    chart->addAxis(xAxis, Qt::AlignBottom);
    chart->addAxis(yAxis, Qt::AlignLeft);

    const auto attach = [&](QAbstractSeries *series) {
        chart->addSeries(series);
        series->attachAxis(xAxis);
        series->attachAxis(yAxis);
    };
    const auto hideMarker = [&](QAbstractSeries *series) {
        for (QLegendMarker *m : chart->legend()->markers(series))
            m->setVisible(false);
    };
    // A band from the bottom to the top of the plot between two x values.
    const auto band = [&](double from, double to, const QColor &color, const QString &name,
                          bool first) {
        auto *lower = new QLineSeries(chart);
        auto *upper = new QLineSeries(chart);
        lower->append(from, yLo);
        lower->append(to, yLo);
        upper->append(from, yHi);
        upper->append(to, yHi);
        auto *area = new QAreaSeries(upper, lower);
        area->setName(name);
        area->setColor(color);
        area->setBorderColor(Qt::transparent);
        attach(area);
        if (!first)
            hideMarker(area);
    };
    if (log) {
        const auto x = [&](qint64 utc) { return double(axisMs(in, utc)); };
        for (qsizetype i = 0; i < s.episodes.size(); ++i)
            band(x(s.episodes[i].startUtc),
                 std::max(x(s.episodes[i].endUtc), x(s.episodes[i].startUtc) + 500), episodeShade,
                 QStringLiteral("alarm episode"), i == 0);
        for (qsizetype i = 0; i < s.gaps.size(); ++i)
            band(x(s.gaps[i].lostUtc),
                 x(s.gaps[i].restoredUtc.value_or(s.lastUtc.value_or(s.gaps[i].lostUtc))), gapShade,
                 QStringLiteral("link lost"), i == 0);
    } else {
        for (qsizetype i = 0; i < s.rangeChanges.size(); ++i) {
            auto *line = new QLineSeries;
            line->setName(QStringLiteral("range change"));
            const double x = double(s.rangeChanges[i].record) - 0.5;
            line->append(x, yLo);
            line->append(x, yHi);
            line->setPen(QPen(QColor(0x20, 0x80, 0x20), 2, Qt::DashLine));
            attach(line);
            if (i > 0)
                hideMarker(line);
        }
    }
    const QList<QList<Point>> segments = chartSegments(in, 1500);
    for (qsizetype i = 0; i < segments.size(); ++i) {
        auto *series = new QLineSeries;
        series->setName(log ? QStringLiteral("dose rate") : QStringLiteral("reading"));
        QList<QPointF> points;
        points.reserve(segments[i].size());
        for (const Point &p : segments[i])
            points.append(QPointF(p.x, plotted(p.y)));
        series->replace(points);
        series->setPen(QPen(QColor(0x10, 0x40, 0xa0), 1.5));
        attach(series);
        if (i > 0)
            hideMarker(series);
    }
    if (s.alarmPoint) {
        auto *line = new QLineSeries;
        line->setName(QStringLiteral("alarm point %1 %2").arg(valueText(*s.alarmPoint), unit));
        line->append(xLo, plotted(*s.alarmPoint));
        line->append(xHi, plotted(*s.alarmPoint));
        line->setPen(QPen(alarmLineColor, 3));
        attach(line);
    }
    return chart;
}

// ---- the table of readings in the PDF ---------------------------------------------

struct TableColumn {
    QString heading;
    double width; // in units of the font's average character width
    Qt::Alignment align;
};

QList<TableColumn> tableColumns(bool log)
{
    if (log)
        return {{QStringLiteral("#"), 6, Qt::AlignRight},
                {QStringLiteral("Time"), 20, Qt::AlignLeft},
                {QStringLiteral("Reading"), 9, Qt::AlignRight},
                {QStringLiteral("Alarm"), 17, Qt::AlignLeft}};
    return {{QStringLiteral("Record"), 7, Qt::AlignRight},
            {QStringLiteral("Reading"), 10, Qt::AlignRight},
            {QStringLiteral("\u00b0C"), 7, Qt::AlignRight},
            {QStringLiteral("Range"), 12, Qt::AlignLeft}};
}

QStringList tableCells(const ReportInput &in, LocalClock &clock, qsizetype i, bool firstOfColumn)
{
    const Journal::Row &r = in.rows[i];
    if (!isLog(in))
        return {QString::number(r.seq), valueText(r.value),
                r.degreesC ? QString::number(*r.degreesC, 'f', 1) : QString(), r.rangeLabel};
    const qint64 utc = rowUtc(r);
    const qint64 before = i > 0 ? rowUtc(in.rows[i - 1]) : utc;
    // The date is written where a column starts and where it changes.
    const qint64 local = clock.localMs(utc);
    const QString time = LocalClock::text(
        local, firstOfColumn || LocalClock::day(local) != LocalClock::day(clock.localMs(before)));
    return {QString::number(r.seq), time, valueText(r.value), stateName(r)};
}

// Without shaping, Latin text has no ligatures: "fi" stays two letters that
// a search of the PDF finds (and the table draws faster).
QFont reportFont(double points)
{
    QFont f(QStringLiteral("DejaVu Sans"));
    f.setPointSizeF(points);
    f.setStyleStrategy(QFont::PreferNoShaping);
    return f;
}

class PdfPages
{
public:
    PdfPages(QPdfWriter &writer, QPainter &painter, const ReportInput &in)
        : m_writer(writer), m_painter(painter), m_in(in)
    {
    }
    QRectF body() const
    {
        const QRectF r = m_writer.pageLayout().paintRectPixels(m_writer.resolution());
        return QRectF(0, 0, r.width(), r.height() - footerHeight());
    }
    double footerHeight() const { return m_writer.resolution() * 0.3; }
    void footer(int page, int pages)
    {
        const QRectF r = m_writer.pageLayout().paintRectPixels(m_writer.resolution());
        m_painter.setFont(reportFont(7));
        m_painter.setPen(Qt::black);
        const QRectF line(0, r.height() - footerHeight() * 0.7, r.width(), footerHeight() * 0.7);
        QString left = reportTitle(m_in);
        if (reportSoFar(m_in))
            left += QStringLiteral(" (SO FAR)");
        m_painter.drawText(line, Qt::AlignLeft | Qt::AlignVCenter, left);
        m_painter.drawText(line, Qt::AlignRight | Qt::AlignVCenter,
                           QStringLiteral("page %1 of %2").arg(page).arg(pages));
    }
    void newPage()
    {
        if (!m_writer.newPage())
            throw ReportError(QStringLiteral("the PDF writer refused a new page"));
    }

private:
    QPdfWriter &m_writer;
    QPainter &m_painter;
    const ReportInput &m_in;
};

// The table's layout on a page: column groups side by side.
struct TableLayout {
    QFont font;
    double lineHeight = 0;
    double charWidth = 0;
    double groupWidth = 0;
    int groups = 1;
    int linesPerGroup = 1;
    int rowsPerPage() const { return groups * linesPerGroup; }
};

TableLayout tableLayout(const QRectF &body, bool log, QPainter &probe)
{
    TableLayout t;
    t.font = reportFont(7);
    const QFontMetricsF fm(t.font, probe.device());
    // The height of a line as a text of many lines is laid out.
    probe.setFont(t.font);
    t.lineHeight = probe
                       .boundingRect(QRectF(0, 0, 1e6, 1e6), Qt::AlignLeft | Qt::AlignTop,
                                     QStringLiteral("0\n").repeated(99) + u'0')
                       .height() /
                   100.0;
    t.charWidth = fm.horizontalAdvance(u'0');
    double chars = 1; // the gap between two groups
    for (const TableColumn &c : tableColumns(log))
        chars += c.width;
    t.groupWidth = chars * t.charWidth;
    t.groups = std::max(1, int(body.width() / t.groupWidth));
    // A heading line, the column heads, a blank line.
    t.linesPerGroup = std::max(1, int(body.height() / t.lineHeight) - 3);
    return t;
}

void drawTablePage(QPainter &p, const QRectF &body, const TableLayout &t, const ReportInput &in,
                   LocalClock &clock, qsizetype first, qsizetype count)
{
    const bool log = isLog(in);
    p.setFont(t.font);
    p.setPen(Qt::black);
    QFont bold = t.font;
    bold.setBold(true);
    p.setFont(bold);
    p.drawText(QRectF(0, 0, body.width(), t.lineHeight), Qt::AlignLeft,
               QStringLiteral("Readings %1 to %2 of %3")
                   .arg(first + 1)
                   .arg(first + count)
                   .arg(in.rows.size()));
    const QList<TableColumn> columns = tableColumns(log);
    for (int g = 0; g < t.groups; ++g) {
        const qsizetype from = first + qsizetype(g) * t.linesPerGroup;
        const qsizetype to = std::min(first + count, from + t.linesPerGroup);
        if (from >= to)
            break;
        const double gx = g * t.groupWidth;
        const double top = 2 * t.lineHeight;
        // One text per column and colour, line by line: far fewer drawing
        // calls than one per cell, and the text stays searchable.
        QList<QStringList> cells;
        cells.reserve(to - from);
        for (qsizetype i = from; i < to; ++i)
            cells.append(tableCells(in, clock, i, i == from));
        double x = gx;
        for (qsizetype c = 0; c < columns.size(); ++c) {
            const double w = columns[c].width * t.charWidth;
            const bool alarmColumn = log && c == columns.size() - 1;
            const double pad = alarmColumn ? t.lineHeight : 0;
            p.setFont(bold);
            p.setPen(Qt::black);
            p.drawText(QRectF(x + pad, top - t.lineHeight, w - pad - t.charWidth, t.lineHeight),
                       columns[c].align, columns[c].heading);
            p.setFont(t.font);
            if (alarmColumn) {
                // The row's alarm colour as a swatch, runs of one colour as one rectangle.
                qsizetype runStart = from;
                for (qsizetype i = from; i <= to; ++i) {
                    if (i < to && colorOfRow(in.rows[i]) == colorOfRow(in.rows[runStart]))
                        continue;
                    const QColor color = colorOfRow(in.rows[runStart]);
                    if (color.alpha() > 0)
                        p.fillRect(QRectF(x, top + double(runStart - from) * t.lineHeight,
                                          t.lineHeight * 0.6, double(i - runStart) * t.lineHeight),
                                   color);
                    runStart = i;
                }
            }
            // Alarm states in red, the rest in black.
            for (const bool red : {false, true}) {
                if (red && !alarmColumn)
                    break;
                QStringList lines;
                bool any = false;
                for (qsizetype i = from; i < to; ++i) {
                    const bool rowRed = alarmColumn && inAlarm(in.rows[i], std::nullopt);
                    const bool here = rowRed == red;
                    lines << (here ? cells[i - from][c] : QString());
                    any = any || (here && !cells[i - from][c].isEmpty());
                }
                if (!any)
                    continue;
                p.setPen(red ? warningColor : QColor(Qt::black));
                p.drawText(QRectF(x + pad, top, w - pad - t.charWidth, t.lineHeight * (to - from)),
                           columns[c].align | Qt::AlignTop, lines.join(u'\n'));
            }
            x += w;
        }
    }
}

QString chartPictureHtml(const ReportInput &in, const ReportSummary &s)
{
    QImage image(1400, 600, QImage::Format_RGB32);
    image.fill(Qt::white);
    {
        QPainter p(&image);
        p.setRenderHint(QPainter::Antialiasing);
        drawChart(p, QRectF(0, 0, image.width(), image.height()), in, s);
    }
    QByteArray png;
    QBuffer buffer(&png);
    buffer.open(QIODevice::WriteOnly);
    image.save(&buffer, "PNG");
    return QStringLiteral("<p><img alt=\"chart of the readings\" style=\"max-width:100%\" "
                          "src=\"data:image/png;base64,%1\"></p>")
        .arg(QString::fromLatin1(png.toBase64()));
}

void commit(QSaveFile &file)
{
    if (!file.commit())
        throw ReportError(QStringLiteral("Cannot write the report to %1: %2")
                              .arg(file.fileName(), file.errorString()));
}

void open(QSaveFile &file)
{
    if (!file.open(QIODevice::WriteOnly))
        throw ReportError(QStringLiteral("Cannot write the report to %1: %2")
                              .arg(file.fileName(), file.errorString()));
}

} // namespace

Paper paperOfLocale(const QLocale &locale)
{
    return locale.measurementSystem() == QLocale::ImperialUSSystem ? Paper::Letter : Paper::A4;
}

QString reportTitle(const ReportInput &in)
{
    return isLog(in) ? QStringLiteral("721 survey record, run %1").arg(in.run.id)
                     : QStringLiteral("721 download record, download %1").arg(in.run.id);
}

QList<ReportField> detailFields(const ReportInput &in)
{
    const Journal::RunInfo &i = in.run.info;
    const auto orUnknown = [](const QString &t) {
        return t.isEmpty() ? QStringLiteral("not recorded") : t;
    };
    QList<ReportField> f;
    f.append(
        {QStringLiteral("Meter"), QStringLiteral("721, model %1, serial number %2")
                                      .arg(orUnknown(i.model), orUnknown(in.run.serialNumber))});
    if (in.calibration) {
        const bool overdue = in.calibration->overdueOn(in.madeAt.date());
        f.append({QStringLiteral("Calibration"),
                  norvale::assistant::calibrationText(*in.calibration, in.madeAt.date()), overdue});
    } else {
        f.append({QStringLiteral("Calibration"),
                  QStringLiteral("no due date recorded (kest721 calibration SERIAL --due "
                                 "YYYY-MM-DD)")});
    }
    f.append({QStringLiteral("Units"), orUnknown(unitOf(in))});
    if (isLog(in)) {
        QString alarm = i.alarmPoint.isEmpty()
                            ? QStringLiteral("not recorded")
                            : QStringLiteral("%1 %2").arg(i.alarmPoint, unitOf(in));
        if (i.alarmEnabled)
            alarm += *i.alarmEnabled ? QStringLiteral(", alarm on") : QStringLiteral(", alarm off");
        f.append({QStringLiteral("Alarm point"), alarm});
        f.append({QStringLiteral("Sampling interval"), i.intervalSeconds
                                                           ? lengthText(*i.intervalSeconds)
                                                           : QStringLiteral("not recorded")});
        f.append({QStringLiteral("Run length"),
                  i.lengthSeconds ? lengthText(*i.lengthSeconds) : QStringLiteral("not recorded")});
    }
    f.append({QStringLiteral("Location"), orUnknown(i.location)});
    f.append({QStringLiteral("Note"), i.note.isEmpty() ? QStringLiteral("none") : i.note});
    f.append({QStringLiteral("Operator"), orUnknown(i.operatorName)});
    f.append({QStringLiteral("Software"), orUnknown(i.software)});
    f.append({QStringLiteral("Time zone"), zoneOf(in).id().isEmpty()
                                               ? QStringLiteral("local")
                                               : QString::fromUtf8(zoneOf(in).id())});
    f.append({QStringLiteral("Report made"), localText(in, in.madeAt.toMSecsSinceEpoch())});
    return f;
}

QList<ReportField> summaryFields(const ReportInput &in, const ReportSummary &s)
{
    QList<ReportField> f;
    const std::optional<qint64> start = in.run.startedUtc ? in.run.startedUtc : s.firstUtc;
    const std::optional<qint64> end = in.run.endedUtc ? in.run.endedUtc : s.lastUtc;
    if (start)
        f.append({QStringLiteral("Start"), localText(in, *start)});
    if (reportSoFar(in))
        f.append({QStringLiteral("End"),
                  s.lastUtc
                      ? QStringLiteral("not yet (last reading %1)").arg(localText(in, *s.lastUtc))
                      : QStringLiteral("not yet"),
                  true});
    else if (end)
        f.append({QStringLiteral("End"), localText(in, *end)});
    if (start && end)
        f.append({QStringLiteral("Duration"), durationText(*end - *start)});
    f.append({isLog(in) ? QStringLiteral("Readings") : QStringLiteral("Records"),
              QString::number(s.readings)});
    if (s.readings == 0)
        return f;
    const QString unit = unitOf(in);
    const auto v = [&](double x) { return QStringLiteral("%1 %2").arg(valueText(x), unit); };
    f.append({QStringLiteral("Minimum"), v(s.minimum)});
    f.append({QStringLiteral("Maximum"), v(s.maximum)});
    f.append({QStringLiteral("Mean"), v(s.mean)});
    f.append({QStringLiteral("Median"), v(s.median)});
    if (isLog(in)) {
        f.append({QStringLiteral("At or above the alarm point"),
                  s.alarmPoint ? QStringLiteral("%1 (%2 reading%3)")
                                     .arg(s.readingsAtOrAbove ? lengthText(s.secondsAtOrAbove)
                                                              : QStringLiteral("0 s"))
                                     .arg(s.readingsAtOrAbove)
                                     .arg(s.readingsAtOrAbove == 1 ? "" : "s")
                               : QStringLiteral("no alarm point (the alarm was off)"),
                  s.readingsAtOrAbove > 0});
        f.append({QStringLiteral("Alarm episodes"), QString::number(s.episodes.size()),
                  !s.episodes.isEmpty()});
        f.append({QStringLiteral("Link lost"),
                  s.gaps.isEmpty() ? QStringLiteral("never")
                                   : QStringLiteral("%1 time%2")
                                         .arg(s.gaps.size())
                                         .arg(s.gaps.size() == 1 ? "" : "s"),
                  !s.gaps.isEmpty()});
    } else {
        f.append({QStringLiteral("Range changes"), QString::number(s.rangeChanges.size())});
    }
    return f;
}

QString reportText(const ReportInput &in, const ReportSummary &s)
{
    QString t = reportTitle(in) + u'\n';
    if (reportSoFar(in))
        t += QStringLiteral("SO FAR: the run had not ended when this report was made.\n");
    const auto fields = [&](const QList<ReportField> &list) {
        for (const ReportField &f : list)
            t += QStringLiteral("%1: %2\n")
                     .arg(f.label, QString(f.value).replace(u'\n', QStringLiteral("\n  ")));
    };
    fields(detailFields(in));
    fields(summaryFields(in, s));
    if (in.rows.isEmpty()) {
        t += QStringLiteral("This run has no readings.\n");
        return t;
    }
    for (const Listing &l : listings(in, s)) {
        t +=
            l.title + u':' + (l.lines.isEmpty() ? QStringLiteral(" none\n") : QStringLiteral("\n"));
        for (const QStringList &line : l.lines) {
            QStringList parts;
            for (qsizetype c = 1; c < line.size(); ++c) {
                // A cell that says what did not happen reads on its own.
                const bool phrase = line[c].startsWith(QLatin1String("not ")) ||
                                    line[c].startsWith(QLatin1String("still "));
                if (!line[c].isEmpty())
                    parts << (phrase
                                  ? line[c]
                                  : QStringLiteral("%1 %2").arg(l.columns[c].toLower(), line[c]));
            }
            t += QStringLiteral("  %1. %2\n").arg(line.first(), parts.join(QStringLiteral(", ")));
        }
    }
    return t;
}

void drawChart(QPainter &painter, const QRectF &target, const ReportInput &in,
               const ReportSummary &s)
{
    if (in.rows.isEmpty())
        return;
    QGraphicsScene scene;
    // The scene is laid out at a screen-like size and scaled into the target,
    // so that its fonts keep their proportions on any device.
    const QSizeF size(760, 760 * target.height() / target.width());
    QChart *chart = buildChart(scene, size, in, s);
    scene.setSceneRect(QRectF(QPointF(0, 0), size));
    // The chart lays itself out on the events that a shown view would get.
    chart->layout()->activate();
    QCoreApplication::sendPostedEvents();
    scene.render(&painter, target, scene.sceneRect());
}

void writePdf(const ReportInput &in, const ReportSummary &s, Paper paper, const QString &path)
{
    QSaveFile file(path);
    open(file);
    {
        QPdfWriter writer(&file);
        writer.setResolution(300);
        writer.setCreator(QStringLiteral("kest721"));
        writer.setTitle(reportTitle(in));
        writer.setPageLayout(
            QPageLayout(QPageSize(paper == Paper::Letter ? QPageSize::Letter : QPageSize::A4),
                        QPageLayout::Portrait, QMarginsF(15, 12, 15, 12), QPageLayout::Millimeter));
        QPainter painter;
        if (!painter.begin(&writer))
            throw ReportError(
                QStringLiteral("Cannot write the report to %1: no PDF painter").arg(path));
        PdfPages pages(writer, painter, in);
        const QRectF body = pages.body();

        QTextDocument doc;
        doc.documentLayout()->setPaintDevice(&writer);
        QFont base = reportFont(9);
        doc.setDefaultFont(base);
        doc.setHtml(summaryHtml(in, s));
        doc.setPageSize(body.size());
        const int summaryPages = doc.pageCount();
        // The paged document's size is whole pages; its text ends with its last block.
        const double lastPageUsed =
            doc.documentLayout()->blockBoundingRect(doc.lastBlock()).bottom() -
            (summaryPages - 1) * body.height();
        const bool chart = !in.rows.isEmpty();
        // Below the summary when at least a quarter of the page is left there.
        const double room = body.height() - lastPageUsed - body.height() * 0.02;
        const bool chartOnNewPage = chart && room < body.height() * 0.25;
        const double chartHeight =
            chartOnNewPage ? body.height() * 0.45 : std::min(room, body.height() * 0.45);
        const TableLayout table = tableLayout(body, isLog(in), painter);
        const qsizetype tablePages =
            (in.rows.size() + table.rowsPerPage() - 1) / table.rowsPerPage();
        const int total = summaryPages + (chartOnNewPage ? 1 : 0) + int(tablePages);

        int page = 0;
        for (int i = 0; i < summaryPages; ++i) {
            if (page > 0)
                pages.newPage();
            ++page;
            painter.save();
            painter.translate(0, -i * body.height());
            doc.drawContents(&painter, QRectF(0, i * body.height(), body.width(), body.height()));
            painter.restore();
            pages.footer(page, total);
        }
        if (chart) {
            double top = lastPageUsed + body.height() * 0.02;
            if (chartOnNewPage) {
                pages.newPage();
                pages.footer(++page, total);
                top = 0;
            }
            painter.setRenderHint(QPainter::Antialiasing);
            drawChart(painter, QRectF(0, top, body.width(), chartHeight), in, s);
        }
        LocalClock clock(zoneOf(in));
        for (qsizetype first = 0; first < in.rows.size(); first += table.rowsPerPage()) {
            pages.newPage();
            drawTablePage(painter, body, table, in, clock, first,
                          std::min<qsizetype>(table.rowsPerPage(), in.rows.size() - first));
            pages.footer(++page, total);
        }
        painter.end();
    }
    commit(file);
}

void writeHtml(const ReportInput &in, const ReportSummary &s, const QString &path)
{
    QString h = QStringLiteral("<!DOCTYPE html>\n<html><head><meta charset=\"utf-8\"><title>%1"
                               "</title><style>body{font-family:sans-serif}"
                               "td,th{padding:1px 6px}</style></head><body>\n")
                    .arg(html(reportTitle(in)));
    h += summaryHtml(in, s);
    if (!in.rows.isEmpty()) {
        h += chartPictureHtml(in, s);
        h += QStringLiteral("<h2>Readings</h2>\n<table>\n<tr>");
        const QList<TableColumn> columns = tableColumns(isLog(in));
        LocalClock clock(zoneOf(in));
        for (const TableColumn &c : columns)
            h += QStringLiteral("<th>%1</th>").arg(html(c.heading));
        h += QStringLiteral("</tr>\n");
        for (qsizetype i = 0; i < in.rows.size(); ++i) {
            const QStringList cells = tableCells(in, clock, i, i == 0);
            h += QStringLiteral("<tr>");
            for (qsizetype c = 0; c < cells.size(); ++c) {
                const QColor color = colorOfRow(in.rows[i]);
                if (isLog(in) && c == cells.size() - 1 && color.alpha() > 0)
                    h += QStringLiteral("<td style=\"border-left:1em solid %1\">%2</td>")
                             .arg(color.name(), html(cells[c]));
                else
                    h += QStringLiteral("<td>%1</td>").arg(html(cells[c]));
            }
            h += QStringLiteral("</tr>\n");
        }
        h += QStringLiteral("</table>\n");
    }
    h += QStringLiteral("</body></html>\n");
    QSaveFile file(path);
    open(file);
    file.write(h.toUtf8());
    commit(file);
}

} // namespace norvale::host
