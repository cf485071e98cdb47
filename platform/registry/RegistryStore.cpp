#include "platform/registry/RegistrySqlite.h"

#include <QStringList>
#include <map>
#include <optional>

namespace norvale::platform
{

namespace
{

constexpr int FormatVersion = 1;

QString fold(const QString &name)
{
    return name.toCaseFolded();
}

QStringList splitPath(const QString &path)
{
    return path.split(QLatin1Char('\\'), Qt::SkipEmptyParts);
}

// Makes a new file a store, and checks an old one, before anything writes to it.
Result prepareStore(Database &db)
{
    // Check the file before anything writes to it, so that a damaged database
    // is never "repaired" into an empty one.
    {
        Stmt check(db, "PRAGMA quick_check");
        if (!check.ok())
            return db.fail(check.rc(), false, "checking the file");
        QStringList problems;
        while (check.step()) {
            const QString line = check.text(0);
            if (line != QLatin1String("ok"))
                problems << line;
        }
        if (!check.ok())
            return db.fail(check.rc(), false, "checking the file");
        if (!problems.isEmpty()) {
            setDetail(QStringLiteral("%1: damaged (%2)")
                          .arg(db.path(), problems.join(QLatin1String("; "))));
            qCCritical(lcRegistry).noquote()
                << "registry database damaged, left as it is:" << lastErrorDetail();
            return ERROR_BADDB;
        }
    }
    int tables = 0;
    {
        Stmt count(db, "SELECT count(*) FROM sqlite_master");
        if (!count.step())
            return db.fail(count.rc(), false, "reading the schema");
        tables = int(count.int64(0));
    }
    if (tables == 0) {
        int rc = exec(db, "PRAGMA journal_mode=WAL");
        if (rc != SQLITE_OK)
            return db.fail(rc, true, "choosing the journal");
        WriteTransaction tx(db);
        if (tx.begun() != SQLITE_OK)
            return db.fail(tx.begun(), true, "creating the store");
        Stmt again(db, "SELECT count(*) FROM sqlite_master");
        if (!again.step())
            return db.fail(again.rc(), false, "reading the schema");
        // Another process may have created the store while we waited for the lock.
        if (again.int64(0) == 0) {
            rc = exec(db, "CREATE TABLE meta(name TEXT PRIMARY KEY, value TEXT NOT NULL);"
                          "CREATE TABLE keys(id INTEGER PRIMARY KEY AUTOINCREMENT,"
                          " parent INTEGER NOT NULL, name TEXT NOT NULL, fold TEXT NOT NULL,"
                          " UNIQUE(parent, fold));"
                          "CREATE TABLE vals(id INTEGER PRIMARY KEY AUTOINCREMENT,"
                          " key INTEGER NOT NULL, name TEXT NOT NULL, fold TEXT NOT NULL,"
                          " type INTEGER NOT NULL, data BLOB NOT NULL, UNIQUE(key, fold));"
                          "INSERT INTO keys(id, parent, name, fold) VALUES(1, 0, '', '');"
                          "INSERT INTO meta VALUES('format', '1');");
            if (rc != SQLITE_OK)
                return db.fail(rc, true, "creating the store");
        }
        rc = tx.commit();
        if (rc != SQLITE_OK)
            return db.fail(rc, true, "creating the store");
    }
    Stmt format(db, "SELECT value FROM meta WHERE name = 'format'");
    if (!format.step()) {
        if (!format.ok() && (format.rc() & 0xFF) != SQLITE_ERROR)
            return db.fail(format.rc(), false, "reading the format");
        setDetail(QStringLiteral("%1: not a registry database").arg(db.path()));
        qCCritical(lcRegistry).noquote()
            << "registry database damaged, left as it is:" << lastErrorDetail();
        return ERROR_BADDB;
    }
    if (format.text(0).toInt() != FormatVersion) {
        setDetail(QStringLiteral("%1: unknown format %2").arg(db.path(), format.text(0)));
        qCCritical(lcRegistry).noquote() << "registry database not readable:" << lastErrorDetail();
        return ERROR_BADDB;
    }
    return exec(db, "PRAGMA journal_mode=WAL") == SQLITE_OK
               ? ERROR_SUCCESS
               : db.fail(sqlite3_errcode(db.handle()), true, "choosing the journal");
}

} // namespace

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
    Result r = db->open();
    if (r == ERROR_SUCCESS)
        r = prepareStore(*db);
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

namespace
{

// What every change of a value shares: a handle open for setting values, the
// write lock taken, and the key still there under the lock.
class ValueChange
{
public:
    ValueChange(const Key &key, const char *what) : m_what(what)
    {
        if (!key.isOpen()) {
            m_result = ERROR_INVALID_HANDLE;
            return;
        }
        if (!(KeyAccess::access(key) & KEY_SET_VALUE)) {
            m_result = ERROR_ACCESS_DENIED;
            return;
        }
        m_db = KeyAccess::db(key).get();
        m_tx.emplace(*m_db);
        if (m_tx->begun() != SQLITE_OK)
            m_result = m_db->fail(m_tx->begun(), true, what);
        else
            m_result = checkKey(key, KEY_SET_VALUE);
    }
    Result result() const { return m_result; }
    Database &db() { return *m_db; }
    Result fail(int rc) { return m_db->fail(rc, true, m_what); }
    Result commit()
    {
        const int rc = m_tx->commit();
        return rc == SQLITE_OK ? ERROR_SUCCESS : fail(rc);
    }

private:
    const char *m_what;
    Result m_result = ERROR_SUCCESS;
    Database *m_db = nullptr;
    std::optional<WriteTransaction> m_tx;
};

} // namespace

Result setValue(const Key &key, const QString &valueName, uint32_t type, const QByteArray &data)
{
    if (valueName.toUtf8().size() > MaxValueNameLength)
        return ERROR_INVALID_PARAMETER;
    if (((type == REG_DWORD || type == REG_DWORD_BIG_ENDIAN) && data.size() != 4) ||
        (type == REG_QWORD && data.size() != 8))
        return ERROR_INVALID_PARAMETER;
    ValueChange change(key, "writing a value");
    if (change.result() != ERROR_SUCCESS)
        return change.result();
    // The name keeps the case it was first written with, as keys do.
    Stmt up(change.db(),
            "INSERT INTO vals(key, name, fold, type, data) VALUES(?1, ?2, ?3, ?4, ?5) "
            "ON CONFLICT(key, fold) DO UPDATE SET type = excluded.type, data = excluded.data");
    up.bind(1, KeyAccess::id(key)).bind(2, valueName).bind(3, fold(valueName));
    up.bind(4, int64_t(type)).bindBlob(5, data);
    up.step();
    return up.ok() ? change.commit() : change.fail(up.rc());
}

Result deleteValue(const Key &key, const QString &valueName)
{
    ValueChange change(key, "deleting a value");
    if (change.result() != ERROR_SUCCESS)
        return change.result();
    Stmt del(change.db(), "DELETE FROM vals WHERE key = ?1 AND fold = ?2");
    del.bind(1, KeyAccess::id(key)).bind(2, fold(valueName));
    del.step();
    if (!del.ok())
        return change.fail(del.rc());
    if (sqlite3_changes(change.db().handle()) == 0)
        return ERROR_FILE_NOT_FOUND;
    return change.commit();
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

} // namespace norvale::platform
