// The real road with kelvora-server in the update role: the headless worker in a forked child
// on the loopback ports (update server 9910, storage 18080), kelvora-devserver serving only the
// store. Inside the rollout the release installs; outside it, with no fallback, nothing does.
#include <gtest/gtest.h>

#include <filesystem>

#include "support/devserver_process.h"
#include "support/kelvora_server_process.h"
#include "support/update_road.h"
#include "updater/app_state.h"

namespace {

namespace fs = std::filesystem;
using namespace testsupport;

TEST(KelvoraServerRoad, InsideTheRolloutInstallsOutsideHearsNoNewVersion) {
  const struct {
    const char* percent;
    int32_t state;
    const char* status;
    int storedMinor;
  } cases[] = {{"100", app_state::UPDATE_DONE, "Update completed.", 11},
               {"0", app_state::UPDATE_NONE, "No new version.", 10}};
  for (const auto& c : cases) {
    RoadDir road;
    road.prepare(9);
    road.servePackage("update-en-1", road.newProgram);
    const auto packageBytes = fs::file_size(road.store() / "update-en-1" / "3" / "11.0.BIN");
    writeFile(road.work / "manifest.json",
              R"({"format": 1, "release": {"version": "3.11.0", "package_bytes": )" +
                  std::to_string(packageBytes) + R"(, "rollout_percent": )" + c.percent + "}}");
    DevServerProcess store(road.store(), {"--update-port", "0"}, road.work / "store.log");
    ASSERT_TRUE(store.ready()) << store.log();
    KelvoraServerProcess server({"--listen", "127.0.0.1:9910", "--manifest",
                                 (road.work / "manifest.json").string(), "--threads", "2"},
                                road.work / "server.log");
    ASSERT_TRUE(server.ready()) << server.log();
    EXPECT_EQ(finishChild(startWorker(road.app.path(), road.work / "result")), 0) << c.percent;
    EXPECT_EQ(fileText(road.work / "result"), std::to_string(c.state) + " " + c.status);
    EXPECT_EQ(readFile(road.app / "Kelvora.exe"),
              c.state == app_state::UPDATE_DONE ? road.newProgram : road.oldProgram);
    EXPECT_EQ(road.storedMinor(), c.storedMinor) << c.percent;
    EXPECT_EQ(server.metric("kelvora_server_hellos_total"), 1) << c.percent;
  }
}

}  // namespace
