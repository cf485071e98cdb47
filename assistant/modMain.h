#pragma once
// The Assistant's persistent settings: read from the registry when an
// Assistant is constructed, written back when it is destroyed. In between the
// dialogs change the values in memory only.
#include <QPoint>
#include <QStringList>
#include <cstdint>
#include <optional>

namespace norvale::assistant::modMain
{

// Serial port number given to the instrument object (COM1 is 1).
extern int16_t ComPort;
// Where the virtual instrument window opens; none: the default corner.
extern std::optional<QPoint> DisplayPosition;

// Reads every setting into memory (ComPort here, the alarm settings and
// colours into modAlarm, the interval and run length into modTimer). A
// missing value takes its default; so does a value that cannot be read, and
// the later values are read all the same. Returns the names of the values that
// could not be read (all of them when the store itself is damaged or unreadable).
QStringList LoadSettings();
// Writes every setting back. A value that cannot be written does not keep the
// later ones from being written. Returns the names of the values not written.
QStringList SaveSettings();

// What a logging run goes by: its clock and its alarm. An Assistant made
// while another's run is going reads the store for itself, but these stay the
// run's.
struct RunSettings {
    int32_t intervalSeconds = 0;
    int32_t lengthSeconds = 0;
    double alarmPoint = 0;
    bool alarmPointPending = false;
    bool alarmEnabled = false;
};
RunSettings CurrentRunSettings();
void RestoreRunSettings(const RunSettings &run);

} // namespace norvale::assistant::modMain
