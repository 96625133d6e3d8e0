#include "support/update_road.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <fstream>
#include <random>

#include "updater/app_state.h"
#include "updater/package_install.h"
#include "updater/release_signing.h"
#include "updater/settings_file.h"
#include "updater/startup.h"
#include "updater/update_worker.h"

namespace fs = std::filesystem;

namespace testsupport {

Bytes testProgram(uint32_t seed, size_t size) {
  Bytes p(size);
  std::mt19937 random(seed);
  for (size_t i = 0; i < size; ++i) p[i] = uint8_t(i % 251 < 128 ? i % 7 : random() & 0xFF);
  return p;
}

void RoadDir::prepare(uint32_t language, const Bytes& prev) {
  for (const auto& e : fs::directory_iterator(app.path())) fs::remove_all(e.path());
  writeFile(app / "Kelvora.exe", oldProgram);
  if (!prev.empty()) writeFile(app / "prev", prev);
  int32_t filler = 7;
  settings_block::Block block = settings_block::makeDefaultBlock(&filler, 4);
  settings_block::setVersion(block, {3, 10, 0});
  settings_block::putU32(block, settings_block::LANGUAGE, language);
  writeFile(app / "config.cfg", *settings_file::encryptContainer(block));
}

void RoadDir::servePackage(const std::string& bucket, const Bytes& plain) {
  writeFile(work / "new.bin", plain);
  const fs::path object = store() / bucket / "3" / "11.0.BIN";
  fs::create_directories(object.parent_path());
  fs::remove(object);  // a new file: a new ETag
  auto r = runCommand(binPath("kelvora-pack") + " build '" + (work / "new.bin").string() + "' '" +
                      object.string() + "'");
  EXPECT_EQ(r.status, 0) << r.output;
}

std::optional<settings_block::Version> storedVersion(const fs::path& app) {
  auto plain = settings_file::decryptContainer(readFile(app / "config.cfg"));
  if (!plain || plain->size() < app_state::SETTINGS_BLOCK_SIZE) return std::nullopt;
  settings_block::Block b{};
  std::copy_n(plain->begin(), b.size(), b.begin());
  return settings_block::version(b);
}

int RoadDir::storedMinor() const {
  const auto v = storedVersion(app.path());
  return v ? int(v->minor) : -1;
}

void runWorkerHere(const fs::path& result, uint32_t announcePauseMs) {
  if (!std::freopen((result.string() + ".err").c_str(), "w", stderr)) _exit(3);
  std::setvbuf(stderr, nullptr, _IONBF, 0);  // the child ends with _exit, which flushes nothing
  if (!startup::prepareApplicationDirectory()) _exit(4);
  update_worker::WorkerOptions options = update_worker::builtinWorkerOptions();
  options.conversation.announcePauseMs = announcePauseMs;
  package_install::PushedPackageFile push(app_state::appState());
  update_conversation::UpdateConversation conversation(app_state::appState(), options.conversation,
                                                       push);
  std::atomic<bool> stop{false};
  int r = update_worker::runUpdateWorker(app_state::appState(), options, conversation, stop);
  std::ofstream(result, std::ios::binary)
      << app_state::appState().updateState.load() << " " << app_state::appState().statusLine.get();
  _exit(r == 0 ? 0 : 5);
}

pid_t startWorker(const fs::path& app, const fs::path& result, uint32_t announcePauseMs) {
  pid_t pid = fork();
  if (pid != 0) return pid;
  if (chdir(app.c_str()) != 0) _exit(3);
  runWorkerHere(result, announcePauseMs);
}

std::optional<int> waitChild(pid_t pid, std::chrono::milliseconds timeout) {
  int status = 0;
  if (!waitFor([&] { return waitpid(pid, &status, WNOHANG) == pid; }, timeout)) return std::nullopt;
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128;
}

void killChild(pid_t pid) {
  kill(pid, SIGKILL);
  waitpid(pid, nullptr, 0);
}

int finishChild(pid_t pid, std::chrono::milliseconds timeout) {
  if (auto status = waitChild(pid, timeout)) return *status;
  killChild(pid);
  return -1;
}

std::string testSignature(const Bytes& package, uint32_t minor) {
  TempDir dir;
  writeFile(dir / "p", package);
  std::string error;
  const std::string keyText = fileText(fs::path(KELVORA_TEST_DATA_DIR) / "loopback-publisher.key");
  auto key = release_signing::parseSecretKeyFile(keyText, &error);
  EXPECT_TRUE(key.has_value()) << error;
  if (!key) return "";
  auto text = release_signing::signPackage(*key, dir / "p", {3, minor, 0}, &error);
  EXPECT_TRUE(text.has_value()) << error;
  return text.value_or("");
}

}  // namespace testsupport
