// kelvora-server as a process on free loopback ports, judged from outside: by its answers, by
// curl on /metrics, by its report log, and through a real HAProxy.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <map>
#include <nlohmann/json.hpp>
#include <sstream>
#include <thread>
#include <utility>

#include "support/canned_http_server.h"
#include "support/devserver_process.h"
#include "support/kelvora_server_process.h"
#include "updater/builtin_config.h"

namespace {

namespace fs = std::filesystem;
using namespace testsupport;
using std::chrono::milliseconds;
using std::chrono::seconds;

std::string manifestText(const std::string& release, const std::string& percent) {
  return R"({"format": 1, "release": {"version": ")" + release +
         R"(", "package_bytes": 1048576, "rollout_percent": )" + percent +
         R"(}, "fallback": {"version": "3.10.0", "package_bytes": 2097152}})";
}

std::string versionOf(const std::optional<protocol::VersionAnswer>& a) {
  return a ? protocol::versionText(a->version) : "none";
}

// The answer to one hello on a new connection, which is then closed, or kept open in *open.
std::string ask(int port, uint32_t seed, int* open = nullptr) {
  int fd = connectLoopback(port);
  std::string version =
      sendBytes(fd, helloBytes(syntheticReport(seed))) ? versionOf(readAnswer(fd)) : "none";
  if (open != nullptr) *open = std::exchange(fd, -1);
  close(fd);
  return version;
}

TEST(KelvoraServer, ManifestAtStartAndOnSighup) {
  TempDir dir;
  const struct {
    const char* name;
    std::string text;  // "" : no file at all
    const char* said;
  } refused[] = {{"missing file", "", "manifest.json: No such file or directory"},
                 {"not JSON", "{", "manifest: not JSON"}};
  for (const auto& c : refused) {
    fs::remove(dir / "manifest.json");
    if (!c.text.empty()) writeFile(dir / "manifest.json", c.text);
    KelvoraServerProcess server({"--manifest", (dir / "manifest.json").string()}, dir / c.name);
    EXPECT_EQ(server.child().wait(seconds(10)), 1) << c.name;
    EXPECT_NE(server.log().find(c.said), std::string::npos) << c.name << ": " << server.log();
  }
  writeFile(dir / "manifest.json", manifestText("3.11.0", "100"));
  KelvoraServerProcess server({"--manifest", (dir / "manifest.json").string(), "--threads", "2"},
                              dir / "log");
  ASSERT_TRUE(server.ready()) << server.log();
  EXPECT_EQ(ask(server.port(), 1), "3.11.0");
  // A bad file on SIGHUP is said and counted; the running manifest stays.
  const struct {
    std::string text;
    const char* answer;
    double ok, errors;
  } reloads[] = {{manifestText("3.12.0", "250"), "3.11.0", 1, 1},
                 {manifestText("3.12.0", "100"), "3.12.0", 2, 1}};
  for (const auto& r : reloads) {
    writeFile(dir / "manifest.json", r.text);
    server.child().kill(SIGHUP);
    auto reloads = [&](const char* result) {
      return server.metric(std::string(R"(kelvora_server_manifest_reloads_total{result=")") +
                           result + "\"}");
    };
    EXPECT_TRUE(
        waitFor([&] { return reloads("ok") == r.ok && reloads("error") == r.errors; }, seconds(10)))
        << server.log();
    EXPECT_EQ(ask(server.port(), 2), r.answer);
  }
  EXPECT_EQ(
      server.metric(R"(kelvora_server_manifest_info{release="3.12.0",rollout_percent="100"})"), 1);
}

TEST(KelvoraServer, FaultsAndTimeoutsAreClosedAndCounted) {
  TempDir dir;
  writeFile(dir / "manifest.json", manifestText("3.11.0", "100"));
  KelvoraServerProcess server(
      {"--manifest", (dir / "manifest.json").string(), "--threads", "2", "--hello-timeout", "1",
       "--idle-timeout", "2", "--max-connections", "4"},
      dir / "log");
  ASSERT_TRUE(server.ready()) << server.log();
  const std::vector<uint8_t> hello = helloBytes(syntheticReport(7));
  std::vector<uint8_t> twice = hello;
  twice.insert(twice.end(), hello.begin(), hello.end());
  std::string garbage = randomString(1 << 20, 5);
  garbage[0] = 0x7F;  // no message type
  const struct {
    const char* name;
    std::vector<uint8_t> bytes;
    bool answered;
    const char* reason;
  } cases[] = {
      {"silent", {}, false, "hello_timeout"},
      {"half hello", {hello.begin(), hello.begin() + 80}, false, "hello_timeout"},
      {"keep-alives but no hello", {0x04, 0x10, 0x04, 0x10}, false, "hello_timeout"},
      {"unknown type", {0x99, 0x30}, false, "protocol"},
      {"second hello", twice, true, "protocol"},
      {"1 MiB of garbage", {garbage.begin(), garbage.end()}, false, "protocol"},
      {"silent after the answer", hello, true, "idle_timeout"},
  };
  for (const auto& c : cases) {
    const std::string counter =
        std::string(R"(kelvora_server_closed_total{reason=")") + c.reason + "\"}";
    const double before = server.metric(counter);
    int fd = connectLoopback(server.port());
    ASSERT_GE(fd, 0) << c.name;
    sendBytes(fd, c.bytes);  // the server may close before all of it is sent
    if (c.answered) {
      EXPECT_EQ(versionOf(readAnswer(fd)), "3.11.0") << c.name;
    }
    EXPECT_TRUE(closedByPeer(fd, 4000)) << c.name;
    close(fd);
    EXPECT_TRUE(waitFor([&] { return server.metric(counter) == before + 1; }, seconds(5)))
        << c.name << ": " << counter << " " << server.metric(counter);
  }
  // Keep-alives hold a connection past the idle timeout.
  int held = -1;
  EXPECT_EQ(ask(server.port(), 7, &held), "3.11.0");
  for (int i = 0; i < 4; ++i) {
    std::this_thread::sleep_for(milliseconds(800));
    ASSERT_TRUE(sendBytes(held, {0x04, 0x10}));
  }
  EXPECT_FALSE(closedByPeer(held, 0));
  // Past --max-connections a new connection is closed at once and counted.
  std::vector<int> fds = {held};
  for (int i = 0; i < 3; ++i) {
    fds.push_back(connectLoopback(server.port()));
    sendBytes(fds.back(), hello);  // answered, so the idle timeout holds them, not the hello's
  }
  EXPECT_TRUE(
      waitFor([&] { return server.metric("kelvora_server_connections") == 4; }, seconds(5)));
  int over = connectLoopback(server.port());
  EXPECT_TRUE(closedByPeer(over, 4000));
  EXPECT_EQ(server.metric(R"(kelvora_server_closed_total{reason="limit"})"), 1);
  for (int fd : fds) close(fd);
  close(over);
  // Unharmed.
  EXPECT_TRUE(
      waitFor([&] { return server.metric("kelvora_server_connections") == 0; }, seconds(5)));
  EXPECT_EQ(ask(server.port(), 8), "3.11.0");
  EXPECT_TRUE(server.child().running());
}

TEST(KelvoraServer, ReadyRolloutMetricsAndReportLog) {
  TempDir dir;
  writeFile(dir / "manifest.json", manifestText("3.11.0", "12.5"));
  // systemd's readiness protocol: a datagram "READY=1" to $NOTIFY_SOCKET once it serves.
  int notify = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  sockaddr_un at{};
  at.sun_family = AF_UNIX;
  std::snprintf(at.sun_path, sizeof at.sun_path, "%s", (dir / "notify").c_str());
  ASSERT_EQ(bind(notify, reinterpret_cast<sockaddr*>(&at), sizeof at), 0);
  setenv("NOTIFY_SOCKET", at.sun_path, 1);
  KelvoraServerProcess server({"--manifest", (dir / "manifest.json").string(), "--threads", "2",
                               "--reports", (dir / "reports.log").string()},
                              dir / "log");
  unsetenv("NOTIFY_SOCKET");
  ASSERT_TRUE(server.ready()) << server.log();
  timeval five{5, 0};
  setsockopt(notify, SOL_SOCKET, SO_RCVTIMEO, &five, sizeof five);
  char said[64] = {};
  EXPECT_GT(recv(notify, said, sizeof said - 1, 0), 0);
  EXPECT_STREQ(said, "READY=1");
  close(notify);
  const std::string base =
      "curl -s -o /dev/null -w '%{http_code} %{content_type}' http://127.0.0.1:" +
      std::to_string(server.metricsPort());
  const struct {
    std::string args, result;
  } cases[] = {{"/metrics", "200 text/plain; version=0.0.4; charset=utf-8"},
               {"/healthz", "200 text/plain"},
               {"/healthz -I", "200 text/plain"},
               {"/nowhere", "404 text/plain"},
               {"/metrics -X DELETE", "405 text/plain"}};
  for (const auto& c : cases) EXPECT_EQ(runCommand(base + c.args).output, c.result) << c.args;
  EXPECT_EQ(
      server.metric(R"(kelvora_server_manifest_info{release="3.11.0",rollout_percent="12.5"})"), 1);
  // The same report on three connections gets one answer; over many, both answers occur.
  std::map<std::string, int> answers;
  for (uint32_t seed = 0; seed < 40; ++seed) {
    const std::string first = ask(server.port(), seed);
    for (int again = 0; again < 2; ++again) EXPECT_EQ(ask(server.port(), seed), first) << seed;
    ++answers[first];
  }
  EXPECT_EQ(answers["3.11.0"] + answers["3.10.0"], 40);
  EXPECT_GT(answers["3.11.0"], 0);
  EXPECT_GT(answers["3.10.0"], answers["3.11.0"]);
  EXPECT_EQ(server.metric(R"(kelvora_server_answers_total{version="3.11.0"})"),
            3 * answers["3.11.0"]);
  // One JSON line per hello; SIGHUP reopens the file after logrotate moved it.
  auto lines = [](const fs::path& file) {
    std::vector<nlohmann::json> out;
    std::ifstream in(file);
    for (std::string line; std::getline(in, line);) out.push_back(nlohmann::json::parse(line));
    return out;
  };
  EXPECT_TRUE(waitFor([&] { return lines(dir / "reports.log").size() == 120; }, seconds(5)));
  const nlohmann::json first = lines(dir / "reports.log").at(0);
  const std::string time = first["time"], shape = "dddd-dd-ddTdd:dd:dd.dddZ";  // RFC 3339, UTC
  EXPECT_TRUE(std::ranges::equal(shape, time, [](char s, char t) {
    return s == 'd' ? std::isdigit(static_cast<unsigned char>(t)) != 0 : s == t;
  })) << time;
  EXPECT_TRUE(first["peer"].get<std::string>().starts_with("127.0.0.1:"));
  EXPECT_EQ(first["cpuVendor"], "GenuineIntel");
  EXPECT_LT(first["cohort"].get<int>(), 10000);
  fs::rename(dir / "reports.log", dir / "reports.log.1");
  server.child().kill(SIGHUP);
  EXPECT_TRUE(waitFor([&] { return fs::exists(dir / "reports.log"); }, seconds(5)));
  ask(server.port(), 99);
  EXPECT_TRUE(waitFor([&] { return lines(dir / "reports.log").size() == 1; }, seconds(5)));
  EXPECT_EQ(lines(dir / "reports.log.1").size(), 120u);
  EXPECT_EQ(lines(dir / "reports.log")[0]["cpuMhz"], 2099);
  EXPECT_EQ(server.metric("kelvora_server_reports_dropped_total"), 0);
}

// A changed object taken by the next poll is judged on the publishing road (publish_test).
TEST(KelvoraServer, FollowsAStoreObjectWithOne304PerUnchangedPoll) {
  TempDir dir;
  fs::create_directories(dir / "store" / "releases");
  writeFile(dir / "store" / "releases" / "releases.json", manifestText("3.11.0", "100"));
  DevServerProcess store(dir / "store", {"--http-port", "0", "--update-port", "0"},
                         dir / "store.log");
  ASSERT_TRUE(store.ready()) << store.log();
  const builtin_config::BuiltinConfig& c = builtin_config::builtinConfig();
  writeFile(dir / "secret", std::string(c.accessKeySecret) + "\n");
  KelvoraServerProcess server(
      {"--manifest-object", "releases/releases.json", "--endpoint",
       "127.0.0.1:" + std::to_string(store.httpPort()), "--id", c.accessKeyId, "--secret-file",
       (dir / "secret").string(), "--poll", "1"},
      dir / "log");
  ASSERT_TRUE(server.ready()) << server.log() << store.log();
  // GETs of the object as the store logged them, by status.
  auto served = [&](const char* status) {
    std::istringstream lines(store.log());
    int n = 0;
    for (std::string line; std::getline(lines, line);)
      n += line.find("GET ") != std::string::npos &&
           line.find("releases.json") != std::string::npos &&
           line.find(std::string("-> ") + status) != std::string::npos;
    return n;
  };
  EXPECT_TRUE(waitFor([&] { return served("304") >= 3; }, seconds(10))) << store.log();
  EXPECT_EQ(served("200"), 1);
  EXPECT_EQ(server.metric("kelvora_server_manifest_not_modified_total"), served("304"));
  EXPECT_EQ(ask(server.port(), 1), "3.11.0");
}

TEST(KelvoraServer, SigtermWithAThousandConnectionsExitsWithinTheGrace) {
  TempDir dir;
  writeFile(dir / "manifest.json", manifestText("3.11.0", "100"));
  KelvoraServerProcess server(
      {"--manifest", (dir / "manifest.json").string(), "--threads", "2", "--grace", "2"},
      dir / "log");
  ASSERT_TRUE(server.ready()) << server.log();
  std::vector<int> fds;
  for (uint32_t i = 0; i < 1000; ++i) {
    fds.push_back(connectLoopback(server.port()));
    ASSERT_GE(fds.back(), 0) << i;
    // Half have had their answer, half are still in their hello.
    if (i % 2 == 0) {
      ASSERT_TRUE(sendBytes(fds.back(), helloBytes(syntheticReport(i))));
    }
  }
  for (size_t i = 0; i < fds.size(); i += 2)
    ASSERT_EQ(versionOf(readAnswer(fds[i])), "3.11.0") << i;
  EXPECT_TRUE(
      waitFor([&] { return server.metric("kelvora_server_connections") == 1000; }, seconds(10)));
  server.child().kill(SIGTERM);
  // Hellos still in flight hold the stop open; meanwhile the load balancer's check fails.
  EXPECT_EQ(runCommand("curl -s -o /dev/null -w '%{http_code}' http://127.0.0.1:" +
                       std::to_string(server.metricsPort()) + "/healthz")
                .output,
            "503");
  EXPECT_EQ(server.child().wait(seconds(2)), 0) << server.log();  // within the grace
  for (int fd : fds) {
    EXPECT_TRUE(closedByPeer(fd, 1000));
    close(fd);
  }
}

// The shipped HAProxy front, its addresses moved to loopback by sed: the front port, and each
// "server replicaN ADDR ... port P" line to replicaN's update and check ports; no third replica.
std::string loopbackHaproxyConfig(int front, const int ports[2], const int checks[2]) {
  std::string sed = "sed -e 's/^ *bind .*/    bind 127.0.0.1:" + std::to_string(front) + "/'";
  for (int i = 0; i < 2; ++i)
    sed += R"( -e 's/^\( *server replica)" + std::to_string(i + 1) +
           R"(\) [^ ]*\(.* port\) [0-9]*/\1 127.0.0.1:)" + std::to_string(ports[i]) + R"(\2 )" +
           std::to_string(checks[i]) + "/'";
  sed += R"( -e '/server replica[3-9]/d' )" KELVORA_SOURCE_DIR "/packaging/haproxy.cfg";
  return runCommand(sed).output;
}

TEST(KelvoraServer, TwoReplicasBehindHAProxyAnswerEveryClientThroughAStop) {
  if (!fs::exists("/usr/sbin/haproxy")) GTEST_SKIP() << "haproxy is not installed";
  TempDir dir;
  writeFile(dir / "manifest.json", manifestText("3.11.0", "100"));
  std::vector<std::unique_ptr<KelvoraServerProcess>> replicas;
  int ports[2], checks[2];
  for (int i = 0; i < 2; ++i) {
    replicas.push_back(std::make_unique<KelvoraServerProcess>(
        std::vector<std::string>{"--manifest", (dir / "manifest.json").string(), "--threads", "2",
                                 "--grace", "2"},
        dir / ("replica" + std::to_string(i))));
    ASSERT_TRUE(replicas[i]->ready()) << replicas[i]->log();
    ports[i] = replicas[i]->port();
    checks[i] = replicas[i]->metricsPort();
  }
  // A loopback port free a moment ago: a listener's, closed.
  const int front = CannedHttpServer([](const CannedRequest&, CannedConnection&) {}).port();
  writeFile(dir / "haproxy.cfg", loopbackHaproxyConfig(front, ports, checks));
  ChildProcess haproxy({"/usr/sbin/haproxy", "-db", "-f", (dir / "haproxy.cfg").string()}, {},
                       dir / "haproxy.out", dir / "haproxy.err");
  ASSERT_TRUE(waitFor([&] { return ask(front, 0) == "3.11.0"; }, seconds(10)));
  const int clients = 200;
  std::vector<int> fds(clients);
  for (int i = 0; i < clients; ++i) ASSERT_EQ(ask(front, uint32_t(i), &fds[i]), "3.11.0") << i;
  const double onFirst = replicas[0]->metric("kelvora_server_connections");
  EXPECT_GT(onFirst, 0);
  EXPECT_LT(onFirst, clients);
  replicas[0]->child().kill(SIGTERM);
  EXPECT_EQ(replicas[0]->child().wait(seconds(3)), 0) << replicas[0]->log();
  std::this_thread::sleep_for(milliseconds(500));  // HAProxy passes the closes on
  // Clients of the stopped replica see their connection end and reconnect, as Update.exe does,
  // until answered; the others keep theirs.
  int reconnected = 0;
  for (int i = 0; i < clients; ++i) {
    if (!closedByPeer(fds[i], 0)) {
      ASSERT_TRUE(sendBytes(fds[i], {0x04, 0x10})) << i;
      continue;
    }
    close(fds[i]);
    ++reconnected;
    std::string answer = ask(front, uint32_t(i), &fds[i]);
    for (int attempt = 1; attempt < 50 && answer == "none"; ++attempt) {
      close(fds[i]);
      std::this_thread::sleep_for(milliseconds(100));
      answer = ask(front, uint32_t(i), &fds[i]);
    }
    EXPECT_EQ(answer, "3.11.0") << "client " << i;
  }
  EXPECT_EQ(reconnected, int(onFirst));
  EXPECT_TRUE(waitFor([&] { return replicas[1]->metric("kelvora_server_connections") == clients; },
                      seconds(5)));
  for (int fd : fds) close(fd);
  haproxy.kill(SIGTERM);
}

}  // namespace
