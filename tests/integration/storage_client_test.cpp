// The storage client's memory GET against HTTP servers on loopback: a canned server that answers
// each case with exactly the bytes it needs (cut short, chunked, endless), and the openssl
// command as an independent TLS server.
#include <apr_strings.h>
#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <string>

#include "storage_client/aos_chunk.h"
#include "storage_client/aos_status.h"
#include "storage_client/aos_transport.h"
#include "support/canned_http_server.h"
#include "support/storage_fixture.h"
#include "support/test_support.h"

namespace {

using testsupport::CannedConnection;
using testsupport::CannedHttpServer;
using testsupport::CannedRequest;
using namespace std::chrono_literals;

std::string joined(aos_list* body) {
  std::string out;
  for (aos_list* n = body->next; n != body; n = n->next) {
    auto* c = reinterpret_cast<aos_chunk*>(n);
    out.append(c->pos, aos_chunk_data_len(c));
  }
  return out;
}

class StorageClient : public testsupport::StorageClientTest {
 protected:
  void endpoint(const std::string& text) {
    options_->config->endpoint = aos_span_of(apr_pstrdup(pool_, text.c_str()));
  }

  aos_status* fetch() {
    aos_span b = aos_span_of("update-en-1");
    aos_span k = aos_span_of("3/11.0.BIN");
    aos_list_init(&body_);
    options_->ctl = aos_http_controller_create(pool_, 0);  // a controller keeps its first error
    return oss_fetch_object_to_memory(options_, &b, &k, nullptr, nullptr, &body_, &headers_);
  }

  aos_list body_;
  apr_table_t* headers_ = nullptr;
};

TEST_F(StorageClient, EndlessErrorBodyStopsAtOneMebibyte) {
  // The transfer stops at 1 MiB, the HTTP code stays, and the cut XML gives no error code.
  CannedHttpServer server([&](const CannedRequest&, CannedConnection& c) {
    c.send("HTTP/1.1 500 Oops\r\nConnection: close\r\n\r\n<Error><Code>Endless</Code><Message>");
    std::string filler(64 * 1024, 'x');
    for (int i = 0; i < 4096 && c.send(filler); ++i) {
    }
  });
  endpoint("localhost:" + std::to_string(server.port()));
  aos_status* s = fetch();
  EXPECT_EQ(s->code, 500);
  EXPECT_STREQ(s->error_code, AOS_UNKNOWN_ERROR_CODE);
  EXPECT_EQ(aos_body_length(&body_), AOS_MAX_ERROR_BODY_SIZE);
  EXPECT_EQ(options_->ctl->error_code, 0);
  EXPECT_TRUE(testsupport::waitFor([&] { return server.requests().size() == 1; }, 1000ms));
}

// A body shorter than the Content-Length that governs it is cut short, never finished; where
// chunked framing governs the body, or the status carries none, the length promises nothing.
TEST_F(StorageClient, LengthIsCheckedWhereItGovernsTheBody) {
  const std::string close = "Connection: close\r\n\r\n";
  const struct {
    std::string answer;
    int code;
    const char* body;
  } cases[] = {
      {"HTTP/1.1 200 OK\r\nContent-Length: 200000\r\n" + close +
           testsupport::randomString(100000, 2),
       aos_err_transfer, ""},
      {"HTTP/1.1 200 OK\r\nContent-Length: 200000\r\nTransfer-Encoding: chunked\r\n" + close +
           "5\r\nhello\r\n0\r\n\r\n",
       200, "hello"},
      {"HTTP/1.1 204 No Content\r\nContent-Length: 10\r\n" + close, 204, ""},
  };
  for (const auto& k : cases) {
    SCOPED_TRACE(k.answer.substr(0, 60));
    CannedHttpServer server([&](const CannedRequest&, CannedConnection& c) { c.send(k.answer); });
    endpoint("localhost:" + std::to_string(server.port()));
    aos_status* s = fetch();
    EXPECT_EQ(s->code, k.code) << (s->error_msg ? s->error_msg : "");
    if (k.code < 0) {
      EXPECT_STREQ(s->error_msg, curl_easy_strerror(CURLE_PARTIAL_FILE));
    } else {
      EXPECT_EQ(joined(&body_), k.body);
    }
  }
}

TEST_F(StorageClient, HttpsCertificatesAreVerified) {
  testsupport::TempDir dir;
  const std::string key = (dir / "key.pem").string(), cert = (dir / "cert.pem").string();
  ASSERT_EQ(testsupport::runCommand("openssl req -x509 -newkey rsa:2048 -nodes -subj /CN=localhost"
                                    " -days 1 -keyout " +
                                    key + " -out " + cert + " 2>/dev/null")
                .status,
            0);
  // A loopback port free a moment ago: a listener's, closed.
  const int port = CannedHttpServer([](const CannedRequest&, CannedConnection&) {}).port();
  testsupport::ChildProcess tls({"/usr/bin/openssl", "s_server", "-quiet", "-www", "-accept",
                                 std::to_string(port), "-cert", cert, "-key", key},
                                dir.path(), dir / "out", dir / "err");
  const std::string url = "https://127.0.0.1:" + std::to_string(port);
  ASSERT_TRUE(testsupport::waitFor(  // curl, told not to verify, sees the server up
      [&] { return testsupport::runCommand("curl -sk -o /dev/null " + url + "/").status == 0; },
      10000ms));
  endpoint(url);
  aos_status* s = fetch();
  EXPECT_EQ(s->code, aos_err_peer_verification) << (s->error_msg ? s->error_msg : "");
  EXPECT_STREQ(s->error_code, AOS_HTTP_IO_ERROR_CODE);
  tls.kill(SIGKILL);
}

}  // namespace
