// The progress window: everything the user sees, drawn on the main thread 30 times a second
// until the user closes the window.
#pragma once

#include <string>

#include "updater/progress_view.h"

namespace progress_view {

// Builds the two pictures and the opening status line (by language). Called once after the
// window exists.
void init_progress_view(ProgressView& view);
// Draws one frame on the screen target: pictures, the status text, percent text, bar.
void draw_progress_frame(const ProgressView& view, const std::string& status);
// The main thread's loop until the window is closed; gives the exit status 0.
int run_progress_window();

// The process-wide view, set once by start-up.
ProgressView*& progressViewSlot();

}  // namespace progress_view
