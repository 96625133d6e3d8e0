#include <gtest/gtest.h>

#include "platform/clock.h"
#include "platform/codepage.h"

namespace {

TEST(Clock, PreciseSleepReachesItsDeadlineAndTicksFollowTheCounter) {
  int64_t start = platform::performanceCounter();
  uint32_t tickStart = platform::tickCount();
  int64_t deadline = start + 30'000'000;  // 30 ms
  platform::sleepUntil(deadline);
  int64_t end = platform::performanceCounter();
  EXPECT_GE(end, deadline);
  EXPECT_LT(end - deadline, 20'000'000) << "woke far past the deadline";
  uint32_t ticks = platform::tickCount() - tickStart;
  EXPECT_GE(ticks, 29u);
  EXPECT_LT(ticks, 60u);
  EXPECT_EQ(platform::performanceFrequency(), 1'000'000'000);
}

TEST(Codepage, GbkRoundTripsChineseTextAndAscii) {
  // "更新" in GBK is B8 FC D0 C2; in UTF-8 E6 9B B4 E6 96 B0.
  const std::string gbk = "v3 \xB8\xFC\xD0\xC2";
  const std::string utf8 = "v3 \xE6\x9B\xB4\xE6\x96\xB0";
  EXPECT_EQ(platform::gbkToUtf8(gbk), utf8);
  EXPECT_EQ(platform::utf8ToGbk(utf8), gbk);
}

TEST(Codepage, BadBytesAreReplacedNotDropped) {
  // A lone lead byte at the end, and invalid UTF-8 on the way back.
  EXPECT_EQ(platform::gbkToUtf8("ab\x81"), "ab\xEF\xBF\xBD");
  EXPECT_EQ(platform::utf8ToGbk("a\xFF"
                                "b"),
            "a?b");
  EXPECT_EQ(platform::utf8ToGbk("\xF0\x9F\x98\x80"), "?");  // not in GBK
}

TEST(Codepage, Utf16KeepsSurrogatePairs) {
  std::u16string s = platform::utf8ToUtf16("A\xE6\x9B\xB4\xF0\x9F\x98\x80");
  ASSERT_EQ(s.size(), 4u);
  EXPECT_EQ(s[0], u'A');
  EXPECT_EQ(s[1], 0x66F4);
  EXPECT_EQ(s[2], 0xD83D);
  EXPECT_EQ(s[3], 0xDE00);
}

}  // namespace
