// The progress window's own state: its two pictures, the percentage and the percent text, and
// the percentage's step from one frame to the next. The worker never draws; it only rewrites the
// status line and the state word this view reads.
#pragma once

#include <array>
#include <cstdint>
#include <string>

namespace gfx {
class IMAGE;
}

namespace progress_view {

struct ProgressView {
  gfx::IMAGE* background = nullptr;  // 500 x 200, 0x151515
  gfx::IMAGE* track = nullptr;       // 400 x 30, 0x272727
  int percentage = 0;                // 0 to 100, only grows
  std::array<char, 128> percentText{};
  int windowWidth = 500;
  int windowHeight = 200;
  // What the page holds now. A frame that would draw the same is not drawn again: the page keeps
  // it, and exposures are repainted from the page.
  std::string shownStatus;
  int shownPercentage = -1;  // none drawn yet
};

// One frame's step of the percentage: one percent a frame up to 99 while an update is found or
// installed, 100 once installed and the downloaded count equals the expected size (float
// equality).
int advanceProgress(int percentage, int32_t updateState, float downloadedByteCount,
                    float expectedPackageSize);

}  // namespace progress_view
