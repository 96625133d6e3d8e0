// The input queue and the dispatch of queued events to the controls (the key readers are driven
// through a real window with xdotool in e2e/). No window is needed: messages go straight into the
// procedure.
#include <gtest/gtest.h>

#include <vector>

#include "graphics/control_seam.h"
#include "graphics/input.h"
#include "graphics/pacing.h"
#include "graphics/window.h"
#include "platform/clock.h"
#include "platform/display.h"

namespace {

using gfx::InputEvent;
using gfx::InputQueue;
using namespace platform;

intptr_t point(int x, int y) {
  return static_cast<intptr_t>(static_cast<uint32_t>(y & 0xFFFF) << 16 |
                               static_cast<uint32_t>(x & 0xFFFF));
}

void send(uint32_t message, uintptr_t wparam, intptr_t lparam = 0) {
  gfx::window_proc({message, wparam, lparam, tickCount()});
}

TEST(InputQueueTest, KeepsTheNewest1024AndDropsTheOldest) {
  InputQueue q;
  for (uint32_t i = 1; i <= 1025; ++i) q.push({0, WM_CHAR, i});
  EXPECT_EQ(q.size(), 1024u);
  InputEvent e;
  ASSERT_TRUE(q.pop(&e));
  EXPECT_EQ(e.wparam, 2u);  // event 1 was pushed out
  // After wrapping, the order is still oldest first to the newest.
  uint32_t expect = 3;
  while (q.pop(&e)) EXPECT_EQ(e.wparam, expect++);
  EXPECT_EQ(expect, 1026u);
}

// Dispatch hands each event to the controls once, translated as the control tree expects.
std::vector<int>* g_calls = nullptr;
void record_key(int kind, int key, int flags) {
  g_calls->push_back(0x1000000 | kind << 16 | key | flags);
}
void record_mouse(int x, int y, int flags) {
  g_calls->push_back(0x2000000 | flags << 16 | (x & 0xFF) << 8 | (y & 0xFF));
}
int g_updates = 0;
void count_update() {
  ++g_updates;
}

TEST(WindowProcTest, DispatchPassesEachEventOnceAndLeavesItQueued) {
  auto& c = gfx::graph_context();
  c.key_queue.clear();
  c.mouse_queue.clear();
  c.up_x = c.up_y = -1;
  std::vector<int> calls;
  g_calls = &calls;
  g_updates = 0;
  gfx::ControlHooks hooks;
  hooks.key = &record_key;
  hooks.mouse = &record_mouse;
  hooks.update = &count_update;
  gfx::set_control_hooks(hooks);

  send(WM_KEYDOWN, 'Q');
  send(WM_CHAR, 'q');
  send(WM_LBUTTONDOWN, MK_LBUTTON, point(3, 4));
  send(WM_MOUSEMOVE, MK_LBUTTON, point(5, 6));   // left held: move flags 0x41
  send(WM_MOUSEWHEEL, 120u << 16, point(5, 6));  // the wheel does not reach controls
  gfx::dispatch_input();
  send(WM_LBUTTONUP, 0, point(5, 7));
  gfx::dispatch_input();
  gfx::set_control_hooks({});

  EXPECT_EQ(calls,
            (std::vector<int>{0x1000000 | 'Q', 0x1020000 | 'q', 0x2110304, 0x2410506, 0x2210507}));
  EXPECT_EQ(g_updates, 2);
  EXPECT_EQ(c.key_queue.size(), 2u);
  EXPECT_EQ(c.mouse_queue.size(), 4u);
}

}  // namespace
