// Runs one update road headless in APP_DIR against the loopback update server and storage, and
// prints the wall time from the first GET of the package to the rename of the new Kelvora.exe,
// the resident memory when that GET starts and at its peak, and the body bytes received.
// usage: update_road_bench APP_DIR
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>
#include <thread>

#include "updater/app_state.h"
#include "updater/package_fetch.h"
#include "updater/package_install.h"
#include "updater/startup.h"
#include "updater/update_worker.h"

namespace {

using Clock = std::chrono::steady_clock;

// A field of /proc/self/status in KiB: VmRSS now, VmHWM its peak so far.
long statusKiB(const char* field) {
  std::ifstream in("/proc/self/status");
  for (std::string line; std::getline(in, line);)
    if (line.rfind(field, 0) == 0) return std::atol(line.c_str() + std::strlen(field) + 1);
  return -1;
}

// Counts the body bytes on their way to the download's own sink.
class CountingSink final : public package_download::BodySink {
 public:
  CountingSink(package_download::BodySink& inner, uint64_t& count) : inner_(inner), count_(count) {}
  bool begin(const package_download::ResponseHead& head) override { return inner_.begin(head); }
  bool write(std::span<const uint8_t> bytes) override {
    count_ += bytes.size();
    return inner_.write(bytes);
  }

 private:
  package_download::BodySink& inner_;
  uint64_t& count_;
};

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2 || chdir(argv[1]) != 0) {
    std::fprintf(stderr, "usage: update_road_bench APP_DIR\n");
    return 2;
  }
  if (!startup::loadSettingsBlock()) return 3;
  update_worker::WorkerOptions options = update_worker::builtinWorkerOptions();
  options.conversation.announcePauseMs = 0;  // the pause is a fixed second, not work
  std::atomic<int64_t> firstGetNs{0};
  std::atomic<long> idleRssKiB{-1};
  uint64_t bodyBytes = 0;
  options.fetch = [&](const package_download::FetchRequest& request,
                      package_download::BodySink& sink) {
    // The clock starts at the package's GET; its signature object comes before it.
    if (firstGetNs == 0 && !request.key.ends_with(".minisig")) {
      idleRssKiB = statusKiB("VmHWM:");
      firstGetNs = Clock::now().time_since_epoch().count();
    }
    CountingSink counting(sink, bodyBytes);
    return package_download::fetchFromStorage(request, counting);
  };
  package_install::PushedPackageFile push(appState());
  update_conversation::UpdateConversation conversation(appState(), options.conversation, push);
  std::atomic<bool> stop{false};
  int result = -1;
  std::atomic<bool> finished{false};
  std::thread worker([&] {
    result = update_worker::runUpdateWorker(appState(), options, conversation, stop);
    finished = true;
  });
  Clock::time_point done{};
  const Clock::time_point deadline = Clock::now() + std::chrono::seconds(300);
  // The rename of Kelvora.exe is followed at once by UPDATE_DONE; a poll of 100 us finds it.
  while (Clock::now() < deadline) {
    const bool over = finished;  // read first: once set, the state below is final
    const int32_t state = appState().updateState;
    if (state == UPDATE_DONE) {
      done = Clock::now();
      break;
    }
    if (over) break;
    std::this_thread::sleep_for(std::chrono::microseconds(100));
  }
  worker.join();
  conversation.stop();
  const Clock::time_point first{Clock::duration(firstGetNs.load())};
  std::printf("first_get_to_rename_ms=%.1f idle_rss_kib=%ld peak_rss_kib=%ld body_bytes=%llu\n",
              done == Clock::time_point{}
                  ? -1.0
                  : std::chrono::duration<double, std::milli>(done - first).count(),
              idleRssKiB.load(), statusKiB("VmHWM:"), static_cast<unsigned long long>(bodyBytes));
  if (done == Clock::time_point{}) {
    std::fprintf(stderr, "update_road_bench: the update did not complete (%s)\n",
                 appState().statusLine.get().c_str());
    return 1;
  }
  return result == 0 ? 0 : 1;
}
