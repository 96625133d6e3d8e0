#include "updater/public_address.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <unistd.h>

#include <array>
#include <cstring>

#include "platform/codepage.h"
#include "platform/web_page_reader.h"
#include "updater/builtin_config.h"

namespace public_address {

namespace {

// Position of "charset=NAME", else of "charset=\"NAME\"", else -1.
long charsetPosition(std::string_view piece, std::string_view name) {
  std::string plain = "charset=" + std::string(name);
  long at = findText(piece, plain);
  if (at >= 0) return at;
  return findText(piece, "charset=\"" + std::string(name) + "\"");
}

constexpr std::array<std::string_view, 4> kGbkNames = {"gbk", "GBK", "gb2312", "GB2312"};

LocalAddress& localAddressRecord() {
  static LocalAddress record;
  return record;
}

}  // namespace

long findText(std::string_view text, std::string_view pattern) {
  if (pattern.size() > text.size()) return -1;
  for (size_t at = 0; at + pattern.size() <= text.size(); ++at)
    if (std::memcmp(text.data() + at, pattern.data(), pattern.size()) == 0) return long(at);
  return -1;
}

bool pieceIsUtf8(std::string_view piece) {
  long lower = charsetPosition(piece, "utf-8");
  long upper = charsetPosition(piece, "UTF-8");
  if (lower < 0 && upper < 0) return false;
  long u = lower >= 0 ? lower : upper;
  bool anyGbk = false;
  for (std::string_view name : kGbkNames) {
    long g = charsetPosition(piece, name);
    if (g < 0) continue;
    anyGbk = true;
    if (u < g) return true;
  }
  return !anyGbk;
}

std::optional<std::string> extractAddress(std::string_view text) {
  long start = findText(text, START_MARKER);
  if (start < 0) return std::nullopt;
  size_t begin = size_t(start) + START_MARKER.size();
  long end = findText(text, END_MARKER);
  if (end >= 0 && size_t(end) < begin) {
    long behind = findText(text.substr(begin), END_MARKER);
    end = behind < 0 ? -1 : long(begin) + behind;
  }
  if (end < 0) return std::nullopt;
  std::string address(text.substr(begin, size_t(end) - begin));
  for (char& c : address)
    if (static_cast<unsigned char>(c) >= 1 && static_cast<unsigned char>(c) <= 31) c = ' ';
  return address;
}

std::optional<std::string> addressFromPiece(std::string_view piece) {
  // The piece is a zero-terminated text: a zero byte inside ends it.
  piece = piece.substr(0, std::min(piece.size(), strnlen(piece.data(), piece.size())));
  if (pieceIsUtf8(piece)) return extractAddress(platform::utf8ToGbk(piece));
  return extractAddress(piece);
}

std::optional<std::string> readAddressFromPage(const PageRead& read) {
  static uint8_t buffer[RECEIVE_BUFFER_SIZE];
  std::optional<std::string> result;
  for (;;) {
    size_t first = read(buffer, PAGE_READ_SIZE);
    if (first == 0) break;
    first = std::min(first, PAGE_READ_SIZE);
    buffer[first] = 0;
    size_t second = std::min(read(buffer + first, PAGE_READ_SIZE), PAGE_READ_SIZE);
    size_t total = first + second;
    buffer[total] = 0;
    std::string_view piece(reinterpret_cast<const char*>(buffer), total);
    if (std::optional<std::string> found = addressFromPiece(piece)) result = std::move(found);
  }
  return result;
}

std::optional<std::string> getPublicAddressFrom(const std::string& url) {
  std::unique_ptr<platform::WebPageReader> page = platform::WebPageReader::open(url);
  if (!page) return std::nullopt;
  return readAddressFromPage([&](uint8_t* out, size_t n) { return page->read(out, n); });
}

std::optional<std::string> getPublicAddress() {
  return getPublicAddressFrom(builtin_config::builtinConfig().addressPageUrl);
}

int getLocalAddress() {
  LocalAddress& record = localAddressRecord();
  char name[256] = {};
  if (gethostname(name, 255) == -1) return -2;
  record.hostName = name;
  addrinfo hints{};
  hints.ai_family = AF_INET;
  addrinfo* found = nullptr;
  if (getaddrinfo(name, nullptr, &hints, &found) != 0 || found == nullptr) return -3;
  char text[INET_ADDRSTRLEN] = {};
  inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in*>(found->ai_addr)->sin_addr, text,
            sizeof text);
  freeaddrinfo(found);
  record.address = text;
  return 0;
}

const LocalAddress& localAddress() {
  return localAddressRecord();
}

}  // namespace public_address
