#include "support/kelvora_server_process.h"

#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <sstream>

namespace testsupport {

KelvoraServerProcess::KelvoraServerProcess(const std::vector<std::string>& extra,
                                           const std::filesystem::path& log)
    : log_(log) {
  std::vector<std::string> argv = {binPath("kelvora-server"), "--listen", "127.0.0.1:0",
                                   "--metrics-listen", "127.0.0.1:0"};
  argv.insert(argv.end(), extra.begin(), extra.end());
  child_ =
      std::make_unique<ChildProcess>(argv, std::filesystem::path{}, log.string() + ".out", log);
  // "listening on 127.0.0.1:P with N event loops; metrics on 127.0.0.1:M"
  auto portAfter = [](const std::string& text, const std::string& marker) {
    const size_t at = text.find(marker);
    return at == std::string::npos ? 0 : std::atoi(text.c_str() + at + marker.size());
  };
  ready_ = waitFor(
               [&] {
                 const std::string text = this->log();
                 port_ = portAfter(text, "listening on 127.0.0.1:");
                 metricsPort_ = portAfter(text, "metrics on 127.0.0.1:");
                 return (port_ != 0 && metricsPort_ != 0) || !child_->running();
               },
               std::chrono::seconds(15)) &&
           port_ != 0;
}

std::string KelvoraServerProcess::log() const {
  return fileText(log_);
}

double KelvoraServerProcess::metric(const std::string& sample) const {
  CommandResult r =
      runCommand("curl -sf http://127.0.0.1:" + std::to_string(metricsPort_) + "/metrics");
  std::istringstream lines(r.output);
  for (std::string line; std::getline(lines, line);)
    if (line.size() > sample.size() && line.compare(0, sample.size(), sample) == 0 &&
        line[sample.size()] == ' ')
      return std::atof(line.c_str() + sample.size() + 1);
  return -1;
}

client_report::Report syntheticReport(uint32_t seed) {
  client_report::Report r{};
  client_report::putU32(r, client_report::PACKAGE_COUNT, 1);
  client_report::putU32(r, client_report::LOGICAL_PROCESSORS, 4 + seed % 60);
  client_report::putU32(r, client_report::CPU_MHZ, 2000 + seed);
  client_report::putU32(r, client_report::MEMORY_MB, 8192);
  client_report::setPublicAddress(r, "198.51.100." + std::to_string(seed % 256));
  std::copy_n("GenuineIntel", 12, r.begin() + client_report::CPU_VENDOR);
  r[client_report::FIXED_BYTE_100] = 2;
  return r;
}

int connectLoopback(int port) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  timeval five{5, 0};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &five, sizeof five);
  setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &five, sizeof five);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(uint16_t(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

bool sendBytes(int fd, const std::vector<uint8_t>& bytes) {
  size_t done = 0;
  while (done < bytes.size()) {
    ssize_t n = send(fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
    if (n <= 0) return false;
    done += size_t(n);
  }
  return true;
}

std::vector<uint8_t> helloBytes(const client_report::Report& report) {
  auto hello = protocol::helloMessage(report);
  return {hello.begin(), hello.end()};
}

std::optional<protocol::VersionAnswer> readAnswer(int fd) {
  uint8_t bytes[protocol::VERSION_ANSWER_SIZE];
  if (recv(fd, bytes, sizeof bytes, MSG_WAITALL) != ssize_t(sizeof bytes)) return std::nullopt;
  if (protocol::messageType(std::span(bytes).first<2>()) != protocol::MSG_VERSION)
    return std::nullopt;
  return protocol::decodeVersionBody(std::span(bytes).subspan<2>());
}

bool closedByPeer(int fd, int timeoutMs) {
  pollfd p{fd, POLLIN, 0};
  if (poll(&p, 1, timeoutMs) <= 0) return false;
  uint8_t scrap[4096];
  ssize_t n = recv(fd, scrap, sizeof scrap, MSG_DONTWAIT);
  return n == 0 || (n < 0 && errno != EAGAIN);
}

}  // namespace testsupport
