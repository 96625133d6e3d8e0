// The HTTP transport on libcurl's easy interface: one transport carries one request, fills the
// response (status, headers, body) and records errors and timings in the controller. Internal to
// the storage client; callers reach it through the transport slots of aos_http_io.
#pragma once

#include <apr_file_io.h>
#include <apr_pools.h>
#include <apr_tables.h>
#include <curl/curl.h>

#include <cstddef>
#include <cstdint>

#include "aos_http_io.h"

// Error bodies (status outside 200-299) are kept up to this size; past it the transfer stops.
inline constexpr int64_t AOS_MAX_ERROR_BODY_SIZE = 1 << 20;
// The receive (and, for a PUT, send) buffer asked of libcurl: fewer, larger body pieces.
inline constexpr long AOS_CURL_BUFFER_SIZE = 1 << 20;

struct aos_body_file {
  apr_file_t* file;
  uint32_t owner : 1;
};

enum aos_transport_state : int32_t {
  TRANS_STATE_INIT = 0,
  TRANS_STATE_HEADER = 1,
  TRANS_STATE_BODY_IN = 2,
  TRANS_STATE_BODY_OUT = 3,
  TRANS_STATE_DONE = 5,
};

// Clean-up entry kinds: 1 and 3 call func(data), 2 and 4 call func() without argument.
struct aos_cleanup_entry {
  void* data;
  void (*func)(void*);
  int32_t kind;
};

struct aos_curl_http_transport {
  aos_http_request* req;
  aos_http_response* resp;
  apr_pool_t* pool;
  int32_t state;
  apr_array_header_t* cleanup;
  const char* user_agent;
  aos_http_controller* controller;
  CURL* curl;
  char* url;
  curl_slist* headers;
  curl_write_callback header_callback;
  curl_read_callback read_callback;
  curl_write_callback write_callback;
  // Set when an error body reached its size limit and the transfer was stopped on purpose.
  bool error_body_capped;
};

aos_curl_http_transport* aos_curl_http_transport_new(apr_pool_t* pool);
int aos_curl_http_transport_perform(aos_curl_http_transport* t);
int aos_curl_transport_setup(aos_curl_http_transport* t);
int aos_build_curl_header_list(aos_curl_http_transport* t);
int aos_build_request_url(aos_curl_http_transport* t);
void aos_curl_read_response_status(aos_curl_http_transport* t);
int aos_curl_result_to_error(CURLcode code);
void aos_transport_cleanup(void* transport);
// Pops and runs every clean-up entry, the last pushed first.
void aos_transport_run_cleanup(aos_curl_http_transport* t);

size_t aos_curl_header_line_callback(char* data, size_t size, size_t count, void* transport);
size_t aos_curl_default_write_callback(char* data, size_t size, size_t count, void* transport);
size_t aos_curl_body_read_callback(char* buffer, size_t size, size_t count, void* transport);

// One received header line, split: bytes of 0x20 or less are dropped at both ends, the name is
// what precedes the first colon (unchanged), the value what follows it without surrounding spaces
// and tabs. False for a line without a colon (the status line, the empty line at the end).
struct aos_header_field {
  const char* name;
  size_t name_len;
  const char* value;
  size_t value_len;
};
bool aos_parse_header_line(const char* data, size_t len, aos_header_field* out);

// The handle cache of aos_http_io: a cached handle comes back reset, otherwise a new one is made;
// a handle released into a full cache (32 waiting) is destroyed.
CURL* aos_request_get_handle();
void aos_request_release_handle(CURL* handle);
