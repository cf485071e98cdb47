// norvale-reg: look at and repair the registry store from a shell, as one would
// with a registry editor.
#include "platform/registry/RegistryData.h"
#include "platform/registry/RegistryStore.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QTextStream>
#include <cstdio>

using namespace norvale::platform;

namespace
{

QTextStream &out()
{
    static QTextStream s(stdout);
    return s;
}

QTextStream &err()
{
    static QTextStream s(stderr);
    return s;
}

const char *const kUsage = R"(Lists, reads and writes the values of the Norvale registry store.

Commands:
  list   KEY                  the subkeys of KEY
  query  KEY [--recursive]    the values of KEY (and of every key below it)
  read   KEY NAME             one value ("" is the key's default value)
  write  KEY NAME TYPE DATA   write one value, creating KEY when needed
  delete KEY NAME             delete one value
  delete-key KEY [--tree]     delete KEY (with --tree also everything below it)
  where  [ROOT]               the database file that holds ROOT (default HKCU)

KEY is a root and a path, e.g. "HKCU\Software\Norvale\721"; roots are
HKEY_CLASSES_ROOT (HKCR), HKEY_CURRENT_USER (HKCU), HKEY_LOCAL_MACHINE (HKLM),
HKEY_USERS (HKU) and HKEY_CURRENT_CONFIG (HKCC). Names ignore case.

TYPE and DATA:
  REG_SZ, REG_EXPAND_SZ   text
  REG_MULTI_SZ            texts separated by \0, e.g. "one\0two"
  REG_DWORD, REG_DWORD_BIG_ENDIAN
                          a 32-bit number, decimal or 0x hexadecimal
  REG_QWORD               a 64-bit number, decimal or 0x hexadecimal
  REG_BINARY, REG_NONE    hexadecimal bytes, e.g. "01 ff 20" or "01ff20"

The files live in $XDG_CONFIG_HOME/norvale/ (~/.config/norvale/ when unset).
Put -- before arguments that begin with a dash (a negative number).
Exit status: 0 done, 1 the store refused (message on stderr), 2 wrong usage.)";

int fail(Result r, const QString &what)
{
    err() << "norvale-reg: " << what << ": " << resultText(r);
    const QString detail = lastErrorDetail();
    if (r == ERROR_BADDB || r == ERROR_CANTOPEN || r == ERROR_CANTREAD || r == ERROR_CANTWRITE ||
        r == ERROR_BUSY || r == ERROR_ACCESS_DENIED)
        if (!detail.isEmpty())
            err() << " (" << detail << ")";
    if (r == ERROR_BADDB)
        err() << "\nThe file was left as it is; move it aside to start with empty settings.";
    err() << Qt::endl;
    return 1;
}

int usage(const QString &message)
{
    err() << "norvale-reg: " << message << "\nTry 'norvale-reg --help'." << Qt::endl;
    return 2;
}

// A missing key or value, said in the words of the command rather than the
// store's generic "cannot find the file".
int missing(const QString &what)
{
    err() << "norvale-reg: " << what << Qt::endl;
    return 1;
}

int openFailed(Result r, const QString &where)
{
    return r == ERROR_FILE_NOT_FOUND ? missing(QStringLiteral("no key %1").arg(where))
                                     : fail(r, where);
}

int valueFailed(Result r, const QString &where, const QString &name)
{
    return r == ERROR_FILE_NOT_FOUND
               ? missing(QStringLiteral("no value '%1' under %2").arg(name, where))
               : fail(r, where + QStringLiteral(", value '%1'").arg(name));
}

// "HKCUSoftwareNorvale721": an unquoted key whose backslashes the shell took
// away. Names the root it begins with, if any.
QString rootLostBackslashes(const QString &text)
{
    static const char *const roots[] = {"HKEY_CLASSES_ROOT",
                                        "HKEY_CURRENT_USER",
                                        "HKEY_LOCAL_MACHINE",
                                        "HKEY_USERS",
                                        "HKEY_CURRENT_CONFIG",
                                        "HKCR",
                                        "HKCU",
                                        "HKLM",
                                        "HKU",
                                        "HKCC"};
    for (const char *root : roots)
        if (text.size() > qsizetype(qstrlen(root)) &&
            text.startsWith(QLatin1String(root), Qt::CaseInsensitive))
            return QString::fromLatin1(root);
    return {};
}

bool splitKey(const QString &text, Root *root, QString *path)
{
    const qsizetype slash = text.indexOf(QLatin1Char('\\'));
    const QString head = slash < 0 ? text : text.left(slash);
    if (!parseRoot(head, root))
        return false;
    *path = slash < 0 ? QString() : text.mid(slash + 1);
    return true;
}

QString keyText(Root root, const QString &path)
{
    return path.isEmpty() ? rootName(root) : rootName(root) + QLatin1Char('\\') + path;
}

void printValue(const QString &name, uint32_t type, const QByteArray &data)
{
    out() << "    " << (name.isEmpty() ? QStringLiteral("(Default)") : name) << "    "
          << typeName(type) << "    " << dataText(type, data) << Qt::endl;
}

int queryKey(Root root, const QString &path, bool recursive)
{
    Key key;
    Result r = openKey(root, path, KEY_READ, key);
    if (r != ERROR_SUCCESS)
        return openFailed(r, keyText(root, path));
    out() << keyText(root, key.path()) << Qt::endl;
    QString name;
    uint32_t type = 0;
    QByteArray data;
    for (uint32_t i = 0; (r = enumValue(key, i, &name, nullptr, &type, &data)) == ERROR_SUCCESS;
         ++i)
        printValue(name, type, data);
    if (r != ERROR_NO_MORE_ITEMS)
        return fail(r, keyText(root, path));
    out() << Qt::endl;
    QStringList children;
    for (uint32_t i = 0; (r = enumKey(key, i, &name)) == ERROR_SUCCESS; ++i)
        children << name;
    if (r != ERROR_NO_MORE_ITEMS)
        return fail(r, keyText(root, path));
    const QString base = key.path();
    for (const QString &child : children) {
        const QString childPath = base.isEmpty() ? child : base + QLatin1Char('\\') + child;
        if (recursive) {
            const int rc = queryKey(root, childPath, true);
            if (rc != 0)
                return rc;
        } else {
            out() << keyText(root, childPath) << Qt::endl;
        }
    }
    return 0;
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("norvale-reg"));
    QCommandLineParser parser;
    parser.setApplicationDescription(QString::fromUtf8(kUsage));
    parser.addHelpOption();
    parser.addVersionOption();
    parser.addOption({{QStringLiteral("s"), QStringLiteral("recursive")},
                      QStringLiteral("query: also every key below KEY.")});
    parser.addOption(
        {QStringLiteral("tree"), QStringLiteral("delete-key: delete everything below KEY too.")});
    parser.addPositionalArgument(
        QStringLiteral("command"),
        QStringLiteral("list, query, read, write, delete, delete-key or where."));
    parser.addPositionalArgument(QStringLiteral("args"), QStringLiteral("The command's arguments."),
                                 QStringLiteral("[args...]"));
    if (!parser.parse(app.arguments()))
        return usage(parser.errorText());
    if (parser.isSet(QStringLiteral("help"))) {
        out() << parser.helpText();
        return 0;
    }
    if (parser.isSet(QStringLiteral("version"))) {
        out() << "norvale-reg " << NORVALE_VERSION << Qt::endl;
        return 0;
    }
    const QStringList args = parser.positionalArguments();
    if (args.isEmpty())
        return usage(QStringLiteral("no command given"));
    const QString cmd = args.first();
    const QStringList rest = args.mid(1);

    if (cmd == QLatin1String("where")) {
        Root root = HKEY_CURRENT_USER;
        if (rest.size() > 1 || (rest.size() == 1 && !parseRoot(rest.first(), &root)))
            return usage(QStringLiteral("where takes one root key"));
        out() << databasePath(root) << Qt::endl;
        return 0;
    }

    static const QHash<QString, int> arity = {
        {QStringLiteral("list"), 1},   {QStringLiteral("query"), 1},
        {QStringLiteral("read"), 2},   {QStringLiteral("write"), 4},
        {QStringLiteral("delete"), 2}, {QStringLiteral("delete-key"), 1}};
    if (!arity.contains(cmd))
        return usage(QStringLiteral("unknown command '%1'").arg(cmd));
    if (rest.size() != arity.value(cmd))
        return usage(QStringLiteral("%1 takes %2 argument(s)").arg(cmd).arg(arity.value(cmd)));
    Root root = 0;
    QString path;
    if (!splitKey(rest.first(), &root, &path)) {
        const QString lost = rootLostBackslashes(rest.first());
        if (!lost.isEmpty())
            return usage(QStringLiteral("'%1' has no backslash after %2: quote the key, as in "
                                        "'%2\\Software\\Norvale', so that the shell keeps "
                                        "its backslashes")
                             .arg(rest.first(), lost));
        return usage(
            QStringLiteral("'%1' does not begin with a root key such as HKCU").arg(rest.first()));
    }
    const QString where = keyText(root, path);

    if (cmd == QLatin1String("query"))
        return queryKey(root, path, parser.isSet(QStringLiteral("recursive")));

    if (cmd == QLatin1String("list")) {
        Key key;
        Result r = openKey(root, path, KEY_ENUMERATE_SUB_KEYS, key);
        if (r != ERROR_SUCCESS)
            return openFailed(r, where);
        QString name;
        for (uint32_t i = 0; (r = enumKey(key, i, &name)) == ERROR_SUCCESS; ++i)
            out() << name << Qt::endl;
        return r == ERROR_NO_MORE_ITEMS ? 0 : fail(r, where);
    }

    if (cmd == QLatin1String("read")) {
        Key key;
        Result r = openKey(root, path, KEY_QUERY_VALUE, key);
        if (r != ERROR_SUCCESS)
            return openFailed(r, where);
        uint32_t type = 0;
        QByteArray data;
        r = readValue(key, rest[1], &type, &data);
        if (r != ERROR_SUCCESS)
            return valueFailed(r, where, rest[1]);
        printValue(rest[1], type, data);
        return 0;
    }

    if (cmd == QLatin1String("write")) {
        uint32_t type = 0;
        if (!parseType(rest[2], &type))
            return usage(QStringLiteral("unknown type '%1'").arg(rest[2]));
        QByteArray data;
        if (!parseData(type, rest[3], &data))
            return usage(
                QStringLiteral("'%1' is not data of type %2").arg(rest[3], typeName(type)));
        Key key;
        Result r = createKey(root, path, KEY_ALL_ACCESS, key);
        if (r != ERROR_SUCCESS)
            return fail(r, where);
        r = setValue(key, rest[1], type, data);
        return r == ERROR_SUCCESS ? 0
                                  : fail(r, where + QStringLiteral(", value '%1'").arg(rest[1]));
    }

    if (cmd == QLatin1String("delete")) {
        Key key;
        Result r = openKey(root, path, KEY_ALL_ACCESS, key);
        if (r != ERROR_SUCCESS)
            return openFailed(r, where);
        r = deleteValue(key, rest[1]);
        return r == ERROR_SUCCESS ? 0 : valueFailed(r, where, rest[1]);
    }

    // delete-key
    const Result r =
        parser.isSet(QStringLiteral("tree")) ? deleteTree(root, path) : deleteKey(root, path);
    // The store refuses a key with subkeys as access denied; the user needs the reason.
    if (r == ERROR_ACCESS_DENIED && !path.isEmpty() && !parser.isSet(QStringLiteral("tree")))
        return missing(where + QStringLiteral(" has subkeys; use --tree to delete them too."));
    return r == ERROR_SUCCESS ? 0 : openFailed(r, where);
}
