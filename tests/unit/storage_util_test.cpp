// Text helpers of the storage client: Base64, HMAC-SHA1 (against RFC vectors and the openssl
// command), percent-encoding, the query string, the HTTP date and the chunk growth rule.
#include <apr_general.h>
#include <apr_pools.h>
#include <apr_tables.h>
#include <gtest/gtest.h>

#include <cstring>
#include <ctime>
#include <random>
#include <string>
#include <vector>

#include "storage_client/aos_chunk.h"
#include "storage_client/aos_status.h"
#include "storage_client/aos_util.h"
#include "support/test_support.h"

namespace {

class StorageUtil : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { apr_initialize(); }
  static void TearDownTestSuite() { apr_terminate(); }
  void SetUp() override { ASSERT_EQ(apr_pool_create(&pool_, nullptr), APR_SUCCESS); }
  void TearDown() override { apr_pool_destroy(pool_); }
  apr_pool_t* pool_ = nullptr;
};

std::string base64(const std::string& in) {
  std::string out(4 * ((in.size() + 2) / 3), '\0');
  int n = aos_encode_base64(reinterpret_cast<const unsigned char*>(in.data()),
                            static_cast<int>(in.size()), out.data());
  out.resize(static_cast<size_t>(n));
  return out;
}

std::string hex(const unsigned char* bytes, size_t len) {
  static const char digits[] = "0123456789abcdef";
  std::string out;
  for (size_t i = 0; i < len; ++i) {
    out += digits[bytes[i] >> 4];
    out += digits[bytes[i] & 15];
  }
  return out;
}

std::string hmac(const std::string& key, const std::string& data) {
  unsigned char digest[AOS_SHA1_DIGEST_LEN];
  aos_compute_hmac_sha1(
      digest, reinterpret_cast<const unsigned char*>(key.data()), static_cast<int>(key.size()),
      reinterpret_cast<const unsigned char*>(data.data()), static_cast<int>(data.size()));
  return hex(digest, sizeof digest);
}

std::string encode(const std::string& in, int limit, int* rc = nullptr) {
  std::vector<char> out(3 * static_cast<size_t>(limit) + 1, 'X');
  int r = aos_percent_encode(out.data(), in.c_str(), limit);
  if (rc != nullptr) *rc = r;
  return out.data();
}

TEST(StorageBase64, Rfc4648Vectors) {
  EXPECT_EQ(base64(""), "");
  EXPECT_EQ(base64("f"), "Zg==");
  EXPECT_EQ(base64("fo"), "Zm8=");
  EXPECT_EQ(base64("foo"), "Zm9v");
  EXPECT_EQ(base64("foob"), "Zm9vYg==");
  EXPECT_EQ(base64("fooba"), "Zm9vYmE=");
  EXPECT_EQ(base64("foobar"), "Zm9vYmFy");
  // The high bits of every byte reach the alphabet's last two characters.
  EXPECT_EQ(base64(std::string("\xfb\xff\xbf", 3)), "+/+/");
}

TEST(StorageBase64, DigestGivesTwentyEightCharactersWithOnePad) {
  unsigned char digest[AOS_SHA1_DIGEST_LEN];
  std::memset(digest, 0xA5, sizeof digest);
  char out[32] = {};
  EXPECT_EQ(aos_encode_base64(digest, AOS_SHA1_DIGEST_LEN, out), 28);
  EXPECT_EQ(out[27], '=');
  EXPECT_NE(out[26], '=');
}

TEST(StorageHmacSha1, Rfc2202Vectors) {
  EXPECT_EQ(hmac(std::string(20, '\x0b'), "Hi There"), "b617318655057264e28bc0b6fb378c8ef146be00");
  EXPECT_EQ(hmac("Jefe", "what do ya want for nothing?"),
            "effcdf6ae5eb2fa2d27416d5f184df9c259a7c79");
  EXPECT_EQ(hmac(std::string(20, '\xaa'), std::string(50, '\xdd')),
            "125d7342b9ac11cd91a39af48aa17b4f63f175d3");
  std::string key4;
  for (int i = 1; i <= 25; ++i) key4 += static_cast<char>(i);
  EXPECT_EQ(hmac(key4, std::string(50, '\xcd')), "4c9007f4026250c6bc8414f9bf50c86c2d7235da");
  EXPECT_EQ(hmac(std::string(20, '\x0c'), "Test With Truncation"),
            "4c1a03424b55e07fe7f27be1d58bb9324a9a5a04");
  EXPECT_EQ(hmac(std::string(80, '\xaa'), "Test Using Larger Than Block-Size Key - Hash Key First"),
            "aa4ae5e15272d00e95705637ce8a3b55ed402112");
  EXPECT_EQ(hmac(std::string(80, '\xaa'),
                 "Test Using Larger Than Block-Size Key and Larger Than One Block-Size Data"),
            "e8e99d0f45237d786d6bbaa7965c7808bbff1a91");
}

TEST(StorageHmacSha1, MatchesOpensslOnRandomInputs) {
  testsupport::TempDir dir;
  std::mt19937 rng(20261207);
  // Key lengths straddle the 64-byte block, where the key handling changes.
  const int keyLens[] = {0, 1, 20, 63, 64, 65, 100, 200};
  for (int keyLen : keyLens) {
    std::string key(static_cast<size_t>(keyLen), '\0');
    for (char& c : key) c = static_cast<char>(rng());
    std::string data(rng() % 3000, '\0');
    for (char& c : data) c = static_cast<char>(rng());
    testsupport::writeFile(dir / "data", data);
    unsigned char kb[256];
    std::memcpy(kb, key.data(), key.size());
    std::string cmd =
        keyLen == 0 ? "openssl dgst -sha1 -hmac '' "
                    : "openssl dgst -sha1 -mac HMAC -macopt hexkey:" + hex(kb, key.size()) + " ";
    auto result = testsupport::runCommand(cmd + (dir / "data").string());
    ASSERT_EQ(result.status, 0) << cmd;
    auto at = result.output.rfind("= ");
    ASSERT_NE(at, std::string::npos) << result.output;
    EXPECT_EQ(result.output.substr(at + 2, 40), hmac(key, data)) << "key length " << keyLen;
  }
}

TEST(StorageHmacSha1, PrintableKeyMatchesOpensslHmacOption) {
  testsupport::TempDir dir;
  testsupport::writeFile(dir / "data", std::string("GET\n\n\nSun, 06 Dec 2026 01:24:04 GMT\n/b/o"));
  auto result =
      testsupport::runCommand("openssl dgst -sha1 -hmac 'secret-Key_1' " + (dir / "data").string());
  ASSERT_EQ(result.status, 0);
  EXPECT_NE(
      result.output.find(hmac("secret-Key_1", "GET\n\n\nSun, 06 Dec 2026 01:24:04 GMT\n/b/o")),
      std::string::npos);
}

TEST(StoragePercentEncode, ClassesOfBytes) {
  EXPECT_EQ(encode("AZaz09-_.!~*'()/", 64), "AZaz09-_.!~*'()/");
  EXPECT_EQ(encode("a b+c/d", 64), "a%20b%2Bc/d");
  EXPECT_EQ(encode("\xc3\xa9", 64), "%C3%A9");
  EXPECT_EQ(encode("%&=?#\x7f\x01", 64), "%25%26%3D%3F%23%7F%01");
  EXPECT_EQ(encode("", 0), "");
}

TEST(StoragePercentEncode, LimitCountsInputBytes) {
  int rc = 1;
  EXPECT_EQ(encode(std::string(2048, 'a'), AOS_MAX_URI_LEN, &rc), std::string(2048, 'a'));
  EXPECT_EQ(rc, 0);
  // Each of 2048 encoded bytes takes three characters: the output bound is exactly reached.
  EXPECT_EQ(encode(std::string(2048, '\xff'), AOS_MAX_URI_LEN, &rc).size(), 3u * 2048);
  EXPECT_EQ(rc, 0);
  EXPECT_EQ(encode(std::string(2049, 'a'), AOS_MAX_URI_LEN, &rc), std::string(2048, 'a'));
  EXPECT_EQ(rc, aos_err_invalid_argument);
}

TEST_F(StorageUtil, QueryStringInTableOrderEncoded) {
  apr_table_t* params = apr_table_make(pool_, 4);
  aos_span out;
  EXPECT_EQ(aos_query_params_to_string(pool_, params, &out), 0);
  EXPECT_EQ(out.data, nullptr);

  apr_table_add(params, "uploadId", "7");
  apr_table_add(params, "acl", "");
  apr_table_add(params, "a b", "x+y/z");
  ASSERT_EQ(aos_query_params_to_string(pool_, params, &out), 0);
  EXPECT_EQ(std::string(out.data, static_cast<size_t>(out.len)), "?uploadId=7&acl&a%20b=x%2By/z");
}

TEST_F(StorageUtil, QueryStringLimits) {
  aos_span out;
  apr_table_t* params = apr_table_make(pool_, 1);
  apr_table_add(params, std::string(1025, 'k').c_str(), "v");
  EXPECT_EQ(aos_query_params_to_string(pool_, params, &out), aos_err_invalid_argument);

  params = apr_table_make(pool_, 1);
  apr_table_add(params, "k", std::string(1025, 'v').c_str());
  EXPECT_EQ(aos_query_params_to_string(pool_, params, &out), aos_err_invalid_argument);

  // "?k=" plus the value: 1023 characters pass, 1024 are refused.
  params = apr_table_make(pool_, 1);
  apr_table_add(params, "k", std::string(1020, 'v').c_str());
  ASSERT_EQ(aos_query_params_to_string(pool_, params, &out), 0);
  EXPECT_EQ(out.len, 1023);
  params = apr_table_make(pool_, 1);
  apr_table_add(params, "k", std::string(1021, 'v').c_str());
  EXPECT_EQ(aos_query_params_to_string(pool_, params, &out), aos_err_invalid_argument);

  // A name at its encoder limit without a value is not held to the item limit.
  params = apr_table_make(pool_, 1);
  apr_table_add(params, std::string(1024, 'k').c_str(), "");
  ASSERT_EQ(aos_query_params_to_string(pool_, params, &out), 0);
  EXPECT_EQ(out.len, 1025);
}

TEST(StorageGmtTime, FormatsHttpDate) {
  std::tm tm = {};
  tm.tm_year = 2026 - 1900;
  tm.tm_mon = 11;
  tm.tm_mday = 6;
  tm.tm_hour = 1;
  tm.tm_min = 24;
  tm.tm_sec = 4;
  int64_t us = static_cast<int64_t>(timegm(&tm)) * 1000000 + 513000;
  char out[AOS_MAX_GMT_TIME_LEN];
  ASSERT_EQ(aos_format_gmt_time(out, us), 0);
  EXPECT_STREQ(out, "Sun, 06 Dec 2026 01:24:04 GMT");
  ASSERT_EQ(aos_format_gmt_time(out, 0), 0);
  EXPECT_STREQ(out, "Thu, 01 Jan 1970 00:00:00 GMT");
}

TEST(StorageGmtTime, ExtremeTimesStayInBuffer) {
  char out[AOS_MAX_GMT_TIME_LEN + 8];
  for (int64_t us : {INT64_MAX, INT64_MIN, int64_t{-1}}) {
    std::memset(out, 'Z', sizeof out);
    int rc = aos_format_gmt_time(out, us);
    EXPECT_TRUE(rc == 0 || rc == aos_err_internal);
    EXPECT_LT(std::strlen(out), static_cast<size_t>(AOS_MAX_GMT_TIME_LEN));
    EXPECT_EQ(out[AOS_MAX_GMT_TIME_LEN], 'Z');
  }
  char now[AOS_MAX_GMT_TIME_LEN];
  ASSERT_EQ(aos_get_gmt_str_time(now), 0);
  EXPECT_EQ(std::strlen(now), 29u);
}

TEST_F(StorageUtil, ChunkAppendGrowthRule) {
  aos_chunk* chunk = aos_chunk_create(pool_, 200);
  char* inline_start = chunk->start;
  std::string a(71, 'a');
  // Free room 200 > 71 + 128: copied in place.
  aos_chunk_append(pool_, chunk, a.data(), a.size());
  EXPECT_EQ(chunk->start, inline_start);
  // Free room 129 is not greater than 1 + 128: new storage of 2 * (71 + 1).
  aos_chunk_append(pool_, chunk, "b", 1);
  EXPECT_NE(chunk->start, inline_start);
  EXPECT_EQ(chunk->end - chunk->start, 144);
  EXPECT_EQ(std::string(chunk->pos, aos_chunk_data_len(chunk)), a + "b");

  aos_list body;
  aos_list_init(&body);
  EXPECT_TRUE(aos_list_empty(&body));
  aos_list_add_tail(&body, &chunk->node);
  EXPECT_EQ(aos_body_length(&body), 72);
  aos_list_del(&chunk->node);
  EXPECT_TRUE(aos_list_empty(&body));
}

}  // namespace
