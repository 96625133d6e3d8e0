#include "updater/update_worker.h"

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <thread>

#include "graphics/pacing.h"
#include "protocol/client_report.h"
#include "updater/builtin_config.h"
#include "updater/package_fetch.h"
#include "updater/package_install.h"
#include "updater/package_resume.h"
#include "updater/public_address.h"
#include "updater/settings_block.h"
#include "updater/settings_file.h"

namespace update_worker {

namespace {

struct WorkerRecord {
  std::mutex mutex;
  std::thread thread;
  std::atomic<bool> stopRequested{false};
  std::atomic<bool> finished{false};
  std::unique_ptr<package_install::PushedPackageFile> pushSink;
  std::unique_ptr<update_conversation::UpdateConversation> conversation;
};

WorkerRecord& workerRecord() {
  static WorkerRecord record;
  return record;
}

}  // namespace

WorkerOptions builtinWorkerOptions() {
  WorkerOptions options;
  options.conversation.host = builtin_config::builtinConfig().updateHost;
  options.addressPageUrl = builtin_config::builtinConfig().addressPageUrl;
  options.fetch = package_download::fetchFromStorage;
  return options;
}

bool writeBackSettings(const app_state::AppState& state) {
  // Enciphered in memory and replaced in one step: a plain block never stands on disk, so the
  // file is the previous or the next container whenever the process ends.
  return settings_file::storeSettings(state.settingsBlock);
}

int runUpdateWorker(app_state::AppState& state, const WorkerOptions& options,
                    update_conversation::UpdateConversation& conversation,
                    const std::atomic<bool>& stopRequested) {
  public_address::getLocalAddress();
  std::optional<std::string> address = public_address::getPublicAddressFrom(options.addressPageUrl);
  // A text too long for an address is sent as "0.0.0.0", never cut.
  client_report::setPublicAddress(state.clientReport, address ? *address : "0.0.0.0");
  if (options.startStorage && package_download::startStorageClient() != 0) return 1;

  // The version before any announcement: it stays the stored one unless the package installs.
  const settings_block::Version installed = settings_block::version(state.settingsBlock);
  conversation.start();
  // The window's wait, which copies and walks nothing from this thread (the window's own thread
  // does); an answer or a stop request is acted on within one step.
  while (state.updateState == app_state::UPDATE_WAITING && !stopRequested)
    gfx::pace_wait(static_cast<int>(options.waitStepMs));
  bool installedNew = true;
  if (!stopRequested && state.updateState == app_state::UPDATE_PENDING)
    installedNew = package_download::downloadAndInstall(state, options.fetch);
  // No newer version: a package kept for resuming is of no use any more.
  if (!stopRequested && state.updateState == app_state::UPDATE_NONE)
    package_resume::discardAllBut("");
  if (options.startStorage) package_download::stopStorageClient();
  if (stopRequested) return -1;
  if (!installedNew) settings_block::setVersion(state.settingsBlock, installed);
  writeBackSettings(state);
  return 0;
}

void startUpdateWorker() {
  WorkerRecord& record = workerRecord();
  std::lock_guard<std::mutex> lock(record.mutex);
  if (record.thread.joinable()) return;
  record.pushSink = std::make_unique<package_install::PushedPackageFile>(app_state::appState());
  WorkerOptions options = builtinWorkerOptions();
  record.conversation = std::make_unique<update_conversation::UpdateConversation>(
      app_state::appState(), options.conversation, *record.pushSink);
  record.thread = std::thread([&record, options] {
    int result =
        runUpdateWorker(app_state::appState(), options, *record.conversation, record.stopRequested);
    if (result == 1) {
      // Nothing of ours is half-written here: the settings file is untouched and no swap began.
      std::fflush(nullptr);
      std::_Exit(1);
    }
    record.finished = true;
  });
}

bool updateWorkerFinished() {
  return workerRecord().finished;
}

void stopUpdateWorker() {
  WorkerRecord& record = workerRecord();
  std::lock_guard<std::mutex> lock(record.mutex);
  record.stopRequested = true;
  if (record.thread.joinable()) record.thread.join();
  if (record.conversation) record.conversation->stop();
}

}  // namespace update_worker
