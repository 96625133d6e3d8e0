#include "updater/package_install.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "protocol/package_names.h"
#include "updater/package_resume.h"
#include "updater/settings_block.h"
#include "updater/update_texts.h"

namespace package_install {

namespace {

bool writeWhole(int fd, const uint8_t* data, size_t n) {
  while (n > 0) {
    ssize_t w = ::write(fd, data, n);
    if (w < 0 && errno == EINTR) continue;
    if (w <= 0) return false;
    data += w;
    n -= size_t(w);
  }
  return true;
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
// not. A missing Kelvora.exe leaves no prev, which is not an error. False when prev cannot take
// the old program (prev a directory, say): the swap must not go on, or the old program is lost.
bool keepPrevious() {
  if (::unlink(PREVIOUS_FILE) != 0 && errno != ENOENT) return false;
  if (::link(APPLICATION_FILE, PREVIOUS_FILE) == 0) return true;
  if (errno == ENOENT) return ::access(APPLICATION_FILE, F_OK) != 0;
  if (copyFile(APPLICATION_FILE, PREVIOUS_TEMP_FILE) &&
      std::rename(PREVIOUS_TEMP_FILE, PREVIOUS_FILE) == 0)
    return true;
  ::unlink(PREVIOUS_TEMP_FILE);
  return false;
}

// ".config.cfg.XXXXXX": the settings file on its way in (replaceFileAtomically's mkstemp name).
bool isSettingsTempName(std::string_view name) {
  constexpr std::string_view kPrefix = ".config.cfg.";
  return name.starts_with(kPrefix) && name.size() == kPrefix.size() + 6;
}

}  // namespace

bool settleProgram(int fd) {
  struct stat finished {};
  if (::fstat(fd, &finished) != 0 || finished.st_size == 0) return false;
  struct stat current {};
  mode_t mode = ::stat(APPLICATION_FILE, &current) == 0 ? (current.st_mode & 07777) : 0755;
  return ::fchmod(fd, mode) == 0 && ::fsync(fd) == 0;
}

bool isStaleFile(std::string_view name) {
  const std::string file(name);
  // A package that a cut-off download keeps beside its ETag file waits for the next run.
  if ((protocol::parsePackageFileName(name) || package_resume::isResumeFile(file)) &&
      !package_resume::isKeptForResume(file))
    return true;
  return name == UNPACK_TEMP_FILE || name == PREVIOUS_TEMP_FILE || isSettingsTempName(name);
}

void removeStaleFiles() {
  DIR* directory = ::opendir(".");
  if (directory == nullptr) return;
  std::vector<std::string> stale;
  while (const dirent* entry = ::readdir(directory)) {
    if (isStaleFile(entry->d_name)) stale.emplace_back(entry->d_name);
  }
  ::closedir(directory);
  for (const std::string& name : stale) ::unlink(name.c_str());
}

std::mutex& installLock() {
  static std::mutex lock;
  return lock;
}

bool swapIntoPlace(const std::string& ready) {
  std::lock_guard<std::mutex> lock(installLock());
  // The one step that changes Kelvora.exe: the rename is atomic, old or new.
  bool ok = keepPrevious() && std::rename(ready.c_str(), APPLICATION_FILE) == 0;
  if (!ok) ::unlink(ready.c_str());
  syncDirectory();
  return ok;
}

PushedPackageFile::~PushedPackageFile() {
  closeAndRemove();
}

void PushedPackageFile::closeAndRemove() {
  if (fd_ < 0) return;
  ::close(fd_);
  fd_ = -1;
  if (named_) ::unlink(name_.c_str());
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
  fd_ = ::open(".", O_TMPFILE | O_RDWR | O_CLOEXEC, 0644);
  named_ = fd_ < 0;
  if (named_) fd_ = ::open(name_.c_str(), O_CREAT | O_TRUNC | O_RDWR | O_CLOEXEC, 0644);
  return fd_ >= 0;
}

bool PushedPackageFile::write(std::span<const uint8_t> bytes) {
  return fd_ >= 0 && writeWhole(fd_, bytes.data(), bytes.size());
}

void PushedPackageFile::abandon() {
  closeAndRemove();
}

void PushedPackageFile::finish() {
  if (fd_ < 0) return;
  bool ok = settleProgram(fd_);
  if (ok && !named_) {
    // The unnamed file takes its name only now that it is whole.
    ::unlink(name_.c_str());
    std::string self = "/proc/self/fd/" + std::to_string(fd_);
    ok = ::linkat(AT_FDCWD, self.c_str(), AT_FDCWD, name_.c_str(), AT_SYMLINK_FOLLOW) == 0;
    named_ = ok;
  }
  ok = ::close(fd_) == 0 && ok;
  fd_ = -1;
  if (!ok || !swapIntoPlace(name_)) {
    if (named_) ::unlink(name_.c_str());
    state_.statusLine.set(update_texts::fileFault(settings_block::isChinese(state_.settingsBlock)));
    return;
  }
  // Nothing is left to fetch: the worker ends the update as installed.
  state_.packageKey.set("");
  state_.updateState = app_state::UPDATE_PENDING;
}

}  // namespace package_install
