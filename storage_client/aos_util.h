// Text helpers of the storage client: HTTP dates, URL percent-encoding, the query string,
// Base64 and HMAC-SHA1.
#pragma once

#include <apr_pools.h>
#include <apr_tables.h>

#include <cstddef>
#include <cstdint>

#include "aos_string.h"

inline constexpr int AOS_MAX_GMT_TIME_LEN = 128;
inline constexpr int AOS_MAX_URI_LEN = 2048;
inline constexpr int AOS_MAX_QUERY_ARG_LEN = 1024;
inline constexpr int AOS_SHA1_DIGEST_LEN = 20;

// Formats a time (microseconds since the epoch) as "Sun, 06 Dec 2026 01:24:04 GMT" into a
// 128-byte buffer. 0, or -996 when the time cannot be broken down or does not fit.
int aos_format_gmt_time(char out[AOS_MAX_GMT_TIME_LEN], int64_t time_us);

// The current time as an HTTP date; as aos_format_gmt_time.
int aos_get_gmt_str_time(char out[AOS_MAX_GMT_TIME_LEN]);

// Percent-encodes a NUL-terminated input of at most `limit` bytes; `out` must hold 3 * limit + 1
// bytes. -994 when the input is longer, with the output NUL-terminated where it stopped.
int aos_percent_encode(char* out, const char* in, int limit);

// "?name=value&name..." of the table in its order, names and values encoded. An empty table
// leaves `out` untouched. 0 or -994.
int aos_query_params_to_string(apr_pool_t* pool, const apr_table_t* params, aos_span* out);

// RFC 4648 Base64 of `len` bytes into `out` (4 * ceil(len / 3) bytes, no NUL); gives the count.
int aos_encode_base64(const unsigned char* in, int len, char* out);

// RFC 2104 HMAC over SHA-1.
void aos_compute_hmac_sha1(unsigned char digest[AOS_SHA1_DIGEST_LEN], const unsigned char* key,
                           int key_len, const unsigned char* data, int data_len);
