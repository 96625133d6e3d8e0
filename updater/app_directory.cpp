#include "updater/app_directory.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "platform/write_all.h"

namespace app_directory {

namespace {

// A descriptor of the application directory for the length of one operation. The program never
// changes its current directory; tests do, between operations.
class Directory {
 public:
  Directory() : fd_(::open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC)) {}
  ~Directory() {
    if (fd_ >= 0) ::close(fd_);
  }
  Directory(const Directory&) = delete;
  Directory& operator=(const Directory&) = delete;
  int fd() const { return fd_; }

 private:
  int fd_;
};

constexpr int kNoFollow = O_NOFOLLOW | O_CLOEXEC | O_NOCTTY;
constexpr char kDirectoryInTheWay[] = "is a directory, where Update.exe keeps a file; remove it";

std::optional<struct stat> statAt(int dir, const char* name) {
  struct stat st {};
  if (::fstatat(dir, name, &st, AT_SYMLINK_NOFOLLOW) != 0) return std::nullopt;
  return st;
}

bool isPlain(const struct stat& st) {
  return S_ISREG(st.st_mode) && st.st_nlink == 1;
}

std::string describe(const struct stat& st) {
  if (S_ISDIR(st.st_mode)) return "a directory";
  if (S_ISLNK(st.st_mode)) return "a symbolic link";
  if (S_ISFIFO(st.st_mode)) return "a FIFO";
  if (S_ISSOCK(st.st_mode)) return "a socket";
  if (S_ISCHR(st.st_mode) || S_ISBLK(st.st_mode)) return "a device";
  if (st.st_nlink != 1) return "a hard link of " + std::to_string(st.st_nlink) + " names";
  return "";
}

// Opens what fstatat saw, non-blocking so that a FIFO swapped in meanwhile cannot hold the
// open, then makes sure on the descriptor that it is still that regular file.
int openChecked(int dir, const char* name, int flags, bool oneLink) {
  const int fd = ::openat(dir, name, flags | kNoFollow | O_NONBLOCK);
  if (fd < 0) return -1;
  struct stat st {};
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || (oneLink && st.st_nlink != 1)) {
    ::close(fd);
    errno = EINVAL;
    return -1;
  }
  ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
  return fd;
}

std::string temporaryName(std::string_view of) {
  static constexpr char kLetters[] =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
  uint8_t random[6] = {};
  if (::getrandom(random, sizeof random, 0) != sizeof random) {
    const auto seed = uint64_t(::getpid()) * 2654435761u ^ uint64_t(::time(nullptr));
    for (size_t i = 0; i < sizeof random; ++i) random[i] = uint8_t(seed >> (8 * i));
  }
  std::string name = ".";
  name.append(of).append(".");
  for (uint8_t r : random) name.push_back(kLetters[r % (sizeof kLetters - 1)]);
  return name;
}

}  // namespace

void report(const std::string& name, const std::string& problem) {
  std::fprintf(stderr, "Update.exe: %s: %s\n", name.c_str(), problem.c_str());
}

std::string oddity(const char* name) {
  Directory dir;
  const auto st = statAt(dir.fd(), name);
  return st ? describe(*st) : "";
}

int open(const char* name, Open how, mode_t mode) {
  Directory dir;
  if (dir.fd() < 0) return -1;
  const int access = how == Open::kRead || how == Open::kLock ? O_RDONLY : O_RDWR;
  if (how == Open::kRead) {
    const auto st = statAt(dir.fd(), name);
    if (!st) return -1;
    if (!S_ISREG(st->st_mode)) {
      errno = EINVAL;
      return -1;
    }
    return openChecked(dir.fd(), name, access, false);
  }
  // A few rounds: another copy may create or remove the name between the steps.
  for (int round = 0; round < 3; ++round) {
    const auto st = statAt(dir.fd(), name);
    if (st && S_ISDIR(st->st_mode)) {
      if (how != Open::kLock) report(name, kDirectoryInTheWay);
      errno = EISDIR;
      return -1;
    }
    if (st && (how == Open::kFresh || !isPlain(*st))) {
      // Not ours to write, or a stale file to start afresh: only the name goes.
      if (::unlinkat(dir.fd(), name, 0) != 0 && errno != ENOENT) break;
      continue;
    }
    const int fd = st ? openChecked(dir.fd(), name, access, true)
                      : ::openat(dir.fd(), name, access | O_CREAT | O_EXCL | kNoFollow, mode);
    if (fd >= 0) return fd;
    // Anything but a change under our feet is final.
    if (errno != EEXIST && errno != EINVAL && errno != ELOOP && errno != ENOENT) break;
  }
  const int error = errno;
  if (how != Open::kLock) report(name, std::strerror(error));
  errno = error;
  return -1;
}

std::optional<std::vector<uint8_t>> readHead(const char* name, size_t maxBytes) {
  const int fd = open(name, Open::kRead);
  if (fd < 0) return std::nullopt;
  std::vector<uint8_t> bytes(maxBytes);
  size_t done = 0;
  bool ok = true;
  while (done < maxBytes) {
    const ssize_t n = ::read(fd, bytes.data() + done, maxBytes - done);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) ok = false;
    if (n <= 0) break;
    done += size_t(n);
  }
  ::close(fd);
  if (!ok) return std::nullopt;
  bytes.resize(done);
  return bytes;
}

bool replaceAtomically(const char* name, std::span<const uint8_t> bytes) {
  Directory dir;
  if (dir.fd() < 0) return false;
  // The replacement takes the old file's mode: a read-only settings file stays read-only.
  mode_t mode = 0644;
  if (const auto old = statAt(dir.fd(), name); old && S_ISREG(old->st_mode))
    mode = old->st_mode & 07777;
  std::string temp;
  int fd = -1;
  for (int attempt = 0; fd < 0 && attempt < 8; ++attempt) {
    temp = temporaryName(name);
    fd = ::openat(dir.fd(), temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | kNoFollow, 0600);
    if (fd < 0 && errno != EEXIST) break;
  }
  if (fd < 0) {
    report(name, std::string("cannot write its replacement: ") + std::strerror(errno));
    return false;
  }
  bool written = ::fchmod(fd, mode) == 0 && platform::writeAll(fd, bytes) && ::fsync(fd) == 0;
  written = ::close(fd) == 0 && written;
  if (!written || ::renameat(dir.fd(), temp.c_str(), dir.fd(), name) != 0) {
    const int error = errno;
    const auto st = statAt(dir.fd(), name);
    if (st && S_ISDIR(st->st_mode))
      report(name, kDirectoryInTheWay);
    else
      report(name, std::string("cannot be replaced: ") + std::strerror(error));
    ::unlinkat(dir.fd(), temp.c_str(), 0);
    return false;
  }
  // The rename itself is durable only once the directory is flushed.
  if (::fsync(dir.fd()) != 0) {
    report(".",
           std::string("the application directory cannot be flushed: ") + std::strerror(errno));
    return false;
  }
  return true;
}

bool isTemporaryOf(std::string_view name, std::string_view of) {
  constexpr size_t kTail = 7;  // "." and six characters
  return name.size() == 1 + of.size() + kTail && name.front() == '.' &&
         name.substr(1, of.size()) == of && name[1 + of.size()] == '.';
}

bool remove(const char* name) {
  Directory dir;
  return ::unlinkat(dir.fd(), name, 0) == 0 || errno == ENOENT;
}

bool removeOrReport(const char* name) {
  if (remove(name)) return true;
  const int error = errno;
  report(name, error == EISDIR ? kDirectoryInTheWay
                               : "cannot be removed: " + std::string(std::strerror(error)));
  return false;
}

bool rename(const char* from, const char* to) {
  Directory dir;
  if (::renameat(dir.fd(), from, dir.fd(), to) == 0) return true;
  const int error = errno;
  const auto st = statAt(dir.fd(), to);
  report(to, st && S_ISDIR(st->st_mode)
                 ? kDirectoryInTheWay
                 : std::string("cannot take ") + from + ": " + std::strerror(error));
  return false;
}

bool renameToFreeName(const char* from, const char* to) {
  Directory dir;
  return ::renameat2(dir.fd(), from, dir.fd(), to, RENAME_NOREPLACE) == 0;
}

bool link(const char* from, const char* to) {
  Directory dir;
  return ::linkat(dir.fd(), from, dir.fd(), to, 0) == 0;
}

bool flush() {
  Directory dir;
  if (dir.fd() >= 0 && ::fsync(dir.fd()) == 0) return true;
  report(".", std::string("the application directory cannot be flushed: ") + std::strerror(errno));
  return false;
}

bool writable(const char* name) {
  Directory dir;
  const auto st = statAt(dir.fd(), name);
  if (!st || !S_ISREG(st->st_mode)) {
    errno = st ? EINVAL : ENOENT;
    return false;
  }
  const int fd = openChecked(dir.fd(), name, O_RDWR, false);
  if (fd >= 0) ::close(fd);
  return fd >= 0;
}

std::optional<uint64_t> plainFileSize(const char* name) {
  Directory dir;
  const auto st = statAt(dir.fd(), name);
  if (!st || !isPlain(*st)) return std::nullopt;
  return uint64_t(st->st_size);
}

std::vector<std::string> names() {
  std::vector<std::string> list;
  DIR* directory = ::opendir(".");
  if (directory == nullptr) return list;
  while (const dirent* entry = ::readdir(directory)) {
    const std::string_view name = entry->d_name;
    if (name != "." && name != "..") list.emplace_back(name);
  }
  ::closedir(directory);
  return list;
}

}  // namespace app_directory
