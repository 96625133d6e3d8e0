// kelvora-server: answers Update.exe's hello on port 9910 from the release manifest, with staged
// rollouts, for as many clients as the descriptors allow, behind any TCP load balancer.
//
// Threads: one event loop per --threads (event_loop.h), the metrics listener, the report writer
// (with --reports), and this one, which owns the signals (SIGHUP reloads and reopens, SIGTERM
// and SIGINT stop) and the manifest's loads and polls.
#include <sodium.h>
#include <sys/resource.h>
#include <sys/signalfd.h>
#include <systemd/sd-daemon.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <exception>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "server/event_loop.h"
#include "server/manifest_source.h"
#include "server/metrics_server.h"
#include "server/options.h"
#include "server/socket_address.h"
#include "storage_client/aos_http_io.h"

namespace server {

namespace {

// Descriptors beyond the connections: listeners, epoll sets, the metrics clients, the log.
constexpr uint64_t kDescriptorMargin = 64;

void say(const std::string& line) {
  std::fprintf(stderr, "kelvora-server: %s\n", line.c_str());
}

void raiseDescriptorLimit(const Options& o, unsigned loops) {
  rlimit limit{};
  if (getrlimit(RLIMIT_NOFILE, &limit) != 0) return;
  limit.rlim_cur = limit.rlim_max;
  setrlimit(RLIMIT_NOFILE, &limit);
  getrlimit(RLIMIT_NOFILE, &limit);
  const uint64_t wanted = o.maxConnections + kDescriptorMargin + 4 * loops + o.metricsConnections;
  if (limit.rlim_cur != RLIM_INFINITY && limit.rlim_cur < wanted)
    say("open-file limit " + std::to_string(limit.rlim_cur) + " is below the " +
        std::to_string(wanted) + " that --max-connections " + std::to_string(o.maxConnections) +
        " needs; connections past it are refused");
}

std::string manifestSummary(const release_manifest::Manifest& m) {
  std::string text = "release " + protocol::versionText(m.release.version) + " to " +
                     release_manifest::percentText(m.rolloutHundredths) + " %, others ";
  return text + (m.fallback ? protocol::versionText(m.fallback->version) : "no new version");
}

class Server {
 public:
  explicit Server(const Options& o) : options_(o) {}
  int run();

 private:
  bool loadManifest(bool atStart);
  bool bindListeners(unsigned loops, std::string* error);

  const Options& options_;
  std::unique_ptr<Metrics> metrics_;
  ReleaseBoard board_;
  std::unique_ptr<ObjectManifestSource> object_;
  std::vector<int> listeners_;
  std::string boundText_;
  std::atomic<bool> stopping_{false};
};

bool Server::loadManifest(bool atStart) {
  std::string text, error;
  bool read = false;
  if (object_) {
    switch (object_->fetch(&text, &error)) {
      case ObjectManifestSource::Result::Unchanged:
        metrics_->notModified.fetch_add(1);
        return true;
      case ObjectManifestSource::Result::Changed:
        read = true;
        break;
      case ObjectManifestSource::Result::Failed:
        break;
    }
  } else if (auto file = readManifestFile(options_.manifestFile, &error)) {
    text = std::move(*file);
    read = true;
  }
  std::optional<release_manifest::Manifest> manifest;
  if (read) manifest = release_manifest::parseManifest(text, &error);
  if (!manifest) {
    metrics_->reloadsError.fetch_add(1);
    say("manifest: " + error + (atStart ? "" : " (the running manifest stays)"));
    return false;
  }
  metrics_->reloadsOk.fetch_add(1);
  board_.publish(makeSnapshot(*manifest, *metrics_));
  say("manifest: " + manifestSummary(*manifest));
  return true;
}

bool Server::bindListeners(unsigned loops, std::string* error) {
  auto address = parseSocketAddress(options_.listen);
  if (!address) {
    *error = "--listen " + options_.listen + ": not ADDR:PORT";
    return false;
  }
  for (unsigned i = 0; i < loops; ++i) {
    int fd = listenOn(*address, true, int(options_.backlog), error);
    if (fd < 0) return false;
    listeners_.push_back(fd);
    // Port 0 asks the system for a port once; the other loops then share that port.
    if (i == 0) {
      address = boundAddress(fd);
      boundText_ =
          socketAddressText(reinterpret_cast<sockaddr*>(&address->storage), address->length);
    }
  }
  return true;
}

int Server::run() {
  const unsigned loops =
      options_.threads != 0 ? options_.threads : std::max(1u, std::thread::hardware_concurrency());
  raiseDescriptorLimit(options_, loops);
  metrics_ = std::make_unique<Metrics>(loops);
  if (!options_.manifestObject.empty()) {
    std::string error;
    auto secret = readManifestFile(options_.secretFile, &error);
    if (!secret) return say("--secret-file " + error), 1;
    while (!secret->empty() && (secret->back() == '\n' || secret->back() == '\r'))
      secret->pop_back();
    if (aos_http_io_initialize() != 0) return say("the storage client did not start"), 1;
    object_ = std::make_unique<ObjectManifestSource>(options_.endpoint, options_.manifestObject,
                                                     options_.accessKeyId, *secret);
  }
  if (!loadManifest(true)) return 1;

  std::string error;
  if (!bindListeners(loops, &error)) return say(error), 1;
  auto metricsAddress = parseSocketAddress(options_.metricsListen);
  if (!metricsAddress)
    return say("--metrics-listen " + options_.metricsListen + ": not ADDR:PORT"), 1;
  const int metricsFd = listenOn(*metricsAddress, false, 64, &error);
  if (metricsFd < 0) return say("--metrics-listen " + error), 1;
  auto metricsBound = boundAddress(metricsFd);

  ReportLog reports;
  if (!options_.reports.empty() &&
      !reports.open(options_.reports, loops, options_.reportsBufferBytes, &error))
    return say(error), 1;

  LoopShared shared;
  shared.helloTimeoutTicks = options_.helloTimeoutSeconds * (1000 / TICK_MS);
  shared.idleTimeoutTicks = options_.idleTimeoutSeconds * (1000 / TICK_MS);
  // The loops end a little before the grace, so the process is gone within it.
  shared.graceTicks = options_.graceSeconds * (1000 / TICK_MS) - 3;
  shared.maxConnections = int64_t(options_.maxConnections);
  shared.board = &board_;
  shared.metrics = metrics_.get();
  shared.reports = reports.enabled() ? &reports : nullptr;

  std::vector<std::unique_ptr<EventLoop>> eventLoops;
  for (unsigned i = 0; i < loops; ++i) {
    eventLoops.push_back(std::make_unique<EventLoop>(i, listeners_[i], shared));
    if (!eventLoops.back()->ok()) return say("an event loop could not be set up"), 1;
  }
  MetricsServer metricsServer(
      metricsFd, options_.metricsConnections,
      [this] {
        ManifestStatus status;
        if (auto s = board_.current()) {
          status.release = protocol::versionText(s->manifest.release.version);
          status.rolloutPercent = release_manifest::percentText(s->manifest.rolloutHundredths);
        }
        return metrics_->text(status);
      },
      [this] { return !stopping_ && board_.current() != nullptr; });

  sigset_t signals;
  sigemptyset(&signals);
  for (int s : {SIGHUP, SIGTERM, SIGINT}) sigaddset(&signals, s);
  const int signalFd = signalfd(-1, &signals, SFD_CLOEXEC);
  if (signalFd < 0) return say("signalfd failed"), 1;

  std::vector<std::thread> threads;
  for (auto& loop : eventLoops)
    threads.emplace_back([&loop] {
      try {
        loop->run();
      } catch (const std::exception& e) {
        say(std::string("event loop: ") + e.what() + "; stopping");
        kill(getpid(), SIGTERM);
      }
    });
  metricsServer.start();
  reports.start();
  say("listening on " + boundText_ + " with " + std::to_string(loops) +
      " event loops; metrics on " +
      socketAddressText(reinterpret_cast<sockaddr*>(&metricsBound->storage), metricsBound->length));
  sd_notify(0, "READY=1");

  // The store is polled on a thread of its own, so a slow store never holds up a signal.
  std::mutex pollLock;
  std::condition_variable pollWake;
  bool pollStop = false, pollDone = false;
  std::thread poller;
  if (object_)
    poller = std::thread([&] {
      std::unique_lock<std::mutex> lock(pollLock);
      while (!pollWake.wait_for(lock, std::chrono::seconds(options_.pollSeconds),
                                [&] { return pollStop; })) {
        lock.unlock();
        loadManifest(false);
        lock.lock();
      }
      pollDone = true;
      pollWake.notify_all();
    });

  int stopSignal = 0;
  while (stopSignal == 0) {
    signalfd_siginfo info{};
    if (read(signalFd, &info, sizeof info) != ssize_t(sizeof info)) continue;
    if (info.ssi_signo == SIGHUP) {
      say("SIGHUP: reopening the reports" +
          std::string(object_ ? "" : ", reading the manifest again"));
      if (!object_) loadManifest(false);
      reports.reopen();
    } else {
      stopSignal = int(info.ssi_signo);
    }
  }
  stopping_ = true;
  sd_notify(0, "STOPPING=1");
  say(std::string("stopping on ") + strsignal(stopSignal) + " within " +
      std::to_string(options_.graceSeconds) + " s");
  for (auto& loop : eventLoops) loop->requestStop();
  bool pollerStuck = false;
  if (poller.joinable()) {
    std::unique_lock<std::mutex> lock(pollLock);
    pollStop = true;
    pollWake.notify_all();
    pollerStuck = !pollWake.wait_for(lock, std::chrono::seconds(options_.graceSeconds) / 2,
                                     [&] { return pollDone; });
  }
  for (auto& t : threads) t.join();
  metricsServer.stop();
  reports.stop();
  close(signalFd);
  if (pollerStuck) {
    // A fetch from a store that stalls may take longer than the grace: leave it to the exit.
    say("stopped, leaving a manifest poll still waiting on the store");
    std::fflush(nullptr);
    std::_Exit(0);
  }
  if (poller.joinable()) poller.join();
  say("stopped");
  return 0;
}

}  // namespace

}  // namespace server

int main(int argc, char** argv) {
  try {
    server::Options options;
    std::string error;
    switch (server::parseOptions(argc, argv, &options, &error)) {
      case server::ParseOutcome::Help:
        std::fputs(server::usageText(), stdout);
        return 0;
      case server::ParseOutcome::Version:
        std::printf("kelvora-server %s\n", KELVORA_VERSION_TEXT);
        return 0;
      case server::ParseOutcome::Error:
        std::fprintf(stderr, "kelvora-server: %s (see --help)\n", error.c_str());
        return 2;
      case server::ParseOutcome::Run:
        break;
    }
    // The signals are taken by the main thread's signalfd; every thread made later inherits the
    // mask. A peer gone away is a failed send, never SIGPIPE.
    sigset_t signals;
    sigemptyset(&signals);
    for (int s : {SIGHUP, SIGTERM, SIGINT}) sigaddset(&signals, s);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);
    std::signal(SIGPIPE, SIG_IGN);
    if (sodium_init() < 0) {
      std::fprintf(stderr, "kelvora-server: libsodium did not start\n");
      return 1;
    }
    server::Server s(options);
    return s.run();
  } catch (const std::exception& e) {
    std::fprintf(stderr, "kelvora-server: %s\n", e.what());
    return 1;
  }
}
