// The road of one update without a window: the worker headless in a child process inside a
// temporary application directory, against kelvora-devserver on the built-in loopback ports.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <random>
#include <set>
#include <sstream>

#include "support/devserver_process.h"
#include "support/update_road.h"
#include "updater/app_state.h"
#include "updater/package_install.h"
#include "updater/package_unpack.h"
#include "updater/settings_file.h"
#include "updater/startup.h"

namespace {

namespace fs = std::filesystem;
using namespace testsupport;
using std::chrono::seconds;
using Names = std::set<std::string>;

struct Road : RoadDir {
  Bytes olderProgram = testProgram(3, 1000);
  void prepare(uint32_t language) { RoadDir::prepare(language, olderProgram); }
  void servePackage(const std::string& bucket) { RoadDir::servePackage(bucket, newProgram); }
  // Start-up has re-enciphered the settings file once it decrypts again with a new key.
  bool startUpDone(const Bytes& before) {
    return waitFor(
        [&] {
          Bytes now = readFile(app / "config.cfg");
          return now != before && settings_file::decryptContainer(now).has_value();
        },
        seconds(10));
  }
  // What the worker wrote to standard error; empty while it has written nothing.
  std::string errors() const { return fileText(work / "result.err"); }
};

TEST(UpdateRoad, EachServerAnswerEndsInItsOwnState) {
  enum Serve { Package, OtherRegion, BadSignature };
  struct Case {
    const char* name;
    Serve serve;
    bool installs;
    std::string status;
    int storedMinor;
    const char* errorLine;  // the reason on standard error, or none
  };
  const std::string fault = "File fault, please try again later.";
  const Case cases[] = {
      {"installed", Package, true, "Update completed.", 11, nullptr},
      {"404", OtherRegion, false, fault, 10,
       "not installed: missing signature object 3/11.0.BIN.minisig (HTTP 404)"},
      {"bad signature", BadSignature, false, fault, 10,
       "not installed: bad trusted-comment signature"},
  };
  for (const Case& c : cases) {
    Road road;
    road.prepare(9);
    const std::string bucket = c.serve == OtherRegion ? "pravex-update-1" : "update-en-1";
    road.servePackage(bucket);
    std::vector<std::string> args = {"--announce", "3.11.0", "--size", "1000"};
    if (c.serve == BadSignature) args.push_back("--damage-signatures");
    DevServerProcess server(road.store(), args, road.work / "server.log");
    ASSERT_TRUE(server.ready()) << c.name;
    pid_t pid = startWorker(road.app.path(), road.work / "result", 1000);
    EXPECT_EQ(finishChild(pid), 0) << c.name;
    EXPECT_EQ(fileText(road.work / "result"),
              std::to_string(c.installs ? app_state::UPDATE_DONE : app_state::UPDATE_PENDING) +
                  " " + c.status)
        << c.name;
    EXPECT_EQ(readFile(road.app / "Kelvora.exe"), c.installs ? road.newProgram : road.oldProgram)
        << c.name;
    EXPECT_EQ(readFile(road.app / "prev"), c.installs ? road.oldProgram : road.olderProgram)
        << c.name;
    Names kept = {"Kelvora.exe", "prev", "config.cfg"};
    if (c.installs) {
      // The release's signature stays beside the program: minisign itself verifies it.
      kept.insert("Kelvora.exe.minisig");
      const auto minisign =
          runCommand("minisign -Vq -p " KELVORA_TEST_DATA_DIR "/loopback-publisher.pub -x " +
                     (road.app / "Kelvora.exe.minisig").string() + " -m " +
                     (road.store() / bucket / "3/11.0.BIN").string() + " 2>&1");
      EXPECT_EQ(minisign.status, 0) << c.name << ": " << minisign.output;
    }
    EXPECT_EQ(road.names(), kept) << c.name;
    EXPECT_EQ(road.storedMinor(), c.storedMinor) << c.name;
    const std::string errors = road.errors();
    if (c.errorLine != nullptr)
      EXPECT_NE(errors.find(c.errorLine), std::string::npos) << c.name << ": " << errors;
    else
      EXPECT_EQ(errors.find("not installed"), std::string::npos) << c.name << ": " << errors;
  }
}

// A push carries no signature: with publisher keys built in it is refused at its begin, said,
// and nothing is made; the receive loop then drops its chunks as those of no push.
TEST(UpdateRoad, PushedProgramIsRefusedWithPublisherKeysAndNothingIsWritten) {
  TempDir app;
  ScopedCurrentDir inApp(app.path());
  app_state::AppState state;
  package_install::PushedPackageFile push(state);
  testing::internal::CaptureStderr();
  EXPECT_FALSE(push.begin(6));
  const std::string said = testing::internal::GetCapturedStderr();
  EXPECT_NE(said.find("pushed program refused"), std::string::npos) << said;
  EXPECT_TRUE(fs::is_empty(app.path()));
}

TEST(UpdateRoad, KilledAtAnyMomentLeavesAWholeProgramAndNothingStartUpLeavesBehind) {
  Road road;
  road.newProgram = testProgram(2, 6 << 20);
  road.servePackage("update-en-1");
  DevServerProcess server(road.store(), {"--announce", "3.11.0"}, road.work / "server.log");
  ASSERT_TRUE(server.ready());
  // One undisturbed road, without the announcement pause, measures the span to sample.
  road.prepare(9);
  Bytes before = readFile(road.app / "config.cfg");
  pid_t pid = startWorker(road.app.path(), road.work / "result");
  ASSERT_TRUE(road.startUpDone(before));
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
    pid = startWorker(road.app.path(), road.work / "result");
    ASSERT_TRUE(road.startUpDone(before));
    std::this_thread::sleep_for(std::chrono::microseconds(moment(random)));
    killChild(pid);
    // The next start-up finishes an install that the kill interrupted, and removes what the
    // kill left: the new program is there exactly when its version is stored, and prev holds
    // the program from before the update whenever the new one is in place.
    ScopedCurrentDir inApp(road.app.path());
    ASSERT_TRUE(startup::prepareApplicationDirectory()) << "kill " << i;
    Bytes now = readFile(road.app / "Kelvora.exe");
    bool isOld = now == road.oldProgram, isNew = now == road.newProgram;
    ASSERT_TRUE(isOld || isNew) << "kill " << i << ": Kelvora.exe is " << now.size() << " bytes";
    oldSeen += isOld;
    newSeen += isNew;
    EXPECT_EQ(road.storedMinor(), isNew ? 11 : 10) << "kill " << i;
    const Bytes prev = readFile(road.app / "prev");
    EXPECT_TRUE(prev == road.oldProgram || (isOld && prev == road.olderProgram)) << "kill " << i;
    Names left = road.names();
    left.erase("prev");
    EXPECT_EQ(left.erase("Kelvora.exe.minisig"), size_t(isNew)) << "kill " << i;
    EXPECT_EQ(left.erase("3.11.0.BIN"), left.erase("3.11.0.BIN.etag")) << "kill " << i;
    EXPECT_EQ(left, (Names{"Kelvora.exe", "config.cfg"})) << "kill " << i;
  }
  std::cout << "kills that left the old program: " << oldSeen << ", the new: " << newSeen << "\n";
}

// Two moments of the swap, pinned with strace once start-up is done. Killed while the rename of
// the new program is held, before its version is stored: the next run finishes that install and
// fetches nothing again. The flush of the directory between prev and that rename failing (the
// third flush after start-up: the ETag file's, the install record's, then that one): a failed
// install, said, as without the flush a crash could leave the new program under its name with
// prev not yet holding the old one. Either way prev holds the program from before the update.
TEST(UpdateRoad, TheSwapHeldOrFailedByStraceLeavesPrevTheOldProgram) {
  if (runCommand("strace -V >/dev/null 2>&1").status != 0) GTEST_SKIP() << "no strace";
  struct Case {
    std::vector<std::string> trace;  // strace's matches its paths in the application directory
    bool killed;
  };
  const Case cases[] = {
      {{"-P", "Kelvora.exe.new", "-e", "trace=rename,renameat,renameat2", "-e",
        "inject=rename,renameat,renameat2:delay_exit=30000000"},
       true},
      {{"-P", ".", "-e", "trace=fsync", "-e", "inject=fsync:error=EIO:when=3"}, false},
  };
  for (const Case& c : cases) {
    Road road;
    road.prepare(9);
    road.servePackage("update-en-1");
    DevServerProcess server(road.store(), {"--announce", "3.11.0"}, road.work / "server.log");
    ASSERT_TRUE(server.ready());
    const Bytes before = readFile(road.app / "config.cfg");
    pid_t pid = startWorker(road.app.path(), road.work / "result", 1000);
    ASSERT_TRUE(road.startUpDone(before));
    std::vector<std::string> argv = {"/usr/bin/strace", "-qq", "-f", "-p", std::to_string(pid)};
    argv.insert(argv.end(), c.trace.begin(), c.trace.end());
    ChildProcess strace(argv, road.app.path(), road.work / "strace.out", road.work / "strace.err");
    if (c.killed) {
      EXPECT_TRUE(waitFor([&] { return readFile(road.app / "Kelvora.exe") == road.newProgram; },
                          seconds(40)));
      // The kill lands while the rename is held; strace goes next, then the worker is reaped.
      kill(pid, SIGKILL);
      strace.kill(SIGKILL);
      killChild(pid);
      ASSERT_FALSE(fs::exists(road.work / "result")) << "the first run ended by itself";
      EXPECT_EQ(readFile(road.app / "prev"), road.oldProgram);
      pid = startWorker(road.app.path(), road.work / "result");
    }
    EXPECT_EQ(waitChild(pid, seconds(40)), 0) << c.killed;
    EXPECT_EQ(readFile(road.app / "Kelvora.exe"), c.killed ? road.newProgram : road.oldProgram);
    EXPECT_EQ(readFile(road.app / "prev"), road.oldProgram) << c.killed;
    EXPECT_EQ(road.storedMinor(), c.killed ? 11 : 10);
    const std::string log = server.log();
    size_t gets = 0;
    for (size_t at = 0; (at = log.find("GET /3/11.0.BIN ", at)) != std::string::npos; ++at) ++gets;
    EXPECT_EQ(gets, 1u) << log;
    EXPECT_EQ(road.errors().find("cannot be flushed") != std::string::npos, !c.killed)
        << fileText(road.work / "strace.err");
  }
}

// Lost settings start at the version the kept signature of the installed release vouches for,
// so an older signed release announced then is no update; a signature that does not verify
// vouches for nothing.
TEST(UpdateRoad, LostSettingsLetNoOlderReleaseIn) {
  Road road;
  const fs::path older = road.store() / "update-en-1" / "3" / "10.0.BIN";
  fs::create_directories(older.parent_path());
  writeFile(older, package_unpack::packPackage(road.newProgram));
  // The signature of the installed 3.11.0, as a signed install keeps it.
  const std::string signature = testSignature(package_unpack::packPackage(road.oldProgram));
  std::string altered = signature;
  altered.replace(altered.find("version:3.11.0"), 14, "version:3.12.0");
  DevServerProcess server(road.store(), {"--announce", "3.10.0"}, road.work / "server.log");
  ASSERT_TRUE(server.ready());
  for (const std::string& kept : {signature, altered}) {
    const bool installs = kept == altered;
    const std::string what = installs ? "an altered signature" : "the kept signature";
    road.prepare(9);
    fs::remove(road.app / "config.cfg");  // settings lost; damaged ones are started afresh alike
    writeFile(road.app / "Kelvora.exe.minisig", kept);
    pid_t pid = startWorker(road.app.path(), road.work / "result");
    EXPECT_EQ(finishChild(pid), 0) << what;
    EXPECT_EQ(readFile(road.app / "Kelvora.exe"), installs ? road.newProgram : road.oldProgram)
        << what;
    EXPECT_EQ(road.storedMinor(), installs ? 10 : 11) << what;
    EXPECT_EQ(fileText(road.work / "result").find("No new version.") != std::string::npos,
              !installs)
        << what;
  }
}

// Links, FIFOs and hard links planted under every name the program uses (a killed run's, or
// anyone's who can write the directory): what they lead to outside is never changed or created,
// nothing waits on them, and the update still installs. Only a settings file that is no file
// ends the run, said on standard error.
TEST(UpdateRoad, WhatIsPlantedUnderItsNamesNeverReachesOutside) {
  Road road;
  road.newProgram = testProgram(2, 100000);
  road.servePackage("update-en-1");
  DevServerProcess server(road.store(), {"--announce", "3.11.0"}, road.work / "server.log");
  ASSERT_TRUE(server.ready());
  enum Kind { kSymlink, kHardLink, kDangling, kFifo };
  const char* kindNames[] = {"a symbolic link", "a hard link", "a dangling link", "a FIFO"};
  const std::string mark = "outside: never to be changed";
  const fs::path outside = road.work / "outside";
  std::istringstream names(
      "Kelvora.exe Kelvora.exe.new prev.new prev 3.11.0.BIN 3.11.0.BIN.etag Update.exe.lock "
      "config.cfg config.cfg.damaged .config.cfg.Ab12Cd Kelvora.exe.installing "
      "Kelvora.exe.minisig");
  for (std::string name; names >> name;) {
    for (Kind kind : {kSymlink, kHardLink, kDangling, kFifo}) {
      const std::string what = name + " as " + kindNames[kind];
      const bool refused = name == "config.cfg" && kind != kHardLink;
      for (bool wholeProgram : {true, false}) {
        road.prepare(9);
        // A kept part with its ETag, so that the package's names are opened to go on with it; a
        // damaged settings file, so that config.cfg.damaged is taken.
        writeFile(road.app / "3.11.0.BIN", Bytes(1000, 7));
        writeFile(road.app / "3.11.0.BIN.etag", std::string("\"kept\""));
        if (name == "config.cfg.damaged") writeFile(road.app / "config.cfg", mark);
        fs::remove_all(outside);
        fs::create_directories(outside);
        writeFile(outside / "target", mark);
        const fs::path planted = road.app / name;
        fs::remove(planted);
        if (kind == kSymlink) fs::create_symlink(outside / "target", planted);
        if (kind == kHardLink) fs::create_hard_link(outside / "target", planted);
        if (kind == kDangling) fs::create_symlink(outside / "missing", planted);
        if (kind == kFifo) {
          ASSERT_EQ(mkfifo(planted.c_str(), 0644), 0);
        }
        if (wholeProgram) {
          // Start-up of the real program: lock, settings, clean-up; no display, so it then ends.
          auto run =
              runCommand("cd '" + road.app.path().string() + "' && timeout 20 env -u DISPLAY " +
                         KELVORA_E2E_DIR "/Update.exe 2>&1");
          EXPECT_EQ(run.status, refused ? 0 : 2) << what << ": " << run.output;
          if (refused) {  // said in one line
            EXPECT_EQ(run.output.rfind("Update.exe: config.cfg: is ", 0), 0u) << what;
            EXPECT_EQ(std::count(run.output.begin(), run.output.end(), '\n'), 1) << what;
          }
        } else {
          pid_t pid = startWorker(road.app.path(), road.work / "result");
          EXPECT_EQ(finishChild(pid), refused ? 4 : 0) << what << ": " << road.errors();
          EXPECT_EQ(readFile(road.app / "Kelvora.exe"), refused ? road.oldProgram : road.newProgram)
              << what;
        }
        EXPECT_EQ(readFile(outside / "target"), Bytes(mark.begin(), mark.end())) << what;
        EXPECT_FALSE(fs::exists(outside / "missing")) << what;
      }
    }
  }
}

}  // namespace
