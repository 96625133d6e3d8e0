#include "aos_log.h"

#include <apr_file_io.h>
#include <apr_portable.h>
#include <apr_strings.h>
#include <apr_time.h>

#include <cinttypes>
#include <cstdio>

namespace {

// The log's process-wide state: the standard-error file between initialisation and shutdown.
struct aos_log_state {
  apr_file_t* file = nullptr;
};

aos_log_state& log_state() {
  static aos_log_state state;
  return state;
}

}  // namespace

aos_log_format_fn aos_log_format = aos_log_compose;
aos_log_write_fn aos_log_write = aos_log_output;

void aos_log_call(int level, const char* file, int line, const char* function, const char* format,
                  ...) {
  va_list args;
  va_start(args, format);
  aos_log_format(level, file, line, function, format, args);
  va_end(args);
}

int aos_log_compose_line(char* out, int64_t time_us, int64_t thread_id, const char* file, int line,
                         const char* format, va_list args) {
  apr_time_exp_t tm;
  if (apr_time_exp_lt(&tm, static_cast<apr_time_t>(time_us)) != APR_SUCCESS) return -1;
  int used = static_cast<int>(apr_snprintf(
      out, AOS_LOG_LINE_LIMIT, "[%04d-%02d-%02d %02d:%02d:%02d.%03d] %" APR_INT64_T_FMT " %s:%d ",
      tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec,
      tm.tm_usec / 1000, static_cast<apr_int64_t>(thread_id), file != nullptr ? file : "", line));
  if (used < 0) used = 0;
  if (used > AOS_LOG_LINE_LIMIT - 1) used = AOS_LOG_LINE_LIMIT - 1;
  int len = used;
  if (used < AOS_LOG_LINE_LIMIT - 1) {
    int n =
        std::vsnprintf(out + used, static_cast<size_t>(AOS_LOG_LINE_LIMIT - used), format, args);
    if (n > 0) len = used + (n < AOS_LOG_LINE_LIMIT - used ? n : AOS_LOG_LINE_LIMIT - used - 1);
  }
  // Trailing line feeds of the message collapse into exactly one.
  while (len > 0 && out[len - 1] == '\n') --len;
  out[len++] = '\n';
  out[len] = '\0';
  return len;
}

void aos_log_compose(int, const char* file, int line, const char*, const char* format,
                     va_list args) {
  char text[AOS_LOG_LINE_BUFFER];
  int len =
      aos_log_compose_line(text, apr_time_now(), static_cast<int64_t>(apr_os_thread_current()),
                           file, line, format, args);
  if (len < 0) return;
  aos_log_write(text, len);
}

void aos_log_output(const char* text, int len) {
  if (apr_file_t* file = log_state().file) {
    apr_size_t n = static_cast<apr_size_t>(len);
    apr_file_write(file, text, &n);
  } else {
    std::fprintf(stderr, "%s", text);
  }
}

int aos_log_open_file(apr_pool_t* pool) {
  apr_file_t* err = nullptr;
  apr_status_t rv = apr_file_open_stderr(&err, pool);
  if (rv != APR_SUCCESS) return rv;
  // Closing the APR file closes its descriptor: the log owns a duplicate, never descriptor 2.
  apr_file_t* dup = nullptr;
  rv = apr_file_dup(&dup, err, pool);
  if (rv != APR_SUCCESS) return rv;
  log_state().file = dup;
  return APR_SUCCESS;
}

void aos_log_close_file() {
  if (apr_file_t* file = log_state().file) {
    log_state().file = nullptr;
    apr_file_close(file);
  }
}
