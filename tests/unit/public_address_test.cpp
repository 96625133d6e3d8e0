// The public address: the charset decision and extraction from pieces. The page itself is read
// from kelvora-devserver on the update road.
#include <gtest/gtest.h>

#include "platform/codepage.h"
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
      {"<meta charset=Utf-8>", false},
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
      {page("", "\x01\x1F\x20\x7F\x80\xFF"), "  \x20\x7F\x80\xFF"},
      {"<dd class=\"fz24\">1.2.3.4", std::nullopt},
      {"<DD class=\"fz24\">1.2.3.4</dd>", std::nullopt},
      {"<dd>x</dd><dd class=\"fz24\">5.6.7.8</dd>", "5.6.7.8"},
      {withZero, std::nullopt},  // a zero byte ends the piece's text
      {page("<meta charset=utf-8>", chinese), platform::utf8ToGbk(chinese)},
      {page("", chinese), chinese},
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

}  // namespace
