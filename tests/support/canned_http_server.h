// A tiny HTTP server on an ephemeral loopback port for the storage client's tests and benchmark:
// one thread accepts connections one at a time, reads each request and lets a handler answer it
// with raw bytes, so bodies can be cut short, throttled or made endless on purpose.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <strings.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

namespace testsupport {

struct CannedRequest {
  std::string method;
  std::string target;
  std::vector<std::pair<std::string, std::string>> headers;
  std::string body;  // as announced by Content-Length

  // The first value of a header, compared without regard to case; empty when absent.
  std::string header(std::string_view name) const {
    for (const auto& [n, v] : headers) {
      if (n.size() == name.size() && strncasecmp(n.data(), name.data(), n.size()) == 0) return v;
    }
    return {};
  }
};

// One accepted connection as the handler sees it.
class CannedConnection {
 public:
  CannedConnection(int fd, const std::atomic<bool>& stopping) : fd_(fd), stopping_(stopping) {}

  // False once the peer has gone or the server is stopping.
  bool send(const void* data, size_t len) {
    const char* p = static_cast<const char*>(data);
    while (len > 0) {
      if (stopping_) return false;
      pollfd pfd{fd_, POLLOUT, 0};
      if (::poll(&pfd, 1, 100) <= 0) continue;
      ssize_t n = ::send(fd_, p, len, MSG_NOSIGNAL);
      if (n <= 0) return false;
      p += n;
      len -= static_cast<size_t>(n);
    }
    return true;
  }
  bool send(std::string_view text) { return send(text.data(), text.size()); }

  // A whole response: status line, the given header lines, Content-Length and the body.
  bool respond(int status, std::string_view body, const std::string& extraHeaders = {}) {
    std::string head = "HTTP/1.1 " + std::to_string(status) + " Canned\r\n" + extraHeaders +
                       "Content-Length: " + std::to_string(body.size()) +
                       "\r\nConnection: close\r\n\r\n";
    return send(head) && send(body);
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
    int on = 1;
    ::setsockopt(listen_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = 0;
    if (::bind(listen_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
        ::listen(listen_, 16) != 0) {
      ::close(listen_);
      listen_ = -1;
      return;
    }
    socklen_t len = sizeof addr;
    ::getsockname(listen_, reinterpret_cast<sockaddr*>(&addr), &len);
    port_ = ntohs(addr.sin_port);
    thread_ = std::thread([this] { run(); });
  }

  ~CannedHttpServer() {
    stopping_ = true;
    if (thread_.joinable()) thread_.join();
    if (listen_ >= 0) ::close(listen_);
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
      pollfd pfd{listen_, POLLIN, 0};
      if (::poll(&pfd, 1, 50) <= 0) continue;
      int fd = ::accept(listen_, nullptr, nullptr);
      if (fd < 0) continue;
      int on = 1;
      ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
      CannedRequest request;
      if (readRequest(fd, &request)) {
        {
          std::lock_guard<std::mutex> lock(mutex_);
          requests_.push_back(request);
        }
        CannedConnection connection(fd, stopping_);
        handler_(request, connection);
      }
      // Half-close, then let the client read to the end before the socket goes, so that a
      // cut-short body reaches it as an orderly end of stream rather than a reset.
      ::shutdown(fd, SHUT_WR);
      drain(fd);
      ::close(fd);
    }
  }

  void drain(int fd) {
    char buf[4096];
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(2);
    while (!stopping_ && std::chrono::steady_clock::now() < deadline) {
      pollfd pfd{fd, POLLIN, 0};
      if (::poll(&pfd, 1, 50) <= 0) continue;
      if (::recv(fd, buf, sizeof buf, 0) <= 0) return;
    }
  }

  // Reads the request head and a body announced by Content-Length.
  bool readRequest(int fd, CannedRequest* request) {
    std::string data;
    char buf[4096];
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    size_t headEnd;
    while ((headEnd = data.find("\r\n\r\n")) == std::string::npos) {
      if (stopping_ || std::chrono::steady_clock::now() > deadline || data.size() > (1 << 20)) {
        return false;
      }
      pollfd pfd{fd, POLLIN, 0};
      if (::poll(&pfd, 1, 50) <= 0) continue;
      ssize_t n = ::recv(fd, buf, sizeof buf, 0);
      if (n <= 0) return false;
      data.append(buf, static_cast<size_t>(n));
    }
    size_t lineEnd = data.find("\r\n");
    std::string first = data.substr(0, lineEnd);
    size_t sp1 = first.find(' ');
    size_t sp2 = first.find(' ', sp1 + 1);
    if (sp1 == std::string::npos || sp2 == std::string::npos) return false;
    request->method = first.substr(0, sp1);
    request->target = first.substr(sp1 + 1, sp2 - sp1 - 1);
    size_t at = lineEnd + 2;
    while (at < headEnd) {
      size_t end = data.find("\r\n", at);
      std::string line = data.substr(at, end - at);
      size_t colon = line.find(':');
      if (colon != std::string::npos) {
        size_t v = line.find_first_not_of(' ', colon + 1);
        request->headers.emplace_back(line.substr(0, colon),
                                      v == std::string::npos ? "" : line.substr(v));
      }
      at = end + 2;
    }
    size_t want = std::strtoul(request->header("Content-Length").c_str(), nullptr, 10);
    if (strcasecmp(request->header("Expect").c_str(), "100-continue") == 0) {
      ::send(fd, "HTTP/1.1 100 Continue\r\n\r\n", 25, MSG_NOSIGNAL);
    }
    request->body = data.substr(headEnd + 4);
    while (request->body.size() < want && !stopping_ &&
           std::chrono::steady_clock::now() < deadline) {
      pollfd pfd{fd, POLLIN, 0};
      if (::poll(&pfd, 1, 50) <= 0) continue;
      ssize_t n = ::recv(fd, buf, sizeof buf, 0);
      if (n <= 0) break;
      request->body.append(buf, static_cast<size_t>(n));
    }
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
