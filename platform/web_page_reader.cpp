#include "platform/web_page_reader.h"

#include <curl/curl.h>

#include <algorithm>
#include <mutex>
#include <string>

namespace platform {

namespace {

// Bytes held ahead of the reader before the transfer is paused.
constexpr size_t kHeldAheadMax = 64 * 1024;

void globalInit() {
  static std::once_flag once;
  std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

}  // namespace

// libcurl pushes bytes through a callback; the reader pulls them. The multi interface runs the
// transfer only while a read waits for bytes, and pauses it when enough are held.
struct WebPageReader::Transfer {
  CURL* easy = nullptr;
  CURLM* multi = nullptr;
  curl_slist* headers = nullptr;
  std::string held;
  size_t heldPos = 0;
  bool done = false;
  bool paused = false;

  ~Transfer() {
    if (multi != nullptr && easy != nullptr) curl_multi_remove_handle(multi, easy);
    if (easy != nullptr) curl_easy_cleanup(easy);
    if (multi != nullptr) curl_multi_cleanup(multi);
    curl_slist_free_all(headers);
  }

  size_t available() const { return held.size() - heldPos; }

  static size_t onData(char* data, size_t size, size_t count, void* self) {
    auto* t = static_cast<Transfer*>(self);
    if (t->available() >= kHeldAheadMax) {
      t->paused = true;
      return CURL_WRITEFUNC_PAUSE;
    }
    if (t->heldPos > 0) {
      t->held.erase(0, t->heldPos);
      t->heldPos = 0;
    }
    t->held.append(data, size * count);
    return size * count;
  }

  // Runs the transfer until bytes are held or it ends.
  void pump() {
    if (paused && available() < kHeldAheadMax) {
      paused = false;
      curl_easy_pause(easy, CURLPAUSE_CONT);
    }
    while (!done && available() == 0) {
      int running = 0;
      if (curl_multi_perform(multi, &running) != CURLM_OK) {
        done = true;
        break;
      }
      int queued = 0;
      while (CURLMsg* message = curl_multi_info_read(multi, &queued))
        if (message->msg == CURLMSG_DONE) done = true;
      if (running == 0) done = true;
      if (done || available() > 0) break;
      curl_multi_poll(multi, nullptr, 0, 100, nullptr);
    }
  }
};

WebPageReader::WebPageReader(std::unique_ptr<Transfer> transfer) : transfer_(std::move(transfer)) {}

WebPageReader::~WebPageReader() = default;

std::unique_ptr<WebPageReader> WebPageReader::open(const std::string& url) {
  globalInit();
  auto t = std::make_unique<Transfer>();
  t->easy = curl_easy_init();
  t->multi = curl_multi_init();
  if (t->easy == nullptr || t->multi == nullptr) return nullptr;
  // A fresh copy every time, never a cached one.
  t->headers = curl_slist_append(t->headers, "Cache-Control: no-cache");
  t->headers = curl_slist_append(t->headers, "Pragma: no-cache");
  curl_easy_setopt(t->easy, CURLOPT_URL, url.c_str());
  curl_easy_setopt(t->easy, CURLOPT_USERAGENT, "Application");
  curl_easy_setopt(t->easy, CURLOPT_HTTPHEADER, t->headers);
  curl_easy_setopt(t->easy, CURLOPT_FOLLOWLOCATION, 1L);
  curl_easy_setopt(t->easy, CURLOPT_MAXREDIRS, 5L);
  curl_easy_setopt(t->easy, CURLOPT_CONNECTTIMEOUT, WEB_PAGE_CONNECT_TIMEOUT_S);
  curl_easy_setopt(t->easy, CURLOPT_TIMEOUT, WEB_PAGE_TOTAL_TIMEOUT_S);
  curl_easy_setopt(t->easy, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(t->easy, CURLOPT_WRITEFUNCTION, &Transfer::onData);
  curl_easy_setopt(t->easy, CURLOPT_WRITEDATA, t.get());
  if (curl_multi_add_handle(t->multi, t->easy) != CURLM_OK) return nullptr;
  // The page is open once the first bytes are in, or the transfer ended without any.
  t->pump();
  long code = 0;
  curl_easy_getinfo(t->easy, CURLINFO_RESPONSE_CODE, &code);
  if (t->available() == 0 && code == 0) return nullptr;
  return std::unique_ptr<WebPageReader>(new WebPageReader(std::move(t)));
}

size_t WebPageReader::read(uint8_t* out, size_t max) {
  max = std::min(max, WEB_PAGE_READ_MAX);
  if (max == 0) return 0;
  transfer_->pump();
  size_t n = std::min(max, transfer_->available());
  std::copy_n(transfer_->held.data() + transfer_->heldPos, n, out);
  transfer_->heldPos += n;
  return n;
}

}  // namespace platform
