// The real loopback Update.exe in a real window under X, against kelvora-devserver: what the
// user sees is read back from screenshots and compared with the same text drawn off screen.
#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <random>
#include <thread>

#include "graphics/drawing.h"
#include "graphics/image.h"
#include "graphics/text.h"
#include "support/devserver_process.h"
#include "support/test_support.h"
#include "support/x11_screen.h"
#include "updater/settings_block.h"
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
gfx::IMAGE* expectedPage(const std::string& status, const std::string& percent) {
  gfx::IMAGE* page = gfx::newimage(500, 200);
  gfx::set_fill_color(kBackground, page);
  gfx::fill_box(0, 0, 500, 200, page);
  gfx::set_bk_mode(1, page);
  gfx::set_line_color(0xFCFCFC, page);
  gfx::set_font(-16, 0, kFace, page);
  gfx::draw_text(30, 45, status.c_str(), page);
  gfx::set_font(-13, 0, kFace, page);
  gfx::draw_text(445, 125, percent.c_str(), page);
  return page;
}

// Pixels of the status band (y 40 to 80) and the percent text that differ from `page`.
int textDifference(const Screenshot& shot, gfx::IMAGE* page) {
  int differ = 0;
  for (int y = 40; y < 80; ++y) {
    for (int x = 0; x < 500; ++x) differ += shot.at(x, y) != gfx::get_pixel(x, y, page);
  }
  for (int y = 120; y < 150; ++y) {
    for (int x = 440; x < 500; ++x) differ += shot.at(x, y) != gfx::get_pixel(x, y, page);
  }
  return differ;
}

struct AppDir {
  TempDir app, work;
  std::vector<uint8_t> oldProgram, newProgram;

  explicit AppDir(uint32_t language) {
    std::mt19937 random(language);
    oldProgram.assign(200000, 0);
    newProgram.assign(1500000, 0);
    for (auto& b : oldProgram) b = static_cast<uint8_t>(random() % 7);
    for (auto& b : newProgram) b = static_cast<uint8_t>(random() % 3 == 0 ? random() : 'n');
    writeFile(app / "Kelvora.exe", oldProgram);
    int32_t filler = 11;
    settings_block::Block block = settings_block::makeDefaultBlock(&filler, 2);
    settings_block::setVersion(block, {3, 10, 0});
    settings_block::putU32(block, settings_block::LANGUAGE, language);
    writeFile(app / "config.cfg", *settings_file::encryptContainer(block));
  }
  void servePackage(const std::string& bucket) {
    writeFile(work / "new.bin", newProgram);
    fs::create_directories(work / "store" / bucket / "3");
    auto r = runCommand(binPath("kelvora-pack") + " build '" + (work / "new.bin").string() + "' '" +
                        (work / "store" / bucket / "3" / "11.0.BIN").string() + "'");
    ASSERT_EQ(r.status, 0) << r.output;
  }
  std::optional<settings_block::Version> storedVersion() {
    auto plain = settings_file::decryptContainer(readFile(app / "config.cfg"));
    if (!plain || plain->size() < SETTINGS_BLOCK_SIZE) return std::nullopt;
    settings_block::Block b{};
    std::copy_n(plain->begin(), b.size(), b.begin());
    return settings_block::version(b);
  }
};

class UpdateWindow : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!screen_.connected()) GTEST_SKIP() << "no X display";
    origin_ = {screen_.width() / 2 - 250, screen_.height() / 2 - 100};
  }
  std::unique_ptr<ChildProcess> startUpdater(const AppDir& dir) {
    return std::make_unique<ChildProcess>(
        std::vector<std::string>{std::string(KELVORA_E2E_DIR) + "/Update.exe"}, dir.app.path(),
        dir.work / "updater.out", dir.work / "updater.err");
  }
  std::optional<unsigned long> waitForWindow() {
    std::optional<unsigned long> window;
    waitFor([&] { return (window = screen_.findWindow("Kelvora Update...")).has_value(); },
            seconds(10));
    return window;
  }
  Screenshot shot() { return screen_.capture(origin_.first, origin_.second, 500, 200); }
  // Waits until the window shows `page`'s texts.
  bool waitForTexts(gfx::IMAGE* page, milliseconds timeout, Screenshot* last) {
    return waitFor(
        [&] {
          *last = shot();
          return textDifference(*last, page) == 0;
        },
        timeout);
  }
  // The window manager's close request ends the program with 0 within a second, leaving a whole
  // program, old or new, and a readable settings file.
  void closeLeavesAWholeProgram(const AppDir& dir, ChildProcess& updater, unsigned long window) {
    auto closedAt = steady_clock::now();
    ASSERT_TRUE(screen_.requestClose(window));
    EXPECT_EQ(updater.wait(seconds(1)), 0);
    EXPECT_LT(steady_clock::now() - closedAt, seconds(1));
    auto program = readFile(dir.app / "Kelvora.exe");
    EXPECT_TRUE(program == dir.oldProgram || program == dir.newProgram);
    EXPECT_TRUE(settings_file::decryptContainer(readFile(dir.app / "config.cfg")).has_value());
  }
  static int greenBarEnd(const Screenshot& s) {
    int x = 30;
    while (x < 500 && s.at(x, 135) == kGreen) ++x;
    return x;
  }
  X11Screen screen_;
  std::pair<int, int> origin_;
};

TEST_F(UpdateWindow, EnglishUpdateFromFirstFrameToCompletedAndClose) {
  AppDir dir(9);
  dir.servePackage("update-en-1");
  // Slow enough that the growing bar is seen before the install.
  DevServerProcess server(dir.work / "store",
                          {"--announce", "3.11.0", "--size", "1500", "--throttle", "600000"},
                          dir.work / "devserver.log");
  ASSERT_TRUE(server.ready()) << server.log();
  auto updater = startUpdater(dir);
  auto window = waitForWindow();
  ASSERT_TRUE(window);
  // The window is made, then centred: wait for the move to reach the server.
  std::optional<std::pair<int, int>> origin;
  EXPECT_TRUE(
      waitFor([&] { return (origin = screen_.clientOrigin(*window)) == origin_; }, seconds(2)));
  EXPECT_EQ(origin, origin_);

  Screenshot s;
  gfx::IMAGE* found = expectedPage("Found a new version 3.11.0, downloading...\n\n", "0%");
  // The bar starts in the frame after the found text; compare the status band only.
  ASSERT_TRUE(waitFor(
      [&] {
        s = shot();
        int differ = 0;
        for (int y = 40; y < 80; ++y)
          for (int x = 0; x < 500; ++x) differ += s.at(x, y) != gfx::get_pixel(x, y, found);
        return differ == 0;
      },
      seconds(10)));
  // The found text stands alone for the announcement pause (a second), then the bar starts.
  EXPECT_EQ(greenBarEnd(s), 30) << "no bar with the found text's first frame";
  int firstEnd = 30;
  ASSERT_TRUE(waitFor([&] { return (firstEnd = greenBarEnd(shot())) > 30; }, seconds(5)));
  std::this_thread::sleep_for(milliseconds(300));
  int laterEnd = greenBarEnd(shot());
  EXPECT_GT(laterEnd, firstEnd) << "the bar grows while downloading";

  gfx::IMAGE* done = expectedPage("Update completed.", "100%");
  ASSERT_TRUE(waitForTexts(done, seconds(20), &s)) << textDifference(s, done) << " pixels differ";
  EXPECT_EQ(s.count(kGreen, 30, 120, 430, 150), 400 * 30) << "the bar covers x 30 to 429";
  EXPECT_EQ(s.count(kGreen, 430, 120, 500, 150), 0);
  EXPECT_EQ(s.at(15, 15), kBackground);
  EXPECT_EQ(readFile(dir.app / "Kelvora.exe"), dir.newProgram);
  EXPECT_EQ(readFile(dir.app / "prev"), dir.oldProgram);
  auto version = dir.storedVersion();
  ASSERT_TRUE(version);
  EXPECT_EQ(version->minor, 11u);

  // A key and a click change nothing on screen.
  runCommand("xdotool mousemove " + std::to_string(origin_.first + 100) + " " +
             std::to_string(origin_.second + 100) + " click 1 key a Return");
  std::this_thread::sleep_for(milliseconds(300));
  EXPECT_EQ(shot().pixels, s.pixels);

  auto closedAt = steady_clock::now();
  ASSERT_TRUE(screen_.requestClose(*window));
  EXPECT_EQ(updater->wait(seconds(1)), 0);
  EXPECT_LT(steady_clock::now() - closedAt, seconds(1));
  gfx::delimage(found);
  gfx::delimage(done);
}

TEST_F(UpdateWindow, OpeningTextAtZeroWhileTheServerIsSilentAndCheapWhileIdle) {
  AppDir dir(9);
  DevServerProcess server(dir.work / "store", {"--silent"}, dir.work / "devserver.log");
  ASSERT_TRUE(server.ready()) << server.log();
  auto updater = startUpdater(dir);
  auto window = waitForWindow();
  ASSERT_TRUE(window);
  Screenshot s;
  gfx::IMAGE* opening = expectedPage("Connecting the update server...", "0%");
  EXPECT_TRUE(waitForTexts(opening, seconds(5), &s)) << textDifference(s, opening);
  EXPECT_EQ(s.count(kGreen, 0, 0, 500, 200), 0);
  EXPECT_EQ(s.count(0x272727, 30, 120, 430, 150), 400 * 30);

  // A second copy finds the first and leaves at once, without a window of its own.
  auto second = runCommand("cd '" + dir.app.path().string() + "' && timeout 5 '" +
                           std::string(KELVORA_E2E_DIR) + "/Update.exe' 2>&1");
  EXPECT_EQ(second.status, 0) << second.output;
  EXPECT_EQ(screen_.findWindow("Kelvora Update..."), window);

  // Process CPU time over a few seconds of an unchanging window.
  auto cpuTicks = [&] {
    std::ifstream in("/proc/" + std::to_string(updater->pid()) + "/stat");
    std::string field;
    std::vector<std::string> fields;
    while (in >> field) fields.push_back(field);
    return fields.size() > 15 ? std::stol(fields[13]) + std::stol(fields[14]) : -1L;
  };
  long before = cpuTicks();
  std::this_thread::sleep_for(seconds(4));
  long after = cpuTicks();
  double percent = 100.0 * (after - before) / sysconf(_SC_CLK_TCK) / 4.0;
  RecordProperty("idle_cpu_percent", std::to_string(percent));
  // A bound for the sanitizer build, which pays several times the release program's cost per
  // frame; the release figure is measured by bench/progress_window.
  EXPECT_LT(percent, 10.0);
  EXPECT_FALSE(fs::exists(dir.app / "prev"));
  ASSERT_TRUE(screen_.requestClose(*window));
  EXPECT_EQ(updater->wait(seconds(1)), 0);
  gfx::delimage(opening);
}

TEST_F(UpdateWindow, ChineseMissingPackageStopsAt99WithTheFaultTextInChineseGlyphs) {
  AppDir dir(2052);
  fs::create_directories(dir.work / "store" / "pravex-update-1");
  DevServerProcess server(dir.work / "store", {"--announce", "3.11.0", "--size", "1500"},
                          dir.work / "devserver.log");
  ASSERT_TRUE(server.ready()) << server.log();
  auto updater = startUpdater(dir);
  auto window = waitForWindow();
  ASSERT_TRUE(window);
  Screenshot s;
  gfx::IMAGE* fault = expectedPage(kFaultChinese, "99%");
  ASSERT_TRUE(waitForTexts(fault, seconds(15), &s)) << textDifference(s, fault);
  EXPECT_EQ(greenBarEnd(s), 30 + 4 * 99);
  // The same sentence of characters no font has draws boxes, not what the window shows.
  std::string boxes;
  for (size_t i = 0; i + 1 < sizeof kFaultChinese; i += 2) boxes += "\xAA\xA1";
  gfx::IMAGE* boxed = expectedPage(boxes, "99%");
  EXPECT_GT(textDifference(s, boxed), 200);
  EXPECT_EQ(readFile(dir.app / "Kelvora.exe"), dir.oldProgram);
  EXPECT_FALSE(fs::exists(dir.app / "prev"));
  EXPECT_NE(server.log().find("pravex-update-1"), std::string::npos) << server.log();
  ASSERT_TRUE(screen_.requestClose(*window));
  EXPECT_EQ(updater->wait(seconds(1)), 0);
  auto version = dir.storedVersion();
  ASSERT_TRUE(version);
  EXPECT_EQ(version->minor, 10u) << "a failed update keeps the old version";
  gfx::delimage(fault);
  gfx::delimage(boxed);
}

TEST_F(UpdateWindow, CloseDuringTheDownloadEndsAtOnceAndLeavesTheOldProgram) {
  AppDir dir(9);
  dir.servePackage("update-en-1");
  DevServerProcess server(dir.work / "store",
                          {"--announce", "3.11.0", "--size", "1500", "--throttle", "100000"},
                          dir.work / "devserver.log");
  ASSERT_TRUE(server.ready()) << server.log();
  auto updater = startUpdater(dir);
  auto window = waitForWindow();
  ASSERT_TRUE(window);
  std::this_thread::sleep_for(milliseconds(2500));
  closeLeavesAWholeProgram(dir, *updater, *window);
}

// The install lock: a close that arrives while the package is being written and unpacked waits
// only for the swap, never leaves a half program, and still ends at once.
TEST_F(UpdateWindow, CloseDuringTheInstallEndsAtOnceWithAWholeProgram) {
  AppDir dir(9);
  dir.newProgram.assign(24 << 20, 0);
  std::mt19937 random(5);
  for (auto& b : dir.newProgram) b = static_cast<uint8_t>(random() % 16 == 0 ? random() : 'k');
  dir.servePackage("update-en-1");
  DevServerProcess server(dir.work / "store", {"--announce", "3.11.0", "--size", "1500"},
                          dir.work / "devserver.log");
  ASSERT_TRUE(server.ready()) << server.log();
  auto updater = startUpdater(dir);
  auto window = waitForWindow();
  ASSERT_TRUE(window);
  // The package file exists from its writing until the unpacked program is swapped in.
  ASSERT_TRUE(waitFor([&] { return fs::exists(dir.app / "3.11.0.BIN"); }, seconds(15)));
  closeLeavesAWholeProgram(dir, *updater, *window);
}

TEST(UpdateWithoutDisplay, SaysWhyAndEndsWithStatus2) {
  AppDir dir(9);
  auto r = runCommand("cd '" + dir.app.path().string() + "' && env -u DISPLAY '" +
                      std::string(KELVORA_E2E_DIR) + "/Update.exe' 2>&1");
  EXPECT_EQ(r.status, 2);
  EXPECT_EQ(r.output.rfind("Update.exe: cannot open the window: ", 0), 0u) << r.output;
  EXPECT_TRUE(settings_file::decryptContainer(readFile(dir.app / "config.cfg")).has_value());
}

}  // namespace
