// The storage client side of the download: one pool per fetch.
#include "updater/package_fetch.h"

#include <apr_pools.h>
#include <apr_strings.h>
#include <apr_tables.h>

#include <cstdio>
#include <cstdlib>

#include "storage_client/aos_http_io.h"
#include "storage_client/oss_util.h"
#include "updater/builtin_config.h"

namespace package_download {

namespace {

int64_t headerNumber(apr_table_t* headers, const char* name) {
  const char* v = headers != nullptr ? apr_table_get(headers, name) : nullptr;
  if (v == nullptr || *v < '0' || *v > '9') return -1;
  return std::strtoll(v, nullptr, 10);
}

// "bytes FIRST-LAST/SIZE": FIRST and SIZE.
void parseContentRange(const char* v, ResponseHead& head) {
  if (v == nullptr) return;
  long long first = -1, last = -1, size = -1;
  if (std::sscanf(v, "bytes %lld-%lld/%lld", &first, &last, &size) == 3) {
    head.rangeFirst = first;
    head.objectSize = size;
  }
}

}  // namespace

FetchOutcome fetchFromStorage(const FetchRequest& request, BodySink& sink) {
  FetchOutcome outcome;
  apr_pool_t* pool = nullptr;
  if (apr_pool_create_ex(&pool, nullptr, nullptr, nullptr) != APR_SUCCESS) return outcome;
  oss_request_options* options = oss_request_options_create(pool);
  if (options == nullptr) {
    apr_pool_destroy(pool);
    return outcome;
  }
  const BuiltinConfig& config = builtinConfig();
  options->config->endpoint = aos_span_of(request.target.endpoint);
  options->config->access_key_id = aos_span_of(config.accessKeyId);
  options->config->access_key_secret = aos_span_of(config.accessKeySecret);
  options->config->sts_token = aos_span_of("");
  options->config->is_cname = 0;
  options->ctl = aos_http_controller_create(options->pool, 0);
  aos_span bucket = aos_span_of(request.target.bucket);
  aos_span name = aos_span_of(request.key.c_str());
  apr_table_t* headers = apr_table_make(pool, 2);
  if (request.rangeStart >= 0) {
    apr_table_set(headers, "Range",
                  apr_psprintf(pool, "bytes=%lld-", static_cast<long long>(request.rangeStart)));
    if (!request.ifRange.empty()) apr_table_set(headers, "If-Range", request.ifRange.c_str());
  }
  aos_list body;
  aos_list_init(&body);
  apr_table_t* responseHeaders = nullptr;
  aos_status* status = oss_fetch_object_to_memory(options, &bucket, &name, headers, nullptr, &body,
                                                  &responseHeaders);
  ResponseHead& head = outcome.head;
  head.status = status != nullptr ? status->code : -1;
  if (isFetchSuccess(head.status)) {
    if (const char* etag = apr_table_get(responseHeaders, "ETag")) head.etag = etag;
    if (head.status == 206) {
      parseContentRange(apr_table_get(responseHeaders, "Content-Range"), head);
    } else {
      head.objectSize = headerNumber(responseHeaders, "Content-Length");
    }
    bool going = sink.begin(head);
    for (aos_list* node = body.next; going && node != &body; node = node->next) {
      auto* chunk = reinterpret_cast<aos_chunk*>(node);
      going = sink.write(std::span<const uint8_t>(reinterpret_cast<const uint8_t*>(chunk->pos),
                                                  aos_chunk_data_len(chunk)));
    }
    outcome.complete = going;
  }
  apr_pool_t* const owner = options->pool;
  apr_pool_destroy(owner);
  if (pool != owner) apr_pool_destroy(pool);
  return outcome;
}

int startStorageClient() {
  return aos_http_io_initialize();
}

void stopStorageClient() {
  aos_http_io_shutdown();
}

}  // namespace package_download
