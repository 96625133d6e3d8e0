// Records of the storage client (client configuration, request options and controller, request
// and response) and its process-wide state: initialisation, the transfer limits, the transport
// slots and the cache of idle transfer handles. Records live in APR pools; headers and query
// parameters are APR tables.
#pragma once

#include <apr_pools.h>
#include <apr_tables.h>

#include <cstddef>
#include <cstdint>

#include "aos_chunk.h"
#include "aos_string.h"

enum aos_http_method : int32_t {
  HTTP_GET = 0,
  HTTP_HEAD = 1,
  HTTP_PUT = 2,
  HTTP_POST = 3,
  HTTP_DELETE = 4,
};

struct aos_http_limits {
  int32_t low_speed_limit;    // bytes per second
  int32_t low_speed_time;     // seconds
  int32_t dns_cache_timeout;  // seconds
  int32_t connect_timeout;    // seconds
  int64_t max_memory_size;    // bytes
};

struct oss_client_config {
  aos_span endpoint;  // host name, optionally with "http://" or "https://"
  aos_span access_key_id;
  aos_span access_key_secret;
  aos_span sts_token;  // empty unless temporary credentials are used
  int32_t is_cname;
};

struct aos_http_controller {
  aos_http_limits* limits;
  apr_pool_t* pool;
  int64_t start_time;  // APR times, microseconds; 0 until set
  int64_t first_byte_time;
  int64_t finish_time;
  uint32_t owner : 1;
  void* user_data;
  int32_t error_code;
  const char* reason;
};

struct oss_request_options {
  oss_client_config* config;
  aos_http_controller* ctl;
  apr_pool_t* pool;
};

// An open body file; its contents belong to the transport.
struct aos_body_file;

struct aos_http_request;
struct aos_http_response;

using aos_read_body_fn = int (*)(aos_http_request* req, char* buffer, int len);
using aos_write_body_fn = int (*)(aos_http_response* resp, const char* buffer, int len);

struct aos_http_request {
  char* host;
  const char* proto;  // "http://", "https://" or ""
  char* signed_url;
  int32_t method;
  char* uri;
  char* resource;  // bucket, slash, object: the base of the signed resource
  apr_table_t* headers;
  apr_table_t* query_params;
  aos_list body;
  int64_t body_len;
  aos_body_file* file_buf;
  apr_pool_t* pool;
  aos_read_body_fn read_body;
};

struct aos_http_response {
  int32_t status;  // -1 until known
  apr_table_t* headers;
  aos_list body;
  int64_t body_len;
  aos_body_file* file_buf;
  int64_t content_length;
  apr_pool_t* pool;
  aos_write_body_fn write_body;
  int32_t type;  // AOS_BODY_IN_MEMORY, or AOS_BODY_TO_SINK
  // For AOS_BODY_TO_SINK: called with each piece of a 2xx body as it arrives; 0 goes on.
  int (*sink)(void* user, const uint8_t* data, size_t len);
  void* sink_user;
};

// Where a 2xx body goes. Error bodies always stay in memory, so they can be parsed.
inline constexpr int32_t AOS_BODY_IN_MEMORY = 0;  // under the memory limit of aos_http_limits
inline constexpr int32_t AOS_BODY_TO_SINK = 1;    // handed on as it arrives, never kept

inline constexpr const char* AOS_VER = "storage-client-c/3.1.0";
inline constexpr const char* AOS_PLATFORM = "Unknown";
inline constexpr int AOS_USER_AGENT_LEN = 256;
inline constexpr int AOS_REQUEST_STACK_SIZE = 32;  // idle transfer handles kept for reuse

// Empty records from the pool, with empty header and parameter tables and empty bodies.
aos_http_request* aos_http_request_create(apr_pool_t* pool);
aos_http_response* aos_http_response_create(apr_pool_t* pool);

// Once per process before any request: 0, or -996 with the failure logged (what was made so far
// stays in place).
int aos_http_io_initialize();
// Once, after the last request: the cached handles, the log file and the process pool go.
void aos_http_io_shutdown();

// With no pool given a new one is made; none when that fails. Limits are the process-wide ones.
aos_http_controller* aos_http_controller_create(apr_pool_t* pool, int owner);

// The process-wide transfer limits every controller shares (none before initialisation).
aos_http_limits* aos_http_io_limits();
// "storage-client-c/3.1.0(Compatible Unknown)".
const char* aos_http_io_user_agent();

// Handle bookkeeping of the cache, for tests and measurements.
struct aos_http_io_handle_stats {
  int64_t created;    // handles made because none was cached
  int64_t destroyed;  // handles released into a full cache, or at shutdown
  int cached;         // handles waiting in the cache now
};
aos_http_io_handle_stats aos_http_io_handles();

// The memory body reader: copies request body bytes into `buffer`, consuming the body list.
int aos_read_memory_body(aos_http_request* req, char* buffer, int len);
// The memory body writer: appends the bytes to the response body. Storage is taken in few large
// nodes (sized by the announced length when there is one), so the list stays close to the body's
// own size.
int aos_write_memory_body(aos_http_response* resp, const char* buffer, int len);
// The sink body writer: hands the bytes to resp->sink at once, so a body of any size passes
// through constant memory. -1 when the sink refuses them.
int aos_write_sink_body(aos_http_response* resp, const char* buffer, int len);

// The transport as requests reach it: through two process-wide slots.
struct aos_curl_http_transport;
using aos_transport_create_fn = aos_curl_http_transport* (*)(apr_pool_t* pool);
using aos_transport_perform_fn = int (*)(aos_curl_http_transport* transport);
extern aos_transport_create_fn aos_http_transport_create;
extern aos_transport_perform_fn aos_http_transport_perform;
