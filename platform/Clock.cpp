#include "platform/Clock.h"

#include "platform/Ticks.h"

namespace norvale::platform
{

uint32_t SystemClockSource::tickCount()
{
    return norvale::platform::tickCount();
}

QDateTime SystemClockSource::currentDateTime()
{
    return QDateTime::currentDateTime();
}

void SystemClockSource::sleep(int milliseconds)
{
    sleepMs(milliseconds);
}

ClockSource &systemClock()
{
    static SystemClockSource clock;
    return clock;
}

} // namespace norvale::platform
