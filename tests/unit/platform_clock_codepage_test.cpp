#include <gtest/gtest.h>

#include "platform/codepage.h"

namespace {

TEST(Codepage, GbkAndUtf8BothWaysWithBadBytesReplacedNotDropped) {
  struct Case {
    std::string gbk, utf8;
    bool toUtf8, toGbk;
  };
  // "更新" in GBK is B8 FC D0 C2; in UTF-8 E6 9B B4 E6 96 B0.
  for (const Case& c : {Case{"v3 \xB8\xFC\xD0\xC2", "v3 \xE6\x9B\xB4\xE6\x96\xB0", true, true},
                        Case{"ab\x81", "ab\xEF\xBF\xBD", true, false},  // a lone lead byte
                        Case{"a?b",
                             "a\xFF"
                             "b",
                             false, true},                              // invalid UTF-8
                        Case{"?", "\xF0\x9F\x98\x80", false, true}}) {  // not in GBK
    EXPECT_TRUE(!c.toUtf8 || platform::gbkToUtf8(c.gbk) == c.utf8) << c.gbk;
    EXPECT_TRUE(!c.toGbk || platform::utf8ToGbk(c.utf8) == c.gbk) << c.utf8;
  }
}

TEST(Codepage, Utf16KeepsSurrogatePairs) {
  EXPECT_EQ(platform::utf8ToUtf16("A\xE6\x9B\xB4\xF0\x9F\x98\x80"),
            (std::u16string{u'A', 0x66F4, 0xD83D, 0xDE00}));
}

}  // namespace
