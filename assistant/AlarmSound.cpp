#include "AlarmSound.h"

#include "RegistryStore.h"

#include <QApplication>
#include <QFileInfo>
#include <QLoggingCategory>
#include <QSoundEffect>
#include <QUrl>

Q_LOGGING_CATEGORY(lcSound, "norvale.assistant.sound")

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

DesktopAlarmSound::DesktopAlarmSound() = default;
DesktopAlarmSound::~DesktopAlarmSound() = default;

void DesktopAlarmSound::play(const QString &alias)
{
    if (m_effect && m_effect->isPlaying())
        return;
    const QString file = soundFileOfAlias(alias);
    if (file.isEmpty() || !QFileInfo(file).isReadable()) {
        qCDebug(lcSound).noquote() << "no sound file for" << alias << "; beeping";
        QApplication::beep();
        return;
    }
    if (!m_effect || m_file != file) {
        m_effect = std::make_unique<QSoundEffect>();
        m_effect->setSource(QUrl::fromLocalFile(file));
        m_file = file;
    }
    if (m_effect->status() == QSoundEffect::Error) {
        qCDebug(lcSound).noquote() << "cannot play" << file << "; beeping";
        QApplication::beep();
        return;
    }
    m_effect->play();
}

} // namespace norvale
