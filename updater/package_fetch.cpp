// The storage client side of the download: one pool per fetch, released with the last buffer.
#include <apr_pools.h>

#include "updater/builtin_config.h"
#include "updater/package_download.h"

#if __has_include("storage_client/oss_util.h")
#include "storage_client/aos_http_io.h"
#include "storage_client/oss_util.h"
#define KELVORA_HAVE_OBJECT_GET 1
#endif

namespace package_download {

#if KELVORA_HAVE_OBJECT_GET

FetchedObject fetchFromStorage(const StorageTarget& target, const std::string& key) {
  FetchedObject object;
  apr_pool_t* pool = nullptr;
  if (apr_pool_create_ex(&pool, nullptr, nullptr, nullptr) != APR_SUCCESS) pool = nullptr;
  oss_request_options* options = oss_request_options_create(pool);
  if (options == nullptr) {
    if (pool != nullptr) apr_pool_destroy(pool);
    return object;
  }
  // The options may have made a pool of their own; that is the one to release.
  object.owner = std::shared_ptr<void>(
      options->pool, [](void* p) { apr_pool_destroy(static_cast<apr_pool_t*>(p)); });
  if (pool != nullptr && pool != options->pool) apr_pool_destroy(pool);
  const BuiltinConfig& config = builtinConfig();
  options->config->endpoint = aos_span_of(target.endpoint);
  options->config->access_key_id = aos_span_of(config.accessKeyId);
  options->config->access_key_secret = aos_span_of(config.accessKeySecret);
  options->config->sts_token = aos_span_of("");
  options->config->is_cname = 0;
  options->ctl = aos_http_controller_create(options->pool, 0);
  aos_span bucket = aos_span_of(target.bucket);
  aos_span name = aos_span_of(key.c_str());
  aos_list body;
  aos_list_init(&body);
  apr_table_t* responseHeaders = nullptr;
  aos_status* status = oss_fetch_object_to_memory(options, &bucket, &name, nullptr, nullptr, &body,
                                                  &responseHeaders);
  object.status = status != nullptr ? status->code : -1;
  for (aos_list* node = body.next; node != &body; node = node->next) {
    auto* chunk = reinterpret_cast<aos_chunk*>(node);
    object.buffers.emplace_back(reinterpret_cast<const uint8_t*>(chunk->pos),
                                aos_chunk_data_len(chunk));
  }
  return object;
}

int startStorageClient() {
  return aos_http_io_initialize();
}

void stopStorageClient() {
  aos_http_io_shutdown();
}

#else

// Until the object GET of the storage client is present every fetch fails as unreachable.
FetchedObject fetchFromStorage(const StorageTarget&, const std::string&) {
  return {};
}
int startStorageClient() {
  return 0;
}
void stopStorageClient() {}

#endif

}  // namespace package_download
