// Request signing: the canonical string to sign, its limits, and the Authorization header with
// the openssl command as the judge of the signature.
#include <apr_strings.h>
#include <apr_tables.h>
#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "storage_client/aos_status.h"
#include "storage_client/oss_auth.h"
#include "support/storage_fixture.h"
#include "support/test_support.h"

namespace {

const std::string kDate = "Sun, 06 Dec 2026 01:24:04 GMT";
using Pairs = std::vector<std::pair<std::string, std::string>>;

class StorageAuth : public testsupport::StoragePoolTest {
 protected:
  // The string to sign for `method` of /b/o, or "<error>".
  std::string signString(int32_t method, const Pairs& headers, const Pairs& params) {
    apr_table_t* h = apr_table_make(pool_, 8);
    apr_table_t* p = apr_table_make(pool_, 8);
    for (const auto& [k, v] : headers) apr_table_set(h, k.c_str(), v.c_str());
    for (const auto& [k, v] : params) apr_table_set(p, k.c_str(), v.c_str());
    aos_span canon = aos_span_of("/b/o"), out;
    if (oss_get_string_to_sign(pool_, method, &canon, h, p, &out) != 0) return "<error>";
    return std::string(out.data, static_cast<size_t>(out.len));
  }
};

TEST_F(StorageAuth, StringToSign) {
  const std::string get = "GET\n\n\n" + kDate + "\n";
  const std::string longValue(8184, 'v');  // "x-oss-a:" and this reach the 8192 line limit
  struct Case {
    int32_t method;
    Pairs headers, params;
    std::string expected;
  } cases[] = {
      // Range, If-Range and Content-Length are no part of it: a resumed GET signs the same.
      {HTTP_GET, {{"Date", kDate}, {"Range", "bytes=5-"}, {"If-Range", "\"e\""}}, {}, get + "/b/o"},
      {HTTP_PUT,
       {{"Date", kDate}, {"content-md5", "MD5=="}, {"Content-Type", "t/p"}},
       {},
       "PUT\nMD5==\nt/p\n" + kDate + "\n/b/o"},
      {HTTP_GET, {{"Date", kDate}, {"x-oss-date", "XD"}}, {}, "GET\n\n\nXD\nx-oss-date:XD\n/b/o"},
      {HTTP_GET, {}, {}, "<error>"},
      {HTTP_GET, {{"Date", kDate}, {"x-oss-date", ""}}, {}, "<error>"},
      // x-oss- headers trimmed, lowered and in natural order; x-ossy is no such header.
      {HTTP_GET,
       {{"Date", kDate},
        {"X-OSS-Meta-Author", "  Ann Lee  "},
        {"x-oss-meta-10", "ten"},
        {"x-oss-meta-2", "\ttwo\t"},
        {"x-ossy", "no"}},
       {},
       get + "x-oss-meta-2:two\nx-oss-meta-10:ten\nx-oss-meta-author:Ann Lee\n/b/o"},
      {HTTP_GET,
       {{"Date", kDate}, {"x-oss-a", longValue}},
       {},
       get + "x-oss-a:" + longValue + "\n/b/o"},
      {HTTP_GET, {{"Date", kDate}, {"x-oss-a", longValue + "v"}}, {}, "<error>"},
      // Only signed sub-resources, sorted, unencoded.
      {HTTP_GET,
       {{"Date", kDate}},
       {{"uploadId", "7"}, {"max-keys", "10"}, {"partNumber", "1"}, {"ACL", ""}},
       get + "/b/o?partNumber=1&uploadId=7"},
      {HTTP_GET,
       {{"Date", kDate}},
       {{"acl", ""}, {"response-content-type", "a b/c"}},
       get + "/b/o?acl&response-content-type=a b/c"},
      {HTTP_GET,
       {{"Date", kDate}},
       {{"acl", std::string(1018, 'v')}},
       get + "/b/o?acl=" + std::string(1018, 'v')},
      {HTTP_GET, {{"Date", kDate}}, {{"acl", std::string(1019, 'v')}}, "<error>"},
  };
  for (const Case& k : cases) {
    EXPECT_EQ(signString(k.method, k.headers, k.params), k.expected) << k.expected.substr(0, 80);
  }
}

// The Authorization value against the openssl command's HMAC-SHA1 over the expected string.
TEST_F(StorageAuth, SignedRequestsCarryWhatOpensslComputes) {
  auto openssl = [](const std::string& secret, const std::string& text) {
    testsupport::TempDir dir;
    testsupport::writeFile(dir / "s", text);
    return testsupport::runCommand("openssl dgst -sha1 -hmac '" + secret + "' -binary " +
                                   (dir / "s").string() + " | openssl base64 -A")
        .output;
  };
  // A short secret, and one past the 64-byte block, which HMAC hashes first; the text to sign
  // runs past one block too.
  const std::string secrets[] = {"s3cr3t", std::string(80, 'k')};
  oss_client_config c{};
  c.access_key_id = aos_span_of("AKID");
  for (const std::string& secret : secrets) {
    c.access_key_secret = aos_span_of(secret.c_str());
    aos_http_request* req = aos_http_request_create(pool_);
    req->resource = apr_pstrdup(pool_, "bucket/dir/my file");
    apr_table_set(req->headers, "x-oss-date", kDate.c_str());
    ASSERT_EQ(oss_sign_request(req, &c), 0);
    EXPECT_EQ(apr_table_get(req->headers, "Date"), nullptr);
    EXPECT_EQ(std::string(apr_table_get(req->headers, "Authorization")),
              "OSS AKID:" + openssl(secret, "GET\n\n\n" + kDate + "\nx-oss-date:" + kDate +
                                                "\n/bucket/dir/my file"));
  }

  // The resource must be shorter than 2047; a refused request carries no Authorization.
  for (size_t len : {size_t{2046}, size_t{2047}}) {
    aos_http_request* req = aos_http_request_create(pool_);
    req->resource = apr_pstrdup(pool_, std::string(len, 'r').c_str());
    EXPECT_EQ(oss_sign_request(req, &c), len < 2047 ? 0 : aos_err_invalid_argument);
    EXPECT_EQ(apr_table_get(req->headers, "Authorization") != nullptr, len < 2047);
  }
}

}  // namespace
