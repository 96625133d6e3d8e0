// Writing a whole buffer to a file descriptor: write(2) and pwrite(2) may take less than asked
// or be interrupted, so every writer of files goes through this one loop.
#pragma once

#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <span>

namespace platform {

// All of `bytes` at the descriptor's position, or at `offset` when it is not negative (pwrite,
// the position left alone). False as soon as a call refuses or writes nothing.
inline bool writeAll(int fd, std::span<const uint8_t> bytes, int64_t offset = -1) {
  while (!bytes.empty()) {
    const ssize_t n = offset < 0 ? ::write(fd, bytes.data(), bytes.size())
                                 : ::pwrite(fd, bytes.data(), bytes.size(), off_t(offset));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    bytes = bytes.subspan(size_t(n));
    if (offset >= 0) offset += n;
  }
  return true;
}

}  // namespace platform
