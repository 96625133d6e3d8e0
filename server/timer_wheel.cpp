#include "server/timer_wheel.h"

namespace server {

TimerWheel::TimerWheel(uint32_t now) : current_(now) {
  for (TimerLink& head : heads_) head.next = head.prev = &head;
}

void TimerWheel::unlink(TimerLink* link) {
  link->prev->next = link->next;
  link->next->prev = link->prev;
  link->next = link->prev = nullptr;
}

void TimerWheel::schedule(TimerLink* link, uint32_t deadline) {
  if (link->linked()) unlink(link);
  link->deadline = deadline;
  uint32_t at = deadline;
  if (int32_t(at - current_) < 1) at = current_ + 1;
  if (at - current_ >= SLOTS) at = current_ + SLOTS - 1;
  TimerLink& head = heads_[at % SLOTS];
  link->prev = head.prev;
  link->next = &head;
  head.prev->next = link;
  head.prev = link;
}

void TimerWheel::cancel(TimerLink* link) {
  if (link->linked()) unlink(link);
}

}  // namespace server
