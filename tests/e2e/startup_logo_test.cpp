// The start-up logo on a real X display: kelvora-gfxdemo --logo opens its window through
// initgraph with the logo bit (the real start-up path), and this process's own window plays the
// logo directly where a picture size or a decoding failure has to be chosen. What the screen
// shows is read back from X11 screenshots and compared with the picture decoded off-screen.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "graphics/drawing.h"
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
using Clock = std::chrono::steady_clock;
using testsupport::binPath;
using testsupport::ChildProcess;
using testsupport::runCommand;
using testsupport::TempDir;
using testsupport::X11Screen;

std::string read_text(const std::filesystem::path& path) {
  std::ifstream in(path);
  return std::string((std::istreambuf_iterator<char>(in)), {});
}

double ms_between(Clock::time_point start, Clock::time_point end) {
  return std::chrono::duration<double, std::milli>(end - start).count();
}

double ms_since(Clock::time_point start) {
  return ms_between(start, Clock::now());
}

// The display phase as it should look: the logo (at half size when half) centred on white.
std::vector<uint32_t> expected_display(int width, int height, bool half) {
  gfx::IMAGE picture;
  const auto bytes = gfx::startup_logo_picture();
  EXPECT_EQ(picture.getimage(bytes.data(), bytes.size()), 0);
  gfx::IMAGE shown(picture.width() / (half ? 2 : 1), picture.height() / (half ? 2 : 1));
  picture.putimage(&shown, 0, 0, shown.width(), shown.height(), 0, 0, picture.width(),
                   picture.height(), gfx::kSrcCopy);
  std::vector<uint32_t> out(static_cast<size_t>(width) * height, 0xFFFFFF);
  const int x0 = (width - shown.width()) / 2, y0 = (height - shown.height()) / 2;
  for (int y = 0; y < shown.height(); ++y) {
    for (int x = 0; x < shown.width(); ++x) {
      out[static_cast<size_t>(y + y0) * width + x + x0] =
          shown.pixels()[y * shown.width() + x] & 0xFFFFFF;
    }
  }
  return out;
}

// Client origin of the mapped window of that title, waiting for it to appear.
std::optional<std::pair<int, int>> find_client(const X11Screen& x11, const std::string& title,
                                               std::chrono::milliseconds timeout) {
  const auto deadline = Clock::now() + timeout;
  while (Clock::now() < deadline) {
    if (const auto window = x11.findWindow(title)) {
      if (auto origin = x11.clientOrigin(*window)) return origin;
    }
    std::this_thread::sleep_for(10ms);
  }
  return std::nullopt;
}

// Screenshots the rectangle until it equals want exactly; false on time-out.
bool wait_for_screen(const X11Screen& x11, std::pair<int, int> at, int width, int height,
                     const std::vector<uint32_t>& want, std::chrono::milliseconds timeout) {
  const auto deadline = Clock::now() + timeout;
  while (Clock::now() < deadline) {
    if (x11.capture(at.first, at.second, width, height).pixels == want) return true;
    std::this_thread::sleep_for(5ms);
  }
  return false;
}

// How long initgraph took, as the demo reports it; -1 until it has.
double opened_ms(const std::filesystem::path& out) {
  const std::string text = read_text(out);
  const auto at = text.find("opened in ");
  return at == std::string::npos ? -1 : std::stod(text.substr(at + 10));
}

constexpr double kFullLogoMs = 208 * 1000.0 / 60;  // every frame of a logo no key cuts short

class DemoLogoTest : public testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(x11.connected()); }
  void start() {
    demo.emplace(std::vector<std::string>{binPath("kelvora-gfxdemo"), "--logo", "--seconds", "20"},
                 dir.path(), dir / "out", dir / "err");
    // The window keeps initgraph's own caption until the demo names it after the logo.
    const auto origin = find_client(x11, "Graphics Window", 5s);
    ASSERT_TRUE(origin) << read_text(dir / "err");
    client = *origin;
  }

  TempDir dir;
  X11Screen x11;
  std::optional<ChildProcess> demo;
  std::pair<int, int> client;
};

TEST_F(DemoLogoTest, ShowsThePictureCentredOnWhiteAndOpensAfterTheWholeLogo) {
  ASSERT_NO_FATAL_FAILURE(start());
  EXPECT_TRUE(wait_for_screen(x11, client, 500, 200, expected_display(500, 200, false), 4s))
      << "the display phase never showed the picture at (50, 0) on white";
  ASSERT_TRUE(testsupport::waitFor([&] { return opened_ms(dir / "out") >= 0; }, 5s));
  EXPECT_GE(opened_ms(dir / "out"), kFullLogoMs - 200);
  // The logo ends on black and the demo's own page follows it.
  ASSERT_TRUE(testsupport::waitFor(
      [&] { return read_text(dir / "out").find("ready") != std::string::npos; }, 2s));
  ASSERT_EQ(runCommand("xdotool key Escape").status, 0);
  EXPECT_EQ(demo->wait(5s), std::optional<int>(0));
}

TEST_F(DemoLogoTest, AKeyDuringThePictureFadeInEndsTheLogoEarly) {
  ASSERT_NO_FATAL_FAILURE(start());
  // Keys go to the window under the pointer. Those typed while the background still fades are
  // only dropped; the first one of the picture's fade-in cuts the rest short.
  ASSERT_EQ(runCommand("xdotool mousemove " + std::to_string(client.first + 250) + " " +
                       std::to_string(client.second + 100))
                .status,
            0);
  const auto start_time = Clock::now();
  while (opened_ms(dir / "out") < 0 && ms_since(start_time) < 6000) {
    runCommand("xdotool key a");
    std::this_thread::sleep_for(50ms);
  }
  ASSERT_GE(opened_ms(dir / "out"), 0) << read_text(dir / "err");
  // Fade-in cut at its start, no display, a short picture fade-out: about 1.5 s, not 3.5 s.
  EXPECT_LT(opened_ms(dir / "out"), kFullLogoMs - 900);
  demo->kill(SIGTERM);
}

TEST_F(DemoLogoTest, ClosingTheWindowWhileTheLogoPlaysEndsItAndTheDemo) {
  ASSERT_NO_FATAL_FAILURE(start());
  std::this_thread::sleep_for(400ms);
  const auto window = x11.findWindow("Graphics Window");
  ASSERT_TRUE(window);
  ASSERT_TRUE(x11.requestClose(*window));
  const auto closed = Clock::now();
  // initgraph returns normally and the demo, seeing the window closed, ends with 0.
  EXPECT_EQ(demo->wait(1500ms), std::optional<int>(0)) << read_text(dir / "err");
  EXPECT_LT(ms_since(closed), 1500);
  EXPECT_GE(opened_ms(dir / "out"), 0) << read_text(dir / "out");
}

// This process's own window, 400 x 200: as wide as the picture, so the logo shows at half size.
// It is opened the way the updater opens its window, with the mode set first.
constexpr char kTitle[] = "Kelvora logo test";
double g_open_ms = 0;

class OwnWindowLogoTest : public testing::Test {
 protected:
  static void SetUpTestSuite() {
    if (gfx::window_handle() != 0) return;
    gfx::set_window_mode(gfx::kModeNoForcedExit, 0, 0);
    const auto start = Clock::now();
    ASSERT_EQ(gfx::initgraph(400, 200, gfx::kModeStartupLogo), 0) << gfx::initgraph_failure();
    g_open_ms = ms_since(start);
    gfx::set_window_title(kTitle);
  }
  void SetUp() override {
    ASSERT_TRUE(gfx::window_alive());
    ASSERT_TRUE(x11.connected());
    const auto origin = find_client(x11, kTitle, 3s);
    ASSERT_TRUE(origin);
    client = *origin;
  }

  X11Screen x11;
  std::pair<int, int> client;
};

TEST_F(OwnWindowLogoTest, AModeSetBeforeInitgraphReplacesTheLogoBit) {
  EXPECT_LT(g_open_ms, 1000);
  EXPECT_FALSE(gfx::graph_context().manual_render);
  // The first frame is the black page, not the logo's white.
  gfx::pace_frame(60);
  ASSERT_TRUE(testsupport::waitFor([] { return !platform::displayPresentStats().pending; }, 3s));
  const auto shot = x11.capture(client.first, client.second, 400, 200);
  EXPECT_EQ(shot.count(0x000000, 0, 0, 400, 200), 400 * 200);
}

TEST_F(OwnWindowLogoTest, APictureThatDoesNotDecodeIsSkipped) {
  const std::vector<uint8_t> not_a_picture = {0xFF, 0xD8, 0xFF, 0xE0, 0x00, 0x10, 'J', 'F'};
  const auto start = Clock::now();
  EXPECT_FALSE(gfx::play_startup_logo(not_a_picture));
  EXPECT_FALSE(gfx::play_startup_logo({}));
  EXPECT_LT(ms_since(start), 100);
  EXPECT_FALSE(gfx::graph_context().manual_render);
  EXPECT_TRUE(gfx::window_alive());
}

TEST_F(OwnWindowLogoTest, AsWideAsThePictureItShowsAtHalfSizeAndAKeyEndsTheDisplay) {
  const auto want = expected_display(400, 200, true);
  std::atomic<bool> seen{false};
  Clock::time_point key_at{};
  std::thread watcher([&] {
    X11Screen screen;
    seen = wait_for_screen(screen, client, 400, 200, want, 4s);
    key_at = Clock::now();
    // A key as the window procedure queues it.
    gfx::graph_context().key_queue.push(
        {gfx::window_handle(), platform::WM_CHAR, 'q', 0, platform::tickCount(), 0, 0});
  });
  const auto start = Clock::now();
  EXPECT_TRUE(gfx::play_startup_logo());
  const auto end = Clock::now();
  watcher.join();
  ASSERT_TRUE(seen) << "the display phase never showed the half-size picture at (100, 50)";
  // Fade-out and background fade-out are 64 frames, about 1.07 s; a display played to its end
  // would add up to another second.
  EXPECT_LT(ms_between(key_at, end), 1500);
  EXPECT_LT(ms_between(start, end), kFullLogoMs - 300);

  // Back to automatic rendering on a black page with a black background.
  EXPECT_FALSE(gfx::graph_context().manual_render);
  const gfx::IMAGE* page = gfx::screen_page();
  EXPECT_EQ(page->bk_color, 0u);
  int lit = 0;
  for (int i = 0; i < 400 * 200; ++i) lit += (page->pixels()[i] & 0xFFFFFF) != 0;
  EXPECT_EQ(lit, 0);
  EXPECT_TRUE(gfx::graph_context().key_queue.empty());
}

TEST_F(OwnWindowLogoTest, ACloseRequestEndsThePlaybackAtOnce) {
  std::thread closer([&] {
    std::this_thread::sleep_for(300ms);
    X11Screen screen;
    if (const auto window = screen.findWindow(kTitle)) screen.requestClose(*window);
  });
  const auto start = Clock::now();
  EXPECT_TRUE(gfx::play_startup_logo());
  closer.join();
  EXPECT_LT(ms_since(start), 1000);
  EXPECT_FALSE(gfx::graph_context().manual_render);
  gfx::graph_context().close_requested = 0;  // the window itself stays for later tests
}

// Last: the window does not come back. A playback that keeps draining keys from a destroyed
// window never returns, so a watchdog ends the process instead of letting the test hang.
TEST_F(OwnWindowLogoTest, DestroyingTheWindowEndsThePlaybackAtOnce) {
  std::atomic<bool> returned{false};
  std::thread destroyer([&] {
    std::this_thread::sleep_for(300ms);
    gfx::destroy_window();
    for (int i = 0; i < 200 && !returned; ++i) std::this_thread::sleep_for(10ms);
    if (!returned) {
      std::fprintf(stderr, "the logo went on playing on a destroyed window\n");
      std::_Exit(1);
    }
  });
  const auto start = Clock::now();
  EXPECT_TRUE(gfx::play_startup_logo());
  returned = true;
  destroyer.join();
  EXPECT_LT(ms_since(start), 1000);
  EXPECT_FALSE(gfx::window_alive());
}

}  // namespace
