// The streaming object GET against kelvora-devserver, whose signature check is independent of
// the client's signing: whole and ranged bodies, If-Range, a range past the end, service errors,
// a refusing sink and a body cut short.
#include <gtest/gtest.h>

#include <random>
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

constexpr size_t kObjectSize = 3 * 1024 * 1024 + 123;

struct Collected {
  std::string bytes;
  int calls = 0;
  int refuseAfter = -1;  // refuse the piece after this many calls
};

int collect(void* user, const uint8_t* data, size_t len) {
  auto* c = static_cast<Collected*>(user);
  if (c->refuseAfter >= 0 && c->calls >= c->refuseAfter) return 1;
  ++c->calls;
  c->bytes.append(reinterpret_cast<const char*>(data), len);
  return 0;
}

class StorageDownload : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { ASSERT_EQ(aos_http_io_initialize(), 0); }
  static void TearDownTestSuite() { aos_http_io_shutdown(); }

  void SetUp() override {
    std::mt19937 gen(5);
    object_.resize(kObjectSize);
    for (char& c : object_) c = static_cast<char>(gen());
    std::filesystem::create_directories(dir_ / "root/update-en-1/3");
    writeFile(dir_ / "root/update-en-1/3/11.0.BIN", object_);
  }

  void serve(std::vector<std::string> extra = {}) {
    server_.reset();
    extra.insert(extra.end(), {"--http-port", "0", "--update-port", "0"});
    // A fresh log each time: readiness is its first line.
    server_ = std::make_unique<DevServerProcess>(
        dir_ / "root", extra, dir_ / ("server" + std::to_string(++servers_) + ".log"));
    ASSERT_TRUE(server_->ready()) << server_->log();
    endpoint_ = "127.0.0.1:" + std::to_string(server_->httpPort());
  }

  oss_download_outcome get(int64_t rangeStart, const char* ifRange, Collected* sink,
                           const char* secret = nullptr, const char* key = "3/11.0.BIN") {
    const BuiltinConfig& c = builtinConfig();
    oss_download_target target{endpoint_.c_str(),
                               c.accessKeyId,
                               secret != nullptr ? secret : c.accessKeySecret,
                               "update-en-1",
                               key,
                               rangeStart,
                               ifRange};
    oss_download_outcome outcome;
    oss_download_object(&target, collect, sink, &outcome);
    return outcome;
  }

  TempDir dir_;
  std::string object_;
  std::unique_ptr<DevServerProcess> server_;
  int servers_ = 0;
  std::string endpoint_;
};

TEST_F(StorageDownload, RangesAndIfRangeAgainstTheIndependentSignatureCheck) {
  serve();
  Collected whole;
  oss_download_outcome first = get(-1, nullptr, &whole);
  ASSERT_EQ(first.status, 200) << server_->log();
  ASSERT_EQ(whole.bytes, object_);
  EXPECT_GT(whole.calls, 1);  // streamed in pieces, not handed over at the end
  EXPECT_EQ(first.object_size, static_cast<int64_t>(kObjectSize));
  EXPECT_EQ(first.content_length, static_cast<int64_t>(kObjectSize));
  EXPECT_EQ(first.body_received, static_cast<int64_t>(kObjectSize));
  EXPECT_EQ(first.range_first, -1);
  ASSERT_EQ(first.etag[0], '"');
  const std::string etag = first.etag;

  const int64_t size = static_cast<int64_t>(kObjectSize);
  struct Case {
    int64_t start;
    const char* ifRange;
    int status;
    int64_t rangeFirst;
    int64_t bodyFrom;  // -1: no body reaches the sink
    const char* errorCode;
  } cases[] = {
      {1000, nullptr, 206, 1000, 1000, ""},
      {size - 1, etag.c_str(), 206, size - 1, size - 1, ""},
      {0, etag.c_str(), 206, 0, 0, ""},
      {1000, "\"another-object\"", 200, -1, 0, ""},  // changed object: the whole of it
      {size, nullptr, 416, -1, -1, "InvalidRange"},
      {size + 5, etag.c_str(), 416, -1, -1, "InvalidRange"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE("start " + std::to_string(c.start) + " if-range " +
                 (c.ifRange ? c.ifRange : "none"));
    Collected got;
    oss_download_outcome o = get(c.start, c.ifRange, &got);
    EXPECT_EQ(o.status, c.status) << o.error_code;
    EXPECT_EQ(o.range_first, c.rangeFirst);
    EXPECT_EQ(o.object_size, size);
    EXPECT_STREQ(o.error_code, c.errorCode);
    EXPECT_EQ(o.etag, etag);
    if (c.bodyFrom < 0) {
      EXPECT_EQ(got.calls, 0);
      EXPECT_EQ(o.body_received, 0);
    } else {
      EXPECT_TRUE(got.bytes == object_.substr(static_cast<size_t>(c.bodyFrom)));
      EXPECT_EQ(o.content_length, size - c.bodyFrom);
      EXPECT_EQ(o.body_received, size - c.bodyFrom);
    }
  }
}

TEST_F(StorageDownload, ServiceErrorsNeverReachTheSink) {
  serve();
  struct Case {
    const char* secret;
    const char* key;
    int status;
    const char* errorCode;
  } cases[] = {
      {"wrong-secret", "3/11.0.BIN", 403, "SignatureDoesNotMatch"},
      {nullptr, "3/12.0.BIN", 404, "NoSuchKey"},
  };
  for (const Case& c : cases) {
    for (int64_t start : {int64_t{-1}, int64_t{10}}) {
      Collected got;
      oss_download_outcome o = get(start, nullptr, &got, c.secret, c.key);
      EXPECT_EQ(o.status, c.status);
      EXPECT_STREQ(o.error_code, c.errorCode);
      EXPECT_EQ(got.calls, 0);
      EXPECT_EQ(o.body_received, 0);
    }
  }
}

TEST_F(StorageDownload, RefusedPiecesCutBodiesAndIgnoredRangesAreTold) {
  serve();
  Collected refusing;
  refusing.refuseAfter = 1;
  oss_download_outcome refused = get(-1, nullptr, &refusing);
  EXPECT_EQ(refused.status, aos_err_write_body);
  EXPECT_EQ(refusing.calls, 1);
  EXPECT_GT(refused.body_received, static_cast<int64_t>(refusing.bytes.size()));

  serve({"--cut-short", "4096", "--ignore-range"});
  for (int64_t start : {int64_t{-1}, int64_t{5000}}) {
    Collected got;
    oss_download_outcome o = get(start, nullptr, &got);
    EXPECT_EQ(o.status, aos_err_transfer);
    EXPECT_EQ(o.range_first, -1);  // the switch serves the whole object even when asked a range
    EXPECT_EQ(o.content_length, static_cast<int64_t>(kObjectSize));
    EXPECT_EQ(o.body_received, static_cast<int64_t>(kObjectSize - 4096));
    EXPECT_TRUE(got.bytes == object_.substr(0, kObjectSize - 4096));
  }
}

}  // namespace
