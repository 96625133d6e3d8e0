#include <gtest/gtest.h>

#include <numeric>
#include <set>

#include "platform/system.h"
#include "updater/machine_probe.h"

namespace {

using machine_probe::CpuidRegisters;
using machine_probe::TopologySource;

// A fake machine: n processors with the given APIC IDs and core-ID size (0 = leaf 0x80000008
// missing), recording which processors were asked.
TopologySource fakeTopology(std::vector<uint32_t> apicIds, uint32_t coreIdSize,
                            std::set<uint32_t>* asked) {
  TopologySource s;
  s.countProcessors = [n = apicIds.size()] { return static_cast<uint32_t>(n); };
  s.cpuidHere = [apicIds](uint32_t) { return CpuidRegisters{0, apicIds[0] << 24, 0, 0}; };
  s.cpuidOn = [apicIds, coreIdSize, asked](uint32_t p, uint32_t leaf) {
    asked->insert(p);
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
  // The last machine: 130 processors, one package each from APIC ID / 2, so packages 0..64, many
  // past the 24 counters and processors past the 96 records.
  std::vector<uint32_t> many(130);
  std::iota(many.begin(), many.end(), 0u);
  struct Case {
    std::vector<uint32_t> apicIds;
    uint32_t coreIdSize, packages;
  };
  for (const Case& c : {Case{{0, 1, 2, 3}, 0, 2}, Case{{0, 1, 2, 3, 4, 5, 6, 7}, 2, 2},
                        Case{{0}, 0, 1}, Case{many, 0, 65}}) {
    std::set<uint32_t> asked;
    auto result =
        machine_probe::probeProcessorTopology(fakeTopology(c.apicIds, c.coreIdSize, &asked));
    EXPECT_EQ(result.packageCount, c.packages) << c.apicIds.size() << " processors";
    EXPECT_EQ(result.logicalProcessors, c.apicIds.size());
    EXPECT_EQ(asked.size(), c.apicIds.size()) << "every processor is probed";
  }
}

TEST(MachineProbe, ClockFromCounterAndTimeStampCounter) {
  // Frequency 10^7: the wait is 625000 counter ticks; a TSC that advances 187500000 gives 3000.
  int64_t counter = 0;
  uint64_t tsc = 0;
  int reads = 0;
  auto readCounter = [&] { return ++reads, (counter += 100000) - 100000; };
  auto readTsc = [&] { return (tsc += 187'500'000) - 187'500'000; };
  machine_probe::ClockSource clock{readCounter, [] { return int64_t{10'000'000}; }, readTsc};
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
