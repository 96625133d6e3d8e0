// A signed PUT of a file streamed from disk, tried again after a server failure or a cut
// connection. Needs aos_http_io_initialize() to have run, as every client call does.
#pragma once

#include <cstdint>

#include "oss_object_target.h"

// Told of the bytes sent so far out of `total`; an attempt made again starts over from 0. Called
// on the calling thread from inside libcurl, so it must not throw.
typedef void (*oss_upload_progress)(void* user, int64_t sent, int64_t total);

// One signed PUT of the file at `path` as the object (version-1 signature over Content-MD5,
// Content-Type: application/octet-stream and the date). The file is read twice from disk, once
// for its MD5 and once as it is sent, never held whole in memory; it must not change between
// the two. A file that cannot be opened or read, or whose length changed, gives aos_err_read_body
// with the reason in error_message. A 5xx answer or a
// connection cut before an answer is tried again up to 3 times, after 0.5, 1 and 2 seconds; a
// 4xx is final. `progress` may be nullptr.
void oss_put_object_from_file(const oss_object_target* target, const char* path,
                              oss_upload_progress progress, void* user,
                              oss_object_outcome* outcome);
