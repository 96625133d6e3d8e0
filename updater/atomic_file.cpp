#include "updater/atomic_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <string>

namespace atomic_file {

bool replaceFileAtomically(const std::filesystem::path& path, std::span<const uint8_t> bytes) {
  std::filesystem::path dir = path.parent_path();
  if (dir.empty()) dir = ".";
  // The replacement takes the old file's mode: a read-only settings file stays read-only.
  mode_t mode = 0644;
  struct stat old {};
  if (stat(path.c_str(), &old) == 0) mode = old.st_mode & 07777;
  std::string name = ".";
  name.append(path.filename().string()).append(".XXXXXX");
  std::string temp = (dir / name).string();
  int fd = mkstemp(temp.data());
  if (fd < 0) return false;
  bool ok = fchmod(fd, mode) == 0;
  size_t done = 0;
  while (ok && done < bytes.size()) {
    ssize_t n = write(fd, bytes.data() + done, bytes.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0)
      ok = false;
    else
      done += static_cast<size_t>(n);
  }
  ok = ok && fsync(fd) == 0;
  ok = close(fd) == 0 && ok;
  ok = ok && std::rename(temp.c_str(), path.c_str()) == 0;
  if (!ok) {
    unlink(temp.c_str());
    return false;
  }
  // The rename itself is durable only once the directory is flushed.
  int dirFd = open(dir.c_str(), O_RDONLY | O_DIRECTORY);
  if (dirFd >= 0) {
    fsync(dirFd);
    close(dirFd);
  }
  return true;
}

std::optional<std::vector<uint8_t>> readFileHead(const std::filesystem::path& path,
                                                 size_t maxBytes) {
  // Non-blocking so that a FIFO of that name is refused below instead of waiting for a writer.
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) return std::nullopt;
  struct stat st {};
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    close(fd);
    return std::nullopt;
  }
  std::vector<uint8_t> bytes(maxBytes);
  size_t done = 0;
  bool ok = true;
  while (done < maxBytes) {
    ssize_t n = read(fd, bytes.data() + done, maxBytes - done);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) ok = false;
    if (n <= 0) break;
    done += static_cast<size_t>(n);
  }
  close(fd);
  if (!ok) return std::nullopt;
  bytes.resize(done);
  return bytes;
}

}  // namespace atomic_file
