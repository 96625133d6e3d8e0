// The streaming object GET against kelvora-devserver, whose signature check is independent of
// the client's signing: whole and ranged bodies, If-Range, a range past the end and service
// errors (never handed to the sink), a refusing sink and a body cut short.
#include <gtest/gtest.h>

#include <new>
#include <string>
#include <vector>

#include "storage_client/aos_http_io.h"
#include "storage_client/aos_status.h"
#include "storage_client/oss_object_download.h"
#include "support/devserver_process.h"
#include "support/test_support.h"
#include "updater/builtin_config.h"

namespace {

using namespace testsupport;

struct Collected {
  std::string bytes;
  int calls = 0;
  int refuseAt = -1;  // the call that is refused
  int throwAt = -1;   // the call that throws
};

int collect(void* user, const uint8_t* data, size_t len) {
  auto* c = static_cast<Collected*>(user);
  if (c->calls == c->throwAt) throw std::bad_alloc();  // nothing may unwind through libcurl
  if (c->calls++ == c->refuseAt) return 1;
  c->bytes.append(reinterpret_cast<const char*>(data), len);
  return 0;
}

class StorageDownload : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    ASSERT_EQ(aos_http_io_initialize(), 0);
    // A streamed body is kept nowhere, so the memory limit must never stop it.
    aos_http_io_limits()->max_memory_size = 4096;
  }
  static void TearDownTestSuite() { aos_http_io_shutdown(); }

  void SetUp() override {
    std::filesystem::create_directories(dir_ / "root/update-en-1/3");
    writeFile(dir_ / "root/update-en-1/3/11.0.BIN", object_);
  }

  void serve(std::vector<std::string> extra) {
    extra.insert(extra.end(), {"--http-port", "0", "--update-port", "0"});
    server_ = std::make_unique<DevServerProcess>(dir_ / "root", extra,
                                                 dir_ / ("log" + std::to_string(++servers_)));
    ASSERT_TRUE(server_->ready()) << server_->log();
    endpoint_ = "127.0.0.1:" + std::to_string(server_->httpPort());
  }

  oss_download_outcome get(int64_t start, const char* ifRange, Collected* sink,
                           const char* key = "3/11.0.BIN") {
    const builtin_config::BuiltinConfig& c = builtin_config::builtinConfig();
    oss_download_target target{endpoint_.c_str(), c.accessKeyId, c.accessKeySecret,
                               "update-en-1",     key,           start,
                               ifRange,           nullptr};
    oss_download_outcome outcome;
    oss_download_object(&target, collect, sink, &outcome);
    return outcome;
  }

  TempDir dir_;
  const std::string object_ = randomString(3 * 1024 * 1024 + 123, 5);
  std::unique_ptr<DevServerProcess> server_;
  int servers_ = 0;
  std::string endpoint_;
};

TEST_F(StorageDownload, WholeRangedAndRefusedAnswers) {
  serve({});
  Collected whole;
  const std::string etag = get(-1, nullptr, &whole).etag;
  ASSERT_EQ(etag[0], '"') << server_->log();
  EXPECT_GT(whole.calls, 1);  // streamed in pieces, not handed over at the end
  const int64_t size = static_cast<int64_t>(object_.size());

  const struct {
    int64_t start;
    const char* ifRange;
    const char* key;
    int status;
    int64_t rangeFirst, objectSize;
    int64_t bodyFrom;  // -1: nothing reaches the sink
    const char* errorCode;
  } cases[] = {
      {-1, nullptr, "3/11.0.BIN", 200, -1, size, 0, ""},
      {1000, nullptr, "3/11.0.BIN", 206, 1000, size, 1000, ""},
      {size - 1, etag.c_str(), "3/11.0.BIN", 206, size - 1, size, size - 1, ""},
      {1000, "\"another-object\"", "3/11.0.BIN", 200, -1, size, 0, ""},
      {size, etag.c_str(), "3/11.0.BIN", 416, -1, size, -1, "InvalidRange"},
      {-1, nullptr, "3/12.0.BIN", 404, -1, -1, -1, "NoSuchKey"},
  };
  for (const auto& k : cases) {
    SCOPED_TRACE(std::to_string(k.start) + " " + k.key);
    Collected got;
    oss_download_outcome o = get(k.start, k.ifRange, &got, k.key);
    EXPECT_EQ(o.status, k.status) << o.error_message;
    EXPECT_EQ(o.range_first, k.rangeFirst);
    EXPECT_EQ(o.object_size, k.objectSize);
    EXPECT_STREQ(o.error_code, k.errorCode);
    EXPECT_NE(o.request_id[0], '\0');
    if (k.bodyFrom < 0) {
      EXPECT_EQ(got.calls, 0);
      EXPECT_EQ(o.body_received, 0);
      continue;
    }
    EXPECT_EQ(o.etag, etag);
    EXPECT_TRUE(got.bytes == object_.substr(static_cast<size_t>(k.bodyFrom)));
    EXPECT_EQ(o.content_length, size - k.bodyFrom);
    EXPECT_EQ(o.body_received, size - k.bodyFrom);
  }
}

TEST_F(StorageDownload, RefusedPiecesAndCutBodiesAreNeverSuccess) {
  serve({});
  Collected refusing{"", 0, 1};
  EXPECT_EQ(get(-1, nullptr, &refusing).status, aos_err_write_body);
  EXPECT_EQ(refusing.calls, 2);  // nothing after the refused piece
  Collected throwing{"", 0, -1, 1};
  EXPECT_EQ(get(-1, nullptr, &throwing).status, aos_err_out_of_memory);
  EXPECT_EQ(throwing.calls, 1);

  // The switch serves the whole object even when asked a range, and cuts it short.
  serve({"--cut-short", "4096", "--ignore-range"});
  Collected got;
  oss_download_outcome o = get(5000, nullptr, &got);
  EXPECT_EQ(o.status, aos_err_transfer);
  EXPECT_EQ(o.range_first, -1);
  EXPECT_EQ(o.content_length, static_cast<int64_t>(object_.size()));
  EXPECT_EQ(o.body_received, static_cast<int64_t>(object_.size() - 4096));
  EXPECT_TRUE(got.bytes == object_.substr(0, object_.size() - 4096));
}

}  // namespace
