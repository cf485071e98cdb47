#include "platform/registry/RegistrySqlite.h"

#include <QDir>
#include <QFileInfo>

Q_LOGGING_CATEGORY(lcRegistry, "norvale.registry")

namespace norvale::platform
{

namespace
{
// Long enough for another process's settings write, short enough not to hang
// a user interface for good on a stuck lock.
constexpr int BusyTimeoutMs = 5000;

thread_local QString t_lastErrorDetail;
} // namespace

void setDetail(const QString &detail)
{
    t_lastErrorDetail = detail;
}

QString lastErrorDetail()
{
    return t_lastErrorDetail;
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

Result Database::open()
{
    const QFileInfo info(m_path);
    if (!QDir().mkpath(info.absolutePath())) {
        setDetail(QStringLiteral("%1: cannot create the folder").arg(info.absolutePath()));
        qCWarning(lcRegistry).noquote() << lastErrorDetail();
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
    return ERROR_SUCCESS;
}

} // namespace norvale::platform
