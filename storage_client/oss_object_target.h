// What the maker's object calls (oss_object_upload.h, oss_object_head.h) are given and give back.
// The caller includes no APR header: each call makes and destroys its own pool.
#pragma once

#include <cstdint>

struct oss_object_target {
  const char* endpoint;  // host[:port], optionally with http:// or https://
  const char* access_key_id;
  const char* access_key_secret;
  const char* bucket;
  const char* object;
};

// The answer to one call, filled as oss_download_outcome is.
struct oss_object_outcome {
  int status;               // HTTP status, or a negative client error code (aos_status.h)
  char etag[128];           // the response's ETag, as sent (quotes kept); "" when absent or longer
  int64_t content_length;   // HEAD: the object's size from Content-Length, -1 when absent; PUT: -1
  int64_t body_sent;        // PUT: bytes of the file sent by the last attempt; HEAD: 0
  int attempts;             // requests made (a PUT tries again after a 5xx or a cut connection)
  char content_md5[32];     // PUT: the Content-MD5 sent (base64 of the body's MD5); HEAD: the
                            // store's Content-MD5 header when it sends one; otherwise ""
  char error_code[64];      // the service's error code from an XML error body, or ""
  char request_id[64];      // the service's request ID, or ""
  char error_message[256];  // the service's error message (cut to fit), or the client's reason
};
