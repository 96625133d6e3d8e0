// The window procedure of the graphics window and its two input queues (keys, mouse). The
// procedure runs on the window's message thread and is the only writer of the queues; the key and
// mouse readers and the control dispatch read them from other threads.
#pragma once

#include <array>
#include <cstdint>
#include <mutex>

#include "platform/display.h"

namespace gfx {

struct InputEvent {
  uintptr_t window = 0;
  uint32_t message = 0;
  uintptr_t wparam = 0;
  intptr_t lparam = 0;
  uint32_t time = 0;     // tick count in ms when the event was made
  uint32_t buttons = 0;  // buttons held when it was made: left 1, right 2, middle 4
  uint32_t flags = 0;    // kDispatched once the controls have seen it
};

constexpr uint32_t kDispatched = 1;

// A fixed ring of the newest 1024 events: a push into a full queue drops the oldest, so a slow
// reader loses old input instead of holding up the message thread.
class InputQueue {
 public:
  static constexpr size_t kCapacity = 1024;

  void push(const InputEvent& event);
  bool pop(InputEvent* out);
  // Puts the event popped last back in front; fails when the queue is full (its slot has been
  // reused since).
  bool unpop();
  // Calls fn on every stored event, oldest first, without consuming them; fn may change the
  // events' flags.
  template <typename Fn>
  void visit(Fn&& fn) {
    std::lock_guard lock(mu_);
    for (size_t i = 0; i < count_; ++i) fn(slots_[(read_ + i) % kCapacity]);
  }
  void clear();
  size_t size() const;
  bool empty() const { return size() == 0; }
  InputEvent last_read() const;

 private:
  mutable std::mutex mu_;
  std::array<InputEvent, kCapacity> slots_{};
  InputEvent last_{};
  size_t read_ = 0;
  size_t count_ = 0;
};

// Handler of key messages: kind 2 for a character, 1 for a key down of a code up to 255, else 0.
// A zero result keeps the message out of the key queue.
using KeyHandler = int (*)(void* user, int kind, int key);
void set_key_handler(KeyHandler handler, void* user);

// The window procedure. Messages of the graphics window only: this layer's controls draw into
// images and own no native windows, so the control-window messages have no counterpart.
intptr_t window_proc(const platform::WindowMessage& msg);

// What the procedure does with WM_CLOSE when no close handler is installed: the window is
// destroyed (and, with forced exit allowed, the process ends).
void destroy_window();

}  // namespace gfx
