// The updater's icon: the Kelvora mark of the start-up picture (a teal rounded square with a white
// K and a yellow dot), drawn at every size a window manager may ask for.
#pragma once

#include <vector>

#include "platform/display.h"

// 16, 24, 32, 48 and 64 pixels square.
std::vector<platform::IconImage> kelvoraIconImages();
