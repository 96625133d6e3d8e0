// The head of an HTTP/1.x request, as much as the metrics listener needs: the request line, and
// the end of the head. Bounded: a head longer than REQUEST_HEAD_MAX is refused, not buffered.
#pragma once

#include <cstddef>
#include <span>
#include <string_view>

namespace server {

constexpr size_t REQUEST_HEAD_MAX = 8192;

struct RequestLine {
  std::string_view method, target, version;  // views into the bytes given
};

enum class HeadStatus { Incomplete, Complete, Bad };

// Looks at the bytes received so far. Complete: *line is filled and *headLength is the size of
// the head with its blank line. Bad: not HTTP/1.x, a control character in the head, a header
// line without a colon, or no end within REQUEST_HEAD_MAX.
HeadStatus parseRequestHead(std::span<const char> bytes, RequestLine* line, size_t* headLength);

}  // namespace server
