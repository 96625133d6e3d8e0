// Plays the start-up logo on the window's active page: the background fades from black to white,
// the picture fades in, stays a second and fades out, and the background fades back to black.
#pragma once

#include <cstdint>
#include <span>

namespace gfx {

// Lets initgraph play the logo when its mode asks for it. Only a program that calls this carries
// the picture: the updater sets its mode before initgraph, which never plays it there.
void enable_startup_logo();

// Plays the embedded logo picture (graphics/startup_logo.h). A key during the picture's fade-in
// or display cuts the show short; a closed or destroyed window ends it at once. Returns false
// when the picture does not decode or there is no window, having drawn nothing.
bool play_startup_logo();
// The same with another JPEG picture.
bool play_startup_logo(std::span<const uint8_t> picture);

}  // namespace gfx
