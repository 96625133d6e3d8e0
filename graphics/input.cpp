#include "graphics/input.h"

#include <cstdio>
#include <cstdlib>

#include "graphics/window.h"
#include "platform/clock.h"

namespace gfx {

using namespace platform;

void InputQueue::push(const InputEvent& event) {
  std::lock_guard lock(mu_);
  slots_[(read_ + count_) % kCapacity] = event;
  if (count_ == kCapacity) {
    read_ = (read_ + 1) % kCapacity;  // the oldest is dropped
  } else {
    ++count_;
  }
}

bool InputQueue::pop(InputEvent* out) {
  std::lock_guard lock(mu_);
  if (count_ == 0) return false;
  last_ = slots_[read_];
  if (out) *out = last_;
  read_ = (read_ + 1) % kCapacity;
  --count_;
  return true;
}

bool InputQueue::unpop() {
  std::lock_guard lock(mu_);
  if (count_ == kCapacity) return false;
  read_ = (read_ + kCapacity - 1) % kCapacity;
  ++count_;
  return true;
}

void InputQueue::clear() {
  std::lock_guard lock(mu_);
  read_ = count_ = 0;
}

size_t InputQueue::size() const {
  std::lock_guard lock(mu_);
  return count_;
}

InputEvent InputQueue::last_read() const {
  std::lock_guard lock(mu_);
  return last_;
}

void set_key_handler(KeyHandler handler, void* user) {
  GraphContext& c = graph_context();
  c.key_user = user;
  c.key_handler = handler;
}

namespace {

int low_word(intptr_t v) {
  return static_cast<int16_t>(static_cast<uint16_t>(v & 0xFFFF));
}
int high_word(intptr_t v) {
  return static_cast<int16_t>(static_cast<uint16_t>((v >> 16) & 0xFFFF));
}

uint32_t held_buttons(const GraphContext& c) {
  return (c.left_held ? 1u : 0u) | (c.right_held ? 2u : 0u) | (c.middle_held ? 4u : 0u);
}

void push_mouse(GraphContext& c, const WindowMessage& msg) {
  c.mouse_queue.push(
      {c.window, msg.message, msg.wparam, msg.lparam, tickCount(), held_buttons(c), 0});
}

void refresh_timer() {
  GraphContext& c = graph_context();
  // During a pacing call that call copies the page itself.
  if (!c.skip_timer && c.dirty_countdown <= 0) {
    c.dirty_countdown = 255;
    repaint();
  }
  if (c.timer_stop_request) {
    // Completes the switch to manual rendering: from now on only pacing refreshes.
    c.skip_timer = true;
    c.timer_stop_request = false;
    return;
  }
  // The timer runs only while a page waits to be copied. Drawing that runs the countdown out
  // between the check and the kill starts a timer the kill removes, hence the second look.
  if (c.dirty_countdown > 0) {
    displayKillTimer(kRefreshTimerId);
    if (c.dirty_countdown <= 0 && !c.manual_render) {
      displaySetTimer(kRefreshTimerId, kRefreshPeriodMs);
    }
  }
}

void button_down(GraphContext& c, const WindowMessage& msg, uint32_t vk, std::atomic<int>& held) {
  c.down_x = low_word(msg.lparam);
  c.down_y = high_word(msg.lparam);
  c.key_state[vk] = 1;
  displayCaptureMouse(true);
  held = 1;
  push_mouse(c, msg);
}

void button_up(GraphContext& c, const WindowMessage& msg, uint32_t vk, std::atomic<int>& held) {
  c.up_x = low_word(msg.lparam);
  c.up_y = high_word(msg.lparam);
  held = 0;
  c.key_state[vk] = 0;
  if (!c.left_held && !c.middle_held && !c.right_held) displayCaptureMouse(false);
  push_mouse(c, msg);
}

}  // namespace

void destroy_window() {
  window_proc({WM_DESTROY, 0, 0, tickCount()});
}

intptr_t window_proc(const WindowMessage& msg) {
  GraphContext& c = graph_context();
  switch (msg.message) {
    case WM_DESTROY:
      c.window_destroyed = 1;
      if (c.loop_started && c.forced_exit) {
        // Closing the window ends the program, as the window system's forced exit would.
        std::fflush(nullptr);
        std::_Exit(0);
      }
      return 0;
    case WM_PAINT:
      // The display layer has put the last frame handed over back; drawing newer than that is
      // copied by the thread that drew it (this thread never reads a page another may be drawing).
      c.dirty_countdown.fetch_sub(1);
      return 0;
    case WM_CLOSE:
      if (c.close_handler) {
        c.close_handler();
        return 0;
      }
      destroy_window();
      return 0;
    case WM_ERASEBKGND:
      return 1;
    case WM_SETCURSOR: {
      // lparam carries the pointer's client position. Left and top inclusive, right exclusive,
      // bottom inclusive, as the window system's client test is.
      const int x = low_word(msg.lparam), y = high_word(msg.lparam);
      const bool inside = x >= 0 && x < c.width && y >= 0 && y <= c.height;
      displayShowCursor(c.cursor_shown || !inside);
      return 1;
    }
    case WM_KEYDOWN:
    case WM_KEYUP:
    case WM_CHAR: {
      const uintptr_t code = msg.wparam;
      if (msg.message == WM_KEYDOWN && code <= 255) c.key_state[code] = 1;
      if (msg.message == WM_KEYUP && code < 256) c.key_state[code] = 0;
      if (c.key_handler) {
        const int kind = msg.message == WM_CHAR ? 2 : (msg.message == WM_KEYDOWN && code <= 255);
        if (c.key_handler(c.key_user, kind, static_cast<int>(code)) == 0) return 0;
      }
      c.key_queue.push({c.window, msg.message, msg.wparam, msg.lparam, tickCount(), 0, 0});
      return 0;
    }
    case WM_TIMER:
      if (msg.wparam == kRefreshTimerId) refresh_timer();
      return 0;
    case WM_MOUSEMOVE:
      c.mouse_x = low_word(msg.lparam);
      c.mouse_y = high_word(msg.lparam);
      // A move to where the button just went up repeats what the button-up said.
      if (c.mouse_x != c.up_x || c.mouse_y != c.up_y) push_mouse(c, msg);
      return 0;
    case WM_LBUTTONDOWN:
    case WM_LBUTTONDBLCLK:
      button_down(c, msg, VK_LBUTTON, c.left_held);
      return 0;
    case WM_RBUTTONDOWN:
    case WM_RBUTTONDBLCLK:
      button_down(c, msg, VK_RBUTTON, c.right_held);
      return 0;
    case WM_MBUTTONDOWN:
    case WM_MBUTTONDBLCLK:
      button_down(c, msg, VK_MBUTTON, c.middle_held);
      return 0;
    case WM_LBUTTONUP:
      button_up(c, msg, VK_LBUTTON, c.left_held);
      return 0;
    case WM_RBUTTONUP:
      button_up(c, msg, VK_RBUTTON, c.right_held);
      return 0;
    case WM_MBUTTONUP:
      button_up(c, msg, VK_MBUTTON, c.middle_held);
      return 0;
    case WM_MOUSEWHEEL: {
      // The wheel message comes in screen coordinates; the queue holds client ones.
      int wx = 0, wy = 0;
      displayGetPosition(&wx, &wy);
      const int x = low_word(msg.lparam) - wx, y = high_word(msg.lparam) - wy;
      c.mouse_x = x;
      c.mouse_y = y;
      WindowMessage client = msg;
      client.lparam = static_cast<intptr_t>(static_cast<uint32_t>(y & 0xFFFF) << 16 |
                                            static_cast<uint32_t>(x & 0xFFFF));
      push_mouse(c, client);
      return 0;
    }
    case WM_IME_CONTROL:
      if (msg.wparam == 16) displaySetImeRect(low_word(msg.lparam), high_word(msg.lparam), 0, 0);
      return 0;
    default:
      return 0;
  }
}

}  // namespace gfx
