// Frames from the drawing threads to the window. A frame equal to the one handed over last is
// not copied again, so an unchanging window costs a comparison per flush and no drawing.
#include <algorithm>
#include <cstring>

#include "platform/display_state.h"

namespace platform {

using namespace display_internal;

void display_internal::showPendingFrame() {
  Display& d = display();
  if (!d.window) return;
  SDL_Surface* surface = SDL_GetWindowSurface(d.window);
  if (!surface) return;
  {
    std::lock_guard lock(d.mu);
    if (!d.framePending) return;
    d.framePending = false;
    const int w = std::min(d.frontWidth, surface->w);
    const int h = std::min(d.frontHeight, surface->h);
    if (w > 0 && h > 0) {
      if (SDL_MUSTLOCK(surface)) SDL_LockSurface(surface);
      SDL_ConvertPixels(w, h, SDL_PIXELFORMAT_RGB888, d.front.data(), d.frontWidth * 4,
                        surface->format->format, surface->pixels, surface->pitch);
      if (SDL_MUSTLOCK(surface)) SDL_UnlockSurface(surface);
    }
  }
  SDL_UpdateWindowSurface(d.window);
  d.shown.fetch_add(1, std::memory_order_relaxed);
}

bool displayPresent(const uint32_t* pixels, int stride, int width, int height) {
  Display& d = display();
  if (width <= 0 || height <= 0 || !pixels) return false;
  {
    std::lock_guard lock(d.mu);
    if (!d.open) return false;
    const size_t row = static_cast<size_t>(width) * 4;
    // The front buffer holds the frame handed over last, shown yet or not.
    if (d.changedOnly && d.frontWidth == width && d.frontHeight == height) {
      bool same = true;
      for (int y = 0; y < height && same; ++y) {
        same = std::memcmp(d.front.data() + static_cast<size_t>(y) * width,
                           pixels + static_cast<size_t>(y) * stride, row) == 0;
      }
      if (same) {
        d.skipped.fetch_add(1, std::memory_order_relaxed);
        return false;
      }
    }
    d.front.resize(static_cast<size_t>(width) * height);
    for (int y = 0; y < height; ++y) {
      std::memcpy(d.front.data() + static_cast<size_t>(y) * width,
                  pixels + static_cast<size_t>(y) * stride, row);
    }
    d.frontWidth = width;
    d.frontHeight = height;
    d.framePending = true;
    d.handed.fetch_add(1, std::memory_order_relaxed);
  }
  if (onDisplayThread()) {
    showPendingFrame();
  } else {
    wake();
  }
  return true;
}

void displaySetPresentChangedOnly(bool changedOnly) {
  Display& d = display();
  std::lock_guard lock(d.mu);
  d.changedOnly = changedOnly;
}

PresentStats displayPresentStats() {
  Display& d = display();
  std::lock_guard lock(d.mu);
  return {d.handed.load(), d.skipped.load(), d.shown.load(), d.framePending, d.wakes.load()};
}

}  // namespace platform
