// The real Update.exe and kelvora-config in temporary application directories. Update.exe runs
// without a display: status 2 (no window) then means start-up got past the settings file, and
// status 0 that it stopped before any window.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <functional>

#include "support/test_support.h"
#include "updater/settings_block.h"
#include "updater/settings_file.h"

namespace {

using namespace testsupport;
namespace fs = std::filesystem;
using settings_file::decryptContainer;
using settings_file::encryptContainer;

constexpr int kPastTheSettings = 2;

// Runs Update.exe in dir; prefix wraps the command (another user, another mount namespace).
int startUp(const fs::path& dir, const std::string& prefix = "") {
  return runCommand("cd '" + dir.string() + "' && " + prefix + " env -u DISPLAY " +
                    binPath("Update.exe") + " 2>/dev/null")
      .status;
}

settings_block::Block blockOf(const fs::path& file) {
  auto plain = decryptContainer(readFile(file));
  EXPECT_TRUE(plain.has_value()) << file << " is not a valid container";
  settings_block::Block b{};
  if (plain) std::copy_n(plain->begin(), std::min(plain->size(), b.size()), b.begin());
  return b;
}

std::vector<uint8_t> aContainer(uint32_t major) {
  settings_block::Block b{};
  settings_block::setVersion(b, {major, 10, 250});
  return *encryptContainer(b);
}

TEST(Startup, FirstRunCreatesAnEncipheredDefaultBlockThatLaterRunsKeep) {
  TempDir a, b;
  ASSERT_EQ(startUp(a.path()), kPastTheSettings);
  ASSERT_EQ(fs::file_size(a / "config.cfg"), 2200u);
  settings_block::Block block = blockOf(a / "config.cfg");
  EXPECT_EQ(settings_block::language(block), 9u);
  EXPECT_EQ(settings_block::getU32(block, 17), 0x00010101u);
  EXPECT_EQ(little_endian::readU16(block, 52), 0x7F4Eu);
  EXPECT_EQ(settings_block::version(block).major, 0u);
  for (const auto& e : fs::directory_iterator(a.path()))
    EXPECT_TRUE(e.path().filename() == "config.cfg" || e.path().filename() == "Update.exe.lock")
        << "left behind: " << e.path();

  // A later run reads the block and enciphers it again with a fresh key.
  auto first = readFile(a / "config.cfg");
  ASSERT_EQ(startUp(a.path()), kPastTheSettings);
  EXPECT_NE(readFile(a / "config.cfg"), first);
  EXPECT_EQ(blockOf(a / "config.cfg"), block);
  // A first run in another millisecond draws other filler.
  ASSERT_EQ(startUp(b.path()), kPastTheSettings);
  EXPECT_NE(blockOf(b / "config.cfg"), block);
}

// Files that are no settings are moved aside unchanged and replaced by a first-run block, so
// their bytes can never pass for a version that stops every later update.
TEST(Startup, UnreadableSettingsAreMovedAsideAndStartedAfresh) {
  auto flipped = aContainer(3);
  flipped[2190] ^= 0x01;
  struct Case {
    const char* what;
    std::function<void(const fs::path&)> make;
  };
  for (const Case& c : {
           Case{"random bytes",
                [](const fs::path& f) { runCommand("head -c 2200 /dev/urandom > " + f.string()); }},
           Case{"a flipped trailer byte", [&](const fs::path& f) { writeFile(f, flipped); }},
           Case{"an empty file", [](const fs::path& f) { writeFile(f, std::string()); }},
           Case{"200 MiB",
                [](const fs::path& f) { fs::resize_file((writeFile(f, "x"), f), 200u << 20); }},
       }) {
    TempDir app;
    writeFile(app / "config.cfg.damaged", "an older one");
    c.make(app / "config.cfg");
    const auto size = fs::file_size(app / "config.cfg");
    const auto before = size < 4096 ? readFile(app / "config.cfg") : std::vector<uint8_t>{};
    ASSERT_EQ(startUp(app.path()), kPastTheSettings) << c.what;
    EXPECT_EQ(fs::file_size(app / "config.cfg.damaged"), size) << c.what;
    if (size < 4096) EXPECT_EQ(readFile(app / "config.cfg.damaged"), before) << c.what;
    EXPECT_EQ(fs::file_size(app / "config.cfg"), 2200u) << c.what;
    EXPECT_EQ(settings_block::version(blockOf(app / "config.cfg")).major, 0u) << c.what;
  }
}

// Where config.cfg cannot be replaced, the run goes on with the deciphered block and the file
// stays as it was; where it cannot be opened for writing at all, start-up ends before a window.
TEST(Startup, SettingsFileThatCannotBeReplaced) {
  const auto container = aContainer(3);
  struct Case {
    const char* what;
    std::string prefix;
    int status;
    mode_t fileMode, dirMode;
  };
  const std::string readOnlyMount =
      "unshare -m sh -c 'mount -t tmpfs -o size=1m tmpfs . && cd . && cp ../keep/config.cfg . "
      "&& mount -o remount,ro . && exec \"$0\" \"$@\"'";
  for (const Case& c : {
           Case{"a directory where nothing can be created",
                "setpriv --reuid=65534 --regid=65534 --clear-groups", kPastTheSettings, 0666, 0555},
           Case{"a read-only file", "", kPastTheSettings, 0444, 0755},
           Case{"a read-only file system", readOnlyMount, 0, 0644, 0755},
       }) {
    TempDir top;
    const fs::path app = top / "app", keep = top / "keep";
    fs::create_directories(app);
    fs::create_directories(keep);
    writeFile(keep / "config.cfg", container);
    fs::copy_file(keep / "config.cfg", app / "config.cfg");
    chmod((app / "config.cfg").c_str(), c.fileMode);
    chmod(top.path().c_str(), 0755);
    chmod(app.c_str(), c.dirMode);
    EXPECT_EQ(startUp(app, c.prefix), c.status) << c.what;
    struct stat st {};
    ASSERT_EQ(stat((app / "config.cfg").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, c.fileMode) << c.what << ": the mode is kept";
    if (c.dirMode == 0555) EXPECT_EQ(readFile(app / "config.cfg"), container) << c.what;
    EXPECT_EQ(blockOf(app / "config.cfg"), blockOf(keep / "config.cfg")) << c.what;
  }
}

TEST(Startup, ADirectoryNamedConfigCfgIsAFileThatCannotBeOpened) {
  TempDir app;
  fs::create_directory(app / "config.cfg");
  EXPECT_EQ(startUp(app.path()), 0);
  EXPECT_TRUE(fs::is_empty(app / "config.cfg"));
  auto shown =
      runCommand(binPath("kelvora-config") + " show " + (app / "config.cfg").string() + " 2>&1");
  EXPECT_EQ(shown.status, 1);
  EXPECT_EQ(std::count(shown.output.begin(), shown.output.end(), '\n'), 1) << shown.output;
}

TEST(Startup, OnlyAnotherProcessNamedExactlyUpdateExeStopsIt) {
  for (const char* name : {"Update.exe", "update.exe"}) {
    TempDir bin, app;
    fs::copy_file("/bin/sleep", bin / name);
    ChildProcess other({(bin / name).string(), "30"});
    ASSERT_TRUE(waitFor([&] { return runCommand(std::string("pgrep -x ") + name).status == 0; },
                        std::chrono::seconds(5)));
    const bool same = std::string(name) == "Update.exe";
    EXPECT_EQ(startUp(app.path()), same ? 0 : kPastTheSettings) << name;
    EXPECT_EQ(fs::exists(app / "config.cfg"), !same) << "a second copy touches nothing";
  }
}

TEST(KelvoraConfig, ShowSetDecryptEncrypt) {
  TempDir app;
  ASSERT_EQ(startUp(app.path()), kPastTheSettings);
  const std::string tool = binPath("kelvora-config");
  const std::string cfg = (app / "config.cfg").string();
  auto shown = runCommand(tool + " show " + cfg);
  EXPECT_EQ(shown.status, 0);
  EXPECT_NE(shown.output.find("version 0.0.0\nlanguage 9"), std::string::npos) << shown.output;

  EXPECT_EQ(runCommand(tool + " set " + cfg + " --version 3.10.250 --language 2052").status, 0);
  settings_block::Block b = blockOf(cfg);
  EXPECT_EQ(settings_block::version(b).build, 250u);
  EXPECT_TRUE(settings_block::isChinese(b));

  const std::string plain = (app / "plain.bin").string(), again = (app / "again.cfg").string();
  EXPECT_EQ(runCommand(tool + " decrypt " + cfg + " " + plain).status, 0);
  EXPECT_EQ(fs::file_size(plain), 2048u);
  EXPECT_EQ(runCommand(tool + " encrypt " + plain + " " + again).status, 0);
  EXPECT_EQ(blockOf(again), b);
  // A file that is no container is refused with a reason and left as it is.
  auto refused = runCommand(tool + " set " + plain + " --language 9 2>&1");
  EXPECT_NE(refused.output.find("not a valid settings container"), std::string::npos);
  EXPECT_EQ(fs::file_size(plain), 2048u);
}

}  // namespace
