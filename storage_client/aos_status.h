// The outcome of one storage operation: the HTTP status or a negative client error code, with
// the service's error code and message when it sent an error body.
#pragma once

#include <apr_pools.h>

#include <cstdint>

#include "aos_chunk.h"

enum aos_error_code : int32_t {
  aos_err_out_of_memory = -1000,
  aos_err_memory_limit = -999,
  aos_err_connect = -998,
  aos_err_internal = -996,
  aos_err_invalid_argument = -994,
  aos_err_transfer = -992,
  aos_err_setup = -991,
  aos_err_name_lookup = -990,
  aos_err_peer_verification = -989,
  aos_err_write_body = -988,
  aos_err_read_body = -987,
};

inline constexpr const char* AOS_CLIENT_ERROR_CODE = "ClientError";
inline constexpr const char* AOS_HTTP_IO_ERROR_CODE = "HttpIoError";
inline constexpr const char* AOS_UNKNOWN_ERROR_CODE = "UnknownError";

struct aos_status {
  int32_t code;
  char* error_code;
  char* error_msg;
  char* req_id;
};

// A zeroed status from the pool.
aos_status* aos_status_create(apr_pool_t* pool);

// 200 to 299.
bool aos_status_is_ok(const aos_status* status);

// Fills code, and for a response outside 200-299, error code and message from the service's XML
// error body. With no status given, one is taken from the pool.
aos_status* aos_status_parse_from_body(apr_pool_t* pool, aos_list* body, int32_t code,
                                       aos_status* status);
