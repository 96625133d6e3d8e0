// The server's counters. Each event loop owns a padded block of them and is their only writer
// (a relaxed load and store, no locked instruction); a scrape sums the blocks. Answers are
// counted per version in a registry that only manifest loads and scrapes lock.
#pragma once

#include <atomic>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>

namespace server {

enum class CloseReason : uint8_t { HelloTimeout, IdleTimeout, Protocol, Limit, Peer, Stop, COUNT };
const char* closeReasonName(CloseReason reason);

// A counter written by one thread only.
struct OwnedCounter {
  std::atomic<uint64_t> value{0};
  void add(uint64_t n = 1) {
    value.store(value.load(std::memory_order_relaxed) + n, std::memory_order_relaxed);
  }
  uint64_t get() const { return value.load(std::memory_order_relaxed); }
};

struct alignas(64) LoopCounters {
  OwnedCounter accepted, hellos, reportsDropped;
  OwnedCounter closed[size_t(CloseReason::COUNT)];
};

// The answers of one version, one padded counter per loop.
struct AnswerCounter {
  struct alignas(64) Slot {
    OwnedCounter count;
  };
  std::string version;
  std::unique_ptr<Slot[]> perLoop;
};

struct ManifestStatus {
  std::string release;  // "" until a manifest is loaded
  std::string rolloutPercent;
};

class Metrics {
 public:
  explicit Metrics(unsigned loops);
  LoopCounters& loop(unsigned index) { return loops_[index]; }
  // The counter of a version's answers, made on first use; never freed, so a loop may keep it.
  AnswerCounter* answers(const std::string& version);

  std::atomic<int64_t> open{0};  // connections held now, across the loops
  std::atomic<uint64_t> reloadsOk{0}, reloadsError{0}, notModified{0};

  // The Prometheus text exposition of everything.
  std::string text(const ManifestStatus& manifest);

 private:
  const unsigned loopCount_;
  std::unique_ptr<LoopCounters[]> loops_;
  std::mutex answersLock_;
  std::deque<AnswerCounter> answers_;
};

}  // namespace server
