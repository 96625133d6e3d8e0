#include "oss_util.h"

#include <apr_strings.h>
#include <arpa/inet.h>

#include <cctype>
#include <cstring>

#include "aos_log.h"
#include "aos_transport.h"
#include "oss_auth.h"

namespace {

constexpr const char* kFile = "oss_util";
constexpr const char* kHttps = "https://";
constexpr const char* kHttp = "http://";

const char* chars(const aos_span* s) {
  return s != nullptr && s->data != nullptr ? s->data : "";
}

int length(const aos_span* s) {
  return s != nullptr && s->data != nullptr && s->len > 0 ? s->len : 0;
}

bool starts_with(const aos_span& s, const char* prefix) {
  size_t n = std::strlen(prefix);
  return s.len > 0 && s.data != nullptr && static_cast<size_t>(s.len) >= n &&
         std::memcmp(s.data, prefix, n) == 0;
}

// A dotted IPv4 address, optionally followed by ":port". The address 0.0.0.0 counts as a name.
bool is_ipv4_host(apr_pool_t* pool, const char* host, int len) {
  int addr_len = len;
  if (const void* colon = std::memchr(host, ':', static_cast<size_t>(len))) {
    addr_len = static_cast<int>(static_cast<const char*>(colon) - host);
    for (int i = addr_len + 1; i < len; ++i) {
      if (!std::isdigit(static_cast<unsigned char>(host[i]))) return false;
    }
  }
  char* text = apr_pstrmemdup(pool, host, static_cast<apr_size_t>(addr_len));
  in_addr_t addr = inet_addr(text);
  return addr != INADDR_NONE && addr != 0;
}

}  // namespace

oss_request_options* oss_request_options_create(apr_pool_t* pool) {
  if (pool == nullptr && apr_pool_create_ex(&pool, nullptr, nullptr, nullptr) != APR_SUCCESS) {
    aos_log_at(AOS_LOG_POOL, kFile, "oss_request_options_create", "aos_pool_create failure.");
    return nullptr;
  }
  auto* options = static_cast<oss_request_options*>(apr_pcalloc(pool, sizeof(oss_request_options)));
  options->config = static_cast<oss_client_config*>(apr_pcalloc(pool, sizeof(oss_client_config)));
  options->pool = pool;
  return options;
}

void oss_prepare_object_request(const oss_request_options* options, const aos_span* bucket,
                                const aos_span* object, apr_table_t* headers, apr_table_t* params,
                                aos_http_request** req_out, aos_http_response** resp_out) {
  apr_pool_t* pool = options->pool;
  aos_http_request* req = aos_http_request_create(pool);
  aos_http_response* resp = aos_http_response_create(pool);
  const oss_client_config* config = options->config;
  if (!aos_span_is_empty(config->sts_token)) {
    apr_table_set(headers, "x-oss-security-token", aos_span_pstrdup(pool, config->sts_token));
  }
  req->headers = headers;
  req->query_params = params;

  const aos_span& endpoint = config->endpoint;
  const char* proto = starts_with(endpoint, kHttps)  ? kHttps
                      : starts_with(endpoint, kHttp) ? kHttp
                                                     : "";
  req->proto = apr_pstrdup(pool, proto);
  int proto_len = static_cast<int>(std::strlen(proto));
  const char* host = endpoint.data != nullptr ? endpoint.data + proto_len : "";
  int host_len = endpoint.len > proto_len ? endpoint.len - proto_len : 0;

  int blen = length(bucket);
  int olen = length(object);
  req->resource = apr_psprintf(pool, "%.*s/%.*s", blen, chars(bucket), olen, chars(object));
  if (config->is_cname) {
    req->host = apr_pstrmemdup(pool, host, static_cast<apr_size_t>(host_len));
    req->uri = apr_pstrmemdup(pool, chars(object), static_cast<apr_size_t>(olen));
  } else if (is_ipv4_host(pool, host, host_len)) {
    req->host = apr_pstrmemdup(pool, host, static_cast<apr_size_t>(host_len));
    req->uri = apr_psprintf(pool, "%.*s/%.*s", blen, chars(bucket), olen, chars(object));
  } else {
    req->host = apr_psprintf(pool, "%.*s.%.*s", blen, chars(bucket), host_len, host);
    req->uri = apr_pstrmemdup(pool, chars(object), static_cast<apr_size_t>(olen));
  }
  *req_out = req;
  *resp_out = resp;
}

aos_status* oss_perform_request(aos_http_controller* ctl, aos_http_request* req,
                                aos_http_response* resp) {
  aos_status* s = aos_status_create(ctl->pool);
  aos_curl_http_transport* t = aos_http_transport_create(ctl->pool);
  t->req = req;
  t->resp = resp;
  t->controller = ctl;
  int r = aos_http_transport_perform(t);
  if (r != 0) {
    s->code = r;
    s->error_code = apr_pstrdup(ctl->pool, AOS_HTTP_IO_ERROR_CODE);
    s->error_msg = ctl->reason != nullptr ? apr_pstrdup(ctl->pool, ctl->reason) : nullptr;
  } else if (resp->status / 100 == 2) {
    s->code = resp->status;
  } else {
    aos_status_parse_from_body(ctl->pool, &resp->body, resp->status, s);
  }
  const char* id = apr_table_get(resp->headers, "x-oss-request-id");
  if (id == nullptr) id = apr_table_get(resp->headers, "x-img-request-id");
  s->req_id = apr_pstrdup(ctl->pool, id != nullptr ? id : "");
  return s;
}

aos_status* oss_fetch_object_to_memory(const oss_request_options* options, const aos_span* bucket,
                                       const aos_span* object, apr_table_t* headers,
                                       apr_table_t* params, aos_list* buffer,
                                       apr_table_t** resp_headers) {
  apr_pool_t* pool = options->pool;
  if (headers == nullptr) headers = apr_table_make(pool, 5);
  if (params == nullptr) params = apr_table_make(pool, 3);
  aos_http_request* req = nullptr;
  aos_http_response* resp = nullptr;
  oss_prepare_object_request(options, bucket, object, headers, params, &req, &resp);

  aos_status* s = aos_status_create(pool);
  if (int r = oss_sign_request(req, options->config); r != 0) {
    s->code = r;
    s->error_code = apr_pstrdup(pool, AOS_CLIENT_ERROR_CODE);
  } else {
    s = oss_perform_request(options->ctl, req, resp);
  }

  aos_list_init(buffer);
  if (!aos_list_empty(&resp->body)) {
    // The caller's head takes the nodes over in order; the response's head is left empty.
    buffer->next = resp->body.next;
    buffer->prev = resp->body.prev;
    buffer->next->prev = buffer;
    buffer->prev->next = buffer;
    aos_list_init(&resp->body);
  }
  if (resp_headers != nullptr) *resp_headers = resp->headers;
  return s;
}
