// Processor instructions: CPUID and the time-stamp counter.
#pragma once

#include <cstdint>

namespace platform {

struct CpuidResult {
  uint32_t eax = 0, ebx = 0, ecx = 0, edx = 0;
};

CpuidResult cpuid(uint32_t leaf, uint32_t subleaf = 0);
uint64_t readTimeStampCounter();

}  // namespace platform
