// Block LZ77 codec of the update package: bit-level literals and matches whose offsets are
// absolute positions in the block's own output, so decoding needs no window of its own.
#pragma once

#include <cstdint>

namespace kelvora {

class LZ77 {
 public:
  virtual ~LZ77() = default;
  // Writes the stream for `in` into `out` (room for n bytes); gives its length, 0 when it
  // would not be shorter than n, -1 for a block over 65536 bytes.
  virtual int Compress(uint8_t* out, const uint8_t* in, int n) = 0;
  // Decodes exactly n bytes from `inLength` stream bytes; false on any malformed stream.
  virtual bool Decompress(uint8_t* out, int n, const uint8_t* in, int inLength) = 0;
};

class CCompressLZ77 final : public LZ77 {
 public:
  static constexpr int kMaxBlock = 65536;

  CCompressLZ77();
  ~CCompressLZ77() override;
  CCompressLZ77(const CCompressLZ77&) = delete;
  CCompressLZ77& operator=(const CCompressLZ77&) = delete;

  int Compress(uint8_t* out, const uint8_t* in, int n) override;
  bool Decompress(uint8_t* out, int n, const uint8_t* in, int inLength) override;

 private:
  struct Node {
    uint16_t position;
    uint16_t runEnd;
    uint16_t next;
  };

  const uint8_t* windowStart = nullptr;
  int32_t windowSize = 0;
  uint16_t pairIndex[65536];
  Node* nodeHeap;
  int32_t nodeCount = 0;
  int32_t byteCursor = 0;
  int32_t bitCursor = 0;
};

// Bits needed for an offset below w: the smallest k with 2^k >= w.
inline int offsetBits(int w) {
  int k = 0;
  while ((1 << k) < w) ++k;
  return k;
}

}  // namespace kelvora
