// Reads the real X screen the way a user sees it, and speaks to windows as a window manager
// would: the window tests' oracle for what is on screen.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace testsupport {

// A rectangle of the screen as 0x00RRGGBB pixels, row by row.
struct Screenshot {
  int width = 0;
  int height = 0;
  std::vector<uint32_t> pixels;

  uint32_t at(int x, int y) const { return pixels[static_cast<size_t>(y) * width + x]; }
  // Pixels of the rectangle [x0, x1) x [y0, y1) that equal colour.
  int count(uint32_t colour, int x0, int y0, int x1, int y1) const;
};

// One connection to $DISPLAY for the life of the object.
class X11Screen {
 public:
  X11Screen();
  ~X11Screen();
  X11Screen(const X11Screen&) = delete;
  X11Screen& operator=(const X11Screen&) = delete;

  bool connected() const { return display_ != nullptr; }
  Screenshot capture(int left, int top, int width, int height) const;

  // A mapped top-level window whose title (UTF-8) is exactly title.
  std::optional<unsigned long> findWindow(const std::string& title) const;
  // The window's client area origin in root coordinates.
  std::optional<std::pair<int, int>> clientOrigin(unsigned long window) const;
  // The close request a window manager sends: WM_PROTOCOLS with WM_DELETE_WINDOW.
  bool requestClose(unsigned long window) const;

 private:
  void* display_ = nullptr;
};

}  // namespace testsupport
