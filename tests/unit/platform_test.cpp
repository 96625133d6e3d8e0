#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <thread>

#include "platform/codepage.h"
#include "platform/system.h"
#include "support/test_support.h"

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

// The single-instance count: this user's processes running one program file. A copy of the file
// elsewhere, another user's process of it, and one that has ended but is unreaped never count.
TEST(ProcessCount, OnlyThisUsersLiveProcessesOfTheSameFileCount) {
  testsupport::TempDir here, elsewhere;
  for (const auto* dir : {&here, &elsewhere}) {
    std::filesystem::copy_file("/bin/sleep", *dir / "Update.exe");
    chmod(dir->path().c_str(), 0755);  // another user may run it
  }
  const std::string program = (here / "Update.exe").string();
  auto start = [](std::vector<std::string> argv) {
    pid_t pid = fork();
    if (pid == 0) {
      std::vector<char*> args;
      for (auto& a : argv) args.push_back(a.data());
      args.push_back(nullptr);
      execv(args[0], args.data());
      _exit(127);
    }
    return pid;
  };
  std::vector<pid_t> pids = {start({program, "30"}), start({program, "30"}),
                             start({(elsewhere / "Update.exe").string(), "30"})};
  if (geteuid() == 0)
    pids.push_back(start(
        {"/usr/bin/setpriv", "--reuid=65534", "--regid=65534", "--clear-groups", program, "30"}));
  const char* self = program.c_str();
  EXPECT_TRUE(testsupport::waitFor([&] { return platform::countProcessesRunning(self) == 2; },
                                   std::chrono::seconds(5)));
  std::this_thread::sleep_for(std::chrono::milliseconds(200));  // the other user's exec too
  EXPECT_EQ(platform::countProcessesRunning(self), 2);
  kill(pids[1], SIGKILL);
  siginfo_t info{};  // wait until it has ended, but leave it unreaped
  ASSERT_EQ(waitid(P_PID, pids[1], &info, WEXITED | WNOWAIT), 0);
  EXPECT_EQ(platform::countProcessesRunning(self), 1);
  for (pid_t pid : pids) {
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
  }
}

}  // namespace
