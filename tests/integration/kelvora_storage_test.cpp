// kelvora-storage as a maker runs it: the result line and what it makes safe of server text, and
// whole and resumed downloads against the local object store, whose signature check is its own.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>

#include "support/canned_http_server.h"
#include "support/devserver_process.h"
#include "support/test_support.h"

namespace {

using namespace testsupport;
namespace fs = std::filesystem;

std::string contents(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

// A hostile server's text must not drive the terminal: C0 and C1 controls (U+009B opens a
// command on many terminals) and broken UTF-8 are escaped; readable text, Chinese too, passes.
TEST(KelvoraStorage, ServerTextIsEscapedBeforeItReachesTheTerminal) {
  // Mini-XML refuses C0 controls in a body, so those come in through the request ID header.
  struct Case {
    std::string message, requestId;
    std::string printed;  // message and request ID as printed
  } cases[] = {
      {"Bad\nsignature\r", "R\x1b]0;owned\x07x",
       "Bad\\x0asignature\\x0d request-id=R\\x1b]0;owned\\x07x"},
      {"\xc2\x9b"
       "31m red \xc2\x85",
       "R\x1b[2J", "\\u009b31m red \\u0085 request-id=R\\x1b[2J"},
      {"raw &#x9b; and \x7f", "R\x9b\xc0\xaf", "raw \\u009b and \\x7f request-id=R\\x9b\\xc0\\xaf"},
      {"\xe5\xaf\x86\xe9\x92\xa5 \xc2\xa0ok \\", "R1",
       "\xe5\xaf\x86\xe9\x92\xa5 \xc2\xa0ok \\\\ request-id=R1"},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.printed);
    const std::string xml =
        "<Error><Code>Bad\xc2\x9b"
        "1mCode</Code><Message>" +
        k.message + "</Message></Error>";
    CannedHttpServer server([&](const CannedRequest&, CannedConnection& c) {
      c.respond(403, xml, "x-oss-request-id: " + k.requestId + "\r\n");
    });
    auto r = runCommand(binPath("kelvora-storage") + " get --endpoint 127.0.0.1:" +
                        std::to_string(server.port()) + " --bucket b --key k --id I --secret S");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.output, "code=403 error=Bad\\u009b1mCode message=" + k.printed +
                            " length=" + std::to_string(xml.size()) + "\n");
  }
}

// --continue by Update.exe's resume rules, against scripted answers to a partial "abc" kept
// with ETag "e": only the rest of that very object, ending at its declared total, is appended;
// anything else starts over with a plain GET, whose answer is the whole object "abcdef".
TEST(KelvoraStorage, ContinueAppendsOnlyTheRestOfTheKeptObject) {
  const std::string whole = "HTTP/1.1 200 OK\r\nETag: \"n\"\r\nContent-Length: 6\r\n\r\nabcdef";
  auto partial = [](const char* etag, const char* range, const char* body) {
    return std::string("HTTP/1.1 206 Partial\r\nETag: ") + etag + "\r\nContent-Range: bytes " +
           range + "\r\nContent-Length: " + std::to_string(std::strlen(body)) + "\r\n\r\n" + body;
  };
  const struct {
    const char* what;
    const char* keptEtag;
    std::string first;
    size_t requests;
    const char* file;
  } cases[] = {
      {"the rest of the kept object", "\"e\"", partial("\"e\"", "3-5/6", "def"), 1, "abcdef"},
      {"another object's rest", "\"e\"", partial("\"other\"", "3-5/6", "XYZ"), 2, "abcdef"},
      {"from another offset", "\"e\"", partial("\"e\"", "2-5/6", "cdef"), 2, "abcdef"},
      {"a total that is not the file's", "\"e\"", partial("\"e\"", "3-5/9", "def"), 2, "abcdef"},
      {"weak ETag kept: never sent", "W/\"e\"", whole, 1, "abcdef"},
      {"the kept part is all of it", "\"e\"",
       "HTTP/1.1 416 Range Not Satisfiable\r\nContent-Range: bytes */3\r\nContent-Length: "
       "0\r\n\r\n",
       1, "abc"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    TempDir dir;
    const std::string out = (dir / "got").string();
    writeFile(out, std::string("abc"));
    writeFile(out + ".etag", std::string(c.keptEtag) + "\n");
    CannedHttpServer server([&](const CannedRequest& r, CannedConnection& to) {
      to.send(r.range.empty() ? whole : c.first);
    });
    auto r = runCommand(binPath("kelvora-storage") +
                        " get --endpoint 127.0.0.1:" + std::to_string(server.port()) +
                        " --bucket b --key k --output " + out + " --continue");
    EXPECT_EQ(r.status, 0) << r.output;
    EXPECT_EQ(contents(out), c.file);
    const auto requests = server.requests();
    ASSERT_EQ(requests.size(), c.requests);
    EXPECT_EQ(requests[0].range, c.keptEtag[0] == '"' ? "bytes=3-" : "");
  }
  // A weak ETag is not kept for a later --continue.
  TempDir dir;
  CannedHttpServer cut([&](const CannedRequest&, CannedConnection& to) {
    to.send("HTTP/1.1 200 OK\r\nETag: W/\"w\"\r\nContent-Length: 6\r\n\r\nabc");
  });
  runCommand(binPath("kelvora-storage") + " get --endpoint 127.0.0.1:" +
             std::to_string(cut.port()) + " --bucket b --key k --output " + (dir / "got").string());
  EXPECT_EQ(contents(dir / "got"), "abc");
  EXPECT_FALSE(fs::exists(dir / "got.etag"));
}

// A download cut short resumes where it stopped; a changed object, a partial file longer than the
// object and a server that ignores ranges start over; every end result is the object itself.
TEST(KelvoraStorage, ContinueResumesOrStartsOverAgainstTheLocalObjectStore) {
  TempDir dir;
  const std::string object = randomString(3 << 20, 4);
  const fs::path stored = dir / "store/update-en-1/3/11.0.BIN";
  fs::create_directories(stored.parent_path());
  writeFile(stored, object);
  const std::string out = (dir / "got").string();
  int servers = 0;
  std::unique_ptr<DevServerProcess> server;
  std::string get;  // the command against the server now running
  auto serve = [&](std::vector<std::string> extra) {
    server.reset();
    extra.insert(extra.end(), {"--http-port", "0", "--update-port", "0"});
    server = std::make_unique<DevServerProcess>(dir / "store", extra,
                                                dir / ("log" + std::to_string(++servers)));
    get = binPath("kelvora-storage") +
          " get --endpoint localhost:" + std::to_string(server->httpPort()) +
          " --bucket update-en-1 --key 3/11.0.BIN --output " + out;
    return server->ready();
  };
  constexpr size_t kCut = 1 << 20;
  std::string etag;
  {
    ASSERT_TRUE(serve({"--cut-short", std::to_string(kCut)})) << server->log();
    auto r = runCommand(get + " 2>/dev/null");
    EXPECT_EQ(r.status, 1) << r.output;
    EXPECT_TRUE(contents(out) == object.substr(0, object.size() - kCut));
    std::ifstream(out + ".etag") >> etag;
    ASSERT_EQ(etag.front(), '"');
  }
  const std::string partial = contents(out);
  struct Case {
    const char* what;
    std::vector<std::string> serverOptions;
    std::string partialFile;
    bool replaceObject;
    size_t receivedBytes;
  } cases[] = {
      {"resumed", {}, partial, false, kCut},
      {"longer than the object", {}, object + "tail", false, object.size()},
      {"ranges ignored", {"--ignore-range"}, partial, false, object.size()},
      {"object changed", {}, partial, true, object.size()},
  };
  std::string expected = object;
  for (const Case& k : cases) {
    SCOPED_TRACE(k.what);
    if (k.replaceObject) {
      expected = randomString(object.size(), 5);
      writeFile(dir / "new", expected);
      fs::rename(dir / "new", stored);  // a new file, so a new ETag
    }
    writeFile(out, k.partialFile);
    writeFile(out + ".etag", etag + "\n");
    ASSERT_TRUE(serve(k.serverOptions)) << server->log();
    auto r = runCommand(get + " --continue");
    EXPECT_EQ(r.status, 0) << r.output;
    EXPECT_EQ(r.output.substr(r.output.rfind(" length=") + 1),
              "length=" + std::to_string(k.receivedBytes) + "\n");
    EXPECT_TRUE(contents(out) == expected);
    EXPECT_FALSE(fs::exists(out + ".etag"));
  }

  ASSERT_TRUE(serve({})) << server->log();
  auto r = runCommand(get + " --id QX7mW2bRtNc8VdKp --secret not-the-secret");
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.output.rfind("code=403 error=SignatureDoesNotMatch message=The request signature", 0),
            0u)
      << r.output;
}

}  // namespace
