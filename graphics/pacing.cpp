#include "graphics/pacing.h"

#include <cmath>
#include <thread>

#include "graphics/control_seam.h"
#include "graphics/drawing.h"
#include "graphics/window.h"
#include "platform/clock.h"
#include "platform/display.h"

namespace gfx {

using namespace platform;

namespace {

// Sleeps until the clock reads target_ms. The frame deadlines are fractional milliseconds; a
// whole-millisecond sleep would spin through the last fraction of every frame.
void sleep_until_ms(double target_ms) {
  const int64_t origin = graph_context().timer_origin.load();
  const auto deadline = origin + static_cast<int64_t>(std::ceil(target_ms * 1e6));
  if (deadline > performanceCounter()) sleepUntil(deadline);
}

void draw_tree() {
  if (control_hooks().draw && control_hooks().draw(screen_page())) mark_screen_drawn();
}

void update_tree() {
  if (control_hooks().update) control_hooks().update();
}

void dispatch_event(InputEvent& e) {
  if (e.flags & kDispatched) return;
  e.flags |= kDispatched;
  const ControlHooks& hooks = control_hooks();
  const int key = static_cast<int>(e.wparam);
  switch (e.message) {
    case WM_KEYDOWN:
      if (hooks.key) hooks.key(0, key, 0);
      return;
    case WM_KEYUP:
      if (hooks.key) hooks.key(1, key, 0);
      return;
    case WM_CHAR:
      if (hooks.key) hooks.key(2, key, 0);
      return;
    default:
      break;
  }
  if (!hooks.mouse) return;
  const int x = static_cast<int16_t>(e.lparam & 0xFFFF);
  const int y = static_cast<int16_t>((e.lparam >> 16) & 0xFFFF);
  const GraphContext& c = graph_context();
  int flags = 0;
  switch (e.message) {
    case WM_MOUSEMOVE:
      flags = kMouseMove | (c.key_state[VK_LBUTTON] ? 1 : 0) | (c.key_state[VK_RBUTTON] ? 2 : 0);
      break;
    case WM_LBUTTONDOWN:
      flags = 0x11;
      break;
    case WM_LBUTTONUP:
      flags = 0x21;
      break;
    case WM_RBUTTONDOWN:
      flags = 0x12;
      break;
    case WM_RBUTTONUP:
      flags = 0x22;
      break;
    default:
      return;  // middle buttons, double clicks and the wheel do not reach the controls
  }
  hooks.mouse(x, y, flags);
}

bool drops_key_down(uintptr_t code) {
  // Keys that also produce a character: the character stands for them.
  return code <= 32 || (code >= 48 && code <= 111) || (code >= 186 && code <= 222);
}

bool window_gone() {
  const GraphContext& c = graph_context();
  return c.window_destroyed || !c.window;
}

// The peek without the destroyed check: pops what it drops and puts the first key back.
int peek_key() {
  InputQueue& q = graph_context().key_queue;
  InputEvent e;
  while (q.pop(&e)) {
    const int code = key_peek_code(e);
    if (code != 0) {
      q.unpop();
      return code;
    }
  }
  return 0;
}

void refresh_while_waiting() {
  if (graph_context().dirty_countdown < 255) {
    draw_tree();
    flush_screen();
    dispatch_input();
  }
}

}  // namespace

double elapsed_seconds() {
  GraphContext& c = graph_context();
  const int64_t now = performanceCounter();
  int64_t origin = c.timer_origin.load();
  if (origin == 0) {
    // The first reading in the process sets the origin (and a racing first reading agrees).
    if (c.timer_origin.compare_exchange_strong(origin, now)) return 0;
  }
  return static_cast<double>(now - origin) / static_cast<double>(performanceFrequency());
}

double clock_ms() {
  return elapsed_seconds() * 1000.0;
}

void precise_sleep(int ms) {
  if (ms <= 0) return;
  sleepUntil(performanceCounter() + int64_t{ms} * 1'000'000);
}

void sleep_ms(uint32_t ms) {
  sleepMilliseconds(ms);
}

int process_pending(bool force) {
  GraphContext& c = graph_context();
  if (force || c.dirty_countdown <= 0) flush_screen();
  return c.window && !c.window_destroyed ? 1 : 0;
}

void dispatch_input() {
  GraphContext& c = graph_context();
  c.key_queue.visit(dispatch_event);
  c.mouse_queue.visit(dispatch_event);
  update_tree();
}

void pace_frame(double fps) {
  GraphContext& c = graph_context();
  const double frame = 1000.0 / fps;
  const double slack = 10 * frame;
  c.skip_timer = true;
  const double now = clock_ms();
  if (c.last_frame == 0) c.last_frame = clock_ms();
  const double last = c.last_frame;
  // More than ten frames behind: start afresh from now.
  const double base = last + frame + slack > now ? last : now;
  draw_tree();
  // Already more than 100 ms late: no wait at all.
  if (base + frame + 100 >= clock_ms()) sleep_until_ms(base + frame);
  // An undrawn frame is the one the window has: an idle window copies and compares nothing.
  process_pending(screen_changed());
  const double t = clock_ms();
  dispatch_input();
  // A steady schedule across small delays.
  c.last_frame = (t >= last + frame + slack || last > t) ? t : last + frame;
  c.skip_timer = false;
}

void pace_wait(int ms) {
  GraphContext& c = graph_context();
  c.skip_timer = true;
  if (ms <= 0) {
    if (screen_drawn_here()) {
      precise_sleep(1);
      draw_tree();
      process_pending(true);
      update_tree();
      IMAGE* target = get_target();
      if (target) {
        set_view_rect(target->vp_left, target->vp_top, target->vp_right, target->vp_bottom,
                      target->clip);
      }
    }
    c.last_wait = clock_ms();
    c.skip_timer = false;
    return;
  }
  const double last = clock_ms();
  c.last_wait = last;
  // The control tree is walked by the window's own thread only; another thread's wait (the
  // worker's) must not meet it half way through a frame.
  const bool drawing_thread = c.drawing_thread.load() == std::this_thread::get_id();
  if (drawing_thread) draw_tree();
  // Only this thread's own drawing is copied, once at the start: nothing this thread draws can
  // come while it sleeps, and another thread's page may be half drawn (that thread copies it).
  if (screen_drawn_here()) process_pending(true);
  sleep_until_ms(last + ms);
  const double t = clock_ms();
  if (drawing_thread) dispatch_input();
  c.last_wait = (t >= last + 200 || last > t) ? t : last + ms;
  c.skip_timer = false;
}

void set_render_mode(int mode) {
  GraphContext& c = graph_context();
  if (mode == 1) {
    if (c.manual_render) return;
    displayKillTimer(kRefreshTimerId);
    c.timer_stop_request = true;
    displayPostMessage(WM_TIMER, kRefreshTimerId, 0);
    c.manual_render = true;
    // The message thread's timer handler completes the switch; without a window there is no
    // one to wait for.
    while (c.timer_stop_request && !window_gone()) sleepMilliseconds(1);
    if (window_gone()) {
      c.timer_stop_request = false;
      c.skip_timer = true;
    }
    return;
  }
  pace_wait(0);
  displaySetTimer(kRefreshTimerId, 0);
  c.skip_timer = false;
  c.manual_render = false;
}

int key_peek_code(const InputEvent& e) {
  if (e.message == WM_CHAR) return static_cast<int>(e.wparam & 0xFFFF) + kKeyChar;
  if (e.message != WM_KEYDOWN || drops_key_down(e.wparam)) return 0;
  const int code = static_cast<int>(e.wparam & 0xFFFF);
  return (code >= 112 && code <= 127 ? code + 256 : code) + kKeyDown;
}

int key_read_code(const InputEvent& e) {
  const int code = static_cast<int>(e.wparam & 0xFFFF);
  if (e.message == WM_KEYDOWN && ((code >= 33 && code <= 47) || (code >= 112 && code <= 127))) {
    return code + 0x100;
  }
  return code;
}

MouseEvent decode_mouse(const InputEvent& e) {
  MouseEvent m;
  if (e.wparam & MK_SHIFT) m.flags |= kMouseShift;
  if (e.wparam & MK_CONTROL) m.flags |= kMouseControl;
  m.x = static_cast<int16_t>(e.lparam & 0xFFFF);
  m.y = static_cast<int16_t>((e.lparam >> 16) & 0xFFFF);
  m.kind = kMouseMove;
  switch (e.message) {
    case WM_LBUTTONDOWN:
      m.kind = kMouseDown;
      m.flags |= kMouseLeft;
      break;
    case WM_RBUTTONDOWN:
      m.kind = kMouseDown;
      m.flags |= kMouseRight;
      break;
    case WM_MBUTTONDOWN:
      m.kind = kMouseDown;
      m.flags |= kMouseMiddle;
      break;
    case WM_LBUTTONUP:
      m.kind = kMouseUp;
      m.flags |= kMouseLeft;
      break;
    case WM_RBUTTONUP:
      m.kind = kMouseUp;
      m.flags |= kMouseRight;
      break;
    case WM_MBUTTONUP:
      m.kind = kMouseUp;
      m.flags |= kMouseMiddle;
      break;
    case WM_MOUSEWHEEL:
      m.kind = kMouseWheel;
      m.wheel = static_cast<int16_t>((e.wparam >> 16) & 0xFFFF);
      break;
    default:
      break;
  }
  return m;
}

int key_pending() {
  if (graph_context().window_destroyed) return -1;
  return peek_key();
}

int read_key() {
  GraphContext& c = graph_context();
  if (c.window_destroyed) return -1;
  const uint32_t entry = tickCount();
  while (!c.window_destroyed) {
    const int peek = key_pending();
    if (peek < 0) return -1;
    if (peek > 0) {
      InputEvent e;
      bool found = false;
      while (!found && c.key_queue.pop(&e)) {
        found = e.message == WM_CHAR || e.message == WM_KEYDOWN || e.message == WM_KEYUP;
      }
      // Keys made more than a second before the call are stale.
      if (found && static_cast<int32_t>(entry - e.time) < 1000) return key_read_code(e);
      continue;
    }
    if (c.close_requested || c.window_destroyed) return 0;
    // Nothing can arrive without a window.
    if (!c.window) return -1;
    refresh_while_waiting();
    precise_sleep(1);
  }
  return 0;
}

bool mouse_pending() {
  GraphContext& c = graph_context();
  if (c.window_destroyed) return false;
  if (c.mouse_queue.empty() && c.dirty_countdown <= 0) flush_screen();
  if (!c.mouse_queue.pop(nullptr)) return false;
  c.mouse_queue.unpop();
  return true;
}

MouseEvent read_mouse() {
  GraphContext& c = graph_context();
  while (!c.window_destroyed) {
    InputEvent e;
    if (c.mouse_queue.pop(&e)) return decode_mouse(e);
    if (c.close_requested || c.window_destroyed || !c.window) break;
    refresh_while_waiting();
    precise_sleep(1);
  }
  return {};
}

void read_mouse(MouseEvent* out) {
  if (out) *out = read_mouse();
}

}  // namespace gfx
