// The manifest being served, published to the event loops without a lock on their path: the
// loader swaps in a new snapshot and bumps a generation number; a loop compares the number once
// per wake-up and copies the snapshot (under a lock) only after it changed.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>

#include "protocol/messages.h"
#include "server/cohort.h"
#include "server/metrics.h"
#include "server/release_manifest.h"

namespace server {

struct ReleaseSnapshot {
  release_manifest::Manifest manifest;
  std::array<uint8_t, protocol::VERSION_ANSWER_SIZE> releaseAnswer{}, fallbackAnswer{};
  CohortKey cohortKey{};
  AnswerCounter* releaseCounter = nullptr;
  AnswerCounter* fallbackCounter = nullptr;

  // The answer for a report's facts, with the cohort it fell in.
  struct Choice {
    const std::array<uint8_t, protocol::VERSION_ANSWER_SIZE>* bytes;
    AnswerCounter* counter;
    uint32_t cohort;
    bool release;
  };
  Choice choose(const client_report::MachineFacts& facts) const;
};

// The answers, key and counters of a manifest, worked out once per load.
std::shared_ptr<const ReleaseSnapshot> makeSnapshot(const release_manifest::Manifest& m,
                                                    Metrics& metrics);

class ReleaseBoard {
 public:
  void publish(std::shared_ptr<const ReleaseSnapshot> snapshot);
  uint64_t generation() const { return generation_.load(std::memory_order_acquire); }
  std::shared_ptr<const ReleaseSnapshot> current() const;

 private:
  mutable std::mutex lock_;
  std::shared_ptr<const ReleaseSnapshot> current_;
  std::atomic<uint64_t> generation_{0};
};

}  // namespace server
