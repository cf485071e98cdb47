#include "assistant/modMain.h"

#include "assistant/RuntimeError.h"
#include "assistant/Settings.h"
#include "assistant/cRegistry.h"
#include "assistant/modAlarm.h"
#include "assistant/modCalc.h"
#include "assistant/modTimer.h"

#include <QLocale>
#include <QLoggingCategory>
#include <cmath>
#include <cstring>
#include <functional>

Q_LOGGING_CATEGORY(lcSettings, "norvale.modMain")

namespace norvale::assistant::modMain
{

int16_t ComPort = 0;
std::optional<QPoint> DisplayPosition;

namespace
{

double toNumber(const QVariant &v)
{
    switch (v.typeId()) {
    case QMetaType::Short:
    case QMetaType::Int:
    case QMetaType::LongLong:
    case QMetaType::Double:
        return v.toDouble();
    case QMetaType::QString: {
        double d = 0;
        if (modCalc::LocaleToDouble(v.toString().trimmed(), &d))
            return d;
        break;
    }
    default:
        break;
    }
    raiseRuntimeError(errTypeMismatch);
}

// Whole numbers round half to even, as the settings have always been read.
int64_t toWhole(const QVariant &v, int64_t min, int64_t max)
{
    const double d = std::nearbyint(toNumber(v));
    if (!std::isfinite(d) || d < double(min) || d > double(max))
        raiseRuntimeError(errOverflow);
    return int64_t(d);
}

int16_t toInteger(const QVariant &v)
{
    return int16_t(toWhole(v, INT16_MIN, INT16_MAX));
}

int32_t toLong(const QVariant &v)
{
    return int32_t(toWhole(v, INT32_MIN, INT32_MAX));
}

// A switch is stored as 0 (off) or 1 (on); any other number has no meaning.
bool toSwitch(const QVariant &v)
{
    const int32_t n = toLong(v);
    if (n != 0 && n != 1)
        raiseRuntimeError(errTypeMismatch);
    return n == 1;
}

double toAlarmPoint(const QVariant &v)
{
    double d = 0;
    if (v.typeId() == QMetaType::QString) {
        const QString text = v.toString().trimmed();
        // Saved texts carry no group separators. A text saved under another
        // locale is read with the C locale's point rather than lost.
        QLocale user;
        user.setNumberOptions(QLocale::RejectGroupSeparator);
        bool ok = false;
        d = user.toDouble(text, &ok);
        if (!ok)
            d = QLocale::c().toDouble(text, &ok);
        if (!ok)
            raiseRuntimeError(errTypeMismatch);
    } else {
        d = toNumber(v);
    }
    // An infinite threshold would never alarm and "not a number" always would.
    if (!std::isfinite(d))
        raiseRuntimeError(errOverflow);
    return d;
}

// Whether the store holds the value at all; a store that cannot be read
// counts as holding it, so that nothing is decided on a guess.
bool stored(const char *name)
{
    platform::Key key;
    const platform::Result opened = platform::openKey(platform::Root(settings::RootKey),
                                                      QString::fromLatin1(settings::SectionKey),
                                                      platform::KEY_QUERY_VALUE, key);
    if (opened == platform::ERROR_FILE_NOT_FOUND)
        return false;
    if (opened != platform::ERROR_SUCCESS)
        return true;
    uint32_t type = 0;
    QByteArray data;
    const platform::Result read = platform::readValue(key, QString::fromLatin1(name), &type, &data);
    key.close();
    return read != platform::ERROR_FILE_NOT_FOUND;
}

std::optional<QPoint> toPosition(const QVariant &v)
{
    const QString text = v.toString().trimmed();
    if (text.isEmpty())
        return std::nullopt;
    const QStringList xy = text.split(QLatin1Char(','));
    bool okX = false;
    bool okY = false;
    const int x = xy.value(0).trimmed().toInt(&okX);
    const int y = xy.value(1).trimmed().toInt(&okY);
    if (xy.size() != 2 || !okX || !okY)
        raiseRuntimeError(errTypeMismatch);
    return QPoint(x, y);
}

QVariant positionText(const std::optional<QPoint> &p)
{
    return p ? QStringLiteral("%1,%2").arg(p->x()).arg(p->y()) : QString();
}

QVariant integer(int16_t v)
{
    return QVariant::fromValue<int16_t>(v);
}

QVariant switchValue(bool on)
{
    return QVariant(int32_t(on ? 1 : 0));
}

// One setting: its value name, its default, how it is stored, and where it
// goes in memory when loaded and comes from when saved.
struct Item {
    const char *name;
    QVariant fallback;
    int32_t type;
    std::function<void(const QVariant &)> load;
    std::function<QVariant()> save;
};

const std::vector<Item> &items()
{
    using namespace settings;
    constexpr int32_t dword = cRegistry::REG_DWORD;
    static const std::vector<Item> table = {
        {settings::ComPort, integer(DefaultComPort), dword,
         [](const QVariant &v) { modMain::ComPort = toInteger(v); },
         [] { return integer(modMain::ComPort); }},
        {settings::ColorAckNormal, QVariant(DefaultColorAckNormal), dword,
         [](const QVariant &v) { modAlarm::ColorAckNormal = toLong(v); },
         [] { return QVariant(modAlarm::ColorAckNormal); }},
        {settings::ColorUnAckAlarm, QVariant(DefaultColorUnAckAlarm), dword,
         [](const QVariant &v) { modAlarm::ColorUnAckAlarm = toLong(v); },
         [] { return QVariant(modAlarm::ColorUnAckAlarm); }},
        {settings::ColorAckAlarm, QVariant(DefaultColorAckAlarm), dword,
         [](const QVariant &v) { modAlarm::ColorAckAlarm = toLong(v); },
         [] { return QVariant(modAlarm::ColorAckAlarm); }},
        {settings::ColorUnAckNormal, QVariant(DefaultColorUnAckNormal), dword,
         [](const QVariant &v) { modAlarm::ColorUnAckNormal = toLong(v); },
         [] { return QVariant(modAlarm::ColorUnAckNormal); }},
        {settings::TimerInterval, integer(DefaultTimerInterval), dword,
         [](const QVariant &v) { modTimer::SetTimerInterval(toLong(v)); },
         [] { return QVariant(modTimer::GetTimerInterval()); }},
        {settings::TimerLength, integer(DefaultTimerLength), dword,
         [](const QVariant &v) { modTimer::SetTimerDuration(toLong(v)); },
         [] { return QVariant(modTimer::GetTimerDuration()); }},
        {settings::UseAcknowledgeButton, integer(DefaultUseAcknowledgeButton), dword,
         [](const QVariant &v) { modAlarm::SetUseAcknowledge(toSwitch(v)); },
         [] { return switchValue(modAlarm::GetUseAcknowledge()); }},
        {settings::AlarmPoint, QVariant(QString::fromLatin1(DefaultAlarmPoint)), cRegistry::REG_SZ,
         [](const QVariant &v) { modAlarm::SetAlarmPoint(toAlarmPoint(v)); },
         [] { return QVariant(modCalc::NumberText(modAlarm::GetAlarmPoint())); }},
        {settings::AlarmEnabled, integer(DefaultAlarmEnabled), dword,
         [](const QVariant &v) { modAlarm::SetAlarmEnabled(toSwitch(v)); },
         [] { return switchValue(modAlarm::GetAlarmEnabled()); }},
        {settings::PlayAlarmSound, integer(DefaultPlayAlarmSound), dword,
         [](const QVariant &v) { modAlarm::SetPlayAlarmSound(toSwitch(v)); },
         [] { return switchValue(modAlarm::GetPlayAlarmSound()); }},
        {settings::DisplayPosition, QVariant(QString::fromLatin1(DefaultDisplayPosition)),
         cRegistry::REG_SZ, [](const QVariant &v) { modMain::DisplayPosition = toPosition(v); },
         [] { return positionText(modMain::DisplayPosition); }},
    };
    return table;
}

} // namespace

QStringList LoadSettings()
{
    QStringList unreadable;
    // A store that cannot be opened at all yields the defaults like a missing
    // key, but it is reported: every value is then unreadable.
    platform::Key probe;
    const platform::Result opened = platform::openKey(platform::Root(settings::RootKey),
                                                      QString::fromLatin1(settings::SectionKey),
                                                      platform::KEY_QUERY_VALUE, probe);
    probe.close();
    const bool storeUnusable =
        opened != platform::ERROR_SUCCESS && opened != platform::ERROR_FILE_NOT_FOUND;
    if (storeUnusable)
        qCCritical(lcSettings).noquote()
            << "settings store unusable, defaults used:" << platform::resultText(opened)
            << platform::lastErrorDetail();
    cRegistry registry;
    registry.setClassKey(settings::RootKey);
    registry.setSectionKey(QString::fromLatin1(settings::SectionKey));
    for (const Item &item : items()) {
        registry.setValueKey(QString::fromLatin1(item.name));
        registry.setDefault(item.fallback);
        try {
            item.load(registry.Value());
        } catch (const std::exception &e) {
            // Decided: an unreadable value takes its default (alarm on, the usual
            // colours) and the later values are still read.
            qCWarning(lcSettings) << "setting" << item.name
                                  << "unreadable, default used:" << e.what();
            item.load(item.fallback);
            unreadable << QString::fromLatin1(item.name);
            continue;
        }
        if (storeUnusable)
            unreadable << QString::fromLatin1(item.name);
    }
    if (!storeUnusable && !stored(settings::AlarmPoint))
        modAlarm::SetAlarmPointPending();
    return unreadable;
}

RunSettings CurrentRunSettings()
{
    return {modTimer::GetTimerInterval(), modTimer::GetTimerDuration(), modAlarm::GetAlarmPoint(),
            modAlarm::AlarmPointPending(), modAlarm::GetAlarmEnabled()};
}

void RestoreRunSettings(const RunSettings &run)
{
    modTimer::SetTimerInterval(run.intervalSeconds);
    modTimer::SetTimerDuration(run.lengthSeconds);
    modAlarm::SetAlarmPoint(run.alarmPoint);
    if (run.alarmPointPending)
        modAlarm::SetAlarmPointPending();
    modAlarm::SetAlarmEnabled(run.alarmEnabled);
}

QStringList SaveSettings()
{
    QStringList unwritten;
    cRegistry registry;
    registry.setClassKey(settings::RootKey);
    registry.setSectionKey(QString::fromLatin1(settings::SectionKey));
    for (const Item &item : items()) {
        // A first session that never connected leaves the choice to the next.
        if (modAlarm::AlarmPointPending() && std::strcmp(item.name, settings::AlarmPoint) == 0)
            continue;
        registry.setValueKey(QString::fromLatin1(item.name));
        registry.setDefault(item.fallback);
        registry.setValueType(item.type);
        try {
            registry.setValue(item.save());
        } catch (const std::exception &e) {
            // Decided: one value that cannot be written does not cost the others.
            qCWarning(lcSettings) << "setting" << item.name << "not written:" << e.what();
            unwritten << QString::fromLatin1(item.name);
        }
    }
    return unwritten;
}

} // namespace norvale::assistant::modMain
