// The update server: a TCP listener that reads each client's hello and keep-alives and answers
// every hello with a version or a pushed file, as the options say.
#pragma once

#include <atomic>
#include <cstdint>
#include <list>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "protocol/messages.h"
#include "tools/kelvora-devserver/options.h"
#include "tools/kelvora-devserver/stop_signal.h"
#include "updater/update_conversation.h"

namespace devserver {

// The conversation's shared layouts, so the two sides cannot drift apart; the chunk bound is
// the client's own.
using protocol::MESSAGE_TYPE_SIZE;
using protocol::MSG_DISCONNECT;
using protocol::MSG_FILE_BEGIN;
using protocol::MSG_FILE_DATA;
using protocol::MSG_FILE_END;
using protocol::MSG_HELLO;
using protocol::MSG_KEEPALIVE;
using update_conversation::FILE_CHUNK_MAX;

// The bytes answering one hello. A push sends every chunk but the last as FILE_DATA and the last
// (1 to 8192 bytes; none for an empty file) as FILE_END, so the client finishes the file once.
std::vector<uint8_t> versionAnswer(uint32_t major, uint32_t minor, uint32_t build, uint32_t size);
std::vector<uint8_t> pushAnswer(const std::vector<uint8_t>& file);
std::vector<uint8_t> disconnectMessage(std::string_view text);

class UpdateServer {
 public:
  UpdateServer(const Options& options, StopSignal& stop);
  ~UpdateServer();
  UpdateServer(const UpdateServer&) = delete;
  UpdateServer& operator=(const UpdateServer&) = delete;

  // Prepares the answer and binds 127.0.0.1; gives the port bound, or -1 with error set.
  int bind(std::string* error);
  void start();
  void stop();  // closes the listener and every connection, joins every thread

 private:
  struct Session {
    int fd;
    std::thread thread;
    std::atomic<bool> done{false};
  };

  void acceptLoop();
  void serve(Session& session, uint64_t client, std::string peer);
  bool sendAnswer(int fd);
  void reapFinished();

  const Options& options_;
  StopSignal& stop_;
  std::vector<uint8_t> answer_;
  int listenFd_ = -1;
  int wakeFd_ = -1;  // an eventfd that ends the accept loop's poll
  std::thread acceptThread_;
  std::mutex mutex_;
  std::list<Session> sessions_;
  bool stopping_ = false;
};

}  // namespace devserver
