#pragma once
// The two settings of the Assistant that kest721 touches, in the Assistant's
// own settings store: the serial port it connects on, and the length of a
// logging run (for the time left on the progress line).
#include <cstdint>
#include <optional>

namespace norvale::host
{

// Stores the port for the next Assistant created (it loads its settings at
// creation). Throws norvale::platform::AutomationError when the store cannot be written.
void storeComPort(int16_t port);

// The port the next Assistant will connect on; its default when the value is
// missing or unreadable.
int16_t storedComPort();

// Stores the sampling interval and run length given (the keys the Logging
// Properties dialog writes). Throws norvale::platform::AutomationError.
void storeRunTimes(std::optional<int32_t> intervalSeconds, std::optional<int32_t> lengthSeconds);

// The sampling interval in seconds as the Assistant will read it.
int32_t storedTimerInterval();

// The run length in seconds as the Assistant will read it; its default when
// the value is missing or unreadable.
int32_t storedTimerLength();

} // namespace norvale::host
