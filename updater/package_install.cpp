#include "updater/package_install.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "platform/write_all.h"
#include "protocol/package_names.h"
#include "protocol/version_text.h"
#include "updater/app_directory.h"
#include "updater/installed_signature.h"
#include "updater/package_resume.h"
#include "updater/settings_block.h"
#include "updater/settings_file.h"
#include "updater/update_texts.h"

namespace package_install {

namespace {

bool copyFile(const char* from, const char* to) {
  int in = app_directory::open(from, app_directory::Open::kRead);
  if (in < 0) return false;
  int out = app_directory::open(to, app_directory::Open::kFresh);
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
    ok = platform::writeAll(
        out, std::span<const uint8_t>(reinterpret_cast<uint8_t*>(buffer), size_t(n)));
    if (!ok) break;
  }
  ok = ok && ::fsync(out) == 0;
  ok = ::close(out) == 0 && ok;
  ::close(in);
  if (!ok) app_directory::remove(to);
  return ok;
}

// prev becomes the current program: a hard link where the file system has them, a copy where
// not. A missing Kelvora.exe leaves no prev, which is not an error. False when prev cannot take
// the old program (prev a directory, say): the swap must not go on, or the old program is lost.
bool keepPrevious() {
  if (!app_directory::removeOrReport(PREVIOUS_FILE)) return false;
  if (app_directory::link(APPLICATION_FILE, PREVIOUS_FILE)) return true;
  if (errno == ENOENT) return app_directory::oddity(APPLICATION_FILE).empty();
  if (copyFile(APPLICATION_FILE, PREVIOUS_TEMP_FILE) &&
      app_directory::rename(PREVIOUS_TEMP_FILE, PREVIOUS_FILE))
    return true;
  app_directory::remove(PREVIOUS_TEMP_FILE);
  return false;
}

}  // namespace

bool settleProgram(int fd) {
  struct stat finished {};
  if (::fstat(fd, &finished) != 0 || finished.st_size == 0) return false;
  // A program that is not a plain file here (a link) lends no mode.
  struct stat current {};
  const int program = app_directory::open(APPLICATION_FILE, app_directory::Open::kRead);
  const bool known = program >= 0 && ::fstat(program, &current) == 0;
  if (program >= 0) ::close(program);
  const mode_t mode = known ? (current.st_mode & 07777) : 0755;
  return ::fchmod(fd, mode) == 0 && ::fsync(fd) == 0;
}

bool isStaleFile(std::string_view name) {
  const std::string file(name);
  // A package that a cut-off download keeps beside its ETag file waits for the next run.
  if ((protocol::parsePackageFileName(name) || package_resume::isResumeFile(file)) &&
      !package_resume::isKeptForResume(file))
    return true;
  return name == UNPACK_TEMP_FILE || name == PREVIOUS_TEMP_FILE ||
         app_directory::isTemporaryOf(name, settings_file::kConfigFileName) ||
         app_directory::isTemporaryOf(name, INSTALL_RECORD_FILE) ||
         app_directory::isTemporaryOf(name, installed_signature::SIGNATURE_FILE);
}

void removeStaleFiles() {
  // What cannot be removed (a directory of such a name) is reported where it is used.
  for (const std::string& name : app_directory::names())
    if (isStaleFile(name)) app_directory::remove(name.c_str());
}

std::mutex& installLock() {
  static std::mutex lock;
  return lock;
}

namespace {

// "A.B.C\n", the finished file's name and "\n", then the signature file as fetched.
constexpr size_t kMaxRecord = 128 + release_signature::MAX_SIGNATURE_FILE;

bool writeRecord(const settings_block::Version& version, const std::string& ready,
                 std::span<const uint8_t> signature) {
  const std::string head = protocol::versionText(version) + "\n" + ready + "\n";
  std::vector<uint8_t> record(head.begin(), head.end());
  record.insert(record.end(), signature.begin(), signature.end());
  return app_directory::replaceAtomically(INSTALL_RECORD_FILE, record);
}

// The directory is flushed between prev and the rename, so that no crash can leave the new
// program under its name with prev not yet holding the old one.
bool renameIntoPlace(const std::string& ready) {
  return keepPrevious() && app_directory::flush() &&
         app_directory::rename(ready.c_str(), APPLICATION_FILE);
}

// The program is in place: its version is stored, its signature kept (or an older one removed,
// so that it never vouches for a program it did not sign), and the record goes.
bool storeInstalled(app_state::AppState& state, const settings_block::Version& version,
                    std::span<const uint8_t> signature) {
  settings_block::setVersion(state.settingsBlock, version);
  const char* kept = installed_signature::SIGNATURE_FILE;
  return (signature.empty() ? app_directory::removeOrReport(kept)
                            : app_directory::replaceAtomically(kept, signature)) &&
         settings_file::storeSettings(state.settingsBlock) &&
         app_directory::removeOrReport(INSTALL_RECORD_FILE) && app_directory::flush();
}

}  // namespace

bool swapIntoPlace(app_state::AppState& state, const std::string& ready,
                   std::span<const uint8_t> signature) {
  std::lock_guard<std::mutex> lock(installLock());
  const settings_block::Version version = settings_block::version(state.settingsBlock);
  // The one step that changes Kelvora.exe is the rename: atomic, old or new.
  if (!writeRecord(version, ready, signature) || !renameIntoPlace(ready)) {
    app_directory::remove(ready.c_str());
    app_directory::remove(INSTALL_RECORD_FILE);
    app_directory::flush();
    return false;
  }
  return storeInstalled(state, version, signature);
}

void finishInterruptedInstall(app_state::AppState& state) {
  std::lock_guard<std::mutex> lock(installLock());
  const auto record = app_directory::readHead(INSTALL_RECORD_FILE, kMaxRecord + 1);
  if (!record) return;
  const std::string_view text(reinterpret_cast<const char*>(record->data()), record->size());
  const size_t versionEnd = text.find('\n');
  const size_t nameEnd = text.find('\n', versionEnd + 1);
  const auto version = versionEnd == std::string_view::npos
                           ? std::nullopt
                           : protocol::parseCanonicalVersion(text.substr(0, versionEnd));
  const std::string ready(text.substr(versionEnd + 1, nameEnd - versionEnd - 1));
  if (!version || nameEnd == std::string_view::npos || record->size() > kMaxRecord ||
      (ready != UNPACK_TEMP_FILE && !protocol::parsePackageFileName(ready))) {
    app_directory::remove(INSTALL_RECORD_FILE);
    return;
  }
  const std::span<const uint8_t> signature(record->data() + nameEnd + 1,
                                           record->size() - nameEnd - 1);
  // The finished file was flushed before the record was written: while it is there, the run was
  // killed before the rename, and prev may not yet hold the old program.
  if (app_directory::plainFileSize(ready.c_str()) && !renameIntoPlace(ready)) return;
  storeInstalled(state, *version, signature);
}

PushedPackageFile::~PushedPackageFile() {
  closeAndRemove();
}

void PushedPackageFile::closeAndRemove() {
  if (fd_ < 0) return;
  ::close(fd_);
  fd_ = -1;
  if (named_) app_directory::remove(name_.c_str());
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
  if (named_) fd_ = app_directory::open(name_.c_str(), app_directory::Open::kFresh);
  return fd_ >= 0;
}

bool PushedPackageFile::write(std::span<const uint8_t> bytes) {
  return fd_ >= 0 && platform::writeAll(fd_, bytes);
}

void PushedPackageFile::abandon() {
  closeAndRemove();
}

void PushedPackageFile::finish() {
  if (fd_ < 0) return;
  bool ok = settleProgram(fd_);
  if (ok && !named_) {
    // The unnamed file takes its name only now that it is whole.
    app_directory::remove(name_.c_str());
    std::string self = "/proc/self/fd/" + std::to_string(fd_);
    ok = ::linkat(AT_FDCWD, self.c_str(), AT_FDCWD, name_.c_str(), AT_SYMLINK_FOLLOW) == 0;
    named_ = ok;
  }
  ok = ::close(fd_) == 0 && ok;
  fd_ = -1;
  if (!ok || !swapIntoPlace(state_, name_, {})) {
    if (named_) app_directory::remove(name_.c_str());
    state_.statusLine.set(update_texts::fileFault(settings_block::isChinese(state_.settingsBlock)));
    return;
  }
  // Nothing is left to fetch: the worker ends the update as installed.
  state_.packageKey.set("");
  state_.updateState = app_state::UPDATE_PENDING;
}

}  // namespace package_install
