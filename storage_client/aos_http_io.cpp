#include "aos_http_io.h"

#include <apr_general.h>
#include <apr_strings.h>
#include <apr_thread_mutex.h>
#include <curl/curl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>

#include "aos_log.h"
#include "aos_status.h"
#include "aos_transport.h"

namespace {

constexpr const char* kFile = "aos_http_io";

// Node sizes of the memory body writer. With an announced length the nodes follow it (at most
// kMaxNode each); without one they grow with the body, so the unused tail of the last node stays
// below max(kMinNode, body / kGrowthShare).
constexpr int64_t kMinNode = 256 * 1024;
constexpr int64_t kMaxNode = 16 * 1024 * 1024;
constexpr int64_t kGrowthShare = 32;

// The client's process-wide state, valid from a successful initialisation to shutdown.
struct aos_http_io_globals {
  apr_pool_t* pool = nullptr;
  apr_thread_mutex_t* requests_lock = nullptr;
  CURL* requests[AOS_REQUEST_STACK_SIZE] = {};
  int request_count = 0;
  char user_agent[AOS_USER_AGENT_LEN] = {};
  aos_http_limits* limits = nullptr;
  std::atomic<int64_t> handles_created{0};
  std::atomic<int64_t> handles_destroyed{0};
};

aos_http_io_globals& globals() {
  static aos_http_io_globals g;
  return g;
}

void log_apr_failure(const char* what, apr_status_t rv) {
  char reason[256];
  apr_strerror(rv, reason, sizeof reason);
  aos_log_at(AOS_LOG_ERROR, kFile, "aos_http_io_initialize", "%s failure, code:%d %s.\n", what, rv,
             reason);
}

void destroy_handle(CURL* handle) {
  curl_easy_cleanup(handle);
  globals().handles_destroyed.fetch_add(1, std::memory_order_relaxed);
}

// A large node is about to be filled whole: its pages are made present in one call, in large
// pages where the kernel has them, instead of one fault per 4 KiB page as the copy reaches them
// (most of a big download's cost in fresh memory). Only hints; a kernel without them changes
// nothing.
void prefault(aos_chunk* node) {
#ifdef MADV_POPULATE_WRITE
  constexpr ptrdiff_t kWorthIt = 1 << 20;
  if (node->end - node->start < kWorthIt) return;
  const uintptr_t page = static_cast<uintptr_t>(sysconf(_SC_PAGESIZE));
  uintptr_t from = (reinterpret_cast<uintptr_t>(node->start) + page - 1) & ~(page - 1);
  uintptr_t to = reinterpret_cast<uintptr_t>(node->end) & ~(page - 1);
  if (to > from) {
    madvise(reinterpret_cast<void*>(from), to - from, MADV_HUGEPAGE);
    madvise(reinterpret_cast<void*>(from), to - from, MADV_POPULATE_WRITE);
  }
#else
  (void)node;
#endif
}

}  // namespace

aos_transport_create_fn aos_http_transport_create = aos_curl_http_transport_new;
aos_transport_perform_fn aos_http_transport_perform = aos_curl_http_transport_perform;

aos_http_request* aos_http_request_create(apr_pool_t* pool) {
  auto* req = static_cast<aos_http_request*>(apr_pcalloc(pool, sizeof(aos_http_request)));
  req->proto = "";
  req->method = HTTP_GET;
  req->headers = apr_table_make(pool, 5);
  req->query_params = apr_table_make(pool, 3);
  aos_list_init(&req->body);
  req->pool = pool;
  req->read_body = aos_read_memory_body;
  return req;
}

aos_http_response* aos_http_response_create(apr_pool_t* pool) {
  auto* resp = static_cast<aos_http_response*>(apr_pcalloc(pool, sizeof(aos_http_response)));
  resp->status = -1;
  resp->headers = apr_table_make(pool, 10);
  aos_list_init(&resp->body);
  resp->pool = pool;
  resp->write_body = aos_write_memory_body;
  resp->type = 0;
  return resp;
}

int aos_http_io_initialize() {
  aos_http_io_globals& g = globals();
  CURLcode c = curl_global_init(CURL_GLOBAL_SSL);
  if (c != CURLE_OK) {
    aos_log_at(AOS_LOG_ERROR, kFile, "aos_http_io_initialize",
               "curl_global_init failure, code:%d %s.\n", c, curl_easy_strerror(c));
    return aos_err_internal;
  }
  if (apr_initialize() != APR_SUCCESS) {
    aos_log_at(AOS_LOG_ERROR, kFile, "aos_http_io_initialize", "apr_initialize failue.\n");
    return aos_err_internal;
  }
  if (apr_status_t rv = apr_pool_create_ex(&g.pool, nullptr, nullptr, nullptr); rv != APR_SUCCESS) {
    log_apr_failure("aos_pool_create", rv);
    return aos_err_internal;
  }
  if (apr_status_t rv = apr_thread_mutex_create(&g.requests_lock, APR_THREAD_MUTEX_DEFAULT, g.pool);
      rv != APR_SUCCESS) {
    log_apr_failure("apr_thread_mutex_create", rv);
    return aos_err_internal;
  }
  g.request_count = 0;
  apr_snprintf(g.user_agent, AOS_USER_AGENT_LEN, "%s(Compatible %s)", AOS_VER, AOS_PLATFORM);
  if (apr_status_t rv = aos_log_open_file(g.pool); rv != APR_SUCCESS) {
    log_apr_failure("apr_file_open_stderr", rv);
    return aos_err_internal;
  }
  auto* limits = static_cast<aos_http_limits*>(apr_pcalloc(g.pool, sizeof(aos_http_limits)));
  limits->low_speed_limit = 1024;
  limits->low_speed_time = 15;
  limits->dns_cache_timeout = 60;
  limits->connect_timeout = 10;
  limits->max_memory_size = int64_t{1} << 30;
  g.limits = limits;
  return 0;
}

void aos_http_io_shutdown() {
  aos_http_io_globals& g = globals();
  if (g.requests_lock != nullptr) {
    apr_thread_mutex_destroy(g.requests_lock);
    g.requests_lock = nullptr;
  }
  while (g.request_count > 0) destroy_handle(g.requests[--g.request_count]);
  aos_log_close_file();
  if (g.pool != nullptr) {
    apr_pool_destroy(g.pool);
    g.pool = nullptr;
    apr_terminate();
  }
  g.limits = nullptr;
}

aos_http_controller* aos_http_controller_create(apr_pool_t* pool, int owner) {
  if (pool == nullptr && apr_pool_create_ex(&pool, nullptr, nullptr, nullptr) != APR_SUCCESS) {
    aos_log_at(AOS_LOG_POOL, kFile, "aos_http_controller_create", "aos_pool_create failure.");
    return nullptr;
  }
  auto* ctl = static_cast<aos_http_controller*>(apr_pcalloc(pool, sizeof(aos_http_controller)));
  ctl->limits = globals().limits;
  ctl->pool = pool;
  ctl->owner = owner != 0;
  return ctl;
}

aos_http_limits* aos_http_io_limits() {
  return globals().limits;
}

const char* aos_http_io_user_agent() {
  return globals().user_agent;
}

aos_http_io_handle_stats aos_http_io_handles() {
  aos_http_io_globals& g = globals();
  aos_http_io_handle_stats stats{};
  stats.created = g.handles_created.load(std::memory_order_relaxed);
  stats.destroyed = g.handles_destroyed.load(std::memory_order_relaxed);
  if (g.requests_lock != nullptr) apr_thread_mutex_lock(g.requests_lock);
  stats.cached = g.request_count;
  if (g.requests_lock != nullptr) apr_thread_mutex_unlock(g.requests_lock);
  return stats;
}

CURL* aos_request_get_handle() {
  aos_http_io_globals& g = globals();
  CURL* handle = nullptr;
  // Without initialisation there is no lock and no cache: every handle is new and is destroyed.
  if (g.requests_lock != nullptr) {
    apr_thread_mutex_lock(g.requests_lock);
    if (g.request_count > 0) handle = g.requests[--g.request_count];
    apr_thread_mutex_unlock(g.requests_lock);
  }
  if (handle != nullptr) {
    curl_easy_reset(handle);
    return handle;
  }
  handle = curl_easy_init();
  if (handle != nullptr) g.handles_created.fetch_add(1, std::memory_order_relaxed);
  return handle;
}

void aos_request_release_handle(CURL* handle) {
  if (handle == nullptr) return;
  aos_http_io_globals& g = globals();
  if (g.requests_lock == nullptr) {
    destroy_handle(handle);
    return;
  }
  apr_thread_mutex_lock(g.requests_lock);
  if (g.request_count >= AOS_REQUEST_STACK_SIZE) {
    apr_thread_mutex_unlock(g.requests_lock);
    destroy_handle(handle);
    return;
  }
  g.requests[g.request_count++] = handle;
  apr_thread_mutex_unlock(g.requests_lock);
}

int aos_read_memory_body(aos_http_request* req, char* buffer, int len) {
  int copied = 0;
  aos_list* head = &req->body;
  while (copied < len && !aos_list_empty(head)) {
    auto* chunk = reinterpret_cast<aos_chunk*>(head->next);
    size_t have = aos_chunk_data_len(chunk);
    if (have == 0) {
      aos_list_del(&chunk->node);
      continue;
    }
    size_t n = std::min(have, static_cast<size_t>(len - copied));
    std::memcpy(buffer + copied, chunk->pos, n);
    chunk->pos += n;
    copied += static_cast<int>(n);
    if (aos_chunk_data_len(chunk) == 0) aos_list_del(&chunk->node);
  }
  return copied;
}

int aos_write_memory_body(aos_http_response* resp, const char* buffer, int len) {
  if (len <= 0) return 0;
  size_t n = static_cast<size_t>(len);
  aos_list* head = &resp->body;
  // The tail node's free room is filled first, so only the last node is ever left part empty.
  if (!aos_list_empty(head)) {
    auto* tail = reinterpret_cast<aos_chunk*>(head->prev);
    size_t room = static_cast<size_t>(tail->end - tail->last);
    size_t take = std::min(room, n);
    if (take > 0) {
      std::memcpy(tail->last, buffer, take);
      tail->last += take;
      buffer += take;
      n -= take;
    }
  }
  if (n > 0) {
    int64_t kept = resp->body_len + (len - static_cast<int64_t>(n));
    int64_t expected = resp->content_length - kept;
    int64_t room = expected > 0 ? std::min(expected, kMaxNode)
                                : std::clamp(kept / kGrowthShare, kMinNode, kMaxNode);
    // An error body never grows past its own limit, whatever length it announced.
    if (resp->status / 100 != 2) room = std::min(room, AOS_MAX_ERROR_BODY_SIZE);
    aos_chunk* node = aos_chunk_create(resp->pool, std::max(static_cast<size_t>(room), n));
    prefault(node);
    std::memcpy(node->last, buffer, n);
    node->last += n;
    aos_list_add_tail(head, &node->node);
  }
  resp->body_len += len;
  return len;
}

int aos_write_sink_body(aos_http_response* resp, const char* buffer, int len) {
  if (len <= 0) return 0;
  if (resp->sink == nullptr || resp->sink(resp->sink_user, reinterpret_cast<const uint8_t*>(buffer),
                                          static_cast<size_t>(len)) != 0) {
    return -1;
  }
  resp->body_len += len;
  return len;
}
