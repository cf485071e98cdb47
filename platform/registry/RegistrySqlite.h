#pragma once
// The SQLite helpers of the registry store: one connection per database file,
// self-finalizing statements, write transactions, and the mapping of SQLite's
// result codes to the registry's. Internal to the store.
#include "platform/registry/RegistryStore.h"

#include <QFile>
#include <QLoggingCategory>
#include <QString>
#include <sqlite3.h>
#include <sys/stat.h>

Q_DECLARE_LOGGING_CATEGORY(lcRegistry)

namespace norvale::platform
{

// Records the detail of the last failure on this thread (see lastErrorDetail()).
void setDetail(const QString &detail);

Result mapSqlite(int code, bool writing);

// One connection to one root's database file.
class Database
{
public:
    explicit Database(QString path) : m_path(std::move(path)) {}
    ~Database()
    {
        if (m_db)
            sqlite3_close_v2(m_db);
    }
    Database(const Database &) = delete;
    Database &operator=(const Database &) = delete;

    const QString &path() const { return m_path; }
    sqlite3 *handle() const { return m_db; }
    bool sameFile() const
    {
        struct stat st {
        };
        return ::stat(QFile::encodeName(m_path).constData(), &st) == 0 && st.st_dev == m_dev &&
               st.st_ino == m_ino;
    }

    // Opens (creating the file and its folder) with the busy time-out set.
    Result open();
    // Records SQLite's message for `code` and maps it to a result.
    Result fail(int code, bool writing, const char *what)
    {
        const Result r = mapSqlite(code, writing);
        const QString detail = QStringLiteral("%1: %2 (%3)")
                                   .arg(m_path, QString::fromUtf8(what),
                                        m_db ? QString::fromUtf8(sqlite3_errmsg(m_db))
                                             : QString::fromUtf8(sqlite3_errstr(code)));
        setDetail(detail);
        if (r == ERROR_BADDB)
            qCCritical(lcRegistry).noquote()
                << "registry database damaged, left as it is:" << detail;
        else
            qCWarning(lcRegistry).noquote() << "registry database failure:" << detail;
        return r;
    }

private:
    QString m_path;
    sqlite3 *m_db = nullptr;
    dev_t m_dev = 0;
    ino_t m_ino = 0;
};

// A prepared statement that finalizes itself.
class Stmt
{
public:
    Stmt(Database &db, const char *sql) : m_db(db)
    {
        m_rc = sqlite3_prepare_v2(db.handle(), sql, -1, &m_stmt, nullptr);
    }
    ~Stmt() { sqlite3_finalize(m_stmt); }
    Stmt(const Stmt &) = delete;
    Stmt &operator=(const Stmt &) = delete;

    bool ok() const { return m_rc == SQLITE_OK || m_rc == SQLITE_ROW || m_rc == SQLITE_DONE; }
    int rc() const { return m_rc; }
    Stmt &bind(int i, int64_t v)
    {
        if (ok())
            m_rc = sqlite3_bind_int64(m_stmt, i, v);
        return *this;
    }
    Stmt &bind(int i, const QString &s)
    {
        const QByteArray u = s.toUtf8();
        if (ok())
            m_rc = sqlite3_bind_text(m_stmt, i, u.constData(), int(u.size()), SQLITE_TRANSIENT);
        return *this;
    }
    Stmt &bindBlob(int i, const QByteArray &b)
    {
        // An empty blob must not be bound as a null pointer, which SQLite reads as NULL.
        if (ok())
            m_rc = b.isEmpty() ? sqlite3_bind_zeroblob(m_stmt, i, 0)
                               : sqlite3_bind_blob(m_stmt, i, b.constData(), int(b.size()),
                                                   SQLITE_TRANSIENT);
        return *this;
    }
    // True when a row is ready; check ok() after false.
    bool step()
    {
        if (!ok())
            return false;
        m_rc = sqlite3_step(m_stmt);
        return m_rc == SQLITE_ROW;
    }
    int64_t int64(int col) const { return sqlite3_column_int64(m_stmt, col); }
    QString text(int col) const
    {
        return QString::fromUtf8(reinterpret_cast<const char *>(sqlite3_column_text(m_stmt, col)),
                                 sqlite3_column_bytes(m_stmt, col));
    }
    QByteArray blob(int col) const
    {
        const void *p = sqlite3_column_blob(m_stmt, col);
        const int n = sqlite3_column_bytes(m_stmt, col);
        return p ? QByteArray(static_cast<const char *>(p), n) : QByteArray();
    }

private:
    Database &m_db;
    sqlite3_stmt *m_stmt = nullptr;
    int m_rc = SQLITE_OK;
};

inline int exec(Database &db, const char *sql)
{
    return sqlite3_exec(db.handle(), sql, nullptr, nullptr, nullptr);
}

// BEGIN IMMEDIATE ... COMMIT, rolled back unless committed.
class WriteTransaction
{
public:
    explicit WriteTransaction(Database &db) : m_db(db) { m_rc = exec(db, "BEGIN IMMEDIATE"); }
    ~WriteTransaction()
    {
        if (m_rc == SQLITE_OK && !m_done)
            exec(m_db, "ROLLBACK");
    }
    int begun() const { return m_rc; }
    int commit()
    {
        m_done = true;
        const int rc = exec(m_db, "COMMIT");
        if (rc != SQLITE_OK)
            exec(m_db, "ROLLBACK");
        return rc;
    }

private:
    Database &m_db;
    int m_rc;
    bool m_done = false;
};

} // namespace norvale::platform
