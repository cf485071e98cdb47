#include "RegistryStore.h"

#include <QDir>
#include <QFileInfo>
#include <QLoggingCategory>
#include <QStandardPaths>
#include <QStringList>
#include <map>
#include <sqlite3.h>
#include <sys/stat.h>

Q_LOGGING_CATEGORY(lcRegistry, "norvale.registry")

namespace norvale::reg
{

namespace
{

constexpr int FormatVersion = 1;
// Long enough for another process's settings write, short enough not to hang
// a user interface for good on a stuck lock.
constexpr int BusyTimeoutMs = 5000;

thread_local QString t_lastErrorDetail;

void setDetail(const QString &detail)
{
    t_lastErrorDetail = detail;
}

QString fold(const QString &name)
{
    return name.toCaseFolded();
}

QStringList splitPath(const QString &path)
{
    return path.split(QLatin1Char('\\'), Qt::SkipEmptyParts);
}

Result mapSqlite(int code, bool writing)
{
    switch (code & 0xFF) {
    case SQLITE_OK:
    case SQLITE_DONE:
    case SQLITE_ROW:
        return ERROR_SUCCESS;
    case SQLITE_NOTADB:
    case SQLITE_CORRUPT:
    case SQLITE_FORMAT:
        return ERROR_BADDB;
    case SQLITE_BUSY:
    case SQLITE_LOCKED:
        return ERROR_BUSY;
    case SQLITE_CANTOPEN:
        return ERROR_CANTOPEN;
    case SQLITE_READONLY:
    case SQLITE_PERM:
    case SQLITE_AUTH:
        return ERROR_ACCESS_DENIED;
    default:
        return writing ? ERROR_CANTWRITE : ERROR_CANTREAD;
    }
}

} // namespace

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
    Result validate();

    QString m_path;
    sqlite3 *m_db = nullptr;
    dev_t m_dev = 0;
    ino_t m_ino = 0;
};

namespace
{

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

int exec(Database &db, const char *sql)
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

} // namespace

Result Database::open()
{
    const QFileInfo info(m_path);
    if (!QDir().mkpath(info.absolutePath())) {
        setDetail(QStringLiteral("%1: cannot create the folder").arg(info.absolutePath()));
        qCWarning(lcRegistry).noquote() << t_lastErrorDetail;
        return ERROR_CANTOPEN;
    }
    const int rc = sqlite3_open_v2(QFile::encodeName(m_path).constData(), &m_db,
                                   SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr);
    if (rc != SQLITE_OK)
        return fail(rc, false, "open");
    sqlite3_busy_timeout(m_db, BusyTimeoutMs);
    sqlite3_extended_result_codes(m_db, 1);
    struct stat st {
    };
    if (::stat(QFile::encodeName(m_path).constData(), &st) == 0) {
        m_dev = st.st_dev;
        m_ino = st.st_ino;
    }
    return validate();
}

Result Database::validate()
{
    // Check the file before anything writes to it, so that a damaged database
    // is never "repaired" into an empty one.
    {
        Stmt check(*this, "PRAGMA quick_check");
        if (!check.ok())
            return fail(check.rc(), false, "checking the file");
        QStringList problems;
        while (check.step()) {
            const QString line = check.text(0);
            if (line != QLatin1String("ok"))
                problems << line;
        }
        if (!check.ok())
            return fail(check.rc(), false, "checking the file");
        if (!problems.isEmpty()) {
            setDetail(
                QStringLiteral("%1: damaged (%2)").arg(m_path, problems.join(QLatin1String("; "))));
            qCCritical(lcRegistry).noquote()
                << "registry database damaged, left as it is:" << t_lastErrorDetail;
            return ERROR_BADDB;
        }
    }
    int tables = 0;
    {
        Stmt count(*this, "SELECT count(*) FROM sqlite_master");
        if (!count.step())
            return fail(count.rc(), false, "reading the schema");
        tables = int(count.int64(0));
    }
    if (tables == 0) {
        int rc = exec(*this, "PRAGMA journal_mode=WAL");
        if (rc != SQLITE_OK)
            return fail(rc, true, "choosing the journal");
        WriteTransaction tx(*this);
        if (tx.begun() != SQLITE_OK)
            return fail(tx.begun(), true, "creating the store");
        Stmt again(*this, "SELECT count(*) FROM sqlite_master");
        if (!again.step())
            return fail(again.rc(), false, "reading the schema");
        // Another process may have created the store while we waited for the lock.
        if (again.int64(0) == 0) {
            rc = exec(*this, "CREATE TABLE meta(name TEXT PRIMARY KEY, value TEXT NOT NULL);"
                             "CREATE TABLE keys(id INTEGER PRIMARY KEY AUTOINCREMENT,"
                             " parent INTEGER NOT NULL, name TEXT NOT NULL, fold TEXT NOT NULL,"
                             " UNIQUE(parent, fold));"
                             "CREATE TABLE vals(id INTEGER PRIMARY KEY AUTOINCREMENT,"
                             " key INTEGER NOT NULL, name TEXT NOT NULL, fold TEXT NOT NULL,"
                             " type INTEGER NOT NULL, data BLOB NOT NULL, UNIQUE(key, fold));"
                             "INSERT INTO keys(id, parent, name, fold) VALUES(1, 0, '', '');"
                             "INSERT INTO meta VALUES('format', '1');");
            if (rc != SQLITE_OK)
                return fail(rc, true, "creating the store");
        }
        rc = tx.commit();
        if (rc != SQLITE_OK)
            return fail(rc, true, "creating the store");
    }
    Stmt format(*this, "SELECT value FROM meta WHERE name = 'format'");
    if (!format.step()) {
        if (!format.ok() && (format.rc() & 0xFF) != SQLITE_ERROR)
            return fail(format.rc(), false, "reading the format");
        setDetail(QStringLiteral("%1: not a registry database").arg(m_path));
        qCCritical(lcRegistry).noquote()
            << "registry database damaged, left as it is:" << t_lastErrorDetail;
        return ERROR_BADDB;
    }
    if (format.text(0).toInt() != FormatVersion) {
        setDetail(QStringLiteral("%1: unknown format %2").arg(m_path, format.text(0)));
        qCCritical(lcRegistry).noquote() << "registry database not readable:" << t_lastErrorDetail;
        return ERROR_BADDB;
    }
    return exec(*this, "PRAGMA journal_mode=WAL") == SQLITE_OK
               ? ERROR_SUCCESS
               : fail(sqlite3_errcode(m_db), true, "choosing the journal");
}

struct KeyAccess {
    static std::shared_ptr<Database> &db(Key &k) { return k.m_db; }
    static const std::shared_ptr<Database> &db(const Key &k) { return k.m_db; }
    static int64_t id(const Key &k) { return k.m_id; }
    static uint32_t access(const Key &k) { return k.m_access; }
    static void set(Key &k, std::shared_ptr<Database> db, int64_t id, uint32_t access, Root root,
                    QString path)
    {
        k.m_db = std::move(db);
        k.m_id = id;
        k.m_access = access;
        k.m_root = root;
        k.m_path = std::move(path);
    }
};

void Key::close()
{
    m_db.reset();
    m_id = 0;
    m_access = 0;
}

namespace
{

bool knownRoot(Root root)
{
    return root >= HKEY_CLASSES_ROOT && root <= HKEY_DYN_DATA;
}

std::map<QString, std::shared_ptr<Database>> &connections()
{
    thread_local std::map<QString, std::shared_ptr<Database>> cache;
    return cache;
}

// Connections are kept per thread and file; a file that was replaced or removed
// behind our back is opened anew.
Result connect(Root root, std::shared_ptr<Database> &out)
{
    if (!knownRoot(root)) {
        setDetail(QStringLiteral("0x%1 is not a root key").arg(root, 8, 16, QLatin1Char('0')));
        return ERROR_INVALID_HANDLE;
    }
    auto &cache = connections();
    const QString path = databasePath(root);
    auto it = cache.find(path);
    if (it != cache.end() && it->second->sameFile()) {
        out = it->second;
        return ERROR_SUCCESS;
    }
    if (it != cache.end())
        cache.erase(it);
    auto db = std::make_shared<Database>(path);
    const Result r = db->open();
    if (r != ERROR_SUCCESS)
        return r;
    cache.emplace(path, db);
    out = std::move(db);
    return ERROR_SUCCESS;
}

Result checkNames(const QStringList &parts)
{
    for (const QString &p : parts)
        if (p.toUtf8().size() > MaxKeyNameLength)
            return ERROR_INVALID_PARAMETER;
    return ERROR_SUCCESS;
}

// Walks from the root to the key; *missingAt is the first part not found.
Result walk(Database &db, const QStringList &parts, int64_t *id, QString *path, int *missingAt)
{
    int64_t current = 1;
    QStringList names;
    for (int i = 0; i < parts.size(); ++i) {
        Stmt q(db, "SELECT id, name FROM keys WHERE parent = ?1 AND fold = ?2");
        q.bind(1, current).bind(2, fold(parts[i]));
        if (!q.step()) {
            if (!q.ok())
                return db.fail(q.rc(), false, "looking up a key");
            *id = current;
            *path = names.join(QLatin1Char('\\'));
            *missingAt = i;
            return ERROR_FILE_NOT_FOUND;
        }
        current = q.int64(0);
        names << q.text(1);
    }
    *id = current;
    *path = names.join(QLatin1Char('\\'));
    *missingAt = int(parts.size());
    return ERROR_SUCCESS;
}

// The key behind a handle must still exist: another process may have deleted it.
Result checkKey(const Key &key, uint32_t needed)
{
    if (!key.isOpen())
        return ERROR_INVALID_HANDLE;
    if ((KeyAccess::access(key) & needed) != needed)
        return ERROR_ACCESS_DENIED;
    Database &db = *KeyAccess::db(key);
    Stmt q(db, "SELECT 1 FROM keys WHERE id = ?1");
    q.bind(1, KeyAccess::id(key));
    if (q.step())
        return ERROR_SUCCESS;
    return q.ok() ? ERROR_KEY_DELETED : db.fail(q.rc(), false, "opening a key");
}

Result lookupValue(const Key &key, const QString &valueName, uint32_t *type, QByteArray *data)
{
    Result r = checkKey(key, KEY_QUERY_VALUE);
    if (r != ERROR_SUCCESS)
        return r;
    Database &db = *KeyAccess::db(key);
    Stmt q(db, "SELECT type, data FROM vals WHERE key = ?1 AND fold = ?2");
    q.bind(1, KeyAccess::id(key)).bind(2, fold(valueName));
    if (!q.step())
        return q.ok() ? ERROR_FILE_NOT_FOUND : db.fail(q.rc(), false, "reading a value");
    if (type)
        *type = uint32_t(q.int64(0));
    if (data)
        *data = q.blob(1);
    return ERROR_SUCCESS;
}

} // namespace

Result openKey(Root root, const QString &subKey, uint32_t access, Key &result)
{
    result.close();
    const QStringList parts = splitPath(subKey);
    if (checkNames(parts) != ERROR_SUCCESS)
        return ERROR_FILE_NOT_FOUND;
    std::shared_ptr<Database> db;
    Result r = connect(root, db);
    if (r != ERROR_SUCCESS)
        return r;
    int64_t id = 0;
    QString path;
    int missing = 0;
    r = walk(*db, parts, &id, &path, &missing);
    if (r != ERROR_SUCCESS)
        return r;
    KeyAccess::set(result, std::move(db), id, access, root, path);
    return ERROR_SUCCESS;
}

Result createKey(Root root, const QString &subKey, uint32_t access, Key &result, bool *created)
{
    result.close();
    if (created)
        *created = false;
    const QStringList parts = splitPath(subKey);
    if (checkNames(parts) != ERROR_SUCCESS)
        return ERROR_INVALID_PARAMETER;
    std::shared_ptr<Database> db;
    Result r = connect(root, db);
    if (r != ERROR_SUCCESS)
        return r;
    int64_t id = 0;
    QString path;
    int missing = 0;
    r = walk(*db, parts, &id, &path, &missing);
    if (r == ERROR_SUCCESS) {
        KeyAccess::set(result, std::move(db), id, access, root, path);
        return ERROR_SUCCESS;
    }
    if (r != ERROR_FILE_NOT_FOUND)
        return r;
    WriteTransaction tx(*db);
    if (tx.begun() != SQLITE_OK)
        return db->fail(tx.begun(), true, "creating a key");
    // Walk again under the write lock: another process may have created part of it.
    r = walk(*db, parts, &id, &path, &missing);
    if (r != ERROR_SUCCESS && r != ERROR_FILE_NOT_FOUND)
        return r;
    for (int i = missing; i < parts.size(); ++i) {
        Stmt ins(*db, "INSERT INTO keys(parent, name, fold) VALUES(?1, ?2, ?3)");
        ins.bind(1, id).bind(2, parts[i]).bind(3, fold(parts[i]));
        ins.step();
        if (!ins.ok())
            return db->fail(ins.rc(), true, "creating a key");
        id = sqlite3_last_insert_rowid(db->handle());
        path += (path.isEmpty() ? QString() : QStringLiteral("\\")) + parts[i];
    }
    const int rc = tx.commit();
    if (rc != SQLITE_OK)
        return db->fail(rc, true, "creating a key");
    if (created)
        *created = missing < parts.size();
    KeyAccess::set(result, std::move(db), id, access, root, path);
    return ERROR_SUCCESS;
}

namespace
{

Result removeKey(Root root, const QString &subKey, bool tree)
{
    const QStringList parts = splitPath(subKey);
    if (parts.isEmpty())
        return ERROR_ACCESS_DENIED; // a root key cannot be deleted
    if (checkNames(parts) != ERROR_SUCCESS)
        return ERROR_FILE_NOT_FOUND;
    std::shared_ptr<Database> db;
    Result r = connect(root, db);
    if (r != ERROR_SUCCESS)
        return r;
    WriteTransaction tx(*db);
    if (tx.begun() != SQLITE_OK)
        return db->fail(tx.begun(), true, "deleting a key");
    int64_t id = 0;
    QString path;
    int missing = 0;
    r = walk(*db, parts, &id, &path, &missing);
    if (r != ERROR_SUCCESS)
        return r;
    if (!tree) {
        Stmt children(*db, "SELECT 1 FROM keys WHERE parent = ?1 LIMIT 1");
        children.bind(1, id);
        if (children.step())
            return ERROR_ACCESS_DENIED;
        if (!children.ok())
            return db->fail(children.rc(), false, "deleting a key");
    }
    static const char *const sql[] = {
        "WITH RECURSIVE sub(id) AS (SELECT ?1 UNION ALL SELECT k.id FROM keys k JOIN sub ON "
        "k.parent = sub.id) DELETE FROM vals WHERE key IN sub",
        "WITH RECURSIVE sub(id) AS (SELECT ?1 UNION ALL SELECT k.id FROM keys k JOIN sub ON "
        "k.parent = sub.id) DELETE FROM keys WHERE id IN sub",
    };
    for (const char *s : sql) {
        Stmt del(*db, s);
        del.bind(1, id);
        del.step();
        if (!del.ok())
            return db->fail(del.rc(), true, "deleting a key");
    }
    const int rc = tx.commit();
    return rc == SQLITE_OK ? ERROR_SUCCESS : db->fail(rc, true, "deleting a key");
}

} // namespace

Result deleteKey(Root root, const QString &subKey)
{
    return removeKey(root, subKey, false);
}

Result deleteTree(Root root, const QString &subKey)
{
    return removeKey(root, subKey, true);
}

Result queryValue(const Key &key, const QString &valueName, uint32_t *type, char *data,
                  uint32_t *size)
{
    if (data && !size)
        return ERROR_INVALID_PARAMETER;
    QByteArray stored;
    const Result r = lookupValue(key, valueName, type, &stored);
    if (r != ERROR_SUCCESS)
        return r;
    const uint32_t needed = uint32_t(stored.size());
    if (data) {
        if (*size < needed) {
            *size = needed;
            return ERROR_MORE_DATA;
        }
        std::copy(stored.cbegin(), stored.cend(), data);
    }
    if (size)
        *size = needed;
    return ERROR_SUCCESS;
}

Result readValue(const Key &key, const QString &valueName, uint32_t *type, QByteArray *data)
{
    return lookupValue(key, valueName, type, data);
}

Result setValue(const Key &key, const QString &valueName, uint32_t type, const QByteArray &data)
{
    if (valueName.toUtf8().size() > MaxValueNameLength)
        return ERROR_INVALID_PARAMETER;
    if (((type == REG_DWORD || type == REG_DWORD_BIG_ENDIAN) && data.size() != 4) ||
        (type == REG_QWORD && data.size() != 8))
        return ERROR_INVALID_PARAMETER;
    if (!key.isOpen())
        return ERROR_INVALID_HANDLE;
    if (!(KeyAccess::access(key) & KEY_SET_VALUE))
        return ERROR_ACCESS_DENIED;
    Database &db = *KeyAccess::db(key);
    WriteTransaction tx(db);
    if (tx.begun() != SQLITE_OK)
        return db.fail(tx.begun(), true, "writing a value");
    Result r = checkKey(key, KEY_SET_VALUE);
    if (r != ERROR_SUCCESS)
        return r;
    // The name keeps the case it was first written with, as keys do.
    Stmt up(db, "INSERT INTO vals(key, name, fold, type, data) VALUES(?1, ?2, ?3, ?4, ?5) "
                "ON CONFLICT(key, fold) DO UPDATE SET type = excluded.type, data = excluded.data");
    up.bind(1, KeyAccess::id(key)).bind(2, valueName).bind(3, fold(valueName));
    up.bind(4, int64_t(type)).bindBlob(5, data);
    up.step();
    if (!up.ok())
        return db.fail(up.rc(), true, "writing a value");
    const int rc = tx.commit();
    return rc == SQLITE_OK ? ERROR_SUCCESS : db.fail(rc, true, "writing a value");
}

Result deleteValue(const Key &key, const QString &valueName)
{
    if (!key.isOpen())
        return ERROR_INVALID_HANDLE;
    if (!(KeyAccess::access(key) & KEY_SET_VALUE))
        return ERROR_ACCESS_DENIED;
    Database &db = *KeyAccess::db(key);
    WriteTransaction tx(db);
    if (tx.begun() != SQLITE_OK)
        return db.fail(tx.begun(), true, "deleting a value");
    Result r = checkKey(key, KEY_SET_VALUE);
    if (r != ERROR_SUCCESS)
        return r;
    Stmt del(db, "DELETE FROM vals WHERE key = ?1 AND fold = ?2");
    del.bind(1, KeyAccess::id(key)).bind(2, fold(valueName));
    del.step();
    if (!del.ok())
        return db.fail(del.rc(), true, "deleting a value");
    if (sqlite3_changes(db.handle()) == 0)
        return ERROR_FILE_NOT_FOUND;
    const int rc = tx.commit();
    return rc == SQLITE_OK ? ERROR_SUCCESS : db.fail(rc, true, "deleting a value");
}

Result enumKey(const Key &key, uint32_t index, QString *name)
{
    Result r = checkKey(key, KEY_ENUMERATE_SUB_KEYS);
    if (r != ERROR_SUCCESS)
        return r;
    Database &db = *KeyAccess::db(key);
    Stmt q(db, "SELECT name FROM keys WHERE parent = ?1 ORDER BY fold LIMIT 1 OFFSET ?2");
    q.bind(1, KeyAccess::id(key)).bind(2, int64_t(index));
    if (!q.step())
        return q.ok() ? ERROR_NO_MORE_ITEMS : db.fail(q.rc(), false, "listing keys");
    if (name)
        *name = q.text(0);
    return ERROR_SUCCESS;
}

Result enumValue(const Key &key, uint32_t index, QString *name, uint32_t *nameCapacity,
                 uint32_t *type, QByteArray *data)
{
    Result r = checkKey(key, KEY_QUERY_VALUE);
    if (r != ERROR_SUCCESS)
        return r;
    Database &db = *KeyAccess::db(key);
    Stmt q(db, "SELECT name, type, data FROM vals WHERE key = ?1 ORDER BY id LIMIT 1 OFFSET ?2");
    q.bind(1, KeyAccess::id(key)).bind(2, int64_t(index));
    if (!q.step())
        return q.ok() ? ERROR_NO_MORE_ITEMS : db.fail(q.rc(), false, "listing values");
    const QString found = q.text(0);
    const uint32_t length = uint32_t(found.toUtf8().size());
    if (nameCapacity) {
        if (length + 1 > *nameCapacity)
            return ERROR_MORE_DATA;
        *nameCapacity = length;
    }
    if (name)
        *name = found;
    if (type)
        *type = uint32_t(q.int64(1));
    if (data)
        *data = q.blob(2);
    return ERROR_SUCCESS;
}

Result queryInfoKey(const Key &key, KeyInfo *info)
{
    Result r = checkKey(key, 0);
    if (r != ERROR_SUCCESS)
        return r;
    Database &db = *KeyAccess::db(key);
    KeyInfo result;
    {
        Stmt q(db, "SELECT count(*), coalesce(max(length(CAST(name AS BLOB))), 0) FROM keys "
                   "WHERE parent = ?1");
        q.bind(1, KeyAccess::id(key));
        if (!q.step())
            return db.fail(q.rc(), false, "reading key information");
        result.subKeys = uint32_t(q.int64(0));
        result.maxSubKeyLength = uint32_t(q.int64(1));
    }
    {
        Stmt q(db, "SELECT count(*), coalesce(max(length(CAST(name AS BLOB))), 0), "
                   "coalesce(max(length(data)), 0) FROM vals WHERE key = ?1");
        q.bind(1, KeyAccess::id(key));
        if (!q.step())
            return db.fail(q.rc(), false, "reading key information");
        result.values = uint32_t(q.int64(0));
        result.maxValueNameLength = uint32_t(q.int64(1));
        result.maxValueLength = uint32_t(q.int64(2));
    }
    if (info)
        *info = result;
    return ERROR_SUCCESS;
}

void releaseConnections()
{
    connections().clear();
}

QString databasePath(Root root)
{
    QString base = qEnvironmentVariable("XDG_CONFIG_HOME");
    if (base.isEmpty())
        base = QDir::homePath() + QStringLiteral("/.config");
    const QString name = rootName(root);
    return base + QStringLiteral("/norvale/") +
           (name.isEmpty() ? QStringLiteral("0x%1").arg(root, 8, 16, QLatin1Char('0')) : name) +
           QStringLiteral(".db");
}

namespace
{
struct RootName {
    Root root;
    const char *name;
    const char *shortName;
};
constexpr RootName kRoots[] = {
    {HKEY_CLASSES_ROOT, "HKEY_CLASSES_ROOT", "HKCR"},
    {HKEY_CURRENT_USER, "HKEY_CURRENT_USER", "HKCU"},
    {HKEY_LOCAL_MACHINE, "HKEY_LOCAL_MACHINE", "HKLM"},
    {HKEY_USERS, "HKEY_USERS", "HKU"},
    {HKEY_PERFORMANCE_DATA, "HKEY_PERFORMANCE_DATA", "HKPD"},
    {HKEY_CURRENT_CONFIG, "HKEY_CURRENT_CONFIG", "HKCC"},
    {HKEY_DYN_DATA, "HKEY_DYN_DATA", "HKDD"},
};
} // namespace

QString rootName(Root root)
{
    for (const RootName &r : kRoots)
        if (r.root == root)
            return QString::fromLatin1(r.name);
    return {};
}

bool parseRoot(const QString &text, Root *root)
{
    for (const RootName &r : kRoots) {
        if (text.compare(QLatin1String(r.name), Qt::CaseInsensitive) == 0 ||
            text.compare(QLatin1String(r.shortName), Qt::CaseInsensitive) == 0) {
            if (root)
                *root = r.root;
            return true;
        }
    }
    return false;
}

QString resultText(Result result)
{
    switch (result) {
    case ERROR_SUCCESS:
        return QStringLiteral("The operation completed successfully.");
    case ERROR_FILE_NOT_FOUND:
        return QStringLiteral("The system cannot find the file specified.");
    case ERROR_ACCESS_DENIED:
        return QStringLiteral("Access is denied.");
    case ERROR_INVALID_HANDLE:
        return QStringLiteral("The handle is invalid.");
    case ERROR_INVALID_DATA:
        return QStringLiteral("The data is invalid.");
    case ERROR_INVALID_PARAMETER:
        return QStringLiteral("The parameter is incorrect.");
    case ERROR_BUSY:
        return QStringLiteral("The requested resource is in use.");
    case ERROR_MORE_DATA:
        return QStringLiteral("More data is available.");
    case ERROR_NO_MORE_ITEMS:
        return QStringLiteral("No more data is available.");
    case ERROR_BADDB:
        return QStringLiteral("The configuration registry database is corrupt.");
    case ERROR_CANTOPEN:
        return QStringLiteral("The configuration registry key could not be opened.");
    case ERROR_CANTREAD:
        return QStringLiteral("The configuration registry key could not be read.");
    case ERROR_CANTWRITE:
        return QStringLiteral("The configuration registry key could not be written.");
    case ERROR_KEY_DELETED:
        return QStringLiteral(
            "Illegal operation attempted on a registry key that has been marked for deletion.");
    default:
        return QStringLiteral("Error %1.").arg(result);
    }
}

QString lastErrorDetail()
{
    return t_lastErrorDetail;
}

} // namespace norvale::reg
