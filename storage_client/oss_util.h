// The service layer of the storage client: request options, the object GET and the step that
// sends a prepared request and turns the outcome into a status.
//
// One download, as the updater makes it:
//   apr_pool_t* pool;  apr_pool_create_ex(&pool, nullptr, nullptr, nullptr);
//   oss_request_options* options = oss_request_options_create(pool);
//   options->config->endpoint = aos_span_of("oss-cn-hongkong.example.com");  // and key pair
//   options->ctl = aos_http_controller_create(options->pool, 0);
//   aos_list body;  aos_list_init(&body);
//   apr_table_t* resp_headers = nullptr;
//   aos_span bucket = aos_span_of("update-en-1"), object = aos_span_of("3/11.0.BIN");
//   aos_status* s = oss_fetch_object_to_memory(options, &bucket, &object, nullptr, nullptr,
//                                              &body, &resp_headers);
//   if (aos_status_is_ok(s)) { ... join the chunks of `body` in list order ... }
//   apr_pool_destroy(pool);  // everything above lives in it
#pragma once

#include <apr_pools.h>
#include <apr_tables.h>

#include "aos_chunk.h"
#include "aos_http_io.h"
#include "aos_status.h"
#include "aos_string.h"

// With no pool given a new one is made; none when that fails. The configuration comes zeroed
// from the same pool for the caller to fill; the controller is left for the caller to set.
oss_request_options* oss_request_options_create(apr_pool_t* pool);

// Takes request and response from the options' pool and places the object: scheme prefix from
// the endpoint, then path style (host = endpoint, URI = bucket/object) for a dotted IPv4
// endpoint, the endpoint itself for a CNAME, virtual-hosted style (host = bucket.endpoint)
// otherwise. The tables become the request's headers and query parameters; a security token is
// added as "x-oss-security-token".
void oss_prepare_object_request(const oss_request_options* options, const aos_span* bucket,
                                const aos_span* object, apr_table_t* headers, apr_table_t* params,
                                aos_http_request** req, aos_http_response** resp);

// Sends a prepared, signed request through the transport slots. The status carries the HTTP
// status, or a negative client code with "HttpIoError" and the transport's reason; outside
// 200-299 the service's error code and message from the body; always the request ID (empty
// when none came back).
aos_status* oss_perform_request(aos_http_controller* ctl, aos_http_request* req,
                                aos_http_response* resp);

// A signed GET of bucket/object into memory. `headers` and `params` may be none (empty tables
// are made). The body list (success or error body) is handed over into `buffer`, which must be
// an initialised list head; `resp_headers` receives the response's header table.
aos_status* oss_fetch_object_to_memory(const oss_request_options* options, const aos_span* bucket,
                                       const aos_span* object, apr_table_t* headers,
                                       apr_table_t* params, aos_list* buffer,
                                       apr_table_t** resp_headers);
