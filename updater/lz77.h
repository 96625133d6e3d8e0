// Block LZ77 code of the update package.
//
// A compressed block decodes on its own to n bytes (1 to 65536). The bit cursor starts at the
// most significant bit of the first stream byte; bits are taken most significant first, and a
// field of several bits is read most significant bit first. W is the number of bytes produced
// so far in the block. The stream is a series of items, ending as soon as n bytes exist; the
// rest of the last byte is ignored.
//
//   literal  0 bbbbbbbb           the next output byte
//   match    1 <length> <offset>
//     length  c one-bits, a zero-bit, then c bits v: length 2 when c = 0, else 2^c + 1 + v
//             (c = 0..15, so lengths 2 to 65536)
//     offset  k bits, k the smallest with 2^k >= W (W = 1: none, W = 2: 1, W = 3..4: 2, ...)
//             an absolute position in the block's output
//     effect  output[W + j] = output[offset + j] for j = 0 .. length-1, in that order
//
// Well formed: no match while W = 0, offset < W, W + length <= n. The decoder refuses anything
// else. Compress also keeps offset + length <= W, so its matches never copy their own output.
#pragma once

#include <cstdint>

namespace lz77 {

// Why the last Decompress gave false.
enum class Lz77Error : uint8_t {
  kNone,
  kBlockTooLong,   // n outside 0 to 65536
  kStreamEnd,      // the stream ends before n bytes
  kMatchFirst,     // a match while the window is empty
  kBadLengthCode,  // more than 15 one-bits in a length code
  kOffsetBeyondWindow,
  kMatchPastEnd,
};

const char* lz77ErrorText(Lz77Error error);

class LZ77 {
 public:
  virtual ~LZ77() = default;
  // Writes the stream for the n bytes at `in` into `out` (room for n bytes); gives its length,
  // 0 when it would not be shorter than n, -1 for a block over 65536 bytes.
  virtual int Compress(uint8_t* out, const uint8_t* in, int n) = 0;
  // Decodes exactly n bytes into `out` from at most inLength stream bytes; false on any
  // malformed stream, never reading or writing outside the two buffers.
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

  Lz77Error lastError() const { return error; }
  // Where decoding stopped: the stream byte and bit (0 = most significant) of the next item.
  int32_t streamByte() const { return byteCursor; }
  int32_t streamBit() const { return bitCursor; }

 private:
  struct Node {
    uint16_t position;
    uint16_t runEnd;  // last position of the run of equal bytes that holds `position`
    uint16_t next;    // the next older node of the same byte pair
  };
  static_assert(sizeof(Node) == 6);

  // The longest match at pos if longer than `best`, else `best`.
  int longestMatch(const uint8_t* in, int n, int pos, int best, int& matchPos) const;
  void insert(const uint8_t* in, int pos);

  const uint8_t* windowStart = nullptr;
  int32_t windowSize = 0;
  uint16_t pairIndex[65536];
  Node* nodeHeap;
  int32_t nodeCount = 0;
  int32_t byteCursor = 0;
  int32_t bitCursor = 0;
  Lz77Error error = Lz77Error::kNone;
};

}  // namespace lz77
