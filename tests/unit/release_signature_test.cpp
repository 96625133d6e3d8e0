// The signature parser's own rules, which minisign never sees (base64 padding, the tokens of the
// trusted comment, line ends, key ids shared by two keys), and the package hash computed on its
// own thread, against the b2sum command.
#include <gtest/gtest.h>

#include <cstdio>
#include <random>

#include "support/test_support.h"
#include "updater/overlapped_hash.h"
#include "updater/release_signature.h"
#include "updater/release_signing.h"

namespace {

using namespace release_signature;

TEST(ReleaseSignature, Base64IsStrictRfc4648) {
  const struct {
    const char* text;
    const char* decoded;  // nullptr: refused
  } cases[] = {
      {"Zm9vYmFy", "foobar"},  {"Zm9vYg==", "foob"},
      {"Zm9vYmE=", "fooba"},  // RFC 4648 section 10
      {"Zm9vYg=", nullptr},    {"Zm9vYg", nullptr},
      {"Zm9vYh==", nullptr},  // bits below the data
      {"Zm9vYmF=", nullptr},   {"Zm=vYg==", nullptr},
      {"Zm9v\nYg==", nullptr}, {"Zm9vYg==Zm9v", nullptr},
      {"", nullptr},           {"====", nullptr},
      {"Zm9-Yg==", nullptr},   {"Zm9vYm=y", nullptr},
  };
  for (const auto& c : cases) {
    auto out = decodeBase64(c.text);
    EXPECT_EQ(out ? std::string(out->begin(), out->end()) : "(refused)",
              c.decoded ? c.decoded : "(refused)")
        << c.text;
  }
}

TEST(ReleaseSignature, TrustedCommentTokens) {
  const struct {
    const char* comment;
    bool ok;
    protocol::Version version;
    int64_t packageSize, programSize;  // -1: absent
  } cases[] = {
      {"t:1\tversion:3.11.0\tpackage-size:10\tprogram-size:65536", true, {3, 11, 0}, 10, 65536},
      {"  version:0.0.1  file:3.11.0.BIN hashed", true, {0, 0, 1}, -1, -1},
      {"version:3.11.0 xversion:9.9.9 version-x:1 package-size-x:5", true, {3, 11, 0}, -1, -1},
      {"version:3.11.0 package-size:9223372036854775807", true, {3, 11, 0}, INT64_MAX, -1},
      {"version:3.11.0x", false, {}, -1, -1},
      {"version:3.11.0 version:3.11.0", false, {}, -1, -1},
      {"xversion:3.11.0", false, {}, -1, -1},
      {"version: 3.11.0", false, {}, -1, -1},
      {"version:3.11.0 package-size:010", false, {}, -1, -1},
      {"version:3.11.0 package-size:-1", false, {}, -1, -1},
      {"version:3.11.0 package-size:9223372036854775808", false, {}, -1, -1},
      {"version:3.11.0 program-size:1 program-size:1", false, {}, -1, -1},
      {"version:3.11.0 program-size:", false, {}, -1, -1},
  };
  for (const auto& c : cases) {
    std::string error;
    auto parsed = parseReleaseComment(c.comment, &error);
    ASSERT_EQ(parsed.has_value(), c.ok) << c.comment << ": " << error;
    if (!parsed) {
      EXPECT_FALSE(error.empty());
      continue;
    }
    EXPECT_EQ(parsed->version, c.version) << c.comment;
    EXPECT_EQ(parsed->packageSize.value_or(-1), uint64_t(c.packageSize)) << c.comment;
    EXPECT_EQ(parsed->programSize.value_or(-1), uint64_t(c.programSize)) << c.comment;
  }
}

// Keys that share a key id are each tried; the file's line ends may carry a CR.
TEST(ReleaseSignature, EveryKeyOfTheIdIsTriedAndCrlfReads) {
  std::string error;
  auto keyOf = [&](const release_signing::KeyFiles& files) {
    auto secret = release_signing::parseSecretKeyFile(files.secretKeyFile, &error);
    const std::string pub = files.publicKeyFile;
    auto line = pub.substr(pub.find('\n') + 1);
    return std::make_pair(*secret, *parsePublicKey(line.substr(0, line.find('\n'))));
  };
  auto [secret, key] = keyOf(release_signing::generateKeyPair());
  auto [otherSecret, other] = keyOf(release_signing::generateKeyPair());
  other.keyId = key.keyId;  // another key under the same id
  Hash hash{};
  hash[0] = 7;
  const std::string file = release_signing::signatureFile(
      secret, hash, release_signing::releaseComment({3, 11, 0}, 1, 2));
  std::string crlf;
  for (char ch : file) crlf += ch == '\n' ? std::string("\r\n") : std::string(1, ch);
  const struct {
    const char* what;
    std::vector<PublicKey> keys;
    const std::string& file;
    bool ok;
  } cases[] = {
      {"the right key last", {other, key}, file, true},
      {"the right key first", {key, other}, file, true},
      {"only the other key", {other}, file, false},
      {"CRLF", {key}, crlf, true},
  };
  for (const auto& c : cases) {
    const auto* bytes = reinterpret_cast<const uint8_t*>(c.file.data());
    auto result = checkPackageSignature({bytes, c.file.size()}, hash, {3, 11, 0}, c.keys);
    EXPECT_EQ(result.ok, c.ok) << c.what << ": " << result.reason;
  }
}

// Pieces of every size, around and past one hash buffer, against b2sum of the same bytes.
TEST(OverlappedHash, MatchesB2sumWhateverThePieces) {
  if (testsupport::runCommand("command -v b2sum >/dev/null").status != 0) GTEST_SKIP();
  testsupport::TempDir dir;
  std::vector<uint8_t> bytes(3 * (1 << 20) + 12345);
  std::mt19937 gen(1);
  for (auto& b : bytes) b = uint8_t(gen());
  testsupport::writeFile(dir / "bytes", bytes);
  const std::string expected =
      testsupport::runCommand("b2sum -l 512 " + (dir / "bytes").string()).output.substr(0, 128);
  for (size_t piece : {size_t(1) << 20, size_t(1000), size_t(1) << 22, size_t(65537)}) {
    package_install::OverlappedHash hash;
    for (size_t at = 0; at < bytes.size(); at += piece)
      hash.feed(std::span(bytes).subspan(at, std::min(piece, bytes.size() - at)));
    auto sum = hash.finish();
    ASSERT_TRUE(sum.has_value());
    std::string hex;
    for (uint8_t b : *sum) hex += {"0123456789abcdef"[b >> 4], "0123456789abcdef"[b & 15]};
    EXPECT_EQ(hex, expected) << "pieces of " << piece;
  }
}

}  // namespace
