// Process-wide state of the storage client (initialisation values, the handle cache), the memory
// body reader and writer, where an object request is placed, and how a perform outcome becomes
// a status (with the transport slot swapped for a scripted one).
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
#include "storage_client/oss_util.h"
#include "support/storage_fixture.h"

namespace {

class StorageHttpIo : public testsupport::StoragePoolTest {
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
    options_ = oss_request_options_create(pool_);
    options_->ctl = aos_http_controller_create(pool_, 0);
  }

  aos_chunk* node(const std::string& text) {
    aos_chunk* c = aos_chunk_create(pool_, text.size());
    std::memcpy(c->last, text.data(), text.size());
    c->last += text.size();
    return c;
  }

  struct Placed {
    std::string proto, host, uri, resource;
    aos_http_request* req;
  };
  Placed place(const char* endpoint, int cname = 0) {
    options_->config->endpoint = aos_span_of(endpoint);
    options_->config->is_cname = cname;
    aos_span b = aos_span_of("bkt");
    aos_span o = aos_span_of("dir/obj.BIN");
    aos_http_request* req = nullptr;
    aos_http_response* resp = nullptr;
    oss_prepare_object_request(options_, &b, &o, apr_table_make(pool_, 2), apr_table_make(pool_, 2),
                               &req, &resp);
    EXPECT_EQ(resp->status, -1);
    EXPECT_EQ(resp->write_body, aos_write_memory_body);
    EXPECT_EQ(req->read_body, aos_read_memory_body);
    return {req->proto, req->host, req->uri, req->resource, req};
  }

  oss_request_options* options_ = nullptr;
};

TEST_F(StorageHttpIo, InitialisationValues) {
  EXPECT_STREQ(aos_http_io_user_agent(), "storage-client-c/3.1.0(Compatible Unknown)");
  aos_http_limits* limits = aos_http_io_limits();
  ASSERT_NE(limits, nullptr);
  EXPECT_EQ(limits->low_speed_limit, 1024);
  EXPECT_EQ(limits->low_speed_time, 15);
  EXPECT_EQ(limits->dns_cache_timeout, 60);
  EXPECT_EQ(limits->connect_timeout, 10);
  EXPECT_EQ(limits->max_memory_size, int64_t{1} << 30);

  // Every controller shares the one limits record; options bring a zeroed configuration.
  aos_http_controller* ctl = aos_http_controller_create(pool_, 0);
  EXPECT_EQ(ctl->limits, limits);
  EXPECT_EQ(ctl->pool, pool_);
  EXPECT_EQ(ctl->error_code, 0);
  EXPECT_EQ(ctl->start_time, 0);
  EXPECT_EQ(ctl->owner, 0u);
  oss_request_options* own = oss_request_options_create(nullptr);
  ASSERT_NE(own, nullptr);
  ASSERT_NE(own->pool, nullptr);
  EXPECT_EQ(own->config->endpoint.len, 0);
  EXPECT_EQ(own->config->is_cname, 0);
  EXPECT_EQ(own->ctl, nullptr);
  apr_pool_destroy(own->pool);
}

TEST_F(StorageHttpIo, TheThirtyThirdReleasedHandleIsDestroyedAndCachedOnesAreReused) {
  aos_http_io_handle_stats start = aos_http_io_handles();
  ASSERT_EQ(start.cached, 0);
  std::vector<CURL*> handles;
  for (int i = 0; i < AOS_REQUEST_STACK_SIZE + 1; ++i) handles.push_back(aos_request_get_handle());
  EXPECT_EQ(aos_http_io_handles().created, start.created + 33);
  for (CURL* h : handles) aos_request_release_handle(h);
  aos_http_io_handle_stats full = aos_http_io_handles();
  EXPECT_EQ(full.cached, 32);
  EXPECT_EQ(full.destroyed, start.destroyed + 1);

  // The most recently cached handle comes back first, and no new one is made.
  CURL* again = aos_request_get_handle();
  EXPECT_EQ(again, handles[31]);
  EXPECT_EQ(aos_http_io_handles().created, full.created);
  EXPECT_EQ(aos_http_io_handles().cached, 31);
  aos_request_release_handle(again);

  // Shutdown destroys every cached handle; a new initialisation starts with an empty cache.
  aos_http_io_shutdown();
  EXPECT_EQ(aos_http_io_handles().destroyed, full.destroyed + 32);
  EXPECT_EQ(aos_http_io_handles().cached, 0);
  ASSERT_EQ(aos_http_io_initialize(), 0);
}

TEST_F(StorageHttpIo, MemoryReaderWalksAndConsumesTheBody) {
  aos_http_request* req = aos_http_request_create(pool_);
  for (const char* piece : {"abc", "", "defgh", "i"})
    aos_list_add_tail(&req->body, &node(piece)->node);
  char buf[16] = {};
  EXPECT_EQ(aos_read_memory_body(req, buf, 0), 0);
  EXPECT_EQ(aos_read_memory_body(req, buf, 4), 4);
  EXPECT_EQ(std::string(buf, 4), "abcd");
  EXPECT_EQ(aos_read_memory_body(req, buf, 16), 5);
  EXPECT_EQ(std::string(buf, 5), "efghi");
  EXPECT_TRUE(aos_list_empty(&req->body));
  EXPECT_EQ(aos_read_memory_body(req, buf, 16), 0);
}

// Bytes of storage the body list holds, node records included.
int64_t listFootprint(aos_list* body, int* nodes) {
  int64_t total = 0;
  *nodes = 0;
  for (aos_list* n = body->next; n != body; n = n->next) {
    auto* c = reinterpret_cast<aos_chunk*>(n);
    total += static_cast<int64_t>(sizeof(aos_chunk)) + (c->end - c->start);
    ++*nodes;
  }
  return total;
}

TEST_F(StorageHttpIo, MemoryWriterKeepsOrderInFewNodesCloseToTheBodySize) {
  std::string object(9 * 1024 * 1024 + 333, '\0');
  for (size_t i = 0; i < object.size(); ++i) object[i] = static_cast<char>(i * 131 + i / 7);

  for (bool announced : {true, false}) {
    aos_http_response* resp = aos_http_response_create(pool_);
    resp->status = 200;
    if (announced) resp->content_length = static_cast<int64_t>(object.size());
    // Uneven pieces as a transfer delivers them.
    for (size_t at = 0, piece = 1; at < object.size(); piece = piece % 40000 * 3 + 1) {
      size_t n = std::min(piece, object.size() - at);
      ASSERT_EQ(aos_write_memory_body(resp, object.data() + at, static_cast<int>(n)),
                static_cast<int>(n));
      at += n;
    }
    EXPECT_EQ(resp->body_len, static_cast<int64_t>(object.size()));
    std::string back;
    for (aos_list* n = resp->body.next; n != &resp->body; n = n->next) {
      auto* c = reinterpret_cast<aos_chunk*>(n);
      back.append(c->pos, aos_chunk_data_len(c));
    }
    EXPECT_TRUE(back == object) << announced;
    int nodes = 0;
    int64_t footprint = listFootprint(&resp->body, &nodes);
    EXPECT_LE(footprint, static_cast<int64_t>(object.size() * 1.05)) << announced;
    EXPECT_LE(nodes, announced ? 1 : 40) << announced;
  }

  // A piece larger than any node gets a node of its own size; an error body's announced length
  // does not make the writer take more than the error-body limit.
  aos_http_response* resp = aos_http_response_create(pool_);
  resp->status = 404;
  resp->content_length = int64_t{1} << 40;
  ASSERT_EQ(aos_write_memory_body(resp, "x", 1), 1);
  auto* first = reinterpret_cast<aos_chunk*>(resp->body.next);
  EXPECT_LE(first->end - first->start, AOS_MAX_ERROR_BODY_SIZE);
  EXPECT_EQ(aos_write_memory_body(resp, object.data(), static_cast<int>(object.size())),
            static_cast<int>(object.size()));
  EXPECT_EQ(resp->body_len, static_cast<int64_t>(object.size()) + 1);
  EXPECT_EQ(aos_write_memory_body(resp, "y", 0), 0);
}

TEST_F(StorageHttpIo, SchemePrefixAndObjectPlacement) {
  Placed p = place("https://oss.example.com");
  EXPECT_EQ(p.proto, "https://");
  EXPECT_EQ(p.host, "bkt.oss.example.com");
  EXPECT_EQ(p.uri, "dir/obj.BIN");
  EXPECT_EQ(p.resource, "bkt/dir/obj.BIN");

  p = place("http://oss.example.com");
  EXPECT_EQ(p.proto, "http://");
  EXPECT_EQ(p.host, "bkt.oss.example.com");

  p = place("oss.example.com");
  EXPECT_EQ(p.proto, "");
  EXPECT_EQ(p.host, "bkt.oss.example.com");

  // Only a whole prefix counts.
  p = place("http");
  EXPECT_EQ(p.proto, "");
  EXPECT_EQ(p.host, "bkt.http");
  p = place("https:/x");
  EXPECT_EQ(p.proto, "");
  EXPECT_EQ(p.host, "bkt.https:/x");

  // Dotted IPv4 endpoints use path style, with or without a port; 0.0.0.0 and the broadcast
  // address count as names.
  for (const char* ip : {"10.1.2.3", "http://127.0.0.1:18080"}) {
    p = place(ip);
    std::string bare = std::strncmp(ip, "http://", 7) == 0 ? ip + 7 : ip;
    EXPECT_EQ(p.host, bare) << ip;
    EXPECT_EQ(p.uri, "bkt/dir/obj.BIN") << ip;
    EXPECT_EQ(p.resource, "bkt/dir/obj.BIN") << ip;
  }
  for (const char* name : {"0.0.0.0", "255.255.255.255", "1.2.3.4:x", "localhost:18080"}) {
    p = place(name);
    EXPECT_EQ(p.host, std::string("bkt.") + name) << name;
    EXPECT_EQ(p.uri, "dir/obj.BIN") << name;
  }

  // A CNAME endpoint names the bucket itself: neither host nor URI carry it, the resource does.
  p = place("https://cdn.example.com", 1);
  EXPECT_EQ(p.proto, "https://");
  EXPECT_EQ(p.host, "cdn.example.com");
  EXPECT_EQ(p.uri, "dir/obj.BIN");
  EXPECT_EQ(p.resource, "bkt/dir/obj.BIN");
}

TEST_F(StorageHttpIo, SigningFailureSendsNothing) {
  options_->config->endpoint = aos_span_of("no-such-host.invalid");
  aos_span b = aos_span_of("bkt");
  std::string longKey(2100, 'k');
  aos_span o = aos_span_of(longKey.c_str());
  aos_list body;
  aos_list_init(&body);
  apr_table_t* headers = nullptr;
  aos_http_io_handle_stats before = aos_http_io_handles();
  aos_status* s = oss_fetch_object_to_memory(options_, &b, &o, nullptr, nullptr, &body, &headers);
  EXPECT_EQ(s->code, aos_err_invalid_argument);
  EXPECT_STREQ(s->error_code, AOS_CLIENT_ERROR_CODE);
  EXPECT_EQ(s->error_msg, nullptr);
  EXPECT_EQ(s->req_id, nullptr);
  EXPECT_TRUE(aos_list_empty(&body));
  ASSERT_NE(headers, nullptr);
  EXPECT_TRUE(apr_is_empty_table(headers));
  // No transport was made: no handle was taken.
  EXPECT_EQ(aos_http_io_handles().created, before.created);
  EXPECT_EQ(options_->ctl->error_code, 0);
}

// A transport that answers from a script instead of the network.
struct Script {
  int result;
  int status;
  const char* body;
  const char* idHeader;
  const char* idValue;
};
Script g_script;

aos_curl_http_transport* scriptedNew(apr_pool_t* pool) {
  return static_cast<aos_curl_http_transport*>(apr_pcalloc(pool, sizeof(aos_curl_http_transport)));
}

int scriptedPerform(aos_curl_http_transport* t) {
  if (g_script.result != 0) {
    t->controller->error_code = g_script.result;
    t->controller->reason = "scripted failure";
    return g_script.result;
  }
  t->resp->status = g_script.status;
  if (g_script.idHeader != nullptr) {
    apr_table_add(t->resp->headers, g_script.idHeader, g_script.idValue);
  }
  if (g_script.body != nullptr) {
    aos_write_memory_body(t->resp, g_script.body, static_cast<int>(std::strlen(g_script.body)));
  }
  return 0;
}

TEST_F(StorageHttpIo, PerformOutcomesBecomeStatuses) {
  aos_transport_create_fn savedNew = aos_http_transport_create;
  aos_transport_perform_fn savedPerform = aos_http_transport_perform;
  aos_http_transport_create = scriptedNew;
  aos_http_transport_perform = scriptedPerform;
  options_->config->endpoint = aos_span_of("oss.example.com");
  options_->config->access_key_id = aos_span_of("id");
  options_->config->access_key_secret = aos_span_of("secret");

  auto run = [&](Script s, aos_list* body) {
    g_script = s;
    aos_span b = aos_span_of("bkt");
    aos_span o = aos_span_of("obj");
    aos_list_init(body);
    return oss_fetch_object_to_memory(options_, &b, &o, nullptr, nullptr, body, nullptr);
  };
  aos_list body;
  aos_status* s = run({0, 204, nullptr, "x-oss-request-id", "A"}, &body);
  EXPECT_EQ(s->code, 204);
  EXPECT_TRUE(aos_status_is_ok(s));
  EXPECT_EQ(s->error_code, nullptr);
  EXPECT_STREQ(s->req_id, "A");

  for (int code : {199, 300, 404}) {
    s = run({0, code, nullptr, "x-img-request-id", "IMG"}, &body);
    EXPECT_EQ(s->code, code);
    EXPECT_FALSE(aos_status_is_ok(s));
    EXPECT_STREQ(s->error_code, AOS_UNKNOWN_ERROR_CODE);
    EXPECT_STREQ(s->req_id, "IMG");
  }

  s = run(
      {0, 403, "<Error><Code>AccessDenied</Code><Message>no</Message></Error>", nullptr, nullptr},
      &body);
  EXPECT_EQ(s->code, 403);
  EXPECT_STREQ(s->error_code, "AccessDenied");
  EXPECT_STREQ(s->error_msg, "no");
  EXPECT_STREQ(s->req_id, "");
  EXPECT_FALSE(aos_list_empty(&body));

  s = run({aos_err_transfer, 0, nullptr, nullptr, nullptr}, &body);
  EXPECT_EQ(s->code, aos_err_transfer);
  EXPECT_STREQ(s->error_code, AOS_HTTP_IO_ERROR_CODE);
  EXPECT_STREQ(s->error_msg, "scripted failure");
  EXPECT_STREQ(s->req_id, "");
  EXPECT_TRUE(aos_list_empty(&body));

  aos_http_transport_create = savedNew;
  aos_http_transport_perform = savedPerform;
}

}  // namespace
