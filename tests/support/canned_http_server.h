// A tiny HTTP server on an ephemeral loopback port for the storage client's tests and benchmark:
// one thread takes connections one at a time, reads each request head and lets a handler answer
// with raw bytes, so bodies can be cut short, chunked or made endless on purpose.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace testsupport {

struct CannedRequest {
  std::string target;
  std::string head;       // the whole request head
  std::string bodyStart;  // body bytes that arrived with the head
  std::string range;      // the Range header's value, "" without one
};

// Waits up to 100 ms for the socket to be ready; false when it is not, or the server stops.
inline bool cannedWait(int fd, short events, const std::atomic<bool>& stopping) {
  pollfd p{fd, events, 0};
  return !stopping && ::poll(&p, 1, 100) > 0;
}

// One accepted connection as the handler sees it.
class CannedConnection {
 public:
  CannedConnection(int fd, const std::atomic<bool>& stopping) : fd_(fd), stopping_(stopping) {}

  // False once the peer has gone or the server is stopping.
  bool send(const void* data, size_t len) {
    for (auto* p = static_cast<const char*>(data); len > 0;) {
      if (stopping_) return false;
      if (!cannedWait(fd_, POLLOUT, stopping_)) continue;
      ssize_t n = ::send(fd_, p, len, MSG_NOSIGNAL);
      if (n <= 0) return false;
      p += n;
      len -= static_cast<size_t>(n);
    }
    return true;
  }
  bool send(std::string_view text) { return send(text.data(), text.size()); }

  // Up to `len` more bytes of the request (a PUT's body), 5 s at most.
  std::string receive(size_t len) {
    std::string data;
    char buf[65536];
    for (int waits = 0; data.size() < len && waits <= 50; ++waits) {
      if (!cannedWait(fd_, POLLIN, stopping_)) continue;
      ssize_t n = ::recv(fd_, buf, std::min(sizeof buf, len - data.size()), 0);
      if (n <= 0) break;
      data.append(buf, static_cast<size_t>(n));
      waits = 0;
    }
    return data;
  }

  // A whole response: status line, the given header lines, Content-Length and the body.
  bool respond(int status, std::string_view body, const std::string& extraHeaders = {}) {
    return send("HTTP/1.1 " + std::to_string(status) + " Canned\r\n" + extraHeaders +
                "Content-Length: " + std::to_string(body.size()) +
                "\r\nConnection: close\r\n\r\n") &&
           send(body);
  }

 private:
  int fd_;
  const std::atomic<bool>& stopping_;
};

class CannedHttpServer {
 public:
  using Handler = std::function<void(const CannedRequest&, CannedConnection&)>;

  explicit CannedHttpServer(Handler handler) : handler_(std::move(handler)) {
    listen_ = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    if (::bind(listen_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
        ::listen(listen_, 16) != 0 ||
        ::getsockname(listen_, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
      return;
    }
    port_ = ntohs(addr.sin_port);
    thread_ = std::thread([this] { run(); });
  }
  ~CannedHttpServer() {
    stopping_ = true;
    if (thread_.joinable()) thread_.join();
    ::close(listen_);
  }
  CannedHttpServer(const CannedHttpServer&) = delete;
  CannedHttpServer& operator=(const CannedHttpServer&) = delete;

  int port() const { return port_; }
  std::vector<CannedRequest> requests() {
    std::lock_guard<std::mutex> lock(mutex_);
    return requests_;
  }

 private:
  void run() {
    while (!stopping_) {
      if (!cannedWait(listen_, POLLIN, stopping_)) continue;
      int fd = ::accept(listen_, nullptr, nullptr);
      if (fd < 0) continue;
      CannedRequest request;
      if (readHead(fd, &request)) {
        {
          std::lock_guard<std::mutex> lock(mutex_);
          requests_.push_back(request);
        }
        CannedConnection connection(fd, stopping_);
        handler_(request, connection);
      }
      // Half-close, then let the client read to the end (2 s at most) before the socket goes,
      // so that a cut-short body reaches it as an orderly end of stream rather than a reset.
      ::shutdown(fd, SHUT_WR);
      char buf[4096];
      for (int i = 0; i < 20; ++i) {
        if (cannedWait(fd, POLLIN, stopping_) && ::recv(fd, buf, sizeof buf, 0) <= 0) break;
      }
      ::close(fd);
    }
  }

  // Reads the request head, 5 s at most; body bytes that came with it are kept aside.
  bool readHead(int fd, CannedRequest* request) {
    std::string data;
    char buf[4096];
    size_t headEnd;
    for (int waits = 0; (headEnd = data.find("\r\n\r\n")) == std::string::npos; ++waits) {
      if (waits > 50 || data.size() > (1 << 20)) return false;
      if (!cannedWait(fd, POLLIN, stopping_)) continue;
      ssize_t n = ::recv(fd, buf, sizeof buf, 0);
      if (n <= 0) return false;
      data.append(buf, static_cast<size_t>(n));
    }
    size_t sp1 = data.find(' '), sp2 = data.find(' ', sp1 + 1);
    if (sp2 == std::string::npos || sp2 > headEnd) return false;
    request->target = data.substr(sp1 + 1, sp2 - sp1 - 1);
    request->head = data.substr(0, headEnd + 4);
    request->bodyStart = data.substr(headEnd + 4);
    const size_t range = data.find("\r\nRange: ");
    if (range != std::string::npos && range < headEnd)
      request->range = data.substr(range + 9, data.find("\r\n", range + 2) - range - 9);
    return true;
  }

  Handler handler_;
  int listen_ = -1;
  int port_ = 0;
  std::atomic<bool> stopping_{false};
  std::mutex mutex_;
  std::vector<CannedRequest> requests_;
  std::thread thread_;
};

}  // namespace testsupport
