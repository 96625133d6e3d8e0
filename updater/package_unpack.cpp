#include "updater/package_unpack.h"

#include <memory>

#include "updater/little_endian.h"
#include "updater/lz77.h"
#include "updater/package_stream_decoder.h"

namespace package_unpack {

using lz77::CCompressLZ77;

namespace {

constexpr int kMaxBlock = CCompressLZ77::kMaxBlock;

UnpackResult fail(std::string reason) {
  UnpackResult r;
  r.ok = false;
  r.reason = std::move(reason);
  return r;
}

}  // namespace

long packageLength(std::FILE* package) {
  if (std::fseek(package, 0, SEEK_END) != 0) return -1;
  const long length = std::ftell(package);
  if (std::fseek(package, 0, SEEK_SET) != 0) return -1;
  return length;
}

BlockHeader readBlockHeader(const uint8_t* bytes) {
  const std::span<const uint8_t> header(bytes, kBlockHeaderSize);
  BlockHeader h;
  h.plainField = little_endian::readU16(header, kBlockPlainLengthOffset);
  h.storedField = little_endian::readU16(header, kBlockStoredLengthOffset);
  h.plainLength = h.plainField == 0 ? kMaxBlock : long(h.plainField);
  h.stored = h.plainField == h.storedField;
  h.dataLength = h.stored ? h.plainLength : long(h.storedField);
  return h;
}

UnpackResult unpackPackageDetailed(std::FILE* package, const char* outputPath,
                                   const UnpackProgress& progress) {
  if (!package) return fail("no package");
  std::FILE* out = std::fopen(outputPath, "wb");
  if (!out) {
    std::fclose(package);
    return fail("cannot create output");
  }
  const long total = packageLength(package);
  PackageStreamDecoder decoder([out](std::span<const uint8_t> block) {
    return std::fwrite(block.data(), 1, block.size(), out) == block.size();
  });
  std::vector<uint8_t> piece(kMaxBlock);
  for (;;) {
    const size_t got = std::fread(piece.data(), 1, piece.size(), package);
    if (got == 0) break;
    if (!decoder.feed(std::span<const uint8_t>(piece.data(), got))) break;
    if (progress) progress(long(decoder.packageBytesDecoded()), total);
  }
  UnpackResult result = decoder.finish();
  std::fclose(package);
  if (std::fclose(out) != 0 && result.ok) result = fail("write error");
  return result;
}

size_t appendBlock(std::vector<uint8_t>& package, const uint8_t* block, int n, CCompressLZ77& codec,
                   uint8_t* scratch) {
  const int len = codec.Compress(scratch, block, n);
  const unsigned p = unsigned(n) & 0xFFFF;
  const unsigned s = len > 0 ? unsigned(len) : p;
  package.insert(package.end(), {uint8_t(p), uint8_t(p >> 8), uint8_t(s), uint8_t(s >> 8)});
  if (len > 0) {
    package.insert(package.end(), scratch, scratch + len);
  } else {
    package.insert(package.end(), block, block + n);
  }
  return kBlockHeaderSize + (len > 0 ? size_t(len) : size_t(n));
}

std::vector<uint8_t> packPackage(const std::vector<uint8_t>& plain) {
  auto codec = std::make_unique<CCompressLZ77>();
  std::vector<uint8_t> pkg, scratch(kMaxBlock);
  for (size_t pos = 0; pos < plain.size(); pos += kMaxBlock) {
    const int n = int(std::min<size_t>(kMaxBlock, plain.size() - pos));
    appendBlock(pkg, plain.data() + pos, n, *codec, scratch.data());
  }
  return pkg;
}

}  // namespace package_unpack
