#include "updater/lz77.h"

#include <gtest/gtest.h>

#include <random>
#include <vector>

using kelvora::CCompressLZ77;

namespace {

std::vector<uint8_t> decode(CCompressLZ77& c, const std::vector<uint8_t>& in, int n, bool& ok) {
  std::vector<uint8_t> out(n);
  ok = c.Decompress(out.data(), n, in.data(), int(in.size()));
  return out;
}

TEST(Lz77Decode, WorkedExamples) {
  CCompressLZ77 c;
  bool ok;
  auto abab = decode(c, {0x20, 0x90, 0xA0}, 4, ok);
  ASSERT_TRUE(ok);
  EXPECT_EQ(std::string(abab.begin(), abab.end()), "ABAB");
  auto abc = decode(c, {0x30, 0x98, 0x8C, 0x78, 0x72, 0x00}, 12, ok);
  ASSERT_TRUE(ok);
  EXPECT_EQ(std::string(abc.begin(), abc.end()), "abcabcabcabc");
}

TEST(Lz77Decode, MalformedFails) {
  CCompressLZ77 c;
  bool ok;
  decode(c, {0x20, 0x90}, 4, ok);  // stream ends early
  EXPECT_FALSE(ok);
  decode(c, {0x80, 0x00}, 2, ok);  // match first
  EXPECT_FALSE(ok);
  decode(c, {0x20, 0x90, 0xA0}, 3, ok);  // match past n
  EXPECT_FALSE(ok);
  std::vector<uint8_t> big(4);
  EXPECT_FALSE(c.Decompress(big.data(), 65537, big.data(), 4));
}

TEST(Lz77Compress, ExamplesAndRoundTrips) {
  CCompressLZ77 c;
  std::string s = "abcabcabcabc";
  std::vector<uint8_t> out(s.size());
  int len = c.Compress(out.data(), reinterpret_cast<const uint8_t*>(s.data()), int(s.size()));
  out.resize(len);
  EXPECT_EQ(out, (std::vector<uint8_t>{0x30, 0x98, 0x8C, 0x78, 0x72, 0x00}));

  std::mt19937 rng(1);
  std::vector<uint8_t> runs(65536, 7), noise(65536);
  for (auto& b : noise) b = uint8_t(rng());
  std::vector<uint8_t> buf(65536), back(65536);
  len = c.Compress(buf.data(), runs.data(), 65536);
  ASSERT_GT(len, 0);
  ASSERT_TRUE(c.Decompress(back.data(), 65536, buf.data(), len));
  EXPECT_EQ(back, runs);
  EXPECT_EQ(c.Compress(buf.data(), noise.data(), 65536), 0);
  std::vector<uint8_t> tooBig(65537);
  EXPECT_EQ(c.Compress(buf.data(), tooBig.data(), 65537), -1);
}

}  // namespace
