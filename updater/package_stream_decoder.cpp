#include "updater/package_stream_decoder.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "updater/lz77.h"

namespace kelvora {

struct PackageStreamDecoder::Work {
  std::vector<uint8_t> input = std::vector<uint8_t>(CCompressLZ77::kMaxBlock);
  std::vector<uint8_t> output = std::vector<uint8_t>(CCompressLZ77::kMaxBlock);
  CCompressLZ77 codec;
};

PackageStreamDecoder::PackageStreamDecoder(BlockWriter write)
    : write_(std::move(write)), work_(std::make_unique<Work>()) {}

PackageStreamDecoder::~PackageStreamDecoder() = default;

void PackageStreamDecoder::refuse(const char* reason) {
  result_.ok = false;
  result_.block = block_;
  result_.offset = long(offset_);
  result_.reason = reason;
}

// Decodes the current block from the `available` data bytes at hand (fewer than it needs only
// when the package ends early) and writes it out.
bool PackageStreamDecoder::completeBlock(int available) {
  uint8_t* const output = work_->output.data();
  if (!header_.stored) {
    // A cut stream goes to the codec as it is: it is refused like any other bad stream when it
    // lacks bits, and only the framing notices a cut that the stream did not need.
    if (!work_->codec.Decompress(output, int(header_.plainLength), work_->input.data(),
                                 available)) {
      refuse(header_.storedField == 0 ? "stored length 0 beside a non-zero plain length"
                                      : lz77ErrorText(work_->codec.lastError()));
      result_.decompressError = true;
      result_.streamOffset = long(offset_) + kBlockHeaderSize + work_->codec.streamByte();
      return false;
    }
  }
  if (available < need_) {
    refuse(header_.stored ? "truncated stored block" : "truncated compressed block");
    return false;
  }
  if (!write_(std::span<const uint8_t>(output, size_t(header_.plainLength)))) {
    refuse("write error");
    return false;
  }
  produced_ += uint64_t(header_.plainLength);
  offset_ += uint64_t(kBlockHeaderSize + need_);
  ++block_;
  inBlock_ = false;
  headerHave_ = 0;
  return true;
}

bool PackageStreamDecoder::feed(std::span<const uint8_t> bytes) {
  if (!result_.ok) return false;
  size_t at = 0;
  while (at < bytes.size() || (inBlock_ && have_ == need_)) {
    if (!inBlock_) {
      const size_t take = std::min(bytes.size() - at, size_t(kBlockHeaderSize - headerHave_));
      std::memcpy(headerBytes_ + headerHave_, bytes.data() + at, take);
      headerHave_ += int(take);
      at += take;
      if (headerHave_ < kBlockHeaderSize) break;
      header_ = readBlockHeader(headerBytes_);
      need_ = int(header_.dataLength);
      have_ = 0;
      inBlock_ = true;
      continue;  // a block without data bytes completes at once
    }
    if (have_ < need_) {
      // Stored bytes go straight to the output buffer: they are the program.
      uint8_t* const target = header_.stored ? work_->output.data() : work_->input.data();
      const size_t take = std::min(bytes.size() - at, size_t(need_ - have_));
      std::memcpy(target + have_, bytes.data() + at, take);
      have_ += int(take);
      at += take;
    }
    if (have_ == need_ && !completeBlock(have_)) return false;
  }
  return true;
}

const UnpackResult& PackageStreamDecoder::finish() {
  if (!result_.ok) return result_;
  if (inBlock_) {
    completeBlock(have_);
  } else if (headerHave_ > 0) {
    refuse("truncated block header");
  }
  return result_;
}

}  // namespace kelvora
