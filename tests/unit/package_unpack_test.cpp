// The package unpacker, from a file and fed in pieces of any size: block framing, what a refused
// block leaves behind and says, and the memory it needs for a large package.
#include "updater/package_unpack.h"

#include <gtest/gtest.h>
#include <sys/resource.h>

#include <memory>
#include <random>

#include "tests/support/test_support.h"
#include "updater/lz77.h"
#include "updater/package_stream_decoder.h"

using namespace package_unpack;
using namespace lz77;

namespace {

using Bytes = std::vector<uint8_t>;

std::FILE* packageFile(const Bytes& pkg) {
  std::FILE* f = std::tmpfile();
  if (!pkg.empty()) std::fwrite(pkg.data(), 1, pkg.size(), f);
  std::rewind(f);
  return f;
}

// The package unpacked from a file (piece 0) or fed to the stream decoder `piece` bytes at a
// time; the program goes to `out`.
UnpackResult unpack(const Bytes& pkg, size_t piece, Bytes& out) {
  if (piece == 0) {
    testsupport::TempDir dir;
    const UnpackResult r = unpackPackageDetailed(packageFile(pkg), (dir / "Kelvora.exe").c_str());
    out = testsupport::readFile(dir / "Kelvora.exe");  // throws when no program was made
    return r;
  }
  out.clear();
  PackageStreamDecoder decoder([&](std::span<const uint8_t> block) {
    out.insert(out.end(), block.begin(), block.end());
    return true;
  });
  for (size_t at = 0; at < pkg.size(); at += piece)
    if (!decoder.feed(std::span(pkg).subspan(at, std::min(piece, pkg.size() - at)))) break;
  return decoder.finish();
}

constexpr size_t kPieces[] = {0, 1, 3, 4099};

Bytes header(unsigned plain, unsigned stored) {
  return {uint8_t(plain), uint8_t(plain >> 8), uint8_t(stored), uint8_t(stored >> 8)};
}

Bytes operator+(Bytes a, const Bytes& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

Bytes compressible(size_t n, uint32_t seed) {
  std::mt19937 rng(seed);
  Bytes b;
  while (b.size() < n) b.insert(b.end(), 1 + rng() % 40, uint8_t("kelvora"[rng() % 7]));
  b.resize(n);
  return b;
}

TEST(PackageUnpack, WellFormedPackages) {
  // Both fields 0: 65536 stored bytes. Both 5: five. Plain 0 beside a stored length: a
  // compressed block of 65536 bytes. Then the worked example, all joined in order.
  const Bytes big = compressible(65536, 1);
  auto codec = std::make_unique<CCompressLZ77>();
  Bytes stream(65536);
  const int len = codec->Compress(stream.data(), big.data(), 65536);
  ASSERT_GT(len, 0);
  stream.resize(size_t(len));
  const Bytes five = {1, 2, 3, 4, 5};
  const Bytes pkg = header(0, 0) + big + header(5, 5) + five + header(0, unsigned(len)) + stream +
                    header(4, 3) + Bytes{0x20, 0x90, 0xA0};
  const Bytes expected = big + five + big + Bytes({'A', 'B', 'A', 'B'});
  for (size_t piece : kPieces) {
    Bytes out;
    EXPECT_TRUE(unpack({}, piece, out).ok && out.empty()) << "the empty package, " << piece;
    EXPECT_TRUE(unpack(pkg, piece, out).ok) << piece;
    EXPECT_EQ(out, expected) << piece;
  }
}

TEST(PackageUnpack, RefusedBlocksAndCutPackages) {
  const Bytes good = header(4, 3) + Bytes{0x20, 0x90, 0xA0};
  const Bytes abab = {'A', 'B', 'A', 'B'};
  const struct {
    const char* what;
    Bytes pkg;
    bool codecRefuses;  // else the package ends early
  } cases[] = {
      {"cut header", good + Bytes{4, 0, 3}, false},
      {"cut stored block", good + header(5, 5) + Bytes{1, 2}, false},
      {"stored length 0 beside plain length 5", good + header(5, 0), true},
      {"match as first item", good + header(2, 1) + Bytes{0x80}, true},
  };
  for (const auto& t : cases) {
    for (size_t piece : kPieces) {
      Bytes out;
      const UnpackResult r = unpack(t.pkg, piece, out);
      EXPECT_FALSE(r.ok) << t.what << piece;
      EXPECT_EQ(r.decompressError, t.codecRefuses) << t.what << piece;
      EXPECT_EQ(out, abab) << t.what << piece << ": the block before the fault stays";
    }
  }

  // The details name the block, its header offset and where decoding stopped.
  const Bytes bad =
      good + header(5, 5) + Bytes{1, 2, 3, 4, 5} + header(8, 3) + Bytes{0x30, 0x98, 0x8C};
  for (size_t piece : {0, 1}) {
    Bytes out;
    const UnpackResult d = unpack(bad, piece, out);
    EXPECT_FALSE(d.ok);
    EXPECT_TRUE(d.decompressError);
    EXPECT_EQ(d.block, 2);
    EXPECT_EQ(d.offset, 16);
    EXPECT_EQ(d.streamOffset, 16 + 4 + 2);  // "a" and "b" take 18 bits; "c" lacks its last bits
    EXPECT_EQ(d.reason, lz77ErrorText(Lz77Error::kStreamEnd));
  }
}

long peakResidentKiB() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return usage.ru_maxrss;
}

TEST(PackageUnpack, LargePackageNeedsLittleMemory) {
  testsupport::TempDir dir;
  // 100 MiB of program made of a few distinct compressed blocks, written a block at a time.
  auto codec = std::make_unique<CCompressLZ77>();
  Bytes scratch(65536);
  std::vector<Bytes> blocks;
  for (uint32_t i = 0; i < 4; ++i)
    appendBlock(blocks.emplace_back(), compressible(65536, 20 + i).data(), 65536, *codec,
                scratch.data());
  codec.reset();
  const auto pkgPath = dir / "100.BIN";
  std::FILE* pkg = std::fopen(pkgPath.c_str(), "wb");
  ASSERT_NE(pkg, nullptr);
  for (int i = 0; i < 1600; ++i) std::fwrite(blocks[i % 4].data(), 1, blocks[i % 4].size(), pkg);
  std::fclose(pkg);

  const long before = peakResidentKiB();
  const UnpackResult r =
      unpackPackageDetailed(std::fopen(pkgPath.c_str(), "rb"), (dir / "Kelvora.exe").c_str());
  const long after = peakResidentKiB();
  ASSERT_TRUE(r.ok) << r.reason;
  EXPECT_EQ(std::filesystem::file_size(dir / "Kelvora.exe"), 100u << 20);
  EXPECT_LT(after - before, 8 * 1024)
      << "peak resident KiB before " << before << ", after " << after;
}

}  // namespace
