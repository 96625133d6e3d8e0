// Request signing: the canonical string to sign, the Date and Authorization headers, and the
// length limits of resource, header lines and sub-resources.
#include <apr_general.h>
#include <apr_pools.h>
#include <apr_strings.h>
#include <apr_tables.h>
#include <gtest/gtest.h>

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "storage_client/aos_log.h"
#include "storage_client/aos_status.h"
#include "storage_client/oss_auth.h"
#include "support/storage_fixture.h"
#include "support/test_support.h"

namespace {

const char* kDate = "Sun, 06 Dec 2026 01:24:04 GMT";

class StorageAuth : public testsupport::StoragePoolTest {
 protected:
  void SetUp() override {
    StoragePoolTest::SetUp();
    headers_ = apr_table_make(pool_, 8);
    params_ = apr_table_make(pool_, 8);
  }

  // The string to sign for a GET of /b/o with the headers and parameters set so far.
  std::string signString(const std::string& resource = "/b/o", int* rc = nullptr,
                         int32_t method = HTTP_GET) {
    aos_span canon;
    canon.data = const_cast<char*>(resource.c_str());
    canon.len = static_cast<int32_t>(resource.size());
    aos_span out;
    int r = oss_get_string_to_sign(pool_, method, &canon, headers_, params_, &out);
    if (rc != nullptr) *rc = r;
    if (r != 0) return "<error>";
    return std::string(out.data, static_cast<size_t>(out.len));
  }

  aos_http_request* request(const std::string& resource) {
    aos_http_request* req = aos_http_request_create(pool_);
    req->resource = apr_pstrdup(pool_, resource.c_str());
    return req;
  }

  oss_client_config config(const char* id, const char* secret) {
    oss_client_config c;
    c.access_key_id = aos_span_of(id);
    c.access_key_secret = aos_span_of(secret);
    c.is_cname = 0;
    return c;
  }

  apr_table_t* headers_ = nullptr;
  apr_table_t* params_ = nullptr;
};

int count(apr_table_t* table, const char* name) {
  int n = 0;
  const apr_array_header_t* arr = apr_table_elts(table);
  const auto* elts = reinterpret_cast<const apr_table_entry_t*>(arr->elts);
  for (int i = 0; i < arr->nelts; ++i) n += strcasecmp(elts[i].key, name) == 0;
  return n;
}

TEST_F(StorageAuth, UpdaterGetIsFiveLines) {
  apr_table_set(headers_, "Date", kDate);
  apr_table_set(headers_, "Content-Length", "0");
  apr_table_set(headers_, "Range", "bytes=0-");
  EXPECT_EQ(signString(), std::string("GET\n\n\n") + kDate + "\n/b/o");
}

TEST_F(StorageAuth, MethodMd5TypeAndDateLines) {
  apr_table_set(headers_, "Date", kDate);
  apr_table_set(headers_, "content-md5", "MD5==");
  apr_table_set(headers_, "Content-Type", "text/plain");
  EXPECT_EQ(signString("/b/o", nullptr, HTTP_PUT),
            std::string("PUT\nMD5==\ntext/plain\n") + kDate + "\n/b/o");
  EXPECT_EQ(signString("/b/o", nullptr, 7).substr(0, 8), "UNKNOWN\n");
  EXPECT_EQ(signString("/b/o", nullptr, HTTP_DELETE).substr(0, 7), "DELETE\n");
  // An empty canonical resource adds nothing.
  EXPECT_EQ(signString("", nullptr, HTTP_HEAD),
            std::string("HEAD\nMD5==\ntext/plain\n") + kDate + "\n");
}

TEST_F(StorageAuth, DatePrecedenceAndEmptyDate) {
  int rc = 0;
  signString("/b/o", &rc);
  EXPECT_EQ(rc, aos_err_invalid_argument);
  ASSERT_EQ(capturedLog().size(), 1u);
  EXPECT_EQ(capturedLog()[0], "http header date is empty.");

  apr_table_set(headers_, "Date", kDate);
  apr_table_set(headers_, "x-oss-date", "XDATE");
  EXPECT_EQ(signString(), "GET\n\n\nXDATE\nx-oss-date:XDATE\n/b/o");

  // An empty x-oss-date is not replaced by Date.
  apr_table_set(headers_, "x-oss-date", "");
  signString("/b/o", &rc);
  EXPECT_EQ(rc, aos_err_invalid_argument);
}

TEST_F(StorageAuth, OssHeadersTrimmedLoweredAndInNaturalOrder) {
  apr_table_set(headers_, "Date", kDate);
  apr_table_set(headers_, "X-OSS-Meta-Author", "  Ann Lee  ");
  apr_table_set(headers_, "x-oss-meta-10", "ten");
  apr_table_set(headers_, "x-oss-meta-2", "\ttwo\t");
  apr_table_set(headers_, "x-ossy", "not signed");
  EXPECT_EQ(signString(), std::string("GET\n\n\n") + kDate +
                              "\nx-oss-meta-2:two\nx-oss-meta-10:ten\n"
                              "x-oss-meta-author:Ann Lee\n/b/o");
  // The header itself now carries the lower-case name.
  const apr_array_header_t* arr = apr_table_elts(headers_);
  const auto* elts = reinterpret_cast<const apr_table_entry_t*>(arr->elts);
  EXPECT_STREQ(elts[1].key, "x-oss-meta-author");
  EXPECT_STREQ(elts[4].key, "x-ossy");
}

TEST_F(StorageAuth, HeaderLineLimit) {
  apr_table_set(headers_, "Date", kDate);
  // "x-oss-a:" is 8 characters; 8184 more reach the 8192 limit exactly.
  apr_table_set(headers_, "x-oss-a", std::string(8184, 'v').c_str());
  int rc = 1;
  std::string s = signString("/b/o", &rc);
  EXPECT_EQ(rc, 0);
  EXPECT_NE(s.find("x-oss-a:" + std::string(8184, 'v') + "\n/b/o"), std::string::npos);

  apr_table_set(headers_, "x-oss-a", std::string(8185, 'v').c_str());
  signString("/b/o", &rc);
  EXPECT_EQ(rc, aos_err_invalid_argument);
  ASSERT_EQ(capturedLog().size(), 1u);
  EXPECT_EQ(capturedLog()[0], "user meta header too many, 8193 > 8192.");
}

TEST_F(StorageAuth, SubResourcesSelectedSortedAndUnencoded) {
  apr_table_set(headers_, "Date", kDate);
  apr_table_set(params_, "uploadId", "7");
  apr_table_set(params_, "max-keys", "10");
  apr_table_set(params_, "partNumber", "1");
  apr_table_set(params_, "ACL", "");
  EXPECT_EQ(signString(), std::string("GET\n\n\n") + kDate + "\n/b/o?partNumber=1&uploadId=7");

  apr_table_clear(params_);
  apr_table_set(params_, "acl", "");
  apr_table_set(params_, "response-content-type", "a b/c");
  EXPECT_EQ(signString(),
            std::string("GET\n\n\n") + kDate + "\n/b/o?acl&response-content-type=a b/c");

  apr_table_clear(params_);
  apr_table_set(params_, "x-oss-process", "");
  EXPECT_EQ(signString(), std::string("GET\n\n\n") + kDate + "\n/b/o?x-oss-process");
}

TEST_F(StorageAuth, SubResourceItemLimit) {
  apr_table_set(headers_, "Date", kDate);
  // "?acl=" plus 1018 characters is 1023: signed; one more is refused.
  apr_table_set(params_, "acl", std::string(1018, 'v').c_str());
  int rc = 1;
  signString("/b/o", &rc);
  EXPECT_EQ(rc, 0);
  apr_table_set(params_, "acl", std::string(1019, 'v').c_str());
  signString("/b/o", &rc);
  EXPECT_EQ(rc, aos_err_invalid_argument);
  ASSERT_EQ(capturedLog().size(), 1u);
  EXPECT_EQ(capturedLog()[0].rfind("http query params too long, ?acl=vvv", 0), 0u);
  // Even a value far beyond the item buffer is refused without overrunning it.
  apr_table_set(params_, "acl", std::string(100000, 'v').c_str());
  signString("/b/o", &rc);
  EXPECT_EQ(rc, aos_err_invalid_argument);
}

TEST_F(StorageAuth, LongStringToSignGrowsPastInitialRoom) {
  apr_table_set(headers_, "Date", kDate);
  std::string expected = std::string("GET\n\n\n") + kDate + "\n";
  for (int i = 0; i < 40; ++i) {
    std::string name = "x-oss-meta-" + std::to_string(i);
    std::string value(100, static_cast<char>('a' + i % 26));
    apr_table_set(headers_, name.c_str(), value.c_str());
  }
  for (int i = 0; i < 40; ++i) {
    expected += "x-oss-meta-" + std::to_string(i) + ":" +
                std::string(100, static_cast<char>('a' + i % 26)) + "\n";
  }
  EXPECT_EQ(signString(), expected + "/b/o");
}

// The Authorization value, computed by the openssl command over the expected string to sign.
std::string opensslSignature(const std::string& secret, const std::string& stringToSign) {
  testsupport::TempDir dir;
  testsupport::writeFile(dir / "s", stringToSign);
  auto r = testsupport::runCommand("openssl dgst -sha1 -hmac '" + secret + "' -binary " +
                                   (dir / "s").string() + " | openssl base64 -A");
  EXPECT_EQ(r.status, 0);
  return r.output;
}

TEST_F(StorageAuth, SignRequestWithOssDateAddsNoDate) {
  aos_http_request* req = request("bucket/dir/my file");
  apr_table_set(req->headers, "x-oss-date", kDate);
  oss_client_config c = config("AKID", "s3cr3t");
  ASSERT_EQ(oss_sign_request(req, &c), 0);
  EXPECT_EQ(apr_table_get(req->headers, "Date"), nullptr);
  std::string sts =
      std::string("GET\n\n\n") + kDate + "\nx-oss-date:" + kDate + "\n/bucket/dir/my file";
  EXPECT_EQ(std::string(apr_table_get(req->headers, "Authorization")),
            "OSS AKID:" + opensslSignature("s3cr3t", sts));
}

TEST_F(StorageAuth, SignRequestReplacesDateWithNow) {
  aos_http_request* req = request("b/o");
  apr_table_set(req->headers, "Date", "Thu, 01 Jan 1970 00:00:00 GMT");
  apr_table_set(req->headers, "Authorization", "earlier");
  oss_client_config c = config("id", "key");
  ASSERT_EQ(oss_sign_request(req, &c), 0);
  EXPECT_EQ(count(req->headers, "Date"), 1);
  std::string date = apr_table_get(req->headers, "Date");
  EXPECT_NE(date, "Thu, 01 Jan 1970 00:00:00 GMT");
  EXPECT_EQ(date.size(), 29u);
  // Authorization is added, not replaced.
  EXPECT_EQ(count(req->headers, "Authorization"), 2);
  const apr_array_header_t* arr = apr_table_elts(req->headers);
  const auto* elts = reinterpret_cast<const apr_table_entry_t*>(arr->elts);
  std::string auth = elts[arr->nelts - 1].val;
  EXPECT_EQ(auth, "OSS id:" + opensslSignature("key", "GET\n\n\n" + date + "\n/b/o"));
}

TEST_F(StorageAuth, ResourceLengthLimit) {
  oss_client_config c = config("id", "key");
  aos_http_request* ok = request(std::string(2046, 'r'));
  apr_table_set(ok->headers, "x-oss-date", kDate);
  EXPECT_EQ(oss_sign_request(ok, &c), 0);
  EXPECT_NE(apr_table_get(ok->headers, "Authorization"), nullptr);

  aos_http_request* tooLong = request(std::string(2047, 'r'));
  EXPECT_EQ(oss_sign_request(tooLong, &c), aos_err_invalid_argument);
  EXPECT_EQ(apr_table_get(tooLong->headers, "Authorization"), nullptr);
  EXPECT_EQ(apr_table_get(tooLong->headers, "Date"), nullptr);
  ASSERT_FALSE(capturedLog().empty());
  EXPECT_EQ(capturedLog().back(), "http resource too long, " + std::string(2047, 'r') + ".");
}

TEST_F(StorageAuth, SigningFailureKeepsAddedDate) {
  aos_http_request* req = request("b/o");
  apr_table_set(req->query_params, "acl", std::string(2000, 'v').c_str());
  oss_client_config c = config("id", "key");
  EXPECT_EQ(oss_sign_request(req, &c), aos_err_invalid_argument);
  EXPECT_NE(apr_table_get(req->headers, "Date"), nullptr);
  EXPECT_EQ(apr_table_get(req->headers, "Authorization"), nullptr);
}

}  // namespace
