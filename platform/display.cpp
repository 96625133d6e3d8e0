// The window and its message loop: opening and closing, the message queue with its timers, and
// the window commands other threads hand to the display thread.
#include "platform/display.h"

#include <SDL.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <optional>

#include "platform/clock.h"
#include "platform/display_state.h"

namespace platform {

using namespace display_internal;

namespace {

constexpr uint32_t kShortestTimerMs = 10;
// A command waits this long for the display thread before giving up, so a stuck or closing
// display never hangs its caller.
constexpr auto kCommandWait = std::chrono::seconds(2);

// Serialises opening the video system: the display thread's open and a screen-size query made
// before any window exists.
std::mutex& videoInitMutex() {
  static std::mutex m;
  return m;
}

// Runs fn on the display thread and waits for it. False when no window is open, when the
// window closed before fn ran, or when the display thread did not get to it in time: a command
// given up on is taken back if it has not started, so fn must keep what it writes in storage it
// owns (a shared_ptr), never in the caller's frame.
// With untilRun the caller waits however long fn takes (a modal box), and no command is given up.
bool invoke(std::function<void()> fn, bool untilRun = false) {
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
  if (untilRun) {
    d.commandDone.wait(lock, [&] { return cmd->done; });
  } else if (!d.commandDone.wait_for(lock, kCommandWait, [&] { return cmd->done; })) {
    std::erase(d.commands, cmd);
    return false;
  }
  return cmd->ran;
}

}  // namespace

bool displayRunAndWait(std::function<void()> fn) {
  return !onDisplayThread() && invoke(std::move(fn), true);
}

namespace {

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
      cmd->ran = true;
      cmd->done = true;
    }
    d.commandDone.notify_all();
  }
}

// Runs a query on the display thread; its answer lives beside the command, so a caller that gave
// up leaves nothing for a late run to write into.
template <typename T, typename Fn>
std::optional<T> query(Fn fn) {
  auto answer = std::make_shared<T>();
  if (!invoke([answer, fn] { fn(*answer); })) return std::nullopt;
  return *answer;
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
  reportX11ProtocolErrors();
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
  setWindowIcons(window, request.icons);
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
    // Waiting callers are released and told their commands did not run.
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
      translateEvent(ev);
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
    const bool got = SDL_WaitEventTimeout(&ev, waitMs);
    d.wakes.fetch_add(1, std::memory_order_relaxed);
    if (got) translateEvent(ev);
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

void displaySetTitle(std::string_view utf8) {
  std::string title(utf8);
  invoke([title] { SDL_SetWindowTitle(display().window, title.c_str()); });
}

void displaySetPosition(int x, int y) {
  invoke([x, y] { SDL_SetWindowPosition(display().window, x, y); });
}

bool displayGetPosition(int* x, int* y) {
  const auto pos = query<std::pair<int, int>>(
      [](std::pair<int, int>& p) { SDL_GetWindowPosition(display().window, &p.first, &p.second); });
  if (!pos) return false;
  *x = pos->first;
  *y = pos->second;
  return true;
}

bool displayGetClientSize(int* width, int* height) {
  const auto size = query<std::pair<int, int>>(
      [](std::pair<int, int>& s) { SDL_GetWindowSize(display().window, &s.first, &s.second); });
  if (!size) return false;
  *width = size->first;
  *height = size->second;
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
  std::optional<SDL_DisplayMode> mode;
  if (displayIsOpen()) {
    // The display thread owns the video system: ask it.
    mode = query<std::optional<SDL_DisplayMode>>([](std::optional<SDL_DisplayMode>& m) {
             SDL_DisplayMode found{};
             if (SDL_GetDesktopDisplayMode(0, &found) == 0) m = found;
           }).value_or(std::nullopt);
  } else {
    // No window yet: open the video system just for the question.
    std::lock_guard initLock(videoInitMutex());
    SDL_SetHint(SDL_HINT_NO_SIGNAL_HANDLERS, "1");
    setRealDisplayDrivers();
    SDL_DisplayMode found{};
    if (SDL_InitSubSystem(SDL_INIT_VIDEO) == 0 && SDL_GetDesktopDisplayMode(0, &found) == 0) {
      mode = found;
    }
    SDL_Quit();
  }
  if (!mode) return false;
  *width = mode->w;
  *height = mode->h;
  return true;
}

}  // namespace platform

// SDL's input-method and screensaver support opens the session bus; libdbus keeps that
// connection's buffers for the life of the process and SDL does not shut it down. Not ours to
// free, so the leak checker of the sanitizer builds is told about it here, beside its cause.
extern "C" const char* __lsan_default_suppressions() {
  return "leak:libdbus-1.so\n";
}

namespace platform::display_internal {

Display& display() {
  static Display* d = new Display;  // outlives every thread that may still touch it at exit
  return *d;
}

void wake() {
  Display& d = display();
  if (d.wakePending.exchange(true)) return;
  SDL_Event ev{};
  ev.type = SDL_USEREVENT;
  SDL_PushEvent(&ev);
}

intptr_t packPoint(int x, int y) {
  return static_cast<intptr_t>(static_cast<uint32_t>(y & 0xFFFF) << 16 |
                               static_cast<uint32_t>(x & 0xFFFF));
}

}  // namespace platform::display_internal
