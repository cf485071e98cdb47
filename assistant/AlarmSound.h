#pragma once
// The alarm sound. An application sound alias ("Avo721Alarm") names a sound
// file that the user assigns in the settings store; with no assignment, or
// when the file cannot be played, the desktop's default beep sounds instead.
#include <QString>

namespace norvale::assistant
{

class AlarmSound
{
public:
    virtual ~AlarmSound() = default;
    // Plays the sound of `alias` in the background; a sound still playing is
    // not restarted.
    virtual void play(const QString &alias) = 0;
};

// Where a user assigns the file of an alias, under HKEY_CURRENT_USER: the
// default value of "AppEvents\Schemes\Apps\<app>\<alias>\.Current", the
// program's own app key first, then ".Default".
QString soundFileOfAlias(const QString &alias, const QString &app = QStringLiteral("kest721xl"));

} // namespace norvale::assistant
