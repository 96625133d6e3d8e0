// The memory body writer, and where an object request is placed.
#include <apr_tables.h>
#include <gtest/gtest.h>

#include <string>

#include "storage_client/aos_chunk.h"
#include "storage_client/aos_http_io.h"
#include "storage_client/aos_transport.h"
#include "storage_client/oss_util.h"
#include "support/storage_fixture.h"

namespace {

using StorageHttpIo = testsupport::StorageClientTest;

// A 9 MiB body in uneven pieces comes back in order, in storage close to its own size: one node
// when the length was announced, few when not.
TEST_F(StorageHttpIo, MemoryWriterKeepsOrderInFewNodesCloseToTheBodySize) {
  std::string object(9 * 1024 * 1024 + 333, '\0');
  for (size_t i = 0; i < object.size(); ++i) object[i] = static_cast<char>(i * 131 + i / 7);
  for (bool announced : {true, false}) {
    aos_http_response* resp = aos_http_response_create(pool_);
    resp->status = 200;
    if (announced) resp->content_length = static_cast<int64_t>(object.size());
    for (size_t at = 0, piece = 1; at < object.size(); piece = piece % 40000 * 3 + 1) {
      size_t n = std::min(piece, object.size() - at);
      ASSERT_EQ(aos_write_memory_body(resp, object.data() + at, static_cast<int>(n)),
                static_cast<int>(n));
      at += n;
    }
    std::string back;
    int64_t footprint = 0;
    int nodes = 0;
    for (aos_list* n = resp->body.next; n != &resp->body; n = n->next, ++nodes) {
      auto* c = reinterpret_cast<aos_chunk*>(n);
      back.append(c->pos, aos_chunk_data_len(c));
      footprint += static_cast<int64_t>(sizeof(aos_chunk)) + (c->end - c->start);
    }
    EXPECT_TRUE(back == object) << announced;
    EXPECT_LE(footprint, static_cast<int64_t>(object.size() * 1.05)) << announced;
    EXPECT_LE(nodes, announced ? 1 : 40) << announced;
  }
}

TEST_F(StorageHttpIo, SchemePrefixAndObjectPlacement) {
  struct Case {
    const char* endpoint;
    int cname;
    const char *proto, *host, *uri;
  } cases[] = {
      {"https://oss.example.com", 0, "https://", "bkt.oss.example.com", "dir/obj.BIN"},
      // Only a whole prefix counts: no scheme, a name.
      {"https:/x", 0, "", "bkt.https:/x", "dir/obj.BIN"},
      // Dotted IPv4 endpoints use path style; 0.0.0.0 and the broadcast address are names.
      {"10.1.2.3", 0, "", "10.1.2.3", "bkt/dir/obj.BIN"},
      {"http://127.0.0.1:18080", 0, "http://", "127.0.0.1:18080", "bkt/dir/obj.BIN"},
      {"0.0.0.0", 0, "", "bkt.0.0.0.0", "dir/obj.BIN"},
      {"1.2.3.4:x", 0, "", "bkt.1.2.3.4:x", "dir/obj.BIN"},
      // A CNAME endpoint names the bucket itself.
      {"https://cdn.example.com", 1, "https://", "cdn.example.com", "dir/obj.BIN"},
  };
  for (const Case& k : cases) {
    options_->config->endpoint = aos_span_of(k.endpoint);
    options_->config->is_cname = k.cname;
    aos_span b = aos_span_of("bkt");
    aos_span o = aos_span_of("dir/obj.BIN");
    aos_http_request* req = nullptr;
    aos_http_response* resp = nullptr;
    oss_prepare_object_request(options_, &b, &o, apr_table_make(pool_, 2), apr_table_make(pool_, 2),
                               &req, &resp);
    EXPECT_STREQ(req->proto, k.proto) << k.endpoint;
    EXPECT_STREQ(req->host, k.host) << k.endpoint;
    EXPECT_STREQ(req->uri, k.uri) << k.endpoint;
    EXPECT_STREQ(req->resource, "bkt/dir/obj.BIN") << k.endpoint;
  }
}

}  // namespace
