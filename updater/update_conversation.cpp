#include "updater/update_conversation.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>

#include "updater/little_endian.h"
#include "updater/update_texts.h"

namespace update_conversation {

namespace {

using little_endian::readU16;
using little_endian::readU32;

// How long one connection attempt may take before it counts as failed and is retried.
constexpr int kConnectTimeoutMs = 5000;
constexpr int kConnectPollSliceMs = 100;

// The connected socket through a small buffer: one recv serves many short messages.
class SocketSource : public ByteSource {
 public:
  explicit SocketSource(const std::atomic<int>& socket) : socket_(socket) {}
  int readExact(uint8_t* out, size_t n) override {
    while (n > 0) {
      if (start_ == end_ && fill() != 0) return -1;
      size_t piece = std::min(n, end_ - start_);
      std::memcpy(out, buffer_ + start_, piece);
      start_ += piece;
      out += piece;
      n -= piece;
    }
    return 0;
  }

 private:
  int fill() {
    int fd = socket_.load();
    if (fd < 0) return -1;
    for (;;) {
      ssize_t r = ::recv(fd, buffer_, sizeof buffer_, 0);
      if (r < 0 && errno == EINTR) continue;
      if (r <= 0) return -1;
      start_ = 0;
      end_ = size_t(r);
      return 0;
    }
  }
  const std::atomic<int>& socket_;
  uint8_t buffer_[RECEIVE_BUFFER];
  size_t start_ = 0, end_ = 0;
};

// Consumes n bytes without keeping them.
int skipBytes(ByteSource& source, uint64_t n) {
  uint8_t scrap[FILE_CHUNK_MAX];
  while (n > 0) {
    size_t piece = n < sizeof scrap ? size_t(n) : sizeof scrap;
    if (source.readExact(scrap, piece) != 0) return -1;
    n -= piece;
  }
  return 0;
}

}  // namespace

int32_t versionWeight(const settings_block::Version& v) {
  // Unsigned arithmetic wraps where the signed one would be undefined; the bits are the same.
  uint32_t weight = (v.major * 100u + v.minor) * 1000u + v.build;
  return static_cast<int32_t>(weight);
}

bool isNewerVersion(const settings_block::Version& announced,
                    const settings_block::Version& current) {
  return versionWeight(announced) > versionWeight(current);
}

float expectedSizeFromAnswer(uint32_t size) {
  float expected = static_cast<float>(size);
  expected = expected / 1000.0f;
  expected = expected * 1024.0f;
  expected = expected * 1024.0f;
  return expected;
}

std::string packageKeyFor(const settings_block::Version& v) {
  char key[48];
  std::snprintf(key, sizeof key, "%u/%u.%u.BIN", v.major, v.minor, v.build);
  return key;
}

std::string packageFileNameFor(const settings_block::Version& v) {
  char name[48];
  std::snprintf(name, sizeof name, "%u.%u.%u.BIN", v.major, v.minor, v.build);
  return name;
}

int sendAll(int socket, const uint8_t* data, size_t n) {
  size_t done = 0;
  while (done < n) {
    size_t piece = std::min(IO_PIECE, n - done);
    size_t sent = 0;
    while (sent < piece) {
      // MSG_NOSIGNAL: a peer that went away is a failed send, not a SIGPIPE for the process.
      ssize_t r = ::send(socket, data + done + sent, piece - sent, MSG_NOSIGNAL);
      if (r < 0 && errno == EINTR) continue;
      if (r <= 0) return -1;
      sent += size_t(r);
    }
    done += piece;
  }
  return 0;
}

bool resolveServer(const char* host, std::string* addressText) {
  addressText->clear();
  if (host == nullptr || *host == '\0') return false;
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  if (getaddrinfo(host, nullptr, &hints, &found) != 0 || found == nullptr) return false;
  char text[INET_ADDRSTRLEN] = {};
  const auto* address = reinterpret_cast<const sockaddr_in*>(found->ai_addr);
  bool ok = inet_ntop(AF_INET, &address->sin_addr, text, sizeof text) != nullptr;
  freeaddrinfo(found);
  if (ok) *addressText = text;
  return ok;
}

ReceiveOutcome receiveMessages(ByteSource& source, PushSink& sink, app_state::AppState& state) {
  bool pushing = false;    // a push is open and still sound
  uint64_t pushTotal = 0;  // announced total of the open push
  uint64_t pushCount = 0;  // bytes received for it
  auto endPush = [&]() {
    if (pushing) sink.abandon();
    pushing = false;
  };
  ReceiveOutcome outcome;
  for (;;) {
    uint8_t typeBytes[MESSAGE_TYPE_SIZE];
    if (source.readExact(typeBytes, sizeof typeBytes) != 0) break;
    uint16_t type = readU16(typeBytes, 0);
    if (type == MSG_VERSION) {
      uint8_t body[VERSION_BODY_SIZE];
      if (source.readExact(body, sizeof body) != 0) break;
      endPush();
      outcome.end = ReceiveEnd::VersionAnswered;
      outcome.answer = protocol::decodeVersionBody(body);
      return outcome;
    }
    if (type == MSG_FILE_BEGIN) {
      uint8_t total[4];
      if (source.readExact(total, sizeof total) != 0) break;
      endPush();  // a new push replaces an unfinished one
      pushTotal = readU32(total, 0);
      pushCount = 0;
      state.packageSize = uint32_t(pushTotal);
      state.receivedCount = 0;
      pushing = pushTotal > 0 && pushTotal <= PUSH_MAX && sink.begin(uint32_t(pushTotal));
      continue;
    }
    if (type == MSG_FILE_DATA || type == MSG_FILE_END) {
      uint8_t lengthBytes[4];
      if (source.readExact(lengthBytes, sizeof lengthBytes) != 0) break;
      uint32_t n = readU32(lengthBytes, 0);
      if (n > FILE_CHUNK_MAX) {
        // Larger than any chunk may be: the push is unsound. Its bytes are consumed so that the
        // next message is read from its own start.
        endPush();
        if (skipBytes(source, n) != 0) break;
        continue;
      }
      uint8_t chunk[FILE_CHUNK_MAX];
      if (source.readExact(chunk, n) != 0) break;
      if (!pushing) continue;
      if (!sink.write(std::span<const uint8_t>(chunk, n))) {
        endPush();
        continue;
      }
      pushCount += n;
      state.receivedCount = uint32_t(pushCount);
      if (pushCount == pushTotal) {
        pushing = false;
        sink.finish();
      } else if (pushCount > pushTotal || type == MSG_FILE_END) {
        endPush();  // overlong, or ended short
      }
      continue;
    }
    if (type == MSG_DISCONNECT) {
      uint8_t lengthBytes[2];
      if (source.readExact(lengthBytes, sizeof lengthBytes) != 0) break;
      if (skipBytes(source, readU16(lengthBytes, 0)) != 0) break;
      endPush();
      outcome.end = ReceiveEnd::Disconnected;
      return outcome;
    }
    // Any other type: its two bytes are all there is to consume.
  }
  endPush();
  outcome.end = ReceiveEnd::ReadFailed;
  return outcome;
}

void applyVersionAnswer(app_state::AppState& state, const VersionAnswer& answer,
                        const std::function<bool()>& pause) {
  state.expectedPackageSize = expectedSizeFromAnswer(answer.size);
  bool chinese = settings_block::isChinese(state.settingsBlock);
  settings_block::Version current = settings_block::version(state.settingsBlock);
  if (!isNewerVersion(answer.version, current)) {
    state.statusLine.set(update_texts::noNewVersion(chinese, current).c_str());
    state.updateState = app_state::UPDATE_NONE;
    return;
  }
  state.statusLine.set(update_texts::foundNewVersion(chinese, answer.version).c_str());
  if (!pause()) return;
  state.packageKey.set(packageKeyFor(answer.version).c_str());
  settings_block::setVersion(state.settingsBlock, answer.version);
  // Published last: the worker reads the key and the version only after it sees this state.
  state.updateState = app_state::UPDATE_PENDING;
}

// --- Threads ---

UpdateConversation::UpdateConversation(app_state::AppState& state, ConversationOptions options,
                                       PushSink& pushSink)
    : state_(state), options_(std::move(options)), pushSink_(pushSink) {}

UpdateConversation::~UpdateConversation() {
  stop();
}

void UpdateConversation::start() {
  if (connect_.joinable()) return;
  connect_ = std::thread([this] { connectThread(); });
}

void UpdateConversation::stop() {
  {
    std::lock_guard<std::mutex> lock(wakeMutex_);
    stopping_ = true;
  }
  wake_.notify_all();
  if (connect_.joinable()) connect_.join();
  // The connect thread has ended, so send_ no longer changes. The shutdown also wakes a send
  // that blocks under the send lock.
  {
    std::lock_guard<std::mutex> lock(descriptorLock_);
    int fd = socket_.load();
    if (fd >= 0) ::shutdown(fd, SHUT_RDWR);
  }
  if (send_.joinable()) send_.join();
}

std::string UpdateConversation::serverAddress() const {
  std::lock_guard<std::mutex> lock(addressMutex_);
  return serverAddress_;
}

bool UpdateConversation::pause(uint32_t ms) {
  std::unique_lock<std::mutex> lock(wakeMutex_);
  wake_.wait_for(lock, std::chrono::milliseconds(ms), [this] { return stopping_.load(); });
  return !stopping_;
}

int UpdateConversation::connectOnce() {
  int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  if (fd < 0) return -1;
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(options_.port);
  std::string text = serverAddress();
  if (text.empty() || inet_pton(AF_INET, text.c_str(), &address.sin_addr) != 1) {
    ::close(fd);
    return -1;
  }
  // Non-blocking, so that a stop is seen while an attempt is under way.
  int flags = fcntl(fd, F_GETFL, 0);
  fcntl(fd, F_SETFL, flags | O_NONBLOCK);
  int r = ::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address);
  if (r != 0 && errno == EINPROGRESS) {
    int waited = 0;
    r = -1;
    while (!stopping_ && waited < kConnectTimeoutMs) {
      pollfd p{fd, POLLOUT, 0};
      int ready = ::poll(&p, 1, kConnectPollSliceMs);
      if (ready > 0) {
        int error = 0;
        socklen_t length = sizeof error;
        getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length);
        r = error == 0 ? 0 : -1;
        break;
      }
      if (ready < 0 && errno != EINTR) break;
      waited += kConnectPollSliceMs;
    }
  }
  if (r != 0 || stopping_) {
    ::close(fd);
    return -1;
  }
  fcntl(fd, F_SETFL, flags);
  timeval sendTimeout{SEND_TIMEOUT_MS / 1000, (SEND_TIMEOUT_MS % 1000) * 1000};
  setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &sendTimeout, sizeof sendTimeout);
  setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &SEND_BUFFER_BYTES, sizeof SEND_BUFFER_BYTES);
  return fd;
}

int UpdateConversation::connectThread() {
  std::string text;
  // Once: after a failed lookup every attempt fails and is retried, as the server may come up.
  resolveServer(options_.host.c_str(), &text);
  {
    std::lock_guard<std::mutex> lock(addressMutex_);
    serverAddress_ = text;
  }
  for (;;) {
    if (stopping_) return -1;
    int fd = connectOnce();
    if (fd >= 0) {
      socket_ = fd;
      send_ = std::thread([this] { sendThread(); });
      return 0;
    }
    if (!pause(options_.retryMs)) return -1;
  }
}

int UpdateConversation::sendThread() {
  receive_ = std::thread([this] { receiveThread(); });
  bool ok = false;
  {
    std::lock_guard<std::mutex> lock(sendLock_);
    int fd = socket_.load();
    if (fd >= 0 && !stopping_) {
      // Type and report under one hold: no keep-alive can come between them.
      auto hello = helloMessage(state_.clientReport);
      ok = sendAll(fd, hello.data(), MESSAGE_TYPE_SIZE) == 0 &&
           sendAll(fd, hello.data() + MESSAGE_TYPE_SIZE, app_state::CLIENT_REPORT_SIZE) == 0;
    }
  }
  while (ok) {
    {
      std::lock_guard<std::mutex> lock(sendLock_);
      int fd = socket_.load();
      auto keepAlive = keepAliveMessage();
      ok = fd >= 0 && sendAll(fd, keepAlive.data(), keepAlive.size()) == 0;
    }
    if (ok) ok = pause(options_.keepAliveMs);
  }
  int fd = socket_.load();
  {
    std::lock_guard<std::mutex> lock(descriptorLock_);
    if (fd >= 0) ::shutdown(fd, SHUT_RDWR);
  }
  // The receive side ends at its next read; only then is the descriptor closed.
  if (receive_.joinable()) receive_.join();
  std::lock_guard<std::mutex> lock(descriptorLock_);
  socket_ = -1;
  if (fd >= 0) ::close(fd);
  return -1;
}

int UpdateConversation::receiveThread() {
  SocketSource source(socket_);
  ReceiveOutcome outcome = receiveMessages(source, pushSink_, state_);
  if (outcome.end == ReceiveEnd::VersionAnswered) {
    applyVersionAnswer(state_, outcome.answer, [this] { return pause(options_.announcePauseMs); });
  } else if (outcome.end == ReceiveEnd::Disconnected) {
    std::lock_guard<std::mutex> lock(sendLock_);
    std::lock_guard<std::mutex> descriptor(descriptorLock_);
    int fd = socket_.load();
    // Shut down rather than closed here: the send thread closes once both sides are done.
    if (fd >= 0) ::shutdown(fd, SHUT_RDWR);
  }
  return -1;
}

}  // namespace update_conversation
