// The storage client against HTTP servers on loopback: a canned server that answers each case
// with exactly the bytes it needs (whole, cut short, throttled, endless), and the openssl
// command as an independent TLS server and signature oracle.
#include <apr_general.h>
#include <apr_pools.h>
#include <apr_strings.h>
#include <apr_tables.h>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cinttypes>
#include <csignal>
#include <cstring>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "storage_client/aos_chunk.h"
#include "storage_client/aos_http_io.h"
#include "storage_client/aos_status.h"
#include "storage_client/aos_transport.h"
#include "storage_client/oss_auth.h"
#include "storage_client/oss_util.h"
#include "support/canned_http_server.h"
#include "support/storage_fixture.h"
#include "support/test_support.h"

namespace {

using testsupport::CannedConnection;
using testsupport::CannedHttpServer;
using testsupport::CannedRequest;
using namespace std::chrono_literals;

std::string randomBytes(size_t n, unsigned seed) {
  std::mt19937 rng(seed);
  std::string s(n, '\0');
  for (char& c : s) c = static_cast<char>(rng());
  return s;
}

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
  void SetUp() override {
    StorageClientTest::SetUp();
    aos_list_init(&body_);
  }

  void endpoint(const std::string& text) {
    options_->config->endpoint = aos_span_of(apr_pstrdup(pool_, text.c_str()));
  }

  aos_status* fetch(const char* bucket = "update-en-1", const char* key = "3/11.0.BIN") {
    aos_span b = aos_span_of(bucket);
    aos_span k = aos_span_of(key);
    aos_list_init(&body_);
    options_->ctl = aos_http_controller_create(pool_, 0);  // a controller keeps its first error
    return oss_fetch_object_to_memory(options_, &b, &k, nullptr, nullptr, &body_, &headers_);
  }

  // A request of the given method prepared and signed like the GET, then sent.
  aos_status* send(int32_t method, const std::string& requestBody, aos_http_response** respOut) {
    aos_span b = aos_span_of("bkt");
    aos_span k = aos_span_of("obj");
    aos_http_request* req = nullptr;
    aos_http_response* resp = nullptr;
    oss_prepare_object_request(options_, &b, &k, apr_table_make(pool_, 4), apr_table_make(pool_, 4),
                               &req, &resp);
    req->method = method;
    if (!requestBody.empty()) {
      // Two nodes, so the reader has to walk the list.
      size_t half = requestBody.size() / 2;
      for (auto [at, n] : {std::pair{size_t{0}, half}, {half, requestBody.size() - half}}) {
        aos_chunk* c = aos_chunk_create(pool_, n);
        std::memcpy(c->last, requestBody.data() + at, n);
        c->last += n;
        aos_list_add_tail(&req->body, &c->node);
      }
      req->body_len = static_cast<int64_t>(requestBody.size());
    }
    EXPECT_EQ(oss_sign_request(req, options_->config), 0);
    *respOut = resp;
    return oss_perform_request(options_->ctl, req, resp);
  }

  std::string local(const CannedHttpServer& server) {
    return "localhost:" + std::to_string(server.port());
  }

  aos_list body_;
  apr_table_t* headers_ = nullptr;
};

// The signature the openssl command computes over the string to sign.
std::string opensslSignature(const std::string& stringToSign) {
  const char* kSecret = testsupport::StorageClientTest::kSecret;
  testsupport::TempDir dir;
  testsupport::writeFile(dir / "s", stringToSign);
  auto r = testsupport::runCommand(std::string("openssl dgst -sha1 -hmac '") + kSecret +
                                   "' -binary " + (dir / "s").string() + " | openssl base64 -A");
  EXPECT_EQ(r.status, 0);
  return r.output;
}

TEST_F(StorageClient, BodyInManyPiecesArrivesWholeSignedAndInOrder) {
  const std::string object = randomBytes(3 * 1024 * 1024 + 17, 1);
  CannedHttpServer server([&](const CannedRequest&, CannedConnection& c) {
    std::string head = "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(object.size()) +
                       "\r\nx-oss-request-id: RID-1\r\n"
                       "Connection: close\r\n\r\n";
    c.send(head);
    // Uneven pieces with pauses, so the client sees many separate deliveries.
    size_t at = 0;
    for (size_t piece = 1000; at < object.size(); piece = piece * 3 + 7) {
      size_t n = std::min(piece, object.size() - at);
      if (!c.send(object.data() + at, n)) return;
      at += n;
      std::this_thread::sleep_for(5ms);
    }
  });
  endpoint(local(server));
  aos_status* s = fetch("update-en-1", "dir/a b+c.BIN");
  ASSERT_EQ(s->code, 200) << (s->error_msg ? s->error_msg : "");
  EXPECT_STREQ(s->req_id, "RID-1");
  EXPECT_TRUE(joined(&body_) == object);
  // What went out: virtual-hosted name, encoded key, the client's agent, a signature that the
  // openssl command agrees with over the unencoded resource.
  ASSERT_EQ(server.requests().size(), 1u);
  CannedRequest r = server.requests()[0];
  EXPECT_EQ(r.method, "GET");
  EXPECT_EQ(r.target, "/dir/a%20b%2Bc.BIN");
  EXPECT_EQ(r.header("Host"), "update-en-1." + local(server));
  EXPECT_EQ(r.header("User-Agent"), "storage-client-c/3.1.0(Compatible Unknown)");
  std::string date = r.header("Date");
  ASSERT_EQ(date.size(), 29u);
  EXPECT_EQ(r.header("Authorization"),
            std::string("OSS ") + StorageClientTest::kId + ":" +
                opensslSignature("GET\n\n\n" + date + "\n/update-en-1/dir/a b+c.BIN"));
}

TEST_F(StorageClient, EndlessErrorBodyStopsAtOneMebibyte) {
  // The transfer stops at 1 MiB, the HTTP code stays, and the cut XML gives no error code.
  CannedHttpServer server([&](const CannedRequest&, CannedConnection& c) {
    c.send("HTTP/1.1 500 Oops\r\nConnection: close\r\n\r\n<Error><Code>Endless</Code><Message>");
    std::string filler(64 * 1024, 'x');
    for (int i = 0; i < 4096 && c.send(filler); ++i) {
    }
  });
  endpoint(local(server));
  aos_status* s = fetch();
  EXPECT_EQ(s->code, 500);
  EXPECT_STREQ(s->error_code, AOS_UNKNOWN_ERROR_CODE);
  EXPECT_EQ(aos_body_length(&body_), AOS_MAX_ERROR_BODY_SIZE);
  EXPECT_EQ(options_->ctl->error_code, 0);
  EXPECT_TRUE(testsupport::waitFor([&] { return server.requests().size() == 1; }, 1000ms));
}

TEST_F(StorageClient, NameLookupAndConnectionFailures) {
  int port;  // a port that was just free and has no listener
  {
    CannedHttpServer probe([](const CannedRequest&, CannedConnection&) {});
    port = probe.port();
  }
  const struct {
    std::string endpoint;
    int code;
    CURLcode curl;
  } cases[] = {
      {"no-such-host.invalid", aos_err_name_lookup, CURLE_COULDNT_RESOLVE_HOST},
      {"http://127.0.0.1:" + std::to_string(port), aos_err_connect, CURLE_COULDNT_CONNECT},
  };
  for (const auto& k : cases) {
    endpoint(k.endpoint);
    aos_status* s = fetch();
    EXPECT_EQ(s->code, k.code);
    EXPECT_STREQ(s->error_code, AOS_HTTP_IO_ERROR_CODE);
    EXPECT_STREQ(s->error_msg, curl_easy_strerror(k.curl));
    EXPECT_TRUE(aos_list_empty(&body_));
  }
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
      {"HTTP/1.1 200 OK\r\nContent-Length: 200000\r\n" + close + randomBytes(100000, 2),
       aos_err_transfer, ""},
      {"HTTP/1.1 200 OK\r\nContent-Length: 200000\r\nTransfer-Encoding: chunked\r\n" + close +
           "5\r\nhello\r\n0\r\n\r\n",
       200, "hello"},
      {"HTTP/1.1 206 Partial Content\r\nTransfer-Encoding: chunked\r\nContent-Length: 99\r\n" +
           close + "2\r\nab\r\n0\r\n\r\n",
       206, "ab"},
      {"HTTP/1.1 204 No Content\r\nContent-Length: 10\r\n" + close, 204, ""},
      {"HTTP/1.1 304 Not Modified\r\nContent-Length: 10\r\n" + close, 304, ""},
  };
  for (const auto& k : cases) {
    SCOPED_TRACE(k.answer.substr(0, 60));
    CannedHttpServer server([&](const CannedRequest&, CannedConnection& c) { c.send(k.answer); });
    endpoint(local(server));
    aos_status* s = fetch();
    EXPECT_EQ(s->code, k.code) << (s->error_msg ? s->error_msg : "");
    if (k.code < 0) {
      EXPECT_STREQ(s->error_msg, curl_easy_strerror(CURLE_PARTIAL_FILE));
    } else {
      EXPECT_EQ(joined(&body_), k.body);
    }
  }
}

// An upload's size goes to libcurl as well as into the header list; left unknown, libcurl would
// send the body chunked under that Content-Length and the server would read another body.
TEST_F(StorageClient, UploadsSendTheirBodyWhole) {
  CannedHttpServer server([](const CannedRequest&, CannedConnection& c) { c.respond(200, "ok"); });
  endpoint(local(server));
  const std::string upload = randomBytes(300000, 4);
  aos_http_response* resp = nullptr;
  EXPECT_EQ(send(HTTP_PUT, upload, &resp)->code, 200);
  EXPECT_EQ(send(HTTP_POST, "form=1", &resp)->code, 200);
  EXPECT_EQ(send(HTTP_PUT, "", &resp)->code, 200);
  std::vector<CannedRequest> r = server.requests();
  ASSERT_EQ(r.size(), 3u);
  EXPECT_TRUE(r[0].method == "PUT" && r[0].body == upload);
  EXPECT_EQ(r[0].header("Transfer-Encoding"), "");
  EXPECT_TRUE(r[1].method == "POST" && r[1].body == "form=1");
  EXPECT_EQ(r[2].header("Content-Length"), "0");
}

TEST_F(StorageClient, HttpsCertificatesAreVerified) {
  testsupport::TempDir dir;
  std::string key = (dir / "key.pem").string();
  std::string cert = (dir / "cert.pem").string();
  auto made = testsupport::runCommand(
      "openssl req -x509 -newkey rsa:2048 -nodes -subj /CN=localhost -days 1 -keyout " + key +
      " -out " + cert + " >/dev/null 2>&1");
  ASSERT_EQ(made.status, 0);
  int port;
  {
    CannedHttpServer probe([](const CannedRequest&, CannedConnection&) {});
    port = probe.port();
  }
  testsupport::ChildProcess tls({"/usr/bin/openssl", "s_server", "-quiet", "-www", "-accept",
                                 std::to_string(port), "-cert", cert, "-key", key},
                                dir.path(), dir / "out", dir / "err");
  ASSERT_TRUE(testsupport::waitFor(
      [&] {
        auto r = testsupport::runCommand(
            "curl -sk -o /dev/null -w '%{http_code}' https://127.0.0.1:" + std::to_string(port) +
            "/");
        return r.output == "200";
      },
      10000ms));
  endpoint("https://127.0.0.1:" + std::to_string(port));
  aos_status* s = fetch();
  EXPECT_EQ(s->code, aos_err_peer_verification) << (s->error_msg ? s->error_msg : "");
  EXPECT_STREQ(s->error_code, AOS_HTTP_IO_ERROR_CODE);
  tls.kill(SIGKILL);
}

}  // namespace
