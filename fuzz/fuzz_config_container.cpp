// Arbitrary settings file bytes through the container check and decryption.
#include <cstddef>
#include <cstdint>
#include <span>

#include "updater/settings_file.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  auto plain = settings_file::decryptContainer(std::span<const uint8_t>(data, size));
  if (plain && plain->size() > size) __builtin_trap();  // a container never grows when opened
  return 0;
}
