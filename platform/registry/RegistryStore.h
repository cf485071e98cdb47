#pragma once
// The registry store: a typed, hierarchical store of keys and values with the
// result codes of the desktop registry API. Each root key lives in an SQLite
// database of its own under $XDG_CONFIG_HOME/norvale/ (~/.config/norvale/ when
// unset). Several processes may use a database at once; every write is one
// transaction. A damaged or foreign database is reported as ERROR_BADDB and left
// untouched. Key and value names are matched without regard to case and keep the
// case they were created with.
//
// Texts cross this interface as QString and are stored as UTF-8, which is the
// code page of registry text on this system. Name lengths are counted in bytes
// of that encoding, as the byte-oriented registry API counts them.
#include <QByteArray>
#include <QString>
#include <cstdint>
#include <memory>

namespace norvale::platform
{

using Result = int32_t;

inline constexpr Result ERROR_SUCCESS = 0;
inline constexpr Result ERROR_FILE_NOT_FOUND = 2;
inline constexpr Result ERROR_ACCESS_DENIED = 5;
inline constexpr Result ERROR_INVALID_HANDLE = 6;
inline constexpr Result ERROR_INVALID_DATA = 13;
inline constexpr Result ERROR_INVALID_PARAMETER = 87;
inline constexpr Result ERROR_BUSY = 170;
inline constexpr Result ERROR_MORE_DATA = 234;
inline constexpr Result ERROR_NO_MORE_ITEMS = 259;
inline constexpr Result ERROR_BADDB = 1009;
inline constexpr Result ERROR_CANTOPEN = 1011;
inline constexpr Result ERROR_CANTREAD = 1012;
inline constexpr Result ERROR_CANTWRITE = 1013;
inline constexpr Result ERROR_KEY_DELETED = 1018;

using Root = uint32_t;
inline constexpr Root HKEY_CLASSES_ROOT = 0x80000000u;
inline constexpr Root HKEY_CURRENT_USER = 0x80000001u;
inline constexpr Root HKEY_LOCAL_MACHINE = 0x80000002u;
inline constexpr Root HKEY_USERS = 0x80000003u;
inline constexpr Root HKEY_PERFORMANCE_DATA = 0x80000004u;
inline constexpr Root HKEY_CURRENT_CONFIG = 0x80000005u;
inline constexpr Root HKEY_DYN_DATA = 0x80000006u;

inline constexpr uint32_t REG_NONE = 0;
inline constexpr uint32_t REG_SZ = 1;
inline constexpr uint32_t REG_EXPAND_SZ = 2;
inline constexpr uint32_t REG_BINARY = 3;
inline constexpr uint32_t REG_DWORD = 4;
inline constexpr uint32_t REG_DWORD_BIG_ENDIAN = 5;
inline constexpr uint32_t REG_LINK = 6;
inline constexpr uint32_t REG_MULTI_SZ = 7;
inline constexpr uint32_t REG_QWORD = 11;

inline constexpr uint32_t KEY_QUERY_VALUE = 0x0001;
inline constexpr uint32_t KEY_SET_VALUE = 0x0002;
inline constexpr uint32_t KEY_CREATE_SUB_KEY = 0x0004;
inline constexpr uint32_t KEY_ENUMERATE_SUB_KEYS = 0x0008;
inline constexpr uint32_t KEY_NOTIFY = 0x0010;
inline constexpr uint32_t KEY_CREATE_LINK = 0x0020;
inline constexpr uint32_t KEY_READ = 0x20019;
inline constexpr uint32_t KEY_WRITE = 0x20006;
inline constexpr uint32_t KEY_ALL_ACCESS = 0xF003F;

// Longest key name (one path component) and value name, in bytes.
inline constexpr int MaxKeyNameLength = 255;
inline constexpr int MaxValueNameLength = 16383;

class Database;

// An open key. Closing happens when the last copy goes away or on close().
class Key
{
public:
    Key() = default;
    bool isOpen() const { return m_db != nullptr; }
    void close();
    Root root() const { return m_root; }
    // The path as stored, with the case of each key as it was created.
    const QString &path() const { return m_path; }

private:
    friend struct KeyAccess;
    std::shared_ptr<Database> m_db;
    int64_t m_id = 0;
    uint32_t m_access = 0;
    Root m_root = 0;
    QString m_path;
};

struct KeyInfo {
    uint32_t subKeys = 0;
    uint32_t maxSubKeyLength = 0; // bytes, without a terminating NUL
    uint32_t values = 0;
    uint32_t maxValueNameLength = 0; // bytes, without a terminating NUL
    uint32_t maxValueLength = 0;     // bytes of data
};

// Opens an existing key; subKey "" opens the root itself.
Result openKey(Root root, const QString &subKey, uint32_t access, Key &result);
// Opens a key, creating it and any missing keys above it.
Result createKey(Root root, const QString &subKey, uint32_t access, Key &result,
                 bool *created = nullptr);
// Deletes a key that has no subkeys (a key with subkeys gives ERROR_ACCESS_DENIED).
Result deleteKey(Root root, const QString &subKey);
// Deletes a key with everything below it.
Result deleteTree(Root root, const QString &subKey);

// Queries a value in the manner of the registry API: with data null, only the
// type and the size are returned; with a buffer of *size bytes that is too
// small, ERROR_MORE_DATA and the size needed.
Result queryValue(const Key &key, const QString &valueName, uint32_t *type, char *data,
                  uint32_t *size);
// Reads a whole value.
Result readValue(const Key &key, const QString &valueName, uint32_t *type, QByteArray *data);
// Writes a value; REG_DWORD and REG_DWORD_BIG_ENDIAN take exactly 4 bytes, REG_QWORD 8.
Result setValue(const Key &key, const QString &valueName, uint32_t type, const QByteArray &data);
Result deleteValue(const Key &key, const QString &valueName);

// Subkey number `index` in the order of their names (case ignored);
// ERROR_NO_MORE_ITEMS past the last.
Result enumKey(const Key &key, uint32_t index, QString *name);
// Value number `index` in the order of creation. When nameCapacity is given it
// is the room for the name in bytes including a terminating NUL; a longer name
// gives ERROR_MORE_DATA. On success *nameCapacity is the name's length.
Result enumValue(const Key &key, uint32_t index, QString *name, uint32_t *nameCapacity = nullptr,
                 uint32_t *type = nullptr, QByteArray *data = nullptr);
Result queryInfoKey(const Key &key, KeyInfo *info);

// Closes this thread's idle database connections (open keys keep theirs), for
// instance before a file is copied or replaced.
void releaseConnections();

// The database file that holds a root key.
QString databasePath(Root root);
// "HKEY_CURRENT_USER" and the like; an empty text for an unknown root.
QString rootName(Root root);
// Accepts the long names and the usual abbreviations (HKCU, HKLM, ...), any case.
bool parseRoot(const QString &text, Root *root);
// The registry API's message for a result code.
QString resultText(Result result);
// What went wrong in the last failure of this thread that touched a database
// file (the file and SQLite's own message), or an empty text.
QString lastErrorDetail();

} // namespace norvale::platform
