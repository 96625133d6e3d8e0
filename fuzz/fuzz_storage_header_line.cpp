// The transport's header-line splitting on arbitrary bytes, alone and through the header callback
// into a response's header table, and the Content-Range parser on every value found.
#include <apr_pools.h>
#include <apr_tables.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "storage_client/aos_content_range.h"
#include "storage_client/aos_http_io.h"
#include "storage_client/aos_transport.h"
#include "storage_fuzz_pool.h"

namespace {

bool blank(unsigned char c) {
  return c == ' ' || c == '\t';
}

void check_split(const uint8_t* data, size_t size) {
  aos_header_field f{};
  bool ok = aos_parse_header_line(reinterpret_cast<const char*>(data), size, &f);
  size_t first = 0;
  while (first < size && data[first] <= 0x20) ++first;
  size_t last = size;
  while (last > first && data[last - 1] <= 0x20) --last;
  const void* colon = std::memchr(data + first, ':', last - first);
  if (ok != (colon != nullptr)) std::abort();
  if (!ok) return;
  const auto* name = reinterpret_cast<const uint8_t*>(f.name);
  const auto* value = reinterpret_cast<const uint8_t*>(f.value);
  // Both parts lie inside the trimmed line, the name ends at the first colon.
  if (name != data + first || name + f.name_len != colon) std::abort();
  if (value < name + f.name_len + 1 || value + f.value_len > data + last) std::abort();
  if (f.value_len > 0 && (blank(value[0]) || blank(value[f.value_len - 1]))) std::abort();
  for (const uint8_t* p = name + f.name_len + 1; p < value; ++p) {
    if (!blank(*p)) std::abort();
  }
}

// A range that parses is consistent: a satisfied range lies inside the object when its size is
// known; an unsatisfied one names the size.
void check_content_range(const char* text, size_t len) {
  aos_content_range r{};
  if (!aos_parse_content_range(text, len, &r)) return;
  if (r.size < -1 || (r.first < 0) != (r.last < 0)) std::abort();
  if (r.first < 0 && (r.first != -1 || r.last != -1 || r.size < 0)) std::abort();
  if (r.first >= 0 && (r.first > r.last || (r.size >= 0 && r.last >= r.size))) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  apr_pool_t* pool = nullptr;
  if (apr_pool_create(&pool, storage_fuzz_root_pool()) != APR_SUCCESS) return 0;
  check_split(data, size);
  check_content_range(reinterpret_cast<const char*>(data), size);

  auto* ctl = static_cast<aos_http_controller*>(apr_pcalloc(pool, sizeof(aos_http_controller)));
  ctl->pool = pool;
  auto* t =
      static_cast<aos_curl_http_transport*>(apr_pcalloc(pool, sizeof(aos_curl_http_transport)));
  t->pool = pool;
  t->controller = ctl;
  t->resp = aos_http_response_create(pool);
  // Line by line, as libcurl hands them over; each piece is a copy of exactly its bytes.
  size_t stored = 0;
  for (size_t at = 0; at < size;) {
    const void* lf = std::memchr(data + at, '\n', size - at);
    size_t end =
        lf != nullptr ? static_cast<size_t>(static_cast<const uint8_t*>(lf) - data) + 1 : size;
    size_t len = end - at;
    auto* line = static_cast<char*>(std::malloc(len > 0 ? len : 1));
    std::memcpy(line, data + at, len);
    check_split(data + at, len);
    aos_header_field f{};
    bool header =
        !(len >= 5 && std::memcmp(line, "HTTP/", 5) == 0) && aos_parse_header_line(line, len, &f);
    if (header) check_content_range(f.value, f.value_len);
    if (aos_curl_header_line_callback(line, 1, len, t) != len) std::abort();
    std::free(line);
    stored += header;
    at = end;
  }
  if (static_cast<size_t>(apr_table_elts(t->resp->headers)->nelts) != stored) std::abort();
  if (size > 0 && t->state != TRANS_STATE_HEADER) std::abort();
  apr_pool_destroy(pool);
  return 0;
}
