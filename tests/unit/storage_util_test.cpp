// Text helpers of the storage client: Base64 (RFC 4648), HMAC-SHA1 (RFC 2202; the openssl
// command judges whole signatures in the signing tests) and percent-encoding.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "storage_client/aos_status.h"
#include "storage_client/aos_util.h"

namespace {

std::string hex(const std::string& bytes) {
  static const char digits[] = "0123456789abcdef";
  std::string out;
  for (unsigned char b : bytes) (out += digits[b >> 4]) += digits[b & 15];
  return out;
}

std::string hmac(const std::string& key, const std::string& data) {
  unsigned char digest[AOS_SHA1_DIGEST_LEN];
  aos_compute_hmac_sha1(
      digest, reinterpret_cast<const unsigned char*>(key.data()), static_cast<int>(key.size()),
      reinterpret_cast<const unsigned char*>(data.data()), static_cast<int>(data.size()));
  return hex(std::string(reinterpret_cast<char*>(digest), sizeof digest));
}

TEST(StorageBase64, Rfc4648Vectors) {
  const std::pair<std::string, std::string> vectors[] = {
      {"", ""},
      {"f", "Zg=="},
      {"fo", "Zm8="},
      {"foobar", "Zm9vYmFy"},
      {"\xfb\xff\xbf", "+/+/"},  // the alphabet's last two
  };
  for (const auto& [in, expected] : vectors) {
    std::string out(4 * ((in.size() + 2) / 3) + 1, '\0');
    int n = aos_encode_base64(reinterpret_cast<const unsigned char*>(in.data()),
                              static_cast<int>(in.size()), out.data());
    EXPECT_EQ(out.substr(0, static_cast<size_t>(n)), expected);
  }
}

// A short key, a key and data past the 64-byte block; the other RFC 2202 cases take the first
// path again, and the openssl command judges whole signatures in the signing tests.
TEST(StorageHmacSha1, Rfc2202Vectors) {
  const std::string big(80, '\xaa');
  const struct {
    std::string key, data, mac;
  } vectors[] = {
      {std::string(20, '\x0b'), "Hi There", "b617318655057264e28bc0b6fb378c8ef146be00"},
      {"Jefe", "what do ya want for nothing?", "effcdf6ae5eb2fa2d27416d5f184df9c259a7c79"},
      {big, "Test Using Larger Than Block-Size Key - Hash Key First",
       "aa4ae5e15272d00e95705637ce8a3b55ed402112"},
      {big, "Test Using Larger Than Block-Size Key and Larger Than One Block-Size Data",
       "e8e99d0f45237d786d6bbaa7965c7808bbff1a91"},
  };
  for (const auto& v : vectors) EXPECT_EQ(hmac(v.key, v.data), v.mac) << v.data;
}

TEST(StoragePercentEncode, ClassesOfBytesAndTheInputLimit) {
  std::string allEncoded;  // 2048 bytes of three characters each fill the output exactly
  for (int i = 0; i < 2048; ++i) allEncoded += "%FF";
  const struct {
    std::string in;
    std::string out;
    int rc;
  } cases[] = {
      {"AZaz09-_.!~*'()/", "AZaz09-_.!~*'()/", 0},
      {"a b+c/d", "a%20b%2Bc/d", 0},
      {"\xc3\xa9", "%C3%A9", 0},
      {"%&=?#\x7f\x01", "%25%26%3D%3F%23%7F%01", 0},
      {std::string(2048, '\xff'), allEncoded, 0},
      {std::string(2049, 'a'), std::string(2048, 'a'), aos_err_invalid_argument},
  };
  for (const auto& k : cases) {
    std::vector<char> out(3 * AOS_MAX_URI_LEN + 1, 'X');
    EXPECT_EQ(aos_percent_encode(out.data(), k.in.c_str(), AOS_MAX_URI_LEN), k.rc);
    EXPECT_EQ(std::string(out.data()), k.out);
  }
}

}  // namespace
