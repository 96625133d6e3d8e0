// The machine probe: processor topology, a system-times sample and the processor clock.
#pragma once

#include <array>
#include <cstdint>
#include <functional>

namespace machine_probe {

constexpr size_t MAX_PROCESSOR_RECORDS = 96;
constexpr size_t MAX_PACKAGE_COUNTERS = 24;

struct ProcessorRecord {
  uint32_t highestStandardLeaf = 0;
  uint32_t highestExtendedLeaf = 0;
  uint32_t apicId = 0;
  uint32_t nApicIdCoreIdSize = 0;
  uint32_t nProcId = 0;
};

struct CpuidRegisters {
  uint32_t eax = 0, ebx = 0, ecx = 0, edx = 0;
};

// Where the probe reads its facts: the real machine, or a fake topology in tests.
struct TopologySource {
  std::function<uint32_t()> countProcessors;
  // Runs CPUID on logical processor `processor` (the probe pins itself there first).
  std::function<CpuidRegisters(uint32_t processor, uint32_t leaf)> cpuidOn;
  // CPUID on whatever processor the caller runs on right now.
  std::function<CpuidRegisters(uint32_t leaf)> cpuidHere;
};
TopologySource machineTopology();

struct TopologyResult {
  uint32_t packageCount = 0;
  uint32_t logicalProcessors = 0;
};

// The process-wide tables of the last probe.
struct ProbeTables {
  std::array<ProcessorRecord, MAX_PROCESSOR_RECORDS> records{};
  std::array<uint32_t, MAX_PACKAGE_COUNTERS> packageCounters{};
};
ProbeTables& probeTables();

// Probes every logical processor in turn. Processors past the table and package numbers past
// the counters are still counted as distinct packages, without writing outside the tables.
TopologyResult probeProcessorTopology(const TopologySource& source);
TopologyResult probeProcessorTopology();  // the real machine; restores the process's affinity

// Fills one record from the processor's CPUID leaves 1 and 0x80000008.
ProcessorRecord probeProcessor(const TopologySource& source, uint32_t processor);

struct SystemTimesSample {
  double idle = 0, kernel = 0, user = 0;  // 100-nanosecond units
};
// Takes a sample into the process-wide record; false when the times cannot be read.
bool sampleSystemTimes();
const SystemTimesSample& lastSystemTimes();

// Time-stamp counter ticks per microsecond over 1/16 s, measured at raised priority.
struct ClockSource {
  std::function<int64_t()> performanceCounter;
  std::function<int64_t()> performanceFrequency;
  std::function<uint64_t()> timeStampCounter;
};
int64_t measureProcessorMhz(const ClockSource& source);
int64_t measureProcessorMhz();

}  // namespace machine_probe
