#include "platform/clock.h"

#include <sched.h>
#include <time.h>

#include <cerrno>

namespace platform {

namespace {
constexpr int64_t kNanosecondsPerSecond = 1'000'000'000;
}

int64_t performanceCounter() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<int64_t>(ts.tv_sec) * kNanosecondsPerSecond + ts.tv_nsec;
}

int64_t performanceFrequency() {
  return kNanosecondsPerSecond;
}

uint32_t tickCount() {
  return static_cast<uint32_t>(performanceCounter() / 1'000'000);
}

void sleepUntil(int64_t deadline) {
  timespec ts{};
  ts.tv_sec = deadline / kNanosecondsPerSecond;
  ts.tv_nsec = deadline % kNanosecondsPerSecond;
  while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &ts, nullptr) == EINTR) {
  }
}

void sleepMilliseconds(uint32_t ms) {
  if (ms == 0) {
    sched_yield();
    return;
  }
  sleepUntil(performanceCounter() + static_cast<int64_t>(ms) * 1'000'000);
}

}  // namespace platform
