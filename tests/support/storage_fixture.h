// The one set-up of the storage client's tests: APR once per suite, a pool per test, the client's
// log kept off the output; StorageClientTest adds the initialised client and options with the
// loopback key pair.
#pragma once

#include <apr_general.h>
#include <apr_pools.h>
#include <gtest/gtest.h>

#include <cstdarg>

#include "storage_client/aos_http_io.h"
#include "storage_client/aos_log.h"
#include "storage_client/oss_util.h"

namespace testsupport {

class StoragePoolTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { apr_initialize(); }
  static void TearDownTestSuite() { apr_terminate(); }
  void SetUp() override {
    ASSERT_EQ(apr_pool_create(&pool_, nullptr), APR_SUCCESS);
    savedLogFormat_ = aos_log_format;
    aos_log_format = [](int, const char*, int, const char*, const char*, va_list) {};
  }
  void TearDown() override {
    aos_log_format = savedLogFormat_;
    apr_pool_destroy(pool_);
  }

  apr_pool_t* pool_ = nullptr;

 private:
  aos_log_format_fn savedLogFormat_ = nullptr;
};

class StorageClientTest : public StoragePoolTest {
 protected:
  static void SetUpTestSuite() { ASSERT_EQ(aos_http_io_initialize(), 0); }
  static void TearDownTestSuite() { aos_http_io_shutdown(); }
  void SetUp() override {
    StoragePoolTest::SetUp();
    options_ = oss_request_options_create(pool_);
    ASSERT_NE(options_, nullptr);
    options_->config->access_key_id = aos_span_of("QX7mW2bRtNc8VdKp");
    options_->config->access_key_secret = aos_span_of("r4Tz8LmQ2vNc6XwB9sJk3HdF5yPa7G");
  }
  oss_request_options* options_ = nullptr;
};

}  // namespace testsupport
