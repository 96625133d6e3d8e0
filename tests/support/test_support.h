// Small helpers shared by the tests: a temporary directory that removes itself, whole-file
// reads and writes, and child processes with a bounded wait.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

namespace testsupport {

// A fresh directory under the system's temporary directory, removed with everything in it.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::filesystem::path& path() const { return path_; }
  std::filesystem::path operator/(const std::string& name) const { return path_ / name; }

 private:
  std::filesystem::path path_;
};

// Changes the current directory for the life of the object.
class ScopedCurrentDir {
 public:
  explicit ScopedCurrentDir(const std::filesystem::path& dir);
  ~ScopedCurrentDir();

 private:
  std::filesystem::path previous_;
};

// n bytes of noise, the same for the same seed.
std::string randomString(size_t n, uint32_t seed);
std::vector<uint8_t> readFile(const std::filesystem::path& path);
// A file's bytes as text; empty when there is no such file.
std::string fileText(const std::filesystem::path& path);
std::set<std::string> namesIn(const std::filesystem::path& dir);  // its entries' names
void writeFile(const std::filesystem::path& path, const std::vector<uint8_t>& bytes);
void writeFile(const std::filesystem::path& path, const std::string& text);

// A child process started with execv; killed (SIGKILL) and reaped on destruction if still running.
class ChildProcess {
 public:
  // argv[0] is the program path. workDir, when given, is the child's current directory.
  // The child's standard output and error go to the files named, or are inherited when empty.
  ChildProcess(const std::vector<std::string>& argv, const std::filesystem::path& workDir = {},
               const std::filesystem::path& stdoutFile = {},
               const std::filesystem::path& stderrFile = {});
  ~ChildProcess();
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  // Waits at most timeout; gives the exit status (or 128 + signal), or nothing on time-out.
  std::optional<int> wait(std::chrono::milliseconds timeout);
  bool running();
  void kill(int signal);

 private:
  pid_t pid_ = -1;
  std::optional<int> status_;
};

// Runs a shell command line; gives its exit status and what it wrote to standard output.
struct CommandResult {
  int status;
  std::string output;
};
CommandResult runCommand(const std::string& commandLine);

std::string binPath(const std::string& program);  // a program built into bin/

// Polls condition every 10 ms until it holds or timeout passes.
template <typename Condition>
bool waitFor(Condition condition, std::chrono::milliseconds timeout) {
  auto deadline = std::chrono::steady_clock::now() + timeout;
  while (std::chrono::steady_clock::now() < deadline) {
    if (condition()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return condition();
}

}  // namespace testsupport
