#pragma once
// The enumerations that the instrument server shares with its clients. All
// are 32-bit; the values cross the bus as they are.
#include <cstdint>

namespace norvale::control
{

enum TYPE_UNITS : int32_t { unitUnknown = 0, unitR = 1, unitSv = 2 };

// The value is the power of ten.
enum TYPE_PREFIX : int32_t { prefixMicro = -6, prefixMilli = -3, prefixOne = 0, prefixKilo = 3 };

enum TYPE_MODEL : int32_t { modelUnknown = 0, model720K = 1, model720M = 2 };

enum TYPE_MODEBUTTON : int32_t {
    modebuttonDisabled = 0,
    modebuttonIntegrate = 1,
    modebuttonFreeze = 2
};

enum TYPE_CLEARLOG : int32_t { clearlogTurnOnOnly = 0, clearlogIntegrateReset = 1 };

// What the server believes the meter's dialogue state is.
enum class LinkMode { linkUnknown, linkCommand, linkMonitor, linkIntegrate };

} // namespace norvale::control
