// Load generator for the port 9910 conversation: one process, one epoll set, as many client
// connections as its descriptor limit allows. It opens `--hold` connections at `--ramp-rate` a
// second from several loopback source addresses (so that the ephemeral ports of one address do
// not run out), sends each the 166-byte hello and times hello-last-byte to answer-first-byte by
// the kernel's own stamps (the hello's transmit stamp, the answer's receive stamp), so that
// the generator's scheduling on a busy machine stays out of the figure.
// Once all are answered it says "ramped" and waits for SIGUSR1; from then on every held
// connection sends a keep-alive a second (spread evenly over the second). Each SIGUSR2 turns on
// or off `--churn-rate` new connections a second that come and go (connect, hello, answer,
// close), each timed; SIGHUP prints the keep-alives sent so far. SIGTERM ends the run: one line
// of counts on standard output, and the answer times in PREFIX.ramp and PREFIX.churn, and
// those of each period of churning in PREFIX.churn.0, .1, ... (u64 nanoseconds each) for
// `server_load --percentiles`.
//
// bench/server_load/run.sh drives several of these against the floor and kelvora-server.
#include <arpa/inet.h>
#include <fcntl.h>
#include <linux/errqueue.h>
#include <linux/net_tstamp.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/epoll.h>
#include <sys/resource.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <fstream>
#include <string>
#include <vector>

#include "bench/server_load/wire.h"

namespace {

using protocol::HELLO_SIZE;
using protocol::MSG_VERSION;
using protocol::VERSION_ANSWER_SIZE;
using server_load::helloFor;

constexpr int EVENTS_PER_WAIT = 512;
// New connections opened in one pass of the loop at most, so a late pass does not burst.
constexpr uint64_t OPEN_BATCH = 64;
// Descriptors kept free for the process's own files.
constexpr uint64_t FD_MARGIN = 32;
constexpr uint64_t NS = 1000000000;

uint64_t nsOf(const timespec& ts) {
  return uint64_t(ts.tv_sec) * NS + uint64_t(ts.tv_nsec);
}

uint64_t nowNs() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return nsOf(ts);
}

// The clock of the kernel's receive time stamps (SO_TIMESTAMPNS).
uint64_t wallNs() {
  timespec ts{};
  clock_gettime(CLOCK_REALTIME, &ts);
  return nsOf(ts);
}

struct Options {
  sockaddr_in target{};
  in_addr_t firstSource = htonl(0x7f000002);  // 127.0.0.2
  unsigned sourceCount = 8;
  uint64_t hold = 0;
  double rampRate = 5000;
  double churnRate = 0;
  double answerTimeout = 10;
  uint32_t serialBase = 0;
  std::string latencyOut;
};

enum class State : uint8_t { kFree, kConnecting, kHelloSent, kHeld, kChurnDone };

struct Connection {
  State state = State::kFree;
  bool churn = false;
  uint8_t answerBytes = 0;
  uint32_t generation = 0;
  uint64_t helloSentNs = 0;  // wall clock, just before the send call
  uint64_t helloLeftNs = 0;  // the kernel's transmit stamp of the hello, once read
};

// The hello's transmit stamp, from the socket's error queue; 0 when none is there (yet).
uint64_t readTransmitStamp(int fd) {
  alignas(cmsghdr) char control[CMSG_SPACE(sizeof(scm_timestamping)) + 128];
  uint64_t stamp = 0;
  for (;;) {
    msghdr msg{};
    msg.msg_control = control;
    msg.msg_controllen = sizeof control;
    if (recvmsg(fd, &msg, MSG_ERRQUEUE | MSG_DONTWAIT) < 0) return stamp;
    for (cmsghdr* cm = CMSG_FIRSTHDR(&msg); cm != nullptr; cm = CMSG_NXTHDR(&msg, cm)) {
      if (cm->cmsg_level == SOL_SOCKET && cm->cmsg_type == SCM_TIMESTAMPING) {
        scm_timestamping ts{};
        std::memcpy(&ts, CMSG_DATA(cm), sizeof ts);
        stamp = uint64_t(ts.ts[0].tv_sec) * 1000000000 + uint64_t(ts.ts[0].tv_nsec);
      }
    }
  }
}

struct Counts {
  uint64_t opened = 0, answered = 0, rampFailed = 0, closedByServer = 0, keepAlives = 0,
           keepAliveBlocked = 0, churnOpened = 0, churnAnswered = 0, churnFailed = 0, timeouts = 0,
           badAnswers = 0, unexpectedBytes = 0, connectErrors = 0, transmitStamps = 0;
};

class Generator {
 public:
  Generator(const Options& o, size_t fdLimit) : o_(o), conns_(fdLimit) {
    ep_ = epoll_create1(EPOLL_CLOEXEC);
  }

  void addSignalFd(int fd) {
    epoll_event ev{};
    ev.events = EPOLLIN;
    ev.data.u64 = SIGNAL_TAG;
    epoll_ctl(ep_, EPOLL_CTL_ADD, fd, &ev);
    sigFd_ = fd;
  }

  void run();
  void writeReport() const;

 private:
  static constexpr uint64_t SIGNAL_TAG = ~uint64_t(0);

  void open(bool churn);
  void sendHello(int fd);
  void onEvent(int fd, uint32_t events);
  void onAnswerBytes(int fd, const uint8_t* data, size_t n, uint64_t arrivedNs);
  void fail(int fd);
  void closeConnection(int fd);
  void sendKeepAlives(uint64_t now);
  void expireAnswers(uint64_t now);
  bool readSignals();

  Options o_;
  std::vector<Connection> conns_;
  int ep_ = -1, sigFd_ = -1;
  Counts c_;
  std::vector<int> held_;  // in ramp order; -1 once closed
  std::vector<uint64_t> rampLatency_;
  std::vector<std::vector<uint64_t>> churnLatency_;  // one list per period of churning
  struct Deadline {
    uint64_t at;
    int fd;
    uint32_t generation;
  };
  std::deque<Deadline> answerDeadlines_;
  uint64_t rampPending_ = 0;  // ramp connections not yet answered or failed
  bool ramped_ = false, runRequested_ = false, running_ = false, stop_ = false;
  uint64_t runStartNs_ = 0, keepAlivesDue_ = 0, churnStarted_ = 0;
  // New connections come only while churning (SIGUSR2 turns it on and off); their rate counts
  // the time spent churning only.
  bool churnToggled_ = false, churning_ = false;
  uint64_t churnNsBefore_ = 0, churnResumedNs_ = 0;
  uint32_t serial_ = 0;
};

void Generator::open(bool churn) {
  ++c_.opened;
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd < 0 || size_t(fd) >= conns_.size()) {
    if (fd >= 0) close(fd);
    ++c_.connectErrors;
    churn ? ++c_.churnFailed : ++c_.rampFailed;
    return;
  }
  // The port is chosen at connect time for the whole four-tuple, not reserved at bind time for
  // the address alone, so each source address serves every target port.
  int one = 1;
  setsockopt(fd, IPPROTO_IP, IP_BIND_ADDRESS_NO_PORT, &one, sizeof one);
  // The answer is timed by when the kernel received it, not by when this process, busy with
  // thousands of other connections on a shared machine, got round to reading it.
  setsockopt(fd, SOL_SOCKET, SO_TIMESTAMPNS, &one, sizeof one);
  // And the hello by when the kernel passed it to the loopback device, not by when this
  // process called send (it may be preempted in between, by the server or by anything else).
  int transmitStamps =
      SOF_TIMESTAMPING_TX_SOFTWARE | SOF_TIMESTAMPING_SOFTWARE | SOF_TIMESTAMPING_OPT_TSONLY;
  setsockopt(fd, SOL_SOCKET, SO_TIMESTAMPING, &transmitStamps, sizeof transmitStamps);
  sockaddr_in source{};
  source.sin_family = AF_INET;
  source.sin_addr.s_addr = htonl(ntohl(o_.firstSource) + uint32_t(c_.opened % o_.sourceCount));
  Connection& c = conns_[size_t(fd)];
  c.state = State::kConnecting;
  c.churn = churn;
  c.answerBytes = 0;
  ++c.generation;
  if (churn) ++c_.churnOpened;
  if (bind(fd, reinterpret_cast<sockaddr*>(&source), sizeof source) != 0 ||
      (connect(fd, reinterpret_cast<const sockaddr*>(&o_.target), sizeof o_.target) != 0 &&
       errno != EINPROGRESS)) {
    ++c_.connectErrors;
    fail(fd);
    return;
  }
  epoll_event ev{};
  ev.events = EPOLLIN | EPOLLOUT | EPOLLRDHUP;
  ev.data.u64 = uint64_t(fd);
  epoll_ctl(ep_, EPOLL_CTL_ADD, fd, &ev);
  answerDeadlines_.push_back(
      {nowNs() + uint64_t(o_.answerTimeout * double(NS)), fd, conns_[size_t(fd)].generation});
}

void Generator::sendHello(int fd) {
  auto hello = helloFor(o_.serialBase + serial_++);
  Connection& c = conns_[size_t(fd)];
  // Stamped before the call: on loopback the server may answer, and preempt this process, before
  // send returns.
  c.helloSentNs = wallNs();
  c.helloLeftNs = 0;
  ssize_t sent = send(fd, hello.data(), hello.size(), MSG_NOSIGNAL);
  // Keep-alives are not stamped; the stamp taken is still reported.
  int reportOnly = SOF_TIMESTAMPING_SOFTWARE | SOF_TIMESTAMPING_OPT_TSONLY;
  setsockopt(fd, SOL_SOCKET, SO_TIMESTAMPING, &reportOnly, sizeof reportOnly);
  if (sent != ssize_t(hello.size())) {  // 166 bytes always fit a fresh socket's buffer
    fail(fd);
    return;
  }
  c.state = State::kHelloSent;
  epoll_event ev{};
  ev.events = EPOLLIN | EPOLLRDHUP;
  ev.data.u64 = uint64_t(fd);
  epoll_ctl(ep_, EPOLL_CTL_MOD, fd, &ev);
}

void Generator::closeConnection(int fd) {
  Connection& c = conns_[size_t(fd)];
  c.state = State::kFree;
  ++c.generation;
  close(fd);
}

void Generator::fail(int fd) {
  Connection& c = conns_[size_t(fd)];
  if (c.churn) {
    ++c_.churnFailed;
  } else {
    ++c_.rampFailed;
    --rampPending_;
  }
  closeConnection(fd);
}

void Generator::onAnswerBytes(int fd, const uint8_t* data, size_t n, uint64_t arrivedNs) {
  Connection& c = conns_[size_t(fd)];
  if (c.answerBytes == 0) {
    if (c.helloLeftNs == 0) c.helloLeftNs = readTransmitStamp(fd);
    if (c.helloLeftNs != 0) ++c_.transmitStamps;
    uint64_t sent = c.helloLeftNs != 0 ? c.helloLeftNs : c.helloSentNs;
    uint64_t ns = arrivedNs > sent ? arrivedNs - sent : 0;
    (c.churn ? churnLatency_.back() : rampLatency_).push_back(ns);
  }
  for (size_t i = 0; i < n && c.answerBytes < VERSION_ANSWER_SIZE; ++i, ++c.answerBytes) {
    // Only the type is checked: the version depends on the server's manifest and the cohort.
    if ((c.answerBytes == 0 && data[i] != uint8_t(MSG_VERSION)) ||
        (c.answerBytes == 1 && data[i] != uint8_t(MSG_VERSION >> 8))) {
      ++c_.badAnswers;
      fail(fd);
      return;
    }
  }
  if (c.answerBytes < VERSION_ANSWER_SIZE) return;
  if (c.churn) {
    ++c_.churnAnswered;
    closeConnection(fd);
    return;
  }
  ++c_.answered;
  --rampPending_;
  c.state = State::kHeld;
  held_.push_back(fd);
}

void Generator::onEvent(int fd, uint32_t events) {
  Connection& c = conns_[size_t(fd)];
  // The hello's transmit stamp raises EPOLLERR until it is read.
  if ((events & EPOLLERR) && c.state == State::kHelloSent && c.helloLeftNs == 0) {
    c.helloLeftNs = readTransmitStamp(fd);
  }
  if (c.state == State::kConnecting) {
    if (events & (EPOLLERR | EPOLLHUP)) {
      ++c_.connectErrors;
      fail(fd);
      return;
    }
    if (events & EPOLLOUT) sendHello(fd);
    return;
  }
  uint8_t buffer[512];
  alignas(cmsghdr) char control[CMSG_SPACE(sizeof(timespec))];
  for (;;) {
    iovec iov{buffer, sizeof buffer};
    msghdr msg{};
    msg.msg_iov = &iov;
    msg.msg_iovlen = 1;
    msg.msg_control = control;
    msg.msg_controllen = sizeof control;
    ssize_t got = recvmsg(fd, &msg, MSG_DONTWAIT);
    if (got < 0 && (errno == EAGAIN || errno == EINTR)) return;
    if (got <= 0) {
      if (c.state == State::kHeld) {
        ++c_.closedByServer;
        auto at = std::find(held_.begin(), held_.end(), fd);
        if (at != held_.end()) *at = -1;
        closeConnection(fd);
      } else {
        fail(fd);
      }
      return;
    }
    if (c.state == State::kHelloSent) {
      size_t before = c.answerBytes;
      uint64_t arrived = 0;
      for (cmsghdr* cm = CMSG_FIRSTHDR(&msg); cm != nullptr; cm = CMSG_NXTHDR(&msg, cm)) {
        if (cm->cmsg_level == SOL_SOCKET && cm->cmsg_type == SCM_TIMESTAMPNS) {
          timespec ts{};
          std::memcpy(&ts, CMSG_DATA(cm), sizeof ts);
          arrived = nsOf(ts);
        }
      }
      onAnswerBytes(fd, buffer, size_t(got), arrived != 0 ? arrived : wallNs());
      if (c.state == State::kFree) return;
      if (size_t(got) > VERSION_ANSWER_SIZE - before)
        c_.unexpectedBytes += size_t(got) - (VERSION_ANSWER_SIZE - before);
    } else {
      c_.unexpectedBytes += size_t(got);
    }
  }
}

void Generator::sendKeepAlives(uint64_t now) {
  if (held_.empty()) return;
  // Connection i sends at i/N of each second: the load is even, as it is from real clients
  // that started at random moments.
  uint64_t due = (now - runStartNs_) * held_.size() / NS;
  static const auto message = protocol::keepAliveMessage();
  for (; keepAlivesDue_ < due; ++keepAlivesDue_) {
    int& fd = held_[keepAlivesDue_ % held_.size()];
    if (fd < 0) continue;
    ssize_t sent = send(fd, message.data(), message.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
    if (sent == ssize_t(message.size())) {
      ++c_.keepAlives;
    } else if (sent < 0 && errno == EAGAIN) {
      ++c_.keepAliveBlocked;
    } else {
      ++c_.closedByServer;
      closeConnection(fd);
      fd = -1;
    }
  }
}

void Generator::expireAnswers(uint64_t now) {
  while (!answerDeadlines_.empty() && answerDeadlines_.front().at <= now) {
    Deadline d = answerDeadlines_.front();
    answerDeadlines_.pop_front();
    Connection& c = conns_[size_t(d.fd)];
    if (c.generation != d.generation ||
        (c.state != State::kConnecting && c.state != State::kHelloSent)) {
      continue;
    }
    ++c_.timeouts;
    fail(d.fd);
  }
}

bool Generator::readSignals() {
  signalfd_siginfo info{};
  while (read(sigFd_, &info, sizeof info) == ssize_t(sizeof info)) {
    if (info.ssi_signo == SIGUSR1) runRequested_ = true;
    if (info.ssi_signo == SIGUSR2) churnToggled_ = !churnToggled_;
    if (info.ssi_signo == SIGHUP) {
      std::printf("keepalives=%llu\n", (unsigned long long)c_.keepAlives);
      std::fflush(stdout);
    }
    if (info.ssi_signo == SIGTERM || info.ssi_signo == SIGINT) stop_ = true;
  }
  return stop_;
}

void Generator::run() {
  const uint64_t rampStart = nowNs();
  uint64_t rampOpened = 0;
  rampPending_ = o_.hold;
  epoll_event events[EVENTS_PER_WAIT];
  while (!stop_) {
    uint64_t now = nowNs();
    if (rampOpened < o_.hold) {
      uint64_t due = std::min<uint64_t>(
          o_.hold, uint64_t(double(now - rampStart) / double(NS) * o_.rampRate) + 1);
      for (uint64_t n = 0; rampOpened < due && n < OPEN_BATCH; ++n, ++rampOpened) open(false);
    }
    if (!ramped_ && rampOpened == o_.hold && rampPending_ == 0) {
      ramped_ = true;
      std::printf("ramped answered=%llu failed=%llu\n", (unsigned long long)c_.answered,
                  (unsigned long long)c_.rampFailed);
      std::fflush(stdout);
    }
    if (ramped_ && runRequested_ && !running_) {
      running_ = true;
      runStartNs_ = now;
    }
    if (running_) sendKeepAlives(now);
    if (ramped_ && churnToggled_ != churning_) {
      churning_ = churnToggled_;
      if (churning_) {
        churnResumedNs_ = now;
        churnLatency_.emplace_back();
      } else {
        churnNsBefore_ += now - churnResumedNs_;
      }
    }
    if (churning_) {
      uint64_t churnNs = churnNsBefore_ + (now - churnResumedNs_);
      uint64_t due = uint64_t(double(churnNs) / double(NS) * o_.churnRate);
      for (uint64_t n = 0; churnStarted_ < due && n < OPEN_BATCH; ++n, ++churnStarted_) {
        open(true);
      }
    }
    expireAnswers(now);
    bool paced =
        rampOpened < o_.hold || (running_ && !held_.empty()) || (churning_ && o_.churnRate > 0);
    int n = epoll_wait(ep_, events, EVENTS_PER_WAIT, paced ? 1 : 100);
    for (int i = 0; i < n; ++i) {
      if (events[i].data.u64 == SIGNAL_TAG) {
        readSignals();
        continue;
      }
      onEvent(int(events[i].data.u64), events[i].events);
    }
  }
  // Closes already on their way are counted before the report.
  int n = epoll_wait(ep_, events, EVENTS_PER_WAIT, 0);
  for (int i = 0; i < n; ++i) {
    if (events[i].data.u64 != SIGNAL_TAG) onEvent(int(events[i].data.u64), events[i].events);
  }
}

void writeSamples(const std::string& path, const std::vector<uint64_t>& samples) {
  std::ofstream out(path, std::ios::binary);
  out.write(reinterpret_cast<const char*>(samples.data()),
            std::streamsize(samples.size() * sizeof(uint64_t)));
}

void Generator::writeReport() const {
  size_t held = size_t(std::count_if(held_.begin(), held_.end(), [](int fd) { return fd >= 0; }));
  std::printf(
      "done hold=%llu answered=%llu ramp_failed=%llu held_at_end=%zu closed_by_server=%llu "
      "keepalives=%llu keepalive_blocked=%llu churn_opened=%llu churn_answered=%llu "
      "churn_failed=%llu timeouts=%llu connect_errors=%llu bad_answers=%llu "
      "unexpected_bytes=%llu transmit_stamps=%llu\n",
      (unsigned long long)o_.hold, (unsigned long long)c_.answered,
      (unsigned long long)c_.rampFailed, held, (unsigned long long)c_.closedByServer,
      (unsigned long long)c_.keepAlives, (unsigned long long)c_.keepAliveBlocked,
      (unsigned long long)c_.churnOpened, (unsigned long long)c_.churnAnswered,
      (unsigned long long)c_.churnFailed, (unsigned long long)c_.timeouts,
      (unsigned long long)c_.connectErrors, (unsigned long long)c_.badAnswers,
      (unsigned long long)c_.unexpectedBytes, (unsigned long long)c_.transmitStamps);
  std::fflush(stdout);
  if (!o_.latencyOut.empty()) {
    writeSamples(o_.latencyOut + ".ramp", rampLatency_);
    std::vector<uint64_t> all;
    for (size_t k = 0; k < churnLatency_.size(); ++k) {
      writeSamples(o_.latencyOut + ".churn." + std::to_string(k), churnLatency_[k]);
      all.insert(all.end(), churnLatency_[k].begin(), churnLatency_[k].end());
    }
    writeSamples(o_.latencyOut + ".churn", all);
  }
}

// p50, p99 and the largest of every sample in the files, in microseconds.
int percentiles(int count, char** paths) {
  std::vector<uint64_t> all;
  for (int i = 0; i < count; ++i) {
    std::ifstream in(paths[i], std::ios::binary);
    if (!in) {
      std::fprintf(stderr, "server_load: cannot read %s\n", paths[i]);
      return 1;
    }
    uint64_t v = 0;
    while (in.read(reinterpret_cast<char*>(&v), sizeof v)) all.push_back(v);
  }
  if (all.empty()) {
    std::printf("count=0 p50_us=- p99_us=- max_us=-\n");
    return 0;
  }
  std::sort(all.begin(), all.end());
  auto at = [&](double q) {
    size_t i = size_t(std::ceil(q * double(all.size()))) - 1;
    return double(all[std::min(i, all.size() - 1)]) / 1000.0;
  };
  std::printf("count=%zu p50_us=%.1f p99_us=%.1f max_us=%.1f\n", all.size(), at(0.50), at(0.99),
              double(all.back()) / 1000.0);
  return 0;
}

bool parseAddress(const std::string& text, sockaddr_in* out) {
  size_t colon = text.rfind(':');
  if (colon == std::string::npos) return false;
  char* end = nullptr;
  unsigned long port = std::strtoul(text.c_str() + colon + 1, &end, 10);
  if (*end != '\0' || port == 0 || port > 65535) return false;
  out->sin_family = AF_INET;
  out->sin_port = htons(uint16_t(port));
  return inet_pton(AF_INET, text.substr(0, colon).c_str(), &out->sin_addr) == 1;
}

const char USAGE[] =
    "usage: server_load --target ADDR:PORT [--hold N] [--ramp-rate R] [--churn-rate C]\n"
    "                   [--sources FIRST_ADDR/COUNT] [--answer-timeout S] [--serial-base B]\n"
    "                   [--latency-out PREFIX]\n"
    "       server_load --percentiles FILE...\n"
    "Holds N connections to an update server (opened R a second, each sending the hello), says\n"
    "\"ramped\" when all are answered, and on SIGUSR1 starts a keep-alive a second on each.\n"
    "Each SIGUSR2 turns on or off C new connections a second (hello, answer, close); SIGHUP\n"
    "prints the keep-alives sent so far. SIGTERM:\n"
    "a line of counts, and the answer times in PREFIX.ramp and PREFIX.churn.\n"
    "--percentiles prints p50/p99/max of such files.\n"
    "  --sources   loopback source addresses, round robin (default 127.0.0.2/8)\n"
    "  defaults: --hold 0 --ramp-rate 5000 --churn-rate 0 --answer-timeout 10\n";

}  // namespace

int main(int argc, char** argv) {
  if (argc >= 2 && std::string(argv[1]) == "--percentiles") return percentiles(argc - 2, argv + 2);
  Options o;
  bool haveTarget = false;
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    if (arg == "--help") {
      std::fputs(USAGE, stdout);
      return 0;
    }
    if (i + 1 >= argc) {
      std::fprintf(stderr, "server_load: %s needs a value (see --help)\n", arg.c_str());
      return 2;
    }
    std::string value = argv[++i];
    char* end = nullptr;
    bool ok = true;
    if (arg == "--target") {
      ok = haveTarget = parseAddress(value, &o.target);
    } else if (arg == "--hold") {
      o.hold = std::strtoull(value.c_str(), &end, 10);
    } else if (arg == "--ramp-rate") {
      o.rampRate = std::strtod(value.c_str(), &end);
      ok = o.rampRate > 0;
    } else if (arg == "--churn-rate") {
      o.churnRate = std::strtod(value.c_str(), &end);
      ok = o.churnRate >= 0;
    } else if (arg == "--answer-timeout") {
      o.answerTimeout = std::strtod(value.c_str(), &end);
      ok = o.answerTimeout > 0;
    } else if (arg == "--serial-base") {
      o.serialBase = uint32_t(std::strtoul(value.c_str(), &end, 10));
    } else if (arg == "--sources") {
      size_t slash = value.find('/');
      in_addr first{};
      ok = slash != std::string::npos &&
           inet_pton(AF_INET, value.substr(0, slash).c_str(), &first) == 1;
      if (ok) {
        o.firstSource = first.s_addr;
        o.sourceCount = unsigned(std::strtoul(value.c_str() + slash + 1, &end, 10));
        ok = o.sourceCount > 0;
      }
    } else if (arg == "--latency-out") {
      o.latencyOut = value;
    } else {
      ok = false;
    }
    if (!ok || (end != nullptr && *end != '\0')) {
      std::fprintf(stderr, "server_load: bad %s %s (see --help)\n", arg.c_str(), value.c_str());
      return 2;
    }
  }
  if (!haveTarget) {
    std::fprintf(stderr, "server_load: --target ADDR:PORT is required (see --help)\n");
    return 2;
  }
  // As many connections as the hard limit allows; the machine's limit is never touched.
  rlimit limit{};
  getrlimit(RLIMIT_NOFILE, &limit);
  limit.rlim_cur = limit.rlim_max;
  setrlimit(RLIMIT_NOFILE, &limit);
  if (o.hold + FD_MARGIN > limit.rlim_cur) {
    std::fprintf(stderr, "server_load: --hold %llu does not fit the descriptor limit %llu\n",
                 (unsigned long long)o.hold, (unsigned long long)limit.rlim_cur);
    return 2;
  }
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGUSR1);
  sigaddset(&signals, SIGUSR2);
  sigaddset(&signals, SIGHUP);
  sigaddset(&signals, SIGTERM);
  sigaddset(&signals, SIGINT);
  sigprocmask(SIG_BLOCK, &signals, nullptr);
  int sigFd = signalfd(-1, &signals, SFD_NONBLOCK | SFD_CLOEXEC);

  Generator generator(o, size_t(limit.rlim_cur));
  generator.addSignalFd(sigFd);
  generator.run();
  generator.writeReport();
  return 0;
}
