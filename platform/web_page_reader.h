// A web page fetched over HTTP and handed out piece by piece, the way the program reads its
// public-address page: open, then pull at most 2048 bytes per read until a read gives 0.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace platform {

constexpr size_t WEB_PAGE_READ_MAX = 2048;
constexpr long WEB_PAGE_CONNECT_TIMEOUT_S = 10;
constexpr long WEB_PAGE_TOTAL_TIMEOUT_S = 30;

class WebPageReader {
 public:
  // Starts the request without a cache (agent "Application"); none when the page cannot be
  // reached at all.
  static std::unique_ptr<WebPageReader> open(const std::string& url);
  ~WebPageReader();
  WebPageReader(const WebPageReader&) = delete;
  WebPageReader& operator=(const WebPageReader&) = delete;

  // Up to min(max, 2048) bytes of the page; 0 once it is finished or the transfer failed.
  size_t read(uint8_t* out, size_t max);

 private:
  struct Transfer;
  explicit WebPageReader(std::unique_ptr<Transfer> transfer);
  std::unique_ptr<Transfer> transfer_;
};

}  // namespace platform
