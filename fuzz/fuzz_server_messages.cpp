// Arbitrary bytes from the update server through the receive loop. A push may only finish with
// exactly its announced total written, and the loop ends on any input.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "updater/update_conversation.h"

namespace {

class MemorySource : public update_conversation::ByteSource {
 public:
  MemorySource(const uint8_t* data, size_t size) : data_(data), size_(size) {}
  int readExact(uint8_t* out, size_t n) override {
    if (size_ - pos_ < n) return -1;
    std::memcpy(out, data_ + pos_, n);
    pos_ += n;
    return 0;
  }

 private:
  const uint8_t* data_;
  size_t size_;
  size_t pos_ = 0;
};

class CheckingSink : public update_conversation::PushSink {
 public:
  bool begin(uint32_t total) override {
    // An open push is ended before a new one begins; empty and oversized pushes never begin.
    if (open_ || total == 0 || total > update_conversation::PUSH_MAX) std::abort();
    open_ = true;
    total_ = total;
    written_ = 0;
    return true;
  }
  bool write(std::span<const uint8_t> bytes) override {
    if (!open_ || bytes.size() > update_conversation::FILE_CHUNK_MAX) std::abort();
    written_ += bytes.size();
    return true;
  }
  void abandon() override {
    if (!open_) std::abort();
    open_ = false;
  }
  void finish() override {
    if (!open_ || written_ != total_) std::abort();
    open_ = false;
  }

 private:
  bool open_ = false;
  uint64_t total_ = 0, written_ = 0;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  AppState state;
  MemorySource source(data, size);
  CheckingSink sink;
  // The loop ends at a version answer or a disconnect; go on behind it as a new connection would.
  for (int pass = 0; pass < 64; ++pass) {
    auto outcome = update_conversation::receiveMessages(source, sink, state);
    if (outcome.end == update_conversation::ReceiveEnd::ReadFailed) break;
  }
  return 0;
}
