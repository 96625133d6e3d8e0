// How closely the pacing calls hold time on this machine, as figures: pace_frame at 30 and 60
// frames per second with 10 ms of work a frame, the schedule after a 200 ms and a 500 ms stall,
// and the length of pace_wait(200). No window is opened: the schedules are the clock's alone.
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <thread>
#include <vector>

#include "graphics/pacing.h"

namespace {

using Clock = std::chrono::steady_clock;

double ms_since(Clock::time_point t) {
  return std::chrono::duration<double, std::milli>(Clock::now() - t).count();
}

void work(int ms) {
  std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

double at(std::vector<double> v, double q) {
  std::sort(v.begin(), v.end());
  return v[std::min(v.size() - 1, static_cast<size_t>(q * static_cast<double>(v.size())))];
}

void frames_held(double fps, int frames) {
  const double frame = 1000.0 / fps;
  gfx::pace_frame(fps);  // starts the schedule
  const auto start = Clock::now();
  std::vector<double> intervals, deviations;
  double last = 0;
  for (int i = 0; i < frames; ++i) {
    work(10);
    gfx::pace_frame(fps);
    const double now = ms_since(start);
    intervals.push_back(now - last);
    deviations.push_back(std::abs(now - last - frame));
    last = now;
  }
  std::printf(
      "pace_frame(%g), 10 ms work: %.2f frames/s over %d frames; interval median %.2f ms, 95%% "
      "within %.2f ms of %.2f; last frame %+.2f ms off its schedule\n",
      fps, frames * 1000.0 / last, frames, at(intervals, 0.5), at(deviations, 0.95), frame,
      last - frames * frame);
}

void after_stall(int stall_ms) {
  const double frame = 1000.0 / 30;
  gfx::pace_frame(30);
  gfx::pace_frame(30);
  const auto start = Clock::now();
  work(stall_ms);
  // Frames that return at once catch the schedule up; a restarted one waits a whole frame.
  int quick = 0;
  double first_wait = 0;
  for (int i = 0; i < 20; ++i) {
    const auto t = Clock::now();
    gfx::pace_frame(30);
    const double took = ms_since(t);
    if (i == 0) first_wait = took;
    if (took > 10) break;
    ++quick;
  }
  for (int i = 0; i < 3; ++i) gfx::pace_frame(30);
  const double frames = ms_since(start) / frame;
  std::printf(
      "after a %d ms stall: first frame waited %.2f ms, %d frames at once, then %.2f frames off "
      "the grid of the schedule\n",
      stall_ms, first_wait, quick, std::abs(frames - std::round(frames)));
}

void wait_length(int ms, int waits) {
  std::vector<double> took;
  for (int i = 0; i < waits; ++i) {
    const auto t = Clock::now();
    gfx::pace_wait(ms);
    took.push_back(ms_since(t));
  }
  std::printf("pace_wait(%d) over %d waits: median %.2f ms, max %.2f ms\n", ms, waits,
              at(took, 0.5), at(took, 1.0));
}

}  // namespace

int main(int argc, char** argv) {
  if (argc > 1 && std::strcmp(argv[1], "--help") == 0) {
    std::printf(
        "usage: bench_pacing\nPrints how closely pace_frame holds 30 and 60 frames per second, "
        "its schedule after\na 200 ms and a 500 ms stall, and the length of pace_wait(200).\n");
    return 0;
  }
  frames_held(30, 90);
  frames_held(60, 180);
  after_stall(200);
  after_stall(500);
  wait_length(200, 10);
  return 0;
}
