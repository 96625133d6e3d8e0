// The real loopback Update.exe in a real window under X, against kelvora-devserver: what the
// user sees is read back from screenshots and compared with the same text drawn off screen.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <set>
#include <thread>

#include "graphics/drawing.h"
#include "graphics/image.h"
#include "graphics/text.h"
#include "support/devserver_process.h"
#include "support/update_road.h"
#include "support/x11_screen.h"
#include "updater/settings_file.h"

namespace fs = std::filesystem;
using namespace std::chrono;
using namespace testsupport;

namespace {

constexpr char kFace[] = "\xCE\xA2\xC8\xED\xD1\xC5\xBA\xDA";
constexpr uint32_t kBackground = 0x151515;
constexpr uint32_t kGreen = 0x00A800;
// 更新文件存在故障, 请稍后再试。
constexpr char kFaultChinese[] =
    "\xB8\xFC\xD0\xC2\xCE\xC4\xBC\xFE\xB4\xE6\xD4\xDA\xB9\xCA\xD5\xCF, "
    "\xC7\xEB\xC9\xD4\xBA\xF3\xD4\xD9\xCA\xD4\xA1\xA3";

// The status and percent lines as the window should show them, drawn here on a page of our own.
std::unique_ptr<gfx::IMAGE> expectedPage(const std::string& status, const std::string& percent) {
  auto page = std::make_unique<gfx::IMAGE>(500, 200);
  gfx::set_fill_color(kBackground, page.get());
  gfx::fill_box(0, 0, 500, 200, page.get());
  gfx::set_bk_mode(1, page.get());
  gfx::set_line_color(0xFCFCFC, page.get());
  gfx::set_font(-16, 0, kFace, page.get());
  gfx::draw_text(30, 45, status.c_str(), page.get());
  gfx::set_font(-13, 0, kFace, page.get());
  gfx::draw_text(445, 125, percent.c_str(), page.get());
  return page;
}

// Pixels of the status band (y 40 to 80) and the percent text that differ from `page`.
int textDifference(const Screenshot& shot, const std::unique_ptr<gfx::IMAGE>& page) {
  int differ = 0;
  for (int y = 40; y < 150; ++y)
    for (int x = y < 80 ? 0 : 440; x < 500 && (y < 80 || y >= 120); ++x)
      differ += shot.at(x, y) != gfx::get_pixel(x, y, page.get());
  return differ;
}

struct AppDir : RoadDir {
  explicit AppDir(uint32_t language) { prepare(language); }
};

class UpdateWindow : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!screen_.connected()) GTEST_SKIP() << "no X display";
  }
  // Starts Update.exe in dir and finds its window.
  bool start(const AppDir& dir) {
    updater_ = std::make_unique<ChildProcess>(
        std::vector<std::string>{std::string(KELVORA_E2E_DIR) + "/Update.exe"}, dir.app.path(),
        dir.work / "updater.out", dir.work / "updater.err");
    std::optional<unsigned long> window;
    waitFor([&] { return (window = screen_.findWindow("Kelvora Update...")).has_value(); },
            seconds(10));
    window_ = window.value_or(0);
    return window.has_value();
  }
  // The window manager's close; gives the exit status if the program ends within a second.
  std::optional<int> close() {
    return screen_.requestClose(window_) ? updater_->wait(seconds(1)) : std::nullopt;
  }
  Screenshot shot() { return screen_.capture(origin_.first, origin_.second, 500, 200); }
  // Waits until the window shows `page`'s texts.
  bool waitForTexts(const std::unique_ptr<gfx::IMAGE>& page, milliseconds timeout,
                    Screenshot* last) {
    return waitFor([&] { return textDifference(*last = shot(), page) == 0; }, timeout);
  }
  static int greenBarEnd(const Screenshot& s) {
    int x = 30;
    while (x < 500 && s.at(x, 135) == kGreen) ++x;
    return x;
  }
  // One connection for the whole run: with no client left between two tests the X server resets,
  // and a test that connects during the reset would find no display.
  static inline X11Screen screen_;
  // Centred on the test screen of 1920 x 1080.
  const std::pair<int, int> origin_{1920 / 2 - 250, 1080 / 2 - 100};
  std::unique_ptr<ChildProcess> updater_;
  unsigned long window_ = 0;
};

TEST_F(UpdateWindow, EnglishUpdateFromFirstFrameToCompletedAndClose) {
  AppDir dir(9);
  dir.servePackage("update-en-1", dir.newProgram);
  // Slow enough that the growing bar is seen before the install.
  DevServerProcess server(dir.store(),
                          {"--announce", "3.11.0", "--size", "1500", "--throttle", "600000"},
                          dir.work / "devserver.log");
  ASSERT_TRUE(server.ready()) << server.log();
  ASSERT_TRUE(start(dir));
  // The window is made, then centred.
  EXPECT_TRUE(waitFor([&] { return screen_.clientOrigin(window_) == origin_; }, seconds(2)));

  // The bar grows while downloading.
  int firstEnd = 30;
  ASSERT_TRUE(waitFor([&] { return (firstEnd = greenBarEnd(shot())) > 30; }, seconds(10)));
  EXPECT_TRUE(waitFor([&] { return greenBarEnd(shot()) > firstEnd; }, seconds(2)));

  Screenshot s;
  const auto done = expectedPage("Update completed.", "100%");
  ASSERT_TRUE(waitForTexts(done, seconds(20), &s)) << textDifference(s, done) << " pixels differ";
  EXPECT_EQ(s.count(kGreen, 30, 120, 430, 150), 400 * 30) << "the bar covers x 30 to 429";
  EXPECT_EQ(s.count(kGreen, 430, 120, 500, 150), 0);
  EXPECT_EQ(readFile(dir.app / "Kelvora.exe"), dir.newProgram);
  EXPECT_EQ(dir.storedMinor(), 11);

  EXPECT_EQ(close(), 0);
}

// Start-up removes what a killed run left; the opening text stands while the server is silent.
TEST_F(UpdateWindow, OpeningTextAtZeroWhileTheServerIsSilentAndLeftOversGone) {
  AppDir dir(9);
  for (const char* left : {"Kelvora.exe.new", "prev.new", "3.10.0.BIN"})
    writeFile(dir.app / left, std::string("left by a killed run"));
  DevServerProcess server(dir.store(), {"--silent"}, dir.work / "devserver.log");
  ASSERT_TRUE(server.ready()) << server.log();
  ASSERT_TRUE(start(dir));
  Screenshot s;
  const auto opening = expectedPage("Connecting the update server...", "0%");
  EXPECT_TRUE(waitForTexts(opening, seconds(5), &s)) << textDifference(s, opening);
  EXPECT_EQ(s.count(kGreen, 0, 0, 500, 200), 0);
  EXPECT_EQ(s.count(0x272727, 30, 120, 430, 150), 400 * 30);
  EXPECT_EQ(dir.names(), (std::set<std::string>{"Kelvora.exe", "Update.exe.lock", "config.cfg"}));

  EXPECT_EQ(close(), 0);
}

// An announced size of 0 and a missing package: both counts stay 0, yet the bar stops at 99.
TEST_F(UpdateWindow, ChineseMissingPackageStopsAt99WithTheFaultTextInChineseGlyphs) {
  AppDir dir(2052);
  fs::create_directories(dir.store() / "pravex-update-1");
  DevServerProcess server(dir.store(), {"--announce", "3.11.0", "--size", "0"},
                          dir.work / "devserver.log");
  ASSERT_TRUE(server.ready()) << server.log();
  ASSERT_TRUE(start(dir));
  Screenshot s;
  const auto fault = expectedPage(kFaultChinese, "99%");
  ASSERT_TRUE(waitForTexts(fault, seconds(15), &s)) << textDifference(s, fault);
  EXPECT_EQ(greenBarEnd(s), 30 + 4 * 99);
  EXPECT_NE(server.log().find("pravex-update-1"), std::string::npos) << server.log();
  EXPECT_EQ(close(), 0);
}

// A close while the package arrives or is installed ends the program at once (the install lock
// waits only for the swap) with a whole program and no partial push left behind.
TEST_F(UpdateWindow, CloseDuringDownloadPushOrInstallEndsAtOnceWithAWholeProgram) {
  struct Case {
    const char* name;
    std::vector<std::string> args;
    size_t programSize;
    bool untilPackageFile;  // close once the package file stands, else after 2.5 s
  };
  const Case cases[] = {
      {"download", {"--announce", "3.11.0", "--throttle", "100000"}, 1500000, false},
      {"push", {"--push", "", "--dribble", "--dribble-delay", "1"}, 100000, false},
      {"install", {"--announce", "3.11.0"}, 24 << 20, true},
  };
  for (Case c : cases) {
    AppDir dir(9);
    dir.newProgram = testProgram(5, c.programSize);
    dir.servePackage("update-en-1", dir.newProgram);
    if (c.args[0] == "--push") c.args[1] = (dir.work / "new.bin").string();
    DevServerProcess server(dir.store(), c.args, dir.work / "devserver.log");
    ASSERT_TRUE(server.ready()) << server.log();
    ASSERT_TRUE(start(dir));
    if (c.untilPackageFile) {
      ASSERT_TRUE(waitFor([&] { return fs::exists(dir.app / "3.11.0.BIN"); }, seconds(15)));
    } else {
      std::this_thread::sleep_for(milliseconds(2500));
    }
    EXPECT_EQ(close(), 0) << c.name;
    auto program = readFile(dir.app / "Kelvora.exe");
    EXPECT_TRUE(program == dir.oldProgram || program == dir.newProgram) << c.name;
    EXPECT_TRUE(settings_file::decryptContainer(readFile(dir.app / "config.cfg")).has_value())
        << c.name;
    EXPECT_FALSE(c.args[0] == "--push" && fs::exists(dir.app / "3.10.0.BIN")) << "partial push";
  }
}

}  // namespace
