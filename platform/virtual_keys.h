// The virtual-key code the window system gives a physical key, so the window procedure above
// the display layer sees the numbers it was designed for.
#pragma once

#include <cstdint>

namespace platform {

// The code for an SDL scancode; 0 for keys the window system has no code for.
uint32_t virtualKeyFromScancode(int scancode);

}  // namespace platform
