#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <random>
#include <thread>

#include "support/test_support.h"
#include "updater/builtin_config.h"
#include "updater/config_cipher.h"

namespace {

using namespace testsupport;

std::vector<uint8_t> randomBytes(size_t n, uint32_t seed) {
  std::mt19937 gen(seed);
  std::vector<uint8_t> v(n);
  for (auto& b : v) b = static_cast<uint8_t>(gen());
  return v;
}

uint32_t le32(const std::vector<uint8_t>& b, size_t offset) {
  return b[offset] | b[offset + 1] << 8 | b[offset + 2] << 16 |
         static_cast<uint32_t>(b[offset + 3]) << 24;
}

// The trailer words with the masks taken off, from the stored seed.
std::array<uint32_t, 6> unmaskedTrailer(const std::vector<uint8_t>& file) {
  size_t t = file.size() - 24;
  std::array<uint32_t, 6> w{};
  int32_t x = static_cast<int32_t>(le32(file, t + 20));
  for (int i = 0; i < 5; ++i) {
    x = parkMillerNext(x);
    w[i] = le32(file, t + 4 * i) ^ static_cast<uint32_t>(x);
  }
  w[5] = le32(file, t + 20);
  return w;
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
  EXPECT_EQ(parkMillerNext(1), 16807);
  EXPECT_EQ(parkMillerNext(16807), 282475249);
  EXPECT_EQ(parkMillerNext(282475249), 1622650073);
  int32_t x = 1;
  for (int i = 0; i < 10000; ++i) x = parkMillerNext(x);
  EXPECT_EQ(x, 1043618065);
  EXPECT_EQ(parkMillerNext(-1), 2147466840);
}

uint32_t zeroThenTicks() {
  static int calls = 0;
  return calls++ < 3 ? 0u : 42u;
}

TEST(ParkMiller, ATickCountOfZeroIsReadAgain) {
  int32_t expected = 42;
  for (int i = 0; i < 9999; ++i) expected = parkMillerNext(expected);
  EXPECT_EQ(drawSeed(zeroThenTicks), expected);
}

TEST(CipherStream, ErrorCodes) {
  AesKey key{};
  CipherStream s;
  EXPECT_EQ(cipherSetup(s, 5, PADDING_PKCS7, nullptr, key, false), CIPHER_ERR_ARGUMENT);
  EXPECT_EQ(cipherSetup(s, CIPHER_ECB, 3, nullptr, key, false), CIPHER_ERR_ARGUMENT);

  uint8_t buf[64] = {};
  size_t n = 0;
  ASSERT_EQ(cipherSetup(s, CIPHER_ECB, PADDING_NONE, nullptr, key, false), 0);
  EXPECT_EQ(cipherUpdate(s, buf, 20, buf, &n), CIPHER_ERR_ARGUMENT) << "same buffer";
  uint8_t out[64];
  EXPECT_EQ(cipherUpdate(s, buf, 5, out, &n), 0);
  EXPECT_EQ(n, 0u);
  EXPECT_EQ(cipherFinal(s, out, &n), CIPHER_ERR_PENDING);

  ASSERT_EQ(cipherSetup(s, CIPHER_ECB, PADDING_PKCS7, nullptr, key, true), 0);
  EXPECT_EQ(cipherUpdate(s, buf, 20, out, &n), 0);
  EXPECT_EQ(cipherFinal(s, out, &n), CIPHER_ERR_SHORT_BLOCK);

  // A block whose last byte is 0 after decryption cannot be PKCS#7 padding.
  uint8_t zeros[16] = {}, cipher[16];
  aesEncryptBlock(expandEncryptionKey(key), zeros, cipher);
  ASSERT_EQ(cipherSetup(s, CIPHER_ECB, PADDING_PKCS7, nullptr, key, true), 0);
  EXPECT_EQ(cipherUpdate(s, cipher, 16, out, &n), 0);
  EXPECT_EQ(cipherFinal(s, out, &n), CIPHER_ERR_PADDING);
}

TEST(CipherStream, EveryModeRoundTripsInPieces) {
  AesKey key;
  for (int i = 0; i < 16; ++i) key[i] = static_cast<uint8_t>(3 * i + 1);
  uint8_t iv[16];
  for (int i = 0; i < 16; ++i) iv[i] = static_cast<uint8_t>(200 - i);
  auto plain = randomBytes(100, 7);
  for (int mode : {CIPHER_ECB, CIPHER_CBC, CIPHER_OFB, CIPHER_CFB}) {
    CipherStream e, d;
    ASSERT_EQ(cipherSetup(e, mode, PADDING_PKCS7, iv, key, false), 0);
    std::vector<uint8_t> cipher(160);
    size_t total = 0, n = 0;
    for (size_t at = 0; at < plain.size(); at += 7) {  // uneven pieces cross the block edges
      size_t len = std::min<size_t>(7, plain.size() - at);
      ASSERT_EQ(cipherUpdate(e, plain.data() + at, len, cipher.data() + total, &n), 0);
      total += n;
    }
    ASSERT_EQ(cipherFinal(e, cipher.data() + total, &n), 0);
    total += n;
    EXPECT_EQ(total, 112u) << "mode " << mode;
    ASSERT_EQ(cipherSetup(d, mode, PADDING_PKCS7, iv, key, true), 0);
    std::vector<uint8_t> back(160);
    size_t got = 0;
    ASSERT_EQ(cipherUpdate(d, cipher.data(), total, back.data(), &got), 0);
    ASSERT_EQ(cipherFinal(d, back.data() + got, &n), 0) << "mode " << mode;
    back.resize(got + n);
    EXPECT_EQ(back, plain) << "mode " << mode;
  }
}

TEST(ConfigContainer, SizesAndTrailers) {
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
    EXPECT_EQ(file->size(), c.file) << c.plain;
    auto words = unmaskedTrailer(*file);
    for (int i = 0; i < 5; ++i) EXPECT_EQ(words[i], c.trailer[i]) << c.plain << " word " << i;
    EXPECT_EQ(static_cast<int32_t>(words[5]), configKeyState().configSeed);
    auto back = decryptContainer(*file);
    ASSERT_TRUE(back.has_value());
    EXPECT_EQ(*back, plain);
  }
}

TEST(ConfigContainer, EachEncryptionUsesAFreshKey) {
  auto plain = randomBytes(2048, 1);
  auto first = encryptContainer(plain);
  std::this_thread::sleep_for(std::chrono::milliseconds(3));
  auto second = encryptContainer(plain);
  ASSERT_TRUE(first && second);
  EXPECT_NE(*first, *second);
  EXPECT_EQ(decryptContainer(*second), plain);
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
  int32_t x = static_cast<int32_t>(le32(*file, file->size() - 4));
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

TEST(ConfigFile, InvalidFilesAreLeftExactlyAsTheyAre) {
  TempDir dir;
  ScopedCurrentDir cwd(dir.path());
  auto plain = randomBytes(2048, 3);
  writeFile("config.cfg", plain);
  decryptConfigFile();  // a plain file is not a container
  EXPECT_EQ(readFile("config.cfg"), plain);

  encryptConfigFile();
  auto container = readFile("config.cfg");
  ASSERT_EQ(container.size(), 2200u);
  // Damage that the padding or the trailer shows (ECB cannot see damage inside a chunk).
  for (size_t at : {size_t{256}, size_t{271}, size_t{2180}, size_t{2199}}) {
    auto damaged = container;
    damaged[at] ^= 0x5A;
    writeFile("config.cfg", damaged);
    decryptConfigFile();
    EXPECT_EQ(readFile("config.cfg"), damaged) << "byte " << at;
  }
  for (size_t cut : {size_t{0}, size_t{23}, size_t{2199}}) {
    writeFile("config.cfg", std::vector<uint8_t>(container.begin(), container.begin() + cut));
    decryptConfigFile();
    EXPECT_EQ(std::filesystem::file_size("config.cfg"), cut);
  }
  std::filesystem::remove("config.cfg");
  encryptConfigFile();
  decryptConfigFile();
  EXPECT_FALSE(std::filesystem::exists("config.cfg")) << "neither operation creates the file";

  writeFile("config.cfg", container);
  decryptConfigFile();
  EXPECT_EQ(readFile("config.cfg"), plain);
}

}  // namespace
