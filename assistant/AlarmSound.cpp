#include "assistant/AlarmSound.h"

#include "platform/registry/RegistryStore.h"

namespace norvale
{

QString soundFileOfAlias(const QString &alias, const QString &app)
{
    for (const QString &scheme : {app, QStringLiteral(".Default")}) {
        reg::Key key;
        const QString path =
            QStringLiteral("AppEvents\\Schemes\\Apps\\%1\\%2\\.Current").arg(scheme, alias);
        if (reg::openKey(reg::HKEY_CURRENT_USER, path, reg::KEY_QUERY_VALUE, key) !=
            reg::ERROR_SUCCESS)
            continue;
        uint32_t type = 0;
        QByteArray data;
        if (reg::readValue(key, QString(), &type, &data) != reg::ERROR_SUCCESS ||
            (type != reg::REG_SZ && type != reg::REG_EXPAND_SZ))
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

} // namespace norvale
