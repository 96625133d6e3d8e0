// The connections of one event loop: fixed records in chunks that never move (epoll holds their
// addresses), reused through a free list. A record is the timer link, the descriptor, two ticks
// and the partial hello: a couple of hundred bytes, whatever the client sends.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <type_traits>
#include <vector>

#include "server/conversation_reader.h"
#include "server/timer_wheel.h"

namespace server {

struct Connection {
  TimerLink timer;  // first, so that a link found on the wheel is its connection
  int fd = -1;
  uint32_t helloDeadline = 0;  // tick
  uint32_t lastActivity = 0;   // tick of the last bytes received
  ConversationReader reader;
};
static_assert(std::is_standard_layout_v<Connection>);
static_assert(offsetof(Connection, timer) == 0);
static_assert(sizeof(Connection) <= 256);

inline Connection* connectionOf(TimerLink* link) {
  return reinterpret_cast<Connection*>(link);
}

class ConnectionPool {
 public:
  static constexpr size_t CHUNK = 1024;

  Connection* take();
  void give(Connection* c);  // the record is reset for its next use
  size_t inUse() const { return inUse_; }
  // Every record taken and not given back.
  template <typename Visit>
  void forEachInUse(Visit&& visit) {
    for (auto& chunk : chunks_)
      for (size_t i = 0; i < CHUNK; ++i)
        if (chunk[i].fd >= 0) visit(&chunk[i]);
  }

 private:
  std::vector<std::unique_ptr<Connection[]>> chunks_;
  std::vector<Connection*> free_;
  size_t inUse_ = 0;
};

}  // namespace server
