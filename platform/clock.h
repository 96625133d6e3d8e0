// Monotonic time and sleeps: the tick count, the performance counter and waitable timers of the
// design all read CLOCK_MONOTONIC here.
#pragma once

#include <cstdint>

namespace platform {

// Milliseconds since an arbitrary start, wrapping at 2^32 like the tick count it stands in for.
uint32_t tickCount();

// The performance counter: nanoseconds of CLOCK_MONOTONIC; its frequency is therefore 1e9.
int64_t performanceCounter();
int64_t performanceFrequency();

// Sleeps about ms milliseconds (0 yields the processor).
void sleepMilliseconds(uint32_t ms);

// Sleeps until the performance counter reaches deadline (absolute, immune to drift).
void sleepUntil(int64_t deadline);

}  // namespace platform
