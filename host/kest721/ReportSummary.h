#pragma once
// What a survey record says about a run's readings: their span and
// statistics, the alarm episodes and the gaps where the link to the meter was
// lost. Pure: computed from the journal's rows and marks alone.
#include "assistant/Journal.h"

#include <QList>
#include <QString>
#include <optional>

namespace norvale::host
{

struct AlarmEpisode {
    qint64 startUtc = 0; // the first reading in alarm
    qint64 endUtc = 0;   // the first reading out of it, else the run's last reading
    bool endedInRun = true;
    double peak = 0;
    std::optional<qint64> acknowledgedUtc;
};

struct LinkGap {
    qint64 lostUtc = 0;
    std::optional<qint64> restoredUtc; // unset: the link never came back
};

// A download's range change: the record where the meter's range text differs
// from the one before.
struct RangeChange {
    qint64 record = 0;
    QString range;
};

struct ReportSummary {
    qint64 readings = 0;
    std::optional<qint64> firstUtc;
    std::optional<qint64> lastUtc;
    double minimum = 0;
    double maximum = 0;
    double mean = 0;
    double median = 0;
    std::optional<double> alarmPoint; // set when the run's alarm was on
    qint64 readingsAtOrAbove = 0;
    qint64 secondsAtOrAbove = 0; // those readings times the sampling interval
    QList<AlarmEpisode> episodes;
    QList<LinkGap> gaps;
    QList<RangeChange> rangeChanges;
};

// Whether a row counts as in alarm: by its alarm state when the journal has
// it, else by its value against the alarm point.
bool inAlarm(const norvale::assistant::Journal::Row &row, std::optional<double> alarmPoint);

ReportSummary summarize(const norvale::assistant::Journal::Run &run,
                        const QList<norvale::assistant::Journal::Row> &rows,
                        const QList<norvale::assistant::Journal::Event> &events);

// A row's UTC instant, from its spreadsheet date when the journal lacks it.
qint64 rowUtc(const norvale::assistant::Journal::Row &row);

} // namespace norvale::host
