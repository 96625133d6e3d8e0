// Records of the storage client: client configuration, request options and controller, request
// and response. They live in APR pools; headers and query parameters are APR tables.
#pragma once

#include <apr_pools.h>
#include <apr_tables.h>

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
  int32_t type;  // 0: body kept in memory
};

// Empty records from the pool, with empty header and parameter tables and empty bodies.
aos_http_request* aos_http_request_create(apr_pool_t* pool);
aos_http_response* aos_http_response_create(apr_pool_t* pool);
