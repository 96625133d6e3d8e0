#include "updater/startup.h"

#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "platform/clock.h"
#include "platform/cpu.h"
#include "platform/system.h"
#include "updater/app_state.h"
#include "updater/atomic_file.h"
#include "updater/client_report.h"
#include "updater/config_cipher.h"
#include "updater/machine_probe.h"
#include "updater/package_install.h"
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

int runUpdater() {
  if (countUpdaterProcesses() > 1) return 0;
  fillMachineFacts(appState().clientReport);
  if (!loadSettingsBlock()) return 0;
  // Steps 9 to 14 (screen size, window, progress view, caption, centring, background) go here.
  update_worker::startUpdateWorker();
  // Step 16, the progress window loop, goes here. Until it exists the main thread waits for the
  // worker to finish (installed, nothing new, or a failed fetch).
  while (!update_worker::updateWorkerFinished()) platform::sleepMilliseconds(50);
  update_worker::stopUpdateWorker();
  // Held through the exit: no swap of Kelvora.exe can be under way or begin while it runs.
  package_install::installLock().lock();
  return 0;
}
