#include <gtest/gtest.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <thread>

#include "platform/codepage.h"
#include "platform/system.h"

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

// The single-instance count sees running processes by name, and not one that has ended but is
// still waiting for its parent to reap it.
TEST(ProcessNames, ARunningProcessCountsAndAnUnreapedOneDoesNot) {
  const std::string name = "kv-names-" + std::to_string(getpid() % 100000);
  auto named = [&] {
    auto names = platform::processExecutableNames();
    return std::count(names.begin(), names.end(), name);
  };
  int ready[2], release[2];
  ASSERT_EQ(pipe(ready), 0);
  ASSERT_EQ(pipe(release), 0);
  pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    prctl(PR_SET_NAME, name.c_str());
    char c = 0;
    if (write(ready[1], &c, 1) != 1 || read(release[0], &c, 1) != 1) _exit(1);
    _exit(0);
  }
  char c = 0;
  ASSERT_EQ(read(ready[0], &c, 1), 1);
  EXPECT_EQ(named(), 1);
  ASSERT_EQ(write(release[1], &c, 1), 1);
  siginfo_t info{};  // wait until it has ended, but leave it unreaped
  ASSERT_EQ(waitid(P_PID, child, &info, WEXITED | WNOWAIT), 0);
  EXPECT_EQ(named(), 0);
  waitpid(child, nullptr, 0);
  for (int fd : {ready[0], ready[1], release[0], release[1]}) close(fd);
}

}  // namespace
