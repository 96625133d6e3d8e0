// Frame pacing and delays, and the blocking readers of the key and mouse queues. The program has
// no drawing loop of this layer: it calls pace_frame once per frame (or pace_wait to wait while
// the window stays fresh), and that call waits out the frame, copies the page to the window and
// hands pending input to the controls.
#pragma once

#include <cstdint>

#include "graphics/input.h"

namespace gfx {

// Seconds since the first call in the process (which returns 0).
double elapsed_seconds();
// Milliseconds of the same clock.
double clock_ms();
// Waits ms milliseconds at nanosecond resolution; nothing for 0 or less.
void precise_sleep(int ms);
// The plain millisecond sleep.
void sleep_ms(uint32_t ms);

// Waits until the next frame time at fps frames per second, flushes a page drawn since the last
// copy (screen_changed) and dispatches. The schedule advances by one frame time per call while it
// is less than ten frames behind, else restarts.
void pace_frame(double fps);
// Waits ms milliseconds while keeping the window fresh: what this thread drew since its last copy
// is flushed at the start (0: flushed at once); another thread's drawing is left to that thread.
void pace_wait(int ms);
// Flushes when force is set or drawing has happened; 1 while the window exists, else 0.
int process_pending(bool force);
// 1 = manual (the page reaches the window only through pacing and flushing), 0 = automatic.
void set_render_mode(int mode);

// Key codes of the peek: a character is its code + 0x40000, a key down its virtual-key code +
// 0x10000 (function keys F1 to F16 as code + 256 + 0x10000).
constexpr int kKeyChar = 0x40000;
constexpr int kKeyDown = 0x10000;

// -1 once the window is destroyed; the code of the first waiting character or non-character key
// down (it stays in the queue); 0 when none waits.
int key_pending();
// Waits for one key and returns the low 16 bits of its code, + 0x100 for key downs of the
// navigation keys (33 to 47) and function keys (112 to 127). Keys made more than a second before
// the call are discarded. -1 if the window is already destroyed (or was never opened and no key
// waits); 0 when it closes while waiting.
int read_key();

constexpr int kMouseDown = 0x10;
constexpr int kMouseUp = 0x20;
constexpr int kMouseMove = 0x40;
constexpr int kMouseWheel = 0x80;
constexpr uint32_t kMouseLeft = 1;
constexpr uint32_t kMouseRight = 2;
constexpr uint32_t kMouseMiddle = 4;
constexpr uint32_t kMouseShift = 0x100;
constexpr uint32_t kMouseControl = 0x200;

struct MouseEvent {
  int x = 0;
  int y = 0;
  int kind = 0;
  uint32_t flags = 0;
  int wheel = 0;
};

// Whether a mouse event waits (it stays in the queue); false once the window is destroyed.
bool mouse_pending();
// Waits for one mouse event; all zero when the window is destroyed or closes while waiting.
MouseEvent read_mouse();
void read_mouse(MouseEvent* out);

// The decoding the readers apply, for one event.
int key_peek_code(const InputEvent& e);  // 0 for an event the peek drops
int key_read_code(const InputEvent& e);
MouseEvent decode_mouse(const InputEvent& e);

// Hands every event not yet dispatched in both queues to the controls (they stay queued, marked
// dispatched), then updates the control tree.
void dispatch_input();

}  // namespace gfx
