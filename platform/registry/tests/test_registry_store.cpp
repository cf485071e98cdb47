#include "platform/registry/RegistryStore.h"
#include "platform/registry/tests/RegistryTestSupport.h"

#include <QDir>
#include <QFileInfo>
#include <QProcess>
#include <functional>
#include <sqlite3.h>

using namespace norvale::platform;

namespace
{

class RegistryStore : public FreshConfig
{
protected:
    Key create(const QString &path, Root root = HKEY_CURRENT_USER)
    {
        Key key;
        EXPECT_EQ(createKey(root, path, KEY_ALL_ACCESS, key), ERROR_SUCCESS) << qPrintable(path);
        return key;
    }
    // Every name the enumeration gives, which must end with ERROR_NO_MORE_ITEMS.
    template <typename Enumerate> static QStringList names(Enumerate next)
    {
        QStringList names;
        QString name;
        Result r;
        for (uint32_t i = 0; (r = next(i, &name)) == ERROR_SUCCESS; ++i)
            names << name;
        EXPECT_EQ(r, ERROR_NO_MORE_ITEMS);
        return names;
    }
    QStringList subkeys(const Key &key)
    {
        return names([&](uint32_t i, QString *n) { return enumKey(key, i, n); });
    }
    QStringList valueNames(const Key &key)
    {
        return names([&](uint32_t i, QString *n) { return enumValue(key, i, n); });
    }
};

void set(const Key &key, const QString &name, uint32_t type, const QByteArray &data)
{
    EXPECT_EQ(setValue(key, name, type, data), ERROR_SUCCESS) << qPrintable(name);
}

// What opening or creating `path` under `root` gives, the key left closed.
Result opening(Root root, const QString &path)
{
    Key k;
    return openKey(root, path, KEY_READ, k);
}
Result creating(Root root, const QString &path)
{
    Key k;
    return createKey(root, path, KEY_ALL_ACCESS, k);
}

QByteArray allBytes()
{
    QByteArray b;
    for (int i = 0; i < 256; ++i)
        b.append(char(i));
    return b;
}

} // namespace

TEST_F(RegistryStore, EveryTypeRoundTripsByteForByte)
{
    struct Case {
        const char *legend;
        uint32_t type;
        QByteArray data;
    };
    const Case cases[] = {
        {"text with its NUL", REG_SZ, raw("2.5\0")},
        {"empty text of size 0", REG_SZ, QByteArray()},
        {"text without a NUL", REG_SZ, QByteArray("raw")},
        {"multi-string", REG_MULTI_SZ, raw("one\0two\0\0")},
        {"all 256 byte values", REG_BINARY, allBytes()},
        {"dword", REG_DWORD, raw("\x01\x02\x03\x80")},
        {"big-endian dword", REG_DWORD_BIG_ENDIAN, raw("\x00\x00\x00\x05")},
        {"qword", REG_QWORD, raw("\xff\0\0\0\0\0\0\x7f")},
        {"no type, NULs inside", REG_NONE, raw("\0\0a\0")},
        {"a type the store does not know", 42, QByteArray("xyz")},
    };
    Key key = create(QStringLiteral("Software\\Norvale\\Types"));
    for (const Case &c : cases)
        set(key, QString::fromLatin1(c.legend), c.type, c.data);
    key.close();

    Key again;
    ASSERT_EQ(openKey(HKEY_CURRENT_USER, QStringLiteral("Software\\Norvale\\Types"),
                      KEY_QUERY_VALUE, again),
              ERROR_SUCCESS);
    for (const Case &c : cases) {
        const QString name = QString::fromLatin1(c.legend);
        uint32_t type = 999, size = 0;
        QByteArray data;
        EXPECT_EQ(readValue(again, name, &type, &data), ERROR_SUCCESS) << c.legend;
        EXPECT_EQ(type, c.type) << c.legend;
        EXPECT_EQ(data, c.data) << c.legend;

        // The registry API's buffer protocol: size query, too small, exact.
        EXPECT_EQ(queryValue(again, name, &type, nullptr, &size), ERROR_SUCCESS) << c.legend;
        EXPECT_EQ(size, uint32_t(c.data.size())) << c.legend;
        QByteArray buffer(c.data.size() + 1, '#');
        if (!c.data.isEmpty()) {
            uint32_t small = size - 1;
            EXPECT_EQ(queryValue(again, name, &type, buffer.data(), &small), ERROR_MORE_DATA)
                << c.legend;
            EXPECT_EQ(small, size) << c.legend;
        }
        uint32_t exact = size;
        EXPECT_EQ(queryValue(again, name, &type, buffer.data(), &exact), ERROR_SUCCESS) << c.legend;
        EXPECT_EQ(buffer.left(c.data.size()), c.data) << c.legend;
        EXPECT_EQ(buffer.at(c.data.size()), '#') << c.legend << ": wrote past the value";
    }
}

TEST_F(RegistryStore, RefusesWhatItCannotDoAndSaysWhy)
{
    Key key = create(QStringLiteral("Software\\Checks"));
    Key readOnly;
    ASSERT_EQ(openKey(HKEY_CURRENT_USER, "Software\\Checks", KEY_QUERY_VALUE, readOnly),
              ERROR_SUCCESS);
    const QByteArray x("x\0", 2);
    uint32_t size = 0;
    char byte = 0;
    struct Case {
        const char *legend;
        std::function<Result()> op;
        Result expected;
    };
    const Case cases[] = {
        {"dword of 3 bytes", [&] { return setValue(key, "a", REG_DWORD, "abc"); },
         ERROR_INVALID_PARAMETER},
        {"dword of 5 bytes", [&] { return setValue(key, "a", REG_DWORD_BIG_ENDIAN, "abcde"); },
         ERROR_INVALID_PARAMETER},
        {"qword of 4 bytes", [&] { return setValue(key, "a", REG_QWORD, "abcd"); },
         ERROR_INVALID_PARAMETER},
        {"value name too long",
         [&] { return setValue(key, QString(MaxValueNameLength + 1, 'n'), REG_SZ, x); },
         ERROR_INVALID_PARAMETER},
        {"key name of 256 bytes", [] { return creating(HKEY_CURRENT_USER, QString(256, 'k')); },
         ERROR_INVALID_PARAMETER},
        {"write through a read-only handle", [&] { return setValue(readOnly, "a", REG_SZ, x); },
         ERROR_ACCESS_DENIED},
        {"delete through a read-only handle", [&] { return deleteValue(readOnly, "a"); },
         ERROR_ACCESS_DENIED},
        {"write through a closed handle", [&] { return setValue(Key(), "a", REG_SZ, x); },
         ERROR_INVALID_HANDLE},
        {"open a missing key", [] { return opening(HKEY_CURRENT_USER, "Software\\Nowhere"); },
         ERROR_FILE_NOT_FOUND},
        {"read a missing value", [&] { return readValue(key, "none", nullptr, nullptr); },
         ERROR_FILE_NOT_FOUND},
        {"size of a missing value",
         [&] { return queryValue(key, "none", nullptr, nullptr, &size); }, ERROR_FILE_NOT_FOUND},
        {"delete a missing value", [&] { return deleteValue(key, "none"); }, ERROR_FILE_NOT_FOUND},
        {"delete a missing key", [] { return deleteKey(HKEY_CURRENT_USER, "Software\\Nowhere"); },
         ERROR_FILE_NOT_FOUND},
        {"root 0", [] { return opening(0, "Software"); }, ERROR_INVALID_HANDLE},
        {"root that is no root", [] { return creating(0x12345678, "Software"); },
         ERROR_INVALID_HANDLE},
        {"data buffer without a size",
         [&] { return queryValue(key, "a", nullptr, &byte, nullptr); }, ERROR_INVALID_PARAMETER},
    };
    for (const Case &c : cases)
        EXPECT_EQ(c.op(), c.expected) << c.legend;
    EXPECT_TRUE(valueNames(key).isEmpty()) << "a refused write left a value behind";
}

TEST_F(RegistryStore, NamesMatchWithoutCaseAndKeepTheirCase)
{
    Key key = create(QStringLiteral("Software\\Norvale\\721\\"));
    EXPECT_EQ(key.path(), QStringLiteral("Software\\Norvale\\721"));
    set(key, QStringLiteral("ComPort"), REG_DWORD, raw("\x02\0\0\0"));
    set(key, QStringLiteral("Überprüfung"), REG_SZ, raw("a\0"));

    struct Case {
        const char *legend;
        QString path;
        QString value;
    };
    const Case cases[] = {
        {"as written", QStringLiteral("Software\\Norvale\\721"), QStringLiteral("ComPort")},
        {"upper case, trailing separator", QStringLiteral("SOFTWARE\\NORVALE\\721\\"),
         QStringLiteral("COMPORT")},
        {"lower case, doubled separator", QStringLiteral("software\\\\norvale\\721"),
         QStringLiteral("comport")},
        {"non-ASCII letters", QStringLiteral("Software\\Norvale\\721"),
         QStringLiteral("ÜBERPRÜFUNG")},
    };
    for (const Case &c : cases) {
        Key k;
        ASSERT_EQ(openKey(HKEY_CURRENT_USER, c.path, KEY_READ, k), ERROR_SUCCESS) << c.legend;
        EXPECT_EQ(k.path(), QStringLiteral("Software\\Norvale\\721")) << c.legend;
        EXPECT_EQ(readValue(k, c.value, nullptr, nullptr), ERROR_SUCCESS) << c.legend;
    }

    // Creating with other case opens the same key, and rewriting keeps the first spelling.
    Key same = create(QStringLiteral("SOFTWARE\\norvale\\721\\Sub"));
    EXPECT_EQ(same.path(), QStringLiteral("Software\\Norvale\\721\\Sub"));
    set(key, QStringLiteral("COMPORT"), REG_DWORD, raw("\x03\0\0\0"));
    EXPECT_EQ(valueNames(key), QStringList({"ComPort", "Überprüfung"}));
    QByteArray data;
    ASSERT_EQ(readValue(key, QStringLiteral("comPORT"), nullptr, &data), ERROR_SUCCESS);
    EXPECT_EQ(data, raw("\x03\0\0\0"));
}

TEST_F(RegistryStore, EnumeratesKeysByNameAndValuesInOrderOfCreation)
{
    Key key = create(QStringLiteral("Software\\Enum"));
    for (const char *name : {"beta", "Alpha", "gamma"})
        create(QStringLiteral("Software\\Enum\\") + QLatin1String(name));
    create(QStringLiteral("Software\\Enum\\beta\\deeper")); // not a child of Enum
    EXPECT_EQ(subkeys(key), QStringList({"Alpha", "beta", "gamma"}));

    const QStringList values = {"zeta", "", "Längerer Name", "a"};
    for (const QString &v : values)
        set(key, v, REG_SZ, raw("x\0"));
    EXPECT_EQ(valueNames(key), values);

    KeyInfo info;
    ASSERT_EQ(queryInfoKey(key, &info), ERROR_SUCCESS);
    EXPECT_EQ(info.subKeys, 3u);
    EXPECT_EQ(info.maxSubKeyLength, 5u);
    EXPECT_EQ(info.values, 4u);
    EXPECT_EQ(info.maxValueNameLength, 14u) << "bytes of UTF-8, without the NUL";
    EXPECT_EQ(info.maxValueLength, 2u);

    // The name buffer counts its terminating NUL.
    uint32_t capacity = 14;
    QString name;
    EXPECT_EQ(enumValue(key, 2, &name, &capacity), ERROR_MORE_DATA);
    capacity = 15;
    EXPECT_EQ(enumValue(key, 2, &name, &capacity), ERROR_SUCCESS);
    EXPECT_EQ(capacity, 14u);
    EXPECT_EQ(name, QStringLiteral("Längerer Name"));
    EXPECT_EQ(enumValue(key, 4, &name), ERROR_NO_MORE_ITEMS);
    EXPECT_EQ(enumKey(key, 3, &name), ERROR_NO_MORE_ITEMS);
}

TEST_F(RegistryStore, DeletesKeysAndValues)
{
    Key top = create(QStringLiteral("Software\\Del"));
    Key leaf = create(QStringLiteral("Software\\Del\\Leaf"));
    set(leaf, "v", REG_SZ, raw("1\0"));
    set(top, "w", REG_SZ, raw("2\0"));

    EXPECT_EQ(deleteKey(HKEY_CURRENT_USER, "Software\\Del"), ERROR_ACCESS_DENIED)
        << "a key with subkeys is not deleted";
    EXPECT_EQ(subkeys(top), QStringList({"Leaf"}));
    EXPECT_EQ(deleteKey(HKEY_CURRENT_USER, ""), ERROR_ACCESS_DENIED) << "the root stays";

    EXPECT_EQ(deleteValue(top, "W"), ERROR_SUCCESS);
    EXPECT_TRUE(valueNames(top).isEmpty());

    EXPECT_EQ(deleteKey(HKEY_CURRENT_USER, "software\\del\\LEAF"), ERROR_SUCCESS);
    EXPECT_EQ(readValue(leaf, "v", nullptr, nullptr), ERROR_KEY_DELETED)
        << "a handle to a deleted key must not reach a later key";
    Key reborn = create(QStringLiteral("Software\\Del\\Leaf"));
    EXPECT_TRUE(valueNames(reborn).isEmpty()) << "values of a deleted key came back";

    create(QStringLiteral("Software\\Del\\Leaf\\A\\B"));
    EXPECT_EQ(deleteTree(HKEY_CURRENT_USER, "Software\\Del"), ERROR_SUCCESS);
    EXPECT_EQ(opening(HKEY_CURRENT_USER, "Software\\Del\\Leaf\\A"), ERROR_FILE_NOT_FOUND);
    Key software;
    ASSERT_EQ(openKey(HKEY_CURRENT_USER, "Software", KEY_READ, software), ERROR_SUCCESS);
    EXPECT_TRUE(subkeys(software).isEmpty());
}

TEST_F(RegistryStore, KeepsEachRootInItsOwnFile)
{
    Key user = create(QStringLiteral("Software\\Same"), HKEY_CURRENT_USER);
    Key machine = create(QStringLiteral("Software\\Same"), HKEY_LOCAL_MACHINE);
    set(user, "who", REG_SZ, raw("user\0"));
    EXPECT_EQ(readValue(machine, "who", nullptr, nullptr), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(databasePath(HKEY_CURRENT_USER),
              configDir() + QStringLiteral("/norvale/HKEY_CURRENT_USER.db"));
    EXPECT_TRUE(QFileInfo::exists(databasePath(HKEY_LOCAL_MACHINE)));

    const QByteArray home = qgetenv("HOME");
    qunsetenv("XDG_CONFIG_HOME");
    qputenv("HOME", configDir().toLocal8Bit());
    EXPECT_EQ(databasePath(HKEY_CURRENT_USER),
              configDir() + QStringLiteral("/.config/norvale/HKEY_CURRENT_USER.db"));
    qputenv("HOME", home);
}

TEST_F(RegistryStore, StartsAfreshWhenTheFileIsRemoved)
{
    Key key = create(QStringLiteral("Software\\Gone"));
    key.close();
    const QString path = databasePath(HKEY_CURRENT_USER);
    for (const QString &suffix : {QString(), QStringLiteral("-wal"), QStringLiteral("-shm")})
        QFile::remove(path + suffix);
    EXPECT_EQ(opening(HKEY_CURRENT_USER, "Software\\Gone"), ERROR_FILE_NOT_FOUND);
    create(QStringLiteral("Software\\Back"));
    EXPECT_TRUE(QFileInfo::exists(path)) << "a write after the removal went nowhere";
}

namespace
{

// A real store with enough values to span several pages.
void fillStore()
{
    Key key;
    ASSERT_EQ(createKey(HKEY_CURRENT_USER, "Software\\Fill", KEY_ALL_ACCESS, key), ERROR_SUCCESS);
    for (int i = 0; i < 60; ++i)
        set(key, QStringLiteral("value %1").arg(i), REG_BINARY, QByteArray(300, char(i)));
    key.close();
    releaseConnections();
}

void checkpoint(const QString &path)
{
    sqlite3 *db = nullptr;
    sqlite3_open(QFile::encodeName(path).constData(), &db);
    sqlite3_exec(db, "PRAGMA wal_checkpoint(TRUNCATE); PRAGMA journal_mode=DELETE", nullptr,
                 nullptr, nullptr);
    sqlite3_close(db);
}

} // namespace

TEST_F(RegistryStore, ReportsADamagedFileAndLeavesItAlone)
{
    struct Case {
        const char *legend;
        std::function<QByteArray(const QString &path)> damage; // returns the damaged bytes
    };
    const Case cases[] = {
        {"text that is not a database",
         [](const QString &) { return QByteArray("ComPort=1\nAlarmPoint=2.5\n").repeated(200); }},
        {"a database cut in half",
         [](const QString &path) {
             fillStore();
             checkpoint(path);
             const QByteArray whole = fileBytes(path);
             return whole.left(whole.size() / 2);
         }},
        {"pages overwritten in the middle",
         [](const QString &path) {
             fillStore();
             checkpoint(path);
             QByteArray bytes = fileBytes(path);
             for (qsizetype i = 4096; i < bytes.size() - 4096; i += 4096)
                 bytes.replace(i, 64, QByteArray(64, '\x5a'));
             return bytes;
         }},
        {"another program's database",
         [](const QString &path) {
             sqlite3 *db = nullptr;
             sqlite3_open(QFile::encodeName(path).constData(), &db);
             sqlite3_exec(db, "CREATE TABLE notes(t TEXT); INSERT INTO notes VALUES('mine')",
                          nullptr, nullptr, nullptr);
             sqlite3_close(db);
             return fileBytes(path);
         }},
    };
    int n = 0;
    for (const Case &c : cases) {
        // A folder of its own per case, so that no connection is shared.
        const QString dir = configDir() + QStringLiteral("/case%1").arg(n++);
        qputenv("XDG_CONFIG_HOME", dir.toLocal8Bit());
        const QString path = databasePath(HKEY_CURRENT_USER);
        QDir().mkpath(QFileInfo(path).absolutePath());
        const QByteArray damaged = c.damage(path);
        releaseConnections();
        for (const QString &suffix : {QStringLiteral("-wal"), QStringLiteral("-shm")})
            QFile::remove(path + suffix);
        writeFile(path, damaged);

        Key key;
        EXPECT_EQ(openKey(HKEY_CURRENT_USER, "Software", KEY_READ, key), ERROR_BADDB) << c.legend;
        EXPECT_EQ(createKey(HKEY_CURRENT_USER, "Software\\New", KEY_ALL_ACCESS, key), ERROR_BADDB)
            << c.legend;
        EXPECT_FALSE(key.isOpen()) << c.legend;
        EXPECT_TRUE(lastErrorDetail().contains(path)) << c.legend;
        EXPECT_EQ(fileBytes(path), damaged) << c.legend << ": the damaged file was changed";
    }
}

#ifdef NORVALE_REG_PATH
namespace
{

int runTool(const QStringList &args)
{
    QProcess p;
    p.start(QStringLiteral(NORVALE_REG_PATH), args);
    if (!p.waitForFinished(30000))
        return -1;
    return p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
}

} // namespace

TEST_F(RegistryStore, ASecondProcessWaitsForAWriteInProgress)
{
    Key key = create(QStringLiteral("Software\\Shared"));
    set(key, "mine", REG_SZ, raw("1\0"));

    // Hold the write lock with a connection of our own while the other process writes.
    sqlite3 *holder = nullptr;
    ASSERT_EQ(sqlite3_open(QFile::encodeName(databasePath(HKEY_CURRENT_USER)).constData(), &holder),
              SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(holder, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr), SQLITE_OK);
    QProcess other;
    other.start(QStringLiteral(NORVALE_REG_PATH),
                {"write", "HKCU\\Software\\Shared", "theirs", "REG_DWORD", "7"});
    ASSERT_TRUE(other.waitForStarted());
    other.waitForFinished(300); // still waiting for our lock
    ASSERT_EQ(sqlite3_exec(holder, "COMMIT", nullptr, nullptr, nullptr), SQLITE_OK);
    sqlite3_close(holder);
    ASSERT_TRUE(other.waitForFinished(30000));
    EXPECT_EQ(other.exitCode(), 0) << other.readAllStandardError().toStdString();

    QByteArray data;
    EXPECT_EQ(readValue(key, "theirs", nullptr, &data), ERROR_SUCCESS);
    EXPECT_EQ(data, raw("\x07\0\0\0"));
    EXPECT_EQ(readValue(key, "mine", nullptr, &data), ERROR_SUCCESS);
}

TEST_F(RegistryStore, ProcessesWritingAtOnceLoseNothing)
{
    Key key = create(QStringLiteral("Software\\Busy"));
    std::vector<std::unique_ptr<QProcess>> others;
    for (int p = 0; p < 3; ++p) {
        others.push_back(std::make_unique<QProcess>());
        others.back()->start(QStringLiteral(NORVALE_REG_PATH),
                             {"write", QStringLiteral("HKCU\\Software\\Busy\\P%1").arg(p),
                              QStringLiteral("from %1").arg(p), "REG_SZ", "written"});
    }
    for (int i = 0; i < 40; ++i)
        set(key, QStringLiteral("v%1").arg(i), REG_DWORD,
            QByteArray::fromRawData(reinterpret_cast<const char *>(&i), 4));
    for (auto &p : others) {
        ASSERT_TRUE(p->waitForFinished(30000));
        EXPECT_EQ(p->exitCode(), 0) << p->readAllStandardError().toStdString();
    }
    EXPECT_EQ(subkeys(key), QStringList({"P0", "P1", "P2"}));
    EXPECT_EQ(valueNames(key).size(), 40);
    EXPECT_EQ(runTool({"read", "HKCU\\Software\\Busy\\P1", "FROM 1"}), 0);
}
#endif
