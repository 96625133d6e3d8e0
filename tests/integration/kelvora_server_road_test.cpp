// The real road with kelvora-server in the update role: the headless worker in a forked child
// on the loopback ports (update server 9910, storage 18080), kelvora-devserver serving only the
// store. Outside the rollout, with no fallback, nothing installs; that the release installs
// inside it is judged on the publishing road (publish_test), with the server in the same role.
#include <gtest/gtest.h>

#include "support/devserver_process.h"
#include "support/kelvora_server_process.h"
#include "support/update_road.h"
#include "updater/app_state.h"

namespace {

using namespace testsupport;

TEST(KelvoraServerRoad, OutsideTheRolloutWithNoFallbackHearsNoNewVersion) {
  RoadDir road;
  road.prepare(9);
  writeFile(road.work / "manifest.json",
            std::string(R"({"format": 1, "release": {"version": "3.11.0", "package_bytes": )"
                        R"(1048576, "rollout_percent": 0}})"));
  DevServerProcess store(road.store(), {"--update-port", "0"}, road.work / "store.log");
  ASSERT_TRUE(store.ready()) << store.log();
  KelvoraServerProcess server({"--listen", "127.0.0.1:9910", "--manifest",
                               (road.work / "manifest.json").string(), "--threads", "2"},
                              road.work / "server.log");
  ASSERT_TRUE(server.ready()) << server.log();
  EXPECT_EQ(finishChild(startWorker(road.app.path(), road.work / "result")), 0);
  EXPECT_EQ(fileText(road.work / "result"),
            std::to_string(app_state::UPDATE_NONE) + " No new version.");
  EXPECT_EQ(readFile(road.app / "Kelvora.exe"), road.oldProgram);
  EXPECT_EQ(road.storedMinor(), 10);
  EXPECT_EQ(server.metric("kelvora_server_hellos_total"), 1);
}

}  // namespace
