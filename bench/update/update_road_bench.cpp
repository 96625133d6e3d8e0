// Runs one update road headless in APP_DIR against the loopback update server and storage, and
// prints the wall time from the version answer to the installed update, and the peak RSS.
// usage: update_road_bench APP_DIR
#include <sys/resource.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <thread>

#include "updater/app_state.h"
#include "updater/package_install.h"
#include "updater/startup.h"
#include "updater/update_worker.h"

int main(int argc, char** argv) {
  if (argc != 2 || chdir(argv[1]) != 0) {
    std::fprintf(stderr, "usage: update_road_bench APP_DIR\n");
    return 2;
  }
  if (!startup::loadSettingsBlock()) return 3;
  update_worker::WorkerOptions options = update_worker::builtinWorkerOptions();
  options.conversation.announcePauseMs = 0;  // the pause is a fixed second, not work
  package_install::PushedPackageFile push(appState());
  update_conversation::UpdateConversation conversation(appState(), options.conversation, push);
  std::atomic<bool> stop{false};
  int result = -1;
  std::thread worker(
      [&] { result = update_worker::runUpdateWorker(appState(), options, conversation, stop); });
  using Clock = std::chrono::steady_clock;
  Clock::time_point answered{}, done{};
  for (;;) {
    int32_t state = appState().updateState;
    Clock::time_point now = Clock::now();
    if (state != UPDATE_WAITING && answered == Clock::time_point{}) answered = now;
    if (state == UPDATE_DONE && appState().statusLine.get() == "Update completed.") {
      done = now;
      break;
    }
    if (state == UPDATE_NONE) break;
    std::this_thread::sleep_for(std::chrono::microseconds(200));
    if (answered != Clock::time_point{} && now - answered > std::chrono::seconds(120)) break;
  }
  worker.join();
  conversation.stop();
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  if (done == Clock::time_point{}) {
    std::fprintf(stderr, "update_road_bench: the update did not complete (%s)\n",
                 appState().statusLine.get().c_str());
    return 1;
  }
  double ms = std::chrono::duration<double, std::milli>(done - answered).count();
  std::printf("answer_to_completed_ms=%.1f peak_rss_kib=%ld\n", ms, usage.ru_maxrss);
  return result == 0 ? 0 : 1;
}
