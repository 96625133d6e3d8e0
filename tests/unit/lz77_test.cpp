// The block code: worked streams byte for byte, streams written bit by bit here, a slow
// reference reader that checks every item Compress emits, and malformed streams.
#include "updater/lz77.h"

#include <gtest/gtest.h>

#include <memory>
#include <random>
#include <string>
#include <vector>

using lz77::CCompressLZ77;
using lz77::Lz77Error;

namespace {

using Bytes = std::vector<uint8_t>;

// Writes a stream one bit at a time, straight from the item layout.
struct StreamBuilder {
  Bytes bytes;
  int bits = 0;
  void put(uint32_t value, int width) {
    for (int i = width - 1; i >= 0; --i) {
      if (bits % 8 == 0) bytes.push_back(0);
      if ((value >> i) & 1) bytes.back() |= uint8_t(0x80 >> (bits % 8));
      ++bits;
    }
  }
  void literal(uint8_t b) {
    put(0, 1);
    put(b, 8);
  }
  // A match coded for a window of w bytes.
  void match(uint32_t length, uint32_t offset, int w) {
    put(1, 1);
    int c = 0;
    while ((length - 1) >> (c + 1)) ++c;
    for (int i = 0; i < c; ++i) put(1, 1);
    put(0, 1);
    put((length - 1) & ((1u << c) - 1), c);
    int k = 0;
    while ((1 << k) < w) ++k;
    put(offset, k);
  }
};

struct Match {
  uint32_t length, offset, w;
};

// Reads a stream bit by bit into its matches and output; false on anything outside the format.
bool referenceDecode(const Bytes& s, int n, std::vector<Match>& items, Bytes& out) {
  size_t bit = 0;
  auto get = [&](int width, uint32_t& v) {
    v = 0;
    for (int i = 0; i < width; ++i, ++bit) {
      if (bit / 8 >= s.size()) return false;
      v = v << 1 | ((s[bit / 8] >> (7 - bit % 8)) & 1);
    }
    return true;
  };
  out.clear();
  while (int(out.size()) < n) {
    uint32_t flag, v;
    if (!get(1, flag)) return false;
    if (!flag) {
      if (!get(8, v)) return false;
      out.push_back(uint8_t(v));
      continue;
    }
    int c = 0;
    for (;;) {
      if (!get(1, v)) return false;
      if (!v) break;
      if (++c > 15) return false;
    }
    uint32_t extra = 0;
    if (!get(c, extra)) return false;
    const uint32_t length = c == 0 ? 2 : (1u << c) + 1 + extra;
    const uint32_t w = uint32_t(out.size());
    int k = 0;
    while ((1u << k) < w) ++k;
    uint32_t offset;
    if (w == 0 || !get(k, offset) || offset >= w || w + length > uint32_t(n)) return false;
    items.push_back({length, offset, w});
    for (uint32_t j = 0; j < length; ++j) out.push_back(out[offset + j]);
  }
  return true;
}

// Decodes with the inLength exactly the stream's size, so any read past it trips ASan.
bool decode(CCompressLZ77& c, const Bytes& stream, int n, Bytes& out) {
  out.assign(size_t(n > 0 ? n : 1), 0xEE);
  auto exact = std::make_unique<uint8_t[]>(stream.size() + 1);
  std::copy(stream.begin(), stream.end(), exact.get());
  const bool ok = c.Decompress(out.data(), n, exact.get(), int(stream.size()));
  out.resize(size_t(n > 0 ? n : 0));
  return ok;
}

Bytes compress(CCompressLZ77& c, const Bytes& in) {
  Bytes out(in.size());
  const int len = c.Compress(out.data(), in.data(), int(in.size()));
  out.resize(size_t(len > 0 ? len : 0));
  return out;
}

TEST(Lz77, WorkedExamplesBothWays) {
  CCompressLZ77 c;
  const struct {
    std::string plain;
    Bytes stream;
  } cases[] = {
      {"ABAB", {0x20, 0x90, 0xA0}},
      {"abcabcabcabc", {0x30, 0x98, 0x8C, 0x78, 0x72, 0x00}},
  };
  for (const auto& t : cases) {
    const Bytes plain(t.plain.begin(), t.plain.end());
    Bytes out;
    ASSERT_TRUE(decode(c, t.stream, int(plain.size()), out)) << t.plain;
    EXPECT_EQ(out, plain);
    EXPECT_EQ(compress(c, plain), t.stream) << t.plain;
  }
}

TEST(Lz77, MalformedStreamsAreRefused) {
  CCompressLZ77 c;
  Bytes out;
  auto expectRefused = [&](const StreamBuilder& s, int n, Lz77Error why, const char* what) {
    EXPECT_FALSE(decode(c, s.bytes, n, out)) << what;
    EXPECT_EQ(c.lastError(), why) << what;
  };
  StreamBuilder abc;
  for (char ch : std::string("abc")) abc.literal(uint8_t(ch));

  StreamBuilder offsetAtW = abc;  // W = 3: a 2-bit offset can say 3
  offsetAtW.match(2, 3, 3);
  expectRefused(offsetAtW, 5, Lz77Error::kOffsetBeyondWindow, "offset equal to W");

  StreamBuilder first;
  first.match(2, 0, 0);
  expectRefused(first, 2, Lz77Error::kMatchFirst, "match as first item");

  StreamBuilder past = abc;
  past.match(3, 0, 3);
  expectRefused(past, 5, Lz77Error::kMatchPastEnd, "match past n");

  StreamBuilder longCode;
  longCode.literal('a');
  longCode.put(0x1FFFF, 17);  // match bit and sixteen one-bits
  longCode.put(0, 16);
  expectRefused(longCode, 100, Lz77Error::kBadLengthCode, "length code over 15 ones");

  expectRefused(abc, 65537, Lz77Error::kBlockTooLong, "block over 65536 bytes");

  // Every cut of a real stream ends early; the decoder stops at the cut, not past it.
  std::mt19937 rng(11);
  Bytes text;
  while (text.size() < 40000) text.push_back(uint8_t("lorem ipsum dolor "[rng() % 18]));
  const Bytes full = compress(c, text);
  ASSERT_FALSE(full.empty());
  for (size_t cut = 0; cut < full.size(); cut += (cut + 16 < full.size() ? 97 : 1)) {
    Bytes part(full.begin(), full.begin() + long(cut));
    ASSERT_FALSE(decode(c, part, int(text.size()), out)) << cut;
    ASSERT_EQ(c.lastError(), Lz77Error::kStreamEnd) << cut;
    ASSERT_LE(c.streamByte(), int(cut));
  }
}

// Inputs of different character: noise, a small alphabet, runs, and copies of earlier stretches
// among literals.
Bytes sample(std::mt19937& rng, int kind, int n) {
  Bytes b;
  b.reserve(size_t(n));
  while (int(b.size()) < n) {
    if (kind == 0) b.push_back(uint8_t(rng()));
    if (kind == 1) b.push_back(uint8_t('a' + rng() % 3));
    if (kind == 2) b.insert(b.end(), 1 + rng() % 300, uint8_t(rng() % 4));
    if (kind == 3 && rng() % 2 && b.size() > 16) {
      const size_t from = rng() % (b.size() - 8), len = 2 + rng() % 200;
      for (size_t j = 0; j < len; ++j) b.push_back(b[from + j % (b.size() - from)]);
    } else if (kind == 3) {
      b.push_back(uint8_t(rng() % 16));
    }
  }
  b.resize(size_t(n));
  return b;
}

TEST(Lz77, CompressEmitsOnlyMatchesInsideTheWindow) {
  auto c = std::make_unique<CCompressLZ77>();
  std::mt19937 rng(7);
  const int sizes[] = {1, 2, 3, 9, 100, 4097, 32768, 32769, 65535, 65536};
  int compressed = 0;
  for (int round = 0; round < 60; ++round) {
    const int kind = round % 4;
    const int n = round < 50 ? sizes[round % 10] : 1 + int(rng() % 65536);
    const Bytes in = sample(rng, kind, n);
    const Bytes stream = compress(*c, in);
    if (stream.empty()) continue;  // not shorter: the block is stored
    ++compressed;
    ASSERT_LT(stream.size(), in.size());
    std::vector<Match> items;
    Bytes ref;
    ASSERT_TRUE(referenceDecode(stream, n, items, ref)) << "round " << round;
    ASSERT_EQ(ref, in) << "round " << round;
    for (const Match& it : items) ASSERT_LE(it.offset + it.length, it.w) << "round " << round;
    Bytes fast;
    ASSERT_TRUE(decode(*c, stream, n, fast));
    ASSERT_EQ(fast, in) << "round " << round;
  }
  EXPECT_GT(compressed, 30);

  Bytes buf(65537), out(65537);
  EXPECT_EQ(c->Compress(out.data(), buf.data(), 65537), -1);
}

// Random well-formed streams, overlapping copies included, against the reference reader: this
// walks the decoder's eight-byte copies, its byte copies near the block end, its tail reads and
// every length code up to fifteen one-bits.
TEST(Lz77, DecoderAgreesWithReferenceOnRandomStreams) {
  CCompressLZ77 c;
  std::mt19937 rng(5);
  uint32_t longest = 0;
  for (int round = 0; round < 300; ++round) {
    const int n = round < 200 ? 1 + int(rng() % 300) : 1 + int(rng() % 65536);
    StreamBuilder s;
    int w = 0;
    while (w < n) {
      if (w == 0 || n - w < 2 || rng() % 3 == 0) {
        s.literal(uint8_t(rng()));
        ++w;
        continue;
      }
      const uint32_t length = std::min<uint32_t>(n - w, 2 + rng() % (rng() % 8 ? 24 : 65535));
      // Often a source just behind W, so the copy overlaps what it produces.
      const uint32_t offset = rng() % 2 ? uint32_t(w) - 1 - rng() % std::min(w, 12) : rng() % w;
      s.match(length, offset, w);
      w += int(length);
    }
    std::vector<Match> items;
    Bytes ref, out;
    ASSERT_TRUE(referenceDecode(s.bytes, n, items, ref));
    ASSERT_TRUE(decode(c, s.bytes, n, out)) << "round " << round;
    ASSERT_EQ(out, ref) << "round " << round;
    for (const Match& it : items) longest = std::max(longest, it.length);
  }
  EXPECT_GT(longest, 32768u);
}

}  // namespace
