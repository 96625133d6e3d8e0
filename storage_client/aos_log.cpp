#include "aos_log.h"

#include <cstdio>
#include <cstring>

namespace {

void aos_log_plain(int, const char* file, int line, const char*, const char* format, va_list args) {
  char text[4096];
  int used = std::snprintf(text, sizeof text, "%s:%d ", file, line);
  if (used < 0) return;
  std::vsnprintf(text + used, sizeof text - 2 - static_cast<size_t>(used), format, args);
  size_t len = std::strlen(text);
  while (len > 0 && text[len - 1] == '\n') --len;
  text[len++] = '\n';
  text[len] = '\0';
  std::fputs(text, stderr);
}

}  // namespace

aos_log_format_fn aos_log_format = aos_log_plain;

void aos_log_call(int level, const char* file, int line, const char* function, const char* format,
                  ...) {
  va_list args;
  va_start(args, format);
  aos_log_format(level, file, line, function, format, args);
  va_end(args);
}
