#include "oss_object_download.h"

#include <apr_pools.h>
#include <apr_strings.h>
#include <apr_tables.h>
#include <unistd.h>

#include <cerrno>
#include <cinttypes>
#include <cstring>

#include "aos_content_range.h"
#include "aos_http_io.h"
#include "aos_status.h"
#include "oss_auth.h"
#include "oss_object_call.h"
#include "oss_util.h"

namespace {

struct SinkRelay {
  oss_body_sink sink;
  void* user;
  aos_http_response* resp;
  oss_download_outcome* outcome;
  bool described;
};

void copy_cut(char* out, size_t size, const char* text) {
  out[0] = '\0';
  if (text != nullptr) apr_cpystrn(out, text, size);
}

void describe_response(const aos_http_response* resp, oss_download_outcome* o) {
  o->status = resp->status;
  oss_copy_whole_text(o->etag, sizeof o->etag, apr_table_get(resp->headers, "ETag"));
  // A chunked body is measured by its chunks: a Content-Length beside them declares nothing.
  const char* coding = apr_table_get(resp->headers, "Transfer-Encoding");
  const bool chunked = coding != nullptr && strcasestr(coding, "chunked") != nullptr;
  o->content_length =
      chunked ? -1 : oss_header_decimal(apr_table_get(resp->headers, "Content-Length"));
  aos_content_range range{-1, -1, -1};
  const char* range_text = apr_table_get(resp->headers, "Content-Range");
  bool have_range = (resp->status == 206 || resp->status == 416) && range_text != nullptr &&
                    aos_parse_content_range(range_text, std::strlen(range_text), &range);
  o->range_first = resp->status == 206 && have_range ? range.first : -1;
  o->object_size = have_range ? range.size : resp->status == 200 ? o->content_length : -1;
}

int relay_piece(void* user, const uint8_t* data, size_t len) {
  auto* relay = static_cast<SinkRelay*>(user);
  if (!relay->described) {
    describe_response(relay->resp, relay->outcome);
    relay->described = true;
  }
  relay->outcome->body_received += static_cast<int64_t>(len);
  return relay->sink(relay->user, data, len);
}

void clear(oss_download_outcome* o) {
  std::memset(o, 0, sizeof *o);
  o->status = aos_err_internal;
  o->content_length = o->range_first = o->object_size = -1;
}

}  // namespace

void oss_download_object(const oss_download_target* target, oss_body_sink sink, void* user,
                         oss_download_outcome* outcome) {
  clear(outcome);
  if (target == nullptr || sink == nullptr ||
      (target->if_range != nullptr && target->range_start < 0)) {
    outcome->status = aos_err_invalid_argument;
    return;
  }
  // The object and its store, as the maker's object calls name them.
  const oss_object_target object_target{target->endpoint, target->access_key_id,
                                        target->access_key_secret, target->bucket, target->object};
  if (!oss_object_target_complete(&object_target)) {
    outcome->status = aos_err_invalid_argument;
    return;
  }
  apr_pool_t* pool = nullptr;
  oss_request_options* options = nullptr;
  if (!oss_object_call_begin(&object_target, &pool, &options)) {
    outcome->status = aos_err_out_of_memory;
    return;
  }

  apr_table_t* headers = apr_table_make(pool, 6);
  if (target->range_start >= 0) {
    apr_table_set(headers, "Range", apr_psprintf(pool, "bytes=%" PRId64 "-", target->range_start));
    if (target->if_range != nullptr) apr_table_set(headers, "If-Range", target->if_range);
  }
  if (target->if_none_match != nullptr)
    apr_table_set(headers, "If-None-Match", target->if_none_match);
  aos_span bucket = aos_span_of(target->bucket);
  aos_span object = aos_span_of(target->object);
  aos_http_request* req = nullptr;
  aos_http_response* resp = nullptr;
  oss_prepare_object_request(options, &bucket, &object, headers, apr_table_make(pool, 1), &req,
                             &resp);
  SinkRelay relay{sink, user, resp, outcome, false};
  resp->type = AOS_BODY_TO_SINK;
  resp->write_body = aos_write_sink_body;
  resp->sink = relay_piece;
  resp->sink_user = &relay;

  if (int r = oss_sign_request(req, options->config); r != 0) {
    outcome->status = r;
  } else {
    aos_status* s = oss_perform_request(options->ctl, req, resp);
    if (resp->status > 0) describe_response(resp, outcome);
    outcome->status = s->code;
    oss_copy_whole_text(outcome->request_id, sizeof outcome->request_id, s->req_id);
    copy_cut(outcome->error_message, sizeof outcome->error_message, s->error_msg);
    // UnknownError is the client's own name for an error body it could not read.
    if (s->code > 0 && !aos_status_is_ok(s) && s->error_code != nullptr &&
        std::strcmp(s->error_code, AOS_UNKNOWN_ERROR_CODE) != 0) {
      oss_copy_whole_text(outcome->error_code, sizeof outcome->error_code, s->error_code);
    }
  }
  apr_pool_destroy(pool);
}

int oss_write_to_fd(void* fd, const uint8_t* data, size_t len) {
  const int out = *static_cast<int*>(fd);
  while (len > 0) {
    ssize_t n = ::write(out, data, len);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return -1;
    data += n;
    len -= static_cast<size_t>(n);
  }
  return 0;
}
