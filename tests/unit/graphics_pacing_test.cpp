// Frame pacing, millisecond pacing and the per-thread drawing target, timed on the real clock
// without a window (flushes are counted, not shown). Tolerances allow a loaded machine, but a
// schedule that slips, drifts or waits at the wrong time fails them.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <thread>
#include <vector>

#include "graphics/drawing.h"
#include "graphics/pacing.h"
#include "graphics/window.h"

namespace {

using Clock = std::chrono::steady_clock;

double ms_since(Clock::time_point t0) {
  return std::chrono::duration<double, std::milli>(Clock::now() - t0).count();
}

void work(int ms) {
  std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

class PacingTest : public testing::Test {
 protected:
  void SetUp() override { gfx::graph_context().last_frame = 0; }
};

TEST(ClockTest, ElapsedSecondsStartsAtZeroAndPreciseSleepHoldsItsTime) {
  const double a = gfx::elapsed_seconds();
  EXPECT_GE(a, 0.0);
  const auto t0 = Clock::now();
  gfx::precise_sleep(25);
  const double slept = ms_since(t0);
  EXPECT_GE(slept, 25.0);
  EXPECT_LT(slept, 40.0);
  EXPECT_NEAR((gfx::elapsed_seconds() - a) * 1000, slept, 5.0);
  const auto t1 = Clock::now();
  gfx::precise_sleep(0);
  gfx::precise_sleep(-5);
  EXPECT_LT(ms_since(t1), 2.0);
}

TEST_F(PacingTest, ThirtyFramesASecondWithTenMillisecondsOfWork) {
  gfx::pace_frame(30);  // starts the schedule
  const auto t0 = Clock::now();
  std::vector<double> returns;
  for (int i = 0; i < 30; ++i) {
    work(10);
    gfx::pace_frame(30);
    returns.push_back(ms_since(t0));
  }
  // The k-th frame lands on the schedule, k frame times after the first: no drift.
  EXPECT_NEAR(returns.back(), 30 * 1000.0 / 30, 12.0);
  for (size_t i = 1; i < returns.size(); ++i) {
    EXPECT_NEAR(returns[i] - returns[i - 1], 33.3, 15.0) << "frame " << i;
  }
}

TEST_F(PacingTest, AfterA200MillisecondStallTheScheduleCatchesUp) {
  gfx::pace_frame(30);
  const auto t0 = Clock::now();
  gfx::pace_frame(30);  // frame 1 on the schedule
  work(200);
  // Behind by six frames: the calls return at once until the schedule is caught up...
  const auto t1 = Clock::now();
  gfx::pace_frame(30);
  EXPECT_LT(ms_since(t1), 5.0);
  int quick = 1;
  for (int i = 0; i < 20; ++i) {
    const auto t = Clock::now();
    gfx::pace_frame(30);
    if (ms_since(t) > 10.0) break;
    ++quick;
  }
  EXPECT_GE(quick, 4);
  EXPECT_LE(quick, 7);
  // ...and from then on the frames sit on the grid of the original schedule.
  for (int i = 0; i < 3; ++i) gfx::pace_frame(30);
  const double elapsed = ms_since(t0);
  const double frames = elapsed / (1000.0 / 30);
  EXPECT_NEAR(frames, std::round(frames), 0.25) << elapsed;
}

TEST_F(PacingTest, AfterA500MillisecondStallTheScheduleRestarts) {
  gfx::pace_frame(30);
  gfx::pace_frame(30);
  work(500);
  // Beyond ten frames behind: start afresh and wait one whole frame time.
  auto t = Clock::now();
  gfx::pace_frame(30);
  EXPECT_NEAR(ms_since(t), 33.3, 8.0);
  t = Clock::now();
  gfx::pace_frame(30);
  EXPECT_NEAR(ms_since(t), 33.3, 8.0);
}

TEST(PaceWaitTest, LongWaitFlushesAtItsStartAndEndOnlyAndSleepsTheRest) {
  auto& c = gfx::graph_context();
  c.dirty_countdown = 0;
  const uint64_t before = c.flush_count;
  const auto t0 = Clock::now();
  gfx::pace_wait(200);
  const double took = ms_since(t0);
  EXPECT_GE(took, 200.0);
  EXPECT_LT(took, 230.0);
  EXPECT_EQ(c.flush_count - before, 2u);
}

TEST(PaceWaitTest, ShortWaitFlushesWheneverAnotherThreadDirtiesTheScreen) {
  auto& c = gfx::graph_context();
  c.dirty_countdown = 0;
  const uint64_t before = c.flush_count;
  gfx::pace_wait(20);
  // Flushed at the start (dirty) and at the end; nothing dirtied it in between.
  EXPECT_EQ(c.flush_count - before, 2u);
}

TEST(PaceWaitTest, ZeroWaitOnACleanScreenNeitherSleepsNorFlushes) {
  auto& c = gfx::graph_context();
  c.dirty_countdown = 255;
  const uint64_t before = c.flush_count;
  auto t0 = Clock::now();
  gfx::pace_wait(0);
  EXPECT_LT(ms_since(t0), 1.0);
  EXPECT_EQ(c.flush_count, before);
  c.dirty_countdown = 254;
  gfx::pace_wait(0);
  EXPECT_EQ(c.flush_count - before, 1u);
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
}

}  // namespace
