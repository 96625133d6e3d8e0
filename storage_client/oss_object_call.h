// What the maker's object calls (PUT of a file, HEAD) share: a pool holding the request options
// of a target, and the outcome filled from a finished request. Internal to the storage client.
#pragma once

#include <apr_pools.h>

#include "aos_http_io.h"
#include "aos_status.h"
#include "oss_object_target.h"

// A header value of plain decimal digits, or -1 (absent, empty, anything else, past INT64_MAX).
int64_t oss_header_decimal(const char* text);
// Copies text into out when it fits whole, else leaves out empty: a cut ETag would name another
// object.
void oss_copy_whole_text(char* out, size_t size, const char* text);

// Every text of the target is there.
bool oss_object_target_complete(const oss_object_target* target);

// Options for the target in a new pool (the caller destroys *pool); false when no pool could be
// made.
bool oss_object_call_begin(const oss_object_target* target, apr_pool_t** pool,
                           oss_request_options** options);

// Zeroes the outcome: status aos_err_internal, lengths -1.
void oss_object_outcome_clear(oss_object_outcome* outcome);

// Status, ETag, Content-Length (as sent) and Content-MD5 of the response, then the status's
// error code, message and request ID.
void oss_object_outcome_fill(const aos_status* status, const aos_http_response* resp,
                             oss_object_outcome* outcome);
