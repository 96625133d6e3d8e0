// The package hash computed on a thread of its own, so that hashing a package overlaps the
// writing and decoding of it on the thread that feeds it. Pieces are copied into a few reusable
// buffers (the caller's bytes need to stay valid only during feed()), so memory stays bounded
// whatever the package size: a feeder that gets ahead waits for a buffer. Where no thread can be
// started each piece is hashed as it comes.
#pragma once

#include <array>
#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <thread>
#include <vector>

#include "updater/release_signature.h"

namespace package_install {

class OverlappedHash {
 public:
  OverlappedHash();
  // Stops the thread without hashing what still waits.
  ~OverlappedHash();
  OverlappedHash(const OverlappedHash&) = delete;
  OverlappedHash& operator=(const OverlappedHash&) = delete;

  // The next bytes, in order. Never throws.
  void feed(std::span<const uint8_t> piece);
  // The hash of everything fed; nullopt when the hashing thread failed. Call once.
  std::optional<release_signature::Hash> finish();

 private:
  static constexpr size_t kBuffers = 4;
  static constexpr size_t kBufferSize = 1 << 20;
  struct Buffer {
    std::unique_ptr<uint8_t[]> bytes;
    size_t size = 0;
  };

  void run() noexcept;
  bool takeFreeBuffer();
  void handOver();
  void stop(bool drain);

  release_signature::PackageHash hash_;
  // Allocated as first needed. A buffer belongs to the feeder while free or being filled, and to
  // the hashing thread from hand-over until it is back in free_.
  std::array<Buffer, kBuffers> buffers_;
  size_t allocated_ = 0;
  int filling_ = -1;  // the buffer the feeder copies into, or none
  std::mutex mutex_;
  std::condition_variable changed_;
  std::deque<size_t> ready_;  // handed over, in order
  std::vector<size_t> free_;
  bool ending_ = false;
  bool dropping_ = false;            // ending without hashing what waits
  std::atomic<bool> failed_{false};  // the hashing thread hit an error: the hash is no good
  std::thread thread_;
};

}  // namespace package_install
