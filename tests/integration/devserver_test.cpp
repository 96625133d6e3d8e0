// What the other tests rely on in kelvora-devserver, judged by outside tools: requests signed
// with the openssl command and sent with curl are accepted or refused, ranges are served as a
// storage service serves them, and the fault switches shape the body.
#include <gtest/gtest.h>

#include <ctime>
#include <string>
#include <vector>

#include "support/devserver_process.h"
#include "updater/builtin_config.h"

namespace {

using namespace testsupport;

std::string quoted(const std::string& s) {
  std::string out = "'";
  for (char c : s) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return out + "'";
}

struct Request {
  std::string url = "/update-en-1/dir/a%20b%2Bc.BIN";   // after http://HOST:PORT
  std::string resource = "/update-en-1/dir/a b+c.BIN";  // what is signed
  std::vector<std::string> headers{};
  std::string signedHeaders{};  // the canonical x-oss- lines
  std::string id = builtin_config::builtinConfig().accessKeyId;
  std::string secret = builtin_config::builtinConfig().accessKeySecret;
  long skewSeconds = 0;
  bool sign = true;
};

struct Answer {
  int curlStatus;
  std::string statusAndHeaders;  // curl's -w of the status, Content-Range and ETag
  std::string body;
};

class DevServer : public ::testing::Test {
 protected:
  void SetUp() override {
    std::filesystem::create_directories(dir_ / "store/update-en-1/dir");
    writeFile(dir_ / "store/update-en-1/dir/a b+c.BIN", object_);
  }
  void serve(std::vector<std::string> extra) {
    extra.insert(extra.end(), {"--http-port", "0", "--update-port", "0"});
    server_ = std::make_unique<DevServerProcess>(dir_ / "store", extra,
                                                 dir_ / ("log" + std::to_string(++servers_)));
    ASSERT_TRUE(server_->ready()) << server_->log();
  }
  Answer get(const Request& r) {
    char date[64];
    std::time_t when = std::time(nullptr) + r.skewSeconds;
    std::tm tm{};
    std::strftime(date, sizeof date, "%a, %d %b %Y %H:%M:%S GMT", gmtime_r(&when, &tm));
    std::string cmd = "curl -s -o " + (dir_ / "body").string() +
                      " -w '%{http_code} %header{content-range} %header{etag}' -H " +
                      quoted(std::string("Date: ") + date);
    for (const auto& h : r.headers) cmd += " -H " + quoted(h);
    if (r.sign) {
      writeFile(dir_ / "sts",
                std::string("GET\n\n\n") + date + "\n" + r.signedHeaders + r.resource);
      auto mac = runCommand("openssl dgst -sha1 -hmac " + quoted(r.secret) + " -binary " +
                            (dir_ / "sts").string() + " | openssl base64 -A");
      cmd += " -H " + quoted("Authorization: OSS " + r.id + ":" + mac.output);
    }
    std::filesystem::remove(dir_ / "body");
    auto result = runCommand(
        cmd + " " + quoted("http://127.0.0.1:" + std::to_string(server_->httpPort()) + r.url));
    return {result.status, result.output, fileText(dir_ / "body")};
  }

  TempDir dir_;
  const std::string object_ = randomString(400000, 3);
  std::unique_ptr<DevServerProcess> server_;
  int servers_ = 0;
};

TEST_F(DevServer, SignaturesAreAcceptedAndRefusedAsTheServiceWould) {
  serve({});
  const struct {
    const char* what;
    Request request;
    const char* answer;  // the start of status and headers, or of the error body
  } cases[] = {
      {"several ranges: the whole object", {.headers = {"Range: bytes=0-1,5-9"}}, "200  \""},
      {"x-oss- headers lowered, trimmed, in natural order, and Range unsigned",
       {.headers = {"X-OSS-Meta-10: ten", "x-oss-meta-2:   two  ", "Range: bytes=0-"},
        .signedHeaders = "x-oss-meta-2:two\nx-oss-meta-10:ten\n"},
       "206 "},
      {"x-oss- header left unsigned",
       {.headers = {"x-oss-meta-2: two"}},
       "<Code>SignatureDoesNotMatch"},
      {"unknown key", {.id = "NotOurs"}, "<Code>InvalidAccessKeyId"},
      {"skew of 16 minutes", {.skewSeconds = 16 * 60}, "<Code>RequestTimeTooSkewed"},
  };
  for (const auto& k : cases) {
    SCOPED_TRACE(k.what);
    Answer a = get(k.request);
    if (k.answer[0] == '<') {
      EXPECT_NE(a.body.find(k.answer), std::string::npos) << a.body;
      EXPECT_NE(a.statusAndHeaders.rfind("20", 0), 0u);
    } else {
      EXPECT_EQ(a.statusAndHeaders.rfind(k.answer, 0), 0u) << a.statusAndHeaders << a.body;
      EXPECT_TRUE(a.body == object_);
    }
  }
}

// Single ranges, If-Range and a range past the end are judged through the client in
// storage_download_test, against a table of the answers the service gives.
TEST_F(DevServer, FaultSwitchesShapeTheBody) {
  serve({"--cut-short", "1000", "--ignore-range", "--throttle", "4000000", "--first-byte-delay",
         "50"});
  Answer a = get({.headers = {"Range: bytes=1000-"}});
  EXPECT_EQ(a.curlStatus, 18);  // curl: "Partial file"
  EXPECT_EQ(a.statusAndHeaders.rfind("200 ", 0), 0u);
  EXPECT_TRUE(a.body == object_.substr(0, object_.size() - 1000));
}

}  // namespace
