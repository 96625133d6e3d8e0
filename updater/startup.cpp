#include "updater/startup.h"

#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "graphics/drawing.h"
#include "graphics/window.h"
#include "platform/clock.h"
#include "platform/cpu.h"
#include "platform/system.h"
#include "updater/app_icon.h"
#include "updater/app_state.h"
#include "updater/atomic_file.h"
#include "updater/client_report.h"
#include "updater/config_cipher.h"
#include "updater/machine_probe.h"
#include "updater/package_install.h"
#include "updater/progress_view.h"
#include "updater/settings_block.h"
#include "updater/update_worker.h"

namespace {

constexpr char kConfigFile[] = "config.cfg";

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
  std::vector<std::string> names = platform::processExecutableNames();
  return static_cast<int>(std::count(names.begin(), names.end(), std::string("Update.exe")));
}

bool loadSettingsBlock() {
  settings_block::Block& block = appState().settingsBlock;
  if (access(kConfigFile, F_OK) == 0) {
    decryptConfigFile();
    std::FILE* file = std::fopen(kConfigFile, "rb+");
    if (file == nullptr) return false;
    block.fill(0);
    size_t got = std::fread(block.data(), 1, block.size(), file);
    (void)got;  // a shorter file leaves the rest of the block zero
    std::fclose(file);
  } else {
    uint32_t logical =
        client_report::getU32(appState().clientReport, client_report::LOGICAL_PROCESSORS);
    block = settings_block::makeDefaultBlock(&fillerState(), logical);
    // A directory where the file cannot be created still runs with the block in memory.
    replaceFileAtomically(kConfigFile, block);
  }
  encryptConfigFile();
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
  if (countUpdaterProcesses() > 1) return 0;
  fillMachineFacts(appState().clientReport);
  if (!loadSettingsBlock()) return 0;

  int screenWidth = 0;
  int screenHeight = 0;
  gfx::screen_size(&screenWidth, &screenHeight);

  // Closing the window ends the loop, not the process: the exit goes through the install lock.
  gfx::set_window_mode(gfx::kModeNoForcedExit, 0, 0);
  gfx::set_window_icons(kelvoraIconImages());
  if (gfx::initgraph(500, 200, gfx::kModeStartupLogo) != 0) {
    std::fprintf(stderr, "%s\n", gfx::window_failure_text("Update.exe").c_str());
    return 2;
  }

  auto* view = new ProgressView;  // lives as long as the process
  view->windowWidth = 500;
  view->windowHeight = 200;
  init_progress_view(*view);
  progressViewSlot() = view;

  gfx::set_window_title("Kelvora Update...");
  gfx::move_window(screenWidth / 2 - 250, screenHeight / 2 - 100);
  gfx::set_bk_mode(1);
  gfx::set_bk_color(0xEBEBEC);

  update_worker::startUpdateWorker();
  run_progress_window();
  endAfterWindowClosed();
}
