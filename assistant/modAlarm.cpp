#include "assistant/modAlarm.h"

namespace norvale::assistant::modAlarm
{

int32_t ColorAckNormal = 0;
int32_t ColorUnAckAlarm = 0;
int32_t ColorAckAlarm = 0;
int32_t ColorUnAckNormal = 0;

namespace
{
double g_alarmPoint = 0;
bool g_alarmPointPending = false;
bool g_alarmEnabled = false;
bool g_useAcknowledge = false;
bool g_playAlarmSound = false;
bool g_inAlarm = false;
bool g_acknowledged = false;
enumAlarmState g_currentState = StateUnknown;
enumAlarmState g_previousState = StateUnknown;
} // namespace

void AcknowledgeAlarm()
{
    g_acknowledged = true;
}

void SetUseAcknowledge(bool value)
{
    g_useAcknowledge = value;
}

bool GetUseAcknowledge()
{
    return g_useAcknowledge;
}

void SetAlarmEnabled(bool value)
{
    g_alarmEnabled = value;
}

bool GetAlarmEnabled()
{
    return g_alarmEnabled;
}

void SetAlarmPoint(double value)
{
    g_alarmPoint = value;
    g_alarmPointPending = false;
}

bool AlarmPointPending()
{
    return g_alarmPointPending;
}

void SetAlarmPointPending()
{
    g_alarmPointPending = true;
}

double GetAlarmPoint()
{
    return g_alarmPoint;
}

void SetPlayAlarmSound(bool value)
{
    g_playAlarmSound = value;
}

bool GetPlayAlarmSound()
{
    return g_playAlarmSound;
}

void ResetAlarm()
{
    g_inAlarm = false;
    g_acknowledged = true;
    g_currentState = AckNormal;
    g_previousState = AckNormal;
}

enumAlarmState ComputeAlarmState()
{
    if (!g_alarmEnabled)
        return AckNormal;
    if (g_inAlarm)
        return g_acknowledged && g_useAcknowledge ? AckAlarm : UnackAlarm;
    if (g_acknowledged)
        return AckNormal;
    return g_useAcknowledge ? UnAckNormal : AckNormal;
}

enumAlarmState PreviousAlarmState()
{
    return g_previousState;
}

enumAlarmState EvaluateAlarm(double value)
{
    g_previousState = g_currentState;
    // Written so that a reading that is not a number counts as an alarm.
    if (g_alarmPoint > value) {
        g_inAlarm = false;
    } else {
        if (!g_inAlarm)
            g_acknowledged = false; // a new alarm needs a new acknowledgement
        g_inAlarm = true;
    }
    g_currentState = ComputeAlarmState();
    return g_currentState;
}

QVariant CurrentAlarmColor()
{
    if (!g_alarmEnabled)
        return QVariant(ColorAckNormal);
    if (!g_useAcknowledge)
        return QVariant(g_inAlarm ? ColorUnAckAlarm : ColorAckNormal);
    switch (g_currentState) {
    case AckNormal:
        return QVariant(ColorAckNormal);
    case UnackAlarm:
        return QVariant(ColorUnAckAlarm);
    case AckAlarm:
        return QVariant(ColorAckAlarm);
    case UnAckNormal:
        return QVariant(ColorUnAckNormal);
    case StateUnknown:
    default:
        return QVariant(colorBlack);
    }
}

bool InAlarm()
{
    return g_inAlarm;
}

bool Acknowledged()
{
    return g_acknowledged;
}

enumAlarmState CurrentAlarmState()
{
    return g_currentState;
}

} // namespace norvale::assistant::modAlarm
