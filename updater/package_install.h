// Installing a new Kelvora.exe so that a complete program, old or new, stands under that name at
// every instant: the new program is first written whole into a temporary file beside it and
// flushed; only then, under the install lock, prev becomes a link to (or copy of) the current
// program and the temporary file is renamed over Kelvora.exe. Every failure before the swap
// leaves Kelvora.exe and prev as they were and removes the temporary files.
#pragma once

#include <cstdint>
#include <cstdio>
#include <functional>
#include <mutex>
#include <span>
#include <string>

#include "updater/app_state.h"
#include "updater/overlapped_hash.h"
#include "updater/release_signature.h"
#include "updater/update_conversation.h"

namespace package_install {

constexpr char APPLICATION_FILE[] = "Kelvora.exe";
constexpr char PREVIOUS_FILE[] = "prev";
// The unpacked program before it takes its name; a left-over one from a killed run is simply
// overwritten by the next.
constexpr char UNPACK_TEMP_FILE[] = "Kelvora.exe.new";

// Held around the few file operations of the swap. The main thread takes it before the process
// exits, so an exit never falls between them.
std::mutex& installLock();

// Makes the finished file `ready` the new Kelvora.exe (ready is consumed). False, with ready
// removed and Kelvora.exe untouched, when the rename fails.
bool swapIntoPlace(const std::string& ready);

// The package file's write pass, in pieces of 1 MiB; each piece goes to the hash, when one is
// given, as soon as it is written. False when the file cannot be written whole.
bool writePackageFile(std::span<const uint8_t> package, const std::string& packageFile,
                      OverlappedHash* hash);

// Decides from the package's BLAKE2b-512 whether it may be installed (the publisher signature).
using PackageCheck = std::function<bool(const release_signature::Hash& packageHash)>;

// Writes the package to packageFile, unpacks it into the temporary file and swaps that into
// place; the package file is removed in every case. With a check, the package is hashed on the
// pass that writes it and nothing is unpacked unless the check passes. False when anything failed
// before the swap could complete.
bool installPackage(std::span<const uint8_t> package, const std::string& packageFile,
                    const PackageCheck& check = {});

// The file side of a pushed package: written to a file named from the settings block's version,
// installed as received (a push carries the program itself) by the same swap. A finished push
// sets UPDATE_PENDING with an empty package key; a failed one leaves everything as it was.
class PushedPackageFile : public update_conversation::PushSink {
 public:
  explicit PushedPackageFile(AppState& state) : state_(state) {}
  ~PushedPackageFile() override;
  bool begin(uint32_t total) override;
  bool write(std::span<const uint8_t> bytes) override;
  void abandon() override;
  void finish() override;

 private:
  void closeAndRemove();
  AppState& state_;
  std::FILE* file_ = nullptr;
  std::string name_;
};

}  // namespace package_install
