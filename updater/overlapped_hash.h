// The package hash computed on a thread of its own, fed the pieces the writer has just written,
// so that checking a signature adds little to the time of writing the package. A few pieces wait
// at most; each piece must stay valid until finish() returns.
#pragma once

#include <condition_variable>
#include <deque>
#include <mutex>
#include <span>
#include <thread>

#include "updater/release_signature.h"

namespace package_install {

class OverlappedHash {
 public:
  OverlappedHash();
  ~OverlappedHash();
  OverlappedHash(const OverlappedHash&) = delete;
  OverlappedHash& operator=(const OverlappedHash&) = delete;

  void feed(std::span<const uint8_t> piece);
  release_signature::Hash finish();

 private:
  static constexpr size_t kMaxWaiting = 4;
  void run();
  release_signature::PackageHash hash_;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::deque<std::span<const uint8_t>> waiting_;
  bool ending_ = false;
  bool inline_ = false;  // no thread could be started: each piece is hashed as it comes
  std::thread thread_;
};

}  // namespace package_install
