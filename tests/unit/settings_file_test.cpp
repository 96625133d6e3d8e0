// The settings file cipher against openssl (AES itself; the round trips then pin its inverse) and
// published generator values, the container over good and bad bytes, and a killed writer.
#include "updater/settings_file.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <random>
#include <thread>

#include "support/test_support.h"
#include "updater/builtin_config.h"
#include "updater/little_endian.h"
#include "updater/park_miller.h"

namespace {

using namespace testsupport;
using namespace aes_cipher;
using namespace settings_file;
using park_miller::parkMillerNext;

std::vector<uint8_t> randomBytes(size_t n, uint32_t seed) {
  std::vector<uint8_t> v(n);
  std::generate(v.begin(), v.end(), std::mt19937(seed));  // the low byte of each draw
  return v;
}

std::string hex(std::span<const uint8_t> bytes) {
  std::string out;
  for (uint8_t b : bytes) out += {"0123456789abcdef"[b >> 4], "0123456789abcdef"[b & 15]};
  return out;
}

TEST(ParkMiller, PublishedValues) {
  const std::tuple<int32_t, int, int32_t> cases[] = {
      {1, 1, 16807}, {1, 10000, 1043618065}, {-1, 1, 2147466840}};  // from, steps, expected
  for (const auto& [from, steps, expected] : cases) {
    int32_t x = from;
    for (int i = 0; i < steps; ++i) x = parkMillerNext(x);
    EXPECT_EQ(x, expected) << from << " after " << steps;
  }
  // A tick count of 0 is never a seed: it is read again.
  static int calls = 0;
  int32_t expected = 42;
  for (int i = 0; i < 9999; ++i) expected = parkMillerNext(expected);
  EXPECT_EQ(drawSeed([]() -> uint32_t { return calls++ < 3 ? 0u : 42u; }), expected);
}

TEST(ConfigContainer, SizesTrailersAndAFreshKeyEachTime) {
  struct Case {
    size_t plain, file;
    std::array<uint32_t, 5> trailer;
  };
  for (const Case& c :
       {Case{2048, 2200, {8, 256, 272, 0, 272}}, Case{300, 344, {1, 256, 272, 44, 48}},
        Case{100, 136, {0, 256, 0, 100, 112}}, Case{16, 56, {0, 256, 0, 16, 32}}}) {
    auto plain = randomBytes(c.plain, static_cast<uint32_t>(c.plain));
    auto file = encryptContainer(plain);
    ASSERT_TRUE(file.has_value());
    ASSERT_EQ(file->size(), c.file) << c.plain;
    const size_t t = file->size() - CONFIG_TRAILER_SIZE;
    int32_t x = static_cast<int32_t>(little_endian::readU32(*file, t + TRAILER_SEED));
    EXPECT_EQ(x, configKeyState().configSeed);
    for (size_t i = 0; i < 5; ++i) {
      x = parkMillerNext(x);
      EXPECT_EQ(little_endian::readU32(*file, t + 4 * i) ^ static_cast<uint32_t>(x), c.trailer[i])
          << c.plain << " word " << i;
    }
    EXPECT_EQ(decryptContainer(*file), plain);
    std::this_thread::sleep_for(std::chrono::milliseconds(3));
    EXPECT_NE(encryptContainer(plain), file) << "the key comes from the tick count";
  }
}

TEST(ConfigContainer, ChunkDecryptsWithTheOpensslCommand) {
  TempDir dir;
  auto plain = randomBytes(300, 9);
  auto file = encryptContainer(plain);
  ASSERT_TRUE(file.has_value());
  // The key from the trailer alone: the prefix digits and the low bytes of 8 generator outputs.
  AesKey key;
  std::string prefix = builtin_config::configKeyPrefixDigits();
  std::copy_n(prefix.begin(), 8, key.begin());
  int32_t x = static_cast<int32_t>(little_endian::readU32(*file, file->size() - 4));
  for (int i = 8; i < 16; ++i) key[i] = static_cast<uint8_t>(x = parkMillerNext(x));
  writeFile(dir / "chunk", std::vector<uint8_t>(file->begin(), file->begin() + 272));
  auto r = runCommand("openssl enc -d -aes-128-ecb -K " + hex(key) + " -in " +
                      (dir / "chunk").string() + " -out " + (dir / "plain").string());
  ASSERT_EQ(r.status, 0);
  EXPECT_EQ(readFile(dir / "plain"), std::vector<uint8_t>(plain.begin(), plain.begin() + 256));
}

// Damage that the padding or the trailer shows (ECB cannot see damage inside a chunk), a cut or
// overlong file, and a plain block are no container.
TEST(ConfigContainer, AnythingButAWholeContainerIsRefused) {
  auto plain = randomBytes(2048, 3);
  auto container = *encryptContainer(plain);
  std::vector<std::vector<uint8_t>> invalid = {plain, {}, {container.begin(), container.end() - 1}};
  for (size_t at : {size_t{271}, size_t{2180}, size_t{2199}}) {
    invalid.push_back(container);
    invalid.back()[at] ^= 0x5A;
  }
  invalid.push_back(container);
  invalid.back().resize(2200 + 272);
  for (const auto& bytes : invalid) EXPECT_FALSE(decryptContainer(bytes)) << bytes.size();
}

// A writer of config.cfg killed at random moments leaves a whole file every time.
TEST(ConfigFileWrites, KilledWriterLeavesPreviousOrNextFile) {
  TempDir dir;
  auto plain = randomBytes(2048, 11);
  std::mt19937 gen(11);
  std::uniform_int_distribution<int> delayUs(200, 20000);
  for (int round = 0; round < 20; ++round) {
    writeFile(dir / "config.cfg", plain);
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      // Store without end, as start-up and the worker do, until killed.
      if (chdir(dir.path().c_str()) != 0) _exit(1);
      for (int i = 0; i < 1'000'000; ++i) settings_file::storeSettings(plain);
      _exit(0);
    }
    std::this_thread::sleep_for(std::chrono::microseconds(delayUs(gen)));
    kill(child, SIGKILL);
    waitpid(child, nullptr, 0);
    auto bytes = readFile(dir / "config.cfg");
    EXPECT_EQ(bytes.size() == 2048 ? bytes : decryptContainer(bytes).value_or(decltype(bytes){}),
              plain)
        << "round " << round << ": " << bytes.size() << " bytes";
  }
}

}  // namespace
