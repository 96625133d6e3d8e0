// kelvora-publish against kelvora-devserver's store, whose request log witnesses every upload and
// download: the whole road to kelvora-server and clients of either language, a killed run
// finished by the next, and the refusals that leave the published manifest as it was.
#include <gtest/gtest.h>
#include <signal.h>

#include <fstream>
#include <sstream>

#include "support/devserver_process.h"
#include "support/kelvora_server_process.h"
#include "support/update_road.h"
#include "updater/app_state.h"
#include "updater/builtin_config.h"

namespace {

namespace fs = std::filesystem;
using namespace testsupport;
using std::chrono::seconds;

// A store with both buckets, a write key pair and a request log, and a configuration naming them.
struct PublishStore {
  TempDir dir;
  std::unique_ptr<DevServerProcess> server;
  int port = 0;

  // Port 0: any free one; the road needs the store where the loopback Update.exe looks, 18080.
  explicit PublishStore(int httpPort = 0) {
    for (const char* bucket : {"pravex-update-1", "update-en-1"})
      fs::create_directories(dir / "store" / bucket);
    writeFile(dir / "write.secret", std::string("w7Kq2Zp9Lm4Xc8Vb3Nd6\n"));
    // No --sign-key: the store serves only the signatures the publisher put there.
    server = std::make_unique<DevServerProcess>(
        dir / "store",
        std::vector<std::string>{"--sign-key", "", "--http-port", std::to_string(httpPort),
                                 "--update-port", "0", "--put-id", "PUBLISHER1", "--put-secret",
                                 "w7Kq2Zp9Lm4Xc8Vb3Nd6", "--request-log",
                                 (dir / "requests.log").string()},
        dir / "server.log");
    port = server->httpPort();
    // Both buckets and the manifest at ENDPOINT, the store's address.
    std::string config = R"({"buckets": [{"endpoint": ENDPOINT, "bucket": "pravex-update-1"},
                   {"endpoint": ENDPOINT, "bucket": "update-en-1"}],
      "manifest": {"endpoint": ENDPOINT, "bucket": "update-en-1", "key": "releases.json"},
      "credentials": {"id": "PUBLISHER1", "secret_file": "write.secret"},
      "publisher_key": ")" KELVORA_TEST_DATA_DIR R"(/loopback-publisher.key"})";
    for (size_t at; (at = config.find("ENDPOINT")) != std::string::npos;)
      config.replace(at, 8, "\"localhost:" + std::to_string(port) + "\"");
    writeFile(dir / "publish.json", config);
  }

  fs::path manifest() const { return dir / "store" / "update-en-1" / "releases.json"; }

  // kelvora-publish with these arguments after --config, as a child writing to out/err files.
  std::unique_ptr<ChildProcess> start(const std::vector<std::string>& args) {
    std::vector<std::string> argv = {binPath("kelvora-publish"), "--config",
                                     (dir / "publish.json").string()};
    argv.insert(argv.end(), args.begin(), args.end());
    fs::remove(dir / "publish.out");  // no step line of an earlier run is read as this one's
    return std::make_unique<ChildProcess>(argv, fs::path{}, dir / "publish.out",
                                          dir / "publish.err");
  }
  int run(const std::vector<std::string>& args) {
    return start(args)->wait(seconds(120)).value_or(-1);
  }
  // `release` of the file `name` in the store's directory.
  int release(const char* name, const char* version, std::vector<std::string> more = {}) {
    more.insert(more.begin(), {"release", (dir / name).string(), "--version", version});
    return run(more);
  }
  std::string out() const { return fileText(dir / "publish.out"); }
  std::string err() const { return fileText(dir / "publish.err"); }

  // How often each "METHOD /bucket/key STATUS" line appears in the store's log.
  int requests(const std::string& line) const {
    std::istringstream log(fileText(dir / "requests.log"));
    int count = 0;
    for (std::string l; std::getline(log, l);) count += l == line;
    return count;
  }
};

// The worker of a loopback Update.exe at 3.10.0 in `language`, run to its end: its state and
// whether Kelvora.exe is now the new program.
std::pair<int, bool> runClient(RoadDir& road, uint32_t language) {
  road.prepare(language);
  const pid_t pid = startWorker(road.app.path(), road.work / "result", 0);
  EXPECT_EQ(finishChild(pid), 0) << fileText(road.work / "result.err");
  int state = 99;
  std::ifstream(road.work / "result") >> state;
  return {state, readFile(road.app / "Kelvora.exe") == road.newProgram};
}

TEST(Publish, StagedReleaseReachesBothLanguagesOnlyWhenRolledOutAndRevokeWithdrawsIt) {
  PublishStore store(18080);
  ASSERT_EQ(store.port, 18080) << store.server->log();
  RoadDir road;
  writeFile(store.dir / "old.exe", road.oldProgram);
  writeFile(store.dir / "new.exe", road.newProgram);
  ASSERT_EQ(store.release("old.exe", "3.10.0", {"--rollout", "100"}), 0) << store.err();
  ASSERT_EQ(store.release("new.exe", "3.11.0"), 0) << store.err();

  const builtin_config::BuiltinConfig& builtin = builtin_config::builtinConfig();
  writeFile(store.dir / "read.secret", std::string(builtin.accessKeySecret));
  KelvoraServerProcess server(
      {"--listen", "127.0.0.1:9910", "--threads", "1", "--manifest-object",
       "update-en-1/releases.json", "--endpoint", "localhost:18080", "--id", builtin.accessKeyId,
       "--secret-file", (store.dir / "read.secret").string(), "--poll", "1"},
      store.dir / "kelvora-server.log");
  ASSERT_TRUE(server.ready()) << server.log();
  // The server says "manifest: SUMMARY" for each manifest it takes.
  auto change = [&](const std::vector<std::string>& command, const std::string& summary) {
    ASSERT_EQ(store.run(command), 0) << store.err();
    ASSERT_TRUE(
        waitFor([&] { return server.log().find(summary) != std::string::npos; }, seconds(15)))
        << server.log();
  };

  const struct Client {
    uint32_t language;
    const char* bucket;
  } clients[] = {{9, "update-en-1"}, {2052, "pravex-update-1"}};
  for (const Client& client : clients)  // at 0 %, the fallback 3.10.0: nothing newer
    EXPECT_EQ(runClient(road, client.language), std::make_pair(app_state::UPDATE_NONE, false))
        << client.bucket;

  change({"rollout", "--percent", "100"}, "manifest: release 3.11.0 to 100 %");
  for (const Client& client : clients) {
    const std::string get = std::string("GET /") + client.bucket + "/3/11.0.BIN 200";
    const int before = store.requests(get);
    EXPECT_EQ(runClient(road, client.language), std::make_pair(app_state::UPDATE_DONE, true))
        << client.bucket << ": " << fileText(road.work / "result.err");
    EXPECT_EQ(store.requests(get), before + 1) << client.bucket;  // from its own bucket
  }

  change({"revoke"}, "manifest: release 3.10.0 to 100 %");
  EXPECT_EQ(runClient(road, 9), std::make_pair(app_state::UPDATE_NONE, false))
      << server.log() << fileText(store.dir / "requests.log") << fileText(road.work / "result.err");
}

TEST(Publish, RunAgainAfterAKillInTheSecondBucketFinishesWithoutUploadingTwice) {
  PublishStore store;
  ASSERT_GT(store.port, 0) << store.server->log();
  writeFile(store.dir / "Kelvora.exe", randomString(24 << 20, 11));
  const std::vector<std::string> release = {"release", (store.dir / "Kelvora.exe").string(),
                                            "--version", "3.11.0"};
  auto first = store.start(release);
  ASSERT_TRUE(waitFor(
      [&] { return store.out().find("upload   update-en-1/") != std::string::npos; }, seconds(60)))
      << store.out() << store.err();
  first->kill(SIGKILL);
  first->wait(seconds(10));
  EXPECT_FALSE(fs::exists(store.manifest()));

  ASSERT_EQ(store.run(release), 0) << store.out() << store.err();
  // The first bucket's objects went up once, in the killed run; the second bucket's each once in
  // whichever run completed its upload.
  for (const char* key : {"3/11.0.BIN", "3/11.0.BIN.minisig"}) {
    EXPECT_EQ(store.requests(std::string("PUT /pravex-update-1/") + key + " 200"), 1) << key;
    EXPECT_EQ(store.requests(std::string("PUT /update-en-1/") + key + " 200"), 1) << key;
  }
  EXPECT_NE(fileText(store.manifest()).find("\"3.11.0\""), std::string::npos);
  EXPECT_EQ(store.run({"status"}), 0) << store.out() << store.err();

  // One byte changed in the store: status reads it back as a client would and says so.
  const fs::path package = store.dir / "store" / "update-en-1" / "3" / "11.0.BIN";
  Bytes bytes = readFile(package);
  bytes[bytes.size() / 2] ^= 1;
  writeFile(package, bytes);
  EXPECT_EQ(store.run({"status"}), 1);
  EXPECT_NE(store.out().find("FAILED   read back update-en-1/3/11.0.BIN"), std::string::npos)
      << store.out();
}

// Each way a release would change what is published: refused, and the manifest left as it was.
TEST(Publish, RefusesToChangeWhatIsPublished) {
  enum Interference { kNone, kOtherBytes, kManifestWritten };
  const struct Case {
    const char* name;
    const char* version;
    Interference interference;
    const char* cause;  // in the one line on standard error
  } cases[] = {
      {"an object with other bytes", "3.11.0", kOtherBytes, "published releases are immutable"},
      {"another publisher's manifest", "3.11.0", kManifestWritten, "changed since it was read"},
      {"a version the clients would not take", "3.9.1", kNone, "is not newer than"},
  };
  for (const Case& c : cases) {
    PublishStore store;
    ASSERT_GT(store.port, 0) << store.server->log();
    writeFile(store.dir / "old.exe", randomString(300000, 1));
    ASSERT_EQ(store.release("old.exe", "3.10.0", {"--rollout", "100"}), 0) << store.err();
    writeFile(store.dir / "new.exe", randomString(4 << 20, 2));
    if (c.interference == kOtherBytes)
      writeFile(store.dir / "store" / "update-en-1" / "3" / "11.0.BIN", std::string("other"));
    std::string manifest = fileText(store.manifest());
    auto publish =
        store.start({"release", (store.dir / "new.exe").string(), "--version", c.version});
    if (c.interference == kManifestWritten) {
      // Stopped once the manifest is read and the uploads have begun, the publisher finds on
      // waking another manifest, written as a second publisher would: a new object, a new ETag.
      ASSERT_TRUE(
          waitFor([&] { return store.out().find("upload ") != std::string::npos; }, seconds(60)))
          << c.name << store.out() << store.err();
      publish->kill(SIGSTOP);
      manifest = R"({"format": 1, "release": {"version": "3.10.1", "package_bytes": 9}})";
      writeFile(store.dir / "other.json", manifest);
      fs::rename(store.dir / "other.json", store.manifest());
      publish->kill(SIGCONT);
    }
    EXPECT_EQ(publish->wait(seconds(120)), 1) << c.name << store.out();
    const std::string err = store.err();
    EXPECT_NE(err.find(c.cause), std::string::npos) << c.name << ": " << err;
    EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 1) << c.name << ": " << err;
    EXPECT_EQ(fileText(store.manifest()), manifest) << c.name;
    EXPECT_EQ(store.requests("PUT /update-en-1/releases.json 200"), 1) << c.name;
    if (c.interference == kOtherBytes) {
      EXPECT_EQ(store.requests("PUT /update-en-1/3/11.0.BIN 200"), 0) << c.name;
    }
  }
}

}  // namespace
