// Block LZ77 code of the update package: one compressed block decodes on its own to 1 to 65536
// bytes. The bit stream (bit order, literal and match items, length and offset codes) and what
// is well formed are written down in docs/FORMATS.md, section 1.2; the decoder refuses anything
// else, and Compress also keeps its matches from copying their own output.
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
  // Where decoding stopped: the stream byte that holds the next item.
  int32_t streamByte() const { return byteCursor; }

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
  Lz77Error error = Lz77Error::kNone;
};

}  // namespace lz77
