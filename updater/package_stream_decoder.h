// The package decoder fed in pieces of any size, as the bytes come off the network: each block
// is decoded and handed on as soon as its last byte is in, so unpacking keeps pace with the
// download. It holds one block at most (two 64 KiB buffers and the codec), whatever the package
// size, and refuses exactly what the file unpacker refuses, with the same details.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <span>

#include "updater/package_unpack.h"

namespace kelvora {

class PackageStreamDecoder {
 public:
  // Receives each decoded block in order; false stops the decoder with a write error.
  using BlockWriter = std::function<bool(std::span<const uint8_t>)>;

  explicit PackageStreamDecoder(BlockWriter write);
  ~PackageStreamDecoder();
  PackageStreamDecoder(const PackageStreamDecoder&) = delete;
  PackageStreamDecoder& operator=(const PackageStreamDecoder&) = delete;

  // The next bytes of the package. False once the package is refused; later calls do nothing.
  bool feed(std::span<const uint8_t> bytes);
  // The package ends here: a block cut short is refused like a malformed one.
  const UnpackResult& finish();

  const UnpackResult& result() const { return result_; }
  // Package bytes of the blocks decoded so far, and the program bytes they gave.
  uint64_t packageBytesDecoded() const { return offset_; }
  uint64_t programBytes() const { return produced_; }

 private:
  struct Work;
  bool completeBlock(int available);
  void refuse(const char* reason);

  BlockWriter write_;
  std::unique_ptr<Work> work_;
  UnpackResult result_;
  BlockHeader header_{};
  uint8_t headerBytes_[kBlockHeaderSize] = {};
  int headerHave_ = 0;
  bool inBlock_ = false;  // the header is read; `need_` data bytes belong to the block
  int need_ = 0;
  int have_ = 0;
  long block_ = 0;
  uint64_t offset_ = 0;  // package offset of the current block's header
  uint64_t produced_ = 0;
};

}  // namespace kelvora
