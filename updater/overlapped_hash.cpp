#include "updater/overlapped_hash.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <exception>

namespace package_install {

OverlappedHash::OverlappedHash() {
  try {
    free_.reserve(kBuffers);
    thread_ = std::thread([this] { run(); });
  } catch (const std::exception&) {
    // No thread (or no room for the list): every piece is hashed inline instead.
  }
}

OverlappedHash::~OverlappedHash() {
  stop(false);
}

void OverlappedHash::feed(std::span<const uint8_t> piece) {
  if (!thread_.joinable()) return hash_.update(piece);
  while (!piece.empty() && !failed_) {
    if (filling_ < 0 && !takeFreeBuffer()) return;
    Buffer& buffer = buffers_[size_t(filling_)];
    const size_t n = std::min(piece.size(), kBufferSize - buffer.size);
    std::memcpy(buffer.bytes.get() + buffer.size, piece.data(), n);
    buffer.size += n;
    piece = piece.subspan(n);
    if (buffer.size == kBufferSize) handOver();
  }
}

// Makes filling_ a buffer of no bytes: a new one while fewer than kBuffers exist, else the next
// one the thread gives back. False when the thread has failed (or memory ran out).
bool OverlappedHash::takeFreeBuffer() {
  try {
    std::unique_lock<std::mutex> lock(mutex_);
    if (free_.empty() && allocated_ < kBuffers) {
      buffers_[allocated_].bytes = std::make_unique<uint8_t[]>(kBufferSize);
      free_.push_back(allocated_++);
    }
    // Timed waits: a thread that failed may not be able to take the lock to say so.
    while (free_.empty() && !failed_) changed_.wait_for(lock, std::chrono::milliseconds(100));
    if (failed_) return false;
    filling_ = int(free_.back());
    free_.pop_back();
    buffers_[size_t(filling_)].size = 0;
    return true;
  } catch (const std::exception&) {
    failed_ = true;
    return false;
  }
}

void OverlappedHash::handOver() {
  try {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      ready_.push_back(size_t(filling_));
    }
    changed_.notify_all();
    filling_ = -1;
  } catch (const std::exception&) {
    failed_ = true;
  }
}

void OverlappedHash::run() noexcept {
  try {
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
      changed_.wait(lock, [&] { return ending_ || !ready_.empty(); });
      if (ready_.empty() || dropping_) return;
      const size_t index = ready_.front();
      ready_.pop_front();
      lock.unlock();
      hash_.update(std::span<const uint8_t>(buffers_[index].bytes.get(), buffers_[index].size));
      lock.lock();
      free_.push_back(index);
      changed_.notify_all();
    }
  } catch (...) {
    failed_ = true;
    changed_.notify_all();
  }
}

void OverlappedHash::stop(bool drain) {
  if (!thread_.joinable()) return;
  try {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      ending_ = true;
      dropping_ = !drain;
    }
    changed_.notify_all();
  } catch (const std::exception&) {
    failed_ = true;
  }
  thread_.join();
}

std::optional<release_signature::Hash> OverlappedHash::finish() {
  if (thread_.joinable()) {
    if (filling_ >= 0 && !failed_) handOver();
    stop(true);
  }
  if (failed_) return std::nullopt;
  return hash_.finish();
}

}  // namespace package_install
