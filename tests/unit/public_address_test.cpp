// The public address: text search, the charset decision, extraction from pieces, and the page
// reader against a small HTTP server on a loopback port chosen at run time.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <thread>

#include "platform/codepage.h"
#include "platform/web_page_reader.h"
#include "updater/client_report.h"
#include "updater/public_address.h"

namespace {

using namespace public_address;

std::string page(const std::string& head, const std::string& address) {
  return "<html><head>" + head + "</head><body><dl><dd class=\"fz24\">" + address +
         "</dd></dl></body></html>";
}

// A page source that hands out the text in reads of at most `step` bytes.
PageRead reader(const std::string& text, size_t step = 2048) {
  auto pos = std::make_shared<size_t>(0);
  return [text, step, pos](uint8_t* out, size_t n) {
    size_t k = std::min({n, step, text.size() - *pos});
    std::copy_n(text.data() + *pos, k, out);
    *pos += k;
    return k;
  };
}

TEST(FindText, PositionsAndLimits) {
  EXPECT_EQ(findText("abcabc", "bc"), 1);
  EXPECT_EQ(findText("abcabc", "abc"), 0);
  EXPECT_EQ(findText("abcabd", "abd"), 3) << "a match ending at the last byte";
  EXPECT_EQ(findText("abc", ""), 0);
  EXPECT_EQ(findText("", ""), 0);
  EXPECT_EQ(findText("ab", "abc"), -1) << "a pattern longer than the text";
  EXPECT_EQ(findText("abcab", "Bc"), -1) << "case counts";
}

TEST(Charset, DecisionTable) {
  struct Case {
    const char* piece;
    bool utf8;
  };
  const Case cases[] = {
      {"<p>no declaration</p>", false},
      {"<meta charset=utf-8>", true},
      {"<meta charset=UTF-8>", true},
      {"<meta charset=\"UTF-8\">", true},
      {"<meta charset=\"utf-8\">", true},
      {"<meta charset=Utf-8>", false},
      {"<meta charset=gbk>", false},
      {"charset=gbk ... charset=utf-8", false},
      {"charset=utf-8 ... charset=gbk", true},
      {"charset=GB2312 charset=UTF-8", false},
      {"charset=UTF-8 charset=\"gb2312\"", true},
      // u is the lower-case name's position when it is present, even if the upper-case comes first.
      {"charset=UTF-8 charset=gbk charset=utf-8", false},
      // One present GBK-family name after u is enough.
      {"charset=GBK charset=utf-8 charset=gb2312", true},
      // The unquoted form wins over an earlier quoted form of the same name.
      {"charset=\"gbk\" charset=utf-8 charset=gbk", true},
  };
  for (const Case& c : cases) EXPECT_EQ(pieceIsUtf8(c.piece), c.utf8) << c.piece;
}

TEST(Extraction, MarkersControlBytesAndOddOrders) {
  EXPECT_EQ(extractAddress(page("", "203.0.113.9")), "203.0.113.9");
  EXPECT_EQ(extractAddress(page("", "1.2.\t3.4\r\n")), "1.2. 3.4  ");
  EXPECT_EQ(extractAddress(page("", "\x01\x1F\x20\x7F\x80\xFF")), "  \x20\x7F\x80\xFF");
  EXPECT_EQ(extractAddress(page("", "")), "");
  EXPECT_EQ(extractAddress("<dd class=\"fz24\">1.2.3.4"), std::nullopt) << "no end marker";
  EXPECT_EQ(extractAddress("1.2.3.4</dd>"), std::nullopt) << "no start marker";
  EXPECT_EQ(extractAddress("<DD class=\"fz24\">1.2.3.4</dd>"), std::nullopt);
  // An end marker before the start: the first one behind the start closes the address.
  EXPECT_EQ(extractAddress("<dd>x</dd><dd class=\"fz24\">5.6.7.8</dd>"), "5.6.7.8");
  EXPECT_EQ(extractAddress("<dd>x</dd><dd class=\"fz24\">5.6.7.8"), std::nullopt);
  // A zero byte ends the piece's text.
  std::string withZero = page("", "9.9.9.9");
  withZero.insert(5, 1, '\0');
  EXPECT_EQ(addressFromPiece(withZero), std::nullopt);
}

TEST(Extraction, Utf8PiecesAreConvertedToTheEightBitCodePage) {
  const std::string chinese = "\xE5\x9C\xB0\xE5\x9D\x80 1.2.3.4";  // "地址 1.2.3.4" in UTF-8
  EXPECT_EQ(addressFromPiece(page("<meta charset=utf-8>", chinese)), platform::utf8ToGbk(chinese));
  EXPECT_EQ(addressFromPiece(page("<meta charset=\"UTF-8\">", chinese)),
            platform::utf8ToGbk(chinese));
  // Without a declaration, or with GBK declared first, the bytes are taken as they are.
  EXPECT_EQ(addressFromPiece(page("", chinese)), chinese);
  EXPECT_EQ(addressFromPiece(page("charset=gbk charset=utf-8", chinese)), chinese);
  EXPECT_EQ(addressFromPiece(page("charset=utf-8 charset=gbk", chinese)),
            platform::utf8ToGbk(chinese));
}

TEST(PieceLoop, TheLaterPieceWinsAndSplitMarkersGiveNothing) {
  // Two pieces of 4096 bytes, each with its own marker pair.
  std::string first = page("", "1.1.1.1");
  first.resize(PIECE_MAX, ' ');
  std::string second = page("", "2.2.2.2");
  EXPECT_EQ(readAddressFromPage(reader(first + second)), "2.2.2.2");
  // A piece without markers after one with them keeps the earlier address.
  std::string tail(3000, 'x');
  EXPECT_EQ(readAddressFromPage(reader(first + tail)), "1.1.1.1");
  // Start marker at the very end of a piece, its end marker in the next.
  std::string split(PIECE_MAX - START_MARKER.size(), ' ');
  split += std::string(START_MARKER) + "3.3.3.3</dd>";
  EXPECT_EQ(readAddressFromPage(reader(split)), std::nullopt);
  // Short reads make short pieces: two reads of 100 bytes are one piece of 200.
  std::string shortPage = std::string(170, ' ') + page("", "4.4.4.4");
  EXPECT_EQ(readAddressFromPage(reader(shortPage, 100)), std::nullopt)
      << "the marker pair spans pieces of 200 bytes";
  EXPECT_EQ(readAddressFromPage(reader(shortPage, 1000)), "4.4.4.4");
  EXPECT_EQ(readAddressFromPage(reader("")), std::nullopt);
}

TEST(PieceLoop, LongResultsAreReportedAsZeroAddress) {
  auto result = readAddressFromPage(reader(page("", "1234.5678.9012.3456")));
  ASSERT_TRUE(result.has_value());
  EXPECT_EQ(result->size(), 19u) << "the result itself is never cut";
  client_report::Report report{};
  client_report::setPublicAddress(report, *result);
  EXPECT_EQ(client_report::publicAddress(report), "0.0.0.0");
  client_report::setPublicAddress(report, "255.255.255.255");
  EXPECT_EQ(client_report::publicAddress(report), "255.255.255.255");
}

// Serves one answer to each request and remembers the request heads.
class PageServer {
 public:
  explicit PageServer(std::string body) : body_(std::move(body)) {
    listen_ = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(listen_, reinterpret_cast<sockaddr*>(&a), sizeof a);
    listen(listen_, 4);
    socklen_t length = sizeof a;
    getsockname(listen_, reinterpret_cast<sockaddr*>(&a), &length);
    port_ = ntohs(a.sin_port);
    thread_ = std::thread([this] { serveOne(); });
  }
  ~PageServer() {
    shutdown(listen_, SHUT_RDWR);
    thread_.join();
    close(listen_);
  }
  std::string url() const { return "http://127.0.0.1:" + std::to_string(port_) + "/ip"; }
  std::string request;

 private:
  void serveOne() {
    int c = accept(listen_, nullptr, nullptr);
    if (c < 0) return;
    char b[4096];
    while (request.find("\r\n\r\n") == std::string::npos) {
      ssize_t n = recv(c, b, sizeof b, 0);
      if (n <= 0) break;
      request.append(b, size_t(n));
    }
    std::string answer = "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(body_.size()) +
                         "\r\nConnection: close\r\n\r\n" + body_;
    for (size_t done = 0; done < answer.size();) {
      ssize_t n = send(c, answer.data() + done, answer.size() - done, MSG_NOSIGNAL);
      if (n <= 0) break;
      done += size_t(n);
    }
    close(c);
  }
  std::string body_;
  int listen_ = -1;
  uint16_t port_ = 0;
  std::thread thread_;
};

TEST(WebPageReader, ReadsAtMost2048BytesWithTheApplicationAgent) {
  std::string body(10000, 'a');
  for (size_t i = 0; i < body.size(); ++i) body[i] = char('a' + i % 26);
  PageServer server(body);
  auto reader = platform::WebPageReader::open(server.url());
  ASSERT_TRUE(reader);
  std::string got;
  uint8_t buffer[8192];
  for (int guard = 0; guard < 1000; ++guard) {
    size_t n = reader->read(buffer, sizeof buffer);
    ASSERT_LE(n, 2048u);
    if (n == 0) break;
    got.append(reinterpret_cast<char*>(buffer), n);
  }
  EXPECT_EQ(got, body);
  EXPECT_EQ(reader->read(buffer, sizeof buffer), 0u);
  EXPECT_NE(server.request.find("User-Agent: Application\r\n"), std::string::npos);
}

TEST(WebPageReader, WholeRoadAndAnUnreachablePage) {
  PageServer server(page("<meta charset=utf-8>", "198.51.100.7"));
  EXPECT_EQ(getPublicAddressFrom(server.url()), "198.51.100.7");
  EXPECT_EQ(getPublicAddressFrom("http://127.0.0.1:1/ip"), std::nullopt);
}

TEST(LocalAddress, HostNameAndItsAddress) {
  int r = getLocalAddress();
  ASSERT_TRUE(r == 0 || r == -3) << r;
  char name[256] = {};
  gethostname(name, 255);
  EXPECT_EQ(localAddress().hostName, name);
  if (r == 0) {
    in_addr a{};
    EXPECT_EQ(inet_pton(AF_INET, localAddress().address.c_str(), &a), 1);
  }
}

}  // namespace
