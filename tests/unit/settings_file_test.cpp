// The settings file cipher against published vectors and the openssl command, and the container
// and file operations over good and bad files.
#include "updater/settings_file.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
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
  std::mt19937 gen(seed);
  std::vector<uint8_t> v(n);
  for (auto& b : v) b = static_cast<uint8_t>(gen());
  return v;
}

TEST(Aes128, Fips197AppendixC1) {
  AesKey key;
  uint8_t plain[16], out[16], back[16];
  for (int i = 0; i < 16; ++i) {
    key[i] = static_cast<uint8_t>(i);
    plain[i] = static_cast<uint8_t>(i * 0x11);
  }
  const uint8_t expected[16] = {0x69, 0xc4, 0xe0, 0xd8, 0x6a, 0x7b, 0x04, 0x30,
                                0xd8, 0xcd, 0xb7, 0x80, 0x70, 0xb4, 0xc5, 0x5a};
  aesEncryptBlock(expandEncryptionKey(key), plain, out);
  EXPECT_EQ(0, std::memcmp(out, expected, 16));
  aesDecryptBlock(expandDecryptionKey(key), out, back);
  EXPECT_EQ(0, std::memcmp(back, plain, 16));
}

TEST(ParkMiller, PublishedValues) {
  struct Case {
    int32_t from;
    int steps;
    int32_t expected;
  };
  for (const Case& c : {Case{1, 1, 16807}, Case{1, 2, 282475249}, Case{1, 3, 1622650073},
                        Case{1, 10000, 1043618065}, Case{-1, 1, 2147466840}}) {
    int32_t x = c.from;
    for (int i = 0; i < c.steps; ++i) x = parkMillerNext(x);
    EXPECT_EQ(x, c.expected) << c.from << " after " << c.steps;
  }
  // A tick count of 0 is never a seed: it is read again.
  static int calls = 0;
  int32_t expected = 42;
  for (int i = 0; i < 9999; ++i) expected = parkMillerNext(expected);
  EXPECT_EQ(drawSeed([]() -> uint32_t { return calls++ < 3 ? 0u : 42u; }), expected);
}

TEST(CipherStream, ErrorCodes) {
  AesKey key{};
  CipherStream s;
  uint8_t buf[64] = {}, out[64];
  size_t n = 0;
  EXPECT_EQ(cipherSetup(s, 5, PADDING_PKCS7, nullptr, key, false), CIPHER_ERR_ARGUMENT);
  ASSERT_EQ(cipherSetup(s, CIPHER_ECB, PADDING_NONE, nullptr, key, false), 0);
  EXPECT_EQ(cipherUpdate(s, buf, 20, buf, &n), CIPHER_ERR_ARGUMENT) << "same buffer";
  EXPECT_EQ(cipherUpdate(s, buf, 5, out, &n), 0);
  EXPECT_EQ(cipherFinal(s, out, &n), CIPHER_ERR_PENDING);
  ASSERT_EQ(cipherSetup(s, CIPHER_ECB, PADDING_PKCS7, nullptr, key, true), 0);
  EXPECT_EQ(cipherUpdate(s, buf, 20, out, &n), 0);
  EXPECT_EQ(cipherFinal(s, out, &n), CIPHER_ERR_SHORT_BLOCK);
  // A block whose last byte is 0 after decryption cannot be PKCS#7 padding.
  uint8_t cipher[16];
  aesEncryptBlock(expandEncryptionKey(key), buf, cipher);
  ASSERT_EQ(cipherSetup(s, CIPHER_ECB, PADDING_PKCS7, nullptr, key, true), 0);
  EXPECT_EQ(cipherUpdate(s, cipher, 16, out, &n), 0);
  EXPECT_EQ(cipherFinal(s, out, &n), CIPHER_ERR_PADDING);
}

// The CBC, OFB and CFB-128 modes against the openssl command, fed in uneven pieces.
TEST(CipherStream, ModesMatchTheOpensslCommand) {
  TempDir dir;
  AesKey key;
  uint8_t iv[16];
  for (int i = 0; i < 16; ++i) key[i] = static_cast<uint8_t>(3 * i + 1), iv[i] = 200 - i;
  auto plain = randomBytes(96, 7);
  writeFile(dir / "plain", plain);
  struct Case {
    int32_t mode;
    const char* name;
  };
  for (const Case& c : {Case{CIPHER_CBC, "aes-128-cbc"}, Case{CIPHER_OFB, "aes-128-ofb"},
                        Case{CIPHER_CFB, "aes-128-cfb"}}) {
    CipherStream e;
    ASSERT_EQ(cipherSetup(e, c.mode, PADDING_NONE, iv, key, false), 0);
    std::vector<uint8_t> cipher(128);
    size_t total = 0, n = 0;
    for (size_t at = 0; at < plain.size(); at += 7) {
      size_t len = std::min<size_t>(7, plain.size() - at);
      ASSERT_EQ(cipherUpdate(e, plain.data() + at, len, cipher.data() + total, &n), 0);
      total += n;
    }
    ASSERT_EQ(cipherFinal(e, cipher.data() + total, &n), 0);
    cipher.resize(total + n);
    std::string hexKey, hexIv;
    char d[3];
    for (int i = 0; i < 16; ++i) {
      std::snprintf(d, sizeof d, "%02x", key[i]), hexKey += d;
      std::snprintf(d, sizeof d, "%02x", iv[i]), hexIv += d;
    }
    auto r = runCommand(std::string("openssl enc -") + c.name + " -nopad -K " + hexKey + " -iv " +
                        hexIv + " -in " + (dir / "plain").string() + " -out " +
                        (dir / "cipher").string());
    ASSERT_EQ(r.status, 0);
    EXPECT_EQ(cipher, readFile(dir / "cipher")) << c.name;
    CipherStream dec;
    ASSERT_EQ(cipherSetup(dec, c.mode, PADDING_NONE, iv, key, true), 0);
    std::vector<uint8_t> back(128);
    size_t got = 0;
    ASSERT_EQ(cipherUpdate(dec, cipher.data(), cipher.size(), back.data(), &got), 0);
    ASSERT_EQ(cipherFinal(dec, back.data() + got, &n), 0);
    back.resize(got + n);
    EXPECT_EQ(back, plain) << c.name;
  }
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
  std::string hex;
  char digit[3];
  for (char c : configKeyPrefixDigits()) {
    std::snprintf(digit, sizeof digit, "%02x", static_cast<unsigned char>(c));
    hex += digit;
  }
  int32_t x = static_cast<int32_t>(little_endian::readU32(*file, file->size() - 4));
  for (int i = 0; i < 8; ++i) {
    x = parkMillerNext(x);
    std::snprintf(digit, sizeof digit, "%02x", static_cast<unsigned>(x & 0xFF));
    hex += digit;
  }
  writeFile(dir / "chunk", std::vector<uint8_t>(file->begin(), file->begin() + 272));
  auto r = runCommand("openssl enc -d -aes-128-ecb -K " + hex + " -in " + (dir / "chunk").string() +
                      " -out " + (dir / "plain").string());
  ASSERT_EQ(r.status, 0);
  EXPECT_EQ(readFile(dir / "plain"), std::vector<uint8_t>(plain.begin(), plain.begin() + 256));
}

TEST(ConfigFile, FilesThatAreNoContainerAreLeftExactlyAsTheyAre) {
  TempDir dir;
  ScopedCurrentDir cwd(dir.path());
  auto plain = randomBytes(2048, 3);
  auto container = *encryptContainer(plain);
  std::vector<std::vector<uint8_t>> invalid = {plain, {}, {container.begin(), container.end() - 1}};
  // Damage that the padding or the trailer shows (ECB cannot see damage inside a chunk).
  for (size_t at : {size_t{271}, size_t{2180}, size_t{2199}}) {
    invalid.push_back(container);
    invalid.back()[at] ^= 0x5A;
  }
  invalid.push_back(container);
  invalid.back().resize(3000);  // longer than any settings file
  for (const auto& bytes : invalid) {
    writeFile(kConfigFileName, bytes);
    decryptConfigFile();
    EXPECT_EQ(readFile(kConfigFileName), bytes) << bytes.size() << " bytes";
  }
  std::filesystem::remove(kConfigFileName);
  encryptConfigFile();
  decryptConfigFile();
  EXPECT_FALSE(std::filesystem::exists(kConfigFileName)) << "neither operation creates the file";

  writeFile(kConfigFileName, container);
  chmod(kConfigFileName, 0440);
  decryptConfigFile();
  EXPECT_EQ(readFile(kConfigFileName), plain);
  struct stat st {};
  ASSERT_EQ(stat(kConfigFileName, &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0440u) << "the replacement keeps the file's mode";
}

}  // namespace
