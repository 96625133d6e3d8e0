// Arbitrary package bytes through the unpacker: it must fail cleanly or succeed, never stray.
#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "updater/package_unpack.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  std::FILE* package = fmemopen(const_cast<uint8_t*>(data), size, "rb");
  if (package == nullptr) return 0;
  // The output goes nowhere; the unpacker only opens and writes it.
  kelvora::unpackPackageDetailed(package, "/dev/null");
  return 0;
}
