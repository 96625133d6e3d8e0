#include "server/conversation_reader.h"

#include <algorithm>

namespace server {

ConversationReader::Step ConversationReader::feed(std::span<const uint8_t>* in) {
  using namespace protocol;
  while (!in->empty()) {
    if (filled_ < MESSAGE_TYPE_SIZE) {
      message_[filled_++] = in->front();
      *in = in->subspan(1);
      if (filled_ < MESSAGE_TYPE_SIZE) continue;
      const uint16_t type = messageType(std::span(message_).first<MESSAGE_TYPE_SIZE>());
      if (type == MSG_KEEPALIVE) {
        filled_ = 0;
        continue;
      }
      if (type != MSG_HELLO || helloDone_) return Step::Fault;
      continue;
    }
    // Inside a hello's report.
    const size_t take = std::min(in->size(), HELLO_SIZE - filled_);
    std::copy_n(in->begin(), take, message_.begin() + filled_);
    filled_ = uint8_t(filled_ + take);
    *in = in->subspan(take);
    if (filled_ == HELLO_SIZE) {
      filled_ = 0;
      helloDone_ = true;
      return Step::Hello;
    }
  }
  return Step::NeedMore;
}

}  // namespace server
