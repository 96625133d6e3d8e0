#include "platform/system.h"

#include <dirent.h>
#include <sched.h>
#include <sys/resource.h>
#include <sys/sysinfo.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <fstream>
#include <sstream>

namespace platform {

std::vector<std::string> processExecutableNames() {
  std::vector<std::string> names;
  DIR* proc = opendir("/proc");
  if (proc == nullptr) return names;
  while (dirent* entry = readdir(proc)) {
    const char* name = entry->d_name;
    if (!std::isdigit(static_cast<unsigned char>(name[0]))) continue;
    // A process that has ended but is not yet reaped (a zombie) runs nothing: it is no copy.
    std::ifstream stat(std::string("/proc/") + name + "/stat");
    std::string status;
    if (stat && std::getline(stat, status)) {
      size_t close = status.rfind(')');
      if (close != std::string::npos && close + 2 < status.size() &&
          (status[close + 2] == 'Z' || status[close + 2] == 'X'))
        continue;
    }
    std::ifstream comm(std::string("/proc/") + name + "/comm");
    std::string line;
    if (comm && std::getline(comm, line)) names.push_back(line);
  }
  closedir(proc);
  return names;
}

std::optional<uint64_t> totalPhysicalMemory() {
  struct sysinfo info {};
  if (sysinfo(&info) != 0) return std::nullopt;
  return static_cast<uint64_t>(info.totalram) * info.mem_unit;
}

uint32_t logicalProcessorCount() {
  long n = sysconf(_SC_NPROCESSORS_ONLN);
  return n > 0 ? static_cast<uint32_t>(n) : 1u;
}

std::optional<uint64_t> processAffinity() {
  cpu_set_t set;
  CPU_ZERO(&set);
  if (sched_getaffinity(0, sizeof set, &set) != 0) return std::nullopt;
  uint64_t mask = 0;
  for (int i = 0; i < 64; ++i) {
    if (CPU_ISSET(i, &set)) mask |= uint64_t{1} << i;
  }
  return mask;
}

bool setProcessAffinity(uint64_t mask) {
  if (mask == 0) return false;
  cpu_set_t set;
  CPU_ZERO(&set);
  for (int i = 0; i < 64; ++i) {
    if (mask & (uint64_t{1} << i)) CPU_SET(i, &set);
  }
  return sched_setaffinity(0, sizeof set, &set) == 0;
}

PrioritySnapshot currentPriority() {
  PrioritySnapshot s;
  errno = 0;
  s.niceValue = getpriority(PRIO_PROCESS, 0);
  s.policy = sched_getscheduler(0);
  sched_param param{};
  if (sched_getparam(0, &param) == 0) s.schedPriority = param.sched_priority;
  return s;
}

void raisePriority() {
  // Real-time first; an unprivileged process is refused and falls back to the lowest nice value
  // it may take. Both refusals are silent by design.
  sched_param param{};
  param.sched_priority = sched_get_priority_max(SCHED_FIFO);
  if (sched_setscheduler(0, SCHED_FIFO, &param) != 0) setpriority(PRIO_PROCESS, 0, -20);
}

void restorePriority(const PrioritySnapshot& snapshot) {
  sched_param param{};
  param.sched_priority = snapshot.schedPriority;
  if (snapshot.policy >= 0) sched_setscheduler(0, snapshot.policy, &param);
  setpriority(PRIO_PROCESS, 0, snapshot.niceValue);
}

std::optional<SystemTimes> systemTimes() {
  std::ifstream stat("/proc/stat");
  std::string line;
  if (!stat || !std::getline(stat, line) || line.rfind("cpu ", 0) != 0) return std::nullopt;
  std::istringstream fields(line.substr(4));
  uint64_t user = 0, nice = 0, system = 0, idle = 0;
  if (!(fields >> user >> nice >> system >> idle)) return std::nullopt;
  // /proc/stat counts clock ticks; one tick is 10^7 / CLK_TCK hundreds of nanoseconds.
  const uint64_t unit = 10'000'000 / static_cast<uint64_t>(sysconf(_SC_CLK_TCK));
  SystemTimes t;
  t.idle = idle * unit;
  t.kernel = (system + idle) * unit;
  t.user = (user + nice) * unit;
  return t;
}

}  // namespace platform
