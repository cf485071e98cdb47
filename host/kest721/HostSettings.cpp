#include "host/kest721/HostSettings.h"

#include "assistant/Settings.h"
#include "assistant/cRegistry.h"

#include <QVariant>

namespace norvale::host
{

namespace
{
norvale::cRegistry at(const char *valueName)
{
    norvale::cRegistry r;
    r.setClassKey(norvale::settings::RootKey);
    r.setSectionKey(QString::fromLatin1(norvale::settings::SectionKey));
    r.setValueKey(QString::fromLatin1(valueName));
    return r;
}
} // namespace

void storeComPort(int16_t port)
{
    norvale::cRegistry r = at(norvale::settings::ComPort);
    r.setValueType(norvale::cRegistry::REG_DWORD);
    r.setValue(QVariant::fromValue<int32_t>(port));
}

int16_t storedComPort()
{
    norvale::cRegistry r = at(norvale::settings::ComPort);
    const int16_t fallback = norvale::settings::DefaultComPort;
    r.setDefault(QVariant::fromValue<int32_t>(fallback));
    try {
        bool ok = false;
        const int port = r.Value().toInt(&ok);
        return ok && port >= INT16_MIN && port <= INT16_MAX ? static_cast<int16_t>(port) : fallback;
    } catch (const norvale::AutomationError &) {
        return fallback;
    }
}

void storeRunTimes(std::optional<int32_t> intervalSeconds, std::optional<int32_t> lengthSeconds)
{
    const std::pair<const char *, std::optional<int32_t>> values[] = {
        {norvale::settings::TimerInterval, intervalSeconds},
        {norvale::settings::TimerLength, lengthSeconds}};
    for (const auto &[name, seconds] : values) {
        if (!seconds)
            continue;
        norvale::cRegistry r = at(name);
        r.setValueType(norvale::cRegistry::REG_DWORD);
        r.setValue(QVariant::fromValue<int32_t>(*seconds));
    }
}

namespace
{
int32_t storedSeconds(const char *name, int32_t fallback)
{
    norvale::cRegistry r = at(name);
    r.setDefault(fallback);
    try {
        bool ok = false;
        const double seconds = r.Value().toString().trimmed().toDouble(&ok);
        return ok && seconds >= 0 && seconds <= INT32_MAX ? static_cast<int32_t>(seconds)
                                                          : fallback;
    } catch (const norvale::AutomationError &) {
        return fallback;
    }
}
} // namespace

int32_t storedTimerInterval()
{
    return storedSeconds(norvale::settings::TimerInterval, norvale::settings::DefaultTimerInterval);
}

int32_t storedTimerLength()
{
    return storedSeconds(norvale::settings::TimerLength, norvale::settings::DefaultTimerLength);
}

} // namespace norvale::host
