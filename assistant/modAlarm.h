#pragma once
// The computer-side alarm: reading by reading, whether the Assistant is in
// alarm, in which of the display's alarm states, and the colour of that state.
// One state per process; the settings and the dialogs read and write it.
#include <QVariant>
#include <cstdint>

namespace norvale::assistant::modAlarm
{

enum enumAlarmState : int32_t {
    StateUnknown = 0,
    AckNormal = 1,
    UnackAlarm = 2,
    AckAlarm = 3,
    UnAckNormal = 4,
};

// OLE colours, 0x00BBGGRR.
inline constexpr int32_t colorBlack = 0x000000;
inline constexpr int32_t colorRed = 0x0000FF;
inline constexpr int32_t colorGreen = 0x00FF00;
inline constexpr int32_t colorYellow = 0x00FFFF;
inline constexpr int32_t colorBlue = 0xFF0000;

// The colours of the four states, read and written directly by their users.
extern int32_t ColorAckNormal;
extern int32_t ColorUnAckAlarm;
extern int32_t ColorAckAlarm;
extern int32_t ColorUnAckNormal;

void AcknowledgeAlarm();
void SetUseAcknowledge(bool value);
bool GetUseAcknowledge();
void SetAlarmEnabled(bool value);
bool GetAlarmEnabled();
// The threshold in mR/h or uSv/h.
// Setting the threshold chooses it (see AlarmPointPending).
void SetAlarmPoint(double value);
double GetAlarmPoint();
// True while no alarm point has been chosen: on first use, with none stored,
// the next Connect takes the meter's own alarm level, and until then no alarm
// point is saved. A stored 0 is a choice like any other.
bool AlarmPointPending();
void SetAlarmPointPending();
void SetPlayAlarmSound(bool value);
bool GetPlayAlarmSound();

// Back to AckNormal with nothing to acknowledge, as at the start of a logging run.
void ResetAlarm();
// The state the flags give now; changes nothing.
enumAlarmState ComputeAlarmState();
enumAlarmState PreviousAlarmState();
// Compares one reading (in the units of the alarm point) and returns the new state.
enumAlarmState EvaluateAlarm(double value);
// The colour of the current state, a variant holding a 32-bit integer.
QVariant CurrentAlarmColor();

// Run-time flags, for the display of the state and for tests.
bool InAlarm();
bool Acknowledged();
enumAlarmState CurrentAlarmState();

} // namespace norvale::assistant::modAlarm
