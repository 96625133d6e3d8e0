// The graphics window on a real X display (an Xvfb screen of 1920 x 1080): pixels read back from
// X11 screenshots, keys and clicks made with xdotool and read through the key and mouse readers.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "graphics/drawing.h"
#include "graphics/pacing.h"
#include "graphics/window.h"
#include "platform/display.h"
#include "support/test_support.h"
#include "support/x11_screen.h"

namespace {

using namespace std::chrono_literals;
using testsupport::X11Screen;

constexpr char kTitle[] = "Kelvora window test";
int g_x = 0, g_y = 0;  // the window's client origin on the screen

std::string sh(const std::string& command) {
  auto r = testsupport::runCommand(command);
  EXPECT_EQ(r.status, 0) << command;
  return r.output;
}

// Waits until every frame handed over is on the screen.
bool wait_shown() {
  return testsupport::waitFor([] { return !platform::displayPresentStats().pending; }, 3s);
}

void draw_known_page() {
  gfx::set_bk_color(0x102030);
  gfx::clear_page();
  gfx::set_fill_color(0xFF0000);
  gfx::fill_box(0, 0, 250, 100);
  gfx::set_line_color(0xFFFFFF);
  for (int y = 110; y < 190; y += 7) gfx::draw_line(260, y, 490, y + 5);
  gfx::IMAGE ramp(100, 50);
  for (int i = 0; i < 100 * 50; ++i) ramp.pixels()[i] = static_cast<uint32_t>(i % 100) * 0x020201;
  ramp.putimage_alphablend(nullptr, 200, 75, 128);
}

// First, before any window of this process exists; the death test runs in a fresh child.
TEST(ForcedExitTest, WithoutTheNoExitBitClosingTheWindowEndsTheProcessWithZero) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        if (gfx::initgraph(300, 100, 0) != 0) std::exit(3);
        gfx::set_window_title("Kelvora forced exit test");
        X11Screen x11;
        std::optional<unsigned long> window;
        testsupport::waitFor(
            [&] { return (window = x11.findWindow("Kelvora forced exit test")).has_value(); }, 2s);
        if (!window || !x11.requestClose(*window)) std::exit(5);
        std::this_thread::sleep_for(5s);
        std::exit(4);  // the window did not end the process
      },
      testing::ExitedWithCode(0), "");
}

// A broken image ends the process with -11 after an error box the user has to close. The disabled
// case below runs in a child of its own; this process plays the window manager and closes the box
// (not a thread of the child: the box is shown from a fork, which would inherit its X lock).
TEST(FatalImageErrorTest, ShowsTheErrorBoxThenEndsTheProcessWithMinus11) {
  testsupport::TempDir dir;
  testsupport::ChildProcess child(
      {"/proc/self/exe", "--gtest_filter=FatalImageErrorTest.DISABLED_BrokenImage",
       "--gtest_also_run_disabled_tests"},
      {}, dir / "out", dir / "err");
  X11Screen x11;
  bool closed = false;
  for (int i = 0; i < 1500 && !closed && child.running(); ++i) {
    if (const auto box = x11.findWindow("Graphics ERROR message")) closed = x11.requestClose(*box);
    std::this_thread::sleep_for(20ms);
  }
  EXPECT_TRUE(closed) << "no error box to close";
  const auto status = child.wait(30s);
  ASSERT_TRUE(status.has_value()) << "the program did not end once its box was closed";
  EXPECT_EQ(*status, static_cast<unsigned char>(-11));
  const auto err = testsupport::readFile(dir / "err");
  const std::string text(err.begin(), err.end());
  EXPECT_NE(text.find("Graphics ERROR message: Fatal error: read/write at 0x"), std::string::npos)
      << text;
  EXPECT_NE(text.find("At function 'IMAGE::getimage'"), std::string::npos) << text;
}

TEST(FatalImageErrorTest, DISABLED_BrokenImage) {
  gfx::set_window_mode(gfx::kModeNoForcedExit, 0, 0);
  if (gfx::initgraph(300, 100, 0) != 0) std::exit(3);
  alignas(gfx::IMAGE) unsigned char junk[sizeof(gfx::IMAGE)] = {};
  reinterpret_cast<gfx::IMAGE*>(junk)->getimage("x", 1);
}

class WindowTest : public testing::Test {
 protected:
  static void SetUpTestSuite() {
    if (gfx::window_handle() != 0) return;
    gfx::set_window_mode(gfx::kModeNoForcedExit, 0, 0);
    ASSERT_EQ(gfx::initgraph(500, 200, gfx::kModeStartupLogo), 0) << gfx::initgraph_failure();
    gfx::set_window_title(kTitle);
    int sw = 0, sh = 0;
    ASSERT_TRUE(gfx::screen_size(&sw, &sh));
    g_x = sw / 2 - 250;
    g_y = sh / 2 - 100;
    gfx::move_window(g_x, g_y);
  }
  void SetUp() override {
    ASSERT_NE(gfx::window_handle(), 0u);
    ASSERT_TRUE(gfx::window_alive());
  }
  // Empties both queues once the messages already on their way have arrived.
  static void drain_input() {
    std::this_thread::sleep_for(100ms);
    while (gfx::mouse_pending()) gfx::read_mouse();
    gfx::graph_context().key_queue.clear();
  }
  static gfx::MouseEvent next_mouse_of_kind(int kind) {
    for (int i = 0; i < 50; ++i) {
      const gfx::MouseEvent m = gfx::read_mouse();
      if (m.kind == kind || m.kind == 0) return m;
    }
    return {};
  }
};

TEST_F(WindowTest, TheScreenShowsExactlyThePageDrawn) {
  draw_known_page();
  ASSERT_EQ(gfx::flush_screen(), 0);
  ASSERT_TRUE(wait_shown());
  const auto shot = X11Screen().capture(g_x, g_y, 500, 200);
  const uint32_t* page = gfx::screen_page()->pixels();
  const long same =
      std::mismatch(shot.pixels.begin(), shot.pixels.end(), page).first - shot.pixels.begin();
  EXPECT_EQ(same, 500 * 200) << "first pixel off: (" << same % 500 << ", " << same / 500 << ")";
  // The oracle itself: a box drawn and the background, so a blank page cannot pass.
  EXPECT_EQ(shot.at(0, 0), 0xFF0000u);
  EXPECT_EQ(shot.at(499, 199), 0x102030u);
  // The window was placed from the screen's size: centred on Xvfb's 1920 x 1080.
  EXPECT_EQ(std::make_pair(g_x, g_y), std::make_pair(710, 440));
}

TEST_F(WindowTest, OnlyChangedFramesReachTheDisplayAndTheTimerShowsDrawingWithoutAFlush) {
  draw_known_page();
  gfx::flush_screen();
  const auto before = platform::displayPresentStats();
  const uint64_t flushes = gfx::graph_context().flush_count;
  gfx::flush_screen();
  gfx::pace_frame(30);  // nothing drawn: not even compared
  auto after = platform::displayPresentStats();
  EXPECT_EQ(after.handed, before.handed);
  EXPECT_GE(after.skipped, before.skipped + 1);  // the timer may have compared one more
  EXPECT_EQ(gfx::graph_context().flush_count - flushes, 1u);

  // One changed pixel is a changed frame, and the screen shows it after the next frame.
  gfx::set_fill_color(0xABCDEF);
  gfx::fill_box(400, 150, 401, 151);
  gfx::pace_frame(30);
  after = platform::displayPresentStats();
  EXPECT_EQ(after.handed, before.handed + 1);
  ASSERT_TRUE(wait_shown());
  const auto shot = X11Screen().capture(g_x + 399, g_y + 150, 2, 1);
  EXPECT_EQ(std::make_pair(shot.at(0, 0), shot.at(1, 0)), std::make_pair(0x102030u, 0xABCDEFu));

  // Enough drawing since the last copy to run the countdown out: the 50 ms timer copies it.
  const uint64_t handed = platform::displayPresentStats().handed;
  gfx::set_fill_color(0x445566);
  for (int i = 0; i < 300; ++i) gfx::fill_box(100, 100, 200, 150);
  ASSERT_TRUE(
      testsupport::waitFor([&] { return platform::displayPresentStats().handed > handed; }, 1s));
  ASSERT_TRUE(wait_shown());
  EXPECT_EQ(X11Screen().capture(g_x + 150, g_y + 120, 1, 1).at(0, 0), 0x445566u);
}

// Nothing to show and no input: the display thread sleeps until there is work (no timer ticks).
TEST_F(WindowTest, AnIdleWindowDoesNotWakeTheDisplayThread) {
  draw_known_page();
  gfx::flush_screen();
  ASSERT_TRUE(wait_shown());
  std::this_thread::sleep_for(200ms);  // what was on its way has arrived
  const uint64_t wakes = platform::displayPresentStats().wakes;
  std::this_thread::sleep_for(500ms);
  EXPECT_EQ(platform::displayPresentStats().wakes, wakes);
}

TEST_F(WindowTest, TypedKeysReachTheKeyReaders) {
  sh("xdotool mousemove " + std::to_string(g_x + 250) + " " + std::to_string(g_y + 100));
  drain_input();
  sh("xdotool key --delay 20 a F1 Left shift+b Return");
  ASSERT_TRUE(testsupport::waitFor([] { return gfx::key_pending() != 0; }, 3s));
  EXPECT_EQ(gfx::key_pending(), 0x40061);  // the key down of A is left to its character
  EXPECT_EQ(gfx::read_key(), 0x61);
  EXPECT_EQ(gfx::read_key(), 0x170);  // F1
  EXPECT_EQ(gfx::read_key(), 0x125);  // Left
  EXPECT_EQ(gfx::read_key(), 'B');
  EXPECT_EQ(gfx::read_key(), 13);  // Return as its character
  std::this_thread::sleep_for(100ms);
  EXPECT_EQ(gfx::key_pending(), 0);
}

TEST_F(WindowTest, ClicksAndWheelTurnsReachTheMouseReader) {
  sh("xdotool mousemove " + std::to_string(g_x + 120) + " " + std::to_string(g_y + 80));
  drain_input();
  // xdotool's command, the events it makes, their flags and wheel turn, and the client point.
  const struct {
    std::string command;
    std::vector<int> kinds;
    unsigned flags;
    int wheel, x, y;
  } rows[] = {{"click 1", {gfx::kMouseDown, gfx::kMouseUp}, 1, 0, 120, 80},
              {"click 3", {gfx::kMouseDown, gfx::kMouseUp}, 2, 0, 120, 80},
              {"click 4", {gfx::kMouseWheel}, 0, 120, 120, 80},
              {"click 5", {gfx::kMouseWheel}, 0, -120, 120, 80},
              {"mousemove_relative 10 10", {gfx::kMouseMove}, 0, 0, 130, 90}};
  for (const auto& r : rows) {
    sh("xdotool " + r.command);
    for (int kind : r.kinds) {
      const auto m = next_mouse_of_kind(kind);
      EXPECT_EQ(m.kind, kind) << r.command;
      EXPECT_EQ(r.wheel ? r.flags : m.flags, r.flags) << r.command;
      EXPECT_EQ(m.wheel, r.wheel) << r.command;
      EXPECT_EQ(std::make_pair(m.x, m.y), std::make_pair(r.x, r.y)) << r.command;
    }
  }
}

// Last: it ends the window's life for the rest of this process.
TEST_F(WindowTest, ClosingSetsTheFlagAndLeavesTheWindowOnScreen) {
  X11Screen x11;
  ASSERT_TRUE(x11.connected());
  const auto window = x11.findWindow(kTitle);
  ASSERT_TRUE(window.has_value());
  ASSERT_TRUE(x11.requestClose(*window));  // as a window manager's close button sends it
  ASSERT_TRUE(testsupport::waitFor([] { return !gfx::window_alive(); }, 2s));
  EXPECT_EQ(gfx::graph_context().window_destroyed, 0);
  // A reader ends its wait on a closed window, once what was queued before has been read.
  EXPECT_EQ(gfx::read_key(), 0);
  while (!gfx::graph_context().mouse_queue.empty()) gfx::read_mouse();
  EXPECT_EQ(gfx::read_mouse().kind, 0);
  EXPECT_EQ(gfx::flush_screen(), 0);
  const std::string info = sh("xwininfo -name '" + std::string(kTitle) + "'");
  EXPECT_NE(info.find("IsViewable"), std::string::npos);
}

}  // namespace
