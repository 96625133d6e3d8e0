// kelvora-gfxdemo as a user meets it: it opens its window, shows its page, reports typed keys and
// clicks, and says in words why when there is no display.
#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>

#include "support/test_support.h"

namespace {

using namespace std::chrono_literals;
using testsupport::binPath;
using testsupport::ChildProcess;
using testsupport::runCommand;
using testsupport::TempDir;

std::string read_text(const std::filesystem::path& path) {
  std::ifstream in(path);
  return std::string((std::istreambuf_iterator<char>(in)), {});
}

TEST(GfxDemoTest, ShowsItsPageAndReportsKeysAndClicks) {
  TempDir dir;
  ChildProcess demo({binPath("kelvora-gfxdemo"), "--seconds", "20"}, dir.path(), dir / "out",
                    dir / "err");
  ASSERT_TRUE(testsupport::waitFor(
      [&] { return read_text(dir / "out").find("ready") != std::string::npos; }, 10s))
      << read_text(dir / "err");
  // Centred on the 1920 x 1080 screen.
  const auto info = runCommand("xwininfo -name 'Kelvora graphics demo'");
  ASSERT_EQ(info.status, 0);
  EXPECT_NE(info.output.find("Absolute upper-left X:  710"), std::string::npos) << info.output;
  EXPECT_NE(info.output.find("Width: 500"), std::string::npos);

  // The first box is red and the background dark grey, seen in a screenshot of the screen.
  const auto shot = dir / "shot.ppm";
  ASSERT_EQ(
      runCommand("import -window root -crop 2x1+779+490 -depth 8 ppm:" + shot.string()).status, 0);
  const std::string ppm = read_text(shot);
  ASSERT_GE(ppm.size(), 6u);
  const std::string pixels = ppm.substr(ppm.size() - 6);
  EXPECT_EQ(pixels, std::string("\xE0\x40\x40\x15\x15\x15", 6));

  ASSERT_EQ(runCommand("xdotool mousemove 800 500 && sleep 0.2 && xdotool key --delay 30 a F1 "
                       "&& xdotool click 1")
                .status,
            0);
  ASSERT_TRUE(testsupport::waitFor(
      [&] { return read_text(dir / "out").find("click") != std::string::npos; }, 5s))
      << read_text(dir / "out");
  const std::string out = read_text(dir / "out");
  EXPECT_NE(out.find("key 0x61\nkey 0x170\n"), std::string::npos) << out;
  EXPECT_NE(out.find("click 90 60 1"), std::string::npos) << out;

  ASSERT_EQ(runCommand("xdotool key Escape").status, 0);
  EXPECT_EQ(demo.wait(5s), std::optional<int>(0)) << read_text(dir / "err");
  // An unchanging page reaches the display a handful of times, not once a frame.
  std::istringstream tail(read_text(dir / "out").substr(read_text(dir / "out").rfind("frames")));
  std::string word;
  unsigned long long handed = 0;
  tail >> word >> word >> handed;
  EXPECT_GE(handed, 1u);
  EXPECT_LE(handed, 8u) << read_text(dir / "out");
}

TEST(GfxDemoTest, WithoutADisplayItSaysWhyAndExitsWithTwo) {
  TempDir dir;
  const auto r = runCommand("env -u DISPLAY -u WAYLAND_DISPLAY " + binPath("kelvora-gfxdemo") +
                            " 2>" + (dir / "err").string());
  EXPECT_EQ(r.status, 2);
  const std::string err = read_text(dir / "err");
  EXPECT_EQ(
      err.rfind("kelvora-gfxdemo: cannot open the window: no display (DISPLAY is not set)\n", 0),
      0u)
      << err;
  const auto r2 =
      runCommand("DISPLAY=:1999 " + binPath("kelvora-gfxdemo") + " 2>" + (dir / "err").string());
  EXPECT_EQ(r2.status, 2);
  EXPECT_NE(read_text(dir / "err").find("cannot open the window: cannot connect to the X display"),
            std::string::npos);
}

}  // namespace
