#include "aos_transport.h"

#include <apr_strings.h>
#include <apr_time.h>

#include <cinttypes>
#include <cstring>
#include <new>

#include "aos_log.h"
#include "aos_status.h"
#include "aos_util.h"

namespace {

constexpr const char* kFile = "aos_transport";
// Used only when a controller was made before initialisation; the values are the defaults.
constexpr aos_http_limits kDefaultLimits = {1024, 15, 60, 10, int64_t{1} << 30};

void push_cleanup(aos_curl_http_transport* t, void* data, void (*func)(void*)) {
  auto* entry = static_cast<aos_cleanup_entry*>(apr_array_push(t->cleanup));
  entry->data = data;
  entry->func = func;
  entry->kind = 1;
}

void release_handle_entry(void* handle) {
  aos_request_release_handle(static_cast<CURL*>(handle));
}

void free_header_list_entry(void* list) {
  curl_slist_free_all(static_cast<curl_slist*>(list));
}

void raise_state(aos_curl_http_transport* t, int32_t state) {
  if (t->state < state) t->state = state;
}

const aos_http_limits* limits_of(const aos_http_controller* ctl) {
  return ctl->limits != nullptr ? ctl->limits : &kDefaultLimits;
}

bool is_space_or_tab(char c) {
  return c == ' ' || c == '\t';
}

bool is_success(int32_t status) {
  return status / 100 == 2;
}

void fail(aos_curl_http_transport* t, int code, const char* reason) {
  t->controller->error_code = code;
  t->controller->reason = apr_pstrdup(t->pool, reason);
}

// libcurl is C: nothing may unwind through it. An exception thrown below a callback (an
// allocation that fails in a sink) fails the transfer with `failed` as the callback's answer.
template <typename Body>
size_t guarded(aos_curl_http_transport* t, size_t failed, Body body) noexcept {
  try {
    return body();
  } catch (const std::bad_alloc&) {
    fail(t, aos_err_out_of_memory, "out of memory in a transfer callback");
  } catch (...) {
    fail(t, aos_err_internal, "exception in a transfer callback");
  }
  return failed;
}

void close_body_file(aos_body_file** slot) {
  aos_body_file* f = *slot;
  if (f == nullptr) return;
  if (f->owner && f->file != nullptr) {
    apr_status_t rv = apr_file_close(f->file);
    if (rv != APR_SUCCESS) {
      char reason[256];
      apr_strerror(rv, reason, sizeof reason);
      aos_log_at(AOS_LOG_CLOSE, kFile, "aos_transport_cleanup", "apr_file_close failure, %s.",
                 reason);
    }
  }
  if (f->owner) *slot = nullptr;
}

// Content-Length measures the body only when the body is there and not chunked: a HEAD
// answer and a 204 carry none, a 304 and a chunked body announce a length they do not send.
bool length_governs_body(const aos_curl_http_transport* t) {
  const aos_http_response* resp = t->resp;
  if (t->req->method == HTTP_HEAD || resp->status == 204 || resp->status == 304) return false;
  if (apr_table_get(resp->headers, "Content-Length") == nullptr) return false;
  const char* coding = apr_table_get(resp->headers, "Transfer-Encoding");
  return coding == nullptr || strcasestr(coding, "chunked") == nullptr;
}

}  // namespace

bool aos_parse_header_line(const char* data, size_t len, aos_header_field* out) {
  const auto* begin = reinterpret_cast<const unsigned char*>(data);
  const unsigned char* end = begin + len;
  while (begin < end && *begin <= 0x20) ++begin;
  while (end > begin && end[-1] <= 0x20) --end;
  const auto* colon = static_cast<const unsigned char*>(std::memchr(begin, ':', end - begin));
  if (colon == nullptr) return false;
  const char* value = reinterpret_cast<const char*>(colon + 1);
  const char* value_end = reinterpret_cast<const char*>(end);
  while (value < value_end && is_space_or_tab(*value)) ++value;
  while (value_end > value && is_space_or_tab(value_end[-1])) --value_end;
  out->name = reinterpret_cast<const char*>(begin);
  out->name_len = static_cast<size_t>(colon - begin);
  out->value = value;
  out->value_len = static_cast<size_t>(value_end - value);
  return true;
}

namespace {

size_t header_line(aos_curl_http_transport* t, char* data, size_t len) {
  if (t->controller->first_byte_time == 0) t->controller->first_byte_time = apr_time_now();
  aos_header_field field;
  // The status line is no header, even when its reason text holds a colon.
  bool status_line = len >= 5 && std::memcmp(data, "HTTP/", 5) == 0;
  if (!status_line && aos_parse_header_line(data, len, &field)) {
    apr_table_addn(t->resp->headers, apr_pstrmemdup(t->pool, field.name, field.name_len),
                   apr_pstrmemdup(t->pool, field.value, field.value_len));
  }
  raise_state(t, TRANS_STATE_HEADER);
  return len;
}

}  // namespace

void aos_curl_read_response_status(aos_curl_http_transport* t) {
  if (t->controller->error_code != 0 || t->resp->status > 0) return;
  t->resp->status = 0;
  long code = 0;
  CURLcode c = curl_easy_getinfo(t->curl, CURLINFO_RESPONSE_CODE, &code);
  if (c != CURLE_OK) {
    fail(t, aos_err_internal, curl_easy_strerror(c));
    return;
  }
  t->resp->status = static_cast<int32_t>(code);
  if (const char* length = apr_table_get(t->resp->headers, "Content-Length")) {
    t->resp->content_length = apr_atoi64(length);
  }
}

namespace {

size_t body_piece(aos_curl_http_transport* t, char* data, size_t len) {
  aos_http_controller* ctl = t->controller;
  if (ctl->first_byte_time == 0) ctl->first_byte_time = apr_time_now();
  aos_curl_read_response_status(t);
  if (ctl->error_code != 0) return 0;

  aos_http_response* resp = t->resp;
  if (!is_success(resp->status)) {
    // An error body always stays in memory, but only up to its limit: an endless one must not
    // exhaust memory. Whatever was kept is still parsed for the service's error code.
    int64_t room = AOS_MAX_ERROR_BODY_SIZE - resp->body_len;
    size_t take = room < static_cast<int64_t>(len) ? static_cast<size_t>(room > 0 ? room : 0) : len;
    int n = take > 0 ? aos_write_memory_body(resp, data, static_cast<int>(take)) : 0;
    if (take < len) {
      t->error_body_capped = true;
      aos_log_at(AOS_LOG_ERROR, kFile, "aos_curl_default_write_callback",
                 "error body too big, kept %" PRId64 " bytes.", resp->body_len);
    }
    raise_state(t, TRANS_STATE_BODY_IN);
    return n < 0 ? 0 : static_cast<size_t>(n);
  }

  if (resp->type == AOS_BODY_IN_MEMORY && resp->body_len >= limits_of(ctl)->max_memory_size) {
    ctl->reason = apr_psprintf(t->pool,
                               "receive body too big, current body size: %" APR_INT64_T_FMT
                               ", max memory size: %" APR_INT64_T_FMT,
                               static_cast<apr_int64_t>(resp->body_len),
                               static_cast<apr_int64_t>(limits_of(ctl)->max_memory_size));
    ctl->error_code = aos_err_memory_limit;
    aos_log_at(AOS_LOG_ERROR, kFile, "aos_curl_default_write_callback", "error reason:%s, ",
               ctl->reason);
    return 0;
  }
  int n = resp->write_body(resp, data, static_cast<int>(len));
  if (n < 0) {
    fail(t, aos_err_write_body, "write body failure.");
    return 0;
  }
  raise_state(t, TRANS_STATE_BODY_IN);
  return static_cast<size_t>(n);
}

size_t request_piece(aos_curl_http_transport* t, char* buffer, size_t len) {
  if (t->controller->error_code != 0) return CURL_READFUNC_ABORT;
  int n = t->req->read_body(t->req, buffer, static_cast<int>(len));
  if (n < 0) {
    fail(t, aos_err_read_body, "read body failure.");
    return CURL_READFUNC_ABORT;
  }
  raise_state(t, TRANS_STATE_BODY_OUT);
  return static_cast<size_t>(n);
}

}  // namespace

size_t aos_curl_header_line_callback(char* data, size_t size, size_t count, void* transport) {
  auto* t = static_cast<aos_curl_http_transport*>(transport);
  return guarded(t, 0, [&] { return header_line(t, data, size * count); });
}

size_t aos_curl_default_write_callback(char* data, size_t size, size_t count, void* transport) {
  auto* t = static_cast<aos_curl_http_transport*>(transport);
  return guarded(t, 0, [&] { return body_piece(t, data, size * count); });
}

size_t aos_curl_body_read_callback(char* buffer, size_t size, size_t count, void* transport) {
  auto* t = static_cast<aos_curl_http_transport*>(transport);
  return guarded(t, CURL_READFUNC_ABORT, [&] { return request_piece(t, buffer, size * count); });
}

int aos_curl_result_to_error(CURLcode code) {
  switch (code) {
    case CURLE_OK:
      return 0;
    case CURLE_COULDNT_RESOLVE_PROXY:
    case CURLE_COULDNT_RESOLVE_HOST:
      return aos_err_name_lookup;
    case CURLE_COULDNT_CONNECT:
      return aos_err_connect;
    case CURLE_PARTIAL_FILE:  // a body cut short is a failed transfer, never a finished one
    case CURLE_WRITE_ERROR:
    case CURLE_OPERATION_TIMEDOUT:
      return aos_err_transfer;
    case CURLE_OUT_OF_MEMORY:
      return aos_err_out_of_memory;
    case CURLE_PEER_FAILED_VERIFICATION:
      return aos_err_peer_verification;
    default:
      return aos_err_internal;
  }
}

void aos_transport_cleanup(void* transport) {
  auto* t = static_cast<aos_curl_http_transport*>(transport);
  if (t->req != nullptr) close_body_file(&t->req->file_buf);
  if (t->resp != nullptr) close_body_file(&t->resp->file_buf);
}

void aos_transport_run_cleanup(aos_curl_http_transport* t) {
  if (t->cleanup == nullptr) return;
  while (t->cleanup->nelts > 0) {
    auto* entry = static_cast<aos_cleanup_entry*>(apr_array_pop(t->cleanup));
    switch (entry->kind) {
      case 1:
      case 3:
        entry->func(entry->data);
        break;
      case 2:
      case 4:
        reinterpret_cast<void (*)()>(entry->func)();
        break;
      default:
        break;
    }
  }
  t->cleanup = nullptr;
}

aos_curl_http_transport* aos_curl_http_transport_new(apr_pool_t* pool) {
  auto* t =
      static_cast<aos_curl_http_transport*>(apr_pcalloc(pool, sizeof(aos_curl_http_transport)));
  t->pool = pool;
  t->user_agent = aos_http_io_user_agent();
  t->cleanup = apr_array_make(pool, 5, sizeof(aos_cleanup_entry));
  push_cleanup(t, t, aos_transport_cleanup);
  t->curl = aos_request_get_handle();
  push_cleanup(t, t->curl, release_handle_entry);
  t->header_callback = aos_curl_header_line_callback;
  t->read_callback = aos_curl_body_read_callback;
  t->write_callback = aos_curl_default_write_callback;
  return t;
}

int aos_build_curl_header_list(aos_curl_http_transport* t) {
  curl_slist* list = nullptr;
  if (t->req->method == HTTP_PUT || t->req->method == HTTP_POST) {
    list = curl_slist_append(list, apr_psprintf(t->pool, "Content-Length: %" APR_INT64_T_FMT,
                                                static_cast<apr_int64_t>(t->req->body_len)));
  }
  const apr_array_header_t* entries = apr_table_elts(t->req->headers);
  const auto* elts = reinterpret_cast<const apr_table_entry_t*>(entries->elts);
  for (int i = 0; i < entries->nelts; ++i) {
    list = curl_slist_append(list, apr_psprintf(t->pool, "%s: %s", elts[i].key,
                                                elts[i].val != nullptr ? elts[i].val : ""));
  }
  t->headers = list;
  push_cleanup(t, list, free_header_list_entry);
  return 0;
}

int aos_build_request_url(aos_curl_http_transport* t) {
  char uri[3 * AOS_MAX_URI_LEN + 1];
  int rc = aos_percent_encode(uri, t->req->uri != nullptr ? t->req->uri : "", AOS_MAX_URI_LEN);
  if (rc != 0) {
    fail(t, rc, "uri invalid argument.");
    return rc;
  }
  aos_span query;
  rc = aos_query_params_to_string(t->pool, t->req->query_params, &query);
  if (rc != 0) {
    fail(t, rc, "query params invalid argument.");
    return rc;
  }
  const char* proto =
      t->req->proto != nullptr && *t->req->proto != '\0' ? t->req->proto : "http://";
  const char* host = t->req->host != nullptr ? t->req->host : "";
  if (query.len == 0) {
    t->url = apr_psprintf(t->pool, "%s%s/%s", proto, host, uri);
  } else {
    t->url = apr_psprintf(t->pool, "%s%s/%s%.*s", proto, host, uri, query.len, query.data);
  }
  return 0;
}

int aos_curl_transport_setup(aos_curl_http_transport* t) {
  CURL* curl = t->curl;
  const aos_http_limits* lim = limits_of(t->controller);
  CURLcode c = curl == nullptr ? CURLE_FAILED_INIT : CURLE_OK;
  // Each option in turn; after the first refusal nothing more is set.
  auto set = [&](CURLoption option, auto value) {
    if (c == CURLE_OK) c = curl_easy_setopt(curl, option, value);
    return c == CURLE_OK;
  };
  set(CURLOPT_PRIVATE, t);
  set(CURLOPT_HEADERDATA, t);
  set(CURLOPT_HEADERFUNCTION, t->header_callback);
  set(CURLOPT_READDATA, t);
  set(CURLOPT_READFUNCTION, t->read_callback);
  set(CURLOPT_WRITEDATA, t);
  set(CURLOPT_WRITEFUNCTION, t->write_callback);
  set(CURLOPT_FILETIME, 1L);
  set(CURLOPT_NOSIGNAL, 1L);
  set(CURLOPT_NOPROGRESS, 1L);
  set(CURLOPT_TCP_NODELAY, 1L);
  set(CURLOPT_NETRC, static_cast<long>(CURL_NETRC_IGNORED));
  // HTTPS endpoints are verified: an unchecked certificate would let anyone on the path hand
  // the updater a package of their own.
  set(CURLOPT_SSL_VERIFYPEER, 1L);
  set(CURLOPT_SSL_VERIFYHOST, 2L);
  set(CURLOPT_USERAGENT, t->user_agent);
  set(CURLOPT_DNS_CACHE_TIMEOUT, static_cast<long>(lim->dns_cache_timeout));
  set(CURLOPT_CONNECTTIMEOUT, static_cast<long>(lim->connect_timeout));
  set(CURLOPT_LOW_SPEED_LIMIT, static_cast<long>(lim->low_speed_limit));
  set(CURLOPT_LOW_SPEED_TIME, static_cast<long>(lim->low_speed_time));
  if (c == CURLE_OK) {
    aos_build_curl_header_list(t);
    set(CURLOPT_HTTPHEADER, t->headers);
  }
  if (c == CURLE_OK) {
    if (t->req->signed_url != nullptr) {
      t->url = t->req->signed_url;
    } else if (aos_build_request_url(t) != 0) {
      return t->controller->error_code;
    }
    set(CURLOPT_URL, t->url);
  }
  switch (t->req->method) {
    case HTTP_HEAD:
      set(CURLOPT_NOBODY, 1L);
      break;
    // The size goes to libcurl too: left unknown, it would send the body chunked under the
    // Content-Length line of the header list, and the server would read a different body.
    case HTTP_PUT:
      set(CURLOPT_UPLOAD, 1L);
      set(CURLOPT_INFILESIZE_LARGE, static_cast<curl_off_t>(t->req->body_len));
      break;
    case HTTP_POST:
      set(CURLOPT_POST, 1L);
      set(CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(t->req->body_len));
      break;
    case HTTP_DELETE:
      set(CURLOPT_CUSTOMREQUEST, "DELETE");
      break;
    default:
      break;
  }
  if (c != CURLE_OK) {
    fail(t, aos_err_setup, curl_easy_strerror(c));
    aos_log_at(AOS_LOG_ERROR, kFile, "aos_curl_transport_setup",
               "curl_easy_setopt failed, code:%d %s.", c, t->controller->reason);
    return aos_err_setup;
  }
  // Only fewer, larger body pieces, both ways; a libcurl that refuses the size keeps its default.
  curl_easy_setopt(curl, CURLOPT_BUFFERSIZE, AOS_CURL_BUFFER_SIZE);
  if (t->req->method == HTTP_PUT)
    curl_easy_setopt(curl, CURLOPT_UPLOAD_BUFFERSIZE, AOS_CURL_BUFFER_SIZE);
  t->state = TRANS_STATE_INIT;
  return 0;
}

int aos_curl_http_transport_perform(aos_curl_http_transport* t) {
  aos_http_controller* ctl = t->controller;
  if (int rc = aos_curl_transport_setup(t); rc != 0) {
    aos_transport_run_cleanup(t);
    return rc;
  }
  ctl->start_time = apr_time_now();
  CURLcode c = curl_easy_perform(t->curl);
  ctl->finish_time = apr_time_now();
  raise_state(t, TRANS_STATE_DONE);

  // A transfer stopped because an error body reached its limit is no transport error: the
  // status and what was kept of the body still tell the caller what the service said.
  bool capped = c == CURLE_WRITE_ERROR && t->error_body_capped;
  if (c != CURLE_OK && !capped && ctl->error_code == 0) {
    int e = aos_curl_result_to_error(c);
    if (e != 0) {
      fail(t, e, curl_easy_strerror(c));
      aos_log_at(AOS_LOG_ERROR, kFile, "aos_curl_http_transport_perform",
                 "transport failure curl code:%d error:%s", c, ctl->reason);
    }
  }
  aos_curl_read_response_status(t);

  // A successful body shorter than its announced length is as cut short as libcurl's partial
  // transfer, whatever libcurl made of it.
  aos_http_response* resp = t->resp;
  if (ctl->error_code == 0 && is_success(resp->status) && length_governs_body(t) &&
      resp->body_len < resp->content_length) {
    fail(t, aos_err_transfer, curl_easy_strerror(CURLE_PARTIAL_FILE));
    aos_log_at(AOS_LOG_ERROR, kFile, "aos_curl_http_transport_perform",
               "body cut short: %" PRId64 " of %" PRId64 " bytes.", resp->body_len,
               resp->content_length);
  }
  aos_transport_run_cleanup(t);
  return ctl->error_code;
}
