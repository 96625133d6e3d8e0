#include "updater/lz77.h"

#include <bit>
#include <cstring>

namespace lz77 {

namespace {

constexpr uint16_t kNoNode = 0xFFFF;
// Search limits of the encoder, chosen on executables: nodes visited per search (the byte-pair
// chains are long in machine code, and every node costs a dependent load), a length that ends
// the search, matches below which the next position is tried too, and the estimated cost of a
// byte coded later, in bits, for that comparison.
constexpr int kMaxChain = 32;
constexpr int kNiceLength = 4096;
constexpr int kLazyLimit = 8;
constexpr int kBitsPerLaterByte = 4;

inline uint64_t loadBigEndian64(const uint8_t* p) {
  uint64_t v;
  std::memcpy(&v, p, 8);
  return __builtin_bswap64(v);
}

inline void storeBigEndian64(uint8_t* p, uint64_t v) {
  v = __builtin_bswap64(v);
  std::memcpy(p, &v, 8);
}

// Collects MSB-first codes in a 64-bit accumulator and writes whole bytes once per item. The
// stream may use at most `limit` bytes; `out` has room for `room` >= limit bytes, so whole
// 8-byte stores are used while they fit there.
struct BitWriter {
  uint8_t* out;
  int limit;
  int room;
  int bytes = 0;
  uint64_t acc = 0;  // pending bits at the top
  int count = 0;     // pending bits, below 8 after each flush
  bool full = false;

  // bits is 1 to 56 - 7.
  void put(uint64_t code, int bits) {
    acc |= code << (64 - count - bits);
    count += bits;
  }
  void flush() {
    const int whole = count >> 3;
    if (bytes + whole > limit) {
      full = true;
      return;
    }
    if (bytes + 8 <= room) {
      storeBigEndian64(out + bytes, acc);
    } else {
      for (int i = 0; i < whole; ++i) out[bytes + i] = uint8_t(acc >> (56 - 8 * i));
    }
    bytes += whole;
    acc <<= 8 * whole;
    count &= 7;
  }
  // The final partial byte; gives the stream length, or -1 when it does not fit.
  int finish() {
    if (count == 0) return bytes;
    if (bytes + 1 > limit) return -1;
    out[bytes] = uint8_t(acc >> 56);
    return bytes + 1;
  }
};

// Length of the common prefix of a and b, known to be at least len, at most maxLen. The first
// differing byte of two little-endian words is the lowest set byte of their difference.
inline int extend(const uint8_t* a, const uint8_t* b, int len, int maxLen) {
  while (len + 8 <= maxLen) {
    uint64_t x, y;
    std::memcpy(&x, a + len, 8);
    std::memcpy(&y, b + len, 8);
    if (x != y) return len + (std::countr_zero(x ^ y) >> 3);
    len += 8;
  }
  while (len < maxLen && a[len] == b[len]) ++len;
  return len;
}

}  // namespace

const char* lz77ErrorText(Lz77Error error) {
  switch (error) {
    case Lz77Error::kNone:
      return "no error";
    case Lz77Error::kBlockTooLong:
      return "block longer than 65536 bytes";
    case Lz77Error::kStreamEnd:
      return "compressed stream ends early";
    case Lz77Error::kMatchFirst:
      return "match before any literal";
    case Lz77Error::kBadLengthCode:
      return "match length code too long";
    case Lz77Error::kOffsetBeyondWindow:
      return "match offset not below the window";
    case Lz77Error::kMatchPastEnd:
      return "match runs past the block end";
  }
  return "unknown error";
}

CCompressLZ77::CCompressLZ77() : nodeHeap(new Node[65536]) {}

CCompressLZ77::~CCompressLZ77() {
  delete[] nodeHeap;
}

bool CCompressLZ77::Decompress(uint8_t* out, int n, const uint8_t* in, int inLength) {
  byteCursor = 0;
  windowStart = out;
  windowSize = 0;
  error = Lz77Error::kNone;
  if (n < 0 || n > kMaxBlock) {
    error = Lz77Error::kBlockTooLong;
    return false;
  }
  const uint8_t* p = in;
  const uint8_t* const end = in + (inLength > 0 ? inLength : 0);
  // The top `count` bits of buf are the next stream bits. Below them buf holds either later
  // stream bits or, past the end of the stream, zeros; an item is decoded from buf as it is and
  // refused afterwards when it used more than `count` bits.
  uint64_t buf = 0;
  int count = 0;
  const uint32_t size = uint32_t(n);
  uint32_t w = 0;
  Lz77Error fault = Lz77Error::kNone;
  while (w < size) {
    if (end - p >= 8) {
      // Count stays below 64 here: the last refill left at most 63 and an item uses >= 2.
      buf |= loadBigEndian64(p) >> count;
      p += (63 - count) >> 3;
      count |= 56;
    } else {
      while (count <= 56 && p < end) {
        buf |= uint64_t(*p++) << (56 - count);
        count += 8;
      }
    }
    int used;
    if ((buf >> 63) == 0) {
      used = 9;
      if (used > count) {
        fault = Lz77Error::kStreamEnd;
        break;
      }
      out[w++] = uint8_t(buf >> 55);
    } else {
      // A set top bit is a real stream bit: past the end buf holds zeros.
      if (w == 0) {
        fault = Lz77Error::kMatchFirst;
        break;
      }
      // At most 1 + 15 + 1 + 15 + 16 = 48 bits, within the 56 a full refill gives.
      // ~(buf << 1) always has its lowest bit set, so the count needs no zero test.
      const int c = __builtin_clzll(~(buf << 1));
      if (c > 15) {
        fault = Lz77Error::kBadLengthCode;  // these ones are stream bits, not padding
        break;
      }
      const uint32_t v = uint32_t((buf << (c + 1)) >> (63 - c));
      const uint32_t length = (1u << c) + 1 + v;
      const int k = std::bit_width(w - 1);
      const uint32_t offset = uint32_t(((buf << (2 * c + 2)) >> 1) >> (63 - k));
      used = 2 * c + 2 + k;
      if (used > count) {
        fault = Lz77Error::kStreamEnd;
        break;
      }
      if (offset >= w) {
        fault = Lz77Error::kOffsetBeyondWindow;
        break;
      }
      if (length > size - w) {
        fault = Lz77Error::kMatchPastEnd;
        break;
      }
      uint8_t* dst = out + w;
      const uint8_t* src = out + offset;
      // Eight bytes at a time when the source is at least eight behind (each chunk then reads
      // only finished bytes) and the rounded-up copy stays inside the block.
      if (w - offset >= 8 && length + 8 <= size - w) {
        for (uint32_t j = 0; j < length; j += 8) std::memcpy(dst + j, src + j, 8);
      } else {
        for (uint32_t j = 0; j < length; ++j) dst[j] = src[j];
      }
      w += length;
    }
    buf <<= used;
    count -= used;
  }
  windowSize = int32_t(w);
  byteCursor = int32_t((long(p - in) * 8 - count) / 8);
  error = fault;
  return fault == Lz77Error::kNone;
}

void CCompressLZ77::insert(const uint8_t* in, int pos) {
  const uint16_t pair = uint16_t(in[pos] << 8 | in[pos + 1]);
  Node& node = nodeHeap[nodeCount];
  node.position = uint16_t(pos);
  node.next = pairIndex[pair];
  pairIndex[pair] = uint16_t(nodeCount);
  ++nodeCount;
}

int CCompressLZ77::longestMatch(const uint8_t* in, int n, int pos, int best, int& matchPos) const {
  const uint16_t pair = uint16_t(in[pos] << 8 | in[pos + 1]);
  const int runAfter = nodeHeap[pos].runEnd - pos;  // equal bytes following pos
  const int limit = n - pos;
  int chain = 0;
  for (uint16_t id = pairIndex[pair]; id != kNoNode && chain < kMaxChain;
       id = nodeHeap[id].next, ++chain) {
    const Node& node = nodeHeap[id];
    const int cand = node.position;
    // Ending at or before pos keeps the match clear of the bytes it produces.
    const int maxLen = pos - cand < limit ? pos - cand : limit;
    if (maxLen <= best || in[cand + best] != in[pos + best]) continue;
    // Both start with a run of the same byte: unequal runs decide the length at once.
    const int candRun = node.runEnd - cand;
    int len;
    if (candRun != runAfter) {
      len = (candRun < runAfter ? candRun : runAfter) + 1;
    } else {
      len = extend(in + cand, in + pos, candRun + 1, maxLen);
    }
    if (len > maxLen) len = maxLen;
    if (len > best) {
      best = len;
      matchPos = cand;
      if (len >= limit || len >= kNiceLength) break;
    }
  }
  return best;
}

namespace {

// Bits of a match of length len (>= 2) while the window holds w bytes.
inline int matchBits(int len, int w) {
  const int c = std::bit_width(uint32_t(len - 1)) - 1;
  return 2 * c + 2 + std::bit_width(uint32_t(w - 1));
}

}  // namespace

int CCompressLZ77::Compress(uint8_t* out, const uint8_t* in, int n) {
  if (n > kMaxBlock) return -1;
  if (n <= 0) return 0;
  windowStart = in;
  windowSize = 0;
  nodeCount = 0;
  std::memset(pairIndex, 0xFF, sizeof(pairIndex));
  // Node i is position i; the run ends are known up front.
  for (int i = n - 1, end = n - 1; i >= 0; --i) {
    if (i + 1 < n && in[i + 1] != in[i]) end = i;
    nodeHeap[i].runEnd = uint16_t(end);
  }
  BitWriter w{out, n - 1, n};
  int inserted = 0;  // positions below this are in the chains
  auto insertUpTo = [&](int end) {
    if (end > n - 1) end = n - 1;  // the last byte starts no pair
    for (; inserted < end; ++inserted) insert(in, inserted);
  };
  // The longest match at `at` if longer than `shorter`, else 1.
  auto search = [&](int at, int shorter, int& matchPos) {
    insertUpTo(at);
    if (at + 1 >= n) return 1;
    const int len = longestMatch(in, n, at, shorter, matchPos);
    if (len <= shorter) return 1;
    // A match must beat the literals it replaces (length 2 does not once W > 32768).
    return len >= 2 && matchBits(len, at) < 9 * len ? len : 1;
  };
  int pos = 0;
  int len = 0, matchPos = 0;
  bool known = false;  // len and matchPos already hold the search at pos
  while (pos < n) {
    if (!known) len = search(pos, 1, matchPos);
    known = false;
    if (len >= 2 && len < kLazyLimit) {
      // One step of lazy evaluation: a literal now may open a longer match at pos + 1. The
      // longer variant covers `gain` more bytes, valued at an estimate of their later cost.
      int nextPos = 0;
      const int next = search(pos + 1, len, nextPos);
      const int gain = next + 1 - len;
      if (next >= 2 && gain > 0 &&
          9 + matchBits(next, pos + 1) < matchBits(len, pos) + gain * kBitsPerLaterByte) {
        len = next;
        matchPos = nextPos;
        known = true;
        w.put(in[pos], 9);
        ++pos;
        windowSize = pos;
        w.flush();
        if (w.full) return 0;
        continue;
      }
    }
    if (len >= 2) {
      const uint32_t m = uint32_t(len - 1);
      const int c = std::bit_width(m) - 1;
      // Match bit and c one-bits, a zero-bit, the low c bits of length - 1, the offset.
      uint64_t code = (uint64_t(1) << (c + 2)) - 2;
      code = (code << c) | (m & ((1u << c) - 1));
      const int k = std::bit_width(uint32_t(pos - 1));
      code = (code << k) | uint32_t(matchPos);
      w.put(code, 2 * c + 2 + k);
      pos += len;
    } else {
      w.put(in[pos], 9);
      ++pos;
    }
    windowSize = pos;
    w.flush();
    if (w.full) return 0;
  }
  const int length = w.finish();
  return length < 0 ? 0 : length;
}

}  // namespace lz77
