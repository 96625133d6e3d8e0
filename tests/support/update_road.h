// The road of one update, shared by the headless road tests and the window tests: an application
// directory with Kelvora.exe at 3.10.0 and its settings file, a package object made with
// kelvora-pack in a store for kelvora-devserver, and the worker run in a forked child, so that
// each road starts from a fresh process as Update.exe does and can be killed at any moment.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "support/test_support.h"
#include "updater/settings_block.h"

namespace testsupport {

using Bytes = std::vector<uint8_t>;

// Runs of small values, which the codec packs, between runs of random bytes, which it stores.
Bytes testProgram(uint32_t seed, size_t size);

// The version stored in `app`/config.cfg; nothing when it does not decrypt to a whole block.
std::optional<settings_block::Version> storedVersion(const std::filesystem::path& app);

struct RoadDir {
  TempDir app, work;
  Bytes oldProgram = testProgram(1, 300000), newProgram = testProgram(2, 1200000);

  // Empties the application directory, then writes Kelvora.exe, prev (when given) and a settings
  // file at 3.10.0 in `language`.
  void prepare(uint32_t language, const Bytes& prev = {});
  // Packs `plain` (kept as work/new.bin) into a new object 3/11.0.BIN of `bucket`, with a new
  // ETag.
  void servePackage(const std::string& bucket, const Bytes& plain);
  std::filesystem::path store() const { return work / "store"; }
  std::set<std::string> names() const { return namesIn(app.path()); }
  int storedMinor() const;  // -1 when the settings file does not decrypt
};

// Start-up's settings step and the worker's whole road in the current directory, with standard
// error in `result`.err; then "state status" goes to `result` and the process ends.
[[noreturn]] void runWorkerHere(const std::filesystem::path& result, uint32_t announcePauseMs);
// The same in a forked child inside `app`.
pid_t startWorker(const std::filesystem::path& app, const std::filesystem::path& result,
                  uint32_t announcePauseMs = 0);
// Its exit status, or nothing while it still runs after `timeout`.
std::optional<int> waitChild(pid_t pid, std::chrono::milliseconds timeout);
void killChild(pid_t pid);
// Its exit status; -1 once it has been killed for running past `timeout`.
int finishChild(pid_t pid, std::chrono::milliseconds timeout = std::chrono::seconds(40));
// The signature file of `package` for release 3.11.0 (or `minor`), made with the loopback test
// key that the loopback build trusts.
std::string testSignature(const Bytes& package, uint32_t minor = 11);

}  // namespace testsupport
