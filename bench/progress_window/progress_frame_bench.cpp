// One frame of the progress window drawn on the real page, and the pacing of the window loop
// itself over 300 frames (--pacing): interval median and 95th percentile against 33.33 ms.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <vector>

#include "graphics/drawing.h"
#include "graphics/pacing.h"
#include "graphics/window.h"
#include "updater/app_state.h"
#include "updater/progress_window.h"

namespace {

using namespace progress_view;

ProgressView g_view;
const std::string kStatus = "Found a new version 3.11.0, downloading...\n\n";

bool open_window() {
  gfx::set_window_mode(gfx::kModeNoForcedExit, 0, 0);
  if (gfx::initgraph(500, 200, gfx::kModeStartupLogo) != 0) {
    std::fprintf(stderr, "%s\n", gfx::window_failure_text("bench_progress_window").c_str());
    return false;
  }
  gfx::set_bk_mode(1);
  gfx::set_bk_color(0xEBEBEC);
  init_progress_view(g_view);
  app_state::appState().statusLine.set(kStatus.c_str());
  g_view.percentage = 57;
  std::snprintf(g_view.percentText.data(), g_view.percentText.size(), "%d%%", g_view.percentage);
  return true;
}

// What the loop does between two pacing calls: clear the page and draw the frame.
void BM_DrawProgressFrame(benchmark::State& state) {
  for (auto _ : state) {
    gfx::clear_page();
    draw_progress_frame(g_view, kStatus);
    benchmark::ClobberMemory();
  }
}
BENCHMARK(BM_DrawProgressFrame)->Unit(benchmark::kMicrosecond);

// The loop of the window with its own pacing; the bar grows for the first 99 frames, so changed
// and unchanged frames are both in the sample.
int measure_pacing(int frames) {
  using clock = std::chrono::steady_clock;
  std::vector<double> intervals;
  intervals.reserve(frames);
  g_view.percentage = 0;
  app_state::appState().updateState = app_state::UPDATE_PENDING;
  gfx::pace_frame(30);
  auto last = clock::now();
  for (int i = 0; i < frames && gfx::window_alive(); ++i) {
    g_view.percentage =
        advanceProgress(g_view.percentage, app_state::appState().updateState, 0.0f, 1.0f);
    std::snprintf(g_view.percentText.data(), g_view.percentText.size(), "%d%%", g_view.percentage);
    gfx::clear_page();
    draw_progress_frame(g_view, kStatus);
    gfx::pace_frame(30);
    auto now = clock::now();
    intervals.push_back(std::chrono::duration<double, std::milli>(now - last).count());
    last = now;
  }
  constexpr double kTarget = 1000.0 / 30;
  std::vector<double> deviations;
  for (double v : intervals) deviations.push_back(std::abs(v - kTarget));
  std::sort(intervals.begin(), intervals.end());
  std::sort(deviations.begin(), deviations.end());
  auto at = [](const std::vector<double>& v, double q) {
    return v[std::min(v.size() - 1, static_cast<size_t>(q * static_cast<double>(v.size())))];
  };
  std::printf(
      "pacing over %zu frames (target %.3f ms): median %.3f ms, 95%% of intervals within "
      "%.3f ms of the target, min %.3f ms, max %.3f ms\n",
      intervals.size(), kTarget, at(intervals, 0.5), at(deviations, 0.95), intervals.front(),
      intervals.back());
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc > 1 && (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0)) {
    std::printf(
        "usage: bench_progress_window [--pacing [FRAMES]] [benchmark options]\n"
        "Opens the 500 x 200 progress window on $DISPLAY and measures one drawn frame, or with\n"
        "--pacing the intervals of FRAMES (default 300) frames of the window loop.\n");
    return 0;
  }
  if (!open_window()) return 2;
  if (argc > 1 && std::strcmp(argv[1], "--pacing") == 0)
    return measure_pacing(argc > 2 ? std::atoi(argv[2]) : 300);
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
