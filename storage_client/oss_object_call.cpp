#include "oss_object_call.h"

#include <apr_strings.h>
#include <apr_tables.h>

#include <cstring>

#include "oss_util.h"

// A header value of plain decimal digits, or -1.
int64_t oss_header_decimal(const char* text) {
  if (text == nullptr || *text == '\0') return -1;
  int64_t v = 0;
  for (const char* p = text; *p != '\0'; ++p) {
    if (*p < '0' || *p > '9' || v > (INT64_MAX - (*p - '0')) / 10) return -1;
    v = v * 10 + (*p - '0');
  }
  return v;
}

void oss_copy_whole_text(char* out, size_t size, const char* text) {
  out[0] = '\0';
  if (text != nullptr && std::strlen(text) < size) std::strcpy(out, text);
}

bool oss_object_target_complete(const oss_object_target* t) {
  return t != nullptr && t->endpoint != nullptr && t->access_key_id != nullptr &&
         t->access_key_secret != nullptr && t->bucket != nullptr && t->object != nullptr;
}

bool oss_object_call_begin(const oss_object_target* target, apr_pool_t** pool,
                           oss_request_options** options) {
  if (apr_pool_create_ex(pool, nullptr, nullptr, nullptr) != APR_SUCCESS) return false;
  *options = oss_request_options_create(*pool);
  (*options)->config->endpoint = aos_span_of(target->endpoint);
  (*options)->config->access_key_id = aos_span_of(target->access_key_id);
  (*options)->config->access_key_secret = aos_span_of(target->access_key_secret);
  (*options)->ctl = aos_http_controller_create(*pool, 0);
  return true;
}

void oss_object_outcome_clear(oss_object_outcome* o) {
  std::memset(o, 0, sizeof *o);
  o->status = aos_err_internal;
  o->content_length = -1;
}

void oss_object_outcome_fill(const aos_status* s, const aos_http_response* resp,
                             oss_object_outcome* o) {
  o->status = s->code;
  if (resp->status > 0) {
    oss_copy_whole_text(o->etag, sizeof o->etag, apr_table_get(resp->headers, "ETag"));
    o->content_length = oss_header_decimal(apr_table_get(resp->headers, "Content-Length"));
    if (const char* md5 = apr_table_get(resp->headers, "Content-MD5"))
      oss_copy_whole_text(o->content_md5, sizeof o->content_md5, md5);
  }
  oss_copy_whole_text(o->request_id, sizeof o->request_id, s->req_id);
  o->error_message[0] = '\0';
  if (s->error_msg != nullptr) apr_cpystrn(o->error_message, s->error_msg, sizeof o->error_message);
  o->error_code[0] = '\0';
  // UnknownError is the client's own name for an error body it could not read.
  if (s->code > 0 && !aos_status_is_ok(s) && s->error_code != nullptr &&
      std::strcmp(s->error_code, AOS_UNKNOWN_ERROR_CODE) != 0) {
    oss_copy_whole_text(o->error_code, sizeof o->error_code, s->error_code);
  }
}
