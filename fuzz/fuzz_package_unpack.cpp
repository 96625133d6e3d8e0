// Arbitrary package bytes through the unpacker, read from a file and fed in small pieces: it must
// fail cleanly or succeed, never stray, and both ways must come to the same verdict.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <span>

#include "updater/package_stream_decoder.h"
#include "updater/package_unpack.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  std::FILE* package = fmemopen(const_cast<uint8_t*>(data), size, "rb");
  if (package == nullptr) return 0;
  // The output goes nowhere; the unpacker only opens and writes it.
  const kelvora::UnpackResult whole = kelvora::unpackPackageDetailed(package, "/dev/null");

  // The piece size comes from the last byte, so the package itself stays the whole input.
  const size_t piece = 1 + data[size - 1] % 61;
  kelvora::PackageStreamDecoder decoder([](std::span<const uint8_t>) { return true; });
  const std::span<const uint8_t> bytes(data, size);
  for (size_t at = 0; at < size; at += piece)
    if (!decoder.feed(bytes.subspan(at, std::min(piece, size - at)))) break;
  const kelvora::UnpackResult& streamed = decoder.finish();
  if (whole.ok != streamed.ok || whole.reason != streamed.reason || whole.block != streamed.block ||
      whole.offset != streamed.offset || whole.streamOffset != streamed.streamOffset)
    __builtin_trap();
  return 0;
}
