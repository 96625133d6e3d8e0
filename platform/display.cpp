#include "platform/display.h"

#include <SDL.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/clock.h"
#include "platform/codepage.h"

namespace platform {

namespace {

constexpr uint32_t kShortestTimerMs = 10;
// A command waits this long for the display thread before giving up, so a stuck or closing
// display never hangs its caller.
constexpr auto kCommandWait = std::chrono::seconds(2);

struct Command {
  std::function<void()> run;
  bool done = false;
};

struct Timer {
  uint32_t periodMs = 0;
  int64_t due = 0;  // performance counter value
};

// Everything the display layer keeps. Fields under `mu` are shared with other threads; the rest
// belong to the display thread.
struct Display {
  std::mutex mu;
  std::condition_variable commandDone;
  std::deque<std::shared_ptr<Command>> commands;
  std::deque<WindowMessage> posted;
  std::map<uint32_t, Timer> timers;
  std::vector<uint32_t> front;
  int frontWidth = 0;
  int frontHeight = 0;
  bool framePending = false;
  bool changedOnly = true;

  std::atomic<bool> open{false};
  std::atomic<bool> wakePending{false};
  std::atomic<std::thread::id> thread{};
  std::atomic<uintptr_t> windowId{0};
  std::atomic<uint64_t> handed{0}, skipped{0}, shown{0};

  // Display thread only.
  SDL_Window* window = nullptr;
  std::deque<WindowMessage> translated;
  uint32_t buttons = 0;  // MK_ bits of the buttons held
  int cursorShown = -1;
};

Display& display() {
  static Display* d = new Display;  // outlives every thread that may still touch it at exit
  return *d;
}

// Serialises opening the video system: the display thread's open and a screen-size query made
// before any window exists.
std::mutex& videoInitMutex() {
  static std::mutex m;
  return m;
}

intptr_t packPoint(int x, int y) {
  return static_cast<intptr_t>(static_cast<uint32_t>(y & 0xFFFF) << 16 |
                               static_cast<uint32_t>(x & 0xFFFF));
}

void wake() {
  Display& d = display();
  if (d.wakePending.exchange(true)) return;
  SDL_Event ev{};
  ev.type = SDL_USEREVENT;
  SDL_PushEvent(&ev);
}

// Runs fn on the display thread and waits for it; false when no window is open or it timed out.
bool invoke(std::function<void()> fn) {
  Display& d = display();
  if (onDisplayThread()) {
    if (d.window) fn();
    return d.window != nullptr;
  }
  auto cmd = std::make_shared<Command>();
  cmd->run = std::move(fn);
  std::unique_lock lock(d.mu);
  if (!d.open) return false;
  d.commands.push_back(cmd);
  lock.unlock();
  wake();
  lock.lock();
  return d.commandDone.wait_for(lock, kCommandWait, [&] { return cmd->done; });
}

void runCommands() {
  Display& d = display();
  for (;;) {
    std::shared_ptr<Command> cmd;
    {
      std::lock_guard lock(d.mu);
      if (d.commands.empty()) return;
      cmd = d.commands.front();
      d.commands.pop_front();
    }
    cmd->run();
    {
      std::lock_guard lock(d.mu);
      cmd->done = true;
    }
    d.commandDone.notify_all();
  }
}

void showPendingFrame() {
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

uint32_t virtualKey(SDL_Scancode sc) {
  if (sc >= SDL_SCANCODE_A && sc <= SDL_SCANCODE_Z) return 'A' + (sc - SDL_SCANCODE_A);
  if (sc >= SDL_SCANCODE_1 && sc <= SDL_SCANCODE_9) return '1' + (sc - SDL_SCANCODE_1);
  if (sc >= SDL_SCANCODE_F1 && sc <= SDL_SCANCODE_F12) return VK_F1 + (sc - SDL_SCANCODE_F1);
  if (sc >= SDL_SCANCODE_F13 && sc <= SDL_SCANCODE_F24) return 0x7C + (sc - SDL_SCANCODE_F13);
  if (sc >= SDL_SCANCODE_KP_1 && sc <= SDL_SCANCODE_KP_9) return 0x61 + (sc - SDL_SCANCODE_KP_1);
  switch (sc) {
    case SDL_SCANCODE_0:
      return '0';
    case SDL_SCANCODE_RETURN:
      return VK_RETURN;
    case SDL_SCANCODE_KP_ENTER:
      return VK_RETURN;
    case SDL_SCANCODE_ESCAPE:
      return VK_ESCAPE;
    case SDL_SCANCODE_BACKSPACE:
      return VK_BACK;
    case SDL_SCANCODE_TAB:
      return VK_TAB;
    case SDL_SCANCODE_SPACE:
      return VK_SPACE;
    case SDL_SCANCODE_MINUS:
      return 0xBD;
    case SDL_SCANCODE_EQUALS:
      return 0xBB;
    case SDL_SCANCODE_LEFTBRACKET:
      return 0xDB;
    case SDL_SCANCODE_RIGHTBRACKET:
      return 0xDD;
    case SDL_SCANCODE_BACKSLASH:
      return 0xDC;
    case SDL_SCANCODE_NONUSHASH:
      return 0xDC;
    case SDL_SCANCODE_SEMICOLON:
      return 0xBA;
    case SDL_SCANCODE_APOSTROPHE:
      return 0xDE;
    case SDL_SCANCODE_GRAVE:
      return 0xC0;
    case SDL_SCANCODE_COMMA:
      return 0xBC;
    case SDL_SCANCODE_PERIOD:
      return 0xBE;
    case SDL_SCANCODE_SLASH:
      return 0xBF;
    case SDL_SCANCODE_CAPSLOCK:
      return 0x14;
    case SDL_SCANCODE_PRINTSCREEN:
      return 0x2C;
    case SDL_SCANCODE_SCROLLLOCK:
      return 0x91;
    case SDL_SCANCODE_PAUSE:
      return 0x13;
    case SDL_SCANCODE_INSERT:
      return VK_INSERT;
    case SDL_SCANCODE_HOME:
      return VK_HOME;
    case SDL_SCANCODE_PAGEUP:
      return VK_PRIOR;
    case SDL_SCANCODE_DELETE:
      return VK_DELETE;
    case SDL_SCANCODE_END:
      return VK_END;
    case SDL_SCANCODE_PAGEDOWN:
      return VK_NEXT;
    case SDL_SCANCODE_RIGHT:
      return VK_RIGHT;
    case SDL_SCANCODE_LEFT:
      return VK_LEFT;
    case SDL_SCANCODE_DOWN:
      return VK_DOWN;
    case SDL_SCANCODE_UP:
      return VK_UP;
    case SDL_SCANCODE_NUMLOCKCLEAR:
      return 0x90;
    case SDL_SCANCODE_KP_DIVIDE:
      return 0x6F;
    case SDL_SCANCODE_KP_MULTIPLY:
      return 0x6A;
    case SDL_SCANCODE_KP_MINUS:
      return 0x6D;
    case SDL_SCANCODE_KP_PLUS:
      return 0x6B;
    case SDL_SCANCODE_KP_0:
      return 0x60;
    case SDL_SCANCODE_KP_PERIOD:
      return 0x6E;
    case SDL_SCANCODE_NONUSBACKSLASH:
      return 0xE2;
    case SDL_SCANCODE_APPLICATION:
      return 0x5D;
    case SDL_SCANCODE_LCTRL:
      return VK_CONTROL;
    case SDL_SCANCODE_RCTRL:
      return VK_CONTROL;
    case SDL_SCANCODE_LSHIFT:
      return VK_SHIFT;
    case SDL_SCANCODE_RSHIFT:
      return VK_SHIFT;
    case SDL_SCANCODE_LALT:
      return VK_MENU;
    case SDL_SCANCODE_RALT:
      return VK_MENU;
    case SDL_SCANCODE_LGUI:
      return 0x5B;
    case SDL_SCANCODE_RGUI:
      return 0x5C;
    default:
      return 0;
  }
}

uintptr_t mouseKeyState() {
  const SDL_Keymod mod = SDL_GetModState();
  uintptr_t w = display().buttons;
  if (mod & KMOD_SHIFT) w |= MK_SHIFT;
  if (mod & KMOD_CTRL) w |= MK_CONTROL;
  return w;
}

void emit(uint32_t message, uintptr_t wparam, intptr_t lparam) {
  display().translated.push_back({message, wparam, lparam, tickCount()});
}

void translateKey(const SDL_KeyboardEvent& key) {
  const uint32_t vk = virtualKey(key.keysym.scancode);
  if (vk == 0) return;
  const bool down = key.type == SDL_KEYDOWN;
  // Repeat count 1, scan code, previous-state and transition bits as the window system sets them.
  uint32_t lparam = 1 | (static_cast<uint32_t>(key.keysym.scancode) & 0xFF) << 16;
  if (!down) lparam |= 0xC0000000u;
  if (down && key.repeat) lparam |= 0x40000000u;
  emit(down ? WM_KEYDOWN : WM_KEYUP, vk, static_cast<intptr_t>(lparam));
  if (!down) return;
  // The text events carry printable characters only; the control characters that the window
  // system also delivers as WM_CHAR are made here.
  uint32_t ch = 0;
  if ((key.keysym.mod & KMOD_CTRL) && vk >= 'A' && vk <= 'Z') {
    ch = vk - 'A' + 1;
  } else if (vk == VK_RETURN || vk == VK_BACK || vk == VK_TAB || vk == VK_ESCAPE) {
    ch = vk;
  }
  if (ch) emit(WM_CHAR, ch, static_cast<intptr_t>(lparam));
}

void translate(const SDL_Event& ev) {
  Display& d = display();
  switch (ev.type) {
    case SDL_WINDOWEVENT:
      switch (ev.window.event) {
        case SDL_WINDOWEVENT_CLOSE:
          emit(WM_CLOSE, 0, 0);
          break;
        case SDL_WINDOWEVENT_EXPOSED:
        case SDL_WINDOWEVENT_SHOWN:
        case SDL_WINDOWEVENT_RESTORED:
          // The surface still holds the last frame: put it back at once, then let the window
          // repaint whatever has changed since.
          if (d.window) SDL_UpdateWindowSurface(d.window);
          emit(WM_PAINT, 0, 0);
          break;
        default:
          break;
      }
      break;
    case SDL_KEYDOWN:
    case SDL_KEYUP:
      translateKey(ev.key);
      break;
    case SDL_TEXTINPUT:
      for (char16_t unit : utf8ToUtf16(ev.text.text)) emit(WM_CHAR, unit, 1);
      break;
    case SDL_MOUSEMOTION:
      emit(WM_SETCURSOR, 0, 0);
      emit(WM_MOUSEMOVE, mouseKeyState(), packPoint(ev.motion.x, ev.motion.y));
      break;
    case SDL_MOUSEBUTTONDOWN:
    case SDL_MOUSEBUTTONUP: {
      const bool down = ev.type == SDL_MOUSEBUTTONDOWN;
      uint32_t message = 0, bit = 0;
      switch (ev.button.button) {
        case SDL_BUTTON_LEFT:
          message = down ? WM_LBUTTONDOWN : WM_LBUTTONUP;
          bit = MK_LBUTTON;
          break;
        case SDL_BUTTON_RIGHT:
          message = down ? WM_RBUTTONDOWN : WM_RBUTTONUP;
          bit = MK_RBUTTON;
          break;
        case SDL_BUTTON_MIDDLE:
          message = down ? WM_MBUTTONDOWN : WM_MBUTTONUP;
          bit = MK_MBUTTON;
          break;
        default:
          return;
      }
      if (down) {
        d.buttons |= bit;
      } else {
        d.buttons &= ~bit;
      }
      emit(message, mouseKeyState(), packPoint(ev.button.x, ev.button.y));
      break;
    }
    case SDL_MOUSEWHEEL: {
      int notches = ev.wheel.y;
      if (ev.wheel.direction == SDL_MOUSEWHEEL_FLIPPED) notches = -notches;
      if (notches == 0) break;
      // The wheel message carries screen coordinates, as the window system's does.
      int wx = 0, wy = 0;
      if (d.window) SDL_GetWindowPosition(d.window, &wx, &wy);
      const uint32_t delta = static_cast<uint16_t>(static_cast<int16_t>(notches * 120));
      emit(WM_MOUSEWHEEL, mouseKeyState() | static_cast<uintptr_t>(delta) << 16,
           packPoint(wx + ev.wheel.mouseX, wy + ev.wheel.mouseY));
      break;
    }
    default:
      break;
  }
}

bool takeDueTimer(WindowMessage* out, int64_t* nextDue) {
  Display& d = display();
  const int64_t now = performanceCounter();
  std::lock_guard lock(d.mu);
  *nextDue = INT64_MAX;
  for (auto& [id, t] : d.timers) {
    if (t.due <= now) {
      // One message however late: missed periods are not made up.
      t.due = now + static_cast<int64_t>(t.periodMs) * 1'000'000;
      *out = {WM_TIMER, id, 0, tickCount()};
      return true;
    }
    *nextDue = std::min(*nextDue, t.due);
  }
  return false;
}

// Only real displays: without one the window cannot be created, rather than landing on an
// invisible or console back end. The Wayland client library is asked only where a compositor
// has announced itself, so a missing display gives one clear reason.
void setRealDisplayDrivers() {
  const char* wayland = std::getenv("WAYLAND_DISPLAY");
  SDL_SetHint(SDL_HINT_VIDEODRIVER, wayland && *wayland ? "x11,wayland" : "x11");
}

// SDL says only that no back end is available; the usual cause deserves its own words.
std::string videoInitFailure() {
  std::string reason = SDL_GetError();
  if (reason.find("not available") == std::string::npos) return reason;
  const char* x = std::getenv("DISPLAY");
  if (!x || !*x) return "no display (DISPLAY is not set)";
  return std::string("cannot connect to the X display \"") + x + "\"";
}

}  // namespace

bool displayOpen(const WindowRequest& request, std::string* error) {
  Display& d = display();
  std::lock_guard initLock(videoInitMutex());
  SDL_SetHint(SDL_HINT_NO_SIGNAL_HANDLERS, "1");
  SDL_SetHint(SDL_HINT_QUIT_ON_LAST_WINDOW_CLOSE, "0");
  SDL_SetHint(SDL_HINT_VIDEO_ALLOW_SCREENSAVER, "1");
  SDL_SetHint(SDL_HINT_MOUSE_FOCUS_CLICKTHROUGH, "1");
  // The window surface is filled by the processor; no GL context is wanted for it.
  SDL_SetHint(SDL_HINT_FRAMEBUFFER_ACCELERATION, "0");
  setRealDisplayDrivers();
  if (SDL_InitSubSystem(SDL_INIT_VIDEO) != 0) {
    if (error) *error = videoInitFailure();
    SDL_Quit();  // this layer is the only user of SDL: release everything it set up
    return false;
  }
  Uint32 flags = SDL_WINDOW_SHOWN;
  if (request.borderless) flags |= SDL_WINDOW_BORDERLESS;
  if (request.topmost) flags |= SDL_WINDOW_ALWAYS_ON_TOP;
  const int x = request.x == kDefaultPosition ? SDL_WINDOWPOS_UNDEFINED : request.x;
  const int y = request.y == kDefaultPosition ? SDL_WINDOWPOS_UNDEFINED : request.y;
  SDL_Window* window = SDL_CreateWindow(request.titleUtf8.c_str(), x, y, std::max(request.width, 1),
                                        std::max(request.height, 1), flags);
  if (!window) {
    if (error) *error = SDL_GetError();
    SDL_Quit();
    return false;
  }
  d.window = window;
  d.translated.clear();
  d.buttons = 0;
  d.cursorShown = -1;
  d.thread = std::this_thread::get_id();
  d.windowId = SDL_GetWindowID(window);
  {
    std::lock_guard lock(d.mu);
    d.posted.clear();
    d.timers.clear();
    d.front.clear();
    d.frontWidth = d.frontHeight = 0;
    d.framePending = false;
    d.open = true;
  }
  return true;
}

void displayClose() {
  Display& d = display();
  {
    std::lock_guard lock(d.mu);
    d.open = false;
    // Waiting callers are released; their commands are not run.
    for (auto& cmd : d.commands) cmd->done = true;
    d.commands.clear();
    d.timers.clear();
    d.posted.clear();
  }
  d.commandDone.notify_all();
  if (d.window) SDL_DestroyWindow(d.window);
  d.window = nullptr;
  d.windowId = 0;
  d.thread = std::thread::id();
  std::lock_guard initLock(videoInitMutex());
  SDL_Quit();
}

bool displayGetMessage(WindowMessage* out, int timeoutMs) {
  Display& d = display();
  const int64_t start = performanceCounter();
  const int64_t deadline = timeoutMs < 0 ? INT64_MAX : start + int64_t{timeoutMs} * 1'000'000;
  for (;;) {
    // Cleared before the queues are drained, so work handed over after this point wakes us again.
    d.wakePending = false;
    runCommands();
    showPendingFrame();
    if (!d.translated.empty()) {
      *out = d.translated.front();
      d.translated.pop_front();
      return true;
    }
    {
      std::lock_guard lock(d.mu);
      if (!d.posted.empty()) {
        *out = d.posted.front();
        d.posted.pop_front();
        return true;
      }
    }
    SDL_Event ev;
    bool any = false;
    while (SDL_PollEvent(&ev)) {
      translate(ev);
      any = true;
    }
    if (any) continue;
    int64_t nextDue = INT64_MAX;
    if (takeDueTimer(out, &nextDue)) return true;
    const int64_t now = performanceCounter();
    if (now >= deadline) return false;
    const int64_t until = std::min(deadline, nextDue);
    int waitMs = -1;
    if (until != INT64_MAX) {
      waitMs = static_cast<int>(std::min<int64_t>((until - now + 999'999) / 1'000'000, 1 << 30));
    }
    if (SDL_WaitEventTimeout(&ev, waitMs)) translate(ev);
  }
}

bool displayIsOpen() {
  return display().open;
}

bool onDisplayThread() {
  return display().thread.load() == std::this_thread::get_id();
}

uintptr_t displayWindowId() {
  return display().windowId;
}

void displayPostMessage(uint32_t message, uintptr_t wparam, intptr_t lparam) {
  Display& d = display();
  {
    std::lock_guard lock(d.mu);
    if (!d.open) return;
    d.posted.push_back({message, wparam, lparam, tickCount()});
  }
  if (!onDisplayThread()) wake();
}

void displaySetTimer(uint32_t id, uint32_t periodMs) {
  Display& d = display();
  periodMs = std::max(periodMs, kShortestTimerMs);
  {
    std::lock_guard lock(d.mu);
    if (!d.open) return;
    d.timers[id] = {periodMs, performanceCounter() + int64_t{periodMs} * 1'000'000};
  }
  if (!onDisplayThread()) wake();
}

void displayKillTimer(uint32_t id) {
  Display& d = display();
  std::lock_guard lock(d.mu);
  d.timers.erase(id);
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
  return {d.handed.load(), d.skipped.load(), d.shown.load(), d.framePending};
}

void displaySetTitle(std::string_view utf8) {
  std::string title(utf8);
  invoke([title] { SDL_SetWindowTitle(display().window, title.c_str()); });
}

void displaySetPosition(int x, int y) {
  invoke([x, y] { SDL_SetWindowPosition(display().window, x, y); });
}

bool displayGetPosition(int* x, int* y) {
  int px = 0, py = 0;
  if (!invoke([&] { SDL_GetWindowPosition(display().window, &px, &py); })) return false;
  *x = px;
  *y = py;
  return true;
}

bool displayGetClientSize(int* width, int* height) {
  int w = 0, h = 0;
  if (!invoke([&] { SDL_GetWindowSize(display().window, &w, &h); })) return false;
  *width = w;
  *height = h;
  return true;
}

void displaySetClientSize(int width, int height) {
  invoke([width, height] {
    SDL_SetWindowSize(display().window, std::max(width, 1), std::max(height, 1));
  });
}

void displayRaise() {
  invoke([] { SDL_RaiseWindow(display().window); });
}

void displayShowCursor(bool shown) {
  invoke([shown] {
    Display& d = display();
    if (d.cursorShown == static_cast<int>(shown)) return;
    d.cursorShown = shown;
    SDL_ShowCursor(shown ? SDL_ENABLE : SDL_DISABLE);
  });
}

void displayCaptureMouse(bool capture) {
  invoke([capture] { SDL_CaptureMouse(capture ? SDL_TRUE : SDL_FALSE); });
}

void displaySetImeRect(int x, int y, int width, int height) {
  invoke([=] {
    SDL_Rect r{x, y, width, height};
    SDL_SetTextInputRect(&r);
  });
}

bool displayScreenSize(int* width, int* height) {
  SDL_DisplayMode mode{};
  bool ok = false;
  if (displayIsOpen()) {
    // The display thread owns the video system: ask it.
    if (!invoke([&] { ok = SDL_GetDesktopDisplayMode(0, &mode) == 0; })) return false;
  } else {
    // No window yet: open the video system just for the question.
    std::lock_guard initLock(videoInitMutex());
    SDL_SetHint(SDL_HINT_NO_SIGNAL_HANDLERS, "1");
    setRealDisplayDrivers();
    if (SDL_InitSubSystem(SDL_INIT_VIDEO) == 0) ok = SDL_GetDesktopDisplayMode(0, &mode) == 0;
    SDL_Quit();
  }
  if (!ok) return false;
  *width = mode.w;
  *height = mode.h;
  return true;
}

void showMessageBox(std::string_view title, std::string_view text, bool error) {
  const std::string t(title), m(text);
  std::fprintf(stderr, "%s: %s\n", t.c_str(), m.c_str());
  std::fflush(stderr);
  const Uint32 flags = error ? SDL_MESSAGEBOX_ERROR : SDL_MESSAGEBOX_INFORMATION;
  SDL_ShowSimpleMessageBox(flags, gbkToUtf8(t).c_str(), gbkToUtf8(m).c_str(), nullptr);
}

}  // namespace platform

// SDL's input-method and screensaver support opens the session bus; libdbus keeps that
// connection's buffers for the life of the process and SDL does not shut it down. Not ours to
// free, so the leak checker of the sanitizer builds is told about it here, beside its cause.
extern "C" const char* __lsan_default_suppressions() {
  return "leak:libdbus-1.so\n";
}
