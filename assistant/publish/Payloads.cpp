#include "assistant/publish/Payloads.h"

#include <QDateTime>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>

namespace norvale::assistant
{

namespace
{
QByteArray json(QJsonObject o)
{
    o.insert(QStringLiteral("v"), 1);
    return QJsonDocument(o).toJson(QJsonDocument::Compact);
}

QString level(const QString &serial)
{
    QString s = serial.trimmed();
    s.replace(QRegularExpression(QStringLiteral("[/+#\\s]")), QStringLiteral("_"));
    return s.isEmpty() ? QStringLiteral("unknown") : s;
}

void putOptional(QJsonObject &o, const char *name, const std::optional<double> &v)
{
    if (v)
        o.insert(QLatin1String(name), *v);
}

// Home Assistant's identifiers take letters, digits, _ and - only.
QString haId(const QString &serial)
{
    QString s = level(serial);
    s.replace(QRegularExpression(QStringLiteral("[^A-Za-z0-9_-]")), QStringLiteral("_"));
    return QStringLiteral("norvale721_") + s;
}
} // namespace

QString topic(const QString &prefix, const QString &serial, const char *leaf)
{
    return prefix + u'/' + level(serial) + u'/' + QLatin1String(leaf);
}

QString isoTime(qint64 utcMs)
{
    const QDateTime local = QDateTime::fromMSecsSinceEpoch(utcMs);
    QString text = local.toOffsetFromUtc(local.offsetFromUtc()).toString(Qt::ISODateWithMs);
    // Qt writes a zero offset as Z; consumers get the same form everywhere.
    if (text.endsWith(u'Z'))
        text.replace(text.size() - 1, 1, QStringLiteral("+00:00"));
    return text;
}

QString alarmName(int state)
{
    switch (state) {
    case 1:
        return QStringLiteral("normal");
    case 2:
        return QStringLiteral("alarm");
    case 3:
        return QStringLiteral("acknowledged");
    case 4:
        return QStringLiteral("cleared");
    default:
        return QStringLiteral("unknown");
    }
}

bool alarmActive(int state)
{
    return state == 2 || state == 3;
}

Message metaMessage(const QString &prefix, const Meta &m)
{
    QJsonObject o{{QStringLiteral("serial"), m.serial},
                  {QStringLiteral("model"), m.model},
                  {QStringLiteral("unit"), m.units},
                  {QStringLiteral("alarmEnabled"), m.alarmEnabled},
                  {QStringLiteral("software"), m.software}};
    putOptional(o, "alarmPoint", m.alarmPoint);
    o.insert(QStringLiteral("alarmUnit"), m.units);
    // A meter overdue for calibration still publishes; subscribers decide.
    if (m.calibrationDue.isValid())
        o.insert(QStringLiteral("calibrationDue"), m.calibrationDue.toString(Qt::ISODate));
    return {topic(prefix, m.serial, "meta"), json(o), 1, true};
}

Message stateMessage(const QString &prefix, const QString &serial, const QString &state,
                     std::optional<qint64> utc)
{
    QJsonObject o{{QStringLiteral("state"), state}};
    if (utc)
        o.insert(QStringLiteral("time"), isoTime(*utc));
    return {topic(prefix, serial, "state"), json(o), 1, true};
}

Message readingMessage(const QString &prefix, const Reading &r)
{
    const QJsonObject o{{QStringLiteral("time"), isoTime(r.utc)},
                        {QStringLiteral("value"), r.value},
                        {QStringLiteral("unit"), r.unit},
                        {QStringLiteral("range"), r.range},
                        {QStringLiteral("alarm"), alarmName(r.alarmState)},
                        {QStringLiteral("run"), r.run},
                        {QStringLiteral("seq"), r.seq},
                        {QStringLiteral("late"), r.late}};
    return {topic(prefix, r.serial, "reading"), json(o), 1, false};
}

Message alarmMessage(const QString &prefix, const Reading &r, std::optional<qint64> acknowledgedUtc,
                     bool retain)
{
    QJsonObject o{{QStringLiteral("state"), alarmName(r.alarmState)},
                  {QStringLiteral("active"), alarmActive(r.alarmState)},
                  {QStringLiteral("time"), isoTime(r.utc)},
                  {QStringLiteral("value"), r.value},
                  {QStringLiteral("unit"), r.unit},
                  {QStringLiteral("run"), r.run},
                  {QStringLiteral("seq"), r.seq},
                  {QStringLiteral("late"), r.late}};
    if (acknowledgedUtc)
        o.insert(QStringLiteral("acknowledged"), isoTime(*acknowledgedUtc));
    return {topic(prefix, r.serial, "alarm"), json(o), 1, retain};
}

Message doseMessage(const QString &prefix, const QString &serial, qint64 utc, double dose,
                    double averageRate, const QString &unit)
{
    const QJsonObject o{{QStringLiteral("time"), isoTime(utc)},
                        {QStringLiteral("dose"), dose},
                        {QStringLiteral("averageRate"), averageRate},
                        {QStringLiteral("unit"), unit}};
    return {topic(prefix, serial, "dose"), json(o), 1, false};
}

Message downloadMessage(const QString &prefix, const DownloadSummary &d, bool late)
{
    QJsonObject o{{QStringLiteral("time"), isoTime(d.utc)},
                  {QStringLiteral("run"), d.run},
                  {QStringLiteral("records"), d.records},
                  {QStringLiteral("unit"), d.unit},
                  {QStringLiteral("ranges"), QJsonArray::fromStringList(d.ranges)},
                  {QStringLiteral("late"), late}};
    putOptional(o, "first", d.firstValue);
    putOptional(o, "last", d.lastValue);
    putOptional(o, "min", d.minValue);
    putOptional(o, "max", d.maxValue);
    return {topic(prefix, d.serial, "download"), json(o), 1, false};
}

QList<Message> discoveryMessages(const QString &prefix, const Meta &m)
{
    const QString id = haId(m.serial);
    const QJsonObject device{
        {QStringLiteral("identifiers"), QJsonArray{id}},
        {QStringLiteral("name"), QStringLiteral("721 survey meter %1").arg(m.serial)},
        {QStringLiteral("manufacturer"), QStringLiteral("Norvale")},
        {QStringLiteral("model"), m.model.isEmpty() ? QStringLiteral("721") : m.model},
        {QStringLiteral("sw_version"), m.software}};
    const QString stateTopic = topic(prefix, m.serial, "state");
    // The meter is available while its host is online and the meter attached.
    const QJsonObject availability{
        {QStringLiteral("topic"), stateTopic},
        {QStringLiteral("value_template"),
         QStringLiteral("{{ 'online' if value_json.state in ['connected', 'logging'] else "
                        "'offline' }}")}};
    auto config = [&](const char *component, const char *object, QJsonObject o) {
        o.insert(QStringLiteral("unique_id"), id + u'_' + QLatin1String(object));
        o.insert(QStringLiteral("object_id"), id + u'_' + QLatin1String(object));
        o.insert(QStringLiteral("device"), device);
        return Message{QStringLiteral("homeassistant/%1/%2/%3/config")
                           .arg(QLatin1String(component), id, QLatin1String(object)),
                       QJsonDocument(o).toJson(QJsonDocument::Compact), 1, true};
    };
    return {
        // There is no device class for a dose rate: a plain measurement.
        config("sensor", "dose_rate",
               {{QStringLiteral("name"), QStringLiteral("Dose rate")},
                {QStringLiteral("state_topic"), topic(prefix, m.serial, "reading")},
                {QStringLiteral("value_template"), QStringLiteral("{{ value_json.value }}")},
                {QStringLiteral("unit_of_measurement"), m.units},
                {QStringLiteral("state_class"), QStringLiteral("measurement")},
                {QStringLiteral("availability"), QJsonArray{availability}}}),
        config("binary_sensor", "alarm",
               {{QStringLiteral("name"), QStringLiteral("Alarm")},
                {QStringLiteral("state_topic"), topic(prefix, m.serial, "alarm")},
                {QStringLiteral("value_template"),
                 QStringLiteral("{{ 'ON' if value_json.active else 'OFF' }}")},
                {QStringLiteral("device_class"), QStringLiteral("safety")}}),
        config("sensor", "connection",
               {{QStringLiteral("name"), QStringLiteral("Connection")},
                {QStringLiteral("state_topic"), stateTopic},
                {QStringLiteral("value_template"), QStringLiteral("{{ value_json.state }}")},
                {QStringLiteral("icon"), QStringLiteral("mdi:lan-connect")}}),
    };
}

} // namespace norvale::assistant
