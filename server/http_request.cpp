#include "server/http_request.h"

#include <algorithm>

namespace server {

namespace {

bool tokenChar(char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
         std::string_view("!#$%&'*+-.^_`|~").find(c) != std::string_view::npos;
}

// One line without its ending (CRLF, or a lone LF as RFC 9112 allows readers to take).
std::string_view trimEnd(std::string_view line) {
  if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
  return line;
}

bool parseLine(std::string_view text, RequestLine* line) {
  const size_t space1 = text.find(' ');
  if (space1 == std::string_view::npos || space1 == 0) return false;
  const size_t space2 = text.find(' ', space1 + 1);
  if (space2 == std::string_view::npos || space2 == space1 + 1) return false;
  line->method = text.substr(0, space1);
  line->target = text.substr(space1 + 1, space2 - space1 - 1);
  line->version = text.substr(space2 + 1);
  if (!std::all_of(line->method.begin(), line->method.end(), tokenChar)) return false;
  if (line->target.find(' ') != std::string_view::npos) return false;
  return line->version == "HTTP/1.1" || line->version == "HTTP/1.0";
}

}  // namespace

HeadStatus parseRequestHead(std::span<const char> bytes, RequestLine* line, size_t* headLength) {
  const std::string_view all(bytes.data(), std::min(bytes.size(), REQUEST_HEAD_MAX));
  size_t start = 0;
  bool first = true;
  for (;;) {
    const size_t end = all.find('\n', start);
    if (end == std::string_view::npos)
      return bytes.size() >= REQUEST_HEAD_MAX ? HeadStatus::Bad : HeadStatus::Incomplete;
    const std::string_view text = trimEnd(all.substr(start, end - start));
    for (char c : text)
      if ((static_cast<unsigned char>(c) < 0x20 && c != '\t') || c == 0x7F) return HeadStatus::Bad;
    if (first) {
      if (!parseLine(text, line)) return HeadStatus::Bad;
      first = false;
    } else if (text.empty()) {
      *headLength = end + 1;
      return HeadStatus::Complete;
    } else if (text.find(':') == std::string_view::npos || text.front() == ' ' ||
               text.front() == '\t') {
      return HeadStatus::Bad;  // no folded lines, no header without a name
    }
    start = end + 1;
  }
}

}  // namespace server
