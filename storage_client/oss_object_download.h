// One signed object GET whose body streams to the caller as it arrives, optionally from an offset
// (Range) and only if the object is still the same (If-Range). The caller includes no APR
// header: the call makes and destroys its own pool.
//
// Beyond the plain call: the outcome's status, etag, content_length, range_first and
// object_size are filled before the sink's first call, so a sink that asked for a range can see
// a 200 (the whole object, start over) before it writes anything; the outcome also carries the
// request ID and the service's error message, for people reading a failure; and
// oss_write_to_fd is a ready-made sink for a file descriptor.
#pragma once

#include <cstddef>
#include <cstdint>

// Called with each piece of a 2xx body, in order, as it arrives. 0 goes on; any other value
// stops the transfer, and the outcome's status is then aos_err_write_body.
typedef int (*oss_body_sink)(void* user, const uint8_t* data, size_t len);

struct oss_download_target {
  const char* endpoint;  // host[:port], optionally with http:// or https://
  const char* access_key_id;
  const char* access_key_secret;
  const char* bucket;
  const char* object;
  int64_t range_start;   // < 0: the whole object; N >= 0: "Range: bytes=N-"
  const char* if_range;  // an ETag sent as "If-Range", or nullptr (only with a range)
  // An ETag sent as "If-None-Match", or nullptr: an object that still has it answers 304 with
  // no body (status 304, the sink never called), so a poll of an unchanged object costs little.
  const char* if_none_match;
};

struct oss_download_outcome {
  int status;               // HTTP status, or a negative client error code (aos_status.h)
  char etag[128];           // the response's ETag, as sent (quotes kept); "" when absent or longer
  int64_t content_length;   // of this response's body; -1 when absent or the body is chunked
  int64_t range_first;      // from Content-Range of a 206: first byte; -1 otherwise
  int64_t object_size;      // from Content-Range of a 206 or 416 ("*/N"), or the
                            // content_length of a 200; -1 when the response does not declare it
  int64_t body_received;    // bytes handed to the sink (a piece it refused included)
  char error_code[64];      // the service's error code from an XML error body, or ""
  char request_id[64];      // the service's request ID, or ""
  char error_message[256];  // the service's error message (cut to fit), or the client's reason
};

// One signed GET (version-1 signature; Range and If-Range are not part of the string to sign,
// so the signature is the same with or without them). A body cut short (fewer bytes than its
// Content-Length, or curl's partial-file result) gives aos_err_transfer, never success, and
// body_received says how far it got. Error bodies (status outside 200-299) are never handed to
// the sink. Needs aos_http_io_initialize() to have run, as every client call does.
void oss_download_object(const oss_download_target* target, oss_body_sink sink, void* user,
                         oss_download_outcome* outcome);

// A sink writing every piece whole to the file descriptor `*static_cast<int*>(fd)`, going on
// after interrupted or partial writes; nonzero when the descriptor refuses.
int oss_write_to_fd(void* fd, const uint8_t* data, size_t len);
