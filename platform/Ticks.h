#pragma once
// The system's clock and pacing primitives: a 32-bit millisecond tick that
// wraps after about 49.7 days, a plain sleep, and one pass of the event loop.
#include <cstdint>

namespace norvale::platform
{

// Milliseconds from a steady clock, truncated to 32 bits (wraps).
uint32_t tickCount();
// Wrap-safe difference now - then, for intervals shorter than 49 days.
inline uint32_t ticksSince(uint32_t then, uint32_t now) { return now - then; }
// Blocks the thread; the event loop does not run meanwhile.
void sleepMs(int milliseconds);
// Runs the event loop once: pending timers, socket and bus messages are served.
void pumpEvents();

} // namespace norvale::platform
