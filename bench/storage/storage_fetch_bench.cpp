// Fetch throughput of the storage client into its body list against `curl -s -o /dev/null` on
// the same loopback URL, in alternating rounds of one run; then the handle count over 100
// sequential fetches and the body list's memory against the object size. With --port it
// fetches bench/object.bin and bench/small from a running kelvora-devserver (run.sh starts one);
// otherwise from an in-process server that also sends a body without Content-Length.
//
//   storage_fetch_bench [--mib N] [--rounds R] [--port P]
#include <apr_allocator.h>
#include <apr_pools.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "storage_client/aos_chunk.h"
#include "storage_client/aos_http_io.h"
#include "storage_client/aos_status.h"
#include "storage_client/aos_util.h"
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
struct Keys {
  const char* id = "bench-id";
  const char* secret = "bench-secret";
};
Keys g_keys;

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
  options->config->access_key_id = aos_span_of(g_keys.id);
  options->config->access_key_secret = aos_span_of(g_keys.secret);
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

// The peer signs its GET as the client does: "GET\n\n\nDATE\n/bucket/key".
std::string signedHeaders(const std::string& resource) {
  char date[AOS_MAX_GMT_TIME_LEN];
  aos_get_gmt_str_time(date);
  std::string toSign = std::string("GET\n\n\n") + date + "\n" + resource;
  unsigned char digest[AOS_SHA1_DIGEST_LEN];
  aos_compute_hmac_sha1(digest, reinterpret_cast<const unsigned char*>(g_keys.secret),
                        static_cast<int>(std::strlen(g_keys.secret)),
                        reinterpret_cast<const unsigned char*>(toSign.data()),
                        static_cast<int>(toSign.size()));
  char b64[64];
  int n = aos_encode_base64(digest, AOS_SHA1_DIGEST_LEN, b64);
  return std::string(" -H 'Date: ") + date + "' -H 'Authorization: OSS " + g_keys.id + ":" +
         std::string(b64, n) + "'";
}

double curlOnce(const std::string& url, const std::string& resource) {
  std::string cmd = "curl -sf -o /dev/null" + signedHeaders(resource) + " '" + url + "'";
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
  int devserverPort = 0;
  const char* root = nullptr;
  for (int i = 1; i < argc; ++i) {
    if (!std::strcmp(argv[i], "--help")) {
      std::printf(
          "usage: storage_fetch_bench [--mib N] [--rounds R] [--port P --root DIR]\n"
          "Fetch throughput of the storage client against curl on one loopback URL, handle\n"
          "reuse over 100 fetches and body-list memory. --port: a kelvora-devserver serving\n"
          "bench/object.bin (N MiB) and bench/small with its built-in keys.\n");
      return 0;
    }
    if (i + 1 >= argc) break;
    if (!std::strcmp(argv[i], "--mib"))
      mib = std::strtoul(argv[++i], nullptr, 10);
    else if (!std::strcmp(argv[i], "--rounds"))
      rounds = std::atoi(argv[++i]);
    else if (!std::strcmp(argv[i], "--port"))
      devserverPort = std::atoi(argv[++i]);
    else if (!std::strcmp(argv[i], "--root"))
      root = argv[++i];
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

  std::string endpoint, url, resource = "/bench/obj", objectKey = "obj";
  std::unique_ptr<testsupport::CannedHttpServer> server;
  if (devserverPort != 0) {
    // The devserver reads its files at each request: write them where it serves from.
    if (root == nullptr) {
      std::fprintf(stderr, "storage_fetch_bench: --port needs --root DIR\n");
      return 2;
    }
    std::filesystem::create_directories(std::string(root) + "/bench");
    std::ofstream(std::string(root) + "/bench/object.bin", std::ios::binary) << object;
    std::ofstream(std::string(root) + "/bench/small", std::ios::binary) << small;
    g_keys = {"QX7mW2bRtNc8VdKp", "r4Tz8LmQ2vNc6XwB9sJk3HdF5yPa7G"};
    endpoint = "localhost:" + std::to_string(devserverPort);
    objectKey = "object.bin";
    resource = "/bench/object.bin";
  } else {
    server = std::make_unique<testsupport::CannedHttpServer>(
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
    endpoint = "localhost:" + std::to_string(server->port());
  }
  url = "http://bench." + endpoint + "/" + objectKey;

  Fetched first = fetchOnce(endpoint, objectKey.c_str(), &object, true);
  if (!first.ok || !first.same) {
    std::fprintf(stderr, "storage_fetch_bench: the first fetch failed or differs\n");
    return 1;
  }
  std::vector<double> fresh, reused, peer;
  for (int i = 0; i < rounds; ++i) {
    Fetched f = fetchOnce(endpoint, objectKey.c_str(), nullptr, true);
    Fetched r = fetchOnce(endpoint, objectKey.c_str(), nullptr, false);
    double c = curlOnce(url, resource);
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
  std::printf("object %zu MiB, %d rounds, %s\n", mib, rounds, url.c_str());
  std::printf("  storage client, fresh memory : median %.3f s  %5.0f MiB/s  ratio %.2f\n",
              freshMedian, mb / freshMedian, peerMedian / freshMedian);
  std::printf("  storage client, reused memory: median %.3f s  %5.0f MiB/s  ratio %.2f\n",
              reusedMedian, mb / reusedMedian, peerMedian / reusedMedian);
  std::printf("  curl -s -o /dev/null         : median %.3f s  %5.0f MiB/s\n", peerMedian,
              mb / peerMedian);
  Fetched& cold = first;

  std::printf("body list memory: with Content-Length %.4fx in %d nodes\n",
              static_cast<double>(cold.footprint) / static_cast<double>(object.size()), cold.nodes);
  bool unannouncedSame = true;
  if (server) {  // the devserver always announces its length
    Fetched unannounced = fetchOnce(endpoint, "unannounced", &object);
    unannouncedSame = unannounced.same;
    std::printf("body list memory: without Content-Length %.4fx in %d nodes\n",
                static_cast<double>(unannounced.footprint) / static_cast<double>(object.size()),
                unannounced.nodes);
    if (!unannounced.same) std::fprintf(stderr, "storage_fetch_bench: unannounced body differs\n");
  }

  aos_http_io_handle_stats before = aos_http_io_handles();
  int good = 0;
  for (int i = 0; i < 100; ++i) good += fetchOnce(endpoint, "small", nullptr).ok;
  aos_http_io_handle_stats after = aos_http_io_handles();
  std::printf(
      "100 sequential fetches: %d ok, %lld handles created, %d cached (%lld created in all)\n",
      good, static_cast<long long>(after.created - before.created), after.cached,
      static_cast<long long>(after.created));
  aos_http_io_shutdown();
  return good == 100 && unannouncedSame ? 0 : 1;
}
