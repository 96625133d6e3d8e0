#include "updater/package_unpack.h"

#include <memory>

#include "updater/lz77.h"

namespace kelvora {

namespace {

constexpr int kMaxBlock = CCompressLZ77::kMaxBlock;

// One call's working memory: the two 64 KiB buffers and the decoder.
struct UnpackWork {
  std::vector<uint8_t> input = std::vector<uint8_t>(kMaxBlock);
  std::vector<uint8_t> output = std::vector<uint8_t>(kMaxBlock);
  CCompressLZ77 codec;
};

UnpackResult fail(long block, long offset, std::string reason) {
  UnpackResult r;
  r.ok = false;
  r.block = block;
  r.offset = offset;
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

BlockHeader readBlockHeader(const uint8_t* header) {
  BlockHeader h;
  h.plainField = header[kBlockPlainLengthOffset] | header[kBlockPlainLengthOffset + 1] << 8;
  h.storedField = header[kBlockStoredLengthOffset] | header[kBlockStoredLengthOffset + 1] << 8;
  h.plainLength = h.plainField == 0 ? kMaxBlock : long(h.plainField);
  h.stored = h.plainField == h.storedField;
  h.dataLength = h.stored ? h.plainLength : long(h.storedField);
  return h;
}

UnpackResult unpackPackageDetailed(std::FILE* package, const char* outputPath,
                                   const UnpackProgress& progress) {
  if (!package) return fail(-1, -1, "no package");
  std::FILE* out = std::fopen(outputPath, "wb");
  if (!out) {
    std::fclose(package);
    return fail(-1, -1, "cannot create output");
  }
  auto work = std::make_unique<UnpackWork>();
  uint8_t* const input = work->input.data();
  uint8_t* const output = work->output.data();
  const long total = packageLength(package);
  UnpackResult result;
  long offset = 0;
  for (long block = 0;; ++block) {
    uint8_t header[kBlockHeaderSize];
    const size_t got = std::fread(header, 1, kBlockHeaderSize, package);
    if (got == 0) break;
    if (got < size_t(kBlockHeaderSize)) {
      result = fail(block, offset, "truncated block header");
      break;
    }
    const BlockHeader h = readBlockHeader(header);
    const unsigned stored = h.storedField;
    const int n = int(h.plainLength);
    if (h.stored) {
      if (std::fread(output, 1, n, package) != size_t(n)) {
        result = fail(block, offset, "truncated stored block");
        break;
      }
    } else {
      // A cut stream goes to the decoder as it is: it is refused like any other bad stream
      // when it lacks bits, and only the framing notices a cut that the stream did not need.
      const size_t read = std::fread(input, 1, stored, package);
      if (!work->codec.Decompress(output, n, input, int(read))) {
        result = fail(block, offset,
                      stored == 0 ? "stored length 0 beside a non-zero plain length"
                                  : lz77ErrorText(work->codec.lastError()));
        result.decompressError = true;
        result.streamOffset = offset + kBlockHeaderSize + work->codec.streamByte();
        break;
      }
      if (read != stored) {
        result = fail(block, offset, "truncated compressed block");
        break;
      }
    }
    if (std::fwrite(output, 1, n, out) != size_t(n)) {
      result = fail(block, offset, "write error");
      break;
    }
    offset += kBlockHeaderSize + h.dataLength;
    if (progress) progress(offset, total);
  }
  std::fclose(package);
  if (std::fclose(out) != 0 && result.ok) result = fail(-1, -1, "write error");
  return result;
}

int unpackPackage(std::FILE* package, const char* outputPath) {
  const UnpackResult r = unpackPackageDetailed(package, outputPath);
  if (r.decompressError) {
    std::puts("Decompress error");
    std::fflush(stdout);
  }
  return r.ok ? 0 : -1;
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

}  // namespace kelvora
