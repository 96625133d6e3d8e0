// A scripted update server: one listener on 127.0.0.1, on the port given or one of the system's
// choosing, one client at a time, and bytes sent whole or one at a time.
#pragma once

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <thread>
#include <vector>

namespace testsupport {

class ScriptedServer {
 public:
  explicit ScriptedServer(uint16_t port = 0, int receiveBuffer = 0) {
    listen_ = socket(AF_INET, SOCK_STREAM, 0);
    int one = 1;
    setsockopt(listen_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    // Inherited by the accepted socket: a small window fills quickly once nothing is read.
    if (receiveBuffer > 0)
      setsockopt(listen_, SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof receiveBuffer);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    EXPECT_EQ(bind(listen_, reinterpret_cast<sockaddr*>(&a), sizeof a), 0) << "port " << port;
    EXPECT_EQ(listen(listen_, 4), 0);
    socklen_t length = sizeof a;
    getsockname(listen_, reinterpret_cast<sockaddr*>(&a), &length);
    port_ = ntohs(a.sin_port);
  }
  ~ScriptedServer() {
    closeClient();
    close(listen_);
  }
  ScriptedServer(const ScriptedServer&) = delete;
  ScriptedServer& operator=(const ScriptedServer&) = delete;

  uint16_t port() const { return port_; }
  bool accept() {  // 10 s at most
    timeval tv{10, 0};
    setsockopt(listen_, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    client_ = ::accept(listen_, nullptr, nullptr);
    setsockopt(client_, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    return client_ >= 0;
  }
  std::vector<uint8_t> read(size_t n) {
    std::vector<uint8_t> b(n);
    if (recv(client_, b.data(), n, MSG_WAITALL) != ssize_t(n)) b.clear();
    return b;
  }
  // One byte at a time makes the client put messages together itself.
  bool send(const std::vector<uint8_t>& b, bool byteByByte = true) {
    for (size_t at = 0; at < b.size();) {
      const ssize_t n =
          ::send(client_, b.data() + at, byteByByte ? 1 : b.size() - at, MSG_NOSIGNAL);
      if (n <= 0) return false;
      at += size_t(n);
      if (byteByByte) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
  }
  void closeClient() {
    if (client_ >= 0) close(client_);
    client_ = -1;
  }

 private:
  int listen_ = -1;
  int client_ = -1;
  uint16_t port_ = 0;
};

}  // namespace testsupport
