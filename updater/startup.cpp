#include "updater/startup.h"

#include <sys/file.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "graphics/drawing.h"
#include "graphics/window.h"
#include "platform/clock.h"
#include "platform/cpu.h"
#include "platform/system.h"
#include "protocol/client_report.h"
#include "updater/app_directory.h"
#include "updater/app_icon.h"
#include "updater/app_state.h"
#include "updater/installed_signature.h"
#include "updater/machine_probe.h"
#include "updater/package_install.h"
#include "updater/progress_window.h"
#include "updater/settings_block.h"
#include "updater/settings_file.h"
#include "updater/update_worker.h"

namespace startup {

namespace {

// Taken before the count, so that of copies started at the same instant exactly one goes on.
constexpr char kInstanceLockFile[] = "Update.exe.lock";

// The filler generator's state: seeded once from the tick count, kept for the process's life.
int32_t& fillerState() {
  static int32_t state = static_cast<int32_t>(platform::tickCount());
  return state;
}

void fillMachineFacts(client_report::Report& report) {
  using namespace client_report;
  machine_probe::TopologyResult topology = machine_probe::probeProcessorTopology();
  putU32(report, PACKAGE_COUNT, topology.packageCount);
  putU32(report, LOGICAL_PROCESSORS, topology.logicalProcessors);
  machine_probe::sampleSystemTimes();

  uint64_t memoryMb = 0;
  if (std::optional<uint64_t> total = platform::totalPhysicalMemory()) memoryMb = *total >> 20;

  std::fill_n(report.begin() + CPU_VENDOR, CPU_VENDOR_SIZE, uint8_t{0});
  platform::CpuidResult leaf0 = platform::cpuid(0);
  for (size_t i = 0; i < 4; ++i) {
    report[CPU_VENDOR + i] = static_cast<uint8_t>(leaf0.ebx >> (8 * i));
    report[CPU_VENDOR + 4 + i] = static_cast<uint8_t>(leaf0.edx >> (8 * i));
    report[CPU_VENDOR + 8 + i] = static_cast<uint8_t>(leaf0.ecx >> (8 * i));
  }

  putU32(report, CPU_MHZ, static_cast<uint32_t>(machine_probe::measureProcessorMhz()));
  putU32(report, MEMORY_MB, static_cast<uint32_t>(memoryMb));
  putU32(report, RESERVED_ZERO, 0);
  report[FIXED_BYTE_100] = 2;
  report[FIXED_BYTE_103] = 0;
}

}  // namespace

int countUpdaterProcesses() {
  // A process merely named Update.exe (anyone's copy of any program) is no copy of this one.
  return platform::countProcessesRunning("/proc/self/exe");
}

bool isOnlyCopy() {
  // The lock is held (its descriptor left open) until the process ends. Where the file cannot be
  // made (a read-only directory) the count alone decides, as it does for copies started later.
  // A link or FIFO of that name is a stale file: it is replaced, never followed or waited on.
  int fd = app_directory::open(kInstanceLockFile, app_directory::Open::kLock);
  if (fd >= 0 && flock(fd, LOCK_EX | LOCK_NB) != 0) {
    if (errno == EWOULDBLOCK) return false;
    close(fd);
    fd = -1;
  }
  // A copy that lost the lock may still be alive for a moment: it ends at once, so count again
  // for a short while before deciding that another copy runs.
  for (int attempt = 0; attempt < 25; ++attempt) {
    if (countUpdaterProcesses() <= 1) return true;
    if (fd < 0) return false;
    platform::sleepMilliseconds(20);
  }
  return false;
}

namespace {

// Deciphers the file's bytes into the block. A container gives its plain bytes, a file of
// exactly one block is taken as plain; anything else is not settings.
std::optional<std::vector<uint8_t>> settingsFromFile(const std::vector<uint8_t>& bytes) {
  if (auto plain = settings_file::decryptContainer(bytes)) return plain;
  if (bytes.size() == settings_block::Block{}.size()) return bytes;
  return std::nullopt;
}

// A file that is no settings is kept byte for byte for whoever looks into it: under
// config.cfg.damaged, or the first free config.cfg.damaged.N where that name cannot be replaced
// (a directory). False, reported, when no name takes it.
bool moveDamagedAside() {
  using settings_file::kConfigFileName;
  const std::string damaged = settings_file::kDamagedConfigFileName;
  if (app_directory::oddity(damaged.c_str()) != "a directory" &&
      app_directory::rename(kConfigFileName, damaged.c_str()))
    return true;
  for (int n = 1; n < 100; ++n) {
    const std::string name = damaged + "." + std::to_string(n);
    if (app_directory::renameToFreeName(kConfigFileName, name.c_str())) return true;
  }
  app_directory::report(kConfigFileName, "is no settings file and cannot be moved aside");
  return false;
}

}  // namespace

bool loadSettingsBlock() {
  using settings_file::kConfigFileName;
  settings_block::Block& block = app_state::appState().settingsBlock;
  // A hard link is read through its name and replaced by a rename: its other names keep their
  // bytes. Anything else but a regular file is not followed, read or waited on.
  const std::string oddity = app_directory::oddity(kConfigFileName);
  const bool hardLink = oddity.starts_with("a hard link");
  if (!oddity.empty() && !hardLink) {
    app_directory::report(kConfigFileName, "is " + oddity + ", not a settings file; remove it");
    return false;
  }
  if (hardLink || app_directory::plainFileSize(kConfigFileName)) {
    // The file must be writable as before (a read-only file system ends the run here).
    if (!app_directory::writable(kConfigFileName)) {
      app_directory::report(kConfigFileName,
                            std::string("cannot be written: ") + std::strerror(errno));
      return false;
    }
    std::optional<std::vector<uint8_t>> bytes =
        app_directory::readHead(kConfigFileName, settings_file::MAX_SETTINGS_FILE_SIZE + 1);
    if (!bytes) {
      app_directory::report(kConfigFileName,
                            std::string("cannot be read: ") + std::strerror(errno));
      return false;
    }
    if (auto plain = settingsFromFile(*bytes)) {
      block.fill(0);  // a shorter file leaves the rest of the block zero
      std::copy_n(plain->begin(), std::min(plain->size(), block.size()), block.begin());
      // A directory where nothing can be created, or a full disk, leaves the file as it was;
      // the run goes on with the block in memory.
      settings_file::storeSettings(*plain);
      return true;
    }
    // Not settings: kept aside, and replaced by a new block.
    if (!moveDamagedAside()) return false;
  }
  uint32_t logical =
      client_report::getU32(app_state::appState().clientReport, client_report::LOGICAL_PROCESSORS);
  block = settings_block::makeDefaultBlock(&fillerState(), logical);
  if (auto installed = installed_signature::installedVersion())
    settings_block::setVersion(block, *installed);
  settings_file::storeSettings(block);
  return true;
}

bool prepareApplicationDirectory() {
  if (!loadSettingsBlock()) return false;
  package_install::finishInterruptedInstall(app_state::appState());
  package_install::removeStaleFiles();
  return true;
}

namespace {

// Ends the process once the window is closed. The install lock is held through the exit, so no
// swap of Kelvora.exe can be under way or begin. A worker that has finished is joined; one that is
// still fetching is abandoned with the process, as closing the window must not wait for a
// download.
[[noreturn]] void endAfterWindowClosed() {
  if (update_worker::updateWorkerFinished()) update_worker::stopUpdateWorker();
  package_install::installLock().lock();
  gfx::closegraph();
  std::fflush(nullptr);
  _exit(0);
}

}  // namespace

int runUpdater() {
  if (!isOnlyCopy()) {
    std::fputs("Update.exe: another copy of this program runs; this one ends\n", stderr);
    return 0;
  }
  fillMachineFacts(app_state::appState().clientReport);
  if (!prepareApplicationDirectory()) return 0;

  int screenWidth = 0;
  int screenHeight = 0;
  gfx::screen_size(&screenWidth, &screenHeight);

  // Closing the window ends the loop, not the process: the exit goes through the install lock.
  gfx::set_window_mode(gfx::kModeNoForcedExit, 0, 0);
  gfx::set_window_icons(app_icon::kelvoraIconImages());
  if (gfx::initgraph(500, 200, gfx::kModeStartupLogo) != 0) {
    std::fprintf(stderr, "%s\n", gfx::window_failure_text("Update.exe").c_str());
    return 2;
  }

  auto* view = new progress_view::ProgressView;  // lives as long as the process
  view->windowWidth = 500;
  view->windowHeight = 200;
  progress_view::init_progress_view(*view);
  progress_view::progressViewSlot() = view;

  gfx::set_window_title("Kelvora Update...");
  gfx::move_window(screenWidth / 2 - 250, screenHeight / 2 - 100);
  gfx::set_bk_mode(1);
  gfx::set_bk_color(0xEBEBEC);

  update_worker::startUpdateWorker();
  progress_view::run_progress_window();
  endAfterWindowClosed();
}

}  // namespace startup
