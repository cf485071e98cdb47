#include "host/kest721/ReportSummary.h"

#include "assistant/modAlarm.h"
#include "host/kest721/Rows.h"

#include <algorithm>
#include <numeric>
#include <vector>

using norvale::assistant::Journal;

namespace norvale::host
{

qint64 rowUtc(const Journal::Row &row)
{
    return row.utc ? *row.utc : localTimeOfSpreadsheetDate(row.stamp).toMSecsSinceEpoch();
}

bool inAlarm(const Journal::Row &row, std::optional<double> alarmPoint)
{
    if (row.alarmState)
        return *row.alarmState == norvale::assistant::modAlarm::UnackAlarm ||
               *row.alarmState == norvale::assistant::modAlarm::AckAlarm;
    return alarmPoint && row.value >= *alarmPoint;
}

ReportSummary summarize(const Journal::Run &run, const QList<Journal::Row> &rows,
                        const QList<Journal::Event> &events)
{
    ReportSummary s;
    s.readings = rows.size();
    if (run.info.alarmEnabled.value_or(false)) {
        bool ok = false;
        const double point = run.info.alarmPoint.toDouble(&ok);
        if (ok)
            s.alarmPoint = point;
    }
    const bool log = run.kind == Journal::Kind::Log;
    if (log) {
        // Gaps pair each loss with the next return; a loss that never ended
        // lasts to the end of the run.
        for (const Journal::Event &e : events) {
            if (e.kind == Journal::EventKind::LinkLost &&
                (s.gaps.isEmpty() || s.gaps.last().restoredUtc))
                s.gaps.append({e.utc, std::nullopt});
            else if (e.kind == Journal::EventKind::LinkRestored && !s.gaps.isEmpty() &&
                     !s.gaps.last().restoredUtc)
                s.gaps.last().restoredUtc = e.utc;
        }
    }
    if (rows.isEmpty())
        return s;

    s.firstUtc = rowUtc(rows.first());
    s.lastUtc = rowUtc(rows.last());
    std::vector<double> values;
    values.reserve(size_t(rows.size()));
    for (const Journal::Row &r : rows)
        values.push_back(r.value);
    const auto [lo, hi] = std::minmax_element(values.cbegin(), values.cend());
    s.minimum = *lo;
    s.maximum = *hi;
    s.mean = std::accumulate(values.cbegin(), values.cend(), 0.0) / double(values.size());
    const size_t mid = values.size() / 2;
    std::nth_element(values.begin(), values.begin() + qsizetype(mid), values.end());
    s.median = values[mid];
    if (values.size() % 2 == 0)
        s.median =
            (s.median + *std::max_element(values.cbegin(), values.cbegin() + qsizetype(mid))) / 2;

    if (!log) {
        for (qsizetype i = 1; i < rows.size(); ++i)
            if (rows[i].rangeLabel != rows[i - 1].rangeLabel)
                s.rangeChanges.append({rows[i].seq, rows[i].rangeLabel});
        return s;
    }

    if (s.alarmPoint)
        for (const Journal::Row &r : rows)
            if (r.value >= *s.alarmPoint)
                ++s.readingsAtOrAbove;
    s.secondsAtOrAbove = s.readingsAtOrAbove * run.info.intervalSeconds.value_or(1);

    for (qsizetype i = 0; i < rows.size(); ++i) {
        const bool alarm = inAlarm(rows[i], s.alarmPoint);
        // An episode that has not ended yet is the last one, not ended in the run.
        const bool open = !s.episodes.isEmpty() && !s.episodes.last().endedInRun;
        if (alarm && !open) {
            s.episodes.append({rowUtc(rows[i]), rowUtc(rows[i]), false, rows[i].value, {}});
        } else if (alarm) {
            s.episodes.last().peak = std::max(s.episodes.last().peak, rows[i].value);
            s.episodes.last().endUtc = rowUtc(rows[i]);
        } else if (open) {
            s.episodes.last().endUtc = rowUtc(rows[i]);
            s.episodes.last().endedInRun = true;
        }
    }
    // An acknowledgement belongs to the episode during which it came.
    for (const Journal::Event &e : events) {
        if (e.kind != Journal::EventKind::AlarmAcknowledged)
            continue;
        for (AlarmEpisode &a : s.episodes)
            if (!a.acknowledgedUtc && e.utc >= a.startUtc && e.utc <= a.endUtc) {
                a.acknowledgedUtc = e.utc;
                break;
            }
    }
    return s;
}

} // namespace norvale::host
