// A coarse timer wheel for one event loop: each connection carries a link in one slot list, and
// a tick visits one slot. Deadlines are in ticks; a link is visited at its deadline, and the
// owner decides then whether it expired or moves it on (a connection that received bytes since
// simply gets a later deadline), so activity itself never touches the wheel.
#pragma once

#include <array>
#include <cstdint>

namespace server {

struct TimerLink {
  TimerLink* prev = nullptr;
  TimerLink* next = nullptr;
  uint32_t deadline = 0;
  bool linked() const { return next != nullptr; }
};

class TimerWheel {
 public:
  static constexpr uint32_t SLOTS = 256;

  explicit TimerWheel(uint32_t now);
  // Links at deadline (at least the next tick); a deadline further than the wheel turns is
  // visited early, when the wheel comes round, and its owner puts it back.
  void schedule(TimerLink* link, uint32_t deadline);
  void cancel(TimerLink* link);

  // Visits every link whose slot came due up to now, unlinked, in no set order; visit may
  // schedule it again (for a later tick) or drop it.
  template <typename Visit>
  void advance(uint32_t now, Visit&& visit) {
    // After a long stall every slot is due once; no link is missed.
    uint32_t ticks = now - current_;
    if (ticks > SLOTS) current_ = now - SLOTS;
    while (current_ != now) {
      ++current_;
      TimerLink& head = heads_[current_ % SLOTS];
      // Detach the slot first, so that links scheduled again while visiting cannot be met twice.
      TimerLink due;
      if (head.next == &head) continue;
      due.next = head.next;
      due.prev = head.prev;
      due.next->prev = &due;
      due.prev->next = &due;
      head.next = head.prev = &head;
      while (due.next != &due) {
        TimerLink* link = due.next;
        unlink(link);
        visit(link);
      }
    }
  }
  uint32_t now() const { return current_; }

 private:
  static void unlink(TimerLink* link);
  std::array<TimerLink, SLOTS> heads_;
  uint32_t current_;
};

}  // namespace server
