#include "aos_http_io.h"

aos_http_request* aos_http_request_create(apr_pool_t* pool) {
  auto* req = static_cast<aos_http_request*>(apr_pcalloc(pool, sizeof(aos_http_request)));
  req->proto = "";
  req->method = HTTP_GET;
  req->headers = apr_table_make(pool, 5);
  req->query_params = apr_table_make(pool, 3);
  aos_list_init(&req->body);
  req->pool = pool;
  return req;
}

aos_http_response* aos_http_response_create(apr_pool_t* pool) {
  auto* resp = static_cast<aos_http_response*>(apr_pcalloc(pool, sizeof(aos_http_response)));
  resp->status = -1;
  resp->headers = apr_table_make(pool, 10);
  aos_list_init(&resp->body);
  resp->pool = pool;
  return resp;
}
