// The libcurl transport's pieces without the network: header-line splitting and storage, the
// write and read callbacks' limits and failures, the result mapping, the clean-up stack, the URL
// and the header list.
#include <apr_general.h>
#include <apr_pools.h>
#include <apr_strings.h>
#include <apr_tables.h>
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "storage_client/aos_chunk.h"
#include "storage_client/aos_http_io.h"
#include "storage_client/aos_status.h"
#include "storage_client/aos_transport.h"
#include "support/storage_fixture.h"

namespace {

struct Split {
  bool ok;
  std::string name, value;
};

Split split(const std::string& line) {
  aos_header_field f{};
  bool ok = aos_parse_header_line(line.data(), line.size(), &f);
  if (!ok) return {false, "", ""};
  return {true, std::string(f.name, f.name_len), std::string(f.value, f.value_len)};
}

TEST(StorageHeaderLine, SplitsNameAndValue) {
  struct Case {
    const char* line;
    bool ok;
    const char* name;
    const char* value;
  };
  const Case cases[] = {
      {"Content-Length:   1234  \r\n", true, "Content-Length", "1234"},
      // The name keeps its own spaces; only the value is trimmed.
      {"X-Note : a\r\n", true, "X-Note ", "a"},
      {"  \t Lead:\t v  w \t\r\n", true, "Lead", "v  w"},
      {"Empty:\r\n", true, "Empty", ""},
      {"Empty:   \t \r\n", true, "Empty", ""},
      {":nameless\r\n", true, "", "nameless"},
      {"a:b:c\r\n", true, "a", "b:c"},
      {"Host: x\n", true, "Host", "x"},
      {"Ctl:\x01v\x01\r\n", true, "Ctl", "\x01v"},
      // Bytes above 0x7F are characters, not blanks to trim.
      {"\xff\xfeN:\xe9\r\n", true, "\xff\xfeN", "\xe9"},
      {"HTTP/1.1 200 OK\r\n", false, "", ""},
      {"\r\n", false, "", ""},
      {"", false, "", ""},
  };
  for (const Case& c : cases) {
    Split s = split(c.line);
    EXPECT_EQ(s.ok, c.ok) << c.line;
    EXPECT_EQ(s.name, c.name) << c.line;
    EXPECT_EQ(s.value, c.value) << c.line;
  }
  // A line with a NUL in it is measured by its length, not by the NUL.
  Split nul = split(std::string("A\0B: v\r\n", 8));
  EXPECT_TRUE(nul.ok);
  EXPECT_EQ(nul.name, std::string("A\0B", 3));
}

class StorageTransport : public testsupport::StoragePoolTest {
 protected:
  static void SetUpTestSuite() {
    StoragePoolTest::SetUpTestSuite();
    ASSERT_EQ(aos_http_io_initialize(), 0);
  }
  static void TearDownTestSuite() {
    aos_http_io_shutdown();
    StoragePoolTest::TearDownTestSuite();
  }
  void SetUp() override {
    StoragePoolTest::SetUp();
    limits_ = *aos_http_io_limits();
    ctl_ = aos_http_controller_create(pool_, 0);
    ctl_->limits = &limits_;
    t_ = aos_curl_http_transport_new(pool_);
    t_->req = aos_http_request_create(pool_);
    t_->resp = aos_http_response_create(pool_);
    t_->controller = ctl_;
  }
  void TearDown() override {
    aos_transport_run_cleanup(t_);
    StoragePoolTest::TearDown();
  }

  size_t header(const std::string& line) {
    std::string copy = line;
    return aos_curl_header_line_callback(copy.data(), 1, copy.size(), t_);
  }
  size_t write(const std::string& data) {
    std::string copy = data;
    return aos_curl_default_write_callback(copy.data(), 1, copy.size(), t_);
  }

  aos_http_limits limits_{};
  aos_http_controller* ctl_ = nullptr;
  aos_curl_http_transport* t_ = nullptr;
};

TEST_F(StorageTransport, HeaderLinesAreStoredWithDuplicates) {
  EXPECT_EQ(header("HTTP/1.1 200 OK: fine\r\n"), 23u);
  EXPECT_NE(ctl_->first_byte_time, 0);
  EXPECT_EQ(t_->state, TRANS_STATE_HEADER);
  header("Content-Length:   1234  \r\n");
  header("Set-Cookie: a=1\r\n");
  header("Set-Cookie: b=2\r\n");
  header("\r\n");
  const apr_array_header_t* arr = apr_table_elts(t_->resp->headers);
  const auto* elts = reinterpret_cast<const apr_table_entry_t*>(arr->elts);
  ASSERT_EQ(arr->nelts, 3);
  EXPECT_STREQ(elts[0].key, "Content-Length");
  EXPECT_STREQ(elts[0].val, "1234");
  EXPECT_STREQ(elts[1].val, "a=1");
  EXPECT_STREQ(elts[2].val, "b=2");
}

TEST_F(StorageTransport, WriteCallbackStopsAtTheMemoryLimit) {
  t_->resp->status = 200;
  limits_.max_memory_size = 100;
  EXPECT_EQ(write(std::string(60, 'a')), 60u);
  // 60 kept is below the limit: the next piece is stored, passing it by one piece.
  EXPECT_EQ(write(std::string(60, 'b')), 60u);
  EXPECT_EQ(t_->state, TRANS_STATE_BODY_IN);
  EXPECT_EQ(write("c"), 0u);
  EXPECT_EQ(ctl_->error_code, aos_err_memory_limit);
  EXPECT_STREQ(ctl_->reason, "receive body too big, current body size: 120, max memory size: 100");
  ASSERT_EQ(capturedLog().size(), 1u);
  EXPECT_EQ(capturedLog()[0], std::string("error reason:") + ctl_->reason + ", ");
  // The first error stays: later pieces are refused without a second one.
  EXPECT_EQ(write("d"), 0u);
  EXPECT_EQ(ctl_->error_code, aos_err_memory_limit);
  EXPECT_EQ(t_->resp->body_len, 120);
}

TEST_F(StorageTransport, ErrorBodiesStayInMemoryUpToTheirCap) {
  t_->resp->status = 500;
  limits_.max_memory_size = 10;
  // The response's own writer is bypassed for error bodies.
  t_->resp->write_body = [](aos_http_response*, const char*, int) { return -1; };
  std::string big(AOS_MAX_ERROR_BODY_SIZE - 10, 'e');
  EXPECT_EQ(write(big), big.size());
  EXPECT_FALSE(t_->error_body_capped);
  EXPECT_EQ(write(std::string(100, 'f')), 10u);
  EXPECT_TRUE(t_->error_body_capped);
  EXPECT_EQ(write("g"), 0u);
  EXPECT_EQ(t_->resp->body_len, AOS_MAX_ERROR_BODY_SIZE);
  EXPECT_EQ(ctl_->error_code, 0);
}

TEST_F(StorageTransport, BodyWriterAndReaderFailures) {
  t_->resp->status = 200;
  t_->resp->write_body = [](aos_http_response*, const char*, int) { return -1; };
  EXPECT_EQ(write("x"), 0u);
  EXPECT_EQ(ctl_->error_code, aos_err_write_body);
  EXPECT_STREQ(ctl_->reason, "write body failure.");

  char buf[8];
  // With an error already recorded the reader is not asked.
  EXPECT_EQ(aos_curl_body_read_callback(buf, 1, sizeof buf, t_), size_t{CURL_READFUNC_ABORT});
  ctl_->error_code = 0;
  t_->req->read_body = [](aos_http_request*, char*, int) { return -5; };
  EXPECT_EQ(aos_curl_body_read_callback(buf, 1, sizeof buf, t_), size_t{CURL_READFUNC_ABORT});
  EXPECT_EQ(ctl_->error_code, aos_err_read_body);
  EXPECT_STREQ(ctl_->reason, "read body failure.");

  ctl_->error_code = 0;
  t_->req->read_body = aos_read_memory_body;
  aos_chunk* c = aos_chunk_create(pool_, 3);
  std::memcpy(c->last, "abc", 3);
  c->last += 3;
  aos_list_add_tail(&t_->req->body, &c->node);
  EXPECT_EQ(aos_curl_body_read_callback(buf, 1, sizeof buf, t_), 3u);
  EXPECT_EQ(t_->state, TRANS_STATE_BODY_OUT);
  EXPECT_EQ(aos_curl_body_read_callback(buf, 1, sizeof buf, t_), 0u);
}

TEST(StorageTransportErrors, LibcurlResultsMapToClientCodes) {
  EXPECT_EQ(aos_curl_result_to_error(CURLE_OK), 0);
  EXPECT_EQ(aos_curl_result_to_error(CURLE_COULDNT_RESOLVE_PROXY), aos_err_name_lookup);
  EXPECT_EQ(aos_curl_result_to_error(CURLE_COULDNT_RESOLVE_HOST), aos_err_name_lookup);
  EXPECT_EQ(aos_curl_result_to_error(CURLE_COULDNT_CONNECT), aos_err_connect);
  // A partial transfer is a failed one.
  EXPECT_EQ(aos_curl_result_to_error(CURLE_PARTIAL_FILE), aos_err_transfer);
  EXPECT_EQ(aos_curl_result_to_error(CURLE_WRITE_ERROR), aos_err_transfer);
  EXPECT_EQ(aos_curl_result_to_error(CURLE_OUT_OF_MEMORY), aos_err_out_of_memory);
  EXPECT_EQ(aos_curl_result_to_error(CURLE_OPERATION_TIMEDOUT), aos_err_transfer);
  EXPECT_EQ(aos_curl_result_to_error(CURLE_PEER_FAILED_VERIFICATION), aos_err_peer_verification);
  EXPECT_EQ(aos_curl_result_to_error(CURLE_SSL_CONNECT_ERROR), aos_err_internal);
  EXPECT_EQ(aos_curl_result_to_error(CURLE_GOT_NOTHING), aos_err_internal);
}

std::vector<std::string>& calls() {
  static std::vector<std::string> log;
  return log;
}

TEST_F(StorageTransport, CleanupRunsLastPushedFirstByKind) {
  aos_transport_run_cleanup(t_);
  t_->cleanup = apr_array_make(pool_, 5, sizeof(aos_cleanup_entry));
  calls().clear();
  auto push = [&](const char* tag, int kind, void (*fn)(void*)) {
    auto* e = static_cast<aos_cleanup_entry*>(apr_array_push(t_->cleanup));
    e->data = const_cast<char*>(tag);
    e->func = fn;
    e->kind = kind;
  };
  void (*withData)(void*) = [](void* d) { calls().emplace_back(static_cast<const char*>(d)); };
  void (*noData)() = [] { calls().emplace_back("none"); };
  push("one", 1, withData);
  push("two", 2, reinterpret_cast<void (*)(void*)>(noData));
  push("three", 3, withData);
  push("skipped", 7, withData);
  push("four", 4, reinterpret_cast<void (*)(void*)>(noData));
  aos_transport_run_cleanup(t_);
  EXPECT_EQ(calls(), (std::vector<std::string>{"none", "three", "none", "one"}));
  EXPECT_EQ(t_->cleanup, nullptr);
  aos_transport_run_cleanup(t_);
  EXPECT_EQ(calls().size(), 4u);
}

TEST_F(StorageTransport, RequestUrl) {
  t_->req->host = apr_pstrdup(pool_, "bkt.oss.example.com");
  t_->req->uri = apr_pstrdup(pool_, "dir/a b+c\xc3\xa9.BIN");
  ASSERT_EQ(aos_build_request_url(t_), 0);
  EXPECT_STREQ(t_->url, "http://bkt.oss.example.com/dir/a%20b%2Bc%C3%A9.BIN");

  t_->req->proto = "https://";
  apr_table_add(t_->req->query_params, "acl", "");
  apr_table_add(t_->req->query_params, "response-content-type", "a/b c");
  ASSERT_EQ(aos_build_request_url(t_), 0);
  EXPECT_STREQ(t_->url,
               "https://bkt.oss.example.com/dir/a%20b%2Bc%C3%A9.BIN?acl&response-content-type=a/"
               "b%20c");

  t_->req->uri = apr_pstrdup(pool_, std::string(2049, 'u').c_str());
  EXPECT_EQ(aos_build_request_url(t_), aos_err_invalid_argument);
  EXPECT_STREQ(ctl_->reason, "uri invalid argument.");
  t_->req->uri = apr_pstrdup(pool_, "o");
  apr_table_add(t_->req->query_params, "x", std::string(1100, 'v').c_str());
  EXPECT_EQ(aos_build_request_url(t_), aos_err_invalid_argument);
  EXPECT_STREQ(ctl_->reason, "query params invalid argument.");
}

TEST_F(StorageTransport, UrlFailureEndsPerformWithoutSending) {
  t_->req->host = apr_pstrdup(pool_, "no-such-host.invalid");
  t_->req->uri = apr_pstrdup(pool_, std::string(3000, 'u').c_str());
  int before = aos_http_io_handles().cached;
  EXPECT_EQ(aos_curl_http_transport_perform(t_), aos_err_invalid_argument);
  EXPECT_EQ(ctl_->start_time, 0);
  EXPECT_EQ(t_->resp->status, -1);
  EXPECT_TRUE(capturedLog().empty());
  EXPECT_EQ(aos_http_io_handles().cached, before + 1);
}

TEST_F(StorageTransport, RefusedOptionEndsSetup) {
  // libcurl refuses texts beyond its input limit; a signed URL is used as it stands.
  std::string huge = "http://h/" + std::string(9 << 20, 'u');
  t_->req->signed_url = huge.data();
  int before = aos_http_io_handles().cached;
  EXPECT_EQ(aos_curl_http_transport_perform(t_), aos_err_setup);
  EXPECT_EQ(ctl_->error_code, aos_err_setup);
  EXPECT_STREQ(ctl_->reason, curl_easy_strerror(CURLE_BAD_FUNCTION_ARGUMENT));
  ASSERT_EQ(capturedLog().size(), 1u);
  EXPECT_EQ(capturedLog()[0], "curl_easy_setopt failed, code:43 " +
                                  std::string(curl_easy_strerror(CURLE_BAD_FUNCTION_ARGUMENT)) +
                                  ".");
  EXPECT_EQ(ctl_->start_time, 0);
  EXPECT_EQ(aos_http_io_handles().cached, before + 1);
}

std::vector<std::string> headerLines(curl_slist* list) {
  std::vector<std::string> out;
  for (; list != nullptr; list = list->next) out.emplace_back(list->data);
  return out;
}

TEST_F(StorageTransport, HeaderListInTableOrderWithLengthForUploads) {
  apr_table_add(t_->req->headers, "Date", "D");
  apr_table_add(t_->req->headers, "Authorization", "OSS a:b");
  apr_table_add(t_->req->headers, "x-oss-meta-k", "v");
  aos_build_curl_header_list(t_);
  EXPECT_EQ(headerLines(t_->headers),
            (std::vector<std::string>{"Date: D", "Authorization: OSS a:b", "x-oss-meta-k: v"}));

  t_->req->method = HTTP_PUT;
  aos_build_curl_header_list(t_);
  EXPECT_EQ(headerLines(t_->headers).front(), "Content-Length: 0");
  t_->req->method = HTTP_POST;
  t_->req->body_len = int64_t{5} << 32;
  aos_build_curl_header_list(t_);
  EXPECT_EQ(headerLines(t_->headers).front(), "Content-Length: 21474836480");
}

}  // namespace
