// The wheel as a loop drives it: an owner that puts a link back until its deadline, ticks
// advanced one at a time, in strides, or after a stall. Every link expires at the first advance
// that reaches its deadline, also past the wheel's 256 slots (the default idle timeout is 300).
#include <gtest/gtest.h>

#include <map>

#include "server/timer_wheel.h"

namespace {

using server::TimerLink;
using server::TimerWheel;

TEST(TimerWheel, EachLinkExpiresAtTheFirstAdvanceReachingItsDeadline) {
  const uint32_t deadlines[] = {1, 2, 5, 255, 256, 257, 300, 511, 1000, 70000};
  const struct {
    uint32_t start, stride, stallAt, stall;
  } drives[] = {{0, 1, 0, 0}, {100, 7, 0, 0}, {4294967000u, 1, 0, 0}, {0, 3, 200, 900}};
  for (const auto& d : drives) {
    TimerWheel wheel(d.start);
    std::map<TimerLink*, uint32_t> expired;
    TimerLink links[std::size(deadlines)];
    for (size_t i = 0; i < std::size(deadlines); ++i)
      wheel.schedule(&links[i], d.start + deadlines[i]);
    uint32_t now = d.start;
    while (expired.size() < std::size(deadlines) && now - d.start < 80000) {
      now += (d.stall != 0 && now - d.start == d.stallAt) ? d.stall : d.stride;
      wheel.advance(now, [&](TimerLink* link) {
        ASSERT_FALSE(link->linked());
        if (int32_t(now - link->deadline) < 0) return wheel.schedule(link, link->deadline);
        expired[link] = now;
      });
    }
    for (size_t i = 0; i < std::size(deadlines); ++i) {
      const uint32_t due = deadlines[i];
      SCOPED_TRACE("stride " + std::to_string(d.stride) + " deadline " + std::to_string(due));
      ASSERT_TRUE(expired.count(&links[i]));
      const uint32_t at = expired[&links[i]] - d.start;
      EXPECT_GE(at, due);
      EXPECT_LT(at, due + (d.stall != 0 && due <= d.stallAt + d.stall ? d.stall : d.stride));
    }
  }
}

TEST(TimerWheel, CancelledLinksAreNeverVisited) {
  TimerWheel wheel(0);
  TimerLink a, b;
  wheel.schedule(&a, 3);
  wheel.schedule(&b, 3);
  wheel.cancel(&a);
  wheel.schedule(&b, 5);  // moved: visited at 5 only
  std::vector<std::pair<TimerLink*, uint32_t>> visits;
  for (uint32_t now = 1; now <= 600; ++now)
    wheel.advance(now, [&](TimerLink* link) { visits.push_back({link, now}); });
  EXPECT_EQ(visits, (std::vector<std::pair<TimerLink*, uint32_t>>{{&b, 5}}));
}

}  // namespace
