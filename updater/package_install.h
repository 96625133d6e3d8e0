// Installing a new Kelvora.exe so that a complete program, old or new, stands under that name at
// every instant: the new program is first written whole into a temporary file beside it and
// flushed; only then, under the install lock, a record of the install is written, prev becomes a
// link to (or copy of) the current program, the directory is flushed and the temporary file is
// renamed over Kelvora.exe. The install is complete once the new version is stored in config.cfg
// (and the release's signature kept beside the program); the record then goes. A run killed in
// between leaves the record, and the next start-up finishes that install instead of fetching it
// again, so prev never takes the new program. Every failure before the swap, prev that cannot
// take the old program included, leaves Kelvora.exe as it was and removes the temporary files.
// An empty program is never installed.
#pragma once

#include <cstdint>
#include <cstdio>
#include <functional>
#include <mutex>
#include <span>
#include <string>
#include <string_view>

#include "updater/app_state.h"
#include "updater/release_signature.h"
#include "updater/update_conversation.h"

namespace package_install {

constexpr char APPLICATION_FILE[] = "Kelvora.exe";
constexpr char PREVIOUS_FILE[] = "prev";
// The unpacked program before it takes its name, and the copy of the old program before it
// becomes prev where the file system has no hard links.
constexpr char UNPACK_TEMP_FILE[] = "Kelvora.exe.new";
constexpr char PREVIOUS_TEMP_FILE[] = "prev.new";
// The record of an install under way: the version, the finished file, the signature file.
constexpr char INSTALL_RECORD_FILE[] = "Kelvora.exe.installing";

// True for a file of the application directory that only a run killed midway leaves behind: the
// temporary files above, a package file "A.B.C.BIN" and a file on its way in (settings, install
// record, signature). The one place that decides what is stale.
bool isStaleFile(std::string_view name);
// Removes the stale files of the current directory; start-up calls it once no other copy runs
// and an interrupted install is finished.
void removeStaleFiles();

// Held around the few file operations of the swap. The main thread takes it before the process
// exits, so an exit never falls between them.
std::mutex& installLock();

// Flushes a finished program file to disk and gives it the mode of the program it replaces.
// False for an empty file: a program of no bytes is no program.
bool settleProgram(int fd);

// Makes the finished file `ready` the new Kelvora.exe (ready is consumed) and stores the version
// of the settings block as installed, with `signature` (the release's signature file, empty in
// builds without keys) kept beside the program. False, with ready removed and Kelvora.exe
// untouched, when prev cannot take the old program, the directory cannot be flushed or the rename
// fails; false too when the program is in place but its version cannot be stored (the record
// then stays for the next start-up). Each failure is said on standard error.
bool swapIntoPlace(app_state::AppState& state, const std::string& ready,
                   std::span<const uint8_t> signature);

// Start-up, once the settings are loaded: finishes the install that a killed run left recorded.
void finishInterruptedInstall(app_state::AppState& state);

// The file side of a pushed package, installed as received (a push carries the program itself)
// by the same swap. While it arrives it is a file without a name in the application directory,
// so a push cut short by the end of the process leaves nothing behind; only a finished push is
// named from the settings block's version. Where the file system has no unnamed files it is
// named from the start (start-up then removes a left-over one). A finished push sets
// UPDATE_PENDING with an empty package key; one that cannot be installed shows the fault text and
// leaves everything else as it was.
class PushedPackageFile : public update_conversation::PushSink {
 public:
  explicit PushedPackageFile(app_state::AppState& state) : state_(state) {}
  ~PushedPackageFile() override;
  bool begin(uint32_t total) override;
  bool write(std::span<const uint8_t> bytes) override;
  void abandon() override;
  void finish() override;

 private:
  void closeAndRemove();
  app_state::AppState& state_;
  int fd_ = -1;
  bool named_ = false;  // the file already has name_ (no unnamed files here)
  std::string name_;
};

}  // namespace package_install
