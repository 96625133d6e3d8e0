#include "server/connection_pool.h"

namespace server {

Connection* ConnectionPool::take() {
  if (free_.empty()) {
    chunks_.push_back(std::make_unique<Connection[]>(CHUNK));
    Connection* chunk = chunks_.back().get();
    free_.reserve(free_.size() + CHUNK);
    for (size_t i = CHUNK; i-- > 0;) free_.push_back(&chunk[i]);
  }
  Connection* c = free_.back();
  free_.pop_back();
  ++inUse_;
  return c;
}

void ConnectionPool::give(Connection* c) {
  *c = Connection{};
  free_.push_back(c);
  --inUse_;
}

}  // namespace server
