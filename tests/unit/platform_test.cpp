#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <deque>
#include <filesystem>
#include <thread>

#include "platform/codepage.h"
#include "platform/system.h"
#include "support/test_support.h"

namespace {

TEST(Codepage, BadBytesAreReplacedNotDroppedAndUtf16KeepsSurrogatePairs) {
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
  EXPECT_EQ(platform::utf8ToUtf16("A\xE6\x9B\xB4\xF0\x9F\x98\x80"),
            (std::u16string{u'A', 0x66F4, 0xD83D, 0xDE00}));
}

// The single-instance count: this user's processes running one program file. A copy of the file
// elsewhere, another user's process of it, and one that has ended but is unreaped never count.
TEST(ProcessCount, OnlyThisUsersLiveProcessesOfTheSameFileCount) {
  testsupport::TempDir here, elsewhere;
  for (const auto* dir : {&here, &elsewhere}) {
    std::filesystem::copy_file("/bin/sleep", *dir / "Update.exe");
    chmod(dir->path().c_str(), 0755);  // another user may run it
  }
  const std::string program = (here / "Update.exe").string();
  std::vector<std::vector<std::string>> argvs = {
      {program, "30"}, {program, "30"}, {(elsewhere / "Update.exe").string(), "30"}};
  if (geteuid() == 0)
    argvs.push_back(
        {"/usr/bin/setpriv", "--reuid=65534", "--regid=65534", "--clear-groups", program, "30"});
  std::deque<testsupport::ChildProcess> copies;  // killed and reaped when it goes
  for (const auto& argv : argvs) copies.emplace_back(argv);
  const char* self = program.c_str();
  EXPECT_TRUE(testsupport::waitFor([&] { return platform::countProcessesRunning(self) == 2; },
                                   std::chrono::seconds(5)));
  std::this_thread::sleep_for(std::chrono::milliseconds(200));  // the other user's exec too
  EXPECT_EQ(platform::countProcessesRunning(self), 2);
  copies[1].kill(SIGKILL);  // ended, and left unreaped until the end of the test
  EXPECT_TRUE(testsupport::waitFor([&] { return platform::countProcessesRunning(self) == 1; },
                                   std::chrono::seconds(5)));
}

}  // namespace
