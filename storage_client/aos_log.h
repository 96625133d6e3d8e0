// The client's log. Every log call goes through the log-format slot (aos_log_compose unless a
// test swaps it), which builds one line "[date time.ms] thread file:line message\n" and hands it
// to the log-write slot (aos_log_output), which writes it with one call.
#pragma once

#include <apr_pools.h>

#include <cstdarg>
#include <cstddef>
#include <cstdint>

enum aos_log_level { AOS_LOG_POOL = 2, AOS_LOG_ERROR = 3, AOS_LOG_CLOSE = 4 };

inline constexpr int AOS_LOG_LINE_BUFFER = 4096;
inline constexpr int AOS_LOG_LINE_LIMIT = 4090;  // prefix and message together

using aos_log_format_fn = void (*)(int level, const char* file, int line, const char* function,
                                   const char* format, va_list args);
using aos_log_write_fn = void (*)(const char* text, int len);

extern aos_log_format_fn aos_log_format;
extern aos_log_write_fn aos_log_write;

void aos_log_call(int level, const char* file, int line, const char* function, const char* format,
                  ...) __attribute__((format(printf, 5, 6)));

#define aos_log_at(level, file, function, ...) \
  aos_log_call((level), (file), __LINE__, (function), __VA_ARGS__)

// Builds one line for the given time (microseconds, broken down in local time) and thread into
// `out` (AOS_LOG_LINE_BUFFER bytes): the prefix, the message cut to the room left of the line
// limit, then exactly one line feed and a NUL. Gives the length without the NUL, or -1 when the
// time cannot be broken down.
int aos_log_compose_line(char* out, int64_t time_us, int64_t thread_id, const char* file, int line,
                         const char* format, va_list args);

// The default log-format slot: the current time and thread, then the log-write slot.
void aos_log_compose(int level, const char* file, int line, const char* function,
                     const char* format, va_list args);

// The default log-write slot: the standard-error file opened at initialisation, or the runtime
// library's standard error stream when none is open.
void aos_log_output(const char* text, int len);

// Opens the log file on the process's standard error in `pool` (a duplicate of the descriptor,
// so closing it later leaves the process's own standard error open). An APR status.
int aos_log_open_file(apr_pool_t* pool);
// Closes and forgets the log file; lines then go to the runtime library's stream again.
void aos_log_close_file();
