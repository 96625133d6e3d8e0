// The minimal standard generator of Park and Miller: the settings file key and the filler of a
// new settings block both draw from it.
#pragma once

#include <cstdint>

namespace park_miller {

// One step, 16807 * x mod (2^31 - 1), by Schrage's method in signed 32-bit arithmetic so that
// negative states (tick counts of 2^31 or more) follow the same formula.
int32_t parkMillerNext(int32_t x);

}  // namespace park_miller
