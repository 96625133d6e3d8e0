// The public address: the charset decision, extraction from pieces, and the page reader against
// a small HTTP server on a loopback port chosen at run time.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <thread>

#include "platform/codepage.h"
#include "platform/web_page_reader.h"
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

TEST(Charset, DecisionTable) {
  const std::pair<const char*, bool> cases[] = {
      {"<p>no declaration</p>", false},
      {"<meta charset=UTF-8>", true},
      {"<meta charset=\"utf-8\">", true},
      {"<meta charset=Utf-8>", false},
      {"charset=gbk ... charset=utf-8", false},
      {"charset=utf-8 ... charset=gbk", true},
      {"charset=GB2312 charset=UTF-8", false},
      // u is the lower-case name's position when it is present, even if the upper-case comes first.
      {"charset=UTF-8 charset=gbk charset=utf-8", false},
      // One present GBK-family name after u is enough.
      {"charset=GBK charset=utf-8 charset=gb2312", true},
      // The unquoted form wins over an earlier quoted form of the same name.
      {"charset=\"gbk\" charset=utf-8 charset=gbk", true},
  };
  for (const auto& [piece, utf8] : cases) EXPECT_EQ(pieceIsUtf8(piece), utf8) << piece;
}

TEST(Extraction, MarkersControlBytesAndConversion) {
  const std::string chinese = "\xE5\x9C\xB0\xE5\x9D\x80 1.2.3.4";  // "地址 1.2.3.4" in UTF-8
  std::string withZero = page("", "9.9.9.9");
  withZero.insert(5, 1, '\0');
  const std::pair<std::string, std::optional<std::string>> cases[] = {
      {page("", "203.0.113.9"), "203.0.113.9"},
      {page("", "1.2.\t3.4\r\n"), "1.2. 3.4  "},
      {page("", "\x01\x1F\x20\x7F\x80\xFF"), "  \x20\x7F\x80\xFF"},
      {"<dd class=\"fz24\">1.2.3.4", std::nullopt},
      {"<DD class=\"fz24\">1.2.3.4</dd>", std::nullopt},
      {"<dd>x</dd><dd class=\"fz24\">5.6.7.8</dd>", "5.6.7.8"},
      {withZero, std::nullopt},  // a zero byte ends the piece's text
      {page("<meta charset=utf-8>", chinese), platform::utf8ToGbk(chinese)},
      {page("", chinese), chinese},
      {page("charset=gbk charset=utf-8", chinese), chinese},
  };
  for (const auto& [piece, address] : cases) EXPECT_EQ(addressFromPiece(piece), address) << piece;
}

TEST(PieceLoop, TheLaterPieceWinsAndSplitMarkersGiveNothing) {
  std::string first = page("", "1.1.1.1");
  first.resize(PIECE_MAX, ' ');
  std::string split(PIECE_MAX - START_MARKER.size(), ' ');
  split += std::string(START_MARKER) + "3.3.3.3</dd>";
  std::string shortPage = std::string(170, ' ') + page("", "4.4.4.4");
  EXPECT_EQ(readAddressFromPage(reader(first + page("", "2.2.2.2"))), "2.2.2.2");
  EXPECT_EQ(readAddressFromPage(reader(first + std::string(3000, 'x'))), "1.1.1.1");
  EXPECT_EQ(readAddressFromPage(reader(split)), std::nullopt);
  // Two reads make one piece: reads of 100 bytes make pieces of 200, which cut the markers.
  EXPECT_EQ(readAddressFromPage(reader(shortPage, 100)), std::nullopt);
  EXPECT_EQ(readAddressFromPage(reader(shortPage, 1000)), "4.4.4.4");
}

// Serves the same page to each of two requests and remembers the last request head.
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
    url = "http://127.0.0.1:" + std::to_string(ntohs(a.sin_port)) + "/ip";
    thread_ = std::thread([this] {
      for (int i = 0; i < 2; ++i) serveOne();
    });
  }
  ~PageServer() {
    shutdown(listen_, SHUT_RDWR);
    thread_.join();
    close(listen_);
  }
  std::string url, request;

 private:
  void serveOne() {
    int c = accept(listen_, nullptr, nullptr);
    if (c < 0) return;
    char b[4096];
    request.clear();
    for (ssize_t n = 1; n > 0 && request.find("\r\n\r\n") == std::string::npos;) {
      n = recv(c, b, sizeof b, 0);
      if (n > 0) request.append(b, size_t(n));
    }
    std::string answer = "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(body_.size()) +
                         "\r\nConnection: close\r\n\r\n" + body_;
    for (ssize_t done = 0, n = 1; n > 0 && size_t(done) < answer.size(); done += n)
      n = send(c, answer.data() + done, answer.size() - size_t(done), MSG_NOSIGNAL);
    close(c);
  }
  std::string body_;
  int listen_ = -1;
  std::thread thread_;
};

TEST(WebPageReader, ReadsAtMost2048BytesWithTheApplicationAgentAndFindsTheAddress) {
  std::string body = page("<meta charset=utf-8>", "198.51.100.7");
  for (size_t i = body.size(); i < 3000; ++i) body += char('a' + i % 26);
  PageServer server(body);
  auto reader = platform::WebPageReader::open(server.url);
  ASSERT_TRUE(reader);
  std::string got;
  uint8_t buffer[8192];
  for (size_t n = 1; n > 0 && got.size() <= body.size();) {
    n = reader->read(buffer, sizeof buffer);
    ASSERT_LE(n, 2048u);
    got.append(reinterpret_cast<char*>(buffer), n);
  }
  EXPECT_EQ(got, body);
  EXPECT_NE(server.request.find("User-Agent: Application\r\n"), std::string::npos);
  EXPECT_EQ(getPublicAddressFrom(server.url), "198.51.100.7");
  EXPECT_EQ(getPublicAddressFrom("http://127.0.0.1:1/ip"), std::nullopt);
}

}  // namespace
