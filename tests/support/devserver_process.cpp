#include "support/devserver_process.h"

#include <cstdlib>
#include <cstring>
#include <fstream>

namespace testsupport {

DevServerProcess::DevServerProcess(const std::filesystem::path& root,
                                   const std::vector<std::string>& extra,
                                   const std::filesystem::path& log)
    : log_(log) {
  std::vector<std::string> argv = {binPath("kelvora-devserver"), "--root", root.string()};
  argv.insert(argv.end(), {"--http-port", "18080", "--update-port", "9910", "--sign-key",
                           KELVORA_TEST_DATA_DIR "/loopback-publisher.key"});
  argv.insert(argv.end(), extra.begin(), extra.end());
  // A log left by an earlier server under the same name must not pass for this one's start.
  std::filesystem::remove(log);
  child_ = std::make_unique<ChildProcess>(argv, std::filesystem::path{}, log,
                                          std::filesystem::path(log.string() + ".err"));
  ready_ = waitFor(
      [&] {
        std::ifstream in(log);
        std::string line;
        if (!std::getline(in, line) || line.rfind("kelvora-devserver: http=", 0) != 0) return false;
        httpPort_ = std::atoi(line.c_str() + std::strlen("kelvora-devserver: http="));
        return true;
      },
      std::chrono::seconds(15));
}

std::string DevServerProcess::log() const {
  return fileText(log_) + fileText(log_.string() + ".err");
}

}  // namespace testsupport
