// The graphics layer as the loopback Update.exe carries it: what the linker kept, and what the
// window manager sees of its window (read with nm and xprop).
#include <gtest/gtest.h>

#include <chrono>
#include <string>

#include "support/test_support.h"
#include "support/x11_screen.h"

namespace {

using namespace std::chrono_literals;
using namespace testsupport;

const std::string kUpdater = std::string(KELVORA_E2E_DIR) + "/Update.exe";

// The control tree is built by initgraph itself, so no linker can leave it out of the program.
TEST(UpdateExeGraphicsTest, TheProgramCarriesTheControlTree) {
  const auto r = runCommand("nm -C '" + kUpdater + "' | grep -c 'gfx::ControlBase::'");
  EXPECT_GT(std::stoi(r.output.empty() ? "0" : r.output), 0);
}

// The loopback Update.exe in an empty application directory: its window carries the icon in
// several sizes. Then the window is destroyed behind the program's back, which makes the display
// library's next request on it fail; that failure is reported, not a reason for the process to
// end from the display thread with its exit handlers half-run (it used to abort).
TEST(UpdateExeWindow, HasTheIconInSeveralSizesAndOutlivesItsDestructionByAnotherClient) {
  X11Screen x11;
  ASSERT_TRUE(x11.connected());
  TempDir app;
  ChildProcess updater({kUpdater}, app.path(), app / "out", app / "err");
  std::optional<unsigned long> window;
  waitFor([&] { return (window = x11.findWindow("Kelvora Update...")).has_value(); }, 10s);
  ASSERT_TRUE(window);
  const auto icon = runCommand("xprop -id " + std::to_string(*window) + " _NET_WM_ICON");
  for (const char* size : {"Icon (16 x 16)", "Icon (32 x 32)", "Icon (48 x 48)"}) {
    EXPECT_NE(icon.output.find(size), std::string::npos) << size << "\n"
                                                         << icon.output.substr(0, 200);
  }
  ASSERT_EQ(runCommand("xdotool windowclose " + std::to_string(*window)).status, 0);
  EXPECT_FALSE(updater.wait(1500ms).has_value()) << "the program ended at once";
}

}  // namespace
