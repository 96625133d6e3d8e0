// The road of one update without a window: the worker runs headless in a child process (so each
// road starts from a fresh process, as Update.exe does, and can be killed at any moment) inside
// a temporary application directory, against kelvora-devserver on the loopback ports of the
// built-in test configuration (update server 9910, address page and storage 18080).
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <arpa/inet.h>
#include <netinet/in.h>

#include <filesystem>
#include <fstream>
#include <random>
#include <set>

#include "platform/codepage.h"
#include "support/devserver_process.h"
#include "support/test_support.h"
#include "updater/app_state.h"
#include "updater/config_cipher.h"
#include "updater/package_install.h"
#include "updater/settings_block.h"
#include "updater/startup.h"
#include "updater/update_worker.h"

namespace {

namespace fs = std::filesystem;
using namespace testsupport;
using std::chrono::milliseconds;
using std::chrono::seconds;
using Bytes = std::vector<uint8_t>;
using settings_block::Version;

Bytes program(const std::string& name, size_t size) {
  Bytes p(size);
  std::mt19937 random(std::hash<std::string>{}(name));
  for (size_t i = 0; i < size; ++i) p[i] = uint8_t(i % 251 < 128 ? i % 7 : random() & 0xFF);
  return p;
}

struct Road {
  TempDir app, work;
  Bytes oldProgram = program("old", 300000);
  Bytes newProgram = program("new", 1200000);

  void prepare(uint32_t language) {
    writeFile(app / "Kelvora.exe", oldProgram);
    writeFile(app / "prev", std::string("older program"));
    int32_t filler = 7;
    settings_block::Block block = settings_block::makeDefaultBlock(&filler, 4);
    settings_block::setVersion(block, {3, 10, 0});
    settings_block::putU32(block, settings_block::LANGUAGE, language);
    auto container = encryptContainer(block);
    ASSERT_TRUE(container.has_value());
    writeFile(app / "config.cfg", *container);
  }
  // The package object in a bucket of the store.
  void servePackage(const std::string& bucket, const Bytes& plain) {
    fs::path input = work / "new.bin";
    writeFile(input, plain);
    fs::create_directories(work / "store" / bucket / "3");
    auto r = runCommand(binPath("kelvora-pack") + " build '" + input.string() + "' '" +
                        (work / "store" / bucket / "3" / "11.0.BIN").string() + "'");
    ASSERT_EQ(r.status, 0) << r.output;
  }
  std::optional<Version> storedVersion() {
    auto plain = decryptContainer(readFile(app / "config.cfg"));
    if (!plain) return std::nullopt;
    settings_block::Block b{};
    std::copy_n(plain->begin(), std::min(plain->size(), b.size()), b.begin());
    return settings_block::version(b);
  }
  std::set<std::string> names() {
    std::set<std::string> n;
    for (const auto& e : fs::directory_iterator(app.path())) n.insert(e.path().filename());
    return n;
  }
};

// What the worker wrote to standard error; empty while it has written nothing.
std::string errorText(const fs::path& result) {
  std::ifstream in(result.string() + ".err", std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

bool sameVersion(const std::optional<Version>& v, uint32_t major, uint32_t minor, uint32_t build) {
  return v && v->major == major && v->minor == minor && v->build == build;
}

using DevServer = DevServerProcess;

bool haveDevServer() {
  return fs::exists(binPath("kelvora-devserver"));
}

// The worker in a forked child: start-up's settings step, then the whole road; the final state
// and status line go to `result`, its standard error to result.err (outside the application
// directory).
pid_t startWorker(const fs::path& app, const fs::path& result, uint32_t announcePauseMs = 1000) {
  pid_t pid = fork();
  if (pid != 0) return pid;
  if (!std::freopen((result.string() + ".err").c_str(), "w", stderr)) _exit(3);
  std::setvbuf(stderr, nullptr, _IONBF, 0);  // the child ends with _exit, which flushes nothing
  if (chdir(app.c_str()) != 0) _exit(3);
  if (!loadSettingsBlock()) _exit(4);
  update_worker::WorkerOptions options = update_worker::builtinWorkerOptions();
  options.conversation.announcePauseMs = announcePauseMs;
  package_install::PushedPackageFile push(appState());
  update_conversation::UpdateConversation conversation(appState(), options.conversation, push);
  std::atomic<bool> stop{false};
  int r = update_worker::runUpdateWorker(appState(), options, conversation, stop);
  std::ofstream out(result, std::ios::binary);
  out << appState().updateState.load() << "\n" << appState().statusLine.get();
  out.close();
  _exit(r == 0 ? 0 : 5);
}

std::optional<int> waitChild(pid_t pid, milliseconds timeout) {
  auto deadline = std::chrono::steady_clock::now() + timeout;
  int status = 0;
  while (std::chrono::steady_clock::now() < deadline) {
    if (waitpid(pid, &status, WNOHANG) == pid) return WIFEXITED(status) ? WEXITSTATUS(status) : 128;
    std::this_thread::sleep_for(milliseconds(5));
  }
  return std::nullopt;
}

void killChild(pid_t pid) {
  kill(pid, SIGKILL);
  waitpid(pid, nullptr, 0);
}

struct Outcome {
  int state = 99;
  std::string status;
};
Outcome readOutcome(const fs::path& result) {
  Outcome o;
  std::ifstream in(result, std::ios::binary);
  in >> o.state;
  in.get();
  o.status.assign(std::istreambuf_iterator<char>(in), {});
  return o;
}

class UpdateRoad : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!haveDevServer()) GTEST_SKIP() << "kelvora-devserver is not built";
  }
  // Runs one road to its end and gives the outcome.
  Outcome runRoad(Road& road) {
    pid_t pid = startWorker(road.app.path(), road.work / "result");
    auto status = waitChild(pid, seconds(40));
    if (!status) killChild(pid);
    EXPECT_EQ(status, 0);
    return readOutcome(road.work / "result");
  }
};

TEST_F(UpdateRoad, EnglishUpdateInstallsTheNewProgram) {
  Road road;
  road.prepare(9);
  road.servePackage("update-en-1", road.newProgram);
  DevServer server(road.work / "store", {"--announce", "3.11.0", "--size", "1000"},
                   road.work / "server.log");
  ASSERT_TRUE(server.ready());
  Outcome o = runRoad(road);
  EXPECT_EQ(o.state, UPDATE_DONE);
  EXPECT_EQ(o.status, "Update completed.");
  EXPECT_EQ(readFile(road.app / "Kelvora.exe"), road.newProgram);
  EXPECT_EQ(readFile(road.app / "prev"), road.oldProgram);
  EXPECT_EQ(road.names(), (std::set<std::string>{"Kelvora.exe", "prev", "config.cfg"}));
  EXPECT_TRUE(sameVersion(road.storedVersion(), 3, 11, 0));
}

TEST_F(UpdateRoad, ChineseUpdateReadsItsOwnBucket) {
  Road road;
  road.prepare(2052);
  road.servePackage("pravex-update-1", road.newProgram);
  DevServer server(road.work / "store", {"--announce", "3.11.0"}, road.work / "server.log");
  ASSERT_TRUE(server.ready());
  Outcome o = runRoad(road);
  EXPECT_EQ(o.state, UPDATE_DONE);
  EXPECT_EQ(o.status, platform::utf8ToGbk("更新已经完成！"));
  EXPECT_EQ(readFile(road.app / "Kelvora.exe"), road.newProgram);
  EXPECT_TRUE(sameVersion(road.storedVersion(), 3, 11, 0));
}

TEST_F(UpdateRoad, MissingCorruptOrBadlySignedPackageLeavesEverythingAtTheOldVersion) {
  enum Fault { kMissing, kCorrupt, kBadSignature };
  const struct {
    Fault fault;
    const char* errorLine;  // the reason on standard error
  } cases[] = {{kMissing, "not installed: missing signature object 3/11.0.BIN.minisig (HTTP 404)"},
               {kCorrupt, ""},
               {kBadSignature, "not installed: bad signature"}};
  for (const auto& c : cases) {
    Road road;
    road.prepare(9);
    if (c.fault == kBadSignature) {
      road.servePackage("update-en-1", road.newProgram);
    } else if (c.fault == kCorrupt) {
      road.servePackage("update-en-1", road.newProgram);
      fs::path object = road.work / "store" / "update-en-1" / "3" / "11.0.BIN";
      Bytes bytes = readFile(object);
      ASSERT_GT(bytes.size(), 100u);
      bytes.erase(bytes.end() - 100, bytes.end());
      writeFile(object, bytes);
    } else {
      road.servePackage("pravex-update-1", road.newProgram);  // the other region only: 404 here
    }
    std::vector<std::string> options = {"--announce", "3.11.0"};
    if (c.fault == kBadSignature) options.push_back("--damage-signatures");
    DevServer server(road.work / "store", options, road.work / "server.log");
    ASSERT_TRUE(server.ready());
    Outcome o = runRoad(road);
    EXPECT_EQ(o.state, UPDATE_PENDING) << c.fault;
    EXPECT_NE(errorText(road.work / "result").find(c.errorLine), std::string::npos) << c.fault;
    EXPECT_EQ(o.status, "File fault, please try again later.");
    EXPECT_EQ(readFile(road.app / "Kelvora.exe"), road.oldProgram);
    Bytes prev = readFile(road.app / "prev");
    EXPECT_EQ(std::string(prev.begin(), prev.end()), "older program");
    EXPECT_EQ(road.names(), (std::set<std::string>{"Kelvora.exe", "prev", "config.cfg"}));
    EXPECT_TRUE(sameVersion(road.storedVersion(), 3, 10, 0));
  }
}

// A push carries no signature: with publisher keys built in it is read, dropped and reported.
TEST_F(UpdateRoad, PushedProgramIsRefusedWithPublisherKeys) {
  Road road;
  road.prepare(9);
  writeFile(road.work / "pushed.exe", road.newProgram);
  fs::create_directories(road.work / "store");
  DevServer server(road.work / "store", {"--push", (road.work / "pushed.exe").string()},
                   road.work / "server.log");
  ASSERT_TRUE(server.ready());
  pid_t pid = startWorker(road.app.path(), road.work / "result");
  EXPECT_TRUE(waitFor(
      [&] {
        return errorText(road.work / "result").find("pushed program refused") != std::string::npos;
      },
      seconds(15)));
  EXPECT_FALSE(waitChild(pid, milliseconds(500)).has_value()) << "no update is pending";
  killChild(pid);
  EXPECT_EQ(readFile(road.app / "Kelvora.exe"), road.oldProgram);
  EXPECT_EQ(road.names(), (std::set<std::string>{"Kelvora.exe", "prev", "config.cfg"}));
}

// Needs no devserver: nothing listens on 9910, or a scripted server does.
TEST(UpdateRoadAlone, UnreachableServerKeepsTheWorkerWaitingAndWritesNothing) {
  Road road;
  road.prepare(9);
  Bytes config = readFile(road.app / "config.cfg");
  pid_t pid = startWorker(road.app.path(), road.work / "result");
  // loadSettingsBlock enciphers afresh once; the worker must not write after that.
  ASSERT_TRUE(waitFor(
      [&] {
        Bytes now = readFile(road.app / "config.cfg");
        return now != config && decryptContainer(now).has_value();
      },
      seconds(5)));
  Bytes afterStartUp = readFile(road.app / "config.cfg");
  EXPECT_FALSE(waitChild(pid, seconds(3)).has_value()) << "the worker keeps waiting";
  killChild(pid);
  EXPECT_EQ(readFile(road.app / "config.cfg"), afterStartUp);
  EXPECT_FALSE(fs::exists(road.work / "result"));
  EXPECT_EQ(readFile(road.app / "Kelvora.exe"), road.oldProgram);
}

TEST(UpdateRoadAlone, BadPushesTouchNothing) {
  int listener = socket(AF_INET, SOCK_STREAM, 0);
  int one = 1;
  setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(9910);
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr*>(&a), sizeof a), 0) << "port 9910 busy";
  ASSERT_EQ(listen(listener, 2), 0);

  Road road;
  road.prepare(9);
  pid_t pid = startWorker(road.app.path(), road.work / "result");
  timeval tv{10, 0};
  setsockopt(listener, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  int c = accept(listener, nullptr, nullptr);
  ASSERT_GE(c, 0);
  Bytes hello(166);
  ASSERT_EQ(recv(c, hello.data(), hello.size(), MSG_WAITALL), 166);
  auto msg = [](uint16_t type, uint32_t n, size_t bytes) {
    Bytes b = {uint8_t(type),   uint8_t(type >> 8), uint8_t(n),
               uint8_t(n >> 8), uint8_t(n >> 16),   uint8_t(n >> 24)};
    b.resize(b.size() + bytes, 0x5A);
    return b;
  };
  Bytes stream;
  for (Bytes part : {msg(0x1016, 100, 0), msg(0x1017, 50, 50), msg(0x1018, 20, 20),  // short
                     msg(0x1016, 100, 0), msg(0x1017, 9000, 9000),                   // chunk > 8192
                     msg(0x1018, 100, 100), msg(0x1016, 100, 0), msg(0x1017, 60, 60),
                     msg(0x1018, 60, 60)})  // overlong
    stream.insert(stream.end(), part.begin(), part.end());
  ASSERT_EQ(send(c, stream.data(), stream.size(), MSG_NOSIGNAL), ssize_t(stream.size()));
  EXPECT_FALSE(waitChild(pid, seconds(2)).has_value()) << "still waiting for an answer";
  killChild(pid);
  close(c);
  close(listener);
  EXPECT_EQ(readFile(road.app / "Kelvora.exe"), road.oldProgram);
  Bytes prev = readFile(road.app / "prev");
  EXPECT_EQ(std::string(prev.begin(), prev.end()), "older program");
  EXPECT_EQ(road.names(), (std::set<std::string>{"Kelvora.exe", "prev", "config.cfg"}));
  EXPECT_TRUE(sameVersion(road.storedVersion(), 3, 10, 0));
}

TEST_F(UpdateRoad, KilledAtAnyMomentLeavesAWholeProgramAndAReadableSettingsFile) {
  Road road;
  road.newProgram = program("new", 6 << 20);
  road.servePackage("update-en-1", road.newProgram);
  DevServer server(road.work / "store", {"--announce", "3.11.0"}, road.work / "server.log");
  ASSERT_TRUE(server.ready());
  // Start-up has re-enciphered the settings file once it decrypts again with a new key; the
  // worker's part of the road (conversation, download, install, write-back) follows.
  auto startUpDone = [&](const Bytes& before) {
    return waitFor(
        [&] {
          Bytes now = readFile(road.app / "config.cfg");
          return now != before && decryptContainer(now).has_value();
        },
        seconds(10));
  };
  // One undisturbed road, without the announcement pause, measures the span to sample.
  road.prepare(9);
  Bytes before = readFile(road.app / "config.cfg");
  pid_t pid = startWorker(road.app.path(), road.work / "result", 0);
  ASSERT_TRUE(startUpDone(before));
  auto start = std::chrono::steady_clock::now();
  ASSERT_EQ(waitChild(pid, seconds(40)), 0);
  auto span = std::chrono::duration_cast<std::chrono::microseconds>(
      std::chrono::steady_clock::now() - start);
  ASSERT_EQ(readFile(road.app / "Kelvora.exe"), road.newProgram);

  std::mt19937 random(20261207);
  std::uniform_int_distribution<int64_t> moment(0, span.count());
  int oldSeen = 0, newSeen = 0;
  for (int i = 0; i < 30; ++i) {
    road.prepare(9);
    before = readFile(road.app / "config.cfg");
    pid = startWorker(road.app.path(), road.work / "result", 0);
    ASSERT_TRUE(startUpDone(before));
    std::this_thread::sleep_for(std::chrono::microseconds(moment(random)));
    killChild(pid);
    Bytes now = readFile(road.app / "Kelvora.exe");
    bool isOld = now == road.oldProgram, isNew = now == road.newProgram;
    ASSERT_TRUE(isOld || isNew) << "kill " << i << ": Kelvora.exe is " << now.size() << " bytes";
    oldSeen += isOld;
    newSeen += isNew;
    auto stored = road.storedVersion();
    ASSERT_TRUE(stored.has_value()) << "kill " << i << ": config.cfg does not decrypt";
    if (sameVersion(stored, 3, 11, 0)) {
      EXPECT_TRUE(isNew) << "version advanced without install";
    }
    for (const auto& e : fs::directory_iterator(road.app.path())) {
      std::string n = e.path().filename();
      if (n.ends_with(".BIN") || n.ends_with(".new")) fs::remove(e.path());
    }
  }
  std::cout << "kills that left the old program: " << oldSeen << ", the new: " << newSeen << "\n";
}

}  // namespace
