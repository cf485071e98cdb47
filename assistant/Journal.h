#pragma once
// The journal: every reading that the Assistant relays to a host, and every
// record of a log download, is also kept here before the event leaves the
// server, so that a host that crashes loses nothing the meter sent. One
// SQLite file, written ahead (WAL): a row is in the system's hands once
// append() returns, and on the disk once sync() has run, which the Assistant
// does half a second later, away from the instants its events keep (a sync
// can take tens of milliseconds on a busy disk). A run or a download is a
// numbered group of rows.
#include <QDateTime>
#include <QList>
#include <QString>
#include <cstdint>
#include <optional>

struct sqlite3;

namespace norvale
{

class Journal
{
public:
    enum class Kind { Log, Download };

    struct Run {
        qint64 id = 0;
        Kind kind = Kind::Log;
        double started = 0; // spreadsheet date number, local time
        QString serialNumber;
        qint64 rows = 0;
    };

    struct Row {
        qint64 seq = 0;  // 1 for the first row of its run
        double stamp = 0; // spreadsheet date number, local time
        double value = 0; // mR/h or uSv/h
        QString unit;
        std::optional<int32_t> alarmColor; // logging runs
        std::optional<double> degreesC;    // downloads
    };

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
    qint64 beginRun(Kind kind, double started, const QString &serialNumber);
    bool append(qint64 run, const Row &row);
    // Puts every row appended so far on the disk.
    bool sync();
    // Removes runs that started more than `days` days before `now`.
    bool prune(int days, double now);

    QList<Run> runs();
    QList<Row> rows(qint64 run);

private:
    bool exec(const char *sql);
    bool fail(const QString &what);

    sqlite3 *m_db = nullptr;
    QString m_error;
};

} // namespace norvale
