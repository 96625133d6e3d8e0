// The update conversation: version arithmetic, the server's messages from memory, and the three
// threads against a scripted server on a loopback port chosen at run time.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <future>
#include <vector>

#include "support/test_support.h"
#include "updater/update_conversation.h"

namespace {

using namespace update_conversation;
using std::chrono::milliseconds;
using std::chrono::seconds;
using Bytes = std::vector<uint8_t>;

Bytes operator+(Bytes a, const Bytes& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}
Bytes u16(uint16_t v) {
  return {uint8_t(v), uint8_t(v >> 8)};
}
Bytes u32(uint32_t v) {
  return {uint8_t(v), uint8_t(v >> 8), uint8_t(v >> 16), uint8_t(v >> 24)};
}
Bytes versionMessage(uint32_t major, uint32_t minor, uint32_t build, uint32_t size) {
  return u16(MSG_VERSION) + u32(major) + u32(minor) + u32(build) + u32(size);
}
Bytes chunk(uint16_t type, const Bytes& data) {
  return u16(type) + u32(uint32_t(data.size())) + data;
}
Bytes beginMessage(uint32_t total) {
  return u16(MSG_FILE_BEGIN) + u32(total);
}

class MemorySource : public ByteSource {
 public:
  explicit MemorySource(Bytes bytes) : bytes_(std::move(bytes)) {}
  int readExact(uint8_t* out, size_t n) override {
    if (bytes_.size() - pos_ < n) return -1;
    std::memcpy(out, bytes_.data() + pos_, n);
    pos_ += n;
    return 0;
  }
  size_t left() const { return bytes_.size() - pos_; }

 private:
  Bytes bytes_;
  size_t pos_ = 0;
};

// Records what the receive loop asks of a push.
class RecordingSink : public PushSink {
 public:
  bool begin(uint32_t total) override {
    events.push_back("begin " + std::to_string(total));
    data.clear();
    return true;
  }
  bool write(std::span<const uint8_t> bytes) override {
    data.insert(data.end(), bytes.begin(), bytes.end());
    return true;
  }
  void abandon() override { events.push_back("abandon"); }
  void finish() override { events.push_back("finish " + std::to_string(data.size())); }
  std::vector<std::string> events;
  Bytes data;
};

TEST(VersionRule, WeightsSpillIntoTheNextPlaceAndWrapSigned) {
  struct Case {
    settings_block::Version announced, current;
    bool newer;
  };
  const Case cases[] = {
      {{1, 3, 0}, {1, 2, 3}, true},      {{1, 100, 0}, {2, 0, 0}, false},
      {{2, 0, 0}, {1, 100, 0}, false},   {{1, 2, 1000}, {1, 3, 0}, false},
      {{21475, 0, 0}, {0, 0, 1}, false},  // past 2^31 the weight is negative
  };
  for (const Case& c : cases)
    EXPECT_EQ(isNewerVersion(c.announced, c.current), c.newer)
        << c.announced.major << "." << c.announced.minor << "." << c.announced.build;
  EXPECT_EQ(expectedSizeFromAnswer(1000), 1048576.0f);
  EXPECT_EQ(packageKeyFor({4294967295u, 0, 7}), "4294967295/0.7.BIN");
}

TEST(Messages, HowEachStreamEnds) {
  struct Case {
    const char* name;
    Bytes stream;
    ReceiveEnd end;
    uint32_t minor;  // of the answer
    size_t left;     // bytes not read
  };
  Bytes bye = u16(MSG_DISCONNECT) + u16(3) + Bytes{'b', 'y', 'e'};
  const Case cases[] = {
      {"the worked example: 3.11.0 with size 1000",
       {0x01, 0x20, 0x03, 0, 0, 0, 0x0B, 0, 0, 0, 0, 0, 0, 0, 0xE8, 0x03, 0, 0},
       ReceiveEnd::VersionAnswered,
       11,
       0},
      {"unknown types are two bytes each",
       u16(0x3000) + u16(MSG_KEEPALIVE) + versionMessage(1, 2, 3, 4) + Bytes{0xAA},
       ReceiveEnd::VersionAnswered, 2, 1},
      {"a chunk over the limit is consumed whole",
       chunk(MSG_FILE_DATA, Bytes(20000, 0x20)) + versionMessage(5, 6, 7, 8),
       ReceiveEnd::VersionAnswered, 6, 0},
      {"a push over 1 GiB is read through",
       beginMessage(0xFFFFFFFF) + chunk(MSG_FILE_DATA, Bytes(8192, 1)) + versionMessage(1, 9, 0, 0),
       ReceiveEnd::VersionAnswered, 9, 0},
      {"disconnect", bye + versionMessage(9, 9, 9, 9), ReceiveEnd::Disconnected, 0, 18},
      {"cut answer", {0x01, 0x20, 0x03, 0x00}, ReceiveEnd::ReadFailed, 0, 2},
  };
  for (const Case& c : cases) {
    app_state::AppState state;
    RecordingSink sink;
    MemorySource source(c.stream);
    ReceiveOutcome outcome = receiveMessages(source, sink, state);
    EXPECT_EQ(outcome.end, c.end) << c.name;
    if (c.end == ReceiveEnd::VersionAnswered) {
      EXPECT_EQ(outcome.answer.version.minor, c.minor) << c.name;
    }
    EXPECT_EQ(source.left(), c.left) << c.name;
    EXPECT_EQ(sink.events, std::vector<std::string>{}) << c.name << ": no push begins";
  }
}

TEST(Messages, PushFinishesOnlyAtExactlyTheTotal) {
  Bytes a(5000, 0x11), b(3000, 0x22);
  struct Case {
    const char* name;
    Bytes stream;
    std::vector<std::string> events;
  };
  const Case cases[] = {
      {"data reaches the total",
       beginMessage(8000) + chunk(MSG_FILE_DATA, a) + chunk(MSG_FILE_DATA, b),
       {"begin 8000", "finish 8000"}},
      {"end reaches the total",
       beginMessage(8000) + chunk(MSG_FILE_DATA, a) + chunk(MSG_FILE_END, b),
       {"begin 8000", "finish 8000"}},
      {"end leaves it short",
       beginMessage(9000) + chunk(MSG_FILE_DATA, a) + chunk(MSG_FILE_END, b),
       {"begin 9000", "abandon"}},
      {"data runs past the total without equalling it",
       beginMessage(7000) + chunk(MSG_FILE_DATA, a) + chunk(MSG_FILE_DATA, b) +
           chunk(MSG_FILE_END, Bytes(10, 0)),
       {"begin 7000", "abandon"}},
      {"a chunk over 8192 bytes",
       beginMessage(9000) + chunk(MSG_FILE_DATA, Bytes(8193, 1)) +
           chunk(MSG_FILE_END, Bytes(807, 1)),
       {"begin 9000", "abandon"}},
      {"chunks without a begin are dropped", chunk(MSG_FILE_DATA, a) + chunk(MSG_FILE_END, b), {}},
      {"an empty push installs nothing", beginMessage(0) + chunk(MSG_FILE_END, Bytes{}), {}},
      {"a read failing inside the push",
       beginMessage(8000) + chunk(MSG_FILE_DATA, a) + Bytes{0x17, 0x10, 0x10, 0, 0, 0, 1, 2},
       {"begin 8000", "abandon"}},
  };
  for (const Case& c : cases) {
    app_state::AppState state;
    RecordingSink sink;
    MemorySource source(c.stream + versionMessage(0, 0, 0, 0));
    receiveMessages(source, sink, state);
    EXPECT_EQ(sink.events, c.events) << c.name;
    if (c.events.size() == 2 && c.events[1] == "finish 8000") {
      EXPECT_EQ(sink.data, a + b) << c.name;
      EXPECT_EQ(state.receivedCount.load(), 8000u);
    }
  }
}

// A newer version publishes pending only after the pause; a pushed program already installed
// (pending with no key, then done) ends the business: a later answer changes nothing.
TEST(VersionAnswer, NewerIsPendingAfterThePauseAndAFinishedInstallIgnoresLaterAnswers) {
  const struct {
    int32_t before;
    settings_block::Version announced;
    int32_t after;
    const char* key;
    uint32_t minor;  // of the stored version
  } cases[] = {
      {app_state::UPDATE_WAITING, {1, 9, 0}, app_state::UPDATE_PENDING, "1/9.0.BIN", 9},
      {app_state::UPDATE_WAITING, {1, 5, 0}, app_state::UPDATE_NONE, "", 5},
      {app_state::UPDATE_PENDING, {1, 9, 0}, app_state::UPDATE_PENDING, "", 5},
      {app_state::UPDATE_DONE, {1, 9, 0}, app_state::UPDATE_DONE, "", 5},
  };
  for (const auto& c : cases) {
    app_state::AppState state;
    settings_block::setVersion(state.settingsBlock, {1, 5, 0});
    state.updateState = c.before;
    std::string duringPause = "no pause";
    applyVersionAnswer(state, {c.announced, 1000}, [&] {
      duringPause = std::to_string(state.updateState) + " " + state.packageKey.get();
      return true;
    });
    const std::string name =
        std::to_string(c.before) + " then 1." + std::to_string(c.announced.minor);
    EXPECT_EQ(state.updateState.load(), c.after) << name;
    EXPECT_EQ(state.packageKey.get(), c.key) << name;
    EXPECT_EQ(settings_block::version(state.settingsBlock).minor, c.minor) << name;
    EXPECT_EQ(state.statusLine.get().empty(), c.after == c.before)
        << name << ": a text only if acted on";
    EXPECT_EQ(duringPause, c.key == std::string() ? "no pause" : "1 ") << name;
  }
}

// A scripted update server: one listener on 127.0.0.1, a port of the system's choosing.
class ScriptedServer {
 public:
  explicit ScriptedServer(int receiveBuffer = 0) {
    listen_ = socket(AF_INET, SOCK_STREAM, 0);
    // Inherited by the accepted socket: a small window fills quickly once nothing is read.
    if (receiveBuffer > 0)
      setsockopt(listen_, SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof receiveBuffer);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    EXPECT_EQ(bind(listen_, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    EXPECT_EQ(listen(listen_, 4), 0);
    socklen_t length = sizeof a;
    getsockname(listen_, reinterpret_cast<sockaddr*>(&a), &length);
    port_ = ntohs(a.sin_port);
  }
  ~ScriptedServer() {
    closeClient();
    close(listen_);
  }
  uint16_t port() const { return port_; }
  bool accept(milliseconds within = seconds(10)) {
    closeClient();
    timeval tv{within.count() / 1000, (within.count() % 1000) * 1000};
    setsockopt(listen_, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    client_ = ::accept(listen_, nullptr, nullptr);
    timeval ten{10, 0};
    setsockopt(client_, SOL_SOCKET, SO_RCVTIMEO, &ten, sizeof ten);
    return client_ >= 0;
  }
  // Reads until the client closes its side (true) or nothing comes for 10 s.
  bool clientClosed() {
    uint8_t scrap[256];
    ssize_t r;
    while ((r = recv(client_, scrap, sizeof scrap, 0)) > 0) {
    }
    return r == 0;
  }
  Bytes read(size_t n) {
    Bytes b(n);
    if (recv(client_, b.data(), n, MSG_WAITALL) != ssize_t(n)) b.clear();
    return b;
  }
  void send(const Bytes& b) {
    for (uint8_t c : b) {  // byte by byte: the client must put messages together itself
      EXPECT_EQ(sendAll(client_, &c, 1), 0);
      std::this_thread::sleep_for(milliseconds(1));
    }
  }
  void closeClient() {
    if (client_ >= 0) close(client_);
    client_ = -1;
  }

 private:
  int listen_ = -1;
  int client_ = -1;
  uint16_t port_ = 0;
};

ConversationOptions quickOptions(uint16_t port, uint32_t keepAliveMs = 50) {
  return {.host = "127.0.0.1",
          .port = port,
          .retryMs = 50,
          .keepAliveMs = keepAliveMs,
          .announcePauseMs = 10,
          .reconnectFirstMs = 10,
          .reconnectLongestMs = 40};
}

// A connection that ends before a version answer is made again (after a growing pause); once an
// answer came, keep-alives go on, and a closed connection stays closed; stop() closes it.
TEST(Conversation, HelloKeepAlivesAndReconnectsUntilAnAnswerOnly) {
  const struct {
    const char* name;
    Bytes beforeTheEnd;  // what the server sends before it ends the connection
    int ends;
    bool stopAfterTheAnswer;  // else the server closes the answered connection
  } cases[] = {
      {"closed at once", {}, 3, false},
      {"a disconnect message", u16(MSG_DISCONNECT) + u16(2) + Bytes{'o', 'k'}, 2, false},
      {"answered at once, then stopped", {}, 0, true},
  };
  for (const auto& c : cases) {
    ScriptedServer server;
    app_state::AppState state;
    for (size_t i = 0; i < app_state::CLIENT_REPORT_SIZE; ++i) state.clientReport[i] = uint8_t(i);
    settings_block::setVersion(state.settingsBlock, {3, 10, 0});
    RecordingSink sink;
    UpdateConversation conversation(state, quickOptions(server.port()), sink);
    conversation.start();
    for (int i = 0; i < c.ends; ++i) {
      ASSERT_TRUE(server.accept(seconds(5))) << c.name << ", connection " << i + 1;
      EXPECT_EQ(server.read(HELLO_SIZE).size(), HELLO_SIZE) << c.name;
      server.send(c.beforeTheEnd);
      server.closeClient();
    }
    ASSERT_TRUE(server.accept(seconds(5))) << c.name << ", the answering connection";
    Bytes hello = server.read(HELLO_SIZE);
    ASSERT_EQ(hello.size(), 166u) << c.name;
    EXPECT_EQ(Bytes(hello.begin(), hello.begin() + 2), (Bytes{0x00, 0x20}));
    EXPECT_TRUE(
        std::equal(state.clientReport.begin(), state.clientReport.end(), hello.begin() + 2));
    for (int i = 0; i < 3; ++i) EXPECT_EQ(server.read(2), (Bytes{0x04, 0x10})) << c.name;
    server.send(u16(0x3000) + versionMessage(3, 11, 0, 1000));  // byte by byte
    auto pending = [&] { return state.updateState == app_state::UPDATE_PENDING; };
    ASSERT_TRUE(testsupport::waitFor(pending, seconds(10))) << c.name;
    EXPECT_EQ(state.packageKey.get(), "3/11.0.BIN");
    EXPECT_EQ(conversation.serverAddress(), "127.0.0.1");
    EXPECT_EQ(server.read(2), (Bytes{0x04, 0x10})) << c.name << ": keep-alives after the answer";
    if (c.stopAfterTheAnswer) {
      conversation.stop();
      EXPECT_TRUE(server.clientClosed()) << c.name;
      continue;
    }
    server.closeClient();
    // Many times the longest pause of these options.
    EXPECT_FALSE(server.accept(milliseconds(400))) << c.name << ": reconnected after an answer";
  }
}

// A server that stops reading fills the socket until a keep-alive blocks under the send lock;
// stop() must still end while the server holds the connection open.
TEST(Conversation, StopDoesNotWaitForASendBlockedOnAServerThatStoppedReading) {
  ScriptedServer server(2048);
  app_state::AppState state;
  RecordingSink sink;
  UpdateConversation conversation(state, quickOptions(server.port(), 0), sink);
  conversation.start();
  ASSERT_TRUE(server.accept());
  std::this_thread::sleep_for(milliseconds(500));  // keep-alives without pause fill both buffers
  auto stopped = std::async(std::launch::async, [&] { conversation.stop(); });
  bool beforeTheServerLetGo = stopped.wait_for(seconds(3)) == std::future_status::ready;
  server.closeClient();  // a blocked send fails now at the latest
  stopped.wait();
  EXPECT_TRUE(beforeTheServerLetGo);
}

}  // namespace
