#pragma once
// The journal: every reading that the Assistant relays to a host, and every
// record of a log download, is also kept here before the event leaves the
// server, so that a host that crashes loses nothing the meter sent. One
// SQLite file, written ahead (WAL): a row is in the system's hands once
// append() returns, and on the disk once sync() has run, which the Assistant
// does half a second later, away from the instants its events keep (a sync
// can take tens of milliseconds on a busy disk). A run or a download is a
// numbered group of rows, with the details a survey record names (where, by
// whom, with which meter and settings) and the marks of what happened during
// it (acknowledgements, a lost link and its return). Everything downstream
// (reports, publishing) reads from here; an instant that leaves the machine is
// the row's UTC one, the spreadsheet date stays what hosts got on the bus.
#include <QDateTime>
#include <QList>
#include <QPair>
#include <QString>
#include <cstdint>
#include <optional>

struct sqlite3;

namespace norvale::assistant
{

class Journal
{
public:
    enum class Kind { Log, Download };

    // What a survey record says about a run besides its rows. Empty texts and
    // unset numbers are details nobody gave (or a run kept before they were).
    struct RunInfo {
        QString model;      // "720K", "720M"
        QString units;      // "mR/h" or "uSv/h", as the rows carry them
        QString alarmPoint; // as stored, in the rows' units
        std::optional<bool> alarmEnabled;
        std::optional<int> intervalSeconds;
        std::optional<qint64> lengthSeconds; // 0: until stopped
        QString location;
        QString note;
        QString operatorName;
        QString software; // the Assistant's version
        QString timeZone; // IANA name, e.g. "Europe/Berlin"
    };

    struct Run {
        qint64 id = 0;
        Kind kind = Kind::Log;
        double started = 0; // spreadsheet date number, local time
        QString serialNumber;
        qint64 rows = 0;
        std::optional<qint64> startedUtc; // ms since the epoch
        std::optional<qint64> endedUtc;   // unset while the run goes on (or its server died)
        RunInfo info;
    };

    struct Row {
        qint64 seq = 0;   // 1 for the first row of its run
        double stamp = 0; // spreadsheet date number, local time
        double value = 0; // mR/h or uSv/h
        QString unit;
        std::optional<int32_t> alarmColor; // logging runs
        std::optional<double> degreesC;    // downloads
        std::optional<qint64>
            utc; // ms since the epoch; rows kept before it was recorded get it from their stamp
        std::optional<int> alarmState; // enumAlarmState of a logging run's row
        QString rangeLabel;            // the meter's range text of the reading
    };

    // A mark in a run's time line.
    enum class EventKind { AlarmAcknowledged, LinkLost, LinkRestored };
    struct Event {
        qint64 utc = 0; // ms since the epoch
        EventKind kind = EventKind::LinkLost;
        QString detail;
    };

    // The schema this code writes; older files are brought up to it in place
    // when they are opened.
    static constexpr int schemaVersion = 1;

    // $XDG_DATA_HOME/norvale/journal.sqlite (~/.local/share when unset).
    static QString defaultPath();

    // Opens (creating when needed) the journal; check isOpen().
    explicit Journal(const QString &path = defaultPath());
    ~Journal();
    Journal(const Journal &) = delete;
    Journal &operator=(const Journal &) = delete;

    bool isOpen() const { return m_db != nullptr; }
    // Why the last operation failed.
    QString lastError() const { return m_error; }

    // Each returns false (or 0) on failure, with the reason in lastError().
    qint64 beginRun(Kind kind, double started, const QString &serialNumber,
                    const RunInfo &info = {});
    // Marks the run over (a report of it is then no longer "so far").
    bool endRun(qint64 run, qint64 endedUtc);
    // A row without its UTC instant gets the present one.
    bool append(qint64 run, const Row &row);
    bool addEvent(qint64 run, const Event &event);
    // Puts every row appended so far on the disk.
    bool sync();
    // Removes runs that started more than `days` days before `now`.
    bool prune(int days, double now);

    QList<Run> runs();
    std::optional<Run> run(qint64 id);
    QList<Row> rows(qint64 run);
    QList<Event> events(qint64 run);

    // Rows not yet handed on downstream (a broker that has not acknowledged
    // them), oldest first, at most `limit`; and their marks once it has.
    struct RowRef {
        qint64 run = 0;
        qint64 seq = 0;
    };
    QList<QPair<RowRef, Row>> unpublished(int limit);
    bool markPublished(const QList<RowRef> &rows);
    // How many rows wait to be handed on (-1 on failure).
    qint64 unpublishedCount();
    // Marks every row not yet handed on as handed on, without sending it:
    // what is kept while publishing is off stays on this computer.
    bool passOverUnpublished();

private:
    bool exec(const char *sql);
    bool fail(const QString &what);
    bool migrate();
    QList<Row> selectRows(const char *where, qint64 run, int limit, QList<RowRef> *refs = nullptr);

    sqlite3 *m_db = nullptr;
    QString m_error;
};

} // namespace norvale::assistant
