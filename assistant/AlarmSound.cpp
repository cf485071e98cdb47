#include "assistant/AlarmSound.h"

#include "platform/registry/RegistryStore.h"

namespace norvale::assistant
{

QString soundFileOfAlias(const QString &alias, const QString &app)
{
    for (const QString &scheme : {app, QStringLiteral(".Default")}) {
        platform::Key key;
        const QString path =
            QStringLiteral("AppEvents\\Schemes\\Apps\\%1\\%2\\.Current").arg(scheme, alias);
        if (platform::openKey(platform::HKEY_CURRENT_USER, path, platform::KEY_QUERY_VALUE, key) !=
            platform::ERROR_SUCCESS)
            continue;
        uint32_t type = 0;
        QByteArray data;
        if (platform::readValue(key, QString(), &type, &data) != platform::ERROR_SUCCESS ||
            (type != platform::REG_SZ && type != platform::REG_EXPAND_SZ))
            continue;
        // Stored text may carry its terminating NUL.
        QString file = QString::fromUtf8(data);
        while (file.endsWith(QChar(0)))
            file.chop(1);
        if (!file.isEmpty())
            return file;
    }
    return {};
}

} // namespace norvale::assistant
