// kelvora-pack: builds, unpacks and describes update packages.
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

#include "updater/package_unpack.h"

namespace {

const char kUsage[] =
    "usage: kelvora-pack build INPUT PACKAGE\n"
    "       kelvora-pack unpack PACKAGE OUTPUT\n"
    "       kelvora-pack info PACKAGE\n";

int build(const char* input, const char* package) {
  std::ifstream in(input, std::ios::binary);
  if (!in) {
    std::fprintf(stderr, "kelvora-pack: cannot read %s\n", input);
    return 1;
  }
  std::vector<uint8_t> data((std::istreambuf_iterator<char>(in)), {});
  auto pkg = kelvora::packPackage(data);
  std::ofstream out(package, std::ios::binary);
  out.write(reinterpret_cast<const char*>(pkg.data()), std::streamsize(pkg.size()));
  if (!out) {
    std::fprintf(stderr, "kelvora-pack: cannot write %s\n", package);
    return 1;
  }
  return 0;
}

int unpack(const char* package, const char* output) {
  std::FILE* f = std::fopen(package, "rb");
  if (!f) {
    std::fprintf(stderr, "kelvora-pack: cannot open %s\n", package);
    return 1;
  }
  auto r = kelvora::unpackPackageDetailed(f, output);
  if (r.ok) return 0;
  std::error_code ec;
  std::filesystem::remove(output, ec);
  std::fprintf(stderr, "kelvora-pack: %s: block %ld at offset %ld: %s\n", package, r.block,
               r.offset, r.reason.c_str());
  return 1;
}

int info(const char* package) {
  std::FILE* f = std::fopen(package, "rb");
  if (!f) {
    std::fprintf(stderr, "kelvora-pack: cannot open %s\n", package);
    return 1;
  }
  long offset = 0, block = 0, plainTotal = 0;
  uint8_t h[4];
  size_t got;
  while ((got = std::fread(h, 1, 4, f)) == 4) {
    unsigned p = h[0] | h[1] << 8, s = h[2] | h[3] << 8;
    long n = p == 0 ? 65536 : p;
    long len = p == s ? n : s;
    std::printf("%ld\t%ld\t%ld\t%s\n", block, n, len, p == s ? "stored" : "compressed");
    if (std::fseek(f, len, SEEK_CUR) != 0) break;
    offset += 4 + len;
    plainTotal += n;
    ++block;
  }
  std::fseek(f, 0, SEEK_END);
  long size = std::ftell(f);
  std::fclose(f);
  if (got != 0 || offset != size) {
    std::fprintf(stderr, "kelvora-pack: %s: block %ld at offset %ld: truncated\n", package, block,
                 offset);
    return 1;
  }
  std::printf("total\t%ld\t%ld\t%ld blocks\n", plainTotal, size, block);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 2 && !std::strcmp(argv[1], "--help")) {
    std::fputs(kUsage, stdout);
    return 0;
  }
  if (argc == 2 && !std::strcmp(argv[1], "--version")) {
    std::puts("kelvora-pack 1.0");
    return 0;
  }
  if (argc == 4 && !std::strcmp(argv[1], "build")) return build(argv[2], argv[3]);
  if (argc == 4 && !std::strcmp(argv[1], "unpack")) return unpack(argv[2], argv[3]);
  if (argc == 3 && !std::strcmp(argv[1], "info")) return info(argv[2]);
  std::fputs(kUsage, stderr);
  return 2;
}
