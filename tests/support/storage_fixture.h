// A test base for the storage client: APR started once per suite, a fresh pool per test, and the
// client's log messages captured instead of written.
#pragma once

#include <apr_general.h>
#include <apr_pools.h>
#include <gtest/gtest.h>

#include <cstdarg>
#include <cstdio>
#include <string>
#include <vector>

#include "storage_client/aos_log.h"

namespace testsupport {

class StoragePoolTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { apr_initialize(); }
  static void TearDownTestSuite() { apr_terminate(); }
  void SetUp() override {
    ASSERT_EQ(apr_pool_create(&pool_, nullptr), APR_SUCCESS);
    capturedLog().clear();
    savedLogFormat_ = aos_log_format;
    aos_log_format = captureLog;
  }
  void TearDown() override {
    aos_log_format = savedLogFormat_;
    apr_pool_destroy(pool_);
  }

  // The messages logged since the test began, formatted.
  static std::vector<std::string>& capturedLog() {
    static std::vector<std::string> log;
    return log;
  }

  apr_pool_t* pool_ = nullptr;

 private:
  static void captureLog(int, const char*, int, const char*, const char* format, va_list args) {
    std::vector<char> text(1 << 20);
    std::vsnprintf(text.data(), text.size(), format, args);
    capturedLog().emplace_back(text.data());
  }

  aos_log_format_fn savedLogFormat_ = nullptr;
};

}  // namespace testsupport
