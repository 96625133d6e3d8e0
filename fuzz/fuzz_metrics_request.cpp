// The metrics listener's request reader over any bytes: it looks no further than its bound, a
// complete head lies within what it was given, and the response is always a whole HTTP answer.
#include <cstdlib>
#include <string_view>

#include "server/http_request.h"
#include "server/metrics_server.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view text(reinterpret_cast<const char*>(data), size);
  server::RequestLine line;
  size_t length = 0;
  if (server::parseRequestHead(text, &line, &length) == server::HeadStatus::Complete &&
      (length > size || length > server::REQUEST_HEAD_MAX || line.method.empty()))
    std::abort();
  bool done = false;
  std::string response = server::metricsResponse(
      text, [] { return std::string("m 1\n"); }, true, &done);
  if (done != !response.empty() || (done && !response.starts_with("HTTP/1.1 "))) std::abort();
  return 0;
}
