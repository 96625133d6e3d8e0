// The real Update.exe and kelvora-config in temporary application directories. Update.exe runs
// without a display: status 2 (no window) then means start-up got past the settings file, and
// status 0 that it stopped before any window.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>

#include "support/test_support.h"
#include "updater/app_state.h"
#include "updater/settings_block.h"
#include "updater/settings_file.h"
#include "updater/startup.h"

namespace {

using namespace testsupport;
namespace fs = std::filesystem;
using settings_file::encryptContainer;

constexpr int kPastTheSettings = 2;

// Runs Update.exe in dir; prefix wraps the command (another user, another mount namespace).
CommandResult startUp(const fs::path& dir, const std::string& prefix = "") {
  return runCommand("cd '" + dir.string() + "' && " + prefix + " timeout 20 env -u DISPLAY " +
                    binPath("Update.exe") + " 2>&1");
}

settings_block::Block blockOf(const fs::path& file) {
  auto plain = settings_file::decryptContainer(readFile(file));
  EXPECT_TRUE(plain.has_value()) << file << " is not a valid container";
  settings_block::Block b{};
  if (plain) std::copy_n(plain->begin(), std::min(plain->size(), b.size()), b.begin());
  return b;
}

TEST(Startup, FirstRunCreatesAnEncipheredDefaultBlockThatLaterRunsKeep) {
  TempDir a, b;
  ASSERT_EQ(startUp(a.path()).status, kPastTheSettings);
  settings_block::Block block = blockOf(a / "config.cfg");
  EXPECT_EQ(settings_block::language(block), 9u);
  for (const auto& e : fs::directory_iterator(a.path()))
    EXPECT_NE(e.path().filename().string()[0], '.') << "a temporary left behind";

  // A later run reads the block and enciphers it again with a fresh key.
  auto first = readFile(a / "config.cfg");
  ASSERT_EQ(startUp(a.path()).status, kPastTheSettings);
  EXPECT_NE(readFile(a / "config.cfg"), first);
  EXPECT_EQ(blockOf(a / "config.cfg"), block);
  ASSERT_EQ(startUp(b.path()).status, kPastTheSettings);  // another millisecond, other filler
  EXPECT_NE(blockOf(b / "config.cfg"), block);
}

// Files that are no settings are moved aside unchanged and replaced by a first-run block, so
// their bytes can never pass for a version that stops every later update.
TEST(Startup, UnreadableSettingsAreMovedAsideAndStartedAfresh) {
  std::vector<uint8_t> flipped = *encryptContainer(settings_block::Block{});
  flipped[2190] ^= 0x01;
  struct Case {
    const char* what;
    std::vector<uint8_t> bytes;
    uintmax_t size;  // past the bytes: zeros
  };
  for (const Case& c : {Case{"a flipped trailer byte", flipped, 2200}, Case{"an empty file", {}, 0},
                        Case{"200 MiB", {}, 200u << 20}}) {
    TempDir app;
    // An older damaged file is replaced; a directory of that name (or the next), never.
    const bool blocked = c.size == 2200;
    if (blocked) {
      fs::create_directories(app / "config.cfg.damaged" / "inside");
      fs::create_directories(app / "config.cfg.damaged.1" / "inside");
    } else {
      writeFile(app / "config.cfg.damaged", "an older one");
    }
    const fs::path aside = app / (blocked ? "config.cfg.damaged.2" : "config.cfg.damaged");
    writeFile(app / "config.cfg", c.bytes);
    fs::resize_file(app / "config.cfg", c.size);
    ASSERT_EQ(startUp(app.path()).status, kPastTheSettings) << c.what;
    EXPECT_EQ(fs::file_size(aside), c.size) << c.what;
    if (c.size < 4096) {
      EXPECT_EQ(readFile(aside), c.bytes) << c.what;
    }
    EXPECT_EQ(fs::file_size(app / "config.cfg"), 2200u) << c.what;
    EXPECT_EQ(settings_block::version(blockOf(app / "config.cfg")).major, 0u) << c.what;
  }
}

// In a directory where nothing can be created the block is deciphered in memory all the same,
// and the file stays as it was.
TEST(Startup, ADirectoryWhereNothingCanBeCreatedStillGivesTheBlock) {
  TempDir app;
  settings_block::Block block{};
  settings_block::setVersion(block, {3, 10, 250});
  const auto container = *encryptContainer(block);
  writeFile(app / "config.cfg", container);
  chmod((app / "config.cfg").c_str(), 0666);
  chmod(app.path().c_str(), 0555);
  pid_t child = fork();
  if (child == 0) {  // as an ordinary user: root ignores the directory's mode
    bool ok = setgid(65534) == 0 && setuid(65534) == 0 && chdir(app.path().c_str()) == 0 &&
              startup::loadSettingsBlock();
    _exit(ok && settings_block::version(app_state::appState().settingsBlock).build == 250 ? 0 : 1);
  }
  int status = -1;
  waitpid(child, &status, 0);
  EXPECT_EQ(status, 0);
  EXPECT_EQ(readFile(app / "config.cfg"), container);
}

// A read-only file keeps its mode when enciphered afresh; on a read-only file system start-up
// ends before any window.
TEST(Startup, ReadOnlyFileAndFileSystem) {
  struct Case {
    const char* what;
    std::string prefix;
    int status;
    mode_t fileMode;
  };
  for (const Case& c : {Case{"a read-only file", "", kPastTheSettings, 0444},
                        Case{"a read-only file system",
                             "unshare -m sh -c 'mount -t tmpfs tmpfs . && cd . && cp ../config.cfg "
                             ". && mount -o remount,ro . && exec \"$0\" \"$@\"'",
                             0, 0644}}) {
    TempDir top;
    const fs::path app = top / "app";
    fs::create_directories(app);
    writeFile(top / "config.cfg", *encryptContainer(settings_block::Block{}));
    fs::copy_file(top / "config.cfg", app / "config.cfg");
    chmod((app / "config.cfg").c_str(), c.fileMode);
    EXPECT_EQ(startUp(app, c.prefix).status, c.status) << c.what;
    struct stat st {};
    ASSERT_EQ(stat((app / "config.cfg").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, c.fileMode) << c.what;
    EXPECT_EQ(blockOf(app / "config.cfg"), blockOf(top / "config.cfg")) << c.what;
  }
}

TEST(KelvoraConfig, ShowSetDecrypt) {
  TempDir app;
  ASSERT_EQ(startUp(app.path()).status, kPastTheSettings);
  const std::string tool = binPath("kelvora-config");
  const std::string cfg = (app / "config.cfg").string();
  auto shown = runCommand(tool + " show " + cfg);
  EXPECT_NE(shown.output.find("version 0.0.0\nlanguage 9"), std::string::npos) << shown.output;

  EXPECT_EQ(runCommand(tool + " set " + cfg + " --version 3.10.250 --language 2052").status, 0);
  EXPECT_EQ(settings_block::version(blockOf(cfg)).build, 250u);
  EXPECT_TRUE(settings_block::isChinese(blockOf(cfg)));
  // A file that is no container is refused with a reason and left as it is.
  const std::string plain = (app / "plain.bin").string();
  EXPECT_EQ(runCommand(tool + " decrypt " + cfg + " " + plain).status, 0);
  auto refused = runCommand(tool + " set " + plain + " --language 9 2>&1");
  EXPECT_NE(refused.output.find("not a valid settings container"), std::string::npos);
  EXPECT_EQ(fs::file_size(plain), 2048u);
  // So is a settings file that is no regular file, in one line. (Update.exe's refusal of one is
  // a row of the road's table of what is planted under its names.)
  fs::create_directory(app / "odd.cfg");
  auto odd = runCommand(tool + " show " + (app / "odd.cfg").string() + " 2>&1");
  EXPECT_EQ(odd.status, 1);
  EXPECT_EQ(std::count(odd.output.begin(), odd.output.end(), '\n'), 1) << odd.output;
  EXPECT_TRUE(fs::is_directory(app / "odd.cfg"));
}

}  // namespace
