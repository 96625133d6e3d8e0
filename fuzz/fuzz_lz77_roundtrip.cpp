// Arbitrary blocks through Compress and back through Decompress: the bytes must survive, and
// the decoder must also survive the raw input taken as a compressed stream.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "updater/lz77.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static lz77::CCompressLZ77 codec;
  if (size == 0 || size > 65536) return 0;
  const int n = static_cast<int>(size);
  std::vector<uint8_t> packed(size), back(size);
  int length = codec.Compress(packed.data(), data, n);
  if (length > 0) {
    if (length >= n) __builtin_trap();
    if (!codec.Decompress(back.data(), n, packed.data(), length)) __builtin_trap();
    if (std::memcmp(back.data(), data, size) != 0) __builtin_trap();
  }
  codec.Decompress(back.data(), n, data, n);
  return 0;
}
