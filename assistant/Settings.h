#pragma once
// The one home of the Assistant's registry settings: where they live, their
// value names and their defaults. The dose integration's two values share the key.
#include <cstdint>

namespace norvale::assistant::settings
{

inline constexpr int32_t RootKey = int32_t(0x80000001u); // HKEY_CURRENT_USER
inline constexpr char SectionKey[] = "Software\\Norvale\\721\\";

inline constexpr char ComPort[] = "ComPort";
inline constexpr char ColorAckNormal[] = "ColorAckNormal";
inline constexpr char ColorUnAckAlarm[] = "ColorUnAckAlarm";
inline constexpr char ColorAckAlarm[] = "ColorAckAlarm";
inline constexpr char ColorUnAckNormal[] = "ColorUnAckNormal";
inline constexpr char TimerInterval[] = "TimerInterval";
inline constexpr char TimerLength[] = "TimerLength";
inline constexpr char UseAcknowledgeButton[] = "UseAcknowledgeButton";
inline constexpr char AlarmPoint[] = "AlarmPoint";
inline constexpr char AlarmEnabled[] = "AlarmEnabled";
inline constexpr char PlayAlarmSound[] = "PlayAlarmSound";
inline constexpr char UseIntegrateTimer[] = "UseIntegrateTimer";
inline constexpr char IntegrateTime[] = "IntegrateTime";
// Where the virtual instrument window was last left: "x,y" of its frame's
// top-left corner on the desktop; empty for the top-right corner of the screen.
inline constexpr char DisplayPosition[] = "DisplayPosition";
// A meter's calibration, one key per serial number under CalibrationKey:
// the date it is due again (REG_SZ, YYYY-MM-DD) and its certificate.
inline constexpr char CalibrationKey[] = "Software\\Norvale\\721\\Calibration\\";
inline constexpr char CalibrationDue[] = "Due";
inline constexpr char CalibrationCertificate[] = "Certificate";
// How long the journal keeps a run, in days.
inline constexpr char JournalRetentionDays[] = "JournalRetentionDays";

inline constexpr int16_t DefaultComPort = 1;
inline constexpr int32_t DefaultColorAckNormal = 0x000000;   // black
inline constexpr int32_t DefaultColorUnAckAlarm = 0x0000FF;  // red
inline constexpr int32_t DefaultColorAckAlarm = 0x00FFFF;    // yellow
inline constexpr int32_t DefaultColorUnAckNormal = 0xFF0000; // blue
inline constexpr int16_t DefaultTimerInterval = 1;           // seconds
inline constexpr int16_t DefaultTimerLength = 60;            // seconds
// The clock keeps milliseconds in 32 bits: a run lasts about 24.8 days at most.
inline constexpr int32_t LongestTimerLength = INT32_MAX / 1000; // seconds
inline constexpr int16_t DefaultUseAcknowledgeButton = 1;
inline constexpr char DefaultAlarmPoint[] = "0"; // mR/h or uSv/h, as text
inline constexpr int16_t DefaultAlarmEnabled = 1;
inline constexpr int16_t DefaultPlayAlarmSound = 1;
inline constexpr int16_t DefaultUseIntegrateTimer = 1;
inline constexpr int32_t DefaultIntegrateTime = 60; // seconds
inline constexpr int32_t DefaultJournalRetentionDays = 90;
inline constexpr char DefaultDisplayPosition[] = "";

} // namespace norvale::assistant::settings
