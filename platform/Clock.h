#pragma once
// The clock that every wait and time-out of the system reads: the tick count,
// the wall clock and the thread sleep behind one interface, so that a test can
// move time on without waiting for it.
#include <QDateTime>
#include <cstdint>

namespace norvale::platform
{

class ClockSource
{
public:
    virtual ~ClockSource() = default;
    // Milliseconds of a steady clock, 32 bits, wrapping.
    virtual uint32_t tickCount() = 0;
    // The local date and time.
    virtual QDateTime currentDateTime() = 0;
    // Blocks the thread; the event loop does not run.
    virtual void sleep(int milliseconds) = 0;
};

// The system's tick count, wall clock and sleep.
class SystemClockSource : public ClockSource
{
public:
    uint32_t tickCount() override;
    QDateTime currentDateTime() override;
    void sleep(int milliseconds) override;
};

// One system clock for everyone who was not given another.
ClockSource &systemClock();

} // namespace norvale::platform
