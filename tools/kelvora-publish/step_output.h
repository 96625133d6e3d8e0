// What kelvora-publish says while it works: one line per step on standard output, a progress bar
// for uploads on standard error when that is a terminal, and a failure that carries the one line
// naming its cause up to the entry point.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>

namespace publish {

// Thrown by any step that cannot go on; the entry point prints it and exits non-zero.
struct Failure {
  std::string cause;
};
[[noreturn]] void fail(std::string cause);

// "VERB     text" on standard output, flushed, so that a reader of a pipe or a log sees each
// step as it starts.
void step(const char* verb, const std::string& text);

// Server and file text made safe for one line of a terminal.
std::string shown(const std::string& text);

class ProgressBar {
 public:
  ProgressBar(std::string label, int64_t total);
  ~ProgressBar();
  ProgressBar(const ProgressBar&) = delete;
  ProgressBar& operator=(const ProgressBar&) = delete;
  void update(int64_t done);

 private:
  void draw(int64_t done);
  const std::string label_;
  const int64_t total_;
  const bool shown_;
  bool drawn_ = false;
  std::chrono::steady_clock::time_point last_{};
};

}  // namespace publish
