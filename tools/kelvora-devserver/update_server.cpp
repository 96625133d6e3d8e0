#include "tools/kelvora-devserver/update_server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>

#include "tools/kelvora-devserver/output.h"
#include "tools/kelvora-devserver/report_json.h"
#include "updater/little_endian.h"

namespace devserver {
namespace {

void putU16(std::vector<uint8_t>& out, uint16_t v) {
  out.resize(out.size() + 2);
  little_endian::writeU16(out, out.size() - 2, v);
}
void putU32(std::vector<uint8_t>& out, uint32_t v) {
  out.resize(out.size() + 4);
  little_endian::writeU32(out, out.size() - 4, v);
}

bool recvAll(int fd, uint8_t* data, size_t size) {
  while (size > 0) {
    ssize_t n = recv(fd, data, size, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    data += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}

bool sendAll(int fd, const uint8_t* data, size_t size) {
  while (size > 0) {
    ssize_t n = send(fd, data, size, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    data += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}

}  // namespace

std::vector<uint8_t> versionAnswer(uint32_t major, uint32_t minor, uint32_t build, uint32_t size) {
  auto message = protocol::versionAnswerMessage({{major, minor, build}, size});
  return std::vector<uint8_t>(message.begin(), message.end());
}

std::vector<uint8_t> pushAnswer(const std::vector<uint8_t>& file) {
  std::vector<uint8_t> out;
  putU16(out, MSG_FILE_BEGIN);
  putU32(out, static_cast<uint32_t>(file.size()));
  size_t offset = 0;
  while (file.size() - offset > FILE_CHUNK_MAX) {
    putU16(out, MSG_FILE_DATA);
    putU32(out, static_cast<uint32_t>(FILE_CHUNK_MAX));
    out.insert(out.end(), file.begin() + offset, file.begin() + offset + FILE_CHUNK_MAX);
    offset += FILE_CHUNK_MAX;
  }
  putU16(out, MSG_FILE_END);
  putU32(out, static_cast<uint32_t>(file.size() - offset));
  out.insert(out.end(), file.begin() + offset, file.end());
  return out;
}

std::vector<uint8_t> disconnectMessage(std::string_view text) {
  std::vector<uint8_t> out;
  putU16(out, MSG_DISCONNECT);
  putU16(out, static_cast<uint16_t>(text.size()));
  out.insert(out.end(), text.begin(), text.end());
  return out;
}

UpdateServer::UpdateServer(const Options& options, StopSignal& stop)
    : options_(options), stop_(stop) {}

UpdateServer::~UpdateServer() {
  stop();
  if (listenFd_ >= 0) close(listenFd_);
  if (wakeFd_ >= 0) close(wakeFd_);
}

int UpdateServer::bind(std::string* error) {
  if (!options_.pushFile.empty()) {
    std::ifstream in(options_.pushFile, std::ios::binary);
    if (!in) {
      *error = "cannot open " + options_.pushFile;
      return -1;
    }
    std::vector<uint8_t> file((std::istreambuf_iterator<char>(in)),
                              std::istreambuf_iterator<char>());
    if (in.bad()) {
      *error = "cannot read " + options_.pushFile;
      return -1;
    }
    if (file.size() > UINT32_MAX) {
      *error = options_.pushFile + " is too large to push (over 4 GiB)";
      return -1;
    }
    answer_ = pushAnswer(file);
  } else {
    answer_ = versionAnswer(options_.announceMajor, options_.announceMinor, options_.announceBuild,
                            options_.announceSize);
  }
  if (options_.disconnect) {
    auto bye = disconnectMessage("kelvora-devserver: goodbye");
    answer_.insert(answer_.end(), bye.begin(), bye.end());
  }

  wakeFd_ = eventfd(0, EFD_CLOEXEC);
  listenFd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (wakeFd_ < 0 || listenFd_ < 0) {
    *error = std::string("socket: ") + std::strerror(errno);
    return -1;
  }
  int one = 1;
  setsockopt(listenFd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(static_cast<uint16_t>(options_.updatePort));
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::bind(listenFd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
      listen(listenFd_, 16) != 0) {
    *error = "update port " + std::to_string(options_.updatePort) + ": " + std::strerror(errno);
    return -1;
  }
  socklen_t len = sizeof addr;
  getsockname(listenFd_, reinterpret_cast<sockaddr*>(&addr), &len);
  return ntohs(addr.sin_port);
}

void UpdateServer::start() {
  acceptThread_ = std::thread([this] { acceptLoop(); });
}

void UpdateServer::stop() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (stopping_) return;
    stopping_ = true;
    for (auto& s : sessions_) shutdown(s.fd, SHUT_RDWR);
  }
  if (wakeFd_ >= 0) {
    uint64_t one = 1;
    [[maybe_unused]] ssize_t n = write(wakeFd_, &one, sizeof one);
  }
  if (acceptThread_.joinable()) acceptThread_.join();
  // No session starts after the accept loop ended, so the list is final.
  for (auto& s : sessions_) {
    if (s.thread.joinable()) s.thread.join();
    close(s.fd);
  }
  sessions_.clear();
}

void UpdateServer::reapFinished() {
  std::lock_guard<std::mutex> lock(mutex_);
  for (auto it = sessions_.begin(); it != sessions_.end();) {
    if (it->done) {
      it->thread.join();
      close(it->fd);
      it = sessions_.erase(it);
    } else {
      ++it;
    }
  }
}

void UpdateServer::acceptLoop() {
  uint64_t clients = 0;
  while (true) {
    pollfd fds[2] = {{listenFd_, POLLIN, 0}, {wakeFd_, POLLIN, 0}};
    if (poll(fds, 2, -1) < 0) {
      if (errno == EINTR) continue;
      break;
    }
    if (fds[1].revents) break;
    if (!(fds[0].revents & POLLIN)) continue;
    sockaddr_in peer{};
    socklen_t len = sizeof peer;
    int fd = accept4(listenFd_, reinterpret_cast<sockaddr*>(&peer), &len, SOCK_CLOEXEC);
    if (fd < 0) continue;
    reapFinished();
    int one = 1;
    // Dribbled answers must leave one byte per segment, not gathered by Nagle.
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    char text[INET_ADDRSTRLEN] = "?";
    inet_ntop(AF_INET, &peer.sin_addr, text, sizeof text);
    std::string name = std::string(text) + ":" + std::to_string(ntohs(peer.sin_port));
    uint64_t client = ++clients;
    std::lock_guard<std::mutex> lock(mutex_);
    if (stopping_) {
      close(fd);
      break;
    }
    Session& session = sessions_.emplace_back();
    session.fd = fd;
    session.thread = std::thread([this, &session, client, name] { serve(session, client, name); });
  }
}

bool UpdateServer::sendAnswer(int fd) {
  if (!options_.dribble) return sendAll(fd, answer_.data(), answer_.size());
  for (uint8_t byte : answer_) {
    if (!sendAll(fd, &byte, 1)) return false;
    if (options_.dribbleDelayMs > 0 &&
        !stop_.sleepFor(std::chrono::milliseconds(options_.dribbleDelayMs)))
      return false;
  }
  return true;
}

void UpdateServer::serve(Session& session, uint64_t client, std::string peer) {
  const int fd = session.fd;
  std::fprintf(stderr, "kelvora-devserver: update client %llu connected from %s\n",
               static_cast<unsigned long long>(client), peer.c_str());
  uint64_t keepAlives = 0;
  while (true) {
    uint8_t type[MESSAGE_TYPE_SIZE];
    if (!recvAll(fd, type, sizeof type)) break;
    const uint16_t t = protocol::messageType(type);
    if (t == MSG_HELLO) {
      uint8_t report[client_report::REPORT_SIZE];
      if (!recvAll(fd, report, sizeof report)) {
        std::fprintf(stderr, "kelvora-devserver: update client %llu: hello cut short\n",
                     static_cast<unsigned long long>(client));
        break;
      }
      printLine(reportJson(report, client, peer));
      if (!options_.silent && !sendAnswer(fd)) break;
    } else if (t == MSG_KEEPALIVE) {
      ++keepAlives;
    } else {
      // Only the two bytes of an unknown type are consumed, as the client does with ours.
      std::fprintf(stderr, "kelvora-devserver: update client %llu: skipped type 0x%04X\n",
                   static_cast<unsigned long long>(client), t);
    }
  }
  std::fprintf(stderr, "kelvora-devserver: update client %llu closed after %llu keep-alives\n",
               static_cast<unsigned long long>(client),
               static_cast<unsigned long long>(keepAlives));
  shutdown(fd, SHUT_RDWR);
  session.done = true;
}

}  // namespace devserver
