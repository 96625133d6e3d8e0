// --reports: one JSON line per hello. Each event loop appends to a ring of its own (one writer,
// one reader, no lock); a writer thread empties the rings into the file every few milliseconds.
// A loop never waits on the file: a line that does not fit its ring is dropped and counted.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "protocol/client_report.h"

namespace server {

// The line for one hello (with its newline): time in UTC (RFC 3339), peer, the report's facts by
// name, cohort and the version answered.
std::string reportLine(std::string_view peer, const client_report::MachineFacts& facts,
                       uint32_t cohort, std::string_view version);

class ReportRing {
 public:
  explicit ReportRing(size_t capacity);
  bool push(std::string_view line);  // false: no room, nothing written
  // The reader's side: copies out what is there, then frees it.
  template <typename Sink>
  void drain(Sink&& sink) {
    const uint64_t head = head_.load(std::memory_order_acquire);
    uint64_t tail = tail_.load(std::memory_order_relaxed);
    while (tail != head) {
      const size_t at = size_t(tail % bytes_.size());
      const size_t n = size_t(std::min<uint64_t>(head - tail, bytes_.size() - at));
      sink(std::string_view(bytes_.data() + at, n));
      tail += n;
    }
    tail_.store(tail, std::memory_order_release);
  }

 private:
  std::vector<char> bytes_;
  std::atomic<uint64_t> head_{0}, tail_{0};  // bytes ever written and read
};

class ReportLog {
 public:
  // path "-" is standard output. false with *error when the file cannot be opened.
  bool open(const std::string& path, unsigned loops, size_t ringBytes, std::string* error);
  bool enabled() const { return fd_ >= 0; }
  ReportRing& ring(unsigned loop) { return *rings_[loop]; }
  void start();
  void reopen() { reopen_ = true; }  // logrotate moved the file: open the path again
  void stop();                       // writes what is left and ends the thread
  ~ReportLog();

 private:
  void run();
  void writeAll(std::string_view bytes);
  std::string path_;
  int fd_ = -1;
  std::vector<std::unique_ptr<ReportRing>> rings_;
  std::atomic<bool> reopen_{false}, stopping_{false};
  std::mutex wakeLock_;
  std::condition_variable wake_;
  std::thread thread_;
};

}  // namespace server
