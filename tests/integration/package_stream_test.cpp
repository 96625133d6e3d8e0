// The streamed download across two runs: what a run that ends early keeps, and what the next run
// makes of it. The worker runs headless in a forked child inside a temporary application
// directory, against kelvora-devserver on the loopback ports of the test configuration; the
// server's request log says whether the second run resumed (206) or started over (200).
#include <gtest/gtest.h>
#include <sched.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <set>
#include <sstream>

#include "support/devserver_process.h"
#include "support/update_road.h"
#include "updater/package_install.h"
#include "updater/settings_block.h"

namespace {

namespace fs = std::filesystem;
using namespace testsupport;
using std::chrono::seconds;

struct App : RoadDir {
  const Bytes prev = {'o', 'l', 'd', 'e', 'r'};
  fs::path object = store() / "update-en-1/3/11.0.BIN";
  App() {
    prepare(9, prev);
    serve(newProgram);
  }
  void serve(const Bytes& plain) { servePackage("update-en-1", plain); }
};

const std::set<std::string> kInstalledNames{"Kelvora.exe", "prev", "config.cfg"};
const std::set<std::string> kKeptNames{"Kelvora.exe", "prev", "config.cfg", "3.11.0.BIN",
                                       "3.11.0.BIN.etag"};

// One run; with killAt, it is killed once the package file holds that many bytes.
std::string runOnce(App& app, const std::vector<std::string>& serverOptions,
                    std::string* serverLog = nullptr, uintmax_t killAt = 0) {
  std::vector<std::string> args{"--announce", "3.11.0"};
  args.insert(args.end(), serverOptions.begin(), serverOptions.end());
  DevServerProcess server(app.store(), args, app.work / "server.log");
  EXPECT_TRUE(server.ready());
  fs::remove(app.work / "result");
  pid_t pid = startWorker(app.app.path(), app.work / "result");
  if (killAt > 0) {
    std::error_code e;
    EXPECT_TRUE(waitFor([&] { return fs::file_size(app.app / "3.11.0.BIN", e) >= killAt && !e; },
                        seconds(20)));
    kill(pid, SIGKILL);
  }
  int status = finishChild(pid, seconds(40));
  EXPECT_EQ(killAt > 0 ? 0 : status, 0);
  if (serverLog) *serverLog = server.log();
  return fileText(app.work / "result");
}

// The statuses of the package GETs in a server log, in order.
std::string packageStatuses(const std::string& log) {
  std::string statuses;
  std::istringstream lines(log);
  for (std::string line; std::getline(lines, line);) {
    size_t arrow = line.find(" -> ");
    if (line.find("GET /3/11.0.BIN ") == std::string::npos || arrow == std::string::npos) continue;
    statuses += (statuses.empty() ? "" : " ") + line.substr(arrow + 4, 3);
  }
  return statuses;
}

class PackageStream : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!fs::exists(binPath("kelvora-devserver"))) GTEST_SKIP() << "kelvora-devserver not built";
  }
};

TEST_F(PackageStream, SecondRunAfterAnEarlyEnd) {
  const struct {
    const char* what;
    bool kill;  // else the server cuts the body short
    const char* secondStatuses;
    bool replaceObject;  // between the runs, with a new ETag
  } cases[] = {
      {"killed mid-download, resumed", true, "206", false},
      {"body cut short, resumed", false, "206", false},
      {"object replaced, new ETag", false, "200", true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    App app;
    const uintmax_t size = fs::file_size(app.object);
    std::string log;
    std::string first = c.kill ? runOnce(app, {"--throttle", "1000000"}, nullptr, size / 3)
                               : runOnce(app, {"--cut-short", std::to_string(size / 2)}, &log);
    if (!c.kill) {
      EXPECT_EQ(first, "2 File fault, please try again later.") << "a cut body is never installed";
      EXPECT_EQ(packageStatuses(log), "200");
    }
    EXPECT_TRUE(readFile(app.app / "Kelvora.exe") == app.oldProgram);
    std::set<std::string> names = app.names();
    if (c.kill) names.erase(package_install::UNPACK_TEMP_FILE);  // start-up's to remove
    ASSERT_EQ(names, kKeptNames);
    const Bytes kept = readFile(app.app / "3.11.0.BIN"), whole = readFile(app.object);
    ASSERT_GE(kept.size(), c.kill ? size / 3 : size / 2);
    EXPECT_TRUE(std::equal(kept.begin(), kept.end(), whole.begin())) << "a prefix of the object";

    const Bytes replacement = testProgram(3, 900000);
    if (c.replaceObject) app.serve(replacement);
    // Left-overs of other runs: another version's kept part and an unfinished push.
    writeFile(app.app / "3.9.0.BIN", kept);
    writeFile(app.app / "3.9.0.BIN.etag", std::string("\"x\""));
    writeFile(app.app / "3.10.0.BIN", kept);

    EXPECT_EQ(runOnce(app, {}, &log), "-1 Update completed.");
    EXPECT_EQ(packageStatuses(log), c.secondStatuses);
    EXPECT_TRUE(readFile(app.app / "Kelvora.exe") ==
                (c.replaceObject ? replacement : app.newProgram));
    EXPECT_TRUE(readFile(app.app / "prev") == app.oldProgram);
    std::set<std::string> installed = kInstalledNames;
    installed.insert("Kelvora.exe.minisig");  // the installed release's signature
    EXPECT_EQ(app.names(), installed);
  }
}

// The whole road on a small file system that fills up mid-download: the partial package goes,
// and the program, prev and the stored version stay as they were.
TEST_F(PackageStream, FullDiskDeletesThePartialPackageAndTouchesNothingElse) {
  App app;
  DevServerProcess server(app.store(), {"--announce", "3.11.0"}, app.work / "server.log");
  ASSERT_TRUE(server.ready());
  const fs::path small = app.work / "small", after = app.work / "after";
  fs::create_directories(small);
  pid_t pid = fork();
  if (pid == 0) {
    // A mount of our own, seen by this child only: the files are copied out at the end.
    if (unshare(CLONE_NEWNS) != 0 || mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) ||
        mount("tmpfs", small.c_str(), "tmpfs", 0, "size=1200k") != 0)
      _exit(77);
    for (const auto& e : fs::directory_iterator(app.app.path())) fs::copy(e.path(), small);
    pid_t worker = fork();
    if (worker == 0) {
      if (chdir(small.c_str()) != 0) _exit(3);
      runWorkerHere(app.work / "result", 0);
    }
    int status = finishChild(worker, seconds(40));
    fs::copy(small, after);
    _exit(status);
  }
  int status = finishChild(pid, seconds(60));
  if (status == 77) GTEST_SKIP() << "no tmpfs can be mounted here";
  ASSERT_EQ(status, 0);
  EXPECT_EQ(fileText(app.work / "result"), "2 File fault, please try again later.");
  std::set<std::string> names;
  for (const auto& e : fs::directory_iterator(after)) names.insert(e.path().filename());
  EXPECT_EQ(names, kInstalledNames);
  EXPECT_TRUE(readFile(after / "Kelvora.exe") == app.oldProgram);
  EXPECT_TRUE(readFile(after / "prev") == app.prev);
  EXPECT_EQ(storedVersion(after), (settings_block::Version{3, 10, 0}));
}

}  // namespace
