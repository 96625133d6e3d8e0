#include "aos_content_range.h"

#include <cstring>

namespace {

struct Cursor {
  const char* at;
  const char* end;
  bool eat(char c) {
    if (at == end || *at != c) return false;
    ++at;
    return true;
  }
  // One or more decimal digits, refusing values past INT64_MAX.
  bool number(int64_t* out) {
    const char* start = at;
    int64_t v = 0;
    while (at < end && *at >= '0' && *at <= '9') {
      int digit = *at - '0';
      if (v > (INT64_MAX - digit) / 10) return false;
      v = v * 10 + digit;
      ++at;
    }
    *out = v;
    return at > start;
  }
};

bool is_blank(char c) {
  return c == ' ' || c == '\t';
}

}  // namespace

bool aos_parse_content_range(const char* text, size_t len, aos_content_range* out) {
  if (text == nullptr) return false;
  const char* begin = text;
  const char* end = text + len;
  while (begin < end && is_blank(*begin)) ++begin;
  while (end > begin && is_blank(end[-1])) --end;
  constexpr size_t kUnit = 6;  // "bytes "
  if (static_cast<size_t>(end - begin) < kUnit || std::memcmp(begin, "bytes ", kUnit) != 0)
    return false;
  Cursor c{begin + kUnit, end};
  aos_content_range r{-1, -1, -1};
  if (c.eat('*')) {
    if (!c.eat('/') || !c.number(&r.size)) return false;
  } else {
    if (!c.number(&r.first) || !c.eat('-') || !c.number(&r.last) || !c.eat('/')) return false;
    if (!c.eat('*') && !c.number(&r.size)) return false;
    if (r.first > r.last || (r.size >= 0 && r.last >= r.size)) return false;
  }
  if (c.at != c.end) return false;
  *out = r;
  return true;
}
