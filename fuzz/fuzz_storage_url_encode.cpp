// The percent-encoder and the query-string builder of the storage client on arbitrary bytes.
#include <apr_pools.h>
#include <apr_strings.h>
#include <apr_tables.h>

#include <cctype>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "storage_client/aos_util.h"
#include "storage_fuzz_pool.h"

namespace {

int hex_value(char c) {
  return c <= '9' ? c - '0' : c - 'A' + 10;
}

// Decoding an accepted output must give the input back, and only the allowed bytes stay bare.
void check_round_trip(const std::string& in, const char* out) {
  std::string back;
  for (const char* p = out; *p != '\0'; ++p) {
    if (*p == '%') {
      if (!std::isxdigit(static_cast<unsigned char>(p[1])) ||
          !std::isxdigit(static_cast<unsigned char>(p[2])) || std::islower(p[1]) ||
          std::islower(p[2])) {
        std::abort();
      }
      back += static_cast<char>(hex_value(p[1]) * 16 + hex_value(p[2]));
      p += 2;
    } else {
      auto c = static_cast<unsigned char>(*p);
      if (!std::isalnum(c) && std::strchr("-_.!~*'()/", c) == nullptr) std::abort();
      back += *p;
    }
  }
  if (back != in) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  apr_pool_t* pool = nullptr;
  if (apr_pool_create(&pool, storage_fuzz_root_pool()) != APR_SUCCESS) return 0;
  std::string text(reinterpret_cast<const char*>(data), size);
  std::string cut = text.substr(0, text.find('\0'));

  // The first byte picks a small limit, so both sides of it are reached with short inputs.
  int limit = size > 0 ? data[0] % 64 : 0;
  std::vector<char> out(3 * static_cast<size_t>(limit) + 1);
  int rc = aos_percent_encode(out.data(), cut.c_str(), limit);
  if (rc == 0) {
    if (cut.size() > static_cast<size_t>(limit)) std::abort();
    check_round_trip(cut, out.data());
  } else if (cut.size() <= static_cast<size_t>(limit)) {
    std::abort();
  }
  std::vector<char> wide(3 * static_cast<size_t>(AOS_MAX_URI_LEN) + 1);
  if (aos_percent_encode(wide.data(), cut.c_str(), AOS_MAX_URI_LEN) == 0) {
    check_round_trip(cut, wide.data());
  }

  // "&" separates parameters and the first "=" a name from its value.
  apr_table_t* params = apr_table_make(pool, 4);
  size_t start = 0;
  while (start <= cut.size()) {
    size_t end = cut.find('&', start);
    if (end == std::string::npos) end = cut.size();
    std::string item = cut.substr(start, end - start);
    size_t eq = item.find('=');
    std::string name = item.substr(0, eq);
    std::string value = eq == std::string::npos ? "" : item.substr(eq + 1);
    apr_table_add(params, name.c_str(), value.c_str());
    start = end + 1;
  }
  aos_span query;
  if (aos_query_params_to_string(pool, params, &query) == 0 && query.len > 0) {
    if (query.data[0] != '?') std::abort();
  }
  apr_pool_destroy(pool);
  return 0;
}
