#include "host/kest721/HostSettings.h"

#include "assistant/Settings.h"
#include "assistant/cRegistry.h"

#include <QVariant>

namespace norvale::host
{

namespace
{
norvale::assistant::cRegistry at(const char *valueName)
{
    norvale::assistant::cRegistry r;
    r.setClassKey(norvale::assistant::settings::RootKey);
    r.setSectionKey(QString::fromLatin1(norvale::assistant::settings::SectionKey));
    r.setValueKey(QString::fromLatin1(valueName));
    return r;
}
} // namespace

void storeComPort(int16_t port)
{
    norvale::assistant::cRegistry r = at(norvale::assistant::settings::ComPort);
    r.setValueType(norvale::assistant::cRegistry::REG_DWORD);
    r.setValue(QVariant::fromValue<int32_t>(port));
}

int16_t storedComPort()
{
    norvale::assistant::cRegistry r = at(norvale::assistant::settings::ComPort);
    const int16_t fallback = norvale::assistant::settings::DefaultComPort;
    r.setDefault(QVariant::fromValue<int32_t>(fallback));
    try {
        bool ok = false;
        const int port = r.Value().toInt(&ok);
        return ok && port >= INT16_MIN && port <= INT16_MAX ? static_cast<int16_t>(port) : fallback;
    } catch (const norvale::platform::AutomationError &) {
        return fallback;
    }
}

void storeRunTimes(std::optional<int32_t> intervalSeconds, std::optional<int32_t> lengthSeconds)
{
    const std::pair<const char *, std::optional<int32_t>> values[] = {
        {norvale::assistant::settings::TimerInterval, intervalSeconds},
        {norvale::assistant::settings::TimerLength, lengthSeconds}};
    for (const auto &[name, seconds] : values) {
        if (!seconds)
            continue;
        norvale::assistant::cRegistry r = at(name);
        r.setValueType(norvale::assistant::cRegistry::REG_DWORD);
        r.setValue(QVariant::fromValue<int32_t>(*seconds));
    }
}

namespace
{
int32_t storedSeconds(const char *name, int32_t fallback)
{
    norvale::assistant::cRegistry r = at(name);
    r.setDefault(fallback);
    try {
        bool ok = false;
        const double seconds = r.Value().toString().trimmed().toDouble(&ok);
        return ok && seconds >= 0 && seconds <= INT32_MAX ? static_cast<int32_t>(seconds)
                                                          : fallback;
    } catch (const norvale::platform::AutomationError &) {
        return fallback;
    }
}
} // namespace

int32_t storedTimerInterval()
{
    return storedSeconds(norvale::assistant::settings::TimerInterval,
                         norvale::assistant::settings::DefaultTimerInterval);
}

int32_t storedTimerLength()
{
    return storedSeconds(norvale::assistant::settings::TimerLength,
                         norvale::assistant::settings::DefaultTimerLength);
}

} // namespace norvale::host
