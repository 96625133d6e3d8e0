#include "updater/lz77.h"

#include <cstring>

namespace kelvora {

namespace {

// Reads MSB-first fields from a 64-bit buffer refilled a byte at a time, never past `end`.
struct BitReader {
  const uint8_t* p;
  const uint8_t* end;
  uint64_t buf = 0;
  int count = 0;

  void refill() {
    while (count <= 56 && p < end) {
      buf |= uint64_t(*p++) << (56 - count);
      count += 8;
    }
  }
  // False when the stream holds fewer than `bits` more bits.
  bool read(int bits, uint32_t& value) {
    if (bits == 0) {
      value = 0;
      return true;
    }
    if (count < bits) {
      refill();
      if (count < bits) return false;
    }
    value = uint32_t(buf >> (64 - bits));
    buf <<= bits;
    count -= bits;
    return true;
  }
};

// Writes MSB-first fields into at most `limit` bytes; overflow means "not shorter".
struct BitWriter {
  uint8_t* out;
  int limit;
  int bytes = 0;
  int bit = 0;
  bool full = false;

  void put(uint32_t value, int bits) {
    for (int i = bits - 1; i >= 0; --i) {
      if (bit == 0) {
        if (bytes >= limit) {
          full = true;
          return;
        }
        out[bytes] = 0;
      }
      if ((value >> i) & 1) out[bytes] |= uint8_t(0x80 >> bit);
      if (++bit == 8) {
        bit = 0;
        ++bytes;
      }
    }
  }
  int length() const { return bytes + (bit ? 1 : 0); }
};

constexpr uint16_t kNoNode = 0xFFFF;

}  // namespace

CCompressLZ77::CCompressLZ77() : nodeHeap(new Node[65536]) {}

CCompressLZ77::~CCompressLZ77() {
  delete[] nodeHeap;
}

bool CCompressLZ77::Decompress(uint8_t* out, int n, const uint8_t* in, int inLength) {
  byteCursor = 0;
  bitCursor = 0;
  windowStart = out;
  windowSize = 0;
  if (n > kMaxBlock || n < 0 || inLength < 0) return false;
  BitReader r{in, in + inLength};
  uint32_t v;
  while (windowSize < n) {
    if (!r.read(1, v)) return false;
    if (v == 0) {
      if (!r.read(8, v)) return false;
      out[windowSize++] = uint8_t(v);
      continue;
    }
    if (windowSize == 0) return false;
    int c = 0;
    for (;;) {
      if (!r.read(1, v)) return false;
      if (v == 0) break;
      if (++c > 15) return false;
    }
    uint32_t length = 2;
    if (c > 0) {
      if (!r.read(c, v)) return false;
      length = (1u << c) + 1 + v;
    }
    uint32_t offset;
    if (!r.read(offsetBits(windowSize), offset)) return false;
    if (offset >= uint32_t(windowSize) || length > uint32_t(n - windowSize)) return false;
    // Forward byte copy: an overlapping source repeats the bytes being produced.
    uint8_t* dst = out + windowSize;
    const uint8_t* src = out + offset;
    for (uint32_t j = 0; j < length; ++j) dst[j] = src[j];
    windowSize += int32_t(length);
  }
  byteCursor = int32_t(r.p - in) - r.count / 8;
  bitCursor = (8 - r.count % 8) % 8;
  return true;
}

int CCompressLZ77::Compress(uint8_t* out, const uint8_t* in, int n) {
  if (n > kMaxBlock) return -1;
  if (n <= 0) return 0;
  windowStart = in;
  windowSize = 0;
  nodeCount = 0;
  std::memset(pairIndex, 0xFF, sizeof(pairIndex));
  BitWriter w{out, n};

  int runEnd = -1;
  auto insert = [&](int pos) {
    if (pos + 1 >= n) return;
    uint16_t pair = uint16_t(in[pos] << 8 | in[pos + 1]);
    Node& node = nodeHeap[nodeCount];
    node.position = uint16_t(pos);
    // Inside a run the end is already known from the previous byte.
    int end = (pos > 0 && runEnd >= pos && in[pos] == in[pos - 1]) ? runEnd : pos;
    while (end + 1 < n && in[end + 1] == in[pos]) ++end;
    node.runEnd = uint16_t(end);
    runEnd = end;
    node.next = pairIndex[pair];
    pairIndex[pair] = uint16_t(nodeCount);
    ++nodeCount;
  };

  int pos = 0;
  while (pos < n && !w.full) {
    int bestLen = 0, bestPos = 0;
    if (pos + 1 < n) {
      uint16_t pair = uint16_t(in[pos] << 8 | in[pos + 1]);
      int chain = 0;
      for (uint16_t id = pairIndex[pair]; id != kNoNode && chain < 256;
           id = nodeHeap[id].next, ++chain) {
        int cand = nodeHeap[id].position;
        // The match must end at or before pos, so it never copies bytes it is producing.
        int maxLen = pos - cand;
        if (maxLen > n - pos) maxLen = n - pos;
        int len = 0;
        while (len < maxLen && in[cand + len] == in[pos + len]) ++len;
        if (len > bestLen) {
          bestLen = len;
          bestPos = cand;
          if (len == n - pos) break;
        }
      }
    }
    if (bestLen >= 2) {
      w.put(1, 1);
      uint32_t m = uint32_t(bestLen - 1);
      int c = 0;
      while ((m >> (c + 1)) != 0) ++c;
      for (int i = 0; i < c; ++i) w.put(1, 1);
      w.put(0, 1);
      if (c > 0) w.put(m & ((1u << c) - 1), c);
      w.put(uint32_t(bestPos), offsetBits(pos));
      for (int i = 0; i < bestLen; ++i) insert(pos + i);
      pos += bestLen;
    } else {
      w.put(0, 1);
      w.put(in[pos], 8);
      insert(pos);
      ++pos;
    }
    windowSize = pos;
  }
  if (w.full || w.length() >= n) return 0;
  return w.length();
}

}  // namespace kelvora
