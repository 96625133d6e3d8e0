// Installing a package: the safe replacement of Kelvora.exe, the download step's outcomes by
// status code and language, the pushed package's file and the clean-up of a killed run.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <set>

#include "platform/codepage.h"
#include "support/update_road.h"
#include "updater/builtin_config.h"
#include "updater/package_download.h"
#include "updater/package_install.h"
#include "updater/package_unpack.h"

namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<uint8_t>;
using Names = std::set<std::string>;
using testsupport::readFile;
using testsupport::writeFile;

Bytes text(const std::string& s) {
  return Bytes(s.begin(), s.end());
}

const Bytes kNewProgram = testsupport::testProgram(4, 200000);

class InstallDir : public ::testing::Test {
 protected:
  void SetUp() override {
    for (const auto& e : fs::directory_iterator(app.path())) fs::remove_all(e.path());
    writeFile(app / "Kelvora.exe", text("old program"));
    chmod((app / "Kelvora.exe").c_str(), 0751);
    writeFile(app / "prev", text("older program"));
  }
  Names names() { return testsupport::namesIn(app.path()); }
  void expectUntouched(const std::string& why) {
    EXPECT_EQ(readFile(app / "Kelvora.exe"), text("old program")) << why;
    if (fs::is_regular_file(app / "prev")) {
      EXPECT_EQ(readFile(app / "prev"), text("older program")) << why;
    }
  }

  // The download step of 3.11.0; the in-memory fetch hands the body out in three uneven pieces.
  bool download(const Bytes& body, int32_t status = 200, uint32_t language = 9) {
    state.emplace();
    settings_block::setVersion(state->settingsBlock, {3, 11, 0});
    settings_block::putU32(state->settingsBlock, settings_block::LANGUAGE, language);
    state->packageKey.set("3/11.0.BIN");
    state->updateState = app_state::UPDATE_PENDING;
    return package_download::downloadAndInstall(
        *state,
        [&](const package_download::FetchRequest& request, package_download::BodySink& sink) {
          asked = std::string(request.target.endpoint) + " " + request.target.bucket + " " +
                  request.key;
          size_t a = std::min<size_t>(7, body.size()), b = body.size() / 2 + a / 2;
          package_download::FetchOutcome o;
          o.head.status = status;
          o.head.etag = "\"v1\"";
          o.head.objectSize = int64_t(body.size());  // as Content-Length declares it
          o.complete = package_download::isFetchSuccess(status) && sink.begin(o.head) &&
                       sink.write({body.data(), a}) && sink.write({body.data() + a, b - a}) &&
                       sink.write({body.data() + b, body.size() - b});
          return o;
        });
  }

  testsupport::TempDir app;
  testsupport::ScopedCurrentDir inApp{app.path()};
  std::optional<app_state::AppState> state;
  std::string asked;
};

TEST_F(InstallDir, SuccessKeepsTheOldProgramAsPrevWithItsModeAndNoTemporaryFile) {
  for (bool hadProgram : {true, false}) {
    SetUp();
    if (!hadProgram) fs::remove(app / "Kelvora.exe");
    writeFile(app / package_install::UNPACK_TEMP_FILE, Bytes(1000000, 0xEE));  // a killed run's
    ASSERT_TRUE(download(package_unpack::packPackage(kNewProgram)));
    EXPECT_EQ(readFile(app / "Kelvora.exe"), kNewProgram);
    if (!hadProgram) {
      EXPECT_EQ(names(), (Names{"Kelvora.exe", "config.cfg"}))
          << "no program: prev goes, nothing takes it";
      continue;
    }
    EXPECT_EQ(readFile(app / "prev"), text("old program"));
    EXPECT_EQ(names(), (Names{"Kelvora.exe", "prev", "config.cfg"}));
    struct stat st {};
    ASSERT_EQ(stat((app / "Kelvora.exe").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0751u) << "the new program keeps the old one's mode";
  }
}

TEST_F(InstallDir, EveryFailureBeforeTheSwapTouchesNothing) {
  Bytes good = package_unpack::packPackage(kNewProgram);
  Bytes corrupt = good;
  corrupt[2] ^= 0xFF;  // the first block's stored length no longer fits the data
  struct Case {
    const char* name;
    Bytes package;
    const char* directoryInTheWay;  // a directory where a file must go
  };
  const Case cases[] = {
      {"corrupt package", corrupt, nullptr},
      {"package file cannot be made", good, "3.11.0.BIN"},
      {"unpacked program cannot be made", good, package_install::UNPACK_TEMP_FILE},
      {"prev cannot take the old program", good, "prev"},
      {"ETag file cannot be written", good, "3.11.0.BIN.etag"},
  };
  for (const Case& c : cases) {
    SetUp();
    if (c.directoryInTheWay != nullptr) {
      fs::remove(app / c.directoryInTheWay);
      fs::create_directories(app / c.directoryInTheWay / "inside");
    }
    const Names before = names();
    testing::internal::CaptureStderr();
    EXPECT_FALSE(download(c.package)) << c.name;
    const std::string said = testing::internal::GetCapturedStderr();
    expectUntouched(c.name);
    EXPECT_EQ(names(), before) << c.name;
    // A directory in the way is named on standard error: nothing else would say why.
    if (c.directoryInTheWay != nullptr) {
      EXPECT_NE(said.find(std::string("Update.exe: ") + c.directoryInTheWay + ": is a directory"),
                std::string::npos)
          << c.name << ": " << said;
    }
  }
}

TEST_F(InstallDir, StartUpRemovesWhatAKilledRunLeftAndNothingElse) {
  // A package with its ETag file is kept for resuming; one without (a push) or an ETag file
  // without its package is not.
  const Names kept = {"Kelvora.exe",    "prev",       "config.cfg",     "Kelvora.exe.minisig",
                      "notes.BIN",      "3.11.BIN",   "3.11.0.bin",     "a.1.2.BIN",
                      "3.11.0.BIN.txt", "3.12.0.BIN", "3.12.0.BIN.etag"};
  for (const char* n : {"Kelvora.exe.new", "prev.new", "3.11.0.BIN", "10.0.12345.BIN",
                        "3.9.0.BIN.etag", ".3.9.0.BIN.etag.x1Y2z3", ".config.cfg.a1B2c3",
                        ".Kelvora.exe.installing.a1B2c3", ".Kelvora.exe.minisig.a1B2c3"})
    writeFile(app / n, text("left"));
  for (const auto& n : kept) writeFile(app / n, text("kept"));
  package_install::removeStaleFiles();
  EXPECT_EQ(names(), kept);
}

TEST_F(InstallDir, PushedFileHasNoNameUntilWholeAndIsSwappedIn) {
  app_state::AppState state;
  settings_block::setVersion(state.settingsBlock, {3, 10, 0});
  state.packageKey.set("left over");
  {
    package_install::PushedPackageFile push(state);
    ASSERT_TRUE(push.begin(6));
    EXPECT_TRUE(push.write(text("new")));
    EXPECT_EQ(names(), (Names{"Kelvora.exe", "prev"})) << "a cut push leaves no file";
    EXPECT_TRUE(push.write(text("exe")));
    push.finish();
  }
  EXPECT_EQ(readFile(app / "Kelvora.exe"), text("newexe"));
  EXPECT_EQ(readFile(app / "prev"), text("old program"));
  EXPECT_EQ(names(), (Names{"Kelvora.exe", "prev", "config.cfg"}));
  EXPECT_EQ(state.updateState.load(), app_state::UPDATE_PENDING);
  EXPECT_EQ(state.packageKey.get(), "");

  // prev in the way: the complete push is not installed and the fault is shown.
  SetUp();
  fs::remove(app / "prev");
  fs::create_directories(app / "prev" / "inside");
  app_state::AppState other;
  package_install::PushedPackageFile blocked(other);
  ASSERT_TRUE(blocked.begin(3));
  blocked.write(text("new"));
  blocked.finish();
  expectUntouched("prev a directory");
  EXPECT_EQ(names(), (Names{"Kelvora.exe", "prev"}));
  EXPECT_EQ(other.updateState.load(), app_state::UPDATE_WAITING);
  EXPECT_EQ(other.statusLine.get(), "File fault, please try again later.");
}

TEST_F(InstallDir, DownloadStatusAndLanguageDecideTheOutcome) {
  const Bytes package = package_unpack::packPackage(kNewProgram);
  const std::string cn = builtin_config::builtinConfig().storageEndpointCn,
                    en = builtin_config::builtinConfig().storageEndpointEn;
  const std::string fault = "File fault, please try again later.";
  const std::string faultCn = platform::utf8ToGbk("更新文件存在故障, 请稍后再试。");
  struct Case {
    int32_t status;
    uint32_t language;
    Bytes body;
    bool installs;
    std::string text, asked;
  };
  const Case cases[] = {
      {299, 0, package, true, "Update completed.", en + " update-en-1 3/11.0.BIN"},
      {204, 2052, package, true, platform::utf8ToGbk("更新已经完成！"),
       cn + " pravex-update-1 3/11.0.BIN"},
      {300, 9, package, false, fault, ""},
      {199, 9, package, false, fault, ""},
      {404, 2052, package, false, faultCn, ""},
      {-998, 2051, package, false, fault, ""},
      {200, 9, {}, false, fault, ""},
  };
  for (const Case& c : cases) {
    std::string label = std::to_string(c.status) + "/" + std::to_string(c.language);
    SetUp();
    EXPECT_EQ(download(c.body, c.status, c.language), c.installs) << label;
    EXPECT_EQ(state->statusLine.get(), c.text) << label;
    if (!c.installs) {
      EXPECT_EQ(state->updateState.load(), app_state::UPDATE_PENDING) << label;
      expectUntouched(label);
      EXPECT_EQ(names(), (Names{"Kelvora.exe", "prev"})) << label;
      continue;
    }
    EXPECT_EQ(asked, c.asked) << label;
    EXPECT_EQ(readFile(app / "Kelvora.exe"), kNewProgram) << label;
    EXPECT_EQ(state->updateState.load(), app_state::UPDATE_DONE);
    EXPECT_EQ(state->expectedPackageSize.load(), float(package.size())) << "100 %";
    EXPECT_EQ(state->packageSize.load(), package.size());
    EXPECT_EQ(names(), (Names{"Kelvora.exe", "prev", "config.cfg"})) << "package file gone";
    // The version is stored before the completion is shown.
    EXPECT_EQ(testsupport::storedVersion(app.path()), (settings_block::Version{3, 11, 0})) << label;
  }
}

}  // namespace
