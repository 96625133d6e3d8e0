#include "updater/overlapped_hash.h"

#include <system_error>

namespace package_install {

OverlappedHash::OverlappedHash() {
  try {
    thread_ = std::thread([this] { run(); });
  } catch (const std::system_error&) {
    inline_ = true;
  }
}

OverlappedHash::~OverlappedHash() {
  if (thread_.joinable()) finish();
}

void OverlappedHash::feed(std::span<const uint8_t> piece) {
  if (inline_) return hash_.update(piece);
  std::unique_lock<std::mutex> lock(mutex_);
  changed_.wait(lock, [&] { return waiting_.size() < kMaxWaiting; });
  waiting_.push_back(piece);
  changed_.notify_all();
}

void OverlappedHash::run() {
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    changed_.wait(lock, [&] { return ending_ || !waiting_.empty(); });
    if (waiting_.empty()) return;
    std::span<const uint8_t> piece = waiting_.front();
    lock.unlock();
    hash_.update(piece);
    lock.lock();
    waiting_.pop_front();
    changed_.notify_all();
  }
}

release_signature::Hash OverlappedHash::finish() {
  if (thread_.joinable()) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      ending_ = true;
    }
    changed_.notify_all();
    thread_.join();
  }
  return hash_.finish();
}

}  // namespace package_install
