#include "aos_string.h"

#include <apr_strings.h>

#include <cstring>

aos_span aos_span_of(const char* text) {
  aos_span span;
  if (text == nullptr || *text == '\0') return span;
  span.len = static_cast<int32_t>(std::strlen(text));
  span.data = const_cast<char*>(text);
  return span;
}

char* aos_span_pstrdup(apr_pool_t* pool, const aos_span& span) {
  if (span.len <= 0 || span.data == nullptr) return apr_pstrdup(pool, "");
  return apr_pstrmemdup(pool, span.data, static_cast<apr_size_t>(span.len));
}

bool aos_span_is_empty(const aos_span& span) {
  return span.len <= 0 || span.data == nullptr;
}
