// The storage client's parser of XML error bodies, fed bodies split into chunks as they arrive.
#include <apr_pools.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "storage_client/aos_chunk.h"
#include "storage_client/aos_status.h"
#include "storage_fuzz_pool.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  apr_pool_t* pool = nullptr;
  if (apr_pool_create(&pool, storage_fuzz_root_pool()) != APR_SUCCESS) return 0;
  // The first byte picks the chunk size, so the same body also arrives in odd pieces.
  size_t piece = size > 0 ? (data[0] % 17) + 1 : 1;
  aos_list body;
  aos_list_init(&body);
  for (size_t at = 1; at < size; at += piece) {
    size_t n = size - at < piece ? size - at : piece;
    aos_chunk* c = aos_chunk_create(pool, n);
    std::memcpy(c->last, data + at, n);
    c->last += n;
    aos_list_add_tail(&body, &c->node);
  }
  int64_t before = aos_body_length(&body);
  aos_status* s = aos_status_parse_from_body(pool, &body, 404, nullptr);
  if (s->code != 404) std::abort();
  // The caller still gets the body unchanged.
  if (aos_body_length(&body) != before) std::abort();
  apr_pool_destroy(pool);
  return 0;
}
