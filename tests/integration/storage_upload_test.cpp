// Object PUT and HEAD: kelvora-storage against the local object store, with the curl and openssl
// commands as the independent client (a hand-built version-1 signature), and the client's
// retries against a canned server that fails on purpose.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <utility>
#include <vector>

#include "storage_client/aos_status.h"
#include "storage_client/oss_object_upload.h"
#include "support/canned_http_server.h"
#include "support/devserver_process.h"
#include "support/storage_fixture.h"

namespace {

using namespace testsupport;
namespace fs = std::filesystem;

constexpr char kWriteId[] = "WRITE7kQ2mXz";
constexpr char kWriteSecret[] = "write-secret-9Jp4";

// A PUT with the write pair signed by hand, as the store's documentation tells anyone to: the
// string to sign hashed by `openssl dgst -sha1 -hmac`, sent by curl with the Content-MD5 `md5`.
std::string curlPut(int port, const std::string& resource, const std::string& md5,
                    const std::string& curlArgs) {
  const std::string type = "application/octet-stream";
  return std::string("D=$(LC_ALL=C date -u '+%a, %d %b %Y %H:%M:%S GMT'); ") +
         "S=$(printf 'PUT\\n%s\\n%s\\n%s\\n%s' '" + md5 + "' '" + type + "' \"$D\" '" + resource +
         "' | openssl dgst -sha1 -hmac '" + kWriteSecret + "' -binary | base64); " +
         "curl -s -w 'code=%{http_code}\\n' -X PUT -H \"Date: $D\" -H 'Content-Type: " + type +
         "' -H 'Content-MD5: " + md5 + "' -H \"Authorization: OSS " + kWriteId + ":$S\" " +
         curlArgs + " http://127.0.0.1:" + std::to_string(port) + resource;
}

// The Content-MD5 of a file, by the openssl command.
std::string md5Base64(const fs::path& file) {
  return runCommand("openssl dgst -md5 -binary " + file.string() + " | openssl base64 -A").output;
}

// Each way of writing, with the key pair it uses, and what the store must make of it, judged on
// the stored file itself.
TEST(StorageUpload, PutIsCheckedSignedAndStoredWholeOrNotAtAll) {
  TempDir dir;
  fs::create_directories(dir / "root/b");
  const std::string data = randomString(3 << 20, 7);
  writeFile(dir / "data", data);
  DevServerProcess store(dir / "root",
                         {"--http-port", "0", "--update-port", "0", "--put-id", kWriteId,
                          "--put-secret", kWriteSecret},
                         dir / "log");
  DevServerProcess readOnly(dir / "root", {"--http-port", "0", "--update-port", "0"},
                            dir / "log-ro");
  ASSERT_TRUE(store.ready() && readOnly.ready()) << store.log() << readOnly.log();
  auto storage = [&](const std::string& command, int port, const std::string& key,
                     const std::string& keyPair) {
    return binPath("kelvora-storage") + " " + command +
           " --endpoint 127.0.0.1:" + std::to_string(port) + " --bucket b --key " + key + " " +
           keyPair;
  };
  const std::string writePair = std::string("--id ") + kWriteId + " --secret " + kWriteSecret,
                    input = " --input " + (dir / "data").string(), md5 = md5Base64(dir / "data"),
                    curlInput = "-o /dev/null -T " + (dir / "data").string();
  const int port = store.httpPort();
  const struct {
    const char* what;
    const char* key;
    std::string command;
    std::string printed;  // the start of the result line
  } cases[] = {
      {"kelvora-storage, write pair", "k1", storage("put", port, "k1", writePair) + input,
       "code=200"},
      {"curl, write pair", "k2", curlPut(port, "/b/k2", md5, curlInput), "code=200"},
      {"read pair", "k3", storage("put", port, "k3", "") + input, "code=403 error=AccessDenied"},
      {"wrong secret", "k4",
       storage("put", port, "k4", std::string("--id ") + kWriteId + " --secret x") + input,
       "code=403 error=SignatureDoesNotMatch"},
      {"store without a write pair", "k5",
       storage("put", readOnly.httpPort(), "k5", writePair) + input, "code=403 error=AccessDenied"},
      {"Content-MD5 of other bytes", "k6",
       curlPut(port, "/b/k6", md5Base64("/dev/null"), curlInput), "code=400"},
  };
  for (const auto& k : cases) {
    SCOPED_TRACE(k.what);
    auto r = runCommand(k.command);
    const bool stored = k.printed == "code=200";
    EXPECT_EQ(r.output.rfind(k.printed, 0), 0u) << r.output << store.log();
    EXPECT_EQ(fs::exists(dir / "root/b" / k.key), stored);
    EXPECT_TRUE(!stored ||
                readFile(dir / "root/b" / k.key) == std::vector<uint8_t>(data.begin(), data.end()));
  }
  // Refused bodies leave no temporary file behind.
  for (const auto& entry : fs::directory_iterator(dir / "root/b"))
    EXPECT_EQ(entry.path().filename().string().rfind(".put-", 0), std::string::npos);

  // HEAD: the object's length and the ETag the PUT answered with; an absent object is 404.
  auto r = runCommand(storage("put", port, "k7", writePair) + input);
  const size_t etagAt = r.output.find(" etag=") + 6;
  const std::string etag = r.output.substr(etagAt, r.output.find(" attempts=") - etagAt);
  r = runCommand(storage("head", port, "k7", ""));
  EXPECT_EQ(r.output.substr(r.output.find(" length=")),
            " length=" + std::to_string(data.size()) + " etag=" + etag + "\n");
  r = runCommand(storage("head", port, "absent", writePair));
  EXPECT_EQ(r.output.rfind("code=404", 0), 0u) << r.output;
  EXPECT_EQ(r.status, 1);
}

// The client's own retries: a 5xx or a connection cut before the answer is tried again with the
// whole file from its start; a 4xx is final and its error body read.
struct StorageUploadRetry : StorageClientTest {};

TEST_F(StorageUploadRetry, ServerFailuresAndCutConnectionsAreTriedAgainClientErrorsAreNot) {
  enum Answer { k200, k500, kCut, k403 };
  struct Case {
    const char* what;
    std::vector<Answer> answers;  // one per connection, the last one repeated
    int status, attempts;
    const char* errorCode;
  } cases[] = {
      {"500 then 200", {k500, k200}, 200, 2, ""},
      {"cut then 200", {kCut, k200}, 200, 2, ""},
      {"403", {k403}, 403, 1, "AccessDenied"},
      {"500 always", {k500}, 500, 4, "InternalError"},
  };
  TempDir dir;
  const std::string data = randomString(200000, 3);
  writeFile(dir / "data", data);
  const std::string md5 = md5Base64(dir / "data");
  for (const Case& k : cases) {
    SCOPED_TRACE(k.what);
    size_t connection = 0;
    std::vector<std::string> bodies;
    CannedHttpServer server([&](const CannedRequest& request, CannedConnection& c) {
      const Answer a = k.answers[std::min(connection++, k.answers.size() - 1)];
      if (request.head.find("\r\nExpect: 100-continue\r\n") != std::string::npos)
        c.send("HTTP/1.1 100 Continue\r\n\r\n");
      if (a == kCut) {
        c.receive(data.size() / 2);
        return;  // the connection closes without an answer
      }
      bodies.push_back(request.bodyStart + c.receive(data.size() - request.bodyStart.size()));
      EXPECT_NE(request.head.find("\r\nContent-MD5: " + md5 + "\r\n"), std::string::npos);
      if (a == k200) c.respond(200, "", "ETag: \"E1\"\r\n");
      const char* code = a == k500 ? "InternalError" : "AccessDenied";
      if (a != k200)
        c.respond(a == k500 ? 500 : 403,
                  std::string("<Error><Code>") + code + "</Code><Message>no</Message></Error>");
    });
    const std::string endpoint = "127.0.0.1:" + std::to_string(server.port());
    oss_object_target target{endpoint.c_str(), "id", "secret", "b", "k"};
    oss_object_outcome o{};
    std::pair<int64_t, int64_t> progress{-1, -1};  // the last bytes sent and total reported
    oss_put_object_from_file(
        &target, (dir / "data").c_str(),
        [](void* user, int64_t sent, int64_t total) {
          *static_cast<std::pair<int64_t, int64_t>*>(user) = {sent, total};
        },
        &progress, &o);
    EXPECT_EQ(o.status, k.status);
    EXPECT_EQ(o.attempts, k.attempts);
    EXPECT_STREQ(o.error_code, k.errorCode);
    EXPECT_EQ(o.body_sent, static_cast<int64_t>(data.size()));
    EXPECT_EQ(progress, std::make_pair(o.body_sent, o.body_sent));
    EXPECT_STREQ(o.etag, k.status == 200 ? "\"E1\"" : "");
    for (const std::string& body : bodies) EXPECT_TRUE(body == data);
    EXPECT_EQ(server.requests().size(), static_cast<size_t>(k.attempts));
  }
}

}  // namespace
