#include <SDL.h>
#include <SDL_syswm.h>
#include <X11/Xatom.h>
#include <X11/Xlib.h>

#include <algorithm>
#include <vector>

#include "platform/display.h"

namespace platform {

namespace display_internal {
void setWindowIcons(SDL_Window* window, const std::vector<IconImage>& icons);
}

// Gives the window every icon size at once, as the window system's icon group does. Only X11
// takes several sizes (one _NET_WM_ICON property holding them all); elsewhere the largest goes
// through SDL.
void display_internal::setWindowIcons(SDL_Window* window, const std::vector<IconImage>& icons) {
  if (icons.empty()) return;
  SDL_SysWMinfo info;
  SDL_VERSION(&info.version);
  if (SDL_GetWindowWMInfo(window, &info) && info.subsystem == SDL_SYSWM_X11) {
    // The property's 32-bit items travel as longs in Xlib's interface.
    std::vector<unsigned long> items;
    for (const IconImage& icon : icons) {
      items.push_back(static_cast<unsigned long>(icon.size));
      items.push_back(static_cast<unsigned long>(icon.size));
      items.insert(items.end(), icon.argb.begin(), icon.argb.end());
    }
    ::Display* x = info.info.x11.display;
    XChangeProperty(x, info.info.x11.window, XInternAtom(x, "_NET_WM_ICON", False), XA_CARDINAL, 32,
                    PropModeReplace, reinterpret_cast<const unsigned char*>(items.data()),
                    static_cast<int>(items.size()));
    XFlush(x);
    return;
  }
  const IconImage& largest = *std::max_element(
      icons.begin(), icons.end(), [](const auto& a, const auto& b) { return a.size < b.size; });
  std::vector<uint32_t> pixels = largest.argb;
  SDL_Surface* surface = SDL_CreateRGBSurfaceWithFormatFrom(
      pixels.data(), largest.size, largest.size, 32, largest.size * 4, SDL_PIXELFORMAT_ARGB8888);
  if (!surface) return;
  SDL_SetWindowIcon(window, surface);
  SDL_FreeSurface(surface);
}

}  // namespace platform
