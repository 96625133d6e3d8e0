// flush_screen of the 500 x 200 page and the display thread's wake-up, on a real window.
// Changed-only presenting (the default) against handing over every frame.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <thread>

#include "graphics/drawing.h"
#include "graphics/pacing.h"
#include "graphics/window.h"
#include "platform/display.h"

namespace {

void wait_until_shown() {
  while (platform::displayPresentStats().pending) std::this_thread::yield();
}

void prepare_page() {
  gfx::set_bk_color(0x151515);
  gfx::clear_page();
  gfx::set_fill_color(0x272727);
  gfx::fill_box(30, 120, 430, 150);
  gfx::flush_screen();
  wait_until_shown();
}

// An unchanged page: the compare finds the frame equal and nothing goes to the display thread.
void BM_FlushUnchanged(benchmark::State& state) {
  platform::displaySetPresentChangedOnly(true);
  prepare_page();
  for (auto _ : state) benchmark::DoNotOptimize(gfx::flush_screen());
  wait_until_shown();
}
BENCHMARK(BM_FlushUnchanged);

// The peer: every frame is copied and handed over, changed or not (the caller's cost only).
void BM_FlushUnchangedEveryFrame(benchmark::State& state) {
  platform::displaySetPresentChangedOnly(false);
  prepare_page();
  for (auto _ : state) {
    benchmark::DoNotOptimize(gfx::flush_screen());
    wait_until_shown();  // one frame at a time, as pacing hands them
  }
  platform::displaySetPresentChangedOnly(true);
}
BENCHMARK(BM_FlushUnchangedEveryFrame)->UseRealTime();

// A changed page: compare, copy into the front buffer, wake the display thread (caller's cost).
void BM_FlushChanged(benchmark::State& state) {
  platform::displaySetPresentChangedOnly(true);
  prepare_page();
  uint32_t* p = gfx::screen_page()->pixels();
  uint32_t n = 0;
  for (auto _ : state) {
    p[100 * 500 + 250] = ++n;
    benchmark::DoNotOptimize(gfx::flush_screen());
    state.PauseTiming();
    wait_until_shown();
    state.ResumeTiming();
  }
}
BENCHMARK(BM_FlushChanged);

// From the hand-over to the frame on the screen: the display thread's wake-up, the copy into
// the window surface and its put to the X server.
void BM_WakeUpToShown(benchmark::State& state) {
  platform::displaySetPresentChangedOnly(true);
  prepare_page();
  uint32_t* p = gfx::screen_page()->pixels();
  uint32_t n = 0;
  for (auto _ : state) {
    p[100 * 500 + 250] = ++n;
    gfx::flush_screen();
    wait_until_shown();
  }
}
BENCHMARK(BM_WakeUpToShown)->UseRealTime();

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  gfx::set_window_mode(gfx::kModeNoForcedExit, 0, 0);
  if (gfx::initgraph(500, 200, 0) != 0) {
    std::fprintf(stderr, "%s\n", gfx::window_failure_text("bench_graphics_window").c_str());
    return 2;
  }
  gfx::set_window_title("Kelvora window bench");
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
