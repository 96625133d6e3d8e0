// The update conversation: version arithmetic, the server's messages from memory, and the three
// threads against a scripted server on a loopback port chosen at run time.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <vector>

#include "platform/codepage.h"
#include "support/test_support.h"
#include "updater/settings_file.h"
#include "updater/package_unpack.h"
#include "updater/update_conversation.h"
#include "updater/update_texts.h"
#include "updater/update_worker.h"

namespace {

using namespace update_conversation;
using settings_block::Version;
using std::chrono::milliseconds;
using std::chrono::seconds;
using Bytes = std::vector<uint8_t>;

void putU16(Bytes& b, uint16_t v) {
  b.push_back(uint8_t(v));
  b.push_back(uint8_t(v >> 8));
}
void putU32(Bytes& b, uint32_t v) {
  for (int i = 0; i < 4; ++i) b.push_back(uint8_t(v >> (8 * i)));
}
Bytes versionMessage(uint32_t major, uint32_t minor, uint32_t build, uint32_t size) {
  Bytes b;
  putU16(b, MSG_VERSION);
  putU32(b, major);
  putU32(b, minor);
  putU32(b, build);
  putU32(b, size);
  return b;
}
Bytes chunkMessage(uint16_t type, const Bytes& data, uint32_t announced = UINT32_MAX) {
  Bytes b;
  putU16(b, type);
  putU32(b, announced == UINT32_MAX ? uint32_t(data.size()) : announced);
  b.insert(b.end(), data.begin(), data.end());
  return b;
}
Bytes beginMessage(uint32_t total) {
  Bytes b;
  putU16(b, MSG_FILE_BEGIN);
  putU32(b, total);
  return b;
}
Bytes operator+(Bytes a, const Bytes& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
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

TEST(VersionRule, WeightsSpillIntoTheNextPlace) {
  EXPECT_EQ(versionWeight({3, 10, 250}), 310250);
  EXPECT_EQ(versionWeight({2, 0, 0}), versionWeight({1, 100, 0}));
  EXPECT_EQ(versionWeight({1, 3, 0}), versionWeight({1, 2, 1000}));
  EXPECT_FALSE(isNewerVersion({1, 2, 3}, {1, 2, 3})) << "equal is not newer";
  EXPECT_TRUE(isNewerVersion({1, 3, 0}, {1, 2, 3}));
  EXPECT_FALSE(isNewerVersion({1, 100, 0}, {2, 0, 0}));
  EXPECT_TRUE(isNewerVersion({0, 0, 1}, {0, 0, 0}));
  // Signed 32-bit: a weight past 2^31 wraps negative and is older than anything positive.
  EXPECT_LT(versionWeight({21475, 0, 0}), 0);
  EXPECT_FALSE(isNewerVersion({21475, 0, 0}, {0, 0, 1}));
}

TEST(VersionRule, ExpectedSizeKeyAndFileName) {
  EXPECT_EQ(expectedSizeFromAnswer(1000), 1048576.0f);
  EXPECT_EQ(expectedSizeFromAnswer(0), 0.0f);
  EXPECT_EQ(packageKeyFor({3, 11, 0}), "3/11.0.BIN");
  EXPECT_EQ(packageFileNameFor({3, 11, 0}), "3.11.0.BIN");
  EXPECT_EQ(packageKeyFor({4294967295u, 0, 7}), "4294967295/0.7.BIN");
}

TEST(Messages, HelloAndKeepAliveBytes) {
  client_report::Report report{};
  for (size_t i = 0; i < report.size(); ++i) report[i] = uint8_t(i * 7);
  auto hello = helloMessage(report);
  ASSERT_EQ(hello.size(), 166u);
  EXPECT_EQ(hello[0], 0x00);
  EXPECT_EQ(hello[1], 0x20);
  EXPECT_TRUE(std::equal(report.begin(), report.end(), hello.begin() + 2));
  EXPECT_EQ(keepAliveMessage(), (std::array<uint8_t, 2>{0x04, 0x10}));
}

TEST(Messages, VersionAnswerFromItsEighteenBytes) {
  AppState state;
  RecordingSink sink;
  MemorySource source({0x01, 0x20, 0x03, 0, 0, 0, 0x0B, 0, 0, 0, 0, 0, 0, 0, 0xE8, 0x03, 0, 0});
  ReceiveOutcome outcome = receiveMessages(source, sink, state);
  ASSERT_EQ(outcome.end, ReceiveEnd::VersionAnswered);
  EXPECT_EQ(outcome.answer.version.major, 3u);
  EXPECT_EQ(outcome.answer.version.minor, 11u);
  EXPECT_EQ(outcome.answer.version.build, 0u);
  EXPECT_EQ(outcome.answer.size, 1000u);
}

TEST(Messages, UnknownTypesAreTwoBytesEachAndDisconnectIsRead) {
  AppState state;
  RecordingSink sink;
  Bytes stream;
  putU16(stream, 0x3000);
  putU16(stream, 0x1004);  // a client type coming back is unknown here too
  stream = stream + versionMessage(1, 2, 3, 4) + Bytes{0xAA};
  MemorySource source(stream);
  ReceiveOutcome outcome = receiveMessages(source, sink, state);
  ASSERT_EQ(outcome.end, ReceiveEnd::VersionAnswered);
  EXPECT_EQ(outcome.answer.version.build, 3u);
  EXPECT_EQ(source.left(), 1u) << "nothing read past the answer";

  Bytes bye;
  putU16(bye, MSG_DISCONNECT);
  putU16(bye, 3);
  bye = bye + Bytes{'b', 'y', 'e'} + versionMessage(9, 9, 9, 9);
  MemorySource disconnect(bye);
  EXPECT_EQ(receiveMessages(disconnect, sink, state).end, ReceiveEnd::Disconnected);
  EXPECT_EQ(disconnect.left(), 18u);

  MemorySource cut(Bytes{0x01, 0x20, 0x03, 0x00});
  EXPECT_EQ(receiveMessages(cut, sink, state).end, ReceiveEnd::ReadFailed);
}

TEST(Messages, PushFinishesOnlyAtExactlyTheTotal) {
  Bytes a(5000, 0x11), b(3000, 0x22);
  struct Case {
    const char* name;
    Bytes stream;
    std::vector<std::string> events;
  };
  std::vector<Case> cases = {
      {"data reaches the total",
       beginMessage(8000) + chunkMessage(MSG_FILE_DATA, a) + chunkMessage(MSG_FILE_DATA, b),
       {"begin 8000", "finish 8000"}},
      {"end reaches the total",
       beginMessage(8000) + chunkMessage(MSG_FILE_DATA, a) + chunkMessage(MSG_FILE_END, b),
       {"begin 8000", "finish 8000"}},
      {"end leaves it short",
       beginMessage(9000) + chunkMessage(MSG_FILE_DATA, a) + chunkMessage(MSG_FILE_END, b),
       {"begin 9000", "abandon"}},
      {"data runs past the total without equalling it",
       beginMessage(7000) + chunkMessage(MSG_FILE_DATA, a) + chunkMessage(MSG_FILE_DATA, b) +
           chunkMessage(MSG_FILE_END, Bytes(10, 0)),
       {"begin 7000", "abandon"}},
      {"a chunk over 8192 bytes",
       beginMessage(9000) + chunkMessage(MSG_FILE_DATA, Bytes(8193, 1)) +
           chunkMessage(MSG_FILE_END, Bytes(807, 1)),
       {"begin 9000", "abandon"}},
      {"chunks without a begin are dropped",
       chunkMessage(MSG_FILE_DATA, a) + chunkMessage(MSG_FILE_END, b),
       {}},
      {"an empty push installs nothing", beginMessage(0) + chunkMessage(MSG_FILE_END, Bytes{}), {}},
      {"a read failing inside the push",
       beginMessage(8000) + chunkMessage(MSG_FILE_DATA, a) + Bytes{0x17, 0x10, 0x10, 0, 0, 0, 1, 2},
       {"begin 8000", "abandon"}},
  };
  for (Case& c : cases) {
    AppState state;
    RecordingSink sink;
    MemorySource source(c.stream + versionMessage(0, 0, 0, 0));
    receiveMessages(source, sink, state);
    EXPECT_EQ(sink.events, c.events) << c.name;
    if (!c.events.empty() && c.events.back() == "finish 8000") {
      EXPECT_EQ(sink.data, a + b) << c.name;
      EXPECT_EQ(state.receivedCount.load(), 8000u);
      EXPECT_EQ(state.packageSize.load(), 8000u);
    }
  }
  // A chunk over the limit is consumed whole: the message behind it is read from its start.
  AppState state;
  RecordingSink sink;
  MemorySource source(chunkMessage(MSG_FILE_DATA, Bytes(20000, 0x20)) + versionMessage(5, 6, 7, 8));
  ReceiveOutcome outcome = receiveMessages(source, sink, state);
  ASSERT_EQ(outcome.end, ReceiveEnd::VersionAnswered);
  EXPECT_EQ(outcome.answer.version.minor, 6u);
}

TEST(Messages, SendAllAndRecvAllMoveExactCountsAndFailOnAClosedPeer) {
  int pair[2];
  ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, pair), 0);
  Bytes data(100003);
  for (size_t i = 0; i < data.size(); ++i) data[i] = uint8_t(i * 13);
  Bytes got(data.size());
  std::thread reader([&] { EXPECT_EQ(recvAll(pair[1], got.data(), got.size()), 0); });
  EXPECT_EQ(sendAll(pair[0], data.data(), data.size()), 0);
  reader.join();
  EXPECT_EQ(got, data);
  // Three bytes arrive, then the peer goes: asking for four fails.
  EXPECT_EQ(sendAll(pair[0], data.data(), 3), 0);
  close(pair[0]);
  EXPECT_EQ(recvAll(pair[1], got.data(), 4), -1);
  // Sending to a peer that is gone fails instead of raising SIGPIPE.
  EXPECT_EQ(sendAll(pair[1], data.data(), 10), -1);
  close(pair[1]);
}

std::string gbk(const char* utf8) {
  return platform::utf8ToGbk(utf8);
}

TEST(StatusTexts, BothLanguagesByteForByte) {
  using namespace update_texts;
  EXPECT_EQ(foundNewVersion(false, {3, 11, 0}), "Found a new version 3.11.0, downloading...\n\n");
  EXPECT_EQ(foundNewVersion(true, {3, 11, 0}), gbk("探测到新版本 3.11.0, 正在更新...\n\n"));
  EXPECT_EQ(noNewVersion(false, {1, 2, 3}), "No new version.");
  EXPECT_EQ(noNewVersion(true, {1, 2, 3}), gbk("没有新版本, 当前为 1.2.3\n\n"));
  EXPECT_STREQ(fileFault(false), "File fault, please try again later.");
  EXPECT_EQ(std::string(fileFault(true)), gbk("更新文件存在故障, 请稍后再试。"));
  EXPECT_STREQ(updateCompleted(false), "Update completed.");
  EXPECT_EQ(std::string(updateCompleted(true)), gbk("更新已经完成！"));
  // Spot-check the GBK bytes themselves: U+65B0 (xin, "new") is B8 FC in GBK.
  std::string found = foundNewVersion(true, {1, 0, 0});
  EXPECT_NE(found.find("\xB8\xFC"), std::string::npos);
  // The longest text with the widest numbers still fits the status line whole.
  std::string widest = foundNewVersion(true, {4294967295u, 4294967295u, 4294967295u});
  EXPECT_LT(widest.size(), STATUS_LINE_SIZE);
  EXPECT_EQ(widest.substr(widest.size() - 2), "\n\n");
}

TEST(VersionAnswer, NewerSetsKeyVersionAndPendingAfterThePause) {
  AppState state;
  settings_block::setVersion(state.settingsBlock, {1, 2, 3});
  settings_block::putU32(state.settingsBlock, settings_block::LANGUAGE, 9);
  int32_t stateDuringPause = 99;
  std::string keyDuringPause = "unset";
  applyVersionAnswer(state, {{1, 3, 0}, 1000}, [&] {
    stateDuringPause = state.updateState;
    keyDuringPause = state.packageKey.get();
    return true;
  });
  EXPECT_EQ(stateDuringPause, UPDATE_WAITING) << "published only after the pause";
  EXPECT_EQ(keyDuringPause, "");
  EXPECT_EQ(state.updateState.load(), UPDATE_PENDING);
  EXPECT_EQ(state.packageKey.get(), "1/3.0.BIN");
  EXPECT_EQ(settings_block::version(state.settingsBlock).minor, 3u);
  EXPECT_EQ(state.statusLine.get(), "Found a new version 1.3.0, downloading...\n\n");
  EXPECT_EQ(state.expectedPackageSize.load(), 1048576.0f);

  AppState same;
  settings_block::setVersion(same.settingsBlock, {1, 2, 3});
  applyVersionAnswer(same, {{1, 2, 3}, 5}, [] { return true; });
  EXPECT_EQ(same.updateState.load(), UPDATE_NONE);
  EXPECT_EQ(same.statusLine.get(), "No new version.");
  EXPECT_EQ(settings_block::version(same.settingsBlock).build, 3u);

  AppState chinese;
  settings_block::setVersion(chinese.settingsBlock, {3, 10, 250});
  settings_block::putU32(chinese.settingsBlock, settings_block::LANGUAGE, 2052);
  applyVersionAnswer(chinese, {{3, 10, 0}, 5}, [] { return true; });
  EXPECT_EQ(chinese.statusLine.get(), gbk("没有新版本, 当前为 3.10.250\n\n"));

  AppState stopped;
  applyVersionAnswer(stopped, {{1, 0, 0}, 5}, [] { return false; });
  EXPECT_EQ(stopped.updateState.load(), UPDATE_WAITING)
      << "a stop during the pause publishes nothing";
}

// A scripted update server: one listener on 127.0.0.1, a port of the system's choosing.
class ScriptedServer {
 public:
  ScriptedServer() {
    listen_ = socket(AF_INET, SOCK_STREAM, 0);
    int one = 1;
    setsockopt(listen_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
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
    if (client_ >= 0) close(client_);
    close(listen_);
  }
  uint16_t port() const { return port_; }
  bool accept() {
    timeval tv{10, 0};
    setsockopt(listen_, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    client_ = ::accept(listen_, nullptr, nullptr);
    setsockopt(client_, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    return client_ >= 0;
  }
  Bytes read(size_t n) {
    Bytes b(n);
    if (recvAll(client_, b.data(), n) != 0) b.clear();
    return b;
  }
  // 0 when the client closed its side.
  ssize_t readSome() {
    uint8_t b[64];
    return recv(client_, b, sizeof b, 0);
  }
  void send(const Bytes& b, bool byteByByte = false) {
    if (!byteByByte) {
      EXPECT_EQ(sendAll(client_, b.data(), b.size()), 0);
      return;
    }
    for (uint8_t c : b) {
      EXPECT_EQ(sendAll(client_, &c, 1), 0);
      std::this_thread::sleep_for(milliseconds(1));
    }
  }

 private:
  int listen_ = -1;
  int client_ = -1;
  uint16_t port_ = 0;
};

class NoPush : public RecordingSink {};

ConversationOptions quickOptions(uint16_t port) {
  ConversationOptions o;
  o.host = "127.0.0.1";
  o.port = port;
  o.retryMs = 50;
  o.keepAliveMs = 50;
  o.announcePauseMs = 10;
  return o;
}

TEST(Conversation, HelloKeepAlivesAndAnAnswerDeliveredByteByByte) {
  ScriptedServer server;
  AppState state;
  for (size_t i = 0; i < CLIENT_REPORT_SIZE; ++i) state.clientReport[i] = uint8_t(i);
  settings_block::setVersion(state.settingsBlock, {3, 10, 0});
  NoPush sink;
  UpdateConversation conversation(state, quickOptions(server.port()), sink);
  conversation.start();
  ASSERT_TRUE(server.accept());
  Bytes hello = server.read(HELLO_SIZE);
  ASSERT_EQ(hello.size(), 166u);
  EXPECT_EQ(hello[0], 0x00);
  EXPECT_EQ(hello[1], 0x20);
  EXPECT_TRUE(std::equal(state.clientReport.begin(), state.clientReport.end(), hello.begin() + 2));
  // Keep-alives only, two bytes each, never interleaved into the hello.
  for (int i = 0; i < 3; ++i) EXPECT_EQ(server.read(2), (Bytes{0x04, 0x10}));
  Bytes noise;
  putU16(noise, 0x3000);
  server.send(noise + versionMessage(3, 11, 0, 1000), true);
  ASSERT_TRUE(
      testsupport::waitFor([&] { return state.updateState == UPDATE_PENDING; }, seconds(10)));
  EXPECT_EQ(state.packageKey.get(), "3/11.0.BIN");
  EXPECT_EQ(settings_block::version(state.settingsBlock).minor, 11u);
  EXPECT_EQ(conversation.serverAddress(), "127.0.0.1");
  // The keep-alives go on after the answer.
  EXPECT_EQ(server.read(2), (Bytes{0x04, 0x10}));
  conversation.stop();
  EXPECT_FALSE(conversation.connected());
}

TEST(Conversation, DisconnectClosesTheConnection) {
  ScriptedServer server;
  AppState state;
  NoPush sink;
  UpdateConversation conversation(state, quickOptions(server.port()), sink);
  conversation.start();
  ASSERT_TRUE(server.accept());
  ASSERT_EQ(server.read(HELLO_SIZE).size(), HELLO_SIZE);
  Bytes bye;
  putU16(bye, MSG_DISCONNECT);
  putU16(bye, 2);
  bye = bye + Bytes{'o', 'k'};
  server.send(bye);
  // The client shuts its side: reading ends with 0 once the keep-alives stop.
  bool closed = false;
  for (int i = 0; i < 200 && !closed; ++i) closed = server.readSome() == 0;
  EXPECT_TRUE(closed);
  EXPECT_TRUE(testsupport::waitFor([&] { return !conversation.connected(); }, seconds(5)));
  EXPECT_EQ(state.updateState.load(), UPDATE_WAITING);
}

TEST(Conversation, UnreachableServerIsRetriedUntilStopped) {
  uint16_t port;
  {
    ScriptedServer closedAgain;  // a port that was free a moment ago and is closed now
    port = closedAgain.port();
  }
  AppState state;
  NoPush sink;
  UpdateConversation conversation(state, quickOptions(port), sink);
  conversation.start();
  std::this_thread::sleep_for(milliseconds(300));
  EXPECT_FALSE(conversation.connected());
  auto before = std::chrono::steady_clock::now();
  conversation.stop();
  EXPECT_LT(std::chrono::steady_clock::now() - before, seconds(2)) << "a stop ends the retries";
  EXPECT_EQ(state.updateState.load(), UPDATE_WAITING);
}

// The worker on the test thread: scripted server, in-memory fetch, files in a temporary
// application directory.
class WorkerRoad : public ::testing::Test {
 protected:
  void SetUp() override {
    settings_block::setVersion(state.settingsBlock, {3, 10, 0});
    settings_block::putU32(state.settingsBlock, settings_block::LANGUAGE, 9);
    testsupport::writeFile(app / "Kelvora.exe", std::string("old program"));
    options.conversation = quickOptions(server.port());
    options.addressPageUrl = "http://127.0.0.1:1/";  // nothing listens: "0.0.0.0" is reported
    options.startStorage = false;
    options.waitStepMs = 20;
  }
  Version storedVersion() {
    auto plain = settings_file::decryptContainer(testsupport::readFile(app / "config.cfg"));
    EXPECT_TRUE(plain.has_value());
    settings_block::Block b{};
    if (plain) std::copy_n(plain->begin(), std::min(plain->size(), b.size()), b.begin());
    return settings_block::version(b);
  }
  int run() {
    NoPush sink;
    UpdateConversation conversation(state, options.conversation, sink);
    std::atomic<bool> stop{false};
    std::thread answer([&] {
      if (!server.accept()) return;
      server.read(HELLO_SIZE);
      server.send(versionMessage(3, 11, 0, 1));
    });
    int result = update_worker::runUpdateWorker(state, options, conversation, stop);
    answer.join();
    conversation.stop();
    return result;
  }

  testsupport::TempDir app;
  testsupport::ScopedCurrentDir inApp{app.path()};
  ScriptedServer server;
  AppState state;
  update_worker::WorkerOptions options;
};

TEST_F(WorkerRoad, InstalledPackageAdvancesTheStoredVersion) {
  Bytes program(100000);
  for (size_t i = 0; i < program.size(); ++i) program[i] = uint8_t(i * 31 / 7);
  Bytes package = kelvora::packPackage(program);
  std::string askedKey, askedBucket;
  options.fetch = [&](const package_download::StorageTarget& target, const std::string& key) {
    askedKey = key;
    askedBucket = target.bucket;
    return package_download::FetchedObject{
        200, {std::span<const uint8_t>(package.data(), package.size())}, nullptr};
  };
  EXPECT_EQ(run(), 0);
  EXPECT_EQ(askedKey, "3/11.0.BIN");
  EXPECT_EQ(askedBucket, "update-en-1");
  EXPECT_EQ(client_report::publicAddress(state.clientReport), "0.0.0.0");
  EXPECT_EQ(testsupport::readFile(app / "Kelvora.exe"), program);
  EXPECT_EQ(state.updateState.load(), UPDATE_DONE);
  EXPECT_EQ(state.statusLine.get(), "Update completed.");
  EXPECT_EQ(storedVersion().minor, 11u);
}

TEST_F(WorkerRoad, FailedFetchKeepsTheVersionFromBeforeTheAnnouncement) {
  options.fetch = [](const package_download::StorageTarget&, const std::string&) {
    return package_download::FetchedObject{404, {}, nullptr};
  };
  EXPECT_EQ(run(), 0);
  EXPECT_EQ(state.updateState.load(), UPDATE_PENDING);
  EXPECT_EQ(state.statusLine.get(), "File fault, please try again later.");
  Version stored = storedVersion();
  EXPECT_EQ(stored.major, 3u);
  EXPECT_EQ(stored.minor, 10u);
  Bytes kept = testsupport::readFile(app / "Kelvora.exe");
  EXPECT_EQ(std::string(kept.begin(), kept.end()), "old program");
}

}  // namespace
