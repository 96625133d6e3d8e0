#include "support/test_support.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <random>
#include <stdexcept>

namespace testsupport {

TempDir::TempDir() {
  std::string pattern = (std::filesystem::temp_directory_path() / "kelvora-test-XXXXXX").string();
  if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
  path_ = pattern;
}

TempDir::~TempDir() {
  std::error_code ignored;
  std::filesystem::remove_all(path_, ignored);
}

ScopedCurrentDir::ScopedCurrentDir(const std::filesystem::path& dir)
    : previous_(std::filesystem::current_path()) {
  std::filesystem::current_path(dir);
}

ScopedCurrentDir::~ScopedCurrentDir() {
  std::error_code ignored;
  std::filesystem::current_path(previous_, ignored);
}

std::string randomString(size_t n, uint32_t seed) {
  std::mt19937 gen(seed);
  std::string s(n, '\0');
  for (char& c : s) c = static_cast<char>(gen());
  return s;
}

std::vector<uint8_t> readFile(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw std::runtime_error("cannot read " + path.string());
  return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {});
}

std::string fileText(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

std::set<std::string> namesIn(const std::filesystem::path& dir) {
  std::set<std::string> n;
  for (const auto& e : std::filesystem::directory_iterator(dir)) n.insert(e.path().filename());
  return n;
}

void writeFile(const std::filesystem::path& path, const std::vector<uint8_t>& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()),
            static_cast<std::streamsize>(bytes.size()));
  if (!out) throw std::runtime_error("cannot write " + path.string());
}

void writeFile(const std::filesystem::path& path, const std::string& text) {
  writeFile(path, std::vector<uint8_t>(text.begin(), text.end()));
}

ChildProcess::ChildProcess(const std::vector<std::string>& argv,
                           const std::filesystem::path& workDir,
                           const std::filesystem::path& stdoutFile,
                           const std::filesystem::path& stderrFile) {
  std::vector<char*> args;
  for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  pid_ = fork();
  if (pid_ < 0) throw std::runtime_error("fork failed");
  if (pid_ == 0) {
    if (!workDir.empty() && chdir(workDir.c_str()) != 0) _exit(126);
    auto redirect = [](const std::filesystem::path& file, int fd) {
      const int out = file.empty() ? -1 : open(file.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
      if (out >= 0 && dup2(out, fd) >= 0) close(out);
    };
    redirect(stdoutFile, STDOUT_FILENO);
    redirect(stderrFile, STDERR_FILENO);
    execv(args[0], args.data());
    _exit(127);
  }
}

ChildProcess::~ChildProcess() {
  if (running()) {
    ::kill(pid_, SIGKILL);
    wait(std::chrono::seconds(10));
  }
}

std::optional<int> ChildProcess::wait(std::chrono::milliseconds timeout) {
  int raw = 0;
  pid_t r = 0;
  if (!status_ && waitFor([&] { return (r = waitpid(pid_, &raw, WNOHANG)) != 0; }, timeout) &&
      r == pid_)
    status_ = WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw);
  return status_;
}

bool ChildProcess::running() {
  return !wait(std::chrono::milliseconds(0)).has_value() && pid_ > 0;
}

void ChildProcess::kill(int signal) {
  if (!status_) ::kill(pid_, signal);
}

CommandResult runCommand(const std::string& commandLine) {
  CommandResult result{-1, {}};
  FILE* pipe = popen(commandLine.c_str(), "r");
  if (pipe == nullptr) return result;
  std::array<char, 4096> buffer{};
  size_t n = 0;
  while ((n = fread(buffer.data(), 1, buffer.size(), pipe)) > 0)
    result.output.append(buffer.data(), n);
  int raw = pclose(pipe);
  result.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw);
  return result;
}

std::string binPath(const std::string& program) {
  return std::string(KELVORA_BIN_DIR) + "/" + program;
}

}  // namespace testsupport
