#include "updater/machine_probe.h"

#include <algorithm>
#include <vector>

#include "platform/clock.h"
#include "platform/cpu.h"
#include "platform/system.h"

namespace machine_probe {

namespace {

CpuidRegisters fromPlatform(uint32_t leaf) {
  platform::CpuidResult r = platform::cpuid(leaf);
  return {r.eax, r.ebx, r.ecx, r.edx};
}

}  // namespace

ProbeTables& probeTables() {
  static ProbeTables tables;
  return tables;
}

TopologySource machineTopology() {
  TopologySource source;
  source.countProcessors = [] { return platform::logicalProcessorCount(); };
  source.cpuidHere = fromPlatform;
  source.cpuidOn = [](uint32_t processor, uint32_t leaf) {
    // The mask holds 64 processors; beyond that the thread stays where it is.
    if (processor < 64) platform::setProcessAffinity(uint64_t{1} << processor);
    return fromPlatform(leaf);
  };
  return source;
}

ProcessorRecord probeProcessor(const TopologySource& source, uint32_t processor) {
  ProcessorRecord record;
  record.highestStandardLeaf = source.cpuidOn(processor, 0).eax;
  // Every leaf is executed as on the machine the design was made for; only two are kept.
  for (uint32_t leaf = 0; leaf <= record.highestStandardLeaf && leaf < 0x100; ++leaf) {
    CpuidRegisters r = source.cpuidOn(processor, leaf);
    if (leaf == 1) record.apicId = (r.ebx >> 24) & 0xFF;
  }
  record.highestExtendedLeaf = source.cpuidOn(processor, 0x80000000u).eax;
  if (record.highestExtendedLeaf >= 0x80000000u) {
    for (uint32_t leaf = 0x80000000u; leaf <= record.highestExtendedLeaf && leaf < 0x80000100u;
         ++leaf) {
      CpuidRegisters r = source.cpuidOn(processor, leaf);
      if (leaf == 0x80000008u) record.nApicIdCoreIdSize = (r.ecx >> 12) & 0xF;
    }
  }
  uint32_t mask = 1, shift = 1;
  if (record.nApicIdCoreIdSize != 0) {
    shift = record.nApicIdCoreIdSize;
    mask = (1u << shift) - 1;
  }
  record.nProcId = (record.apicId & ~mask) >> shift;
  return record;
}

TopologyResult probeProcessorTopology(const TopologySource& source) {
  ProbeTables& tables = probeTables();
  tables = ProbeTables{};
  const uint32_t n = source.countProcessors();
  // Package numbers that do not fit the counters are kept aside, so they still count.
  std::vector<uint32_t> largePackages;
  for (uint32_t i = 0; i < n; ++i) {
    ProcessorRecord record = probeProcessor(source, i);
    if (i < MAX_PROCESSOR_RECORDS) tables.records[i] = record;
    if (record.nProcId < MAX_PACKAGE_COUNTERS) {
      ++tables.packageCounters[record.nProcId];
    } else if (std::find(largePackages.begin(), largePackages.end(), record.nProcId) ==
               largePackages.end()) {
      largePackages.push_back(record.nProcId);
    }
  }
  TopologyResult result;
  result.logicalProcessors = n;
  result.packageCount = static_cast<uint32_t>(std::count_if(tables.packageCounters.begin(),
                                                            tables.packageCounters.end(),
                                                            [](uint32_t c) { return c != 0; }) +
                                              largePackages.size());
  return result;
}

TopologyResult probeProcessorTopology() {
  // The process gets back the affinity it had: the rest of the program may run anywhere.
  std::optional<uint64_t> before = platform::processAffinity();
  TopologyResult result = probeProcessorTopology(machineTopology());
  if (before) platform::setProcessAffinity(*before);
  return result;
}

namespace {
SystemTimesSample& systemTimesRecord() {
  static SystemTimesSample sample;
  return sample;
}
}  // namespace

bool sampleSystemTimes() {
  std::optional<platform::SystemTimes> times = platform::systemTimes();
  if (!times) return false;
  SystemTimesSample& s = systemTimesRecord();
  s.idle = static_cast<double>(times->idle);
  s.kernel = static_cast<double>(times->kernel);
  s.user = static_cast<double>(times->user);
  return true;
}

const SystemTimesSample& lastSystemTimes() {
  return systemTimesRecord();
}

int64_t measureProcessorMhz(const ClockSource& source) {
  platform::PrioritySnapshot saved = platform::currentPriority();
  platform::raisePriority();
  const int64_t frequency = source.performanceFrequency();
  const int64_t target = source.performanceCounter() + frequency / 16;
  const uint64_t t0 = source.timeStampCounter();
  while (source.performanceCounter() < target) {
  }
  const uint64_t t1 = source.timeStampCounter();
  platform::restorePriority(saved);
  return static_cast<int64_t>(t1 - t0) / 62500;
}

int64_t measureProcessorMhz() {
  return measureProcessorMhz({platform::performanceCounter, platform::performanceFrequency,
                              platform::readTimeStampCounter});
}

}  // namespace machine_probe
