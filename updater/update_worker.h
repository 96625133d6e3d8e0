// The update worker: public address, storage client, the conversation with the update server,
// the wait for its answer, download and install, and the settings write-back.
//
// Lifetime. startUpdateWorker starts the worker thread, which owns the conversation's threads
// through the process-wide worker record. The worker thread ends after the write-back; the
// conversation keeps its connection alive after that, as the server expects. stopUpdateWorker
// asks everything to end and joins every thread: a wait ends within its step, no install starts
// after the request (a fetch under way runs to its end first), and the settings block is then not
// written back. The program's exit path calls it.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

#include "updater/app_state.h"
#include "updater/package_download.h"
#include "updater/update_conversation.h"

namespace update_worker {

struct WorkerOptions {
  update_conversation::ConversationOptions conversation;
  std::string addressPageUrl;
  package_download::ObjectFetcher fetch;
  bool startStorage = true;   // start and end the storage client around the conversation
  uint32_t waitStepMs = 200;  // one pace_wait of the window while no answer has come
};

// The built-in update server, address page and storage client.
WorkerOptions builtinWorkerOptions();

// The whole road on the calling thread, with a conversation it starts (and leaves running on
// return, for the caller to stop). Gives 0 after the write-back, -1 when stopped first, 1 when
// the storage client cannot start (then nothing is written).
int runUpdateWorker(app_state::AppState& state, const WorkerOptions& options,
                    update_conversation::UpdateConversation& conversation,
                    const std::atomic<bool>& stopRequested);

// The settings block to config.cfg, enciphered with a fresh key and replaced atomically.
bool writeBackSettings(const app_state::AppState& state);

// The process-wide worker with the built-in options. A storage client that cannot start ends
// the process with status 1, as nothing has been written at that point.
void startUpdateWorker();
bool updateWorkerFinished();
void stopUpdateWorker();

}  // namespace update_worker
