#pragma once
// What goes to the broker: topic names and their UTF-8 JSON payloads, each
// with "v": 1 (README.md in this folder is the schema). Pure functions.
#include <QByteArray>
#include <QList>
#include <QDate>
#include <QString>
#include <optional>

namespace norvale::assistant
{

// The meter's states on <prefix>/<serial>/state.
inline constexpr char StateOffline[] = "offline";
inline constexpr char StateConnected[] = "connected";
inline constexpr char StateLogging[] = "logging";
inline constexpr char StateConnectionLost[] = "connection-lost";
inline constexpr char StateDisconnected[] = "disconnected";

struct Message {
    QString topic;
    QByteArray payload;
    int qos = 0;
    bool retain = false;
};

// <prefix>/<serial>/<leaf>; a serial number is cleaned of the characters a
// topic level cannot hold.
QString topic(const QString &prefix, const QString &serial, const char *leaf);

// An instant (ms since the epoch) in ISO 8601 with this computer's UTC offset
// at that instant, to the millisecond.
QString isoTime(qint64 utcMs);

// The name of an enumAlarmState: "unknown", "normal", "alarm", "acknowledged",
// "cleared" (normal again, not yet acknowledged).
QString alarmName(int state);
// True for a state in which the meter's reading is at or over the alarm point.
bool alarmActive(int state);

struct Meta {
    QString serial;
    QString model; // "720K"
    QString units; // "mR/h"
    std::optional<double> alarmPoint;
    bool alarmEnabled = false;
    QString software;
    QDate calibrationDue; // invalid when none is recorded
};

struct Reading {
    QString serial;
    qint64 run = 0;
    qint64 seq = 0;
    qint64 utc = 0;
    double value = 0;
    QString unit;
    QString range;
    int alarmState = 0;
    bool late = false;
};

Message metaMessage(const QString &prefix, const Meta &m);
// Retained; the same payload with "offline" is the connection's last will.
Message stateMessage(const QString &prefix, const QString &serial, const QString &state,
                     std::optional<qint64> utc);
Message readingMessage(const QString &prefix, const Reading &r);
// A change of the alarm state, caused by reading r; acknowledgedUtc is the
// instant of the acknowledgement when r is the first reading after one.
Message alarmMessage(const QString &prefix, const Reading &r, std::optional<qint64> acknowledgedUtc,
                     bool retain);
Message doseMessage(const QString &prefix, const QString &serial, qint64 utc, double dose,
                    double averageRate, const QString &unit);

struct DownloadSummary {
    QString serial;
    qint64 run = 0;
    qint64 utc = 0; // when the download ended
    int records = 0;
    QString unit;
    std::optional<double> firstValue, lastValue, minValue, maxValue;
    QStringList ranges; // in the order first seen
};
Message downloadMessage(const QString &prefix, const DownloadSummary &d, bool late);

// Home Assistant's MQTT discovery: a dose-rate sensor, an alarm binary sensor
// and a connection-state sensor, grouped as one device per meter.
QList<Message> discoveryMessages(const QString &prefix, const Meta &m);

} // namespace norvale::assistant
