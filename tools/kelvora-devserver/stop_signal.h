// One stop flag for the whole server: set once on SIGTERM/SIGINT; every wait of the server's
// threads (fault delays, throttling, dribbling) ends early when it is set.
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>

namespace devserver {

class StopSignal {
 public:
  void set() {
    std::lock_guard<std::mutex> lock(mutex_);
    stopped_ = true;
    cv_.notify_all();
  }
  bool stopped() {
    std::lock_guard<std::mutex> lock(mutex_);
    return stopped_;
  }
  // Sleeps until the deadline; false when the stop came first.
  bool sleepUntil(std::chrono::steady_clock::time_point deadline) {
    std::unique_lock<std::mutex> lock(mutex_);
    return !cv_.wait_until(lock, deadline, [this] { return stopped_; });
  }
  bool sleepFor(std::chrono::milliseconds duration) {
    return sleepUntil(std::chrono::steady_clock::now() + duration);
  }

 private:
  std::mutex mutex_;
  std::condition_variable cv_;
  bool stopped_ = false;
};

}  // namespace devserver
