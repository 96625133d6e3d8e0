// kelvora-storage as a maker runs it: the result line and what it makes safe of server text, and
// whole and resumed downloads against scripted answers.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "support/canned_http_server.h"
#include "support/test_support.h"

namespace {

using namespace testsupport;

// kelvora-storage's GET of b/k from a canned server on the port, with more arguments.
CommandResult storageGet(int port, const std::string& more) {
  return runCommand(binPath("kelvora-storage") + " get --endpoint 127.0.0.1:" +
                    std::to_string(port) + " --bucket b --key k " + more);
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
    auto r = storageGet(server.port(), "--id I --secret S");
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
      {"ranges ignored: the whole object", "\"e\"", whole, 1, "abcdef"},
      {"kept part past the object's end", "\"e\"",
       "HTTP/1.1 416 Range Not Satisfiable\r\nContent-Range: bytes */2\r\nContent-Length: "
       "0\r\n\r\n",
       2, "abcdef"},
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
    auto r = storageGet(server.port(), "--output " + out + " --continue");
    EXPECT_EQ(r.status, 0) << r.output;
    EXPECT_EQ(fileText(out), c.file);
    const auto requests = server.requests();
    ASSERT_EQ(requests.size(), c.requests);
    EXPECT_EQ(requests[0].range, c.keptEtag[0] == '"' ? "bytes=3-" : "");
  }
  // A body cut short keeps its ETag for a later --continue only when it is a strong one.
  for (const char* etag : {"\"s\"", "W/\"w\""}) {
    TempDir dir;
    CannedHttpServer cut([&](const CannedRequest&, CannedConnection& to) {
      to.send(std::string("HTTP/1.1 200 OK\r\nETag: ") + etag + "\r\nContent-Length: 6\r\n\r\nabc");
    });
    auto r = storageGet(cut.port(), "--output " + (dir / "got").string() + " 2>/dev/null");
    EXPECT_EQ(r.status, 1) << r.output;
    EXPECT_EQ(fileText(dir / "got"), "abc");
    EXPECT_EQ(fileText(dir / "got.etag"), etag[0] == '"' ? std::string(etag) + "\n" : "") << etag;
  }
}

}  // namespace
