#pragma once
// The alarm sound on the desktop: the file assigned to the alias, played with
// the audio library; the desktop's beep when there is none or it cannot play.
#include "assistant/AlarmSound.h"

#include <QString>
#include <memory>

class QSoundEffect;

namespace norvale::assistant
{

class DesktopAlarmSound : public AlarmSound
{
public:
    DesktopAlarmSound();
    ~DesktopAlarmSound() override;
    void play(const QString &alias) override;

private:
    std::unique_ptr<QSoundEffect> m_effect;
    QString m_file;
};

} // namespace norvale::assistant
