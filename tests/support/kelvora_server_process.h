// kelvora-server as a child process on ports it was given or chose, ready once it said where it
// listens; and the client's side of the conversation in a few calls, for the server's tests.
#pragma once

#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "protocol/messages.h"
#include "support/test_support.h"

namespace testsupport {

class KelvoraServerProcess {
 public:
  // extra follows "--listen 127.0.0.1:0 --metrics-listen 127.0.0.1:0" and may override them.
  KelvoraServerProcess(const std::vector<std::string>& extra, const std::filesystem::path& log);
  bool ready() const { return ready_; }
  int port() const { return port_; }
  int metricsPort() const { return metricsPort_; }
  std::string log() const;
  ChildProcess& child() { return *child_; }
  // One sample of /metrics, read with the curl command; -1 when absent.
  double metric(const std::string& sample) const;

 private:
  std::filesystem::path log_;
  std::unique_ptr<ChildProcess> child_;
  bool ready_ = false;
  int port_ = 0, metricsPort_ = 0;
};

// A report that differs for every seed.
client_report::Report syntheticReport(uint32_t seed);
// A connected loopback socket with 5 s receive and send timeouts, or -1.
int connectLoopback(int port);
bool sendBytes(int fd, const std::vector<uint8_t>& bytes);
std::vector<uint8_t> helloBytes(const client_report::Report& report);
// The 18-byte answer, or nothing when the connection ends or times out first.
std::optional<protocol::VersionAnswer> readAnswer(int fd);
// True when the peer has closed (or reset) the connection within the time given.
bool closedByPeer(int fd, int timeoutMs);

}  // namespace testsupport
