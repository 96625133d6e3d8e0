// The conversation with the update server over TCP port 9910: the hello with the client report,
// a keep-alive every second, and the server's messages (version answer, pushed package,
// disconnect).
//
// Wire format: docs/FORMATS.md, section 2, with the types and layouts in protocol/messages.h.
// Any other type is skipped: only its two bytes are consumed.
#pragma once

#include <array>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <span>
#include <string>
#include <thread>

#include "protocol/client_report.h"
#include "protocol/messages.h"
#include "updater/app_state.h"
#include "updater/settings_block.h"

namespace update_conversation {

// The wire layouts are protocol/'s, shared with the servers so that the sides cannot drift.
using protocol::HELLO_SIZE;
using protocol::MESSAGE_TYPE_SIZE;
using protocol::MSG_DISCONNECT;
using protocol::MSG_FILE_BEGIN;
using protocol::MSG_FILE_DATA;
using protocol::MSG_FILE_END;
using protocol::MSG_HELLO;
using protocol::MSG_KEEPALIVE;
using protocol::MSG_VERSION;
using protocol::UPDATE_SERVER_PORT;
using protocol::VERSION_BODY_SIZE;
constexpr size_t FILE_CHUNK_MAX = 8192;
// The largest push taken, the same bound as a body of the storage client: a larger total would
// fill the application directory's disk. Its bytes are still read, so the conversation stays in
// step.
constexpr uint32_t PUSH_MAX = 1u << 30;
// Reads from the socket go through a buffer of this size, so that a run of small messages costs
// one call, not one per message.
constexpr size_t RECEIVE_BUFFER = 4096;
// A send that has moved nothing for this long fails (the server stopped reading), which ends the
// conversation and frees the send lock.
constexpr int SEND_TIMEOUT_MS = 5000;
// The client sends a 166-byte hello and then 2 bytes a second, so a small send buffer is plenty;
// it makes a server that stopped reading show as a blocked send after kilobytes, not megabytes.
constexpr int SEND_BUFFER_BYTES = 8192;
// sendAll moves data in pieces of this size, then the remainder.
constexpr size_t IO_PIECE = 4096;

// (major * 100 + minor) * 1000 + build in signed 32-bit arithmetic (wrapping like the server's
// own computation), so a minor of 100 or a build of 1000 spills into the next place.
int32_t versionWeight(const settings_block::Version& v);
bool isNewerVersion(const settings_block::Version& announced,
                    const settings_block::Version& current);
// The announced size (in thousandths of a MiB) as the float the progress window compares.
float expectedSizeFromAnswer(uint32_t size);
// "%u/%u.%u.BIN": the object name of a version's package.
std::string packageKeyFor(const settings_block::Version& v);
// "%u.%u.%u.BIN": the local package file of a version.
std::string packageFileNameFor(const settings_block::Version& v);

using protocol::helloMessage;
using protocol::keepAliveMessage;

// Sends exactly n bytes in pieces of IO_PIECE; 0, or -1 when a call gives 0 or less.
int sendAll(int socket, const uint8_t* data, size_t n);

// Looks the host up and writes its first IPv4 address as dotted text; false when not found.
bool resolveServer(const char* host, std::string* addressText);

// --- The server's messages, over any source of bytes ---

// Gives exactly n bytes: 0, or -1 when the source fails or ends first.
class ByteSource {
 public:
  virtual ~ByteSource() = default;
  virtual int readExact(uint8_t* out, size_t n) = 0;
};

// Where a pushed package goes. begin opens it, write appends, abandon deletes what was written,
// finish installs it. The receive loop calls finish only when exactly the announced total arrived.
class PushSink {
 public:
  virtual ~PushSink() = default;
  virtual bool begin(uint32_t total) = 0;
  virtual bool write(std::span<const uint8_t> bytes) = 0;
  virtual void abandon() = 0;
  virtual void finish() = 0;
};

using protocol::VersionAnswer;

enum class ReceiveEnd { VersionAnswered, Disconnected, ReadFailed };
struct ReceiveOutcome {
  ReceiveEnd end = ReceiveEnd::ReadFailed;
  VersionAnswer answer;  // with VersionAnswered
};

// Reads messages until a version answer, a disconnect message or a failed read. A push ends
// without touching anything when a chunk exceeds FILE_CHUNK_MAX, when more than the total
// arrives, when MSG_FILE_END leaves it short, when a read fails inside it, or when its total is
// 0 (an empty program is never installed) or over PUSH_MAX. packageSize and receivedCount follow
// the push.
ReceiveOutcome receiveMessages(ByteSource& source, PushSink& sink, app_state::AppState& state);

// The effect of a version answer: expected size, status text, and for a newer version the pause,
// package key, settings block version and UPDATE_PENDING, in that order. pause gives false when
// the conversation is being stopped; nothing is published then.
void applyVersionAnswer(app_state::AppState& state, const VersionAnswer& answer,
                        const std::function<bool()>& pause);

// --- The three threads ---

struct ConversationOptions {
  std::string host;
  uint16_t port = UPDATE_SERVER_PORT;
  uint32_t retryMs = 1000;
  uint32_t keepAliveMs = 1000;
  uint32_t announcePauseMs = 1000;
};

// connectThread resolves and connects (retrying every retryMs without limit), then starts
// sendThread, which starts receiveThread, sends the hello and keeps the connection alive. Only
// sendThread closes the socket, after it has shut the connection down and joined receiveThread,
// so the receive side never reads a descriptor that was closed and reused. stop() ends all three
// and joins them; it shuts the connection down under the descriptor lock, not the send lock, so
// a send blocked on a server that stopped reading cannot hold it up. The destructor stops.
class UpdateConversation {
 public:
  UpdateConversation(app_state::AppState& state, ConversationOptions options, PushSink& pushSink);
  ~UpdateConversation();
  UpdateConversation(const UpdateConversation&) = delete;
  UpdateConversation& operator=(const UpdateConversation&) = delete;

  void start();
  void stop();

  // Held around every send and around the shutdown on MSG_DISCONNECT.
  std::mutex& sendLock() { return sendLock_; }
  bool connected() const { return socket_.load() >= 0; }
  std::string serverAddress() const;

 private:
  int connectThread();
  int sendThread();
  int receiveThread();
  // Sleeps ms, waking early on stop; false when stopping.
  bool pause(uint32_t ms);
  int connectOnce();

  app_state::AppState& state_;
  const ConversationOptions options_;
  PushSink& pushSink_;
  std::mutex sendLock_;
  // Held around the shutdown and the close of the socket, never across a blocking call, so that
  // stop() never shuts down a descriptor number that was closed and given to another file.
  std::mutex descriptorLock_;
  std::atomic<int> socket_{-1};  // -1: none
  mutable std::mutex addressMutex_;
  std::string serverAddress_;
  std::atomic<bool> stopping_{false};
  std::mutex wakeMutex_;
  std::condition_variable wake_;
  // connect_ is set by start(); send_ by the connect thread before it ends; receive_ by the send
  // thread, which also joins it.
  std::thread connect_, send_, receive_;
};

}  // namespace update_conversation
