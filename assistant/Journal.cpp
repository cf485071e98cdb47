#include "assistant/Journal.h"

#include <QDateTime>
#include <QDir>
#include <QFileInfo>
#include <QStandardPaths>
#include <sqlite3.h>

#include <type_traits>
#include <utility>

namespace norvale::assistant
{

namespace
{
// A statement that is finalised however its scope is left.
class Statement
{
public:
    Statement(sqlite3 *db, const char *sql)
    {
        if (sqlite3_prepare_v2(db, sql, -1, &m_stmt, nullptr) != SQLITE_OK)
            m_stmt = nullptr;
    }
    ~Statement() { sqlite3_finalize(m_stmt); }
    explicit operator bool() const { return m_stmt != nullptr; }
    sqlite3_stmt *get() const { return m_stmt; }

private:
    sqlite3_stmt *m_stmt = nullptr;
};

const char *kindName(Journal::Kind k)
{
    return k == Journal::Kind::Log ? "log" : "download";
}

constexpr std::pair<Journal::EventKind, const char *> eventNames[] = {
    {Journal::EventKind::AlarmAcknowledged, "acknowledged"},
    {Journal::EventKind::LinkLost, "link-lost"},
    {Journal::EventKind::LinkRestored, "link-restored"},
};

const char *eventName(Journal::EventKind k)
{
    for (const auto &[kind, name] : eventNames)
        if (kind == k)
            return name;
    return "unknown";
}

Journal::EventKind eventKind(const QString &name)
{
    for (const auto &[kind, text] : eventNames)
        if (name == QLatin1String(text))
            return kind;
    return Journal::EventKind::LinkLost;
}

// An empty text is stored as NULL unless the column needs a value.
void bindText(sqlite3_stmt *s, int column, const QString &text, bool always = false)
{
    if (text.isEmpty() && !always) {
        sqlite3_bind_null(s, column);
        return;
    }
    const QByteArray utf8 = text.toUtf8();
    sqlite3_bind_text(s, column, utf8.constData(), int(utf8.size()), SQLITE_TRANSIENT);
}
} // namespace

QString Journal::defaultPath()
{
    QString data = qEnvironmentVariable("XDG_DATA_HOME");
    if (data.isEmpty())
        data = QDir::homePath() + QStringLiteral("/.local/share");
    return data + QStringLiteral("/norvale/journal.sqlite");
}

Journal::Journal(const QString &path)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    if (sqlite3_open_v2(path.toUtf8().constData(), &m_db,
                        SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_FULLMUTEX,
                        nullptr) != SQLITE_OK) {
        fail(QStringLiteral("cannot open %1").arg(path));
        sqlite3_close(m_db);
        m_db = nullptr;
        return;
    }
    sqlite3_busy_timeout(m_db, 2000);
    // Written ahead: a committed row survives a crash of any process at once,
    // and a loss of power from the next sync() on.
    const bool ok = exec("PRAGMA journal_mode=WAL") && exec("PRAGMA synchronous=NORMAL") &&
                    migrate() && exec("PRAGMA foreign_keys=ON");
    if (!ok) {
        sqlite3_close(m_db);
        m_db = nullptr;
    }
}

// Brings a file of any earlier schema up to this one, in one transaction, so
// that a file is either as it was or fully migrated.
bool Journal::migrate()
{
    int version = 0;
    {
        Statement s(m_db, "PRAGMA user_version");
        if (s && sqlite3_step(s.get()) == SQLITE_ROW)
            version = sqlite3_column_int(s.get(), 0);
    }
    if (version == schemaVersion)
        return true;
    if (version > schemaVersion)
        return fail(
            QStringLiteral("the journal was written by a newer version (schema %1)").arg(version));
    if (!exec("BEGIN IMMEDIATE"))
        return false;
    // Schema 0: runs and their rows.
    bool ok = exec("CREATE TABLE IF NOT EXISTS runs("
                   " id INTEGER PRIMARY KEY AUTOINCREMENT,"
                   " kind TEXT NOT NULL, started REAL NOT NULL, serial TEXT NOT NULL)") &&
              exec("CREATE TABLE IF NOT EXISTS readings("
                   " run INTEGER NOT NULL REFERENCES runs(id) ON DELETE CASCADE,"
                   " seq INTEGER NOT NULL, stamp REAL NOT NULL, value REAL NOT NULL,"
                   " unit TEXT NOT NULL, alarm_color INTEGER, degrees_c REAL,"
                   " PRIMARY KEY(run, seq)) WITHOUT ROWID");
    // Schema 1: run details, each row's UTC instant, alarm state and range,
    // marks in a run's time line, and what has been handed on downstream.
    if (ok && version < 1) {
        ok = exec("ALTER TABLE runs ADD COLUMN started_utc INTEGER") &&
             exec("ALTER TABLE runs ADD COLUMN ended_utc INTEGER") &&
             exec("ALTER TABLE runs ADD COLUMN model TEXT") &&
             exec("ALTER TABLE runs ADD COLUMN units TEXT") &&
             exec("ALTER TABLE runs ADD COLUMN alarm_point TEXT") &&
             exec("ALTER TABLE runs ADD COLUMN alarm_enabled INTEGER") &&
             exec("ALTER TABLE runs ADD COLUMN interval_s INTEGER") &&
             exec("ALTER TABLE runs ADD COLUMN length_s INTEGER") &&
             exec("ALTER TABLE runs ADD COLUMN location TEXT") &&
             exec("ALTER TABLE runs ADD COLUMN note TEXT") &&
             exec("ALTER TABLE runs ADD COLUMN operator TEXT") &&
             exec("ALTER TABLE runs ADD COLUMN software TEXT") &&
             exec("ALTER TABLE runs ADD COLUMN time_zone TEXT") &&
             exec("ALTER TABLE readings ADD COLUMN utc INTEGER") &&
             exec("ALTER TABLE readings ADD COLUMN alarm_state INTEGER") &&
             exec("ALTER TABLE readings ADD COLUMN range_label TEXT") &&
             exec("ALTER TABLE readings ADD COLUMN published INTEGER NOT NULL DEFAULT 0") &&
             // Rows kept before their UTC instant was recorded take it from
             // their local spreadsheet date, read in this computer's time zone
             // (day 0 is 1899-12-30, Julian day 2415018.5). They predate
             // publishing, so they count as handed on.
             exec("UPDATE readings SET published = 1,"
                  " utc = CAST(ROUND((julianday(stamp + 2415018.5, 'utc') - 2440587.5)"
                  " * 86400000.0) AS INTEGER)") &&
             exec("UPDATE runs SET started_utc = CAST(ROUND((julianday(started + 2415018.5,"
                  " 'utc') - 2440587.5) * 86400000.0) AS INTEGER),"
                  " ended_utc = (SELECT MAX(utc) FROM readings WHERE run = runs.id)") &&
             exec("CREATE TABLE events("
                  " run INTEGER NOT NULL REFERENCES runs(id) ON DELETE CASCADE,"
                  " utc INTEGER NOT NULL, kind TEXT NOT NULL, detail TEXT NOT NULL)") &&
             exec("CREATE INDEX events_of_run ON events(run, utc)") &&
             exec("CREATE INDEX unpublished ON readings(run, seq) WHERE published = 0");
    }
    if (ok) {
        const QByteArray pragma = "PRAGMA user_version = " + QByteArray::number(schemaVersion);
        ok = exec(pragma.constData()) && exec("COMMIT");
    }
    if (!ok) {
        const QString why = m_error;
        exec("ROLLBACK");
        m_error =
            QStringLiteral("cannot bring the journal to schema %1: %2").arg(schemaVersion).arg(why);
    }
    return ok;
}

Journal::~Journal()
{
    sqlite3_close(m_db);
}

bool Journal::fail(const QString &what)
{
    m_error = m_db ? QStringLiteral("%1: %2").arg(what, QString::fromUtf8(sqlite3_errmsg(m_db)))
                   : what;
    return false;
}

bool Journal::exec(const char *sql)
{
    char *message = nullptr;
    if (sqlite3_exec(m_db, sql, nullptr, nullptr, &message) == SQLITE_OK)
        return true;
    m_error = QString::fromUtf8(message ? message : "unknown error");
    sqlite3_free(message);
    return false;
}

qint64 Journal::beginRun(Kind kind, double started, const QString &serialNumber,
                         const RunInfo &info)
{
    if (!m_db)
        return fail(QStringLiteral("the journal is not open")), 0;
    Statement s(m_db, "INSERT INTO runs(kind, started, serial, started_utc, model, units,"
                      " alarm_point, alarm_enabled, interval_s, length_s, location, note,"
                      " operator, software, time_zone)"
                      " VALUES(?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?)");
    if (!s)
        return fail(QStringLiteral("cannot begin a run")), 0;
    sqlite3_bind_text(s.get(), 1, kindName(kind), -1, SQLITE_STATIC);
    sqlite3_bind_double(s.get(), 2, started);
    bindText(s.get(), 3, serialNumber, true);
    sqlite3_bind_int64(s.get(), 4, QDateTime::currentMSecsSinceEpoch());
    bindText(s.get(), 5, info.model);
    bindText(s.get(), 6, info.units);
    bindText(s.get(), 7, info.alarmPoint);
    if (info.alarmEnabled)
        sqlite3_bind_int(s.get(), 8, *info.alarmEnabled ? 1 : 0);
    if (info.intervalSeconds)
        sqlite3_bind_int(s.get(), 9, *info.intervalSeconds);
    if (info.lengthSeconds)
        sqlite3_bind_int64(s.get(), 10, *info.lengthSeconds);
    bindText(s.get(), 11, info.location);
    bindText(s.get(), 12, info.note);
    bindText(s.get(), 13, info.operatorName);
    bindText(s.get(), 14, info.software);
    bindText(s.get(), 15, info.timeZone);
    if (sqlite3_step(s.get()) != SQLITE_DONE)
        return fail(QStringLiteral("cannot begin a run")), 0;
    return sqlite3_last_insert_rowid(m_db);
}

bool Journal::endRun(qint64 run, qint64 endedUtc)
{
    if (!m_db)
        return fail(QStringLiteral("the journal is not open"));
    Statement s(m_db, "UPDATE runs SET ended_utc = ? WHERE id = ?");
    if (!s)
        return fail(QStringLiteral("cannot end a run"));
    sqlite3_bind_int64(s.get(), 1, endedUtc);
    sqlite3_bind_int64(s.get(), 2, run);
    if (sqlite3_step(s.get()) != SQLITE_DONE)
        return fail(QStringLiteral("cannot end a run"));
    return true;
}

bool Journal::addEvent(qint64 run, const Event &event)
{
    if (!m_db)
        return fail(QStringLiteral("the journal is not open"));
    Statement s(m_db, "INSERT INTO events(run, utc, kind, detail) VALUES(?, ?, ?, ?)");
    if (!s)
        return fail(QStringLiteral("cannot add a mark"));
    sqlite3_bind_int64(s.get(), 1, run);
    sqlite3_bind_int64(s.get(), 2, event.utc);
    sqlite3_bind_text(s.get(), 3, eventName(event.kind), -1, SQLITE_STATIC);
    bindText(s.get(), 4, event.detail, true);
    if (sqlite3_step(s.get()) != SQLITE_DONE)
        return fail(QStringLiteral("cannot add a mark"));
    return true;
}

bool Journal::append(qint64 run, const Row &row)
{
    if (!m_db)
        return fail(QStringLiteral("the journal is not open"));
    Statement s(m_db, "INSERT INTO readings(run, seq, stamp, value, unit, alarm_color, degrees_c,"
                      " utc, alarm_state, range_label) VALUES(?, ?, ?, ?, ?, ?, ?, ?, ?, ?)");
    if (!s)
        return fail(QStringLiteral("cannot add a row"));
    const QByteArray unit = row.unit.toUtf8();
    sqlite3_bind_int64(s.get(), 1, run);
    sqlite3_bind_int64(s.get(), 2, row.seq);
    sqlite3_bind_double(s.get(), 3, row.stamp);
    sqlite3_bind_double(s.get(), 4, row.value);
    sqlite3_bind_text(s.get(), 5, unit.constData(), int(unit.size()), SQLITE_TRANSIENT);
    if (row.alarmColor)
        sqlite3_bind_int(s.get(), 6, *row.alarmColor);
    if (row.degreesC)
        sqlite3_bind_double(s.get(), 7, *row.degreesC);
    sqlite3_bind_int64(s.get(), 8, row.utc.value_or(QDateTime::currentMSecsSinceEpoch()));
    if (row.alarmState)
        sqlite3_bind_int(s.get(), 9, *row.alarmState);
    bindText(s.get(), 10, row.rangeLabel);
    if (sqlite3_step(s.get()) != SQLITE_DONE)
        return fail(QStringLiteral("cannot add a row"));
    return true;
}

bool Journal::sync()
{
    if (!m_db)
        return fail(QStringLiteral("the journal is not open"));
    // A checkpoint syncs the log and then the database file.
    if (sqlite3_wal_checkpoint_v2(m_db, nullptr, SQLITE_CHECKPOINT_PASSIVE, nullptr, nullptr) !=
        SQLITE_OK)
        return fail(QStringLiteral("cannot sync"));
    return true;
}

bool Journal::prune(int days, double now)
{
    if (!m_db)
        return fail(QStringLiteral("the journal is not open"));
    Statement s(m_db, "DELETE FROM runs WHERE started < ?");
    if (!s)
        return fail(QStringLiteral("cannot remove old runs"));
    sqlite3_bind_double(s.get(), 1, now - days);
    if (sqlite3_step(s.get()) != SQLITE_DONE)
        return fail(QStringLiteral("cannot remove old runs"));
    return true;
}

namespace
{
QString textAt(sqlite3_stmt *s, int column)
{
    return QString::fromUtf8(reinterpret_cast<const char *>(sqlite3_column_text(s, column)));
}

template <typename T> std::optional<T> optionalAt(sqlite3_stmt *s, int column)
{
    if (sqlite3_column_type(s, column) == SQLITE_NULL)
        return std::nullopt;
    if constexpr (std::is_floating_point_v<T>)
        return sqlite3_column_double(s, column);
    else
        return static_cast<T>(sqlite3_column_int64(s, column));
}

constexpr const char *runColumns =
    "SELECT r.id, r.kind, r.started, r.serial,"
    " (SELECT COUNT(*) FROM readings WHERE run = r.id), r.started_utc, r.ended_utc, r.model,"
    " r.units, r.alarm_point, r.alarm_enabled, r.interval_s, r.length_s, r.location, r.note,"
    " r.operator, r.software, r.time_zone FROM runs r";

Journal::Run runAt(sqlite3_stmt *s)
{
    Journal::Run r;
    r.id = sqlite3_column_int64(s, 0);
    r.kind = textAt(s, 1) == u"download" ? Journal::Kind::Download : Journal::Kind::Log;
    r.started = sqlite3_column_double(s, 2);
    r.serialNumber = textAt(s, 3);
    r.rows = sqlite3_column_int64(s, 4);
    r.startedUtc = optionalAt<qint64>(s, 5);
    r.endedUtc = optionalAt<qint64>(s, 6);
    r.info.model = textAt(s, 7);
    r.info.units = textAt(s, 8);
    r.info.alarmPoint = textAt(s, 9);
    if (const auto enabled = optionalAt<int>(s, 10))
        r.info.alarmEnabled = *enabled != 0;
    r.info.intervalSeconds = optionalAt<int>(s, 11);
    r.info.lengthSeconds = optionalAt<qint64>(s, 12);
    r.info.location = textAt(s, 13);
    r.info.note = textAt(s, 14);
    r.info.operatorName = textAt(s, 15);
    r.info.software = textAt(s, 16);
    r.info.timeZone = textAt(s, 17);
    return r;
}
} // namespace

QList<Journal::Run> Journal::runs()
{
    QList<Run> out;
    if (!m_db)
        return out;
    Statement s(m_db, (QByteArray(runColumns) + " ORDER BY r.id").constData());
    while (s && sqlite3_step(s.get()) == SQLITE_ROW)
        out << runAt(s.get());
    return out;
}

std::optional<Journal::Run> Journal::run(qint64 id)
{
    if (!m_db)
        return std::nullopt;
    Statement s(m_db, (QByteArray(runColumns) + " WHERE r.id = ?").constData());
    if (!s)
        return std::nullopt;
    sqlite3_bind_int64(s.get(), 1, id);
    if (sqlite3_step(s.get()) != SQLITE_ROW)
        return std::nullopt;
    return runAt(s.get());
}

QList<Journal::Row> Journal::selectRows(const char *where, qint64 run, int limit,
                                        QList<RowRef> *refs)
{
    QList<Row> out;
    if (!m_db)
        return out;
    const QByteArray sql = QByteArray("SELECT seq, stamp, value, unit, alarm_color, degrees_c, utc,"
                                      " alarm_state, range_label, run FROM readings WHERE ") +
                           where + " ORDER BY run, seq LIMIT ?";
    Statement s(m_db, sql.constData());
    if (!s)
        return out;
    int next = 1;
    if (run)
        sqlite3_bind_int64(s.get(), next++, run);
    sqlite3_bind_int(s.get(), next, limit);
    while (sqlite3_step(s.get()) == SQLITE_ROW) {
        Row r;
        r.seq = sqlite3_column_int64(s.get(), 0);
        r.stamp = sqlite3_column_double(s.get(), 1);
        r.value = sqlite3_column_double(s.get(), 2);
        r.unit = textAt(s.get(), 3);
        r.alarmColor = optionalAt<int32_t>(s.get(), 4);
        r.degreesC = optionalAt<double>(s.get(), 5);
        r.utc = optionalAt<qint64>(s.get(), 6);
        r.alarmState = optionalAt<int>(s.get(), 7);
        r.rangeLabel = textAt(s.get(), 8);
        if (refs)
            refs->append({sqlite3_column_int64(s.get(), 9), r.seq});
        out << r;
    }
    return out;
}

QList<Journal::Row> Journal::rows(qint64 run)
{
    return selectRows("run = ?", run, -1);
}

QList<Journal::Event> Journal::events(qint64 run)
{
    QList<Event> out;
    if (!m_db)
        return out;
    Statement s(m_db, "SELECT utc, kind, detail FROM events WHERE run = ? ORDER BY utc, rowid");
    if (!s)
        return out;
    sqlite3_bind_int64(s.get(), 1, run);
    while (sqlite3_step(s.get()) == SQLITE_ROW) {
        Event e;
        e.utc = sqlite3_column_int64(s.get(), 0);
        e.kind = eventKind(textAt(s.get(), 1));
        e.detail = textAt(s.get(), 2);
        out << e;
    }
    return out;
}

QList<QPair<Journal::RowRef, Journal::Row>> Journal::unpublished(int limit)
{
    QList<RowRef> refs;
    const QList<Row> rows = selectRows("published = 0", 0, limit, &refs);
    QList<QPair<RowRef, Row>> out;
    out.reserve(rows.size());
    for (qsizetype i = 0; i < rows.size(); ++i)
        out.append({refs.at(i), rows.at(i)});
    return out;
}

bool Journal::markPublished(const QList<RowRef> &rows)
{
    if (!m_db)
        return fail(QStringLiteral("the journal is not open"));
    if (!exec("BEGIN"))
        return false;
    Statement s(m_db, "UPDATE readings SET published = 1 WHERE run = ? AND seq = ?");
    bool ok = bool(s);
    for (const RowRef &r : rows) {
        if (!ok)
            break;
        sqlite3_bind_int64(s.get(), 1, r.run);
        sqlite3_bind_int64(s.get(), 2, r.seq);
        ok = sqlite3_step(s.get()) == SQLITE_DONE;
        sqlite3_reset(s.get());
    }
    if (!ok) {
        fail(QStringLiteral("cannot mark rows as handed on"));
        exec("ROLLBACK");
        return false;
    }
    return exec("COMMIT");
}

qint64 Journal::unpublishedCount()
{
    if (!m_db)
        return -1;
    Statement s(m_db, "SELECT COUNT(*) FROM readings WHERE published = 0");
    if (!s || sqlite3_step(s.get()) != SQLITE_ROW)
        return fail(QStringLiteral("cannot count the rows not handed on")), -1;
    return sqlite3_column_int64(s.get(), 0);
}

bool Journal::passOverUnpublished()
{
    if (!m_db)
        return fail(QStringLiteral("the journal is not open"));
    return exec("UPDATE readings SET published = 1 WHERE published = 0");
}

} // namespace norvale::assistant
