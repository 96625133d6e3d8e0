// What the window needs of X11 itself, beyond the display library: every icon size at once, and
// protocol errors said rather than ending the process.
#include <SDL.h>
#include <SDL_syswm.h>
#include <X11/Xatom.h>
#include <X11/Xlib.h>

#include <algorithm>
#include <cstdio>
#include <string_view>
#include <vector>

#include "platform/display.h"

namespace platform {

namespace display_internal {
void setWindowIcons(SDL_Window* window, const std::vector<IconImage>& icons);
void reportX11ProtocolErrors();
}  // namespace display_internal

namespace {

int reportProtocolError(::Display* display, XErrorEvent* event) {
  char text[160] = {};
  XGetErrorText(display, event->error_code, text, sizeof text - 1);
  std::fprintf(stderr, "display: X request %u.%u failed: %s\n", unsigned(event->request_code),
               unsigned(event->minor_code), text);
  return 0;
}

}  // namespace

// A request that races the window's end (a close, a window destroyed by someone else) fails
// with a protocol error. Xlib's default answer ends the process from whatever thread saw it,
// running the program's exit handlers mid-flight; here it is said on standard error and the
// program goes on to close as it meant to. Installed once video is up, over the display
// library's own handler, which only matters for full-screen modes this window never uses.
void display_internal::reportX11ProtocolErrors() {
  const char* driver = SDL_GetCurrentVideoDriver();
  if (driver != nullptr && std::string_view(driver) == "x11") XSetErrorHandler(reportProtocolError);
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
