// Counted strings of the storage client: a length and a pointer, not necessarily NUL-terminated.
#pragma once

#include <apr_pools.h>

#include <cstdint>

struct aos_span {
  int32_t len = 0;
  char* data = nullptr;
};

// A span over a NUL-terminated text (or the empty span for none).
aos_span aos_span_of(const char* text);

// A NUL-terminated pool copy of the span's characters.
char* aos_span_pstrdup(apr_pool_t* pool, const aos_span& span);

bool aos_span_is_empty(const aos_span& span);
