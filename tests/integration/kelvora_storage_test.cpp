// kelvora-storage as a maker runs it against a loopback object store: the result line, the body
// file, the key pair it signs with, and its exit status.
#include <gtest/gtest.h>

#include <filesystem>
#include <random>
#include <string>

#include "support/canned_http_server.h"
#include "support/devserver_process.h"
#include "support/test_support.h"
#include "updater/builtin_config.h"

namespace {

using namespace testsupport;
namespace fs = std::filesystem;

std::string signatureOf(const std::string& secret, const std::string& stringToSign) {
  TempDir dir;
  writeFile(dir / "s", stringToSign);
  return runCommand("openssl dgst -sha1 -hmac '" + secret + "' -binary " + (dir / "s").string() +
                    " | openssl base64 -A")
      .output;
}

TEST(KelvoraStorage, GetWritesTheBodyAndSignsWithTheBuiltInKeys) {
  std::mt19937 gen(9);
  std::string object(700000, '\0');
  for (char& c : object) c = static_cast<char>(gen());
  CannedHttpServer server([&](const CannedRequest&, CannedConnection& c) {
    c.respond(200, object, "x-oss-request-id: RID-77\r\n");
  });
  TempDir dir;
  std::string out = (dir / "got.BIN").string();
  auto r = runCommand(binPath("kelvora-storage") +
                      " get --endpoint localhost:" + std::to_string(server.port()) +
                      " --bucket update-en-1 --key 3/11.0.BIN" + " --output " + out);
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.output, "code=200 error=- message=- request-id=RID-77 length=700000\n");
  auto bytes = readFile(out);
  EXPECT_TRUE(std::string(bytes.begin(), bytes.end()) == object);
  EXPECT_FALSE(fs::exists(out + ".part"));

  ASSERT_EQ(server.requests().size(), 1u);
  CannedRequest req = server.requests()[0];
  EXPECT_EQ(req.target, "/3/11.0.BIN");
  const BuiltinConfig& builtin = builtinConfig();
  EXPECT_EQ(req.header("Authorization"),
            std::string("OSS ") + builtin.accessKeyId + ":" +
                signatureOf(builtin.accessKeySecret,
                            "GET\n\n\n" + req.header("Date") + "\n/update-en-1/3/11.0.BIN"));
}

TEST(KelvoraStorage, ServiceErrorsAndTransportFailuresExitNonZero) {
  const std::string xml =
      "<Error><Code>SignatureDoesNotMatch</Code><Message>Bad\nsignature</Message></Error>";
  CannedHttpServer server([&](const CannedRequest&, CannedConnection& c) {
    c.respond(403, xml, "x-oss-request-id: R403\r\n");
  });
  TempDir dir;
  std::string out = (dir / "never").string();
  auto r = runCommand(binPath("kelvora-storage") +
                      " get --endpoint http://127.0.0.1:" + std::to_string(server.port()) +
                      " --bucket b --key k --id MYID --secret MYSECRET --output " + out);
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.output,
            "code=403 error=SignatureDoesNotMatch message=Bad signature request-id=R403 length=" +
                std::to_string(xml.size()) + "\n");
  EXPECT_FALSE(fs::exists(out));
  ASSERT_EQ(server.requests().size(), 1u);
  EXPECT_EQ(server.requests()[0].header("Authorization").rfind("OSS MYID:", 0), 0u);

  int port;
  {
    CannedHttpServer probe([](const CannedRequest&, CannedConnection&) {});
    port = probe.port();
  }
  r = runCommand(binPath("kelvora-storage") + " get --endpoint http://127.0.0.1:" +
                 std::to_string(port) + " --bucket b --key k 2>/dev/null");
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.output,
            "code=-998 error=HttpIoError message=Couldn't connect to server request-id=- "
            "length=0\n");
}

// Against the local object store, whose own signature check is the judge: a body of many reads
// arrives whole, a missing key and a wrong secret come back as the service's code and message.
TEST(KelvoraStorage, FetchesFromTheLocalObjectStoreAndReportsItsRefusals) {
  TempDir dir;
  std::mt19937 gen(4);
  std::string object(3 << 20, '\0');
  for (char& c : object) c = static_cast<char>(gen());
  fs::create_directories(dir / "store" / "update-en-1" / "3");
  writeFile(dir / "store" / "update-en-1" / "3" / "11.0.BIN", object);
  DevServerProcess server(dir / "store", {}, dir / "devserver.log");
  ASSERT_TRUE(server.ready()) << server.log();
  const std::string get = binPath("kelvora-storage") +
                          " get --endpoint localhost:18080 --bucket update-en-1 --output " +
                          (dir / "got").string() + " --key ";

  auto r = runCommand(get + "3/11.0.BIN");
  EXPECT_EQ(r.status, 0) << r.output;
  EXPECT_NE(r.output.find("code=200 error=- message=- "), std::string::npos) << r.output;
  auto bytes = readFile(dir / "got");
  EXPECT_TRUE(std::string(bytes.begin(), bytes.end()) == object);

  r = runCommand(get + "3/12.0.BIN");
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(
      r.output.rfind("code=404 error=NoSuchKey message=The specified key does not exist. ", 0), 0u)
      << r.output;

  r = runCommand(get + "3/11.0.BIN --id QX7mW2bRtNc8VdKp --secret not-the-secret");
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.output.rfind("code=403 error=SignatureDoesNotMatch message=The request signature", 0),
            0u)
      << r.output;
}

TEST(KelvoraStorage, UsageHelpAndVersion) {
  const std::string tool = binPath("kelvora-storage");
  auto help = runCommand(tool + " --help");
  EXPECT_EQ(help.status, 0);
  EXPECT_NE(help.output.find("usage: kelvora-storage get"), std::string::npos);
  auto version = runCommand(tool + " --version");
  EXPECT_EQ(version.status, 0);
  EXPECT_EQ(version.output.rfind("kelvora-storage ", 0), 0u);
  EXPECT_EQ(runCommand(tool + " get --endpoint h --bucket b 2>/dev/null").status, 2);
  EXPECT_EQ(runCommand(tool + " get --endpoint h --bucket b --key k --id x 2>/dev/null").status, 2);
  EXPECT_EQ(runCommand(tool + " put 2>/dev/null").status, 2);
  EXPECT_EQ(runCommand(tool + " 2>/dev/null").status, 2);
}

}  // namespace
