// Text helpers of the storage client: Base64 (RFC 4648) and percent-encoding; the openssl
// command judges HMAC-SHA1 through whole signatures in the signing tests.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "storage_client/aos_status.h"
#include "storage_client/aos_util.h"

namespace {

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
