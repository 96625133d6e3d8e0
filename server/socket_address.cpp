#include "server/socket_address.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstring>

namespace server {

std::optional<SocketAddress> parseSocketAddress(std::string_view text) {
  const size_t colon = text.rfind(':');
  if (colon == std::string_view::npos) return std::nullopt;
  std::string_view host = text.substr(0, colon), portText = text.substr(colon + 1);
  unsigned port = 0;
  auto [end, ec] = std::from_chars(portText.data(), portText.data() + portText.size(), port);
  if (portText.empty() || ec != std::errc() || end != portText.data() + portText.size() ||
      port > 65535)
    return std::nullopt;
  SocketAddress out;
  if (host.size() >= 2 && host.front() == '[' && host.back() == ']') {
    const std::string name(host.substr(1, host.size() - 2));
    auto* v6 = reinterpret_cast<sockaddr_in6*>(&out.storage);
    if (inet_pton(AF_INET6, name.c_str(), &v6->sin6_addr) != 1) return std::nullopt;
    v6->sin6_family = AF_INET6;
    v6->sin6_port = htons(uint16_t(port));
    out.length = sizeof(sockaddr_in6);
    return out;
  }
  const std::string name(host);
  auto* v4 = reinterpret_cast<sockaddr_in*>(&out.storage);
  if (inet_pton(AF_INET, name.c_str(), &v4->sin_addr) != 1) return std::nullopt;
  v4->sin_family = AF_INET;
  v4->sin_port = htons(uint16_t(port));
  out.length = sizeof(sockaddr_in);
  return out;
}

std::string socketAddressText(const sockaddr* address, socklen_t length) {
  char text[INET6_ADDRSTRLEN] = "?";
  if (address->sa_family == AF_INET && length >= socklen_t(sizeof(sockaddr_in))) {
    auto* v4 = reinterpret_cast<const sockaddr_in*>(address);
    inet_ntop(AF_INET, &v4->sin_addr, text, sizeof text);
    std::string out = text;
    out += ':';
    out += std::to_string(ntohs(v4->sin_port));
    return out;
  }
  if (address->sa_family == AF_INET6 && length >= socklen_t(sizeof(sockaddr_in6))) {
    auto* v6 = reinterpret_cast<const sockaddr_in6*>(address);
    inet_ntop(AF_INET6, &v6->sin6_addr, text, sizeof text);
    std::string out = "[";
    out += text;
    out += "]:";
    out += std::to_string(ntohs(v6->sin6_port));
    return out;
  }
  return text;
}

std::optional<SocketAddress> boundAddress(int fd) {
  SocketAddress out;
  out.length = sizeof out.storage;
  if (getsockname(fd, reinterpret_cast<sockaddr*>(&out.storage), &out.length) != 0)
    return std::nullopt;
  return out;
}

int listenOn(const SocketAddress& address, bool reusePort, int backlog, std::string* error) {
  const auto* sa = reinterpret_cast<const sockaddr*>(&address.storage);
  int fd = socket(sa->sa_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    *error = std::string("socket: ") + std::strerror(errno);
    return -1;
  }
  int one = 1;
  setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  // "[::]:PORT" takes IPv4 clients too, whatever the system's default for IPv6 sockets.
  if (sa->sa_family == AF_INET6) {
    int zero = 0;
    setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &zero, sizeof zero);
  }
  if ((reusePort && setsockopt(fd, SOL_SOCKET, SO_REUSEPORT, &one, sizeof one) != 0) ||
      bind(fd, sa, address.length) != 0 || listen(fd, backlog) != 0) {
    *error = socketAddressText(sa, address.length) + ": " + std::strerror(errno);
    close(fd);
    return -1;
  }
  return fd;
}

}  // namespace server
