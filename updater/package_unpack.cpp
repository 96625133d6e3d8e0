#include "updater/package_unpack.h"

#include <memory>

#include "updater/lz77.h"

namespace kelvora {

namespace {

UnpackResult fail(long block, long offset, std::string reason) {
  return UnpackResult{false, block, offset, std::move(reason)};
}

}  // namespace

UnpackResult unpackPackageDetailed(std::FILE* package, const char* outputPath) {
  std::FILE* out = std::fopen(outputPath, "wb");
  if (!out) {
    std::fclose(package);
    return fail(-1, -1, "cannot create output");
  }
  static uint8_t input[65536];
  static uint8_t output[65536];
  static CCompressLZ77 codec;
  UnpackResult result;
  long offset = 0;
  for (long block = 0;; ++block) {
    uint8_t header[4];
    size_t got = std::fread(header, 1, 4, package);
    if (got == 0) break;
    if (got < 4) {
      result = fail(block, offset, "truncated block header");
      break;
    }
    unsigned plain = header[0] | header[1] << 8;
    unsigned stored = header[2] | header[3] << 8;
    int n = plain == 0 ? 65536 : int(plain);
    if (plain == stored) {
      if (std::fread(output, 1, n, package) != size_t(n)) {
        result = fail(block, offset, "truncated stored block");
        break;
      }
    } else {
      if (stored == 0) {
        result = fail(block, offset, "stored length 0 beside non-zero plain length");
        break;
      }
      if (std::fread(input, 1, stored, package) != stored) {
        result = fail(block, offset, "truncated compressed block");
        break;
      }
      if (!codec.Decompress(output, n, input, int(stored))) {
        result = fail(block, offset, "malformed compressed block");
        break;
      }
    }
    if (std::fwrite(output, 1, n, out) != size_t(n)) {
      result = fail(block, offset, "write error");
      break;
    }
    offset += 4 + (plain == stored ? n : long(stored));
  }
  std::fclose(package);
  if (std::fclose(out) != 0 && result.ok) result = fail(-1, -1, "write error");
  return result;
}

int unpackPackage(std::FILE* package, const char* outputPath) {
  UnpackResult r = unpackPackageDetailed(package, outputPath);
  if (!r.ok && r.block >= 0) std::puts("Decompress error");
  return r.ok ? 0 : -1;
}

std::vector<uint8_t> packPackage(const std::vector<uint8_t>& plain) {
  auto codec = std::make_unique<CCompressLZ77>();
  std::vector<uint8_t> pkg, buf(65536);
  for (size_t pos = 0; pos < plain.size(); pos += 65536) {
    int n = int(std::min<size_t>(65536, plain.size() - pos));
    int len = codec->Compress(buf.data(), plain.data() + pos, n);
    unsigned p = unsigned(n) & 0xFFFF;
    unsigned s = len > 0 ? unsigned(len) : p;
    pkg.insert(pkg.end(), {uint8_t(p), uint8_t(p >> 8), uint8_t(s), uint8_t(s >> 8)});
    if (len > 0)
      pkg.insert(pkg.end(), buf.begin(), buf.begin() + len);
    else
      pkg.insert(pkg.end(), plain.begin() + pos, plain.begin() + pos + n);
  }
  return pkg;
}

}  // namespace kelvora
