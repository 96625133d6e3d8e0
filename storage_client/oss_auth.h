// Version-1 header signing of storage requests: the canonical string to sign and the
// "Authorization: OSS id:signature" header.
#pragma once

#include <apr_pools.h>
#include <apr_tables.h>

#include <cstdint>

#include "aos_chunk.h"
#include "aos_http_io.h"
#include "aos_string.h"

inline constexpr int OSS_MAX_RESOURCE_LEN = 2047;  // resource must be shorter
inline constexpr int OSS_MAX_HEADER_LINE_LEN = 8192;
inline constexpr int OSS_MAX_SUBRESOURCE_LEN = 1024;  // one item must be shorter

// Adds "Date" when there is no "x-oss-date", then "Authorization". 0 or a negative client code.
int oss_sign_request(aos_http_request* req, const oss_client_config* config);

// The string to sign, in pool memory. `params` may be none.
int oss_get_string_to_sign(apr_pool_t* pool, int32_t method, const aos_span* canon_res,
                           apr_table_t* headers, apr_table_t* params, aos_span* signstr);

// Appends "name:value\n" of every x-oss- header, names lowered (in the table too) and in natural
// order.
int oss_get_canonicalized_headers(apr_pool_t* pool, apr_table_t* headers, aos_chunk* signbuf);

// Appends "?name=value&name" of the signed sub-resources in natural order.
int oss_get_canonicalized_resource(apr_pool_t* pool, const apr_table_t* params, aos_chunk* signbuf);
