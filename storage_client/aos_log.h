// The client's log entry point. Every log call goes through the log-format slot so that the
// line composer (and tests) can be swapped in; until then a plain line goes to stderr.
#pragma once

#include <cstdarg>

enum aos_log_level { AOS_LOG_POOL = 2, AOS_LOG_ERROR = 3, AOS_LOG_CLOSE = 4 };

using aos_log_format_fn = void (*)(int level, const char* file, int line, const char* function,
                                   const char* format, va_list args);

extern aos_log_format_fn aos_log_format;

void aos_log_call(int level, const char* file, int line, const char* function, const char* format,
                  ...) __attribute__((format(printf, 5, 6)));

#define aos_log_at(level, file, function, ...) \
  aos_log_call((level), (file), __LINE__, (function), __VA_ARGS__)
