// A writer of config.cfg killed at random moments leaves a whole file every time.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <random>
#include <thread>

#include "support/test_support.h"
#include "updater/settings_file.h"

namespace {

using namespace testsupport;
using namespace settings_file;

TEST(ConfigFileWrites, KilledWriterLeavesPreviousOrNextFile) {
  TempDir dir;
  std::vector<uint8_t> plain(2048);
  std::mt19937 gen(11);
  for (auto& b : plain) b = static_cast<uint8_t>(gen());
  writeFile(dir / "config.cfg", plain);

  std::uniform_int_distribution<int> delayUs(200, 20000);
  for (int round = 0; round < 20; ++round) {
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      // Encrypt and decrypt without end, as start-up and the worker do, until killed.
      for (int i = 0; i < 1'000'000; ++i) {
        encryptConfigFileAt(dir / "config.cfg");
        decryptConfigFileAt(dir / "config.cfg");
      }
      _exit(0);
    }
    std::this_thread::sleep_for(std::chrono::microseconds(delayUs(gen)));
    kill(child, SIGKILL);
    int status = 0;
    waitpid(child, &status, 0);

    auto bytes = readFile(dir / "config.cfg");
    if (bytes.size() == 2048) {
      EXPECT_EQ(bytes, plain) << "round " << round;
    } else {
      ASSERT_EQ(bytes.size(), 2200u) << "round " << round << ": a cut file";
      auto back = decryptContainer(bytes);
      ASSERT_TRUE(back.has_value()) << "round " << round;
      EXPECT_EQ(*back, plain);
      writeFile(dir / "config.cfg", plain);
    }
  }
}

}  // namespace
