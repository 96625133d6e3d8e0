// The display layer seen from its own thread: this test thread opens the window and decides when
// messages are pumped, so it can hold a command back or close under a waiting caller. Pointer
// positions come from xdotool.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "platform/display.h"
#include "support/test_support.h"
#include "support/x11_screen.h"

// Writes a command makes after its caller has gone must be caught, not land in a reused frame.
extern "C" const char* __asan_default_options() {
  return "detect_stack_use_after_return=1";
}

namespace {

using namespace std::chrono_literals;
using testsupport::runCommand;

constexpr char kTitle[] = "Kelvora display thread test";

class DisplayThreadTest : public testing::Test {
 protected:
  void SetUp() override {
    std::string error;
    ASSERT_TRUE(platform::displayOpen(
        {.x = 300, .y = 200, .width = 200, .height = 100, .titleUtf8 = kTitle, .icons = {}},
        &error))
        << error;
  }
  void TearDown() override {
    if (platform::displayIsOpen()) platform::displayClose();
  }
};

TEST_F(DisplayThreadTest, APointerMoveTellsTheCursorMessageWhereThePointerIs) {
  testsupport::X11Screen x11;
  std::optional<std::pair<int, int>> origin;
  platform::WindowMessage msg;
  for (int i = 0; i < 100 && !origin; ++i) {
    platform::displayGetMessage(&msg, 20);
    if (const auto window = x11.findWindow(kTitle)) origin = x11.clientOrigin(*window);
  }
  ASSERT_TRUE(origin);
  ASSERT_EQ(runCommand("xdotool mousemove " + std::to_string(origin->first + 37) + " " +
                       std::to_string(origin->second + 21))
                .status,
            0);
  // Every cursor message comes just before its move, with the same client position.
  const intptr_t want = 21 << 16 | 37;
  intptr_t cursorAt = -1, movedTo = -1;
  for (int i = 0; i < 300 && movedTo != want; ++i) {
    if (!platform::displayGetMessage(&msg, 10)) continue;
    if (msg.message == platform::WM_SETCURSOR) cursorAt = msg.lparam;
    if (msg.message == platform::WM_MOUSEMOVE) {
      movedTo = msg.lparam;
      EXPECT_EQ(cursorAt, movedTo);
    }
  }
  EXPECT_EQ(movedTo, want);
  EXPECT_EQ(cursorAt, want);
}

// A query whose command never runs reports failure: when the display thread is too busy to take
// it before the caller gives up (the command must then never write into the caller's finished
// frame), and when the window closes with the command still queued.
TEST_F(DisplayThreadTest, AQueryThatDoesNotRunFailsAndLeavesNothingBehind) {
  for (const bool closeUnderIt : {false, true}) {
    SCOPED_TRACE(closeUnderIt ? "window closed under the query" : "query given up on");
    if (!platform::displayIsOpen()) SetUp();
    std::atomic<int> answered{-1};
    std::thread caller([&] {
      int x = -1, y = -1;
      answered = platform::displayGetPosition(&x, &y) ? 1 : 0;
    });
    if (closeUnderIt) {
      std::this_thread::sleep_for(200ms);
      platform::displayClose();
    }
    caller.join();
    EXPECT_EQ(answered, 0);
    // The display thread gets to its queue at last.
    platform::WindowMessage msg;
    if (platform::displayIsOpen()) platform::displayGetMessage(&msg, 50);
  }
}

}  // namespace
