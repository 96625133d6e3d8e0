// Listen addresses: "A.B.C.D:PORT" or "[IPv6]:PORT", their text, and non-blocking listeners.
#pragma once

#include <sys/socket.h>

#include <optional>
#include <string>
#include <string_view>

namespace server {

struct SocketAddress {
  sockaddr_storage storage{};
  socklen_t length = 0;
};

std::optional<SocketAddress> parseSocketAddress(std::string_view text);
std::string socketAddressText(const sockaddr* address, socklen_t length);
// The address a socket is bound to (its port chosen by the system when asked for 0).
std::optional<SocketAddress> boundAddress(int fd);

// A non-blocking, close-on-exec listener. With reusePort several listeners share the address and
// the kernel spreads new connections over them. -1 with *error said.
int listenOn(const SocketAddress& address, bool reusePort, int backlog, std::string* error);

}  // namespace server
