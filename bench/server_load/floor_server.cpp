// The floor of the server load bench: the least an epoll server can do for the port 9910
// conversation. Each loop thread has its own SO_REUSEPORT listener and epoll set; a connection
// is one byte of state (how much of its hello has arrived); a complete hello gets the fixed
// 18-byte answer; everything after it is read and dropped. No manifest, no cohorts, no metrics,
// no timers: what kelvora-server spends beyond this is what its features cost.
//
// usage: server_load_floor [--listen ADDR:PORT] [--threads N]
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <signal.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "bench/server_load/wire.h"

namespace {

using protocol::HELLO_SIZE;
using protocol::VERSION_ANSWER_SIZE;

constexpr int EVENTS_PER_WAIT = 256;
constexpr size_t READ_BUFFER = 4096;

struct Options {
  std::string address = "127.0.0.1";
  uint16_t port = 19910;
  unsigned threads = 2;
};

bool parseListen(const std::string& text, Options* o) {
  size_t colon = text.rfind(':');
  if (colon == std::string::npos) return false;
  char* end = nullptr;
  unsigned long port = std::strtoul(text.c_str() + colon + 1, &end, 10);
  if (*end != '\0' || port > 65535 || colon + 1 == text.size()) return false;
  o->address = text.substr(0, colon);
  o->port = uint16_t(port);
  return true;
}

int listenOn(const Options& o, uint16_t port) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  int one = 1;
  setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  setsockopt(fd, SOL_SOCKET, SO_REUSEPORT, &one, sizeof one);
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_port = htons(port);
  if (inet_pton(AF_INET, o.address.c_str(), &sa.sin_addr) != 1 ||
      bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0 || listen(fd, SOMAXCONN) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

uint16_t boundPort(int fd) {
  sockaddr_in sa{};
  socklen_t len = sizeof sa;
  getsockname(fd, reinterpret_cast<sockaddr*>(&sa), &len);
  return ntohs(sa.sin_port);
}

// Hello bytes received per descriptor; HELLO_SIZE once answered. Each descriptor belongs to one
// loop, so the loops touch distinct elements.
std::vector<uint8_t> g_helloBytes;

void runLoop(int listener, int stopFd) {
  int ep = epoll_create1(EPOLL_CLOEXEC);
  epoll_event ev{};
  ev.events = EPOLLIN;
  ev.data.fd = listener;
  epoll_ctl(ep, EPOLL_CTL_ADD, listener, &ev);
  ev.data.fd = stopFd;
  epoll_ctl(ep, EPOLL_CTL_ADD, stopFd, &ev);
  const auto answer = server_load::fixedAnswer();
  uint8_t buffer[READ_BUFFER];
  epoll_event events[EVENTS_PER_WAIT];
  for (;;) {
    int n = epoll_wait(ep, events, EVENTS_PER_WAIT, -1);
    if (n < 0 && errno != EINTR) break;
    for (int i = 0; i < n; ++i) {
      int fd = events[i].data.fd;
      if (fd == stopFd) {
        close(ep);
        return;
      }
      if (fd == listener) {
        for (;;) {
          int c = accept4(listener, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
          if (c < 0) break;
          if (size_t(c) >= g_helloBytes.size()) {
            close(c);
            continue;
          }
          g_helloBytes[size_t(c)] = 0;
          epoll_event cev{};
          cev.events = EPOLLIN;
          cev.data.fd = c;
          epoll_ctl(ep, EPOLL_CTL_ADD, c, &cev);
        }
        continue;
      }
      ssize_t got = read(fd, buffer, sizeof buffer);
      if (got <= 0) {
        if (got < 0 && (errno == EAGAIN || errno == EINTR)) continue;
        close(fd);  // also leaves the epoll set
        continue;
      }
      uint8_t& seen = g_helloBytes[size_t(fd)];
      if (seen < HELLO_SIZE) {
        seen = uint8_t(std::min<size_t>(HELLO_SIZE, seen + size_t(got)));
        if (seen == HELLO_SIZE) send(fd, answer.data(), VERSION_ANSWER_SIZE, MSG_NOSIGNAL);
      }
    }
  }
  close(ep);
}

}  // namespace

int main(int argc, char** argv) {
  Options o;
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    if (arg == "--help") {
      std::printf(
          "usage: server_load_floor [--listen ADDR:PORT] [--threads N]\n"
          "The floor of the server load bench: answers each complete 166-byte hello with a\n"
          "fixed 18-byte version answer and keeps nothing else. IPv4 only.\n"
          "  --listen ADDR:PORT   where to listen (default 127.0.0.1:19910; port 0 picks one)\n"
          "  --threads N          event loops, each with its own listener (default 2)\n");
      return 0;
    }
    if (arg == "--listen" && i + 1 < argc && parseListen(argv[i + 1], &o)) {
      ++i;
    } else if (arg == "--threads" && i + 1 < argc && std::atoi(argv[i + 1]) > 0) {
      o.threads = unsigned(std::atoi(argv[++i]));
    } else {
      std::fprintf(stderr, "server_load_floor: bad argument %s (see --help)\n", arg.c_str());
      return 2;
    }
  }
  // As many connections as the hard limit allows; the machine's limit is never touched.
  rlimit limit{};
  getrlimit(RLIMIT_NOFILE, &limit);
  limit.rlim_cur = limit.rlim_max;
  setrlimit(RLIMIT_NOFILE, &limit);
  g_helloBytes.assign(size_t(limit.rlim_cur), 0);

  sigset_t stopSignals;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGTERM);
  sigaddset(&stopSignals, SIGINT);
  pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

  std::vector<int> listeners;
  uint16_t port = o.port;
  for (unsigned t = 0; t < o.threads; ++t) {
    int fd = listenOn(o, port);
    if (fd < 0) {
      std::fprintf(stderr, "server_load_floor: cannot listen on %s:%u: %s\n", o.address.c_str(),
                   unsigned(port), std::strerror(errno));
      return 1;
    }
    port = boundPort(fd);
    listeners.push_back(fd);
  }
  int stopFd = eventfd(0, EFD_CLOEXEC);
  std::vector<std::thread> loops;
  for (int fd : listeners) loops.emplace_back(runLoop, fd, stopFd);
  std::printf("server_load_floor: listening on %s:%u, %u threads, fd limit %llu\n",
              o.address.c_str(), unsigned(port), o.threads,
              static_cast<unsigned long long>(limit.rlim_cur));
  std::fflush(stdout);
  int sig = 0;
  sigwait(&stopSignals, &sig);
  uint64_t one = 1;
  if (write(stopFd, &one, sizeof one) < 0) std::perror("server_load_floor: eventfd");
  for (auto& t : loops) t.join();
  return 0;
}
