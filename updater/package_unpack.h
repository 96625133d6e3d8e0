// The update package: blocks of at most 65536 bytes, each stored or LZ77-compressed, with
// nothing before, between or after them. The block header is written down in docs/FORMATS.md,
// section 1.1; its offsets below are the only place the code names them.
#pragma once

#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

namespace lz77 {
class CCompressLZ77;
}

namespace package_unpack {

inline constexpr int kBlockHeaderSize = 4;
inline constexpr int kBlockPlainLengthOffset = 0;
inline constexpr int kBlockStoredLengthOffset = 2;
static_assert(kBlockStoredLengthOffset + 2 == kBlockHeaderSize);

// One block header as read from kBlockHeaderSize bytes.
struct BlockHeader {
  unsigned plainField = 0, storedField = 0;  // the two fields as written
  long plainLength = 0;                      // the unpacked length (0 stands for 65536)
  bool stored = false;                       // equal fields: the data is the plain bytes
  long dataLength = 0;                       // bytes of data after the header
};
BlockHeader readBlockHeader(const uint8_t* header);

// The length of a seekable package, which is left at its start; -1 when it cannot seek.
long packageLength(std::FILE* package);

struct UnpackResult {
  bool ok = true;
  // The codec refused a compressed block, rather than the package ending early or a write
  // failing.
  bool decompressError = false;
  long block = -1;         // index of the failing block
  long offset = -1;        // package offset of that block's header
  long streamOffset = -1;  // package offset where decoding stopped, for a refused block
  std::string reason;
};

// Called as blocks are decoded with the package bytes consumed and the package length (-1 when
// the package cannot seek).
using UnpackProgress = std::function<void(long done, long total)>;

// Decodes `package` into outputPath and closes the package. Blocks decoded before a failure
// stay in the output. Reentrant: every call has its own buffers and decoder
// (package_stream_decoder.h).
UnpackResult unpackPackageDetailed(std::FILE* package, const char* outputPath,
                                   const UnpackProgress& progress = {});

// Builds a package from bytes, compressing each block when that is shorter.
std::vector<uint8_t> packPackage(const std::vector<uint8_t>& plain);

// Appends one block of 1 to 65536 bytes to `package`, compressed with `codec` when shorter;
// `scratch` is at least 65536 bytes. Gives the bytes appended.
size_t appendBlock(std::vector<uint8_t>& package, const uint8_t* block, int n,
                   lz77::CCompressLZ77& codec, uint8_t* scratch);

}  // namespace package_unpack
