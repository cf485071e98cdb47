#include "Journal.h"

#include <QDir>
#include <QFileInfo>
#include <QStandardPaths>
#include <sqlite3.h>

namespace norvale
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
                    exec("CREATE TABLE IF NOT EXISTS runs("
                         " id INTEGER PRIMARY KEY AUTOINCREMENT,"
                         " kind TEXT NOT NULL, started REAL NOT NULL, serial TEXT NOT NULL)") &&
                    exec("CREATE TABLE IF NOT EXISTS readings("
                         " run INTEGER NOT NULL REFERENCES runs(id) ON DELETE CASCADE,"
                         " seq INTEGER NOT NULL, stamp REAL NOT NULL, value REAL NOT NULL,"
                         " unit TEXT NOT NULL, alarm_color INTEGER, degrees_c REAL,"
                         " PRIMARY KEY(run, seq)) WITHOUT ROWID") &&
                    exec("PRAGMA foreign_keys=ON");
    if (!ok) {
        sqlite3_close(m_db);
        m_db = nullptr;
    }
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

qint64 Journal::beginRun(Kind kind, double started, const QString &serialNumber)
{
    if (!m_db)
        return fail(QStringLiteral("the journal is not open")), 0;
    Statement s(m_db, "INSERT INTO runs(kind, started, serial) VALUES(?, ?, ?)");
    if (!s)
        return fail(QStringLiteral("cannot begin a run")), 0;
    const QByteArray serial = serialNumber.toUtf8();
    sqlite3_bind_text(s.get(), 1, kindName(kind), -1, SQLITE_STATIC);
    sqlite3_bind_double(s.get(), 2, started);
    sqlite3_bind_text(s.get(), 3, serial.constData(), int(serial.size()), SQLITE_TRANSIENT);
    if (sqlite3_step(s.get()) != SQLITE_DONE)
        return fail(QStringLiteral("cannot begin a run")), 0;
    return sqlite3_last_insert_rowid(m_db);
}

bool Journal::append(qint64 run, const Row &row)
{
    if (!m_db)
        return fail(QStringLiteral("the journal is not open"));
    Statement s(m_db, "INSERT INTO readings(run, seq, stamp, value, unit, alarm_color, degrees_c)"
                      " VALUES(?, ?, ?, ?, ?, ?, ?)");
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

QList<Journal::Run> Journal::runs()
{
    QList<Run> out;
    if (!m_db)
        return out;
    Statement s(m_db, "SELECT r.id, r.kind, r.started, r.serial,"
                      " (SELECT COUNT(*) FROM readings WHERE run = r.id)"
                      " FROM runs r ORDER BY r.id");
    while (s && sqlite3_step(s.get()) == SQLITE_ROW) {
        Run r;
        r.id = sqlite3_column_int64(s.get(), 0);
        r.kind = qstrcmp(reinterpret_cast<const char *>(sqlite3_column_text(s.get(), 1)),
                         "download") == 0
                     ? Kind::Download
                     : Kind::Log;
        r.started = sqlite3_column_double(s.get(), 2);
        r.serialNumber =
            QString::fromUtf8(reinterpret_cast<const char *>(sqlite3_column_text(s.get(), 3)));
        r.rows = sqlite3_column_int64(s.get(), 4);
        out << r;
    }
    return out;
}

QList<Journal::Row> Journal::rows(qint64 run)
{
    QList<Row> out;
    if (!m_db)
        return out;
    Statement s(m_db, "SELECT seq, stamp, value, unit, alarm_color, degrees_c FROM readings"
                      " WHERE run = ? ORDER BY seq");
    if (!s)
        return out;
    sqlite3_bind_int64(s.get(), 1, run);
    while (sqlite3_step(s.get()) == SQLITE_ROW) {
        Row r;
        r.seq = sqlite3_column_int64(s.get(), 0);
        r.stamp = sqlite3_column_double(s.get(), 1);
        r.value = sqlite3_column_double(s.get(), 2);
        r.unit = QString::fromUtf8(reinterpret_cast<const char *>(sqlite3_column_text(s.get(), 3)));
        if (sqlite3_column_type(s.get(), 4) != SQLITE_NULL)
            r.alarmColor = sqlite3_column_int(s.get(), 4);
        if (sqlite3_column_type(s.get(), 5) != SQLITE_NULL)
            r.degreesC = sqlite3_column_double(s.get(), 5);
        out << r;
    }
    return out;
}

} // namespace norvale
