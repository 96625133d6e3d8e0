// The client's side of the conversation as the server reads it, a few bytes at a time: one
// hello (type and 164-byte report), then keep-alives. Anything else is a fault: a type that is
// not one of the two, or a second hello. The state is a fixed record of the partial message, so
// nothing grows with what a client sends.
#pragma once

#include <array>
#include <cstdint>
#include <span>

#include "protocol/messages.h"

namespace server {

class ConversationReader {
 public:
  enum class Step { NeedMore, Hello, Fault };

  // Consumes bytes from the front of *in until a hello completes (report() holds it until the
  // next feed), a fault, or the bytes run out. Keep-alives are consumed silently.
  Step feed(std::span<const uint8_t>* in);
  bool answered() const { return helloDone_; }
  std::span<const uint8_t, client_report::REPORT_SIZE> report() const {
    return std::span(message_).subspan<protocol::MESSAGE_TYPE_SIZE>();
  }

 private:
  bool helloDone_ = false;
  uint8_t filled_ = 0;  // bytes of the message now arriving
  std::array<uint8_t, protocol::HELLO_SIZE> message_{};
};

}  // namespace server
