#pragma once
// The survey record of one journal run as a document: the run's details and
// the meter's calibration, the summary, a chart and every reading, written as
// PDF (searchable text, paged) or HTML, or as plain text on a terminal. Needs
// a QApplication (the chart is a QtCharts scene); never shows a window.
#include "assistant/Calibration.h"
#include "assistant/Journal.h"
#include "host/kest721/ReportSummary.h"

#include <QDateTime>
#include <QList>
#include <QLocale>
#include <QString>
#include <optional>
#include <stdexcept>

class QPainter;
class QRectF;

namespace norvale::host
{

enum class Paper { A4, Letter };

// Letter where the locale measures in US units, else A4.
Paper paperOfLocale(const QLocale &locale);

struct ReportInput {
    norvale::assistant::Journal::Run run;
    QList<norvale::assistant::Journal::Row> rows;
    QList<norvale::assistant::Journal::Event> events;
    std::optional<norvale::assistant::Calibration> calibration;
    QDateTime madeAt; // when the report is made: "so far" and "overdue" count from it
};

// A label and its value; `warning` is shown in red (an overdue calibration).
struct ReportField {
    QString label;
    QString value;
    bool warning = false;
};

// The run is not over (or its server ended without closing it).
inline bool reportSoFar(const ReportInput &in)
{
    return !in.run.endedUtc.has_value();
}

QString reportTitle(const ReportInput &in);
QList<ReportField> detailFields(const ReportInput &in);
QList<ReportField> summaryFields(const ReportInput &in, const ReportSummary &s);

// The whole record as text, without the table of readings.
QString reportText(const ReportInput &in, const ReportSummary &s);

// A file that could not be written; nothing of it is left behind.
class ReportError : public std::runtime_error
{
public:
    explicit ReportError(const QString &text) : std::runtime_error(text.toStdString()) {}
};

// Write through a temporary file in the same folder, renamed when complete.
void writePdf(const ReportInput &in, const ReportSummary &s, Paper paper, const QString &path);
void writeHtml(const ReportInput &in, const ReportSummary &s, const QString &path);

// The chart alone, drawn into `target` (also used for the HTML's picture).
void drawChart(QPainter &painter, const QRectF &target, const ReportInput &in,
               const ReportSummary &s);

} // namespace norvale::host
