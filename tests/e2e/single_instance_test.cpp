// Copies of Update.exe started at the same instant in one application directory: exactly one
// opens its window, the others end at once with status 0.
#include <gtest/gtest.h>
#include <signal.h>

#include <algorithm>
#include <memory>

#include "support/test_support.h"
#include "support/x11_screen.h"

namespace {

using namespace testsupport;
using namespace std::chrono;

int visibleUpdateWindows() {
  auto r = runCommand("xdotool search --onlyvisible --name '^Kelvora Update\\.\\.\\.$'");
  return static_cast<int>(std::count(r.output.begin(), r.output.end(), '\n'));
}

TEST(SingleInstance, OfTwoCopiesStartedTogetherExactlyOneRuns) {
  X11Screen screen;
  if (!screen.connected()) GTEST_SKIP() << "no X display";
  ASSERT_EQ(visibleUpdateWindows(), 0) << "another test's window is still open";
  TempDir app;
  for (int round = 0; round < 20; ++round) {
    std::unique_ptr<ChildProcess> copies[2];
    for (auto& copy : copies) {
      copy = std::make_unique<ChildProcess>(
          std::vector<std::string>{std::string(KELVORA_E2E_DIR) + "/Update.exe"}, app.path(),
          app / "out", app / "err");
    }
    // Reap the copy that ends at once: the one that runs may wait for it to leave the count.
    int ended = -1;
    std::optional<int> status;
    for (int poll = 0; poll < 500 && ended < 0; ++poll) {
      for (int i = 0; i < 2 && ended < 0; ++i) {
        if ((status = copies[i]->wait(milliseconds(5)))) ended = i;
      }
    }
    ASSERT_GE(ended, 0) << "round " << round << ": neither copy ended";
    EXPECT_EQ(status, 0) << "round " << round;
    ChildProcess& runner = *copies[1 - ended];
    EXPECT_TRUE(waitFor([&] { return visibleUpdateWindows() == 1; }, seconds(10)))
        << "round " << round;
    EXPECT_TRUE(runner.running()) << "round " << round << ": the other copy goes on";
    runner.kill(SIGKILL);
    runner.wait(seconds(5));
    ASSERT_TRUE(waitFor([&] { return visibleUpdateWindows() == 0; }, seconds(5)));
  }
}

}  // namespace
