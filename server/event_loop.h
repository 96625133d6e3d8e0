// One event loop: its own SO_REUSEPORT listener, its own epoll set, its connections and their
// timer wheel. Nothing on the path from a hello to its answer takes a lock or makes a system
// call besides the reads and the one send.
#pragma once

#include <atomic>
#include <cstdint>

#include "server/connection_pool.h"
#include "server/metrics.h"
#include "server/release_board.h"
#include "server/report_log.h"
#include "server/timer_wheel.h"

namespace server {

// What every loop shares, read-only but for the atomics.
struct LoopShared {
  uint32_t helloTimeoutTicks = 0, idleTimeoutTicks = 0, graceTicks = 0;
  int64_t maxConnections = 0;
  ReleaseBoard* board = nullptr;
  Metrics* metrics = nullptr;
  ReportLog* reports = nullptr;  // nullptr: no report lines
};

// Ticks of the wheel: 100 ms of the monotonic clock.
constexpr uint32_t TICK_MS = 100;
uint32_t currentTick();

class EventLoop {
 public:
  // Takes the listener; -1 from epoll's set-up shows in ok().
  EventLoop(unsigned index, int listenFd, const LoopShared& shared);
  ~EventLoop();
  EventLoop(const EventLoop&) = delete;
  EventLoop& operator=(const EventLoop&) = delete;
  bool ok() const { return epollFd_ >= 0 && wakeFd_ >= 0; }

  // Runs until stopped: then it stops accepting at once, answers hellos that complete within
  // the grace, and closes every connection.
  void run();
  void requestStop();  // from any thread

 private:
  void acceptAll();
  void onReadable(Connection* c);
  void answer(Connection* c);
  void closeConnection(Connection* c, CloseReason reason);
  void onTimer(TimerLink* link);
  uint32_t nextDeadline(const Connection* c) const;
  void refreshSnapshot();
  void beginStop();

  const unsigned index_;
  int listenFd_;
  const LoopShared& shared_;
  LoopCounters& counters_;
  int epollFd_ = -1, wakeFd_ = -1;
  int spareFd_ = -1;  // given up to accept and drop a connection when descriptors run out
  ConnectionPool pool_;
  TimerWheel wheel_;
  uint32_t now_;
  uint64_t seenGeneration_ = 0;
  std::shared_ptr<const ReleaseSnapshot> snapshot_;
  std::atomic<bool> stopRequested_{false};
  bool stopping_ = false;
  uint32_t stopDeadline_ = 0;
};

}  // namespace server
