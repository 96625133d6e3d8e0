// The input queues, the window procedure's handling of key and mouse messages, and the key and
// mouse readers' decoding. No window is needed: messages go straight into the procedure.
#include <gtest/gtest.h>

#include <thread>
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

InputEvent numbered(uint32_t n) {
  InputEvent e;
  e.message = WM_CHAR;
  e.wparam = n;
  return e;
}

intptr_t point(int x, int y) {
  return static_cast<intptr_t>(static_cast<uint32_t>(y & 0xFFFF) << 16 |
                               static_cast<uint32_t>(x & 0xFFFF));
}

void send(uint32_t message, uintptr_t wparam, intptr_t lparam = 0) {
  gfx::window_proc({message, wparam, lparam, tickCount()});
}

// Each test starts from empty queues and no handlers.
class WindowProcTest : public testing::Test {
 protected:
  void SetUp() override {
    auto& c = gfx::graph_context();
    c.key_queue.clear();
    c.mouse_queue.clear();
    c.up_x = c.up_y = -1;
    gfx::set_key_handler(nullptr, nullptr);
  }
};

TEST(InputQueueTest, KeepsTheNewest1024AndDropsTheOldest) {
  InputQueue q;
  for (uint32_t i = 1; i <= 1025; ++i) q.push(numbered(i));
  EXPECT_EQ(q.size(), 1024u);
  InputEvent e;
  ASSERT_TRUE(q.pop(&e));
  EXPECT_EQ(e.wparam, 2u);  // event 1 was pushed out
  // After wrapping, the order is still oldest first to the newest.
  uint32_t expect = 3;
  while (q.pop(&e)) EXPECT_EQ(e.wparam, expect++);
  EXPECT_EQ(expect, 1026u);
  EXPECT_FALSE(q.pop(&e));
}

TEST(InputQueueTest, UnpopPutsTheLastEventBackUnlessItsSlotWasReused) {
  InputQueue q;
  q.push(numbered(7));
  q.push(numbered(8));
  InputEvent e;
  ASSERT_TRUE(q.pop(&e));
  ASSERT_TRUE(q.unpop());
  ASSERT_TRUE(q.pop(&e));
  EXPECT_EQ(e.wparam, 7u);
  EXPECT_EQ(q.last_read().wparam, 7u);

  // Fill the queue after a pop: the popped event's slot now holds a new one.
  InputQueue full;
  for (uint32_t i = 0; i < 1024; ++i) full.push(numbered(i));
  ASSERT_TRUE(full.pop(&e));
  full.push(numbered(5000));
  EXPECT_FALSE(full.unpop());
  ASSERT_TRUE(full.pop(&e));
  EXPECT_EQ(e.wparam, 1u);
}

TEST(InputQueueTest, VisitSeesEveryStoredEventAcrossTheWrapAndMayMarkThem) {
  InputQueue q;
  for (uint32_t i = 0; i < 1030; ++i) q.push(numbered(i));
  std::vector<uintptr_t> seen;
  q.visit([&](InputEvent& e) {
    seen.push_back(e.wparam);
    e.flags |= gfx::kDispatched;
  });
  ASSERT_EQ(seen.size(), 1024u);
  EXPECT_EQ(seen.front(), 6u);
  EXPECT_EQ(seen.back(), 1029u);
  InputEvent e;
  ASSERT_TRUE(q.pop(&e));
  EXPECT_EQ(e.flags & gfx::kDispatched, gfx::kDispatched);
}

TEST(InputQueueTest, ConcurrentPushAndPopLoseNothingBelowCapacity) {
  InputQueue q;
  constexpr uint32_t kCount = 20000;
  std::thread producer([&] {
    for (uint32_t i = 0; i < kCount; ++i) {
      while (q.size() >= 1000) std::this_thread::yield();
      q.push(numbered(i));
    }
  });
  uint32_t next = 0;
  InputEvent e;
  while (next < kCount) {
    if (q.pop(&e)) {
      ASSERT_EQ(e.wparam, next);
      ++next;
    }
  }
  producer.join();
}

TEST_F(WindowProcTest, KeyMessagesFillTheKeyQueueAndTheKeyStateTable) {
  auto& c = gfx::graph_context();
  send(WM_KEYDOWN, 'A');
  EXPECT_EQ(c.key_state['A'], 1);
  send(WM_CHAR, 'a');
  send(WM_KEYUP, 'A');
  EXPECT_EQ(c.key_state['A'], 0);
  ASSERT_EQ(c.key_queue.size(), 3u);
  InputEvent e;
  c.key_queue.pop(&e);
  EXPECT_EQ(e.message, WM_KEYDOWN);
  EXPECT_EQ(e.buttons, 0u);
  EXPECT_TRUE(c.mouse_queue.empty());
}

int only_chars(void* user, int kind, int key) {
  static_cast<std::vector<int>*>(user)->push_back(kind << 16 | key);
  return kind == 2;
}

TEST_F(WindowProcTest, AKeyHandlerThatReturnsZeroKeepsTheKeyOut) {
  std::vector<int> calls;
  gfx::set_key_handler(&only_chars, &calls);
  send(WM_KEYDOWN, 'B');
  send(WM_CHAR, 'b');
  send(WM_KEYUP, 'B');
  send(WM_KEYDOWN, 300);  // beyond the key table: kind 0
  EXPECT_EQ(calls, (std::vector<int>{1 << 16 | 'B', 2 << 16 | 'b', 'B', 300}));
  auto& q = gfx::graph_context().key_queue;
  ASSERT_EQ(q.size(), 1u);
  InputEvent e;
  q.pop(&e);
  EXPECT_EQ(e.message, WM_CHAR);
}

TEST_F(WindowProcTest, MouseMessagesTrackButtonsAndPositions) {
  auto& c = gfx::graph_context();
  send(WM_MOUSEMOVE, 0, point(10, 20));
  EXPECT_EQ(c.mouse_x, 10);
  EXPECT_EQ(c.mouse_y, 20);
  send(WM_LBUTTONDOWN, MK_LBUTTON, point(11, 21));
  EXPECT_EQ(c.left_held, 1);
  EXPECT_EQ(c.key_state[VK_LBUTTON], 1);
  send(WM_RBUTTONDOWN, MK_LBUTTON | MK_RBUTTON, point(11, 21));
  send(WM_LBUTTONUP, MK_RBUTTON, point(12, 22));
  EXPECT_EQ(c.left_held, 0);
  EXPECT_EQ(c.key_state[VK_LBUTTON], 0);
  // A move to exactly where the button went up is not queued; one pixel off is.
  send(WM_MOUSEMOVE, MK_RBUTTON, point(12, 22));
  send(WM_MOUSEMOVE, MK_RBUTTON, point(13, 22));
  send(WM_RBUTTONUP, 0, point(13, 22));

  std::vector<InputEvent> events;
  InputEvent e;
  while (c.mouse_queue.pop(&e)) events.push_back(e);
  ASSERT_EQ(events.size(), 6u);
  EXPECT_EQ(events[0].buttons, 0u);
  EXPECT_EQ(events[1].buttons, 1u);            // left down: left held
  EXPECT_EQ(events[2].buttons, 3u);            // right down: both held
  EXPECT_EQ(events[3].buttons, 2u);            // left up: right still held
  EXPECT_EQ(events[4].lparam, point(13, 22));  // the move at (12, 22) was skipped
  EXPECT_EQ(events[5].message, WM_RBUTTONUP);
  EXPECT_TRUE(c.key_queue.empty());
}

TEST(KeyCodeTest, PeekCodes) {
  auto code = [](uint32_t message, uintptr_t wparam) {
    InputEvent e;
    e.message = message;
    e.wparam = wparam;
    return gfx::key_peek_code(e);
  };
  EXPECT_EQ(code(WM_CHAR, 'a'), 0x40061);
  EXPECT_EQ(code(WM_CHAR, 0x4E2D), 0x40000 + 0x4E2D);
  EXPECT_EQ(code(WM_KEYDOWN, VK_F1), 0x10170);
  EXPECT_EQ(code(WM_KEYDOWN, 127), 0x10000 + 127 + 256);
  EXPECT_EQ(code(WM_KEYDOWN, 128), 0x10000 + 128);
  EXPECT_EQ(code(WM_KEYDOWN, VK_LEFT), 0x10025);
  // Key downs that also give a character are left to the character.
  for (uintptr_t k : {0u, 13u, 32u, 48u, 65u, 111u, 186u, 222u}) EXPECT_EQ(code(WM_KEYDOWN, k), 0);
  EXPECT_EQ(code(WM_KEYDOWN, 33), 0x10021);
  EXPECT_EQ(code(WM_KEYDOWN, 223), 0x10000 + 223);
  EXPECT_EQ(code(WM_KEYUP, VK_F1), 0);
}

TEST(KeyCodeTest, ReadCodesAddTheNavigationAndFunctionKeyMark) {
  auto code = [](uint32_t message, uintptr_t wparam) {
    InputEvent e;
    e.message = message;
    e.wparam = wparam;
    return gfx::key_read_code(e);
  };
  EXPECT_EQ(code(WM_CHAR, 'a'), 0x61);
  EXPECT_EQ(code(WM_CHAR, 0x1F600 & 0xFFFF), 0xF600);
  EXPECT_EQ(code(WM_KEYDOWN, VK_F1), 0x170);
  EXPECT_EQ(code(WM_KEYDOWN, 33), 0x121);
  EXPECT_EQ(code(WM_KEYDOWN, 47), 0x12F);
  EXPECT_EQ(code(WM_KEYDOWN, 48), 48);
  EXPECT_EQ(code(WM_KEYDOWN, 128), 128);
  EXPECT_EQ(code(WM_KEYUP, VK_F1), VK_F1);
}

TEST_F(WindowProcTest, TypingAGivesItsCharacterAndFunctionKeysTheirMarkedCode) {
  // The key down of 'A' (code 65) is dropped by the peek; the character stays queued.
  send(WM_KEYDOWN, 'A');
  send(WM_CHAR, 'a');
  send(WM_KEYUP, 'A');
  send(WM_KEYDOWN, VK_F1);
  EXPECT_EQ(gfx::key_pending(), 0x40061);
  EXPECT_EQ(gfx::key_pending(), 0x40061);  // a peek does not consume
  EXPECT_EQ(gfx::read_key(), 0x61);
  EXPECT_EQ(gfx::key_pending(), 0x10170);  // the key up of 'A' was dropped on the way
  EXPECT_EQ(gfx::read_key(), 0x170);
  EXPECT_EQ(gfx::key_pending(), 0);
}

TEST_F(WindowProcTest, AKeyOlderThanASecondIsDiscarded) {
  auto& q = gfx::graph_context().key_queue;
  InputEvent stale;
  stale.message = WM_CHAR;
  stale.wparam = 'x';
  stale.time = tickCount() - 1500;
  q.push(stale);
  InputEvent fresh = stale;
  fresh.wparam = 'y';
  fresh.time = tickCount() - 500;
  q.push(fresh);
  EXPECT_EQ(gfx::read_key(), 'y');
  // With nothing queued and no window, nothing can ever arrive: no wait.
  EXPECT_EQ(gfx::read_key(), -1);
}

TEST(MouseDecodeTest, KindsFlagsAndCoordinates) {
  auto decode = [](uint32_t message, uintptr_t wparam, intptr_t lparam) {
    InputEvent e;
    e.message = message;
    e.wparam = wparam;
    e.lparam = lparam;
    return gfx::decode_mouse(e);
  };
  auto m = decode(WM_LBUTTONDOWN, MK_LBUTTON | MK_SHIFT, point(-3, 70));
  EXPECT_EQ(m.kind, 0x10);
  EXPECT_EQ(m.flags, 0x101u);
  EXPECT_EQ(m.x, -3);
  EXPECT_EQ(m.y, 70);
  m = decode(WM_RBUTTONUP, MK_CONTROL, point(5, -1));
  EXPECT_EQ(m.kind, 0x20);
  EXPECT_EQ(m.flags, 0x202u);
  EXPECT_EQ(m.y, -1);
  EXPECT_EQ(decode(WM_MBUTTONDOWN, MK_MBUTTON, 0).flags, 4u);
  // Moves and double clicks carry no button flag.
  m = decode(WM_MOUSEMOVE, MK_LBUTTON | MK_RBUTTON, point(1, 2));
  EXPECT_EQ(m.kind, 0x40);
  EXPECT_EQ(m.flags, 0u);
  EXPECT_EQ(decode(WM_LBUTTONDBLCLK, MK_LBUTTON, 0).kind, 0x40);
  // One notch forward and one back.
  m = decode(WM_MOUSEWHEEL, static_cast<uintptr_t>(120) << 16, point(40, 50));
  EXPECT_EQ(m.kind, 0x80);
  EXPECT_EQ(m.wheel, 120);
  EXPECT_EQ(m.x, 40);
  m = decode(WM_MOUSEWHEEL, static_cast<uintptr_t>(static_cast<uint16_t>(-120)) << 16 | MK_SHIFT,
             0);
  EXPECT_EQ(m.wheel, -120);
  EXPECT_EQ(m.flags, 0x100u);
}

TEST_F(WindowProcTest, ReadMouseReturnsQueuedEventsInOrderThenZeroWithoutAWindow) {
  send(WM_LBUTTONDOWN, MK_LBUTTON, point(100, 50));
  send(WM_LBUTTONUP, 0, point(100, 50));
  EXPECT_TRUE(gfx::mouse_pending());
  auto down = gfx::read_mouse();
  EXPECT_EQ(down.kind, 0x10);
  EXPECT_EQ(down.flags, 1u);
  EXPECT_EQ(down.x, 100);
  gfx::MouseEvent up;
  gfx::read_mouse(&up);
  EXPECT_EQ(up.kind, 0x20);
  EXPECT_FALSE(gfx::mouse_pending());
  auto none = gfx::read_mouse();
  EXPECT_EQ(none.kind, 0);
  EXPECT_EQ(none.x, 0);
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

TEST_F(WindowProcTest, DispatchPassesEachEventOnceAndLeavesItQueued) {
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
  auto& c = gfx::graph_context();
  EXPECT_EQ(c.key_queue.size(), 2u);
  EXPECT_EQ(c.mouse_queue.size(), 4u);
}

TEST(WindowFailureTest, WithoutADisplayInitgraphFailsAndSaysWhy) {
  unsetenv("DISPLAY");
  unsetenv("WAYLAND_DISPLAY");
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(gfx::initgraph(500, 200, 0x10), -1);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
  EXPECT_FALSE(gfx::initgraph_failure().empty());
  const std::string text = gfx::window_failure_text("Update.exe");
  EXPECT_EQ(text, "Update.exe: cannot open the window: " + gfx::initgraph_failure());
  // Nothing is left that pretends to be a window.
  EXPECT_EQ(gfx::window_handle(), 0u);
  EXPECT_EQ(gfx::flush_screen(), 20);
  EXPECT_EQ(gfx::process_pending(true), 0);
  int w = 0, h = 0;
  EXPECT_FALSE(gfx::screen_size(&w, &h));
}

}  // namespace
