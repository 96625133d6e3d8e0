// The client's log lines (prefix, one line feed, the cut at the line limit) and where they go
// while the log file is open and after it closed.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdarg>
#include <cstdio>
#include <ctime>
#include <string>

#include "storage_client/aos_log.h"
#include "support/storage_fixture.h"
#include "support/test_support.h"

namespace {

// The line for "%s" of `message` at 6 December 2026, 01:24:04.513999 local time (through the C
// library's own conversion), thread 4660, file f, line 57.
std::string lineOf(const std::string& message) {
  std::tm tm{};
  strptime("2026-12-06 01:24:04", "%Y-%m-%d %H:%M:%S", &tm);
  tm.tm_isdst = -1;
  const int64_t us = static_cast<int64_t>(std::mktime(&tm)) * 1000000 + 513999;
  char out[AOS_LOG_LINE_BUFFER];
  auto compose = [&](const char* format, ...) {
    va_list args;
    va_start(args, format);
    int len = aos_log_compose_line(out, us, 4660, "f", 57, format, args);
    va_end(args);
    return len;
  };
  int len = compose("%s", message.c_str());
  return len < 0 ? "<error>" : std::string(out, static_cast<size_t>(len));
}

TEST(StorageLog, LinesHaveThePrefixOneLineFeedAndAreCutAtTheLimit) {
  const std::string prefix = "[2026-12-06 01:24:04.513] 4660 f:57 ";
  const size_t room = AOS_LOG_LINE_LIMIT - 1 - prefix.size();
  const struct {
    std::string message, line;
  } cases[] = {
      {"done.\n\n\n", prefix + "done.\n"},
      {std::string(10000, 'x'), prefix + std::string(room, 'x') + "\n"},
      {std::string(5000, '\n'), prefix + "\n"},
  };
  for (const auto& k : cases) EXPECT_EQ(lineOf(k.message), k.line) << k.message.substr(0, 20);
}

// Closing the log file must leave the process's own standard error open.
using StorageLogFile = testsupport::StoragePoolTest;

TEST_F(StorageLogFile, NeverClosesStandardError) {
  testsupport::TempDir dir;
  std::string path = (dir / "stderr").string();
  std::fflush(stderr);
  int saved = ::dup(2);
  FILE* f = std::fopen(path.c_str(), "w");
  ::dup2(fileno(f), 2);
  std::fclose(f);
  ASSERT_EQ(aos_log_open_file(pool_), 0);
  aos_log_output("during\n", 7);
  aos_log_close_file();
  aos_log_output("after\n", 6);
  std::fflush(stderr);
  const bool rawWritten = ::write(2, "raw\n", 4) == 4;
  ::dup2(saved, 2);
  ::close(saved);
  EXPECT_TRUE(rawWritten);
  auto bytes = testsupport::readFile(path);
  EXPECT_EQ(std::string(bytes.begin(), bytes.end()), "during\nafter\nraw\n");
}

}  // namespace
