// The real Update.exe and kelvora-config in temporary application directories.
#include <gtest/gtest.h>
#include <signal.h>

#include <filesystem>

#include "support/test_support.h"
#include "updater/config_cipher.h"
#include "updater/settings_block.h"

namespace {

using namespace testsupport;
namespace fs = std::filesystem;
using std::chrono::seconds;

std::string updater() {
  return binPath("Update.exe");
}

bool enciphered(const fs::path& file) {
  std::error_code ec;
  return fs::exists(file, ec) && decryptContainer(readFile(file)).has_value();
}

// The exit status of a run that ends by itself; 0 as well for one whose start-up has finished
// (the settings file enciphered again) while its worker waits for the unreachable production
// update server, which it would do until the user ends the program.
int runIn(const fs::path& dir, const std::vector<std::string>& argv) {
  ChildProcess child(argv, dir);
  for (int i = 0; i < 600; ++i) {
    if (auto status = child.wait(std::chrono::milliseconds(100))) return *status;
    if (enciphered(dir / "config.cfg")) {
      // Leave the worker a moment to show it does not write the file while it waits.
      std::this_thread::sleep_for(std::chrono::milliseconds(300));
      if (!child.running()) return child.wait(seconds(1)).value_or(-1);
      child.kill(SIGKILL);
      child.wait(seconds(5));
      return 0;
    }
  }
  return -1;
}

settings_block::Block decryptedBlock(const fs::path& file) {
  auto plain = decryptContainer(readFile(file));
  EXPECT_TRUE(plain.has_value()) << file << " is not a valid container";
  settings_block::Block b{};
  if (plain) std::copy_n(plain->begin(), std::min(plain->size(), b.size()), b.begin());
  return b;
}

TEST(Startup, FirstRunCreatesAnEncipheredDefaultBlock) {
  TempDir app;
  EXPECT_EQ(runIn(app.path(), {updater()}), 0);
  ASSERT_TRUE(fs::exists(app / "config.cfg"));
  EXPECT_EQ(fs::file_size(app / "config.cfg"), 2200u);
  settings_block::Block b = decryptedBlock(app / "config.cfg");
  EXPECT_EQ(settings_block::language(b), 9u);
  EXPECT_EQ(settings_block::getU32(b, 17), 0x00010101u);
  EXPECT_EQ(b[52], 0x4E);
  EXPECT_EQ(b[53], 0x7F);
  EXPECT_EQ(settings_block::version(b).major, 0u);
  std::vector<std::string> leftovers;
  for (const auto& e : fs::directory_iterator(app.path())) leftovers.push_back(e.path().filename());
  EXPECT_EQ(leftovers, std::vector<std::string>{"config.cfg"}) << "no temporary file is left";

  // A later run reads the block and enciphers it again with a fresh key.
  auto first = readFile(app / "config.cfg");
  EXPECT_EQ(runIn(app.path(), {updater()}), 0);
  auto second = readFile(app / "config.cfg");
  EXPECT_NE(first, second);
  EXPECT_EQ(decryptedBlock(app / "config.cfg"), b);
}

TEST(Startup, TwoFirstRunsFillDifferentBytes) {
  TempDir a, b;
  EXPECT_EQ(runIn(a.path(), {updater()}), 0);
  std::this_thread::sleep_for(std::chrono::milliseconds(5));
  EXPECT_EQ(runIn(b.path(), {updater()}), 0);
  EXPECT_NE(decryptedBlock(a / "config.cfg"), decryptedBlock(b / "config.cfg"));
}

TEST(Startup, AnotherProcessNamedUpdateExeStopsItAtOnce) {
  TempDir bin, app;
  fs::copy_file("/bin/sleep", bin / "Update.exe");
  ChildProcess other({(bin / "Update.exe").string(), "30"});
  ASSERT_TRUE(waitFor([&] { return runCommand("pgrep -x Update.exe").status == 0; }, seconds(5)));
  EXPECT_EQ(runIn(app.path(), {updater()}), 0);
  EXPECT_FALSE(fs::exists(app / "config.cfg")) << "a second copy touches nothing";
}

TEST(Startup, ANameThatDiffersInCaseIsNotCounted) {
  TempDir bin, app;
  fs::copy_file("/bin/sleep", bin / "update.exe");
  ChildProcess other({(bin / "update.exe").string(), "30"});
  EXPECT_EQ(runIn(app.path(), {updater()}), 0);
  EXPECT_TRUE(fs::exists(app / "config.cfg"));
}

TEST(KelvoraConfig, ShowSetDecryptEncrypt) {
  TempDir app;
  ASSERT_EQ(runIn(app.path(), {updater()}), 0);
  const std::string tool = binPath("kelvora-config");
  const std::string cfg = (app / "config.cfg").string();

  auto shown = runCommand(tool + " show " + cfg);
  EXPECT_EQ(shown.status, 0);
  EXPECT_NE(shown.output.find("version 0.0.0"), std::string::npos) << shown.output;
  EXPECT_NE(shown.output.find("language 9"), std::string::npos) << shown.output;

  EXPECT_EQ(runCommand(tool + " set " + cfg + " --version 3.10.250 --language 2052").status, 0);
  settings_block::Block b = decryptedBlock(cfg);
  EXPECT_EQ(settings_block::version(b).minor, 10u);
  EXPECT_EQ(settings_block::version(b).build, 250u);
  EXPECT_TRUE(settings_block::isChinese(b));
  EXPECT_EQ(fs::file_size(cfg), 2200u);

  const std::string plain = (app / "plain.bin").string();
  const std::string again = (app / "again.cfg").string();
  EXPECT_EQ(runCommand(tool + " decrypt " + cfg + " " + plain).status, 0);
  EXPECT_EQ(fs::file_size(plain), 2048u);
  EXPECT_EQ(runCommand(tool + " encrypt " + plain + " " + again).status, 0);
  EXPECT_EQ(decryptedBlock(again), b);

  // A file that is no container is refused with a reason and left as it is.
  EXPECT_NE(runCommand(tool + " set " + plain + " --language 9 2>/dev/null").status, 0);
  EXPECT_EQ(fs::file_size(plain), 2048u);
  auto refused = runCommand(tool + " show " + plain + " 2>&1");
  EXPECT_NE(refused.status, 0);
  EXPECT_NE(refused.output.find("not a valid settings container"), std::string::npos);
  EXPECT_NE(runCommand(tool + " set " + cfg + " --version 3.x 2>/dev/null").status, 0);
  EXPECT_EQ(runCommand(tool + " --help").status, 0);
}

}  // namespace
