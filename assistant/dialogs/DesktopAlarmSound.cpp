#include "assistant/dialogs/DesktopAlarmSound.h"

#include <QApplication>
#include <QFileInfo>
#include <QLoggingCategory>
#include <QSoundEffect>
#include <QUrl>

Q_LOGGING_CATEGORY(lcSound, "norvale.assistant.sound")

namespace norvale::assistant
{

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

} // namespace norvale::assistant
