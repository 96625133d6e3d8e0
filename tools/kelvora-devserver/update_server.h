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

#include "tools/kelvora-devserver/options.h"
#include "tools/kelvora-devserver/stop_signal.h"

namespace devserver {

// Message types; every message starts with its u16 type, little-endian, and has a fixed layout.
constexpr uint16_t MSG_HELLO = 0x2000;       // + 164-byte client report
constexpr uint16_t MSG_KEEPALIVE = 0x1004;   // nothing more
constexpr uint16_t MSG_VERSION = 0x2001;     // + u32 major, minor, build, size
constexpr uint16_t MSG_FILE_BEGIN = 0x1016;  // + u32 total
constexpr uint16_t MSG_FILE_DATA = 0x1017;   // + u32 n, n bytes (n <= 8192)
constexpr uint16_t MSG_FILE_END = 0x1018;    // + u32 n, the last n bytes (n <= 8192)
constexpr uint16_t MSG_DISCONNECT = 0x2010;  // + u16 n, n bytes of text
constexpr size_t kTypeSize = 2;
constexpr size_t kReportSize = 164;
constexpr size_t kVersionMessageSize = kTypeSize + 16;
constexpr size_t kMaxFileChunk = 8192;
static_assert(kVersionMessageSize == 18);

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
