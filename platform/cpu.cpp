#include "platform/cpu.h"

#include <cpuid.h>
#include <x86intrin.h>

namespace platform {

CpuidResult cpuid(uint32_t leaf, uint32_t subleaf) {
  CpuidResult r;
  __cpuid_count(leaf, subleaf, r.eax, r.ebx, r.ecx, r.edx);
  return r;
}

uint64_t readTimeStampCounter() {
  return __rdtsc();
}

}  // namespace platform
