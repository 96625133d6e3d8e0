// Installing a package: the safe replacement of Kelvora.exe, the download step's outcomes by
// status code and language, and the pushed package's file.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <set>

#include "platform/codepage.h"
#include "support/test_support.h"
#include "updater/builtin_config.h"
#include "updater/package_download.h"
#include "updater/package_install.h"
#include "updater/package_unpack.h"

namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<uint8_t>;
using package_download::BodySink;
using package_download::FetchOutcome;
using package_download::FetchRequest;
using testsupport::readFile;
using testsupport::writeFile;

Bytes text(const std::string& s) {
  return Bytes(s.begin(), s.end());
}

Bytes newProgram() {
  Bytes p(200000);
  uint32_t x = 12345;
  for (auto& b : p) {
    x = x * 1103515245u + 12345u;
    b = uint8_t(x >> 24) & 0x0F;  // compressible, but not trivially
  }
  return p;
}

class InstallDir : public ::testing::Test {
 protected:
  void SetUp() override {
    writeFile(app / "Kelvora.exe", text("old program"));
    chmod((app / "Kelvora.exe").c_str(), 0751);
    writeFile(app / "prev", text("older program"));
  }
  std::set<std::string> names() {
    std::set<std::string> n;
    for (const auto& e : fs::directory_iterator(app.path())) n.insert(e.path().filename());
    return n;
  }
  void expectUntouched() {
    EXPECT_EQ(readFile(app / "Kelvora.exe"), text("old program"));
    EXPECT_EQ(readFile(app / "prev"), text("older program"));
  }

  testsupport::TempDir app;
  testsupport::ScopedCurrentDir inApp{app.path()};
};

TEST_F(InstallDir, SuccessKeepsTheOldProgramAsPrevAndLeavesNoTemporaryFile) {
  Bytes program = newProgram();
  ASSERT_TRUE(package_install::installPackage(kelvora::packPackage(program), "3.11.0.BIN"));
  EXPECT_EQ(readFile(app / "Kelvora.exe"), program);
  EXPECT_EQ(readFile(app / "prev"), text("old program")) << "the earlier prev is replaced";
  EXPECT_EQ(names(), (std::set<std::string>{"Kelvora.exe", "prev"}));
  struct stat st {};
  ASSERT_EQ(stat((app / "Kelvora.exe").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0751u) << "the new program keeps the old one's mode";
}

TEST_F(InstallDir, MissingProgramIsNotAnError) {
  fs::remove(app / "Kelvora.exe");
  fs::remove(app / "prev");
  Bytes program = newProgram();
  ASSERT_TRUE(package_install::installPackage(kelvora::packPackage(program), "1.0.0.BIN"));
  EXPECT_EQ(readFile(app / "Kelvora.exe"), program);
  EXPECT_EQ(names(), (std::set<std::string>{"Kelvora.exe"}));
}

TEST_F(InstallDir, EveryFailureBeforeTheSwapTouchesNothing) {
  Bytes good = kelvora::packPackage(newProgram());
  Bytes cut(good.begin(), good.begin() + good.size() / 2);
  Bytes corrupt = good;
  corrupt[2] ^= 0xFF;  // the first block's stored length no longer fits the data
  Bytes bad = {0x10, 0x00, 0x08, 0x00, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
  for (const Bytes* package : {&cut, &corrupt, &bad}) {
    EXPECT_FALSE(package_install::installPackage(*package, "3.11.0.BIN"));
    expectUntouched();
    EXPECT_EQ(names(), (std::set<std::string>{"Kelvora.exe", "prev"}));
  }
  // The package file cannot be created.
  fs::create_directory(app / "3.11.0.BIN");
  EXPECT_FALSE(package_install::installPackage(good, "3.11.0.BIN"));
  expectUntouched();
  fs::remove(app / "3.11.0.BIN");
  // The unpacked program cannot be created beside Kelvora.exe.
  fs::create_directory(app / package_install::UNPACK_TEMP_FILE);
  EXPECT_FALSE(package_install::installPackage(good, "3.11.0.BIN"));
  expectUntouched();
  EXPECT_FALSE(fs::exists(app / "3.11.0.BIN"));
}

TEST_F(InstallDir, ALeftOverTemporaryFromAKilledRunIsOverwritten) {
  writeFile(app / package_install::UNPACK_TEMP_FILE, Bytes(1000000, 0xEE));
  Bytes program = newProgram();
  ASSERT_TRUE(package_install::installPackage(kelvora::packPackage(program), "3.11.0.BIN"));
  EXPECT_EQ(readFile(app / "Kelvora.exe"), program);
}

// The download step with an in-memory fetch.
class Download : public InstallDir {
 protected:
  void SetUp() override {
    InstallDir::SetUp();
    settings_block::setVersion(state.settingsBlock, {3, 11, 0});
    state.packageKey.set("3/11.0.BIN");
    state.updateState = UPDATE_PENDING;
    program = newProgram();
    package = kelvora::packPackage(program);
  }
  void setLanguage(uint32_t language) {
    settings_block::putU32(state.settingsBlock, settings_block::LANGUAGE, language);
  }
  // Hands the package out in three pieces of uneven size.
  package_download::ObjectFetcher fetcherWithStatus(int32_t status) {
    return [this, status](const FetchRequest& request, BodySink& sink) {
      askedBucket = request.target.bucket;
      askedEndpoint = request.target.endpoint;
      askedKey = request.key;
      ++fetches;
      size_t a = 7, b = package.size() / 2;
      FetchOutcome o;
      o.head.status = status;
      if (package_download::isFetchSuccess(status))
        o.complete = sink.begin(o.head) && sink.write({package.data(), a}) &&
                     sink.write({package.data() + a, b - a}) &&
                     sink.write({package.data() + b, package.size() - b});
      return o;
    };
  }

  AppState state;
  Bytes program, package;
  std::string askedBucket, askedEndpoint, askedKey;
  int fetches = 0;
};

TEST_F(Download, SuccessStatusesInstallAndShowCompletion) {
  for (int32_t status : {200, 204, 299}) {
    SetUp();
    setLanguage(9);
    EXPECT_TRUE(package_download::downloadAndInstall(state, fetcherWithStatus(status))) << status;
    EXPECT_EQ(readFile(app / "Kelvora.exe"), program);
    EXPECT_EQ(state.updateState.load(), UPDATE_DONE);
    EXPECT_EQ(state.statusLine.get(), "Update completed.");
    EXPECT_EQ(state.downloadedByteCount.load(), float(package.size()));
    EXPECT_EQ(state.expectedPackageSize.load(), state.downloadedByteCount.load()) << "100 %";
    EXPECT_EQ(state.packageSize.load(), package.size());
    EXPECT_EQ(names(), (std::set<std::string>{"Kelvora.exe", "prev"})) << "package file gone";
  }
  EXPECT_EQ(askedBucket, "update-en-1");
  EXPECT_EQ(askedKey, "3/11.0.BIN");
}

TEST_F(Download, FailureStatusesChangeNothing) {
  for (int32_t status : {300, 199, 404, 0, -998}) {
    SetUp();
    setLanguage(9);
    EXPECT_FALSE(package_download::downloadAndInstall(state, fetcherWithStatus(status))) << status;
    expectUntouched();
    EXPECT_EQ(names(), (std::set<std::string>{"Kelvora.exe", "prev"}));
    EXPECT_EQ(state.updateState.load(), UPDATE_PENDING);
    EXPECT_EQ(state.statusLine.get(), "File fault, please try again later.");
    EXPECT_NE(state.expectedPackageSize.load(), state.downloadedByteCount.load());
  }
}

TEST_F(Download, ChineseSelectsItsBucketAndTexts) {
  setLanguage(2052);
  ASSERT_TRUE(package_download::downloadAndInstall(state, fetcherWithStatus(200)));
  EXPECT_EQ(askedBucket, "pravex-update-1");
  EXPECT_EQ(askedEndpoint, std::string(builtinConfig().storageEndpointCn));
  EXPECT_EQ(state.statusLine.get(), platform::utf8ToGbk("更新已经完成！"));

  SetUp();
  setLanguage(2052);
  package.resize(package.size() - 1);  // a cut package: fetched fine, but it does not unpack
  EXPECT_FALSE(package_download::downloadAndInstall(state, fetcherWithStatus(200)));
  EXPECT_EQ(state.statusLine.get(), platform::utf8ToGbk("更新文件存在故障, 请稍后再试。"));
  EXPECT_EQ(state.updateState.load(), UPDATE_PENDING);
  expectUntouched();
  // 2051 and 0 are English.
  for (uint32_t language : {2051u, 0u}) {
    SetUp();
    setLanguage(language);
    package_download::downloadAndInstall(state, fetcherWithStatus(200));
    EXPECT_EQ(askedBucket, "update-en-1");
  }
}

TEST_F(Download, AfterAPushNothingIsFetched) {
  state.packageKey.set("");
  EXPECT_TRUE(package_download::downloadAndInstall(state, fetcherWithStatus(200)));
  EXPECT_EQ(fetches, 0);
  EXPECT_EQ(state.updateState.load(), UPDATE_DONE);
  EXPECT_EQ(state.statusLine.get(), "Update completed.");
  EXPECT_EQ(state.expectedPackageSize.load(), state.downloadedByteCount.load());
  expectUntouched();
}

TEST_F(InstallDir, PushedFileIsNamedFromTheSettingsVersionAndSwappedIn) {
  AppState state;
  settings_block::setVersion(state.settingsBlock, {3, 10, 0});
  state.packageKey.set("left over");
  package_install::PushedPackageFile push(state);
  ASSERT_TRUE(push.begin(6));
  EXPECT_TRUE(fs::exists(app / "3.10.0.BIN"));
  EXPECT_TRUE(push.write(text("new")));
  EXPECT_TRUE(push.write(text("exe")));
  push.finish();
  EXPECT_EQ(readFile(app / "Kelvora.exe"), text("newexe"));
  EXPECT_EQ(readFile(app / "prev"), text("old program"));
  EXPECT_EQ(names(), (std::set<std::string>{"Kelvora.exe", "prev"}));
  EXPECT_EQ(state.updateState.load(), UPDATE_PENDING);
  EXPECT_EQ(state.packageKey.get(), "");

  AppState other;
  settings_block::setVersion(other.settingsBlock, {3, 10, 0});
  package_install::PushedPackageFile bad(other);
  ASSERT_TRUE(bad.begin(100));
  bad.write(text("partial"));
  bad.abandon();
  EXPECT_EQ(readFile(app / "Kelvora.exe"), text("newexe"));
  EXPECT_FALSE(fs::exists(app / "3.10.0.BIN"));
  EXPECT_EQ(other.updateState.load(), UPDATE_WAITING);
}

TEST_F(InstallDir, TheInstallLockHoldsOffTheSwap) {
  writeFile(app / "ready", text("swapped"));
  std::unique_lock<std::mutex> held(package_install::installLock());
  std::atomic<bool> done{false};
  std::thread swapper([&] {
    package_install::swapIntoPlace("ready");
    done = true;
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_FALSE(done.load());
  EXPECT_EQ(readFile(app / "Kelvora.exe"), text("old program"));
  held.unlock();
  swapper.join();
  EXPECT_EQ(readFile(app / "Kelvora.exe"), text("swapped"));
}

}  // namespace
