#include "server/event_loop.h"

#include <fcntl.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <ctime>

#include "server/socket_address.h"

namespace server {

namespace {

// epoll's tags for the two descriptors that are not connections.
constexpr uint64_t kListenTag = 0, kWakeTag = 1;
constexpr int kEventsPerWait = 256;
// Reads per readable event: a client sending without pause cannot hold the loop.
constexpr int kReadsPerEvent = 8;
constexpr size_t kReadBuffer = 4096;

}  // namespace

uint32_t currentTick() {
  timespec t{};
  clock_gettime(CLOCK_MONOTONIC_COARSE, &t);
  return uint32_t(uint64_t(t.tv_sec) * (1000 / TICK_MS) +
                  uint64_t(t.tv_nsec) / (TICK_MS * 1000000));
}

EventLoop::EventLoop(unsigned index, int listenFd, const LoopShared& shared)
    : index_(index),
      listenFd_(listenFd),
      shared_(shared),
      counters_(shared.metrics->loop(index)),
      wheel_(currentTick()),
      now_(wheel_.now()) {
  epollFd_ = epoll_create1(EPOLL_CLOEXEC);
  wakeFd_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  spareFd_ = open("/dev/null", O_RDONLY | O_CLOEXEC);
  if (!ok()) return;
  epoll_event listen{EPOLLIN, {.u64 = kListenTag}};
  epoll_event wake{EPOLLIN, {.u64 = kWakeTag}};
  if (epoll_ctl(epollFd_, EPOLL_CTL_ADD, listenFd_, &listen) != 0 ||
      epoll_ctl(epollFd_, EPOLL_CTL_ADD, wakeFd_, &wake) != 0) {
    close(epollFd_);
    epollFd_ = -1;
  }
}

EventLoop::~EventLoop() {
  pool_.forEachInUse([this](Connection* c) { closeConnection(c, CloseReason::Stop); });
  for (int fd : {listenFd_, epollFd_, wakeFd_, spareFd_})
    if (fd >= 0) close(fd);
}

void EventLoop::requestStop() {
  stopRequested_ = true;
  uint64_t one = 1;
  [[maybe_unused]] ssize_t n = write(wakeFd_, &one, sizeof one);
}

void EventLoop::refreshSnapshot() {
  const uint64_t generation = shared_.board->generation();
  if (generation == seenGeneration_) return;
  seenGeneration_ = generation;
  snapshot_ = shared_.board->current();
}

void EventLoop::run() {
  epoll_event events[kEventsPerWait];
  refreshSnapshot();
  for (;;) {
    if (stopping_ && (pool_.inUse() == 0 || int32_t(now_ - stopDeadline_) >= 0)) break;
    const int n = epoll_wait(epollFd_, events, kEventsPerWait, int(TICK_MS));
    if (n < 0 && errno != EINTR) break;
    now_ = currentTick();
    refreshSnapshot();
    for (int i = 0; i < n; ++i) {
      const uint64_t tag = events[i].data.u64;
      if (tag == kListenTag) {
        if (!stopping_) acceptAll();
      } else if (tag == kWakeTag) {
        uint64_t count;
        [[maybe_unused]] ssize_t r = read(wakeFd_, &count, sizeof count);
        if (stopRequested_ && !stopping_) beginStop();
      } else {
        onReadable(static_cast<Connection*>(events[i].data.ptr));
      }
    }
    wheel_.advance(now_, [this](TimerLink* link) { onTimer(link); });
  }
  pool_.forEachInUse([this](Connection* c) { closeConnection(c, CloseReason::Stop); });
}

void EventLoop::beginStop() {
  stopping_ = true;
  // No new connections from here on; the kernel refuses the ones still queued on this listener
  // and their clients reconnect elsewhere.
  epoll_ctl(epollFd_, EPOLL_CTL_DEL, listenFd_, nullptr);
  close(listenFd_);
  listenFd_ = -1;
  stopDeadline_ = now_ + shared_.graceTicks;
  // Connections already answered are done; the others may finish their hello within the grace.
  pool_.forEachInUse([this](Connection* c) {
    if (c->reader.answered()) closeConnection(c, CloseReason::Stop);
  });
}

void EventLoop::acceptAll() {
  for (;;) {
    int fd = accept4(listenFd_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd < 0) {
      if ((errno == EMFILE || errno == ENFILE) && spareFd_ >= 0) {
        // Out of descriptors: free the spare to take the connection off the queue and close it,
        // or the listener would stay readable and spin the loop.
        close(spareFd_);
        fd = accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd >= 0) close(fd);
        spareFd_ = open("/dev/null", O_RDONLY | O_CLOEXEC);
        counters_.closed[size_t(CloseReason::Limit)].add();
        continue;
      }
      return;  // EAGAIN, or an aborted connection: nothing more now
    }
    counters_.accepted.add();
    if (shared_.metrics->open.fetch_add(1, std::memory_order_relaxed) >= shared_.maxConnections) {
      shared_.metrics->open.fetch_sub(1, std::memory_order_relaxed);
      close(fd);
      counters_.closed[size_t(CloseReason::Limit)].add();
      continue;
    }
    Connection* c = pool_.take();
    c->fd = fd;
    c->helloDeadline = now_ + shared_.helloTimeoutTicks;
    c->lastActivity = now_;
    epoll_event event{EPOLLIN | EPOLLRDHUP, {.ptr = c}};
    if (epoll_ctl(epollFd_, EPOLL_CTL_ADD, fd, &event) != 0) {
      closeConnection(c, CloseReason::Limit);
      continue;
    }
    wheel_.schedule(&c->timer, nextDeadline(c));
  }
}

uint32_t EventLoop::nextDeadline(const Connection* c) const {
  const uint32_t idle = c->lastActivity + shared_.idleTimeoutTicks;
  if (!c->reader.answered() && int32_t(c->helloDeadline - idle) < 0) return c->helloDeadline;
  return idle;
}

void EventLoop::onReadable(Connection* c) {
  if (c->fd < 0) return;  // closed earlier in the same batch of events
  uint8_t buffer[kReadBuffer];
  for (int reads = 0; reads < kReadsPerEvent; ++reads) {
    const ssize_t n = recv(c->fd, buffer, sizeof buffer, 0);
    if (n < 0 && (errno == EAGAIN || errno == EINTR)) return;
    if (n <= 0) return closeConnection(c, CloseReason::Peer);
    c->lastActivity = now_;
    std::span<const uint8_t> in(buffer, size_t(n));
    while (!in.empty()) {
      switch (c->reader.feed(&in)) {
        case ConversationReader::Step::NeedMore:
          break;
        case ConversationReader::Step::Fault:
          return closeConnection(c, CloseReason::Protocol);
        case ConversationReader::Step::Hello:
          answer(c);
          if (c->fd < 0) return;
          break;
      }
    }
    if (size_t(n) < sizeof buffer) return;  // drained
  }
}

void EventLoop::answer(Connection* c) {
  counters_.hellos.add();
  const client_report::MachineFacts facts = client_report::machineFacts(c->reader.report());
  const ReleaseSnapshot::Choice choice = snapshot_->choose(facts);
  const ssize_t sent =
      send(c->fd, choice.bytes->data(), choice.bytes->size(), MSG_DONTWAIT | MSG_NOSIGNAL);
  if (sent != ssize_t(choice.bytes->size())) return closeConnection(c, CloseReason::Peer);
  choice.counter->perLoop[index_].count.add();
  if (shared_.reports != nullptr) {
    SocketAddress peer;
    peer.length = sizeof peer.storage;
    getpeername(c->fd, reinterpret_cast<sockaddr*>(&peer.storage), &peer.length);
    const std::string line =
        reportLine(socketAddressText(reinterpret_cast<sockaddr*>(&peer.storage), peer.length),
                   facts, choice.cohort, choice.counter->version);
    if (!shared_.reports->ring(index_).push(line)) counters_.reportsDropped.add();
  }
  // While stopping, an answered client has what it came for.
  if (stopping_) return closeConnection(c, CloseReason::Stop);
  wheel_.schedule(&c->timer, nextDeadline(c));
}

void EventLoop::onTimer(TimerLink* link) {
  Connection* c = connectionOf(link);
  if (!c->reader.answered() && int32_t(now_ - c->helloDeadline) >= 0)
    return closeConnection(c, CloseReason::HelloTimeout);
  if (int32_t(now_ - (c->lastActivity + shared_.idleTimeoutTicks)) >= 0)
    return closeConnection(c, CloseReason::IdleTimeout);
  wheel_.schedule(link, nextDeadline(c));
}

void EventLoop::closeConnection(Connection* c, CloseReason reason) {
  wheel_.cancel(&c->timer);
  close(c->fd);  // also leaves the epoll set: the descriptor is never duplicated
  counters_.closed[size_t(reason)].add();
  shared_.metrics->open.fetch_sub(1, std::memory_order_relaxed);
  pool_.give(c);
}

}  // namespace server
