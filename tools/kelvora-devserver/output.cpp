#include "tools/kelvora-devserver/output.h"

#include <cstdio>
#include <mutex>

namespace devserver {

void printLine(std::string_view line) {
  static std::mutex mutex;
  std::lock_guard<std::mutex> lock(mutex);
  std::fwrite(line.data(), 1, line.size(), stdout);
  std::fputc('\n', stdout);
  std::fflush(stdout);
}

}  // namespace devserver
