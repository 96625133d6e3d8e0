// The start-up logo on a real X display, in this process's own window of 400 x 200: as wide as
// the picture, so the logo shows at half size. What the screen shows is read back from X11
// screenshots and compared with the picture decoded off-screen.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <optional>
#include <thread>
#include <vector>

#include "graphics/image.h"
#include "graphics/pacing.h"
#include "graphics/startup_logo.h"
#include "graphics/startup_logo_play.h"
#include "graphics/window.h"
#include "platform/clock.h"
#include "platform/display.h"
#include "support/test_support.h"
#include "support/x11_screen.h"

namespace {

using namespace std::chrono_literals;
using testsupport::X11Screen;

constexpr char kTitle[] = "Kelvora logo test";

// The display phase as it should look: the logo at half size centred on white.
std::vector<uint32_t> expected_display(int width, int height) {
  gfx::IMAGE picture;
  const auto bytes = gfx::startup_logo_picture();
  EXPECT_EQ(picture.getimage(bytes.data(), bytes.size()), 0);
  gfx::IMAGE shown(width, height);
  std::fill_n(shown.pixels(), width * height, 0xFFFFFF);
  const int w = picture.width() / 2, h = picture.height() / 2;
  picture.putimage(&shown, (width - w) / 2, (height - h) / 2, w, h, 0, 0, picture.width(),
                   picture.height(), gfx::kSrcCopy);
  std::vector<uint32_t> out(shown.pixels(), shown.pixels() + width * height);
  for (auto& p : out) p &= 0xFFFFFF;
  return out;
}

class LogoTest : public testing::Test {
 protected:
  // Opened the way the updater opens its window, with the mode set first, in a program that
  // carries the logo.
  static void SetUpTestSuite() {
    if (gfx::window_handle() != 0) return;
    gfx::enable_startup_logo();
    gfx::set_window_mode(gfx::kModeNoForcedExit, 0, 0);
    ASSERT_EQ(gfx::initgraph(400, 200, gfx::kModeStartupLogo), 0) << gfx::initgraph_failure();
    gfx::set_window_title(kTitle);
  }
  void SetUp() override {
    ASSERT_TRUE(gfx::window_alive());
    ASSERT_TRUE(x11.connected());
    ASSERT_TRUE(testsupport::waitFor(
        [&] {
          const auto window = x11.findWindow(kTitle);
          return window && (client = x11.clientOrigin(*window)).has_value();
        },
        3s));
  }
  X11Screen x11;
  std::optional<std::pair<int, int>> client;
};

TEST_F(LogoTest, AModeSetBeforeInitgraphReplacesTheLogoBit) {
  EXPECT_FALSE(gfx::graph_context().manual_render);
  // The first frame is the black page, not the logo's white.
  gfx::pace_frame(60);
  ASSERT_TRUE(testsupport::waitFor([] { return !platform::displayPresentStats().pending; }, 3s));
  const auto shot = x11.capture(client->first, client->second, 400, 200);
  EXPECT_EQ(shot.count(0x000000, 0, 0, 400, 200), 400 * 200);
}

TEST_F(LogoTest, ThePictureShowsCentredAtHalfSizeAndAKeyEndsTheShowOnABlackPage) {
  const auto want = expected_display(400, 200);
  std::atomic<bool> seen{false};
  std::thread watcher([&] {
    X11Screen screen;
    seen = testsupport::waitFor(
        [&] { return screen.capture(client->first, client->second, 400, 200).pixels == want; }, 4s);
    // A key as the window procedure queues it.
    gfx::graph_context().key_queue.push(
        {gfx::window_handle(), platform::WM_CHAR, 'q', 0, platform::tickCount(), 0, 0});
  });
  EXPECT_TRUE(gfx::play_startup_logo());
  watcher.join();
  ASSERT_TRUE(seen) << "the display phase never showed the half-size picture at (100, 50)";
  // Back to automatic rendering on a black page with a black background, the key consumed.
  EXPECT_FALSE(gfx::graph_context().manual_render);
  const gfx::IMAGE* page = gfx::screen_page();
  EXPECT_EQ(page->bk_color, 0u);
  int lit = 0;
  for (int i = 0; i < 400 * 200; ++i) lit += (page->pixels()[i] & 0xFFFFFF) != 0;
  EXPECT_EQ(lit, 0);
  EXPECT_TRUE(gfx::graph_context().key_queue.empty());
}

}  // namespace
