// The client's log lines: the exact prefix, the line-feed rule, the cut at the line limit, and
// where lines go before, during and after the log file is open.
#include <apr_general.h>
#include <apr_pools.h>
#include <gtest/gtest.h>
#include <pthread.h>
#include <unistd.h>

#include <cinttypes>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "storage_client/aos_log.h"
#include "support/test_support.h"

namespace {

// The line for a message at a fixed local time, as aos_log_compose_line builds it.
std::string composeAt(int64_t timeUs, int64_t thread, const char* file, int line,
                      const char* format, ...) __attribute__((format(printf, 5, 6)));
std::string composeAt(int64_t timeUs, int64_t thread, const char* file, int line,
                      const char* format, ...) {
  char out[AOS_LOG_LINE_BUFFER];
  va_list args;
  va_start(args, format);
  int len = aos_log_compose_line(out, timeUs, thread, file, line, format, args);
  va_end(args);
  EXPECT_GE(len, 0);
  EXPECT_EQ(static_cast<size_t>(len), std::strlen(out));
  return std::string(out, len < 0 ? 0 : static_cast<size_t>(len));
}

// 6 December 2026, 01:24:04.513 local time, through the C library's own conversion.
int64_t sampleTime() {
  std::tm tm{};
  tm.tm_year = 2026 - 1900;
  tm.tm_mon = 11;
  tm.tm_mday = 6;
  tm.tm_hour = 1;
  tm.tm_min = 24;
  tm.tm_sec = 4;
  tm.tm_isdst = -1;
  return static_cast<int64_t>(std::mktime(&tm)) * 1000000 + 513000 + 999;
}

TEST(StorageLog, PrefixIsLocalTimeMillisecondsThreadFileAndLine) {
  EXPECT_EQ(composeAt(sampleTime(), 4660, "aos_http_io", 57, "value %d", 7),
            "[2026-12-06 01:24:04.513] 4660 aos_http_io:57 value 7\n");
  // Large and negative thread numbers print as signed 64-bit decimals.
  EXPECT_EQ(composeAt(sampleTime(), -5, "f", 1, "m"), "[2026-12-06 01:24:04.513] -5 f:1 m\n");
  EXPECT_EQ(composeAt(sampleTime(), INT64_C(140262610610944), "f", 1, "m"),
            "[2026-12-06 01:24:04.513] 140262610610944 f:1 m\n");
  EXPECT_EQ(composeAt(sampleTime(), 1, "f", 1, "%" PRId64, INT64_C(-9000000000)),
            "[2026-12-06 01:24:04.513] 1 f:1 -9000000000\n");
}

TEST(StorageLog, LineFeedsCollapseToExactlyOne) {
  const std::string prefix = "[2026-12-06 01:24:04.513] 1 f:2 ";
  EXPECT_EQ(composeAt(sampleTime(), 1, "f", 2, "done.\n"), prefix + "done.\n");
  EXPECT_EQ(composeAt(sampleTime(), 1, "f", 2, "done.\n\n\n"), prefix + "done.\n");
  EXPECT_EQ(composeAt(sampleTime(), 1, "f", 2, "done."), prefix + "done.\n");
  EXPECT_EQ(composeAt(sampleTime(), 1, "f", 2, "a\nb"), prefix + "a\nb\n");
  EXPECT_EQ(composeAt(sampleTime(), 1, "f", 2, "%s", ""), prefix + "\n");
}

TEST(StorageLog, LongMessagesAreCutAtTheLineLimit) {
  std::string big(10000, 'x');
  std::string line = composeAt(sampleTime(), 1, "f", 3, "%s", big.c_str());
  // 4089 characters of prefix and message, then the line feed.
  ASSERT_EQ(line.size(), static_cast<size_t>(AOS_LOG_LINE_LIMIT));
  EXPECT_EQ(line.back(), '\n');
  const std::string prefix = "[2026-12-06 01:24:04.513] 1 f:3 ";
  EXPECT_EQ(line.substr(prefix.size(), line.size() - prefix.size() - 1),
            std::string(AOS_LOG_LINE_LIMIT - 1 - prefix.size(), 'x'));
  // A message of line feeds only that overflows still ends in one line feed.
  std::string feeds(5000, '\n');
  EXPECT_EQ(composeAt(sampleTime(), 1, "f", 3, "%s", feeds.c_str()), prefix + "\n");
  // A file name longer than the whole line leaves a cut prefix and still one line feed.
  std::string longFile(5000, 'n');
  std::string cut = composeAt(sampleTime(), 1, longFile.c_str(), 3, "m");
  EXPECT_EQ(cut.size(), static_cast<size_t>(AOS_LOG_LINE_LIMIT));
  EXPECT_EQ(cut.back(), '\n');
}

std::vector<std::string>& written() {
  static std::vector<std::string> lines;
  return lines;
}

TEST(StorageLog, CallsGoThroughBothSlotsWithTheCallersThreadAndLine) {
  aos_log_format_fn savedFormat = aos_log_format;
  aos_log_write_fn savedWrite = aos_log_write;
  aos_log_format = aos_log_compose;
  aos_log_write = [](const char* text, int len) { written().emplace_back(text, len); };
  written().clear();
  int line = __LINE__ + 1;
  aos_log_at(AOS_LOG_ERROR, "aos_status", "some_function", "code %d.\n", 42);
  aos_log_format = savedFormat;
  aos_log_write = savedWrite;

  ASSERT_EQ(written().size(), 1u);
  const std::string& text = written()[0];
  int year, month, day, hour, minute, second, ms, fileLine, used = 0;
  long long thread;
  ASSERT_EQ(std::sscanf(text.c_str(), "[%4d-%2d-%2d %2d:%2d:%2d.%3d] %lld aos_status:%d %n", &year,
                        &month, &day, &hour, &minute, &second, &ms, &thread, &fileLine, &used),
            9)
      << text;
  EXPECT_EQ(text.substr(static_cast<size_t>(used)), "code 42.\n");
  EXPECT_EQ(text[5], '-');
  EXPECT_EQ(text[24], ']');
  EXPECT_EQ(thread, static_cast<long long>(pthread_self()));
  EXPECT_EQ(fileLine, line);
  // Neither the level nor the function name is written.
  EXPECT_EQ(text.find("some_function"), std::string::npos);
  std::time_t now = std::time(nullptr);
  std::tm local{};
  localtime_r(&now, &local);
  EXPECT_EQ(year, local.tm_year + 1900);
  EXPECT_EQ(month, local.tm_mon + 1);
}

// Standard error pointed at a file for the life of the object.
class StderrToFile {
 public:
  explicit StderrToFile(const std::string& path) {
    std::fflush(stderr);
    saved_ = ::dup(2);
    FILE* f = std::fopen(path.c_str(), "w");
    ::dup2(fileno(f), 2);
    std::fclose(f);
  }
  ~StderrToFile() {
    std::fflush(stderr);
    ::dup2(saved_, 2);
    ::close(saved_);
  }

 private:
  int saved_;
};

TEST(StorageLog, OutputUsesTheLogFileAndNeverClosesStandardError) {
  apr_initialize();
  apr_pool_t* pool = nullptr;
  ASSERT_EQ(apr_pool_create(&pool, nullptr), APR_SUCCESS);
  testsupport::TempDir dir;
  std::string path = (dir / "stderr").string();
  {
    StderrToFile redirect(path);
    aos_log_output("before\n", 7);
    std::fflush(stderr);
    ASSERT_EQ(aos_log_open_file(pool), APR_SUCCESS);
    aos_log_output("during\n", 7);
    aos_log_close_file();
    aos_log_output("after\n", 6);
    std::fflush(stderr);
    // The process's own standard error is still open after the log file closed.
    EXPECT_EQ(::write(2, "raw\n", 4), 4);
  }
  auto bytes = testsupport::readFile(path);
  EXPECT_EQ(std::string(bytes.begin(), bytes.end()), "before\nduring\nafter\nraw\n");
  apr_pool_destroy(pool);
  apr_terminate();
}

}  // namespace
