#include "x11_screen.h"

#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>

namespace testsupport {

namespace {

Display* dpy(void* display) {
  return static_cast<Display*>(display);
}

// The UTF-8 title the window manager shows (_NET_WM_NAME, which the toolkit sets on every window).
std::string windowTitle(Display* display, Window window) {
  Atom type = None;
  int format = 0;
  unsigned long count = 0, after = 0;
  unsigned char* data = nullptr;
  std::string title;
  if (XGetWindowProperty(display, window, XInternAtom(display, "_NET_WM_NAME", False), 0, 1024,
                         False, XInternAtom(display, "UTF8_STRING", False), &type, &format, &count,
                         &after, &data) == Success &&
      data != nullptr) {
    title.assign(reinterpret_cast<char*>(data), count);
    XFree(data);
  }
  return title;
}

std::optional<Window> searchTree(Display* display, Window window, const std::string& title) {
  XWindowAttributes attributes;
  if (XGetWindowAttributes(display, window, &attributes) && attributes.map_state == IsViewable &&
      windowTitle(display, window) == title) {
    return window;
  }
  Window root = 0, parent = 0, *children = nullptr;
  unsigned int count = 0;
  if (!XQueryTree(display, window, &root, &parent, &children, &count)) return std::nullopt;
  std::optional<Window> found;
  for (unsigned int i = 0; i < count && !found; ++i)
    found = searchTree(display, children[i], title);
  if (children != nullptr) XFree(children);
  return found;
}

}  // namespace

int Screenshot::count(uint32_t colour, int x0, int y0, int x1, int y1) const {
  int n = 0;
  for (int y = y0; y < y1; ++y) {
    for (int x = x0; x < x1; ++x) n += at(x, y) == colour;
  }
  return n;
}

X11Screen::X11Screen() : display_(XOpenDisplay(nullptr)) {}

X11Screen::~X11Screen() {
  if (display_ != nullptr) XCloseDisplay(dpy(display_));
}

Screenshot X11Screen::capture(int left, int top, int width, int height) const {
  Screenshot shot;
  Display* display = dpy(display_);
  XSync(display, False);
  XImage* image =
      XGetImage(display, DefaultRootWindow(display), left, top, static_cast<unsigned>(width),
                static_cast<unsigned>(height), AllPlanes, ZPixmap);
  if (image == nullptr) return shot;
  shot.width = width;
  shot.height = height;
  shot.pixels.resize(static_cast<size_t>(width) * height);
  for (int y = 0; y < height; ++y) {
    for (int x = 0; x < width; ++x) {
      shot.pixels[static_cast<size_t>(y) * width + x] =
          static_cast<uint32_t>(XGetPixel(image, x, y)) & 0xFFFFFF;
    }
  }
  XDestroyImage(image);
  return shot;
}

std::optional<unsigned long> X11Screen::findWindow(const std::string& title) const {
  Display* display = dpy(display_);
  XSync(display, False);
  return searchTree(display, DefaultRootWindow(display), title);
}

std::optional<std::pair<int, int>> X11Screen::clientOrigin(unsigned long window) const {
  Display* display = dpy(display_);
  int x = 0, y = 0;
  Window child = 0;
  if (!XTranslateCoordinates(display, window, DefaultRootWindow(display), 0, 0, &x, &y, &child)) {
    return std::nullopt;
  }
  return std::make_pair(x, y);
}

bool X11Screen::requestClose(unsigned long window) const {
  Display* display = dpy(display_);
  XEvent event{};
  event.xclient.type = ClientMessage;
  event.xclient.window = window;
  event.xclient.message_type = XInternAtom(display, "WM_PROTOCOLS", False);
  event.xclient.format = 32;
  event.xclient.data.l[0] = static_cast<long>(XInternAtom(display, "WM_DELETE_WINDOW", False));
  event.xclient.data.l[1] = CurrentTime;
  Status sent = XSendEvent(display, window, False, NoEventMask, &event);
  XFlush(display);
  return sent != 0;
}

}  // namespace testsupport
