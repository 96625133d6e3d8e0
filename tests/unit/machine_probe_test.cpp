#include <gtest/gtest.h>

#include <set>

#include "platform/system.h"
#include "updater/machine_probe.h"

namespace {

using machine_probe::CpuidRegisters;
using machine_probe::TopologySource;

// A fake machine: n processors with the given APIC IDs and core-ID size (0 = leaf 0x80000008
// missing), recording which processors were asked.
TopologySource fakeTopology(std::vector<uint32_t> apicIds, uint32_t coreIdSize,
                            std::set<uint32_t>* asked = nullptr) {
  TopologySource s;
  s.countProcessors = [n = apicIds.size()] { return static_cast<uint32_t>(n); };
  s.cpuidHere = [apicIds](uint32_t) { return CpuidRegisters{0, apicIds[0] << 24, 0, 0}; };
  s.cpuidOn = [apicIds, coreIdSize, asked](uint32_t p, uint32_t leaf) {
    if (asked) asked->insert(p);
    CpuidRegisters r;
    if (leaf == 0) r.eax = 1;
    if (leaf == 1) r.ebx = (apicIds.at(p) & 0xFF) << 24;
    if (leaf == 0x80000000u) r.eax = coreIdSize ? 0x80000008u : 0x80000004u;
    if (leaf == 0x80000008u) r.ecx = coreIdSize << 12;
    return r;
  };
  return s;
}

TEST(MachineProbe, PackageNumbersFromApicIdAndCoreIdSize) {
  auto halved = machine_probe::probeProcessorTopology(fakeTopology({0, 1, 2, 3}, 0));
  EXPECT_EQ(halved.packageCount, 2u);
  EXPECT_EQ(halved.logicalProcessors, 4u);
  EXPECT_EQ(machine_probe::probeTables().records[3].nProcId, 1u);

  auto two = machine_probe::probeProcessorTopology(fakeTopology({0, 1, 2, 3, 4, 5, 6, 7}, 2));
  EXPECT_EQ(two.packageCount, 2u);
  const auto& records = machine_probe::probeTables().records;
  EXPECT_EQ(records[3].nProcId, 0u);
  EXPECT_EQ(records[4].nProcId, 1u);
  EXPECT_EQ(records[4].nApicIdCoreIdSize, 2u);

  auto single = machine_probe::probeProcessorTopology(fakeTopology({0}, 0));
  EXPECT_EQ(single.packageCount, 1u);
  EXPECT_EQ(single.logicalProcessors, 1u);
}

TEST(MachineProbe, BeyondTheTablesStillCountsDistinctPackages) {
  // 130 processors, one package each from APIC ID / 2: packages 0..64, many past the 24 counters
  // and processors past the 96 records.
  std::vector<uint32_t> ids;
  for (uint32_t i = 0; i < 130; ++i) ids.push_back(i);
  std::set<uint32_t> asked;
  auto result = machine_probe::probeProcessorTopology(fakeTopology(ids, 0, &asked));
  EXPECT_EQ(result.logicalProcessors, 130u);
  EXPECT_EQ(result.packageCount, 65u);
  EXPECT_EQ(asked.size(), 130u) << "every processor is probed";
  const auto& counters = machine_probe::probeTables().packageCounters;
  for (uint32_t c : counters) EXPECT_EQ(c, 2u);
}

TEST(MachineProbe, ClockFromCounterAndTimeStampCounter) {
  // Frequency 10^7: the wait is 625000 counter ticks; a TSC that advances 187500000 gives 3000.
  int64_t counter = 0;
  uint64_t tsc = 0;
  int reads = 0;
  machine_probe::ClockSource clock{[&] {
                                     ++reads;
                                     int64_t now = counter;
                                     counter += 100000;
                                     return now;
                                   },
                                   [] { return int64_t{10'000'000}; },
                                   [&] {
                                     uint64_t now = tsc;
                                     tsc += 187'500'000;
                                     return now;
                                   }};
  EXPECT_EQ(machine_probe::measureProcessorMhz(clock), 3000);
  EXPECT_EQ(reads, 8) << "one start reading and polls until 625000 is reached";
}

TEST(MachineProbe, RealMachineKeepsTheAffinityItHad) {
  auto before = platform::processAffinity();
  auto result = machine_probe::probeProcessorTopology();
  EXPECT_EQ(result.logicalProcessors, platform::logicalProcessorCount());
  EXPECT_GE(result.packageCount, 1u);
  EXPECT_EQ(platform::processAffinity(), before);
  EXPECT_GT(machine_probe::measureProcessorMhz(), 100);
}

}  // namespace
