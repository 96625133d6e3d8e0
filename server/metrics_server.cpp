#include "server/metrics_server.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <vector>

#include "server/http_request.h"

namespace server {

namespace {

constexpr auto kClientDeadline = std::chrono::seconds(5);

std::string response(int status, const char* reason, const std::string& type,
                     const std::string& body, bool withBody) {
  return "HTTP/1.1 " + std::to_string(status) + " " + reason + "\r\nContent-Type: " + type +
         "\r\nContent-Length: " + std::to_string(body.size()) + "\r\nConnection: close\r\n\r\n" +
         (withBody ? body : "");
}

struct Client {
  int fd;
  std::string in, out;
  size_t sent = 0;
  bool answered = false;
  std::chrono::steady_clock::time_point deadline;
};

}  // namespace

std::string metricsResponse(std::string_view received, const std::function<std::string()>& metrics,
                            bool healthy, bool* done) {
  RequestLine line;
  size_t length = 0;
  *done = true;
  switch (parseRequestHead(received, &line, &length)) {
    case HeadStatus::Incomplete:
      *done = false;
      return "";
    case HeadStatus::Bad:
      return response(400, "Bad Request", "text/plain", "bad request\n", true);
    case HeadStatus::Complete:
      break;
  }
  const bool head = line.method == "HEAD";
  if (line.method != "GET" && !head)
    return response(405, "Method Not Allowed", "text/plain", "GET or HEAD\n", true);
  const std::string_view path = line.target.substr(0, line.target.find('?'));
  if (path == "/metrics")
    return response(200, "OK", "text/plain; version=0.0.4; charset=utf-8", metrics(), !head);
  if (path == "/healthz")
    return healthy ? response(200, "OK", "text/plain", "ok\n", !head)
                   : response(503, "Service Unavailable", "text/plain", "no manifest\n", !head);
  return response(404, "Not Found", "text/plain", "not found\n", !head);
}

MetricsServer::MetricsServer(int listenFd, unsigned maxClients,
                             std::function<std::string()> metricsText,
                             std::function<bool()> healthy)
    : listenFd_(listenFd),
      maxClients_(maxClients),
      metricsText_(std::move(metricsText)),
      healthy_(std::move(healthy)),
      wakeFd_(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}

MetricsServer::~MetricsServer() {
  stop();
  if (wakeFd_ >= 0) close(wakeFd_);
  close(listenFd_);
}

void MetricsServer::start() {
  thread_ = std::thread([this] { run(); });
}

void MetricsServer::stop() {
  if (!thread_.joinable()) return;
  uint64_t one = 1;
  [[maybe_unused]] ssize_t n = write(wakeFd_, &one, sizeof one);
  thread_.join();
}

void MetricsServer::run() {
  std::vector<Client> clients;
  std::vector<pollfd> fds;
  for (;;) {
    fds.assign(
        {{wakeFd_, POLLIN, 0}, {listenFd_, short(clients.size() < maxClients_ ? POLLIN : 0), 0}});
    for (const Client& c : clients) fds.push_back({c.fd, short(c.answered ? POLLOUT : POLLIN), 0});
    if (poll(fds.data(), fds.size(), 250) < 0 && errno != EINTR) return;
    if (fds[0].revents) break;
    const auto now = std::chrono::steady_clock::now();
    for (size_t i = 0; i < clients.size(); ++i) {
      Client& c = clients[i];
      const short events = fds[i + 2].revents;
      bool finished = now > c.deadline || (events & (POLLERR | POLLNVAL));
      if (!finished && !c.answered && (events & (POLLIN | POLLHUP))) {
        char buffer[4096];
        ssize_t n = recv(c.fd, buffer, sizeof buffer, MSG_DONTWAIT);
        if (n > 0) {
          c.in.append(buffer, std::min(size_t(n),
                                       REQUEST_HEAD_MAX - std::min(c.in.size(), REQUEST_HEAD_MAX)));
          bool done = false;
          c.out = metricsResponse(c.in, metricsText_, healthy_(), &done);
          c.answered = done;
        } else if (n == 0 || (errno != EAGAIN && errno != EINTR)) {
          finished = true;
        }
      }
      if (!finished && c.answered) {
        ssize_t n =
            send(c.fd, c.out.data() + c.sent, c.out.size() - c.sent, MSG_DONTWAIT | MSG_NOSIGNAL);
        if (n > 0)
          c.sent += size_t(n);
        else if (n < 0 && errno != EAGAIN && errno != EINTR)
          finished = true;
        if (c.sent == c.out.size()) finished = true;
      }
      if (finished) {
        close(c.fd);
        c.fd = -1;
      }
    }
    std::erase_if(clients, [](const Client& c) { return c.fd < 0; });
    if (fds[1].revents & POLLIN) {
      while (clients.size() < maxClients_) {
        int fd = accept4(listenFd_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0) break;
        clients.push_back({fd, {}, {}, 0, false, now + kClientDeadline});
      }
    }
  }
  for (Client& c : clients) close(c.fd);
}

}  // namespace server
