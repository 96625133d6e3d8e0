#include "updater/package_install.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <optional>

#include "updater/overlapped_hash.h"
#include "updater/package_unpack.h"
#include "updater/settings_block.h"

namespace package_install {

namespace {

constexpr char kPreviousTempFile[] = "prev.new";
// The package is written, and handed to the hash, in pieces of this size.
constexpr size_t kWritePiece = 1 << 20;

// Flushes a finished file to disk and gives it the mode of the program it replaces.
bool settleFile(const char* path) {
  int fd = ::open(path, O_RDONLY);
  if (fd < 0) return false;
  struct stat current {};
  mode_t mode = ::stat(APPLICATION_FILE, &current) == 0 ? (current.st_mode & 07777) : 0755;
  bool ok = ::fchmod(fd, mode) == 0 && ::fsync(fd) == 0;
  ok = ::close(fd) == 0 && ok;
  return ok;
}

void syncDirectory() {
  int fd = ::open(".", O_RDONLY | O_DIRECTORY);
  if (fd < 0) return;
  ::fsync(fd);
  ::close(fd);
}

bool copyFile(const char* from, const char* to) {
  int in = ::open(from, O_RDONLY);
  if (in < 0) return false;
  int out = ::open(to, O_WRONLY | O_CREAT | O_TRUNC, 0644);
  if (out < 0) {
    ::close(in);
    return false;
  }
  bool ok = true;
  char buffer[65536];
  for (;;) {
    ssize_t n = ::read(in, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      ok = n == 0;
      break;
    }
    for (ssize_t done = 0; ok && done < n;) {
      ssize_t w = ::write(out, buffer + done, size_t(n - done));
      if (w < 0 && errno == EINTR) continue;
      if (w <= 0)
        ok = false;
      else
        done += w;
    }
    if (!ok) break;
  }
  ok = ok && ::fsync(out) == 0;
  ok = ::close(out) == 0 && ok;
  ::close(in);
  if (!ok) ::unlink(to);
  return ok;
}

// prev becomes the current program: a hard link where the file system has them, a copy where
// not. A missing Kelvora.exe leaves no prev, which is not an error.
void keepPrevious() {
  ::unlink(PREVIOUS_FILE);
  if (::link(APPLICATION_FILE, PREVIOUS_FILE) == 0 || errno == ENOENT) return;
  if (copyFile(APPLICATION_FILE, kPreviousTempFile) &&
      std::rename(kPreviousTempFile, PREVIOUS_FILE) != 0)
    ::unlink(kPreviousTempFile);
}

}  // namespace

std::mutex& installLock() {
  static std::mutex lock;
  return lock;
}

bool swapIntoPlace(const std::string& ready) {
  std::lock_guard<std::mutex> lock(installLock());
  keepPrevious();
  // The one step that changes Kelvora.exe: the rename is atomic, old or new.
  bool ok = std::rename(ready.c_str(), APPLICATION_FILE) == 0;
  if (!ok) ::unlink(ready.c_str());
  syncDirectory();
  return ok;
}

bool writePackageFile(std::span<const uint8_t> package, const std::string& packageFile,
                      OverlappedHash* hash) {
  std::FILE* file = std::fopen(packageFile.c_str(), "wb");
  if (file == nullptr) return false;
  bool written = true;
  for (size_t at = 0; written && at < package.size(); at += kWritePiece) {
    auto piece = package.subspan(at, std::min(kWritePiece, package.size() - at));
    written = std::fwrite(piece.data(), 1, piece.size(), file) == piece.size();
    if (hash != nullptr) hash->feed(piece);
  }
  return std::fclose(file) == 0 && written;
}

bool installPackage(std::span<const uint8_t> package, const std::string& packageFile,
                    const PackageCheck& check) {
  bool written;
  {
    std::optional<OverlappedHash> hash;
    if (check) hash.emplace();
    written = writePackageFile(package, packageFile, hash ? &*hash : nullptr);
    // The check comes before anything is unpacked or swapped.
    if (written && hash && !check(hash->finish())) written = false;
  }
  if (!written) {
    ::unlink(packageFile.c_str());
    return false;
  }
  std::FILE* file = std::fopen(packageFile.c_str(), "rb");
  bool unpacked = file != nullptr && kelvora::unpackPackage(file, UNPACK_TEMP_FILE) == 0;
  ::unlink(packageFile.c_str());
  if (!unpacked || !settleFile(UNPACK_TEMP_FILE)) {
    ::unlink(UNPACK_TEMP_FILE);
    return false;
  }
  return swapIntoPlace(UNPACK_TEMP_FILE);
}

PushedPackageFile::~PushedPackageFile() {
  closeAndRemove();
}

void PushedPackageFile::closeAndRemove() {
  if (file_ != nullptr) {
    std::fclose(file_);
    file_ = nullptr;
    ::unlink(name_.c_str());
  }
}

bool PushedPackageFile::begin(uint32_t) {
  closeAndRemove();
  if (release_signature::publisherKeysBuiltIn()) {
    // A push carries the program itself and no signature: with publisher keys it is never
    // installed. Its bytes are still read (and dropped) so the conversation goes on.
    std::fputs("Update.exe: pushed program refused: a push carries no publisher signature\n",
               stderr);
    return false;
  }
  name_ = update_conversation::packageFileNameFor(settings_block::version(state_.settingsBlock));
  file_ = std::fopen(name_.c_str(), "wb+");
  return file_ != nullptr;
}

bool PushedPackageFile::write(std::span<const uint8_t> bytes) {
  if (file_ == nullptr) return false;
  return std::fwrite(bytes.data(), 1, bytes.size(), file_) == bytes.size();
}

void PushedPackageFile::abandon() {
  closeAndRemove();
}

void PushedPackageFile::finish() {
  if (file_ == nullptr) return;
  bool ok = std::fclose(file_) == 0;
  file_ = nullptr;
  if (!ok || !settleFile(name_.c_str())) {
    ::unlink(name_.c_str());
    return;
  }
  if (!swapIntoPlace(name_)) return;
  // Nothing is left to fetch: the worker ends the update as installed.
  state_.packageKey.set("");
  state_.updateState = UPDATE_PENDING;
}

}  // namespace package_install
