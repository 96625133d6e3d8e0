// Fetch throughput of the storage client into its body list against `curl -s -o /dev/null` on
// the same loopback URL, in alternating rounds of one run; then the handle count over 100
// sequential fetches and the body list's memory against the object size.
//
//   storage_fetch_bench [--mib N] [--rounds R]
#include <apr_allocator.h>
#include <apr_pools.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "storage_client/aos_chunk.h"
#include "storage_client/aos_http_io.h"
#include "storage_client/aos_status.h"
#include "storage_client/oss_util.h"
#include "support/canned_http_server.h"

namespace {

using Clock = std::chrono::steady_clock;

struct Fetched {
  bool ok;
  double seconds;
  int64_t length;
  int64_t footprint;  // node records and their storage
  int nodes;
  bool same;
};

// With `fresh`, the pool has an allocator of its own that goes with it, so every fetch receives
// into memory new to the process (as the updater's one download does); otherwise the process
// allocator hands back what the previous fetch's pool left.
Fetched fetchOnce(const std::string& endpoint, const char* key, const std::string* expected,
                  bool fresh = false) {
  apr_pool_t* pool = nullptr;
  if (fresh) {
    apr_allocator_t* allocator = nullptr;
    apr_allocator_create(&allocator);
    apr_pool_create_ex(&pool, nullptr, nullptr, allocator);
    apr_allocator_owner_set(allocator, pool);
  } else {
    apr_pool_create_ex(&pool, nullptr, nullptr, nullptr);
  }
  oss_request_options* options = oss_request_options_create(pool);
  options->config->endpoint = aos_span_of(endpoint.c_str());
  options->config->access_key_id = aos_span_of("bench-id");
  options->config->access_key_secret = aos_span_of("bench-secret");
  options->ctl = aos_http_controller_create(options->pool, 0);
  aos_span bucket = aos_span_of("bench");
  aos_span object = aos_span_of(key);
  aos_list body;
  aos_list_init(&body);
  auto start = Clock::now();
  aos_status* s =
      oss_fetch_object_to_memory(options, &bucket, &object, nullptr, nullptr, &body, nullptr);
  Fetched f{};
  f.seconds = std::chrono::duration<double>(Clock::now() - start).count();
  f.ok = aos_status_is_ok(s);
  f.length = aos_body_length(&body);
  f.same = expected != nullptr && f.length == static_cast<int64_t>(expected->size());
  size_t at = 0;
  for (aos_list* n = body.next; n != &body; n = n->next) {
    auto* c = reinterpret_cast<aos_chunk*>(n);
    size_t len = aos_chunk_data_len(c);
    if (f.same && std::memcmp(c->pos, expected->data() + at, len) != 0) f.same = false;
    at += len;
    f.footprint += static_cast<int64_t>(sizeof(aos_chunk)) + (c->end - c->start);
    ++f.nodes;
  }
  apr_pool_destroy(pool);
  return f;
}

double curlOnce(const std::string& url) {
  std::string cmd = "curl -s -o /dev/null '" + url + "'";
  auto start = Clock::now();
  int rc = std::system(cmd.c_str());
  double seconds = std::chrono::duration<double>(Clock::now() - start).count();
  return rc == 0 ? seconds : -1;
}

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
  size_t mib = 256;
  int rounds = 7;
  for (int i = 1; i + 1 < argc; i += 2) {
    if (!std::strcmp(argv[i], "--mib")) mib = std::strtoul(argv[i + 1], nullptr, 10);
    if (!std::strcmp(argv[i], "--rounds")) rounds = std::atoi(argv[i + 1]);
  }
  if (aos_http_io_initialize() != 0) return 1;

  std::string object(mib << 20, '\0');
  uint64_t x = 88172645463325252ull;
  for (size_t i = 0; i + 8 <= object.size(); i += 8) {
    x ^= x << 13;
    x ^= x >> 7;
    x ^= x << 17;
    std::memcpy(&object[i], &x, 8);
  }
  const std::string small = "small object";

  testsupport::CannedHttpServer server(
      [&](const testsupport::CannedRequest& r, testsupport::CannedConnection& c) {
        if (r.target == "/small") {
          c.respond(200, small);
          return;
        }
        bool announce = r.target != "/unannounced";
        std::string head = "HTTP/1.1 200 OK\r\n";
        if (announce) head += "Content-Length: " + std::to_string(object.size()) + "\r\n";
        head += "Connection: close\r\n\r\n";
        if (!c.send(head)) return;
        constexpr size_t kPiece = 4 << 20;
        for (size_t at = 0; at < object.size(); at += kPiece) {
          if (!c.send(object.data() + at, std::min(kPiece, object.size() - at))) return;
        }
      });
  std::string endpoint = "localhost:" + std::to_string(server.port());
  std::string url = "http://bench." + endpoint + "/obj";

  Fetched first = fetchOnce(endpoint, "obj", &object, true);
  if (!first.ok || !first.same) {
    std::fprintf(stderr, "storage_fetch_bench: the first fetch failed or differs\n");
    return 1;
  }
  std::vector<double> fresh, reused, peer;
  for (int i = 0; i < rounds; ++i) {
    Fetched f = fetchOnce(endpoint, "obj", nullptr, true);
    Fetched r = fetchOnce(endpoint, "obj", nullptr, false);
    double c = curlOnce(url);
    if (!f.ok || !r.ok || f.length != static_cast<int64_t>(object.size()) || c < 0) {
      std::fprintf(stderr, "storage_fetch_bench: round %d failed\n", i);
      return 1;
    }
    fresh.push_back(f.seconds);
    reused.push_back(r.seconds);
    peer.push_back(c);
  }
  double mb = static_cast<double>(object.size()) / (1 << 20);
  double freshMedian = median(fresh), reusedMedian = median(reused), peerMedian = median(peer);
  std::printf("object %zu MiB, %d rounds, loopback http://bench.localhost:PORT/obj\n", mib, rounds);
  std::printf("  storage client, fresh memory : median %.3f s  %5.0f MiB/s  ratio %.2f\n",
              freshMedian, mb / freshMedian, peerMedian / freshMedian);
  std::printf("  storage client, reused memory: median %.3f s  %5.0f MiB/s  ratio %.2f\n",
              reusedMedian, mb / reusedMedian, peerMedian / reusedMedian);
  std::printf("  curl -s -o /dev/null         : median %.3f s  %5.0f MiB/s\n", peerMedian,
              mb / peerMedian);
  Fetched& cold = first;

  Fetched unannounced = fetchOnce(endpoint, "unannounced", &object);
  std::printf(
      "body list memory: with Content-Length %.4fx in %d nodes; without %.4fx in %d nodes\n",
      static_cast<double>(cold.footprint) / static_cast<double>(object.size()), cold.nodes,
      static_cast<double>(unannounced.footprint) / static_cast<double>(object.size()),
      unannounced.nodes);
  if (!unannounced.same) std::fprintf(stderr, "storage_fetch_bench: unannounced body differs\n");

  aos_http_io_handle_stats before = aos_http_io_handles();
  int good = 0;
  for (int i = 0; i < 100; ++i) good += fetchOnce(endpoint, "small", nullptr).ok;
  aos_http_io_handle_stats after = aos_http_io_handles();
  std::printf(
      "100 sequential fetches: %d ok, %lld handles created, %d cached (%lld created in all)\n",
      good, static_cast<long long>(after.created - before.created), after.cached,
      static_cast<long long>(after.created));
  aos_http_io_shutdown();
  return good == 100 && unannounced.same ? 0 : 1;
}
