#include "platform/registry/RegistryStore.h"

#include <QDir>

// Where each root's database lives, the names of the roots and the texts of the results.
namespace norvale::platform
{

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

} // namespace norvale::platform
