// Millisecond pacing and the per-thread drawing target without a window: flushes are counted,
// not shown. How well the schedules hold time is measured in bench/, not asserted here.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "graphics/drawing.h"
#include "graphics/pacing.h"
#include "graphics/window.h"

namespace {

// How often a wait copies the page: once for a page this thread drew since its last copy (then it
// sleeps), never for a clean one, and never for another thread's drawing, which may be half done
// (that thread copies it itself).
TEST(PaceWaitTest, FlushesOnlyWhatThisThreadDrewSinceItsLastCopy) {
  enum Drawer { kNobody, kThisThread, kAnotherThread };
  const struct {
    int ms;
    Drawer drawer;
    uint64_t flushes;
  } cases[] = {
      {200, kThisThread, 1}, {0, kThisThread, 1},      {200, kNobody, 0},
      {0, kNobody, 0},       {200, kAnotherThread, 0}, {0, kAnotherThread, 0},
  };
  auto& c = gfx::graph_context();
  c.width = 40;
  c.height = 20;
  gfx::set_active_page(0);
  auto draw = [] { gfx::fill_box(0, 0, 4, 4); };
  for (const auto& k : cases) {
    gfx::flush_screen();  // a clean page
    if (k.drawer == kThisThread) draw();
    if (k.drawer == kAnotherThread) std::thread(draw).join();
    const uint64_t before = c.flush_count;
    gfx::pace_wait(k.ms);
    EXPECT_EQ(c.flush_count - before, k.flushes) << k.ms << " ms, drawer " << k.drawer;
  }
}

TEST(DrawingTargetTest, AnotherThreadsTargetDoesNotRedirectThisThreadsDrawing) {
  auto& c = gfx::graph_context();
  c.width = 40;
  c.height = 20;
  gfx::set_active_page(0);
  gfx::IMAGE* page = gfx::get_target();
  ASSERT_NE(page, nullptr);
  gfx::IMAGE control(8, 8);

  std::atomic<bool> worker_set{false}, main_drew{false};
  std::thread worker([&] {
    gfx::set_target(&control);
    worker_set = true;
    while (!main_drew) std::this_thread::yield();
    gfx::set_fill_color(0x00FF00);
    gfx::fill_box(0, 0, 8, 8);  // lands on the control image
    gfx::set_target(nullptr);
    gfx::flush_screen();  // a copy that may begin before the other thread's drawing has ended
  });
  while (!worker_set) std::this_thread::yield();
  EXPECT_EQ(gfx::get_target(), page);
  gfx::set_fill_color(0xFF0000);
  const int dirty = c.dirty_countdown;
  gfx::fill_box(0, 0, 40, 20);  // the screen page, not the worker's control
  EXPECT_LT(c.dirty_countdown, dirty);
  main_drew = true;
  worker.join();
  EXPECT_EQ(gfx::get_pixel(5, 5, page), 0xFF0000u);
  EXPECT_EQ(gfx::get_pixel(5, 5, &control), 0x00FF00u);
  EXPECT_EQ(gfx::get_pixel(39, 19, page), 0xFF0000u);
  EXPECT_TRUE(gfx::screen_changed()) << "only this thread's own copy settles its drawing";
}

}  // namespace
